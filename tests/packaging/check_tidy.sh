#!/usr/bin/env bash
# Runs clang-tidy (checks of .clang-tidy, every warning an error) over the
# library sources with the build's compile_commands.json, two files at a time.
# Usage: check_tidy.sh CLANG_TIDY SOURCE_DIR BUILD_DIR
set -euo pipefail
clang_tidy=$1 root=$2 build=$3
cd "$root"
[ -f "$build/compile_commands.json" ] || { echo "FAIL: no $build/compile_commands.json"; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- 'lib/wire/*.cpp' 'lib/jtag/*.cpp' 'lib/spi/*.cpp' 'lib/i2c/*.cpp')
else
  mapfile -t files < <(find lib/wire lib/jtag lib/spi lib/i2c -name '*.cpp' | sort)
fi
# Only files this build compiles (a file added but not yet in CMake is skipped).
mapfile -t files < <(for f in "${files[@]}"; do
  grep -q "\"file\": \"$root/$f\"" "$build/compile_commands.json" && echo "$f"
done)
[ ${#files[@]} -gt 0 ] || { echo "FAIL: no library sources in compile_commands.json"; exit 1; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\n' "${files[@]}" |
  xargs -P 2 -n 1 "$clang_tidy" -p "$build" --quiet --warnings-as-errors='*' >"$log" 2>&1 || status=$?
grep -v -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
  -e '^Use -header-filter=' -e '^[0-9]* warnings\? treated as errors$' "$log" || true
if [ $status -ne 0 ]; then
  echo "FAIL: clang-tidy findings in the library sources"
  exit 1
fi
echo "ok: clang-tidy clean on ${#files[@]} library sources"
