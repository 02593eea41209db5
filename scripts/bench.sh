#!/usr/bin/env bash
# The benchmark command: builds the benchmarks in Release (build-bench), runs
# them and writes bench/REPORT.md and bench/cost_vs_size.png (with the bridges
# and SVF playback side by side with OpenOCD and openFPGALoader when they are
# installed).
#   REPS=5        repetitions of each benchmark (medians are reported)
#   MIN_TIME=0.2  seconds per repetition of the host benchmarks
#   E2E_MIN_TIME  seconds per repetition of the emulated and end-to-end ones
#   BENCH_NOTE    a line placed at the top of the report (machine, load)
#   FLASH=0       leave out the 4 MiB flash writes (orvtool and flashrom)
#   TRACE=0       leave out the 4 MiB read traced and untraced (--trace)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
REPS=${REPS:-5}
MIN_TIME=${MIN_TIME:-0.2}
E2E_MIN_TIME=${E2E_MIN_TIME:-0.3}
BUILD=${BUILD:-build-bench}
OUT=${OUT:-$BUILD/bench-results}
PYTHON=${PYTHON:-}
if [ -z "$PYTHON" ]; then
  # Debian's interpreter has python3-matplotlib; a python3 earlier on PATH may not.
  if /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then PYTHON=/usr/bin/python3; else PYTHON=python3; fi
fi

echo "== build (Release)"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_BENCH=ON -DORV_BENCH_EMULATED=ON -DORV_BUILD_TESTS=OFF -DORV_BUILD_TOOLS=ON >/dev/null
targets=(orv_bench_host orv_bench_files orvtool orvsim-run)
for t in orv_bench_counts orv_bench_e2e; do
  # grep reads the whole list: an early exit would break the pipe under pipefail.
  if cmake --build "$BUILD" --target help | grep -x "\.\.\. $t" >/dev/null; then targets+=("$t"); fi
done
cmake --build "$BUILD" -j"$JOBS" --target "${targets[@]}"

mkdir -p "$OUT"
common=(--benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true
        --benchmark_report_aggregates_only=true --benchmark_out_format=json)
echo "== host cost"
"$BUILD/bench/orv_bench_host" "${common[@]}" --benchmark_min_time="$MIN_TIME" \
  --benchmark_out="$OUT/host.json"
args=(--host "$OUT/host.json")
echo "== reading files by their size (layouts)"
"$BUILD/bench/orv_bench_files" --benchmark_repetitions="$REPS" --benchmark_report_aggregates_only=true \
  | tee "$OUT/files.txt"
if [ -x "$BUILD/bench/orv_bench_counts" ]; then
  echo "== transfers per operation (emulator)"
  "$BUILD/bench/orv_bench_counts" --benchmark_min_time=0.01 --benchmark_out_format=json \
    --benchmark_out="$OUT/counts.json"
  args+=(--counts "$OUT/counts.json")
fi
if [ -x "$BUILD/bench/orv_bench_e2e" ]; then
  echo "== end to end on the virtual USB device"
  "$BUILD/bench/orv_bench_e2e" "${common[@]}" --benchmark_min_time="$E2E_MIN_TIME" \
    --benchmark_out="$OUT/e2e.json"
  args+=(--e2e "$OUT/e2e.json")
fi

if [ "${LTO:-1}" != 0 ]; then
  # Tried for the streams that miss the 2x target: the same library code
  # with link-time optimisation, so the encoders can be inlined into the
  # operations.
  echo "== host cost with link-time optimisation"
  cmake -S . -B "$BUILD-lto" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
    -DORV_BUILD_TESTS=OFF -DORV_BUILD_TOOLS=OFF -DORV_BUILD_EMULATOR=OFF -DORV_BUILD_BENCH=ON >/dev/null
  cmake --build "$BUILD-lto" -j"$JOBS" --target orv_bench_host
  "$BUILD-lto/bench/orv_bench_host" "${common[@]}" --benchmark_min_time="$MIN_TIME" \
    --benchmark_filter='^(host|memcpy)/(i2c/(16|511)|dr_scan/65536|build_dr/65536|spi_bytes/(512|65536)/write)' \
    --benchmark_out="$OUT/host-lto.json"
  args+=(--lto "$OUT/host-lto.json")
fi

if command -v valgrind >/dev/null; then
  echo "== instructions per call (callgrind)"
  bash scripts/instructions.sh "$BUILD" 100 >"$OUT/instructions.md"
  args+=(--instructions "$OUT/instructions.md" --instructions-before bench/instructions_before.md)
fi

if command -v openocd >/dev/null && command -v openFPGALoader >/dev/null && command -v flashrom >/dev/null; then
  echo "== the bridges with OpenOCD, openFPGALoader and flashrom"
  "$BUILD/bin/orvsim-run" --control -- /usr/bin/python3 bench/bench_bridges.py \
    "$BUILD/bin/orvtool" "$BUILD/lib" "$OUT/bridges.json"
  args+=(--bridges "$OUT/bridges.json")
fi

echo "== the Python package beside orvtool: unchanged 1 MiB write, 4 MiB read"
"$BUILD/bin/orvsim-run" --control -- /usr/bin/python3 bench/bench_python.py "$BUILD/bin/orvtool" \
  "$BUILD/lib" "$OUT/python.json"
args+=(--python "$OUT/python.json")

if command -v flashrom >/dev/null && [ "${FLASH:-1}" != 0 ]; then
  # About 15 minutes: 4 MiB writes at the virtual adapter's speed.
  echo "== 4 MiB flash writes: orvtool spi write and flashrom through serprog"
  /usr/bin/python3 bench/bench_flash.py "$BUILD/bin/orvtool" "$OUT/flash.json"
  args+=(--flash "$OUT/flash.json")
fi
if [ "${TRACE:-1}" != 0 ]; then
  # About 6 minutes: a 4 MiB read, untraced and traced two ways, twice each.
  echo "== waveform traces: orvtool --sim spi read 0 4M untraced and with --trace"
  /usr/bin/python3 bench/bench_trace.py "$BUILD/bin/orvtool" "$OUT/trace.json" "$OUT"
  args+=(--trace "$OUT/trace.json")
fi
if command -v openocd >/dev/null && command -v openFPGALoader >/dev/null; then
  echo "== SVF playback: orvtool, OpenOCD and openFPGALoader"
  SKIP_BUILD=1 BUILD="$BUILD" OUT="$OUT" bash scripts/bench_svf.sh >/dev/null
  args+=(--svf "$OUT/svf.md")
fi

echo "== boundary scan: transfers per SAMPLE and per interconnect test, jtag pins --watch"
python3 bench/gen_bscan.py "$OUT/bscan"
"$BUILD/bin/orvsim-run" --control --board "$OUT/bscan/bench-bscan.json" -- /usr/bin/python3 \
  bench/bench_bscan.py "$BUILD/bin/orvtool" "$OUT/bscan"
args+=(--bscan "$OUT/bscan/bscan.md")

echo "== report"
note=${BENCH_NOTE:-"Measured on $(nproc) cores ($(uname -m)); load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)."}
"$PYTHON" bench/report.py "${args[@]}" --notes bench/NOTES.md --header "$note" \
  --out bench/REPORT.md --plot bench/cost_vs_size.png >"$OUT/findings.json"
echo "wrote bench/REPORT.md and bench/cost_vs_size.png"
