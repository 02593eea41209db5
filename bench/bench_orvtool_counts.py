#!/usr/bin/env python3
"""Adapter transfers per orvtool command, for two orvtool builds side by side
on one virtual adapter: the same commands, the URBs each made on every
endpoint (OUT, count polls, data reads), counted by orvsim-run's control
channel. Used to show that a change of orvtool's inside (the device library)
sends the same transfers as before.

    orvsim-run --adapters 2 --control -- bench_orvtool_counts.py ORVTOOL_BEFORE ORVTOOL_AFTER OUT.json

Each build runs its commands in order on an adapter of its own (`orvtool
--sim` under orvsim-run takes the first adapter ORVSIM_ADAPTERS names), so
both see the same sequence of flash and EEPROM states.
"""

import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "front", "python"))
from orv.simcontrol import SimControl, urb_delta  # noqa: E402

# 64 KiB of a pattern, and the same image with one byte changed: the second
# write erases one 4 KiB block and programs its pages.
SIZE = 64 * 1024


def commands(work):
    image = os.path.join(work, "image.bin")
    changed = os.path.join(work, "changed.bin")
    with open(image, "wb") as f:
        f.write(bytes((i * 7) & 0xFF for i in range(SIZE)))
    data = bytearray(open(image, "rb").read())
    data[5000] ^= 0x55
    with open(changed, "wb") as f:
        f.write(bytes(data))
    return [
        ("jtag scan", ["jtag", "scan"]),
        ("spi read 64 KiB", ["spi", "read", "0", "64k", "-o", os.path.join(work, "read.bin")]),
        ("spi write 64 KiB (blank flash)", ["spi", "write", "0x100000", image]),
        ("spi write 64 KiB (one byte differs)", ["spi", "write", "0x100000", changed]),
        ("spi write 64 KiB (identical)", ["spi", "write", "0x100000", changed]),
        ("spi verify 64 KiB", ["spi", "verify", "0x100000", changed]),
        ("spi erase 4 sectors", ["spi", "erase", "--sector", "0x100000", "--count", "4"]),
        ("i2c detect", ["i2c", "detect"]),
        ("i2c dump", ["i2c", "dump", "0x50"]),
    ]


def measure(control, index, adapter, orvtool, args):
    before = control.counts(index)
    done = subprocess.run([orvtool, "--sim"] + args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, ORVSIM_ADAPTERS=adapter))
    if done.returncode != 0:
        raise SystemExit(f"{orvtool} {' '.join(args)} failed: {done.stderr}")
    return urb_delta(before, control.counts(index))


def main():
    before_tool, after_tool, out_path = sys.argv[1:4]
    control = SimControl.from_environment()
    adapters = os.environ["ORVSIM_ADAPTERS"].split(",")
    if len(adapters) < 2:
        raise SystemExit("run under orvsim-run --adapters 2 --control")
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for name, args in commands(work):
            rows.append({"command": name, "before": measure(control, 0, adapters[0], before_tool, args),
                         "after": measure(control, 1, adapters[1], after_tool, args)})
    with open(out_path, "w") as f:
        json.dump(rows, f, indent=1)
    print(f"{'command':40} {'before (OUT/polls/reads)':>26} {'after':>20}")
    for r in rows:
        b, a = r["before"], r["after"]
        print(f"{r['command']:40} {b['out']:>10}/{b['polls']}/{b['data_reads']:<10} "
              f"{a['out']:>8}/{a['polls']}/{a['data_reads']}")


if __name__ == "__main__":
    main()
