#!/usr/bin/env bash
# SVF playback side by side: orvtool jtag svf, OpenOCD through the
# remote_bitbang bridge and openFPGALoader through the XVC bridge, on one
# generated file on the virtual adapter (bench/bench_svf.py); in the same run
# one design as SVF and as XSVF played by orvtool, and the dry run of 10^8
# bits. Builds orvtool
# and orvsim-run in Release (build-bench) and writes build-bench/bench-results/
# svf.json and svf.md; scripts/bench.sh runs it and puts svf.md in
# bench/REPORT.md.
#   SCANS=2000  SDR statements in the file    REPS=3  runs of orvtool
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-bench}
OUT=${OUT:-$BUILD/bench-results}
if [ "${SKIP_BUILD:-0}" != 1 ]; then
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF -DORV_BUILD_TOOLS=ON >/dev/null
  cmake --build "$BUILD" -j"${JOBS:-2}" --target orvtool orvsim-run
fi
for p in openocd openFPGALoader; do
  command -v "$p" >/dev/null || { echo "bench_svf: $p is not installed (scripts/setup.sh)"; exit 1; }
done
"$BUILD/bin/orvsim-run" --control -- /usr/bin/python3 bench/bench_svf.py \
  "$BUILD/bin/orvtool" "$OUT" --scans "${SCANS:-2000}" --reps "${REPS:-3}"
