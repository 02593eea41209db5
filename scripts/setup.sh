#!/usr/bin/env bash
# Installs the Debian 12 packages the project builds, tests and runs with.
# Needs root (or sudo); packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libusb-1.0-0-dev
  umockdev libumockdev-dev libglib2.0-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  clang clang-format clang-tidy libclang-rt-14-dev
  valgrind
  openocd openfpgaloader flashrom sigrok-cli
  python3 python3-matplotlib python3-pytest python3-venv
  debhelper dh-python pybuild-plugin-pyproject python3-all doxygen lintian man-db udev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
