#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for a chosen time, one after the
# other, and prints executions and coverage per target.
#
#   scripts/fuzz.sh [--merge] [SECONDS] [TARGET...]
#
# SECONDS per target (default 60). Builds the clang/libFuzzer programs with
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz (as
# scripts/test.sh does), runs each from its seeds in tests/fuzz/corpus/TARGET
# with new inputs going to build-fuzz/fuzz-work/TARGET, and stops at the first
# target that finds a failing input (kept in the work directory's artifacts).
# --merge then adds to the seeds the new inputs that reach new coverage
# (libFuzzer's -merge=1), to be committed.
set -euo pipefail
cd "$(dirname "$0")/.."

merge=0
if [ "${1:-}" = "--merge" ]; then
  merge=1
  shift
fi
seconds=${1:-60}
shift || true
JOBS=${JOBS:-2}

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DORV_BUILD_FUZZ=ON -DORV_SANITIZE=ON -DORV_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$JOBS" --target orv_fuzz_targets >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in tests/fuzz/corpus/*/; do
    targets+=("$(basename "$dir")")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
summary=()
for target in "${targets[@]}"; do
  fuzzer=build-fuzz/tests/fuzz/$target
  [ -x "$fuzzer" ] || { echo "no fuzz program $fuzzer (is the target built in this configuration?)"; exit 1; }
  work=build-fuzz/fuzz-work/$target
  log=$work/run.log
  mkdir -p "$work"
  echo "== $target: ${seconds}s"
  if ! tests/fuzz/run_fuzz.sh "$fuzzer" "tests/fuzz/corpus/$target" "$work" "$seconds" >"$log" 2>&1; then
    tail -40 "$log"
    echo "FAIL: $target found a failing input; see $log and $work/artifacts/"
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ $merge -eq 1 ]; then
    before=$(find "tests/fuzz/corpus/$target" -type f | wc -l)
    "$fuzzer" -merge=1 -rss_limit_mb=2048 -timeout=10 -max_len=8192 \
      "tests/fuzz/corpus/$target" "$work/corpus" >"$work/merge.log" 2>&1
    after=$(find "tests/fuzz/corpus/$target" -type f | wc -l)
    corpus="$corpus, seeds $before -> $after"
  fi
  summary+=("$(printf '%-24s %10s execs %7s/s  cov %6s  ft %7s  corpus %s' "$target" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${features:-?}" "${corpus:-?}")")
done

echo
echo "== ${seconds}s per target, no findings"
printf '%s\n' "${summary[@]}"
