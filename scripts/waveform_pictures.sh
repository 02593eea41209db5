#!/usr/bin/env bash
# The README's waveform pictures, made again: a short I2C transaction and a
# JTAG IDCODE scan traced on the virtual adapter (orvtool --sim --trace) and
# drawn by GTKWave in a virtual X display, grabbed from its window.
#   scripts/waveform_pictures.sh [ORVTOOL] [OUTDIR]
# ORVTOOL defaults to build/bin/orvtool, OUTDIR to docs/. Needs the Debian
# packages gtkwave, xvfb and xauth (not in scripts/setup.sh: CI does not
# draw pictures).
set -euo pipefail
cd "$(dirname "$0")/.."
orvtool=$(realpath "${1:-build/bin/orvtool}")
out=${2:-docs}
for tool in gtkwave xvfb-run; do
  command -v "$tool" >/dev/null || { echo "waveform_pictures: $tool is missing (apt-get install gtkwave xvfb xauth)"; exit 1; }
done
mkdir -p "$out"
picture_dir=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# picture NAME WIDTH SIGNALS -- ORVTOOL ARGS...: traces the command, then
# lets GTKWave draw SIGNALS over the whole trace into OUTDIR/waveform-NAME.png.
picture() {
  local name=$1 width=$2 signals=$3
  shift 4
  "$orvtool" --sim --trace "$work/$name.vcd" "$@" >/dev/null
  # The save file lays out the window (the names' column, the signals); the
  # script zooms to the whole trace and grabs the window.
  {
    echo "[signals_width] 150"
    echo "@28"
    printf '%s\n' $signals
  } >"$work/$name.gtkw"
  {
    echo "gtkwave::/Time/Zoom/Zoom_Full"
    echo "gtkwave::/File/Grab_To_File $picture_dir/waveform-$name.png"
    echo "gtkwave::/File/Quit"
  } >"$work/$name.tcl"
  # From the work directory, so the window's title names only the file.
  (cd "$work" && timeout 120 xvfb-run -a -s "-screen 0 ${width}x300x24" \
    gtkwave -S "$name.tcl" --rcvar 'hide_sst on' --rcvar "initial_window_x $width" \
      --rcvar 'initial_window_y 230' "$name.vcd" "$name.gtkw" >"$name.log" 2>&1) ||
    { cat "$work/$name.log"; exit 1; }
  echo "wrote $out/waveform-$name.png"
}

# The register file at 0x68: register 0x75 selected in a write, then read.
picture i2c 1100 "orv.i2c.scl orv.i2c.sda orv.i2c.sda_adapter orv.i2c.sda_device" -- \
  i2c get 0x68 0x75
# After a TAP reset both TAPs hold IDCODE: 64 bits of DR give both.
picture jtag 1100 "orv.jtag.tck orv.jtag.tms orv.jtag.tdi orv.jtag.tdo orv.jtag.trst" -- \
  jtag dr --len 64 0
