#!/usr/bin/env bash
# The installed programs as a user meets them: cmake --install into a fresh
# prefix, then, each in a clean environment (env -i PATH=/usr/bin:/bin) and
# from the prefix only:
#   - orvtool and orvsim-run start without LD_LIBRARY_PATH: a RUNPATH
#     relative to the file when the build's library directory is not a system
#     one, none when it is (a distribution's package must not have one);
#   - orvtool --version, orvtool --sim jtag scan, orvsim-run --version;
#   - an unknown board name is answered with the installed boards' directory
#     and names, a bad orvsim-run option with one line and a hint;
#   - a board file named without a directory, whose persisted image does not
#     exist yet, from the working directory: the image is created there;
#   - the EXAMPLES of both installed manual pages (check_examples.py).
#
# Usage: check_installed.sh BUILD_DIR WORK_DIR PYTHON [PROGRAM_RPATH [LIBRARY_RPATH]]
# (the build's install RUNPATHs; none given: a system library directory)
set -uo pipefail
build=$1 work=$2 python=$3 rpath=${4:-} library_rpath=${5:-}
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
step() { echo "-- $*"; }
fail() { echo "FAIL: $*"; exit 1; }
clean() { env -i PATH=/usr/bin:/bin HOME="$work" "$@"; }

step "cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
orvtool=$prefix/bin/orvtool orvsim=$prefix/bin/orvsim-run
for f in "$orvtool" "$orvsim"; do [ -x "$f" ] || fail "$f not installed"; done
libdir=$(dirname "$(find "$prefix" -name liborv_tapwire.so.1 | head -n1)")

step "RUNPATH"
runpath() { readelf -d "$1" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p'; }
for f in "$orvtool" "$libdir"/liborv_devices.so.1 "$libdir"/liborv_tapwire.so.1; do
  got=$(runpath "$f")
  case $f in
  */bin/*) want=$rpath ;;
  *) want=$library_rpath ;;
  esac
  [ "$got" = "$want" ] || fail "${f#"$prefix"/}: RUNPATH '$got', expected '$want'"
  echo "   ${f#"$prefix"/}: ${got:-none}"
done
if [ -z "$rpath" ]; then
  # A system library directory: the dynamic linker's own search finds the
  # libraries once installed there; this prefix is not, so point at it.
  echo "   (a system library directory: no RUNPATH; the rest runs with LD_LIBRARY_PATH)"
  clean() { env -i PATH=/usr/bin:/bin HOME="$work" LD_LIBRARY_PATH="$libdir" "$@"; }
fi

step "the installed programs in a clean environment"
out=$(clean "$orvtool" --version 2>&1) || fail "orvtool --version: $out"
echo "   orvtool --version: $out"
out=$(clean "$orvsim" --version 2>&1) || fail "orvsim-run --version: $out"
echo "   orvsim-run --version: $out"
out=$(clean "$orvtool" --sim jtag scan 2>&1) || fail "orvtool --sim jtag scan: $out"
echo "$out" | grep -q '0x4ba00477' || fail "orvtool --sim jtag scan found no DAP: $out"
loaded=$(clean ldd "$orvtool" | awk '/liborv_/{print $3}')
for lib in $loaded; do
  [ "$(readlink -f "$lib")" = "$(readlink -f "$libdir/$(basename "$lib")")" ] ||
    fail "orvtool loads $lib, not the prefix's"
done
echo "   orvtool --sim jtag scan: ok, $(echo "$loaded" | wc -w) libraries from ${libdir#"$prefix"/}"

step "an unknown board: the installed boards are named"
boards=$prefix/share/orv/boards
names=$(find "$boards" -maxdepth 1 -name '*.json' -printf '%f\n' | sed 's/\.json$//' | LC_ALL=C sort | paste -sd, - | sed 's/,/, /g')
want="no-such-board: an existing board file, or the name of a board in $boards: $names"
for program in "$orvsim --board no-such-board -- true" "$orvtool --sim --board no-such-board spi id"; do
  # shellcheck disable=SC2086
  out=$(cd "$work" && clean $program 2>&1)
  status=$?
  [ $status -eq 2 ] || fail "$program: exit $status, expected 2: $out"
  echo "$out" | grep -qF "$want" || fail "$program said: $out; expected: $want"
done
echo "   $want"

step "orvsim-run: one line and a hint for a bad command line"
while IFS='|' read -r args want; do
  # shellcheck disable=SC2086
  out=$(clean "$orvsim" $args -- true 2>&1)
  status=$?
  [ $status -eq 2 ] || fail "orvsim-run $args: exit $status, expected 2"
  [ "$out" = "$want" ] || fail "orvsim-run $args said '$out', expected '$want'"
  echo "   $out"
done <<'EOF'
--foo|orvsim-run: unknown option --foo; see orvsim-run --help
--adapters 33|orvsim-run: --adapters 33: give 1 to 32; see orvsim-run --help
--adapters 2 --board default --board w25q256 --board three-taps|orvsim-run: give one --board for all adapters, or one per adapter; see orvsim-run --help
EOF
out=$(clean "$orvsim" --board 2>&1)
[ "$out" = "orvsim-run: --board needs a value; see orvsim-run --help" ] || fail "orvsim-run --board: $out"
out=$(clean "$orvsim" program 2>&1)
[ "$out" = "orvsim-run: unexpected program (a program to run goes after --); see orvsim-run --help" ] ||
  fail "orvsim-run program: $out"

step "a board file named without a directory, its persisted image not there yet"
mkdir -p "$work/here"
cp "$prefix/share/orv/examples/board.json" "$work/here/"
printf 'kept across runs' >"$work/here/data.bin"
out=$(cd "$work/here" && clean "$orvtool" --sim --board board.json spi write 0 data.bin 2>&1) ||
  fail "orvtool --sim --board board.json spi write: $out"
[ "$(head -c 16 "$work/here/flash.bin")" = "kept across runs" ] || fail "flash.bin not written in the working directory"
out=$(cd "$work/here" && clean "$orvsim" --board board.json -- "$orvtool" --sim spi verify 0 data.bin 2>&1) ||
  fail "orvsim-run --board board.json: $out"
echo "   flash.bin created in the working directory and read back by orvtool and by orvsim-run"

step "the manual pages' EXAMPLES"
ld_path=()
[ -n "$rpath" ] || ld_path=(LD_LIBRARY_PATH="$libdir")
env "${ld_path[@]}" "$python" "$here/check_examples.py" "$prefix" "$work/examples" \
  "$prefix/share/man/man1/orvtool.1" "$prefix/share/man/man1/orvsim-run.1" || fail "manual page examples"
echo "ok: the installed programs run from $prefix in a clean environment"
