#!/usr/bin/env bash
# Checks one shipped library against its linker version script:
#   - the defined dynamic symbols are exactly the map's global names (the
#     version node itself, an absolute symbol, is not an export);
#   - every export is bound to the map's version node (name@@NODE);
#   - every export is declared in the public header;
#   - the SONAME is the expected one.
# Usage: check_exports.sh LIBRARY MAP HEADER SONAME
set -euo pipefail
lib=$1 map=$2 header=$3 soname=$4
fail=0

node=$(sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)[[:space:]]*{.*/\1/p' "$map" | head -n1)
[ -n "$node" ] || { echo "FAIL: no version node in $map"; exit 1; }

# Names between "global:" and "local:" in the map.
expected=$(awk '/global:/{g=1; next} /local:/{g=0} g' "$map" | tr -d ' \t;' | grep -v '^$' | sort -u)

# Defined dynamic symbols, without the version node's own absolute symbol.
raw=$(nm -D --defined-only "$lib" | awk '{print $NF}')
actual=$(printf '%s\n' "$raw" | grep -v "^${node}\$" | sed 's/@.*//' | sort -u)

extra=$(comm -13 <(printf '%s\n' "$expected") <(printf '%s\n' "$actual"))
missing=$(comm -23 <(printf '%s\n' "$expected") <(printf '%s\n' "$actual"))
if [ -n "$extra" ]; then
  echo "FAIL: $lib exports symbols its map does not list:"; printf '  %s\n' $extra; fail=1
fi
if [ -n "$missing" ]; then
  echo "FAIL: $lib lacks exports its map lists:"; printf '  %s\n' $missing; fail=1
fi

unversioned=$(printf '%s\n' "$raw" | grep -v "^${node}\$" | grep -v "@@${node}\$" || true)
if [ -n "$unversioned" ]; then
  echo "FAIL: exports not bound to version node $node:"; printf '  %s\n' $unversioned; fail=1
fi

for sym in $expected; do
  grep -Eq "\\b${sym}\\(" "$header" || { echo "FAIL: $sym is not declared in $(basename "$header")"; fail=1; }
done

actual_soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
if [ "$actual_soname" != "$soname" ]; then
  echo "FAIL: SONAME of $lib is '$actual_soname', expected '$soname'"; fail=1
fi

if [ $fail -eq 0 ]; then
  echo "ok: $(basename "$lib") exports exactly the $(printf '%s\n' $expected | wc -l) symbols of $(basename "$map") ($node), SONAME $soname"
fi
exit $fail
