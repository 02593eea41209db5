#!/usr/bin/env bash
# The main job on the virtual adapter: installs the packages, builds orvtool
# and runs it on the virtual board: the JTAG chain, the SPI flash's id and the
# I2C bus.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-demo}
JOBS=${JOBS:-$(nproc)}

scripts/setup.sh
echo "== build orvtool ($BUILD_DIR)"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" --target orvtool -j"$JOBS"

orvtool="$BUILD_DIR/bin/orvtool"
for cmd in "jtag scan" "spi id" "i2c detect"; do
  echo
  echo "\$ orvtool --sim $cmd"
  # shellcheck disable=SC2086 # the command words are meant to split
  "$orvtool" --sim $cmd
done
