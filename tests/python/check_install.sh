#!/usr/bin/env bash
# The Python package's two installs, each then run on the virtual adapter:
#  1. cmake --install into a fresh prefix: the package lands in the prefix's
#     site-packages with _install.py naming the prefix's library directory,
#     and finds the installed libraries with no ORV_LIBRARY_PATH or
#     LD_LIBRARY_PATH;
#  2. pip install of the source directory into a fresh venv, offline, as the
#     README says; the README's example script then runs with it.
#
# Usage: check_install.sh BUILD_DIR SOURCE_DIR WORK_DIR PYTHON ORVSIM_RUN PYTHON_INSTALL_DIR VERSION
set -euo pipefail
build=$1 src=$2 work=$3 python=$4 orvsim=$5 pydir=$6 version=$7

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
step() { echo "-- $*"; }
fail() { echo "FAIL: $*"; exit 1; }
export PYTHONDONTWRITEBYTECODE=1
unset ORV_LIBRARY_PATH LD_LIBRARY_PATH PYTHONPATH

step "cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
case $pydir in /*) site=$pydir ;; *) site=$prefix/$pydir ;; esac
[ -f "$site/orv/__init__.py" ] || fail "orv not installed in $site"
[ -f "$site/orv/py.typed" ] || fail "py.typed not installed"
grep -q "^LIBDIR = \"$prefix/lib" "$site/orv/_install.py" || fail "_install.py: $(cat "$site/orv/_install.py")"
echo "   $site/orv, libraries recorded as $(sed -n 's/^LIBDIR = //p' "$site/orv/_install.py")"

step "the installed package on the virtual adapter"
cat >"$work/installed.py" <<PY
import orv
assert orv.__file__.startswith("$site/"), orv.__file__
with orv.open() as adapter:
    assert adapter.i2c().read_reg(0x68, 0x75) == b"\x68"
maps = open("/proc/self/maps").read()
for lib in ("liborv_tapwire", "liborv_lumo_spi", "liborv_lumo_iic", "liborv_devices"):
    assert "$prefix/lib" in "".join(l for l in maps.splitlines() if lib in l), lib + " not from the prefix"
print("   ok: imported from the prefix, libraries loaded from it")
PY
PYTHONPATH=$site "$orvsim" -- "$python" "$work/installed.py" || fail "installed package"

step "pip install $src/front/python into a new venv"
"$python" -m venv "$work/venv" >"$work/venv.log" 2>&1 || { cat "$work/venv.log"; fail "venv"; }
"$work/venv/bin/pip" install --disable-pip-version-check "$src/front/python" >"$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; fail "pip install"; }
installed=$("$work/venv/bin/python" -c 'import importlib.metadata as m; print(m.version("orv"))')
[ "$installed" = "$version" ] || fail "pip installed orv $installed, the project is $version"
echo "   orv $installed in $work/venv"

step "the README's example with the pip-installed package"
sed -n '/^## Python/,/^## /p' "$src/README.md" | sed -n '/^```python$/,/^```$/{/^```/d;p}' >"$work/example.py"
[ -s "$work/example.py" ] || fail "no python example in the README's Python section"
libdir=$(dirname "$(find "$prefix" -name liborv_tapwire.so.1 | head -n1)")
ORV_LIBRARY_PATH=$libdir "$orvsim" -- "$work/venv/bin/python" "$work/example.py" >"$work/example.out" 2>&1 ||
  { cat "$work/example.out"; fail "README example"; }
sed 's/^/   | /' "$work/example.out"
echo "ok: installed by cmake --install and by pip, both run on the virtual adapter"
