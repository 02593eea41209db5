#!/usr/bin/env python3
"""The boundary-scan benchmark's board: two IO77 devices (a made-up part with
77 I/O pins, each with a control, an output and an input cell, and one
internal cell: 232 boundary cells) in one chain, joined by 64 nets, IO(k) of
one to IO(k) of the other; and the netlist of those nets.

  gen_bscan.py OUT_DIR

Writes OUT_DIR/io77.bsd, OUT_DIR/bench-bscan.json (a board file for
orvsim-run --board) and OUT_DIR/bench-netlist.json.
"""

import json
import os
import sys

PINS = 77
NETS = 64


def bsdl():
    cells = []
    for k in range(PINS):
        control = 3 * k
        cells.append(f"{control} (BC_1, *, control, 1)")
        cells.append(f"{control + 1} (BC_1, IO({k}), output3, X, {control}, 1, Z)")
        cells.append(f"{control + 2} (BC_4, IO({k}), input, X)")
    cells.append(f"{3 * PINS} (BC_1, *, internal, 0)")
    register = " &\n".join(f'    "{c}{"," if i + 1 < len(cells) else ""}"' for i, c in enumerate(cells))
    package = ", ".join(str(1 + k) for k in range(PINS))
    return f"""-- IO77: a made-up part for the boundary-scan benchmark, 77 I/O pins with
-- a control, an output and an input cell each: {3 * PINS + 1} boundary cells.
-- Written for this project (bench/gen_bscan.py); free to use without terms.
entity IO77 is
  generic (PHYSICAL_PIN_MAP : string := "QFP84");
  port (IO : inout bit_vector (0 to {PINS - 1});
        TDI, TMS, TCK : in bit;
        TDO : out bit);
  use STD_1149_1_2001.all;
  attribute COMPONENT_CONFORMANCE of IO77 : entity is "STD_1149_1_2001";
  attribute PIN_MAP of IO77 : entity is PHYSICAL_PIN_MAP;
  constant QFP84 : PIN_MAP_STRING := "IO:({package}), TDI:78, TMS:79, TCK:80, TDO:81";
  attribute TAP_SCAN_IN of TDI : signal is true;
  attribute TAP_SCAN_MODE of TMS : signal is true;
  attribute TAP_SCAN_OUT of TDO : signal is true;
  attribute TAP_SCAN_CLOCK of TCK : signal is (20.0e6, BOTH);
  attribute INSTRUCTION_LENGTH of IO77 : entity is 4;
  attribute INSTRUCTION_OPCODE of IO77 : entity is
    "EXTEST (0000), SAMPLE (0001), PRELOAD (0001), IDCODE (0010), BYPASS (1111)";
  attribute INSTRUCTION_CAPTURE of IO77 : entity is "0001";
  attribute IDCODE_REGISTER of IO77 : entity is
    "0000" & "0000000001110111" & "00001111111" & "1";
  attribute BOUNDARY_LENGTH of IO77 : entity is {3 * PINS + 1};
  attribute BOUNDARY_REGISTER of IO77 : entity is
{register};
end IO77;
"""


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "io77.bsd"), "w") as f:
        f.write(bsdl())
    nets = {f"N{k}": [f"U1.IO({k})", f"U2.IO({k})"] for k in range(NETS)}
    board = {"description": f"Two IO77 parts ({3 * PINS + 1} boundary cells each) joined by {NETS} nets",
             "jtag": [{"name": "U1", "bsdl": "io77.bsd"}, {"name": "U2", "bsdl": "io77.bsd"}],
             "nets": nets}
    with open(os.path.join(out, "bench-bscan.json"), "w") as f:
        json.dump(board, f, indent=1)
    netlist = {"devices": {"U1": {"tap": 0, "bsdl": "io77.bsd"}, "U2": {"tap": 1, "bsdl": "io77.bsd"}},
               "nets": nets}
    with open(os.path.join(out, "bench-netlist.json"), "w") as f:
        json.dump(netlist, f, indent=1)


if __name__ == "__main__":
    main()
