#!/usr/bin/env python3
"""The bridges measured with their real clients on the virtual adapter, side by
side in one run, with the adapter's own URB counts.

Run under `orvsim-run --control` (scripts/bench.sh does): every `orvtool --sim`
started here then talks to orvsim-run's adapter, whose control channel counts
the bulk URBs each endpoint received. Writes a JSON file for bench/report.py.

  orvsim-run --control -- python3 bench/bench_bridges.py ORVTOOL LIBDIR OUT.json
"""

import ctypes
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "front", "python"))
from orv.simcontrol import SimControl, urb_delta  # noqa: E402  (the package beside the benchmarks)

LISTENING = re.compile(r"^listening: (\S+) on (\S+):(\d+)$")
SUMMARY = re.compile(r"JTAG: (\d+) client waits, (\d+) clocks in (\d+) OUT transfers \((\d+) bytes\) and "
                     r"(\d+) read-back exchanges; SPI: (\d+) operations")
FLASH_SIZE = 4 * 1024 * 1024


class Server:
    def __init__(self, orvtool, *args):
        self.process = subprocess.Popen([orvtool, "--sim", "serve"] + list(args), stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.ports = {}
        while len(self.ports) < sum(1 for a in args if a.startswith("--") and a != "--tck"):
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError(self.process.stderr.read())
            m = LISTENING.match(line.strip())
            if m:
                self.ports[m.group(1)] = int(m.group(3))

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        _, err = self.process.communicate(timeout=60)
        m = SUMMARY.search(err)
        keys = ("client_waits", "clocks", "out_transfers", "stream_bytes", "exchanges", "spi_operations")
        return dict(zip(keys, (int(x) for x in m.groups()))) if m else {}


def openocd(port, *commands):
    args = ["openocd", "-c", "adapter driver remote_bitbang", "-c", "remote_bitbang host 127.0.0.1",
            "-c", f"remote_bitbang port {port}", "-c", "gdb_port disabled", "-c", "telnet_port disabled",
            "-c", "tcl_port disabled"]
    for c in commands:
        args += ["-c", c]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


class OpenOcdTcl:
    """A running OpenOCD on the remote_bitbang port, driven command by command
    through its Tcl server (commands end with 0x1a, so do the answers)."""

    def __init__(self, port):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.tcl_port = probe.getsockname()[1]
        self.process = subprocess.Popen(
            ["openocd", "-c", "adapter driver remote_bitbang", "-c", "remote_bitbang host 127.0.0.1",
             "-c", f"remote_bitbang port {port}", "-c", "gdb_port disabled", "-c", "telnet_port disabled",
             "-c", f"tcl_port {self.tcl_port}", "-c", "init"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", self.tcl_port))
                break
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise
                time.sleep(0.1)
        self.run("version")  # answered once init is done

    def run(self, command):
        self.sock.sendall(command.encode() + b"\x1a")
        answer = b""
        while not answer.endswith(b"\x1a"):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError(f"OpenOCD closed its Tcl port during {command!r}")
            answer += chunk
        return answer[:-1].decode()

    def close(self):
        try:
            self.sock.sendall(b"shutdown\x1a")
            self.sock.close()
        finally:
            self.process.wait(timeout=60)


def timed(run):
    start = time.monotonic()
    run()
    return time.monotonic() - start


def measure_client(control, orvtool, protocol_args, client):
    """A server, one client run, and what it cost: URBs, the engine's counts,
    seconds."""
    server = Server(orvtool, *protocol_args)
    before = control.counts()
    seconds = timed(lambda: client(server))
    after = control.counts()
    stats = server.stop()
    return {"seconds": seconds, "urbs": urb_delta(before, after), "engine": stats}


def remote_bitbang_scan(port, bits):
    """One DR scan of `bits` bits from Run-Test/Idle, clocked as OpenOCD's
    bitbang driver clocks it (TCK low with TMS/TDI, 'R', TCK high), TDO read
    on every data bit; returns when all answers are in."""
    out = bytearray()

    def clock(tms, tdi, read=False):
        out.extend(bytes([ord("0") + (tms << 1) + tdi]))
        if read:
            out.extend(b"R")
        out.extend(bytes([ord("0") + 4 + (tms << 1) + tdi]))

    for tms in (1, 0, 0):
        clock(tms, 0)
    for i in range(bits):
        clock(1 if i + 1 == bits else 0, i & 1, True)
    for tms in (1, 0):
        clock(tms, 0)
    out.extend(b"0")  # TCK rests low
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(bytes(out))
        got = 0
        while got < bits:
            got += len(s.recv(65536))


def library_scan_bytes(libdir, bits, capture):
    tapwire = ctypes.CDLL(os.path.join(libdir, "liborv_tapwire.so"))
    state = ctypes.c_int32(1)
    tdi = (ctypes.c_uint8 * ((bits + 7) // 8))()
    out = (ctypes.c_uint8 * (bits // 8 + 64 + 2 * (bits // 2048)))()
    capacity = ctypes.c_int32(len(out))
    written = ctypes.c_int32(0)
    rc = tapwire.tapwire_build_shift_dr_cmd(ctypes.byref(state), bits, tdi, 0, 1 if capture else 0, out,
                                            ctypes.byref(capacity), ctypes.byref(written))
    assert rc == 0
    return written.value


def main():
    orvtool, libdir, out_path = sys.argv[1:4]
    control = SimControl.from_environment()
    results = {}

    # OpenOCD: init alone; then, in one session through its Tcl port, the URBs
    # of one 32-bit drscan counted around it. (OpenOCD 0.12 needs the
    # instruction set before a drscan on an auto-probed chain.)
    init = measure_client(control, orvtool, ["--remote-bitbang", "0"],
                          lambda s: openocd(s.ports["remote_bitbang"], "init", "shutdown"))
    results["openocd_init"] = init
    server = Server(orvtool, "--remote-bitbang", "0")
    try:
        session = OpenOcdTcl(server.ports["remote_bitbang"])
        # OpenOCD writes the path back to Run-Test/Idle after it has its
        # answers, at the end of its queue: wait for that tail to be run
        # before and after counting.
        session.run("irscan auto0.tap 0x8")
        time.sleep(0.5)
        before = control.counts()
        session.run("drscan auto0.tap 32 0")
        time.sleep(0.5)
        after = control.counts()
        session.close()
    finally:
        server.stop()
    results["openocd_drscan32"] = urb_delta(before, after)

    results["openfpgaloader_detect"] = measure_client(
        control, orvtool, ["--xvc", "0"],
        lambda s: subprocess.run(["openFPGALoader", "-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                                  str(s.ports["xvc"]), "--detect"], check=True, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, timeout=120))

    # Stream bytes per clock for scans through remote_bitbang against the
    # library's own DR scan of the same length with capture.
    scans = []
    for bits in (32, 1024, 65536):
        run = measure_client(control, orvtool, ["--remote-bitbang", "0"],
                             lambda s, bits=bits: remote_bitbang_scan(s.ports["remote_bitbang"], bits))
        scans.append({"bits": bits, "clocks": run["engine"]["clocks"], "bridge_bytes": run["engine"]["stream_bytes"],
                      "library_bytes": library_scan_bytes(libdir, bits, True), "urbs": run["urbs"]})
    results["scans"] = scans

    # flashrom -r of the whole flash through serprog, and orvtool spi read of
    # the same range, one after the other on the same adapter.
    tmp = os.environ.get("TMPDIR", "/tmp")
    results["flashrom_read"] = measure_client(
        control, orvtool, ["--serprog", "0"],
        lambda s: subprocess.run(["flashrom", "-p", f"serprog:ip=127.0.0.1:{s.ports['serprog']}", "-c", "W25Q32.V",
                                  "-r", os.path.join(tmp, "bench_flashrom.bin")], check=True,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900))
    before = control.counts()
    seconds = timed(lambda: subprocess.run([orvtool, "--sim", "spi", "read", "0", str(FLASH_SIZE), "-o",
                                            os.path.join(tmp, "bench_orvtool.bin")], check=True,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900))
    results["orvtool_read"] = {"seconds": seconds, "urbs": urb_delta(before, control.counts())}
    with open(out_path, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
