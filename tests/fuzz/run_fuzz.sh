#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time, starting from its seeds.
# Usage: run_fuzz.sh FUZZER SEED_DIR WORK_DIR SECONDS
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$work/artifacts"
[ -d "$seeds" ] || { echo "FAIL: no seed directory $seeds"; exit 1; }
status=0
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=8192 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" || status=$?
if [ $status -ne 0 ]; then
  echo "FAIL: $(basename "$fuzzer") found a failing input (status $status):"
  ls -l "$work/artifacts/"
  echo "keep it as a regression seed: cp $work/artifacts/<file> $seeds/"
  exit 1
fi
echo "ok: $(basename "$fuzzer") ran ${seconds}s without a finding"
