#!/usr/bin/env bash
# Fails when a tracked C or C++ source is not laid out as .clang-format says.
# Paths listed in format-exclude.txt (next to this script) are left out and
# named in the output, so the debt stays visible.
# Usage: check_format.sh CLANG_FORMAT SOURCE_DIR
set -euo pipefail
clang_format=$1 root=$2
exclude_list=$(dirname "$(readlink -f "$0")")/format-exclude.txt
cd "$root"
[ -f .clang-format ] || { echo "FAIL: no .clang-format in $root"; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
else
  mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.hpp' \) -print)
fi
excluded=()
if [ -f "$exclude_list" ]; then
  mapfile -t excluded < <(grep -v -e '^#' -e '^[[:space:]]*$' "$exclude_list")
fi
mapfile -t files < <(printf '%s\n' "${files[@]}" | sed 's|^\./||' | grep -vxF -f <(printf '%s\n' "${excluded[@]}" "") || true)
[ ${#excluded[@]} -eq 0 ] || echo "not checked (format-exclude.txt): ${excluded[*]}"
[ ${#files[@]} -gt 0 ] || { echo "FAIL: no sources found"; exit 1; }
if "$clang_format" --dry-run --Werror "${files[@]}"; then
  echo "ok: ${#files[@]} files laid out as .clang-format says"
else
  echo "FAIL: run clang-format -i on the files above"
  exit 1
fi
