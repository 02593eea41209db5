#!/usr/bin/env python3
"""A tray of virtual adapters: orvtool --each over N adapters against N runs
of orvtool one after another, N = 1, 2, 4, 8, side by side in one run; and a
tray of 4 where one adapter's read-back endpoint never answers (a long
transfer timeout), against the same tray without the fault.

Every adapter gets the same 64 KiB image written and verified into a
W25Q32-like flash that takes a data sheet's time to program (0.7 ms a page)
and to erase (45 ms a 64 KiB block), so that each run is mostly the flash's
own busy time, as on a real board.

  python3 bench/bench_tray.py ORVTOOL ORVSIM_RUN [OUT.json]

Each way of running starts from erased flashes, under an orvsim-run
--adapters N of its own. Prints a table and writes the figures as JSON.
About 3 minutes on 2 cores.
"""

import json
import os
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 64 * 1024
STALL_TIMEOUT_MS = 8000
BOARD = {
    "description": "bench: timed W25Q32-like flash",
    "spi_flash": {"jedec_id": "ef4016", "size": 4 * 1024 * 1024, "page_size": 256,
                  "erase": {"0x20": 4096, "0x52": 32768, "0xd8": 65536}, "sfdp": True,
                  "program_us": 700, "erase_us": 45000},
}


def serial(index):
    return f"ORVSIM{index:04d}"


def timed(command):
    start = time.monotonic()
    done = subprocess.run(command, capture_output=True, text=True, timeout=1800, check=False)
    return time.monotonic() - start, done


def each_run(orvtool, image, extra=()):
    """One orvtool --each --json run: its wall time, its exit status and each
    adapter's own seconds by serial."""
    seconds, done = timed([orvtool, *extra, "--each", "--json", "spi", "write", "0", image])
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    own = {o["serial"]: o["seconds"] for o in lines if "serial" in o}
    return {"wall": seconds, "exit": done.returncode, "adapters": own}


def inside(orvtool, count, mode):
    """Runs under orvsim-run: the figures of this tray, as one JSON line."""
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as f:
            f.write(bytes((i * 131 + 17) & 0xFF for i in range(IMAGE_SIZE)))
        if mode == "one_by_one":
            one_by_one = 0.0
            for index in range(count):
                seconds, done = timed([orvtool, "--usb", serial(index), "spi", "write", "0", image])
                if done.returncode != 0:
                    raise SystemExit(f"orvtool failed on {serial(index)}: {done.stderr}")
                one_by_one += seconds
            print(json.dumps({"n": count, "one_by_one": one_by_one}))
        elif mode == "each":
            each = each_run(orvtool, image)
            if each["exit"] != 0:
                raise SystemExit(f"orvtool --each failed: {each}")
            print(json.dumps({"n": count, "each": each}))
        else:
            # The stalled adapter's first read waits the whole timeout; the
            # same tray is run without the fault, from erased flashes too.
            if mode == "stalled":
                from orv.simcontrol import DATA_IN, SimControl

                SimControl.from_environment().fault("timeout", DATA_IN, -1, 0, index=count - 1)
            run = each_run(orvtool, image, ["--timeout", str(STALL_TIMEOUT_MS)])
            print(json.dumps({"n": count, mode: run}))


def tray(orvsim_run, orvtool, count, mode):
    with tempfile.TemporaryDirectory() as work:
        board = os.path.join(work, "board.json")
        with open(board, "w") as f:
            json.dump(BOARD, f)
        command = [orvsim_run, "--adapters", str(count), "--board", board]
        if mode == "stalled":
            command.append("--control")
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            filter(None, [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "front", "python"),
                          env.get("PYTHONPATH")]))
        done = subprocess.run([*command, "--", sys.executable, os.path.abspath(__file__), "--inside", orvtool,
                               str(count), mode], capture_output=True, text=True, timeout=3600, check=False,
                              env=env)
        if done.returncode != 0:
            raise SystemExit(f"bench run of {count} failed:\n{done.stdout}\n{done.stderr}")
        return json.loads(done.stdout.splitlines()[-1])


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--inside":
        inside(sys.argv[2], int(sys.argv[3]), sys.argv[4])
        return
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    orvtool, orvsim_run = sys.argv[1], sys.argv[2]
    figures = {"ratio": [], "stall": None, "cpus": os.cpu_count()}
    print(f"{'N':>2}  {'one by one':>10}  {'--each':>7}  {'ratio':>5}  slowest adapter in --each")
    for count in (1, 2, 4, 8):
        r = {"n": count, **tray(orvsim_run, orvtool, count, "one_by_one"), **tray(orvsim_run, orvtool, count, "each")}
        figures["ratio"].append(r)
        each = r["each"]
        print(f"{count:>2}  {r['one_by_one']:>9.2f}s  {each['wall']:>6.2f}s  {r['one_by_one'] / each['wall']:>5.2f}"
              f"  {max(each['adapters'].values()):.2f}s", flush=True)
    s = {**tray(orvsim_run, orvtool, 4, "plain"), **tray(orvsim_run, orvtool, 4, "stalled")}
    figures["stall"] = s
    print(f"\nA tray of 4, adapter {serial(3)} with a read-back that never answers (--timeout {STALL_TIMEOUT_MS}):")
    print(f"{'adapter':<11} {'no fault':>9} {'stalled':>9}")
    for name in sorted(s["plain"]["adapters"]):
        print(f"{name:<11} {s['plain']['adapters'][name]:>8.2f}s {s['stalled']['adapters'].get(name, 0):>8.2f}s")
    print(f"wall        {s['plain']['wall']:>8.2f}s {s['stalled']['wall']:>8.2f}s  (exit {s['stalled']['exit']})")
    if len(sys.argv) == 4:
        with open(sys.argv[3], "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
