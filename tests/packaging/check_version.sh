#!/usr/bin/env bash
# The project's version is set once, in CMake's project(VERSION); everything
# that states it must agree: the libraries' file names and SONAMEs, the
# pkg-config files, orvtool --version, orvsim-run --version, the manual pages
# of both, the Python package (pyproject.toml takes it from orv.__version__)
# and debian/changelog's upstream version.
# Usage: check_version.sh VERSION SOURCE_DIR BUILD_DIR ORVTOOL ORVSIM_RUN LIBRARY...
set -euo pipefail
version=$1 src=$2 build=$3 orvtool=$4 orvsim=$5
shift 5
major=${version%%.*}
failed=0
check() { # WHAT FOUND
  if [ "$2" = "$version" ]; then
    printf '   %-40s %s\n' "$1" "$2"
  else
    echo "FAIL: $1 says '$2', project(VERSION) is $version"
    failed=1
  fi
}

for lib in "$@"; do
  file=$(basename "$lib")
  check "$file" "${file#*.so.}"
  soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\].*/\1/p')
  [ "$soname" = "${file%%.so.*}.so.$major" ] || { echo "FAIL: SONAME of $file is $soname"; failed=1; }
done
for pc in "$build"/orv_*.pc.in; do
  check "$(basename "$pc" .in)" "$(sed -n 's/^Version: //p' "$pc")"
done
check "orvtool --version" "$("$orvtool" --version | sed 's/^orvtool //')"
check "orvsim-run --version" "$("$orvsim" --version | sed 's/^orvsim-run //')"
for page in front/orvtool/orvtool.1 front/orvsim-run/orvsim-run.1; do
  check "$page (.TH)" "$(sed -n '1s/^\.TH .* "orv \([^"]*\)".*/\1/p' "$src/$page")"
done
check "front/python/orv/__init__.py __version__" \
  "$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$src/front/python/orv/__init__.py")"
grep -q '^dynamic = \["version"\]' "$src/front/python/pyproject.toml" ||
  { echo "FAIL: front/python/pyproject.toml must take its version from orv.__version__ (dynamic)"; failed=1; }
# "orv (EPOCH:UPSTREAM-REVISION) ..." on the first line.
check "debian/changelog (upstream part)" \
  "$(sed -n '1s/^[^ ]* (\([0-9]*:\)\{0,1\}\([^)]*\)).*/\2/p' "$src/debian/changelog" | sed 's/-[^-]*$//')"

[ $failed -eq 0 ] && echo "ok: every statement of the version is $version"
exit $failed
