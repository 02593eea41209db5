#!/usr/bin/env bash
# The bash completion of orvtool and orvsim-run against the built programs:
# groups, commands and options come from their --help, option values are
# skipped, --board offers the installed boards.
# Usage: check_completion.sh COMPLETION_FILE ORVTOOL ORVSIM_RUN BOARD_DIR
set -euo pipefail
completion=$1 orvtool=$2 orvsim=$3 boards=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The layout of an install: bin/ beside share/orv/boards.
mkdir -p "$work/bin" "$work/share/orv"
ln -s "$orvtool" "$work/bin/orvtool"
ln -s "$orvsim" "$work/bin/orvsim-run"
ln -s "$boards" "$work/share/orv/boards"
PATH=$work/bin:$PATH
# shellcheck disable=SC1090
source "$completion"
failed=0
while IFS='|' read -r line expected; do
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  if [[ ${COMP_WORDS[0]} == orvsim-run ]]; then _orvsim_run; else _orvtool; fi
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: '$line' completes to '$got', expected '$expected'"
    failed=1
  fi
done <<'CASES'
orvtool |bsdl i2c jtag list serve spi
orvtool --sim sp|spi
orvtool --timeout 100 --board default spi |erase id protect read sfdp status unprotect verify write
orvtool --sim --sim-fault stall i2c --c|--clock
orvtool jtag --tck 500 sv|svf
orvtool --board w2|w25q256
orvtool spi read --o|--output
orvsim-run --adapters 2 --bo|--board
orvsim-run --ver|--version
CASES
[ $failed -eq 0 ] && echo "ok: orvtool and orvsim-run complete from their --help"
exit $failed
