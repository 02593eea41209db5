#!/usr/bin/env python3
"""The Python package against orvtool, side by side in one run on one virtual
adapter: the smart write of a 1 MiB image the flash already holds (bulk URBs:
both go through the device library, so Python must make no more), and a 4
MiB read (wall time, Python within 1.1x of orvtool).

Each side is a whole program, as a user runs it: `orvtool spi ...`, and a
fresh python3 that opens the adapter, opens the flash and does the same
(reported with the time of the read call alone, from the last run). The two
alternate, orvtool first, then Python first; medians of the repetitions.

  orvsim-run --control -- python3 bench/bench_python.py ORVTOOL LIBDIRS OUT.json [--reps N]

LIBDIRS: the directories of the shared libraries, as ORV_LIBRARY_PATH takes
them. Writes a JSON file for bench/report.py.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, "..", "front", "python")
sys.path.insert(0, PACKAGE)
from orv.simcontrol import SimControl, urb_delta  # noqa: E402  (the package beside the benchmarks)

WRITE_SIZE = 1 << 20
READ_SIZE = 4 << 20

PYTHON_WRITE = """
import sys, orv
data = open(sys.argv[1], "rb").read()
with orv.open() as adapter:
    report = orv.SpiFlash(adapter.spi()).write(0, data)
print(report.unchanged_bytes, sum(report.erased.values()), report.programmed_pages)
"""

PYTHON_READ = """
import sys, time, orv
with orv.open() as adapter:
    flash = orv.SpiFlash(adapter.spi())
    start = time.monotonic()
    data = flash.read(0, int(sys.argv[2]))
    seconds = time.monotonic() - start
open(sys.argv[1], "wb").write(data)
print(seconds)
"""


def run(control, command, env=None):
    """Wall time, URBs and standard output of one program."""
    before = control.counts()
    start = time.monotonic()
    done = subprocess.run(command, check=True, capture_output=True, text=True, env=env, timeout=1800)
    seconds = time.monotonic() - start
    return seconds, urb_delta(before, control.counts()), done.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("orvtool")
    ap.add_argument("libdirs")
    ap.add_argument("out")
    ap.add_argument("--reps", type=int, default=3)
    args = ap.parse_args()
    control = SimControl.from_environment()
    env = dict(os.environ, ORV_LIBRARY_PATH=args.libdirs, PYTHONPATH=PACKAGE, PYTHONDONTWRITEBYTECODE="1")
    python = [sys.executable, "-c"]
    work = tempfile.mkdtemp(prefix="orv_bench_python_")
    image = os.path.join(work, "image.bin")
    with open(image, "wb") as f:
        f.write(random.Random(21).randbytes(WRITE_SIZE))

    def alternate(name, commands):
        """Each side `reps` times, orvtool first on even repetitions, Python
        first on odd ones: seconds and the URBs and output of the last run."""
        seconds = {side: [] for side in commands}
        last = {}
        for rep in range(args.reps):
            for side in (list(commands) if rep % 2 == 0 else list(reversed(commands))):
                command, side_env = commands[side]
                s, u, out = run(control, command, side_env)
                seconds[side].append(s)
                last[side] = {"urbs": u, "out": out}
                print(f"   {name}: {side} {s:.1f} s, {u}", flush=True)
        return seconds, last

    print("== smart write of an unchanged 1 MiB image", flush=True)
    first = subprocess.run([args.orvtool, "--sim", "spi", "write", "0", image], capture_output=True, text=True)
    if first.returncode != 0:
        sys.exit(f"bench_python.py: the first write failed ({first.returncode}): {first.stderr}")
    seconds, last = alternate("write", {
        "orvtool": ([args.orvtool, "--sim", "--json", "spi", "write", "0", image], None),
        "python": (python + [PYTHON_WRITE, image], env),
    })
    report = json.loads(last["orvtool"]["out"])
    assert report["unchanged_bytes"] == WRITE_SIZE and report["pages_programmed"] == 0, report
    assert last["python"]["out"].split() == [str(WRITE_SIZE), "0", "0"], last["python"]["out"]
    results = {"write": {"bytes": WRITE_SIZE, "reps": args.reps,
                         **{side: {"seconds": statistics.median(seconds[side]), "urbs": last[side]["urbs"]}
                            for side in seconds}}}

    print("== 4 MiB read", flush=True)
    targets = {side: os.path.join(work, f"{side}.bin") for side in ("orvtool", "python")}
    seconds, last = alternate("read", {
        "orvtool": ([args.orvtool, "--sim", "spi", "read", "0", str(READ_SIZE), "-o", targets["orvtool"]], None),
        "python": (python + [PYTHON_READ, targets["python"], str(READ_SIZE)], env),
    })
    with open(targets["orvtool"], "rb") as a, open(targets["python"], "rb") as b:
        assert a.read() == b.read(), "the two reads differ"
    results["read"] = {"bytes": READ_SIZE, "reps": args.reps, "urbs": {s: last[s]["urbs"] for s in last},
                       "orvtool_seconds": statistics.median(seconds["orvtool"]),
                       "python_seconds": statistics.median(seconds["python"]),
                       "python_call_seconds": float(last["python"]["out"]), "all_seconds": seconds}
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
