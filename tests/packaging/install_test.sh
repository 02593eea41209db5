#!/usr/bin/env bash
# The Debian packages installed, used and removed as a user would:
#   apt-get install ./*.deb, then against the installed files only, each in a
#   clean environment (env -i PATH=/usr/bin:/bin): orvtool --sim jtag scan,
#   orvsim-run --version, C programs built with pkg-config and a CMake
#   consumer with find_package(orv), both run on the virtual adapter,
#   python3 -c 'import orv' and an SPI flash read under orvsim-run, the
#   manual pages and their EXAMPLES (check_examples.py), bash completion,
#   and the udev rule (udevadm test on a
#   virtual device: the adapter's id gets the uaccess tag, another id does
#   not; Debian 12's udevadm has no verify). Then apt-get purge, and nothing
#   of the packages may be left outside their conffiles.
#
#   install_test.sh [DEB_DIR]            as root: on this machine (CI)
#   install_test.sh --chroot [DEB_DIR]   in a throw-away chroot (mmdebstrap)
#
# On this machine the test installs the packages and whatever they pull in,
# and purges all of it at the end, so the system is left as it was found. As
# another user it changes nothing: it says what it would do and exits 77
# (skipped).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mode=system
case ${1:-} in
--chroot) mode=chroot; shift ;;
--throwaway) mode=throwaway; shift ;; # inside the chroot of --chroot
esac
debs=$(cd "${1:-$here/../../build-deb}" && pwd)
step() { echo "-- $*"; }
fail() { echo "FAIL: $*"; exit 1; }
ls "$debs"/*.deb >/dev/null 2>&1 || fail "no packages in $debs (scripts/package.sh builds them)"

# Every shipped library's pkg-config module.
modules=(orv_tapwire orv_lumo_spi orv_lumo_iic orv_devices)

if [ "$mode" = chroot ]; then
  command -v mmdebstrap >/dev/null || fail "--chroot needs mmdebstrap (apt-get install mmdebstrap)"
  # Debian 12 with the test's own tools (a compiler, cmake, man, udevadm);
  # everything else must come with the packages' dependencies. Packages
  # already in the local apt cache are taken from there.
  exec mmdebstrap --variant=apt --mode=auto \
    --include=build-essential,cmake,man-db,udev \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives' \
    --setup-hook='sync-in /var/cache/apt/archives/ /var/cache/apt/archives/' \
    --customize-hook='mkdir -p "$1"/tmp/debs' \
    --customize-hook="copy-in $(echo "$debs"/*.deb) /tmp/debs" \
    --customize-hook="copy-in $here /tmp" \
    --customize-hook='chroot "$1" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /tmp/packaging/install_test.sh --throwaway /tmp/debs' \
    bookworm /dev/null
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "This test installs the packages in $debs with apt-get, runs them and purges them again:"
  echo "as root on a machine of its own (CI). It does not change this machine as $(id -un)."
  echo "To run it in a throw-away Debian 12 chroot instead: $0 --chroot $debs"
  echo "SKIP: not root"
  exit 77
fi

work=$(mktemp -d)
packages=$(for d in "$debs"/*.deb; do dpkg-deb -f "$d" Package; done | sort -u | tr '\n' ' ')
version=$(dpkg-deb -f "$(ls "$debs"/orv-tools_*.deb)" Version)
version=${version%-*}
before=$work/installed-before
dpkg-query -W -f='${Package}\n' | sort >"$before"
export DEBIAN_FRONTEND=noninteractive
cleanup() {
  # Whatever the install added, ours and what it pulled in, goes again.
  dpkg-query -W -f='${Package}\n' | sort | comm -13 "$before" - >"$work/added" || true
  if [ -s "$work/added" ]; then
    # shellcheck disable=SC2046
    apt-get purge -y -qq $(cat "$work/added") >"$work/purge.log" 2>&1 || cat "$work/purge.log"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step "apt-get install $packages"
for p in $packages; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    fail "$p is installed already: this test would remove it"
  fi
done
(cd "$debs" && apt-get install -y -qq --no-install-recommends ./*.deb) >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get install"; }
clean() { env -i PATH=/usr/bin:/bin HOME="$work" "$@"; }

step "orvtool --sim jtag scan, orvsim-run --version"
scan=$(clean orvtool --sim jtag scan 2>&1) || fail "orvtool --sim jtag scan: $scan"
for idcode in 0x4ba00477 0x03727093; do
  grep -qi "$idcode" <<<"$scan" || fail "orvtool --sim jtag scan does not show $idcode: $scan"
done
echo "$scan" | sed 's/^/   | /'
[ "$(clean orvsim-run --version)" = "orvsim-run $version" ] || fail "orvsim-run --version: $(clean orvsim-run --version)"
[ "$(clean orvtool --version)" = "orvtool $version" ] || fail "orvtool --version: $(clean orvtool --version)"
id=$(clean orvtool --sim --board w25q256 spi id 2>&1) || fail "installed board w25q256: $id"
echo "   orvsim-run $version, orvtool $version; --board w25q256: $(head -n1 <<<"$id")"

step "C programs built with pkg-config"
mkdir -p "$work/c"
for m in "${modules[@]}"; do
  clean pkg-config --validate "$m" || fail "$m.pc does not validate"
  [ "$(clean pkg-config --modversion "$m")" = "$version" ] || fail "$m.pc version $(clean pkg-config --modversion "$m")"
  # The header by its pkg-config name, and the library linked by SONAME.
  printf '#include <%s.h>\nint main(void) { return 0; }\n' "$m" >"$work/c/$m.c"
  # shellcheck disable=SC2046
  clean cc -Wall -Werror -o "$work/c/$m" "$work/c/$m.c" -Wl,--no-as-needed \
    $(clean pkg-config --cflags --libs "$m") || fail "a program with $m's header and --cflags --libs"
  readelf -d "$work/c/$m" | grep -q "NEEDED.*lib$m\.so\.${version%%.*}\]" || fail "lib$m not linked by SONAME"
done
cp "$here"/consumer/consumer.c "$here"/consumer/consumer.cpp "$here"/consumer/consumer_devices.c "$work/c/"
# shellcheck disable=SC2016
clean sh -c 'cd "$1" && cc -std=c99 -Wall -Werror -o consumer_c consumer.c $(pkg-config --cflags --libs orv_tapwire libusb-1.0) &&
  c++ -std=c++17 -Wall -Werror -o consumer_cxx consumer.cpp \
    $(pkg-config --cflags --libs orv_tapwire orv_lumo_spi orv_lumo_iic libusb-1.0) &&
  cc -std=c99 -Wall -Werror -o consumer_devices consumer_devices.c $(pkg-config --cflags --libs orv_devices libusb-1.0)' \
  sh "$work/c" ||
  fail "the consumers do not build with pkg-config"
for b in consumer_c consumer_cxx consumer_devices; do
  clean orvsim-run -- "$work/c/$b" >"$work/c/$b.out" 2>&1 || { cat "$work/c/$b.out"; fail "$b on the virtual adapter"; }
done
echo "   ${modules[*]}: headers, --cflags --libs, SONAMEs; consumer_c, consumer_cxx and consumer_devices ran under orvsim-run"

step "CMake consumer: find_package(orv)"
if ! clean cmake -S "$here/consumer" -B "$work/cmake" >"$work/cmake.log" 2>&1 ||
  ! clean cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
  cat "$work/cmake.log"
  fail "find_package(orv) consumer"
fi
grep -q "/usr/lib/.*/cmake/orv" "$work/cmake/CMakeCache.txt" || fail "find_package(orv) did not find the installed package"
for b in consumer_cxx consumer_devices; do
  clean orvsim-run -- "$work/cmake/$b" >"$work/cmake.out" 2>&1 || { cat "$work/cmake.out"; fail "$b (CMake)"; }
done
echo "   built against $(sed -n 's/^orv_DIR:PATH=//p' "$work/cmake/CMakeCache.txt"), ran under orvsim-run"

step "python3 -c 'import orv', and an SPI flash read under orvsim-run"
clean python3 -c 'import orv' || fail "import orv"
read_flash='import orv
assert orv.__file__.startswith("/usr/lib/python3/dist-packages/"), orv.__file__
assert orv.__version__ == "'$version'", orv.__version__
with orv.open() as adapter:
    flash = orv.SpiFlash(adapter.spi(clock_khz=6000, mode=0))
    print("JEDEC ID", flash.jedec_id().hex(" "), "first bytes", flash.read(0, 8).hex(" "))'
out=$(clean orvsim-run -- python3 -c "$read_flash" 2>&1) || fail "python SPI flash read: $out"
grep -q 'JEDEC ID ef 40 16' <<<"$out" || fail "python SPI flash read: $out"
echo "   $out"

step "manual pages, bash completion"
for page in orvtool orvsim-run "${modules[@]}" orv_result; do
  clean man -w "$page" >/dev/null 2>&1 || [ -f "/usr/share/man/man1/$page.1.gz" ] || [ -f "/usr/share/man/man3/$page.3.gz" ] ||
    fail "no manual page $page"
done
# One page per exported function of every installed library.
exported=0
for m in "${modules[@]}"; do
  lib=$(ls /usr/lib/*/lib"$m".so.*.*.*)
  for fn in $(nm -D --defined-only "$lib" | awk '$2 == "T" {sub(/@.*/, "", $3); print $3}'); do
    [ -f "/usr/share/man/man3/$fn.3.gz" ] || fail "$fn (lib$m) has no manual page"
    exported=$((exported + 1))
  done
done
for program in orvtool orvsim-run; do
  [ -f "/usr/share/bash-completion/completions/$program" ] || fail "no bash completion for $program"
done
echo "   orvtool(1), orvsim-run(1), the library pages and $exported function pages in section 3; bash completion"

step "the manual pages' EXAMPLES"
clean python3 "$here/check_examples.py" /usr "$work/examples" /usr/share/man/man1/orvtool.1.gz \
  /usr/share/man/man1/orvsim-run.1.gz >"$work/examples.log" 2>&1 || { cat "$work/examples.log"; fail "manual page examples"; }
echo "   $(grep -c '^   \$ ' "$work/examples.log") commands of orvtool(1) and orvsim-run(1) ran as they say"

step "udev rule"
rule=/usr/lib/udev/rules.d/60-orv-adapter.rules
[ -f "$rule" ] || fail "$rule not installed"
if command -v udevadm >/dev/null; then
  # udevadm test on a virtual USB device (umockdev): the adapter's id must get
  # the uaccess tag from this file, and another id must not.
  for pid in 4f52 4f53; do
    cat >"$work/adapter-$pid.umockdev" <<EOF
P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
N: bus/usb/001/002
E: DEVNAME=/dev/bus/usb/001/002
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
A: idVendor=1209
A: idProduct=$pid
A: busnum=1
A: devnum=2
EOF
    # udevadm test records the device in /run/udev: a private, empty /run
    # keeps that from the machine (a throw-away chroot needs none, and its
    # root is no mount point that unshare could make private).
    private_run=(unshare --mount sh -c 'mount -t tmpfs orv-udev-test /run && exec "$@"' sh)
    [ "$mode" = throwaway ] && private_run=()
    clean "${private_run[@]}" umockdev-run -d "$work/adapter-$pid.umockdev" -- \
      udevadm test --action=add /sys/devices/pci0000:00/0000:00:14.0/usb1/1-1 >"$work/udev-$pid.log" 2>&1 ||
      { cat "$work/udev-$pid.log"; fail "udevadm test"; }
    grep -q "Reading rules file: $rule" "$work/udev-$pid.log" || fail "udevadm did not read $rule"
    if grep -i "$(basename "$rule")" "$work/udev-$pid.log" | grep -qiE 'invalid|error|ignor|unknown'; then
      grep -i "$(basename "$rule")" "$work/udev-$pid.log"
      fail "udevadm finds fault with $rule"
    fi
    tagged=no
    grep -q '^CURRENT_TAGS=.*:uaccess:' "$work/udev-$pid.log" && tagged=yes
    case $pid:$tagged in
    4f52:yes | 4f53:no) ;;
    *) fail "1209:$pid uaccess tag: $tagged" ;;
    esac
  done
  echo "   $rule: udevadm test tags 1209:4f52 uaccess, not 1209:4f53"
else
  echo "   $rule installed (no udevadm here to test it)"
fi

step "apt-get purge $packages"
conffiles=$(for p in $packages; do dpkg-query -W -f='${Conffiles}\n' "$p"; done | awk 'NF {print $1}')
owned=$(for p in $packages; do dpkg -L "$p"; done | sort -u)
# shellcheck disable=SC2086
apt-get purge -y -qq $packages >"$work/purge-ours.log" 2>&1 || { cat "$work/purge-ours.log"; fail "apt-get purge"; }
for p in $packages; do
  ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qv 'not-installed' || fail "$p is not purged"
done
left=()
while IFS= read -r path; do
  [ -n "$path" ] && [ -e "$path" ] && [ ! -d "$path" ] && ! grep -qxF "$path" <<<"$conffiles" && left+=("$path")
done <<<"$owned"
# Directories that only we make (the rest are shared with other packages).
for dir in /usr/include/orv /usr/share/orv /usr/lib/*/cmake/orv /usr/lib/python3/dist-packages/orv \
  /usr/share/doc/orv-tools; do
  [ -e "$dir" ] && left+=("$dir")
done
[ ${#left[@]} -eq 0 ] || fail "left after purge: ${left[*]}"
echo "ok: installed, used from a clean environment, and purged without a trace ($(wc -w <<<"$packages") packages)"
