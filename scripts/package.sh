#!/usr/bin/env bash
# Builds the Debian packages (debian/) in a clean copy of the source tree and
# checks them with lintian: no errors, no warnings (each one either fixed or
# overridden in debian/*.lintian-overrides with its reason).
#
# The copy is the working tree as git sees it: tracked files with their
# uncommitted changes, and untracked files that are not ignored; ignored
# files (build directories, caches) never reach it. So the packages hold
# exactly the sources the tests ran on, and nothing a local build left.
#
#   scripts/package.sh            packages in build-deb/ (OUT=DIR for another)
#
# Only what the packages need is built: no tests, no benchmarks
# (DEB_BUILD_OPTIONS=nocheck). Needs the build dependencies of
# debian/control and lintian (scripts/setup.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${OUT:-build-deb}
JOBS=${JOBS:-$(nproc)}
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-nocheck noddebs parallel=$JOBS}
start=$(date +%s)

version=$(dpkg-parsechangelog -S Version)
src=$OUT/orv-${version%-*}
rm -rf "$OUT"
mkdir -p "$src"
echo "== source tree: the working tree as git sees it -> $src"
git ls-files -z --cached --others --exclude-standard |
  tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$src"

echo "== dpkg-buildpackage -us -uc -b (DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS)"
# Debian's own tools only: a python3 or cmake earlier on the PATH (pyenv,
# /usr/local) is not what the packages are built for.
(cd "$src" && env PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg-buildpackage -us -uc -b) >"$OUT/build.log" 2>&1 ||
  { tail -n 60 "$OUT/build.log"; echo "FAIL: dpkg-buildpackage (log: $OUT/build.log)"; exit 1; }
built=$(date +%s)
ls "$OUT"/*.deb | sed 's|^|   |'

echo "== lintian"
changes=$(ls "$OUT"/*.changes)
lintian --info --display-info --fail-on error,warning "$changes" | tee "$OUT/lintian.log" ||
  { echo "FAIL: lintian found errors or warnings (above)"; exit 1; }
echo "ok: $(ls "$OUT"/*.deb | wc -l) packages in $OUT, lintian clean" \
  "(build $((built - start)) s, lintian $(($(date +%s) - built)) s)"
