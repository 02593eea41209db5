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

In the same run: the same file played from Python (`Jtag.play_svf`, the
device library's player, as orvtool's) in turn with orvtool (goal: within
1.1x of orvtool's time); one design as SVF and as XSVF (gen_svf.py --whole-chain
--xsvf: the same scans), each played by orvtool in turn (goal: XSVF within
1.1x of SVF), and the dry run of a 40-byte file that shifts 10^8 bits (goal:
under 2 s, memory that does not grow with the bits).

  orvsim-run --control -- python3 bench/bench_svf.py ORVTOOL OUT_DIR [--scans N] [--reps N] [--no-peers]

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
XSVF_TARGET = 1.1  # XSVF playback at most this many times SVF's, same design
DRY_RUN_TARGET = 2.0  # seconds for the dry run of 10^8 bits
PYTHON_TARGET = 1.1  # Python's play_svf at most this many times orvtool's time, same file
# One play of a file from Python, as a program of its own like orvtool: opens
# the adapter by bus and address, plays, prints the summary as JSON.
PYTHON_PLAY = """
import json, sys
import orv
bus, address = (int(x) for x in sys.argv[1].split(":"))
with orv.open(vid=0x1209, pid=0x4F52, bus=bus, address=address) as adapter:
    s = adapter.jtag(reset=False).play_svf(sys.argv[2])
print(json.dumps({"seconds": s.seconds, "statements": s.statements, "checks_passed": s.checks_passed,
                  "out": s.out_transfers, "exchanges": s.readback_exchanges, "stream_bytes": s.stream_bytes}))
"""
HUGE = 100_000_000


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


def run_measured(command):
    """Exit status, output, wall seconds and peak memory (KiB) of one program."""
    with open(os.devnull, "w") as null, subprocess.Popen(command, stdout=subprocess.PIPE, stderr=null) as p:
        start = time.monotonic()
        out = p.stdout.read().decode()
        _, status, usage = os.wait4(p.pid, 0)
        seconds = time.monotonic() - start
        p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, out, seconds, usage.ru_maxrss


def one_design(orvtool, adapter, control, out_dir, scans, reps):
    """SVF and XSVF of one design, played by orvtool in turn, `reps` times each."""
    svf_file = os.path.join(out_dir, "design.svf")
    xsvf_file = os.path.join(out_dir, "design.xsvf")
    subprocess.run([sys.executable, os.path.join(HERE, "gen_svf.py"), "--scans", str(scans), "--whole-chain",
                    "--xsvf", xsvf_file, svf_file], check=True)
    runs = {"svf": [], "xsvf": []}
    for _ in range(reps):
        for kind, path in (("svf", svf_file), ("xsvf", xsvf_file)):
            seconds, urbs, (status, out) = measure(
                control, lambda: run([orvtool, "--usb", adapter, "--json", "jtag", kind, path]))
            assert status == 0, out
            runs[kind].append({"seconds": seconds, "urbs": urbs, "report": json.loads(out)})
    result = {"svf_bytes": os.path.getsize(svf_file), "xsvf_bytes": os.path.getsize(xsvf_file)}
    for kind, entries in runs.items():
        entries.sort(key=lambda r: r["seconds"])
        result[kind] = dict(entries[len(entries) // 2], all_seconds=[r["seconds"] for r in entries])
    return result


def python_and_orvtool(orvtool, adapter, control, path, reps):
    """The same file played by orvtool and from Python in turn, `reps` times each."""
    python = [sys.executable, "-c", PYTHON_PLAY, adapter.split(":", 2)[2], path]
    # The package beside the benchmarks, on the libraries orvtool was built with.
    os.environ["PYTHONPATH"] = os.path.join(HERE, "..", "front", "python")
    os.environ.setdefault("ORV_LIBRARY_PATH", os.path.join(os.path.dirname(os.path.abspath(orvtool)), "..", "lib"))
    runs = {"orvtool": [], "python": []}
    for _ in range(reps):
        for name, command in (("orvtool", [orvtool, "--usb", adapter, "--json", "jtag", "svf", path]),
                              ("python", python)):
            seconds, urbs, (status, out) = measure(control, lambda: run(command))
            assert status == 0, out
            runs[name].append({"seconds": seconds, "urbs": urbs, "report": json.loads(out.splitlines()[-1])})
    result = {}
    for name, entries in runs.items():
        entries.sort(key=lambda r: r["seconds"])
        result[name] = dict(entries[len(entries) // 2], all_seconds=[r["seconds"] for r in entries])
    return result


def python_section(r):
    p = r["python_and_orvtool"]
    o, y = p["orvtool"], p["python"]
    wall = y["seconds"] / o["seconds"]
    play = y["report"]["seconds"] / o["report"]["seconds"]
    lines = ["### SVF from Python",
             "",
             f"The file above played by `orvtool jtag svf` and by a Python program (`orv.open(...).jtag()"
             f".play_svf(FILE)`) in turn, median of {len(o['all_seconds'])} runs each; both run the device "
             "library's player.",
             "",
             "| player | wall time | playing (its own report) | OUT URBs | count polls | data reads |",
             "|---|---:|---:|---:|---:|---:|"]
    for name, e in (("orvtool jtag svf", o), ("Python play_svf", y)):
        u = e["urbs"]
        lines.append(f"| {name} | {e['seconds']:.3f} s | {e['report']['seconds']:.3f} s | {u['out']} | "
                     f"{u['polls']} | {u['data_reads']} |")
    lines += ["",
              f"- Python within {PYTHON_TARGET}x of orvtool: {wall:.2f}x in wall time, {play:.2f}x in playing "
              f"({'met' if wall <= PYTHON_TARGET else '**missed**'}; the wall time holds each program's start: "
              "the interpreter and the package's import for Python)."]
    return "\n".join(lines) + "\n"


def huge_dry_runs(orvtool, out_dir):
    """The dry run of 10^8 bits: unchecked, and every bit checked."""
    rows = []
    for name, text in (("SDR 10^8 bits, TDO masked out", f"SDR {HUGE} TDI (0) TDO (0) MASK (0);\n"),
                       ("SDR 10^8 bits, every bit checked", f"SDR {HUGE} TDI (0) TDO (0);\n")):
        path = os.path.join(out_dir, "huge.svf")
        with open(path, "w") as f:
            f.write(text)
        status, out, seconds, kib = run_measured([orvtool, "--json", "jtag", "svf", "--dry-run", "--max-time",
                                                  "0", path])
        assert status == 0, out
        rows.append({"file": name, "bytes": len(text), "seconds": seconds, "max_rss_kib": kib,
                     "report": json.loads(out)})
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("orvtool")
    ap.add_argument("out_dir")
    ap.add_argument("--scans", type=int, default=2000)
    ap.add_argument("--reps", type=int, default=3, help="runs of orvtool (the peers run once)")
    ap.add_argument("--no-peers", action="store_true", help="leave out OpenOCD and openFPGALoader")
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

    results["python_and_orvtool"] = python_and_orvtool(a.orvtool, adapter, control, ours_file, a.reps)
    results["one_design"] = one_design(a.orvtool, adapter, control, a.out_dir, a.scans, a.reps)
    results["huge_dry_runs"] = huge_dry_runs(a.orvtool, a.out_dir)
    if a.no_peers:
        for key in ("openocd", "openfpgaloader"):
            results[key] = {"not_run": "--no-peers"}
        write(a.out_dir, results)
        return

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

    write(a.out_dir, results)


def write(out_dir, results):
    with open(os.path.join(out_dir, "svf.json"), "w") as f:
        json.dump(results, f, indent=1)
    text = section(results) + "\n" + python_section(results) + "\n" + xsvf_section(results)
    with open(os.path.join(out_dir, "svf.md"), "w") as f:
        f.write(text)
    print(text)


def xsvf_section(r):
    d = r["one_design"]
    s, x = d["svf"], d["xsvf"]
    ratio = x["seconds"] / s["seconds"]
    lines = ["### SVF and XSVF of one design",
             "",
             f"The same {r['scans']} DR scans (gen_svf.py --whole-chain --xsvf: {d['svf_bytes']} bytes of SVF, "
             f"{d['xsvf_bytes']} of XSVF), played by orvtool in turn, median of {len(s['all_seconds'])} runs each.",
             "",
             "| file | wall time | orvtool's time | OUT URBs | count polls | data reads | stream bytes |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for name, e in (("SVF (`jtag svf`)", s), ("XSVF (`jtag xsvf`)", x)):
        u = e["urbs"]
        lines.append(f"| {name} | {e['seconds']:.2f} s | {e['report']['seconds']:.3f} s | {u['out']} | "
                     f"{u['polls']} | {u['data_reads']} | {e['report']['transfers']['stream_bytes']} |")
    lines += ["",
              f"- XSVF within {XSVF_TARGET}x of SVF: {ratio:.2f}x "
              f"({'met' if ratio <= XSVF_TARGET else '**missed**'}).",
              "",
              "### The dry run of 10^8 bits",
              "",
              "| file | size | wall time | peak memory | transfers it counts |",
              "|---|---:|---:|---:|---:|"]
    for row in r["huge_dry_runs"]:
        t = row["report"]["transfers"]
        lines.append(f"| `{row['file']}` | {row['bytes']} bytes | {row['seconds']:.2f} s | "
                     f"{row['max_rss_kib'] / 1024:.1f} MiB | {t['out']} OUT, {t['readback_exchanges']} exchanges |")
    worst = max(row["seconds"] for row in r["huge_dry_runs"])
    lines += ["", f"- Under {DRY_RUN_TARGET:g} s: {worst:.2f} s at the most "
              f"({'met' if worst < DRY_RUN_TARGET else '**missed**'})."]
    return "\n".join(lines) + "\n"


def section(r):
    if "not_run" in r["openocd"] and r["openocd"]["not_run"] == "--no-peers":
        return ""
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
