#!/usr/bin/env python3
"""SVF playback side by side on the virtual adapter, in one run: orvtool jtag
svf against OpenOCD's svf through the remote_bitbang bridge and openFPGALoader
through the XVC bridge (both bridges are `orvtool serve`), on one generated
file (bench/gen_svf.py: 2000 SDR of 1 to 4096 bits, one in ten checking TDO).

The file is for one device, as FPGA tools write SVF; each player puts the
other TAP in BYPASS its own way (openFPGALoader by itself, OpenOCD with
`svf -tap`, orvtool with HIR/HDR ahead of the file). Run under
`orvsim-run --control`: every program here opens orvsim-run's adapter by its
bus and address, and the control channel counts the bulk URBs it received.

  orvsim-run --control -- python3 bench/bench_svf.py ORVTOOL OUT_DIR [--scans N] [--reps N]

Writes OUT_DIR/svf.json and OUT_DIR/svf.md (a section of bench/REPORT.md).
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
from orv.simcontrol import SimControl, urb_delta  # noqa: E402  (the package beside the benchmarks)

HERE = os.path.dirname(os.path.abspath(__file__))
LISTENING = re.compile(r"^listening: (\S+) on (\S+):(\d+)$")
PRELUDE = "HIR 4 TDI (F); HDR 1 TDI (0); "  # the ARM DAP (IR 4, nearest TDO) in BYPASS
TARGET = 10  # at least this many times faster than the better peer


def measure(control, run):
    """Seconds of wall time and the URBs of one run; what run() returned."""
    before = control.counts()
    start = time.monotonic()
    result = run()
    seconds = time.monotonic() - start
    after = control.counts()
    return seconds, urb_delta(before, after), result


class Server:
    def __init__(self, orvtool, adapter, *protocols):
        self.process = subprocess.Popen([orvtool, "--usb", adapter, "serve"] + [x for p in protocols for x in (p, "0")],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.ports = {}
        while len(self.ports) < len(protocols):
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("orvtool serve ended: " + self.process.stderr.read())
            m = LISTENING.match(line.strip())
            if m:
                self.ports[m.group(1)] = int(m.group(3))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.communicate(timeout=60)


def run(command, timeout=1800):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
    return done.returncode, done.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("orvtool")
    ap.add_argument("out_dir")
    ap.add_argument("--scans", type=int, default=2000)
    ap.add_argument("--reps", type=int, default=3, help="runs of orvtool (the peers run once)")
    a = ap.parse_args()
    os.makedirs(a.out_dir, exist_ok=True)
    device_file = os.path.join(a.out_dir, "bench.svf")
    subprocess.run([sys.executable, os.path.join(HERE, "gen_svf.py"), "--scans", str(a.scans), device_file],
                   check=True)
    ours_file = os.path.join(a.out_dir, "bench_orvtool.svf")
    with open(device_file) as f, open(ours_file, "w") as g:
        g.write(PRELUDE + f.read())
    adapter = "1209:4f52:" + os.environ["ORVSIM_ADAPTERS"].split(",")[0]
    control = SimControl.from_environment()
    results = {"scans": a.scans, "file_bytes": os.path.getsize(device_file)}

    # What the file asks for, without the adapter.
    status, out = run([a.orvtool, "--json", "jtag", "svf", "--dry-run", ours_file])
    assert status == 0, out
    dry = json.loads(out)
    results["dry_run"] = dry

    # orvtool: median of the runs.
    runs = []
    for _ in range(a.reps):
        seconds, urbs, (status, out) = measure(
            control, lambda: run([a.orvtool, "--usb", adapter, "--json", "jtag", "svf", ours_file]))
        assert status == 0, out
        runs.append({"seconds": seconds, "urbs": urbs, "report": json.loads(out)})
    runs.sort(key=lambda r: r["seconds"])
    results["orvtool"] = dict(runs[len(runs) // 2], all_seconds=[r["seconds"] for r in runs])

    # OpenOCD through remote_bitbang.
    server = Server(a.orvtool, adapter, "--remote-bitbang")
    seconds, urbs, (status, out) = measure(control, lambda: run(
        ["openocd", "-c", "adapter driver remote_bitbang", "-c", "remote_bitbang host 127.0.0.1",
         "-c", f"remote_bitbang port {server.ports['remote_bitbang']}", "-c", "gdb_port disabled",
         "-c", "telnet_port disabled", "-c", "tcl_port disabled", "-c", "init",
         "-c", f"svf -tap auto1.tap {device_file} quiet", "-c", "shutdown"]))
    server.stop()
    ok = status == 0 and "svf file programmed successfully" in out
    results["openocd"] = {"seconds": seconds, "urbs": urbs, "passed": ok, "tail": out.strip().splitlines()[-3:]}

    # openFPGALoader through XVC.
    server = Server(a.orvtool, adapter, "--xvc")
    seconds, urbs, (status, out) = measure(control, lambda: run(
        ["openFPGALoader", "-c", "xvc-client", "--ip", "127.0.0.1", "--port", str(server.ports["xvc"]),
         device_file]))
    server.stop()
    entry = {"seconds": seconds, "urbs": urbs, "passed": status == 0 and "end of SVF file" in out,
             "tail": out.strip().splitlines()[-2:]}
    if "Unknown device" in out:
        entry["not_run"] = "openFPGALoader does not know this board's FPGA"
    results["openfpgaloader"] = entry

    with open(os.path.join(a.out_dir, "svf.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(a.out_dir, "svf.md"), "w") as f:
        f.write(section(results))
    print(section(results))


def section(r):
    ours = r["orvtool"]
    dry = r["dry_run"]
    bound = dry["transfers"]["readback_bytes"]
    per_exchange = 512
    least = math.ceil(bound / per_exchange)
    peers = [(name, r[key]) for name, key in (("OpenOCD", "openocd"), ("openFPGALoader", "openfpgaloader"))
             if r[key]["passed"] and "not_run" not in r[key]]
    lines = [f"One generated file of {r['scans']} SDR statements (1 to 4096 bits, one in ten checking TDO; "
             f"{r['file_bytes']} bytes, {dry['bits']} bits shifted), played on the virtual adapter by each player "
             f"in turn in one run (bench/bench_svf.py under orvsim-run, which counts the adapter's bulk URBs). "
             f"orvtool: median of {len(ours['all_seconds'])} runs; the peers run once.", "",
             "| player | path | result | wall time | OUT URBs | count polls | data reads | orvtool is faster by |",
             "|---|---|---|---:|---:|---:|---:|---:|"]

    def row(name, path, e, faster):
        if "not_run" in e:
            return f"| {name} | {path} | not run: {e['not_run']} | | | | | |"
        u = e["urbs"]
        result = "passed" if e.get("passed", True) else "**failed**: " + " / ".join(e["tail"])
        return (f"| {name} | {path} | {result} | {e['seconds']:.2f} s | {u['out']} | {u['polls']} | "
                f"{u['data_reads']} | {faster} |")

    lines.append(row("orvtool jtag svf", "the player on the sequence engine", ours, ""))
    for name, key, path in (("OpenOCD 0.12 `svf`", "openocd", "remote_bitbang bridge"),
                            ("openFPGALoader", "openfpgaloader", "XVC bridge")):
        e = r[key]
        lines.append(row(name, path, e, f"{e['seconds'] / ours['seconds']:.1f}x" if "not_run" not in e else ""))
    lines.append("")
    if peers:
        best = min(peers, key=lambda p: p[1]["seconds"])
        ratio = best[1]["seconds"] / ours["seconds"]
        lines.append(f"- At least {TARGET}x faster than the better peer ({best[0]}, {best[1]['seconds']:.2f} s): "
                     f"{ratio:.1f}x ({'met' if ratio >= TARGET else '**missed**'}).")
    u = ours["urbs"]
    lines.append(f"- Transfers no more than the read-back bound forces: the checks read back {bound} bytes, at most "
                 f"{per_exchange} an exchange, so at least {least} exchanges; orvtool made {u['data_reads']} "
                 f"exchanges and {u['out']} OUT transfers ({u['out'] - u['data_reads']} more: TCK and pin set-up) "
                 f"({'met' if u['data_reads'] == least and u['out'] <= least + 2 else '**missed**'}).")
    lines.append(f"- orvtool's own report: {ours['report']['seconds']:.3f} s playing (the rest of the wall time is "
                 f"starting the program, reading and parsing the file), {ours['report']['clocks']} clocks, "
                 f"{ours['report']['transfers']['stream_bytes']} stream bytes.")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
