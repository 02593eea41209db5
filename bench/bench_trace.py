#!/usr/bin/env python3
"""What a waveform trace costs: `orvtool --sim spi read 0 4M` untraced, with
--trace from the virtual board (the emulator's own trace), and with --trace
reconstructed on the host from the session's transfers (as on a real
adapter; ORVTOOL_TRACE_FROM_HOST=1), side by side in one run, the three in
turn, REPS times (the order rotating). The goal: traced at most 2x untraced.
Wall time and the orvtool process's processor time (user and system) are
both given: the wall time is mostly the virtual USB device's round trips,
which vary with the machine's load.

  python3 bench/bench_trace.py ORVTOOL OUT.json [WORKDIR] [REPS]

Writes a JSON file for bench/report.py. Each run takes about a minute (the
virtual adapter's USB round trips); a trace of the whole flash is about 1 GB,
written to WORKDIR and removed after each run.
"""

import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

FLASH_SIZE = 4 * 1024 * 1024
MODES = ("untraced", "board", "host")
TIMEOUT = 1800


def run(orvtool, work, mode):
    trace = os.path.join(work, "read.vcd")
    command = [orvtool, "--sim", "--json"]
    if mode != "untraced":
        command += ["--trace", trace]
    command += ["spi", "read", "0", str(FLASH_SIZE), "-o", os.path.join(work, "read.bin")]
    env = dict(os.environ, ORVTOOL_TRACE_FROM_HOST="1" if mode == "host" else "0")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                          timeout=TIMEOUT)
    seconds = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0:
        raise RuntimeError(f"orvtool failed ({done.returncode}): {done.stderr}")
    report = json.loads(done.stdout)
    # The process's own processor time: what the trace adds, apart from the
    # virtual USB device's round trips that dominate the wall time.
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    result = {"seconds": seconds, "cpu_seconds": cpu}
    if mode != "untraced":
        result["trace"] = report["trace"]
        assert os.path.getsize(trace) == report["trace"]["bytes"]
        os.remove(trace)
    return result


def main():
    orvtool, out_path = sys.argv[1:3]
    work = sys.argv[3] if len(sys.argv) > 3 else tempfile.mkdtemp(prefix="orv_bench_trace_")
    reps = int(sys.argv[4]) if len(sys.argv) > 4 else int(os.environ.get("TRACE_REPS", "2"))
    runs = {mode: [] for mode in MODES}
    for rep in range(reps):
        order = MODES[rep % len(MODES):] + MODES[:rep % len(MODES)]
        for mode in order:
            result = run(orvtool, work, mode)
            runs[mode].append(result)
            print(f"   {mode:9} {result['seconds']:.1f} s wall, {result['cpu_seconds']:.1f} s processor",
                  flush=True)
    median = {mode: statistics.median(r["seconds"] for r in runs[mode]) for mode in MODES}
    cpu = {mode: statistics.median(r["cpu_seconds"] for r in runs[mode]) for mode in MODES}
    results = {
        "flash_bytes": FLASH_SIZE,
        "reps": reps,
        "seconds": median,
        "cpu_seconds": cpu,
        "ratio": {mode: median[mode] / median["untraced"] for mode in ("board", "host")},
        "cpu_ratio": {mode: cpu[mode] / cpu["untraced"] for mode in ("board", "host")},
        "trace": {mode: runs[mode][-1]["trace"] for mode in ("board", "host")},
        "runs": runs,
    }
    with open(out_path, "w") as f:
        json.dump(results, f, indent=1)
    for mode in ("board", "host"):
        print(f"   {mode} / untraced = {results['ratio'][mode]:.2f} wall, {results['cpu_ratio'][mode]:.2f} processor")


if __name__ == "__main__":
    main()
