#!/usr/bin/env bash
# The test command: builds and runs the whole suite (unit, end-to-end, packaging,
# lint and valgrind tests), builds the Debian packages and tests them installed
# (as root; skipped otherwise), builds the suite again with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs it once more, then builds the fuzz targets
# with clang and libFuzzer and runs each for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}

echo "== build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_WERROR=ON
cmake --build build -j"$JOBS"
echo "== tests (unit, e2e, packaging, lint: clang-format and clang-tidy, valgrind memcheck, fuzz seed replay)"
ctest --test-dir build --output-on-failure -j"$JOBS"

echo "== Debian packages: built and checked by lintian, then installed, used and purged (as root)"
scripts/package.sh
tests/packaging/install_test.sh build-deb || [ $? -eq 77 ]

echo "== build with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON -DORV_WERROR=ON -DORV_BUILD_BENCH=OFF
cmake --build build-asan -j"$JOBS"
echo "== tests under sanitizers"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-asan --output-on-failure -j"$JOBS" -LE 'lint|valgrind|bench'

# Fuzz targets: libFuzzer with clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer, each run for a bounded time from its seeds in
# tests/fuzz/corpus/. Only the fuzz programs are built here: clang does not
# link the sanitizer runtime into the shared libraries.
echo "== fuzz targets (clang, libFuzzer + ASan + UBSan)"
FUZZ_SECONDS=${FUZZ_SECONDS:-12}
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DORV_BUILD_FUZZ=ON -DORV_SANITIZE=ON -DORV_BUILD_BENCH=OFF -DORV_FUZZ_SECONDS="$FUZZ_SECONDS"
cmake --build build-fuzz -j"$JOBS" --target orv_fuzz_targets
echo "== fuzz runs (${FUZZ_SECONDS}s each)"
ctest --test-dir build-fuzz --output-on-failure -j"$JOBS" -L fuzz
