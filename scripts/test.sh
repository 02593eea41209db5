#!/usr/bin/env bash
# The test command: builds and runs the whole suite, then builds it again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs it once more.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

echo "== build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_WERROR=ON
cmake --build build -j"$JOBS"
echo "== tests"
ctest --test-dir build --output-on-failure -j"$JOBS"

echo "== build with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON -DORV_WERROR=ON -DORV_BUILD_BENCH=OFF
cmake --build build-asan -j"$JOBS"
echo "== tests under sanitizers"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-asan --output-on-failure -j"$JOBS" -LE 'lint|valgrind|bench'
