#!/usr/bin/env bash
# Instructions per call of every benchmark operation, counted by callgrind on
# a Release build: prints a Markdown table (operation, instructions per call).
#   scripts/instructions.sh [BUILD_DIR] [CALLS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
calls=${2:-100}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target orv_bench_instructions >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.%p" \
  "$build/bench/orv_bench_instructions" "$calls" 2>/dev/null
echo "| operation | instructions per call |"
echo "|---|---:|"
for f in "$out"/cg.*.*; do
  name=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
  total=$(sed -n 's/^summary: \([0-9]*\).*/\1/p' "$f")
  [ -n "$name" ] && echo "$(basename "$f" | sed 's/.*\.//') $name $total"
done | sort -n | awk -v calls="$calls" '{ printf "| %s | %d |\n", $2, $3 / calls }'
