#!/usr/bin/env bash
# Builds the API reference and fails on anything undocumented:
#  1. Doxygen over the public headers, HTML and XML, every warning an error;
#  2. man3.py: the exported names of the version scripts all documented
#     (brief, each parameter, return values, on failure, thread safety, an
#     example per library), then one section 3 page per function and header;
#  3. each page rendered by man without a warning (as lintian renders them);
#  4. with a C compiler: each header's example built against the build tree
#     and run on the virtual adapter's default board.
#
# Usage: reference.sh DOXYFILE VERSION PYTHON OUT "MAPS" [CC "INCLUDE_DIRS" "LIB_DIRS" "LIBS" ORVSIM_RUN]
# (lists separated by ':'). Writes OUT/html, OUT/xml, OUT/man3, OUT/examples.
set -euo pipefail
doxyfile=$1 version=$2 python=$3 out=$4 maps=$5
cc=${6:-} include_dirs=${7:-} lib_dirs=${8:-} libs=${9:-} orvsim=${10:-}
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$out/html" "$out/xml" "$out/man3" "$out/examples"
mkdir -p "$out"
{ cat "$doxyfile"; echo "OUTPUT_DIRECTORY = $out"; } | doxygen - >"$out/doxygen.log" 2>&1 ||
  { cat "$out/doxygen.log" >&2; fail "doxygen warned (undocumented or malformed comments above)"; }

map_args=()
IFS=':' read -r -a map_list <<<"$maps"
for m in "${map_list[@]}"; do map_args+=(--map "$m"); done
"$python" "$here/man3.py" --xml "$out/xml" --out "$out/man3" --version "$version" \
  --examples "$out/examples" "${map_args[@]}"

if command -v man >/dev/null; then
  for page in "$out"/man3/*.3; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || true
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  done
  echo "ok: $(ls "$out"/man3 | wc -l) pages render without warnings"
fi

[ -n "$cc" ] || exit 0
cflags=() ldflags=()
IFS=':' read -r -a dirs <<<"$include_dirs"
for d in "${dirs[@]}"; do cflags+=(-I "$d"); done
IFS=':' read -r -a dirs <<<"$lib_dirs"
for d in "${dirs[@]}"; do ldflags+=(-L "$d" "-Wl,-rpath,$d"); done
IFS=':' read -r -a names <<<"$libs"
for n in "${names[@]}"; do ldflags+=("-l$n"); done
for example in "$out"/examples/*.c; do
  "$cc" -Wall -Wextra -Werror -o "${example%.c}" "$example" "${cflags[@]}" "${ldflags[@]}" -lusb-1.0 ||
    fail "the example of $(basename "$example" .c).h does not build"
done
command -v umockdev-wrapper >/dev/null || { echo "SKIP: umockdev-wrapper missing: examples built, not run"; exit 0; }
# What each example prints on the default board.
declare -A expected=(
  [orv_tapwire]="IDCODE 0x4ba00477"
  [orv_lumo_spi]="JEDEC ID ef 40 16, first byte"
  [orv_lumo_iic]="0x50[0x10] = 0xa5"
  [orv_devices]="JEDEC ID ef 40 16 (Winbond W25Q32, 4194304 bytes), first byte"
)
for example in "$out"/examples/*.c; do
  name=$(basename "$example" .c)
  output=$(env -u ORVSIM_ADAPTERS umockdev-wrapper "$orvsim" -- "${example%.c}" 2>&1) ||
    fail "the example of $name.h failed: $output"
  want=${expected[$name]:-}
  [ -z "$want" ] || [[ "$output" == *"$want"* ]] || fail "the example of $name.h printed '$output', not '$want'"
  echo "ok: the example of $name.h: $output"
done
