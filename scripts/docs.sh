#!/usr/bin/env bash
# Builds the API reference of the libraries from their public headers:
# HTML (build-docs/docs/html/index.html) and section 3 manual pages
# (build-docs/docs/man3; man -l build-docs/docs/man3/tapwire_shift_dr.3).
# Fails on any undocumented public symbol. Needs doxygen and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-docs}
cmake -S . -B "$BUILD" -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target docs
echo "HTML:         $BUILD/docs/html/index.html"
echo "manual pages: $BUILD/docs/man3 ($(ls "$BUILD/docs/man3" | wc -l) pages)"
