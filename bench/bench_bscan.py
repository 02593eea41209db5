#!/usr/bin/env python3
"""Boundary scan on the virtual adapter: transfers per SAMPLE and per
interconnect test, and the samples a second of jtag pins --watch, on a board
of two 232-cell devices joined by 64 nets (bench/gen_bscan.py). Run under
`orvsim-run --control --board DIR/bench-bscan.json`: orvtool opens
orvsim-run's adapter by its bus and address, and the control channel counts
the bulk URBs it received.

  orvsim-run --control --board DIR/bench-bscan.json -- \\
      python3 bench/bench_bscan.py ORVTOOL DIR [--reps N]

Every orvtool command starts with the chain scan; its URBs (jtag scan alone)
are taken off to give the operation's own. Writes DIR/bscan.json and
DIR/bscan.md (a section of bench/REPORT.md).
"""

import argparse
import json
import math
import os
import re
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "front", "python"))
from orv.simcontrol import SimControl  # noqa: E402  (the package beside the benchmarks)
from bench_svf import measure  # noqa: E402  (wall time and URBs of one run)

READBACK_BOUND = 512  # bytes an exchange reads back at most
WATCH_TARGET = 20     # samples a second
WATCH_LINE = re.compile(r"(\d+) samples? in (\d+) ms \(([\d.]+) a second\)")


def run(command):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=600)


def minus(a, b):
    return {k: a[k] - b[k] for k in a}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("orvtool")
    ap.add_argument("dir")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--watch-seconds", type=float, default=3.0)
    a = ap.parse_args()
    adapter = "1209:4f52:" + os.environ["ORVSIM_ADAPTERS"].split(",")[0]
    control = SimControl.from_environment()
    tool = [a.orvtool, "--usb", adapter, "--json", "jtag"]
    bsdl = os.path.join(a.dir, "io77.bsd")
    netlist = os.path.join(a.dir, "bench-netlist.json")
    commands = {"scan": tool + ["scan"],
                "sample": tool + ["pins", "--bsdl", bsdl, "--tap", "0"],
                "connect_test": tool + ["connect-test", "--netlist", netlist]}
    results = {}
    for name, command in commands.items():
        runs = []
        for _ in range(a.reps):
            seconds, urbs, done = measure(control, lambda: run(command))
            assert done.returncode == 0, (command, done.stderr)
            runs.append({"seconds": seconds, "urbs": urbs, "report": json.loads(done.stdout)})
        # URBs are the same from run to run; the wall time is the median.
        results[name] = {"urbs": runs[0]["urbs"], "seconds": statistics.median(r["seconds"] for r in runs),
                         "report": runs[0]["report"]}
    for name in ("sample", "connect_test"):
        results[name]["own_urbs"] = minus(results[name]["urbs"], results["scan"]["urbs"])
        results[name]["own_seconds"] = results[name]["seconds"] - results["scan"]["seconds"]

    watch = subprocess.Popen([a.orvtool, "--usb", adapter, "jtag", "pins", "--bsdl", bsdl, "--tap", "0", "--watch"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(a.watch_seconds)
    watch.send_signal(signal.SIGINT)
    _, err = watch.communicate(timeout=60)
    m = WATCH_LINE.search(err)
    assert watch.returncode == 0 and m, err
    results["watch"] = {"samples": int(m.group(1)), "ms": int(m.group(2)), "per_second": float(m.group(3))}

    with open(os.path.join(a.dir, "bscan.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(a.dir, "bscan.md"), "w") as f:
        f.write(section(results))
    print(section(results))


def section(r):
    test = r["connect_test"]["report"]
    patterns = test["patterns"]
    cells = 2 * 232
    readback = math.ceil(patterns * cells / 8)
    least = math.ceil(readback / READBACK_BOUND)
    lines = ["Two IO77 devices (232 boundary cells each, a made-up part of bench/gen_bscan.py) joined by 64 nets, on "
             "the virtual adapter under orvsim-run, whose control channel counts the bulk URBs; each orvtool run "
             "starts with the chain scan, whose URBs (`jtag scan` alone) are taken off the operation's. Wall time: "
             "median of the runs, the whole orvtool process (its start and the virtual adapter's latency included).",
             "",
             "| operation | OUT URBs | count polls | data reads | wall time |",
             "|---|---:|---:|---:|---:|"]
    for name, label in (("scan", "`jtag scan` (the chain scan every command starts with)"),
                        ("sample", "SAMPLE of 77 pins (`jtag pins`), less the chain scan"),
                        ("connect_test", "interconnect test (`jtag connect-test`), less the chain scan")):
        e = r[name]
        u = e.get("own_urbs", e["urbs"])
        seconds = e.get("own_seconds", e["seconds"])
        lines.append(f"| {label} | {u['out']} | {u['polls']} | {u['data_reads']} | {seconds * 1000:.0f} ms |")
    lines.append("")
    s = r["sample"]["own_urbs"]
    c = r["connect_test"]["own_urbs"]
    w = r["watch"]
    lines.append(f"- A SAMPLE is one IR scan and one DR scan in one OUT transfer and one read-back exchange: "
                 f"{s['out']} OUT, {s['data_reads']} data read ({'met' if s['out'] == 1 and s['data_reads'] == 1 else '**missed**'}).")
    lines.append(f"- The interconnect test of the 64 nets: {test['nets_tested']} nets tested with {patterns} patterns "
                 f"({patterns + 1} DR scans through both boundary registers, {cells} bits); what it reads back, "
                 f"{readback} bytes, needs at least {least} exchanges of {READBACK_BOUND} bytes: it made "
                 f"{c['data_reads']} exchanges in {c['out']} OUT transfers "
                 f"({'met' if c['data_reads'] == least else '**missed**'}).")
    lines.append(f"- `jtag pins --watch` on a 232-cell device: {w['per_second']:.1f} samples a second "
                 f"({w['samples']} in {w['ms']} ms; it samples every 20 ms), at least {WATCH_TARGET} "
                 f"({'met' if w['per_second'] >= WATCH_TARGET else '**missed**'}).")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
