#!/usr/bin/env bash
# Installs the build tree into a fresh prefix, checks the installed layout,
# builds the consumer programs out of tree against that prefix (once through
# pkg-config, once through find_package(orv)) and runs them on the virtual
# adapter.
#
# Usage: run_consumer.sh BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR CC CXX [ORVSIM_RUN]
# Exits 77 (skipped) after building when there is no orvsim-run launcher yet.
set -euo pipefail
build=$1 src=$2 work=$3 cc=$4 cxx=$5 orvsim=${6:-}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

step() { echo "-- $*"; }
fail() { echo "FAIL: $*"; exit 1; }

step "cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }

libdir=
for d in lib lib64 lib/x86_64-linux-gnu; do
  [ -e "$prefix/$d/liborv_tapwire.so" ] && libdir=$prefix/$d
done
[ -n "$libdir" ] || fail "liborv_tapwire.so not installed"

step "installed layout"
for lib in orv_tapwire orv_lumo_spi orv_lumo_iic orv_devices; do
  real=$(readlink -f "$libdir/lib$lib.so")
  [ -f "$real" ] || fail "lib$lib.so does not resolve to a file"
  [ "$(readlink "$libdir/lib$lib.so")" = "lib$lib.so.1" ] || fail "lib$lib.so does not point to the SONAME link"
  [ -L "$libdir/lib$lib.so.1" ] || fail "SONAME link lib$lib.so.1 missing"
  [ -f "$libdir/pkgconfig/$lib.pc" ] || fail "$lib.pc missing"
  echo "   $(basename "$libdir")/lib$lib.so -> lib$lib.so.1 -> $(basename "$real")"
done
for h in orv_tapwire.h orv_lumo_spi.h orv_lumo_iic.h orv_devices.h orv_result.h; do
  [ -f "$prefix/include/orv/$h" ] || fail "include/orv/$h missing"
done
for f in orvConfig.cmake orvConfigVersion.cmake orvTargets.cmake; do
  [ -f "$libdir/cmake/orv/$f" ] || fail "cmake/orv/$f missing"
done
if [ -f "$build/bin/orvtool" ] || grep -q 'bin/orvtool' "$work/install.log"; then
  [ -x "$prefix/bin/orvtool" ] || fail "orvtool not installed"
  LD_LIBRARY_PATH=$libdir "$prefix/bin/orvtool" --help >"$work/orvtool-help.txt" 2>&1 ||
    fail "installed orvtool --help failed: $(cat "$work/orvtool-help.txt")"
  echo "   bin/orvtool --help: $(head -n1 "$work/orvtool-help.txt")"
  if [ -f "$src/../../../front/orvtool/orvtool.1" ]; then
    [ -f "$prefix/share/man/man1/orvtool.1" ] || fail "man page orvtool.1 not installed"
    echo "   share/man/man1/orvtool.1"
  fi
  rule=$prefix/lib/udev/rules.d/60-orv-adapter.rules
  [ -f "$rule" ] || fail "udev rule 60-orv-adapter.rules not installed"
  # One active rule: the virtual adapter's id, access for the seat's user.
  grep -v '^#' "$rule" | grep -q 'ATTR{idVendor}=="1209", ATTR{idProduct}=="4f52", TAG+="uaccess"' ||
    fail "the udev rule does not give uaccess to 1209:4f52"
  echo "   lib/udev/rules.d/60-orv-adapter.rules"
fi

if grep -q 'bin/orvsim-run' "$work/install.log"; then
  [ -x "$prefix/bin/orvsim-run" ] || fail "orvsim-run not installed"
  [ -f "$prefix/share/man/man1/orvsim-run.1" ] || fail "man page orvsim-run.1 not installed"
  for board in default w25q256 three-taps bscan bscan-faults; do
    [ -f "$prefix/share/orv/boards/$board.json" ] || fail "board $board.json not installed"
  done
  for file in CortexMx.bsd STM32F301_F302_UFQFPN32.bsd gl64_tq100.bsd STM32F3_BSDL_LICENSE.txt; do
    [ -f "$prefix/share/orv/boards/$file" ] || fail "$file, which bscan.json uses, not installed"
  done
  echo "   bin/orvsim-run, share/man/man1/orvsim-run.1, share/orv/boards/*.json"
fi

step "pkg-config build"
export PKG_CONFIG_PATH=$libdir/pkgconfig
mkdir -p "$work/pkgconfig"
pkg-config --exists --print-errors orv_tapwire orv_lumo_spi orv_lumo_iic orv_devices
for lib in orv_tapwire orv_lumo_spi orv_lumo_iic orv_devices; do
  pkg-config --validate "$lib" || fail "$lib.pc does not validate"
  [ "$(pkg-config --modversion "$lib")" = "$(sed -n 's/^Version: //p' "$libdir/pkgconfig/$lib.pc")" ] || fail "$lib version"
  pkg-config --print-requires-private "$lib" | grep -q '^libusb-1.0' || fail "$lib.pc lacks Requires.private: libusb-1.0"
done
echo "   pkg-config --cflags --libs orv_tapwire: $(pkg-config --cflags --libs orv_tapwire)"
rpath=-Wl,-rpath,$(pkg-config --variable=libdir orv_tapwire)
# Compiled with the library's --cflags alone: they must bring libusb's include
# directory (Requires.private), since the public headers include <libusb.h>.
# Linked with libusb-1.0 named in its own right, as the programs call libusb.
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic -c -o "$work/pkgconfig/consumer_c.o" "$src/consumer.c" \
  $(pkg-config --cflags orv_tapwire)
# shellcheck disable=SC2046
"$cc" -o "$work/pkgconfig/consumer_c" "$work/pkgconfig/consumer_c.o" $(pkg-config --libs orv_tapwire libusb-1.0) "$rpath"
# shellcheck disable=SC2046
"$cxx" -std=c++17 -Wall -Wextra -Werror -c -o "$work/pkgconfig/consumer_cxx.o" "$src/consumer.cpp" \
  $(pkg-config --cflags orv_lumo_iic orv_lumo_spi orv_tapwire)
# shellcheck disable=SC2046
"$cxx" -o "$work/pkgconfig/consumer_cxx" "$work/pkgconfig/consumer_cxx.o" \
  $(pkg-config --libs orv_lumo_iic orv_lumo_spi orv_tapwire libusb-1.0) "$rpath"
# The device library by its own module alone: it brings the bus libraries.
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic -o "$work/pkgconfig/consumer_devices" "$src/consumer_devices.c" \
  $(pkg-config --cflags --libs orv_devices libusb-1.0) "$rpath"

step "find_package(orv) build"
cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/cmake-configure.log" ||
  { cat "$work/cmake-configure.log"; fail "configure of the find_package consumer"; }
cmake --build "$work/cmake" >"$work/cmake-build.log" || { cat "$work/cmake-build.log"; fail "build"; }
# The version file accepts the same major version only.
if cmake -S "$src" -B "$work/cmake-v2" -DCMAKE_PREFIX_PATH="$prefix" -DORV_CONSUMER_VERSION=2 \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$work/cmake-v2.log" 2>&1; then
  fail "find_package(orv 2) accepted the installed $(sed -n 's/^Version: //p' "$libdir/pkgconfig/orv_tapwire.pc")"
fi
echo "   find_package(orv 1) found the installed package; find_package(orv 2) refused it"

binaries=("$work/pkgconfig/consumer_c" "$work/pkgconfig/consumer_cxx" "$work/pkgconfig/consumer_devices"
  "$work/cmake/consumer_c" "$work/cmake/consumer_cxx" "$work/cmake/consumer_devices")
for b in "${binaries[@]}"; do
  # Linked by SONAME, resolved from the installed prefix.
  needed=$(readelf -d "$b" | sed -n 's/.*(NEEDED).*\[\(liborv_[a-z_]*\.so[.0-9]*\)\].*/\1/p' | tr '\n' ' ')
  case "$b" in
  */consumer_c) want="liborv_tapwire.so.1 " ;;
  */consumer_cxx) want="liborv_lumo_iic.so.1 liborv_lumo_spi.so.1 liborv_tapwire.so.1 " ;;
  # The device library, and the bus libraries too when the linker keeps what
  # the CMake target links for it.
  */consumer_devices) want="liborv_devices.so.1 " ;;
  esac
  needed=$(echo "$needed" | tr ' ' '\n' | sort | grep -v '^$' | tr '\n' ' ')
  if [[ "$b" == */consumer_devices && "$needed" == *liborv_tapwire* ]]; then
    want="liborv_devices.so.1 liborv_lumo_iic.so.1 liborv_lumo_spi.so.1 liborv_tapwire.so.1 "
  fi
  [ "$needed" = "$want" ] || fail "$b needs '$needed', expected '$want'"
  # Every library of ours, the device library's own needs included.
  loaded=$(ldd "$b" | awk '$1 ~ /^liborv_/ {print $1, $3}')
  while read -r soname resolved; do
    [ "$(readlink -f "$resolved")" = "$(readlink -f "$libdir/$soname")" ] ||
      fail "$b resolves $soname to '$resolved', not the installed prefix"
  done <<<"$loaded"
  [[ "$loaded" == *liborv_tapwire* ]] || fail "$b does not load liborv_tapwire"
done
echo "   built ${#binaries[@]} consumers, NEEDED by SONAME, resolved from $libdir"

if [ -z "$orvsim" ] || [ ! -x "$orvsim" ]; then
  echo "SKIP: no orvsim-run launcher in this build: the consumers were built but not run"
  exit 77
fi
command -v umockdev-wrapper >/dev/null || { echo "SKIP: umockdev-wrapper not installed"; exit 77; }

if [ -x "$prefix/bin/orvtool" ] && [ -f "$prefix/share/orv/boards/default.json" ]; then
  step "the installed orvtool --sim takes the installed default board"
  default_board=$prefix/share/orv/boards/default.json
  cp "$default_board" "$work/default.json"
  sed -i 's/"jedec_id": "ef4016"/"jedec_id": "c22016"/' "$default_board"
  id=$(env -u ORVSIM_ADAPTERS LD_LIBRARY_PATH="$libdir" "$prefix/bin/orvtool" --sim spi id 2>&1) ||
    fail "installed orvtool --sim spi id: $id"
  cp "$work/default.json" "$default_board"
  echo "$id" | grep -q 'JEDEC ID: *c2 20 16' || fail "installed orvtool did not use its default board: $id"
  echo "   $(echo "$id" | head -n1)"
fi

# The installed launcher when there is one.
[ -x "$prefix/bin/orvsim-run" ] && orvsim=$prefix/bin/orvsim-run
failed=()
for b in "${binaries[@]}"; do
  step "run ${b#"$work"/} on the virtual adapter (${orvsim#"$work"/})"
  umockdev-wrapper "$orvsim" -- "$b" || failed+=("${b#"$work"/}")
done
[ ${#failed[@]} -eq 0 ] || fail "on the virtual adapter: ${failed[*]}"
echo "ok: ${#binaries[@]} consumers built against the installed prefix and run on the virtual adapter"
