"""A bridge server on the virtual adapter for each test: `orvtool --sim serve`
on free loopback ports, started before the client and stopped with SIGTERM
after it (the server must then exit 0). Tests wait for what the server says:
its listening lines before they connect, a line of its log before they go
on, each with a deadline, never for a fixed time."""

import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

ORVTOOL = os.environ.get("ORVTOOL", "orvtool")
LISTENING = re.compile(r"^listening: (\S+) on (\S+):(\d+)$")


class Server:
    def __init__(self, args, board=None, fault=None):
        command = ([ORVTOOL, "--sim"] + (["--board", board] if board else []) +
                   (["--sim-fault", fault] if fault else []) + ["serve"] + args)
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # The log is read as it comes, so that a test can wait for a line of it.
        self._log = []
        self._log_changed = threading.Condition()
        self._reader = threading.Thread(target=self._read_log, daemon=True)
        self._reader.start()
        self.ports = {}
        deadline = time.monotonic() + 30
        expected = sum(1 for a in args if a in ("--remote-bitbang", "--xvc", "--serprog"))
        while len(self.ports) < expected:
            line = self.process.stdout.readline()
            if not line:
                self.process.wait(timeout=30)
                self._reader.join(timeout=30)
                raise RuntimeError("orvtool serve ended: " + "".join(self._log))
            match = LISTENING.match(line.strip())
            if match:
                self.ports[match.group(1)] = int(match.group(3))
            if time.monotonic() > deadline:
                raise RuntimeError("no listening lines")
        self.log = ""

    def _read_log(self):
        for line in self.process.stderr:
            with self._log_changed:
                self._log.append(line)
                self._log_changed.notify_all()
        with self._log_changed:
            self._log.append(None)  # the end
            self._log_changed.notify_all()

    def log_so_far(self):
        with self._log_changed:
            return "".join(line for line in self._log if line is not None)

    def wait_for_log(self, pattern, count=1, timeout=30):
        """Waits until `count` lines of the log match `pattern` (a regular
        expression); the log so far, or an AssertionError at the deadline."""
        wanted = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._log_changed:
            while True:
                found = sum(1 for line in self._log if line is not None and wanted.search(line))
                if found >= count:
                    return "".join(line for line in self._log if line is not None)
                left = deadline - time.monotonic()
                if left <= 0 or (self._log and self._log[-1] is None):
                    raise AssertionError(f"no {count} log lines matching {pattern!r}: " +
                                         "".join(line for line in self._log if line is not None))
                self._log_changed.wait(left)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        self._reader.join(timeout=30)
        self.log = self.log_so_far()
        return self.process.returncode


@pytest.fixture
def serve():
    servers = []

    def start(*args, board=None, fault=None):
        server = Server(list(args), board, fault)
        servers.append(server)
        return server

    yield start
    for server in servers:
        if server.process.poll() is None:
            assert server.stop() == 0, server.log


def run(command, timeout=60):
    """A client under a time limit: its exit status and all it printed."""
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
    return done.returncode, done.stdout


def openocd(port, *commands, timeout=60):
    base = ["openocd", "-c", "adapter driver remote_bitbang", "-c", "remote_bitbang host 127.0.0.1",
            "-c", f"remote_bitbang port {port}", "-c", "gdb_port disabled", "-c", "telnet_port disabled",
            "-c", "tcl_port disabled"]
    for c in commands:
        base += ["-c", c]
    return run(base, timeout)


# ---- small well-behaved clients of each protocol ---------------------------

DEFAULT_IDCODES = 0x03727093 << 32 | 0x4BA00477  # TAP 0 (nearest TDO) in the low bits
JEDEC_ID = b"\xef\x40\x16"
# TAP reset (five TMS-high clocks), then Idle, Select-DR, Capture-DR, Shift-DR.
RESET_TO_SHIFT_DR = [1, 1, 1, 1, 1, 0, 1, 0, 0]


def receive_exactly(s, n, timeout=10):
    s.settimeout(timeout)
    data = b""
    while len(data) < n:
        try:
            piece = s.recv(n - len(data))
        except ConnectionResetError:
            break
        if not piece:
            break
        data += piece
    return data


def bitbang_clock(tms, tdi=0, read=False):
    """One clock as OpenOCD sends it: TCK low, 'R' when read, TCK high."""
    levels = tms << 1 | tdi
    return bytes([ord("0") + levels]) + (b"R" if read else b"") + bytes([ord("4") + levels])


def bitbang_idcodes(s):
    """Both IDCODEs through remote_bitbang, or None when the server hung up."""
    stream = b"".join(bitbang_clock(tms) for tms in RESET_TO_SHIFT_DR)
    stream += b"".join(bitbang_clock(1 if bit == 63 else 0, read=True) for bit in range(64)) + b"0"
    s.sendall(stream)
    reply = receive_exactly(s, 64)
    if len(reply) != 64:
        return None
    return sum(1 << i for i, c in enumerate(reply) if c == ord("1"))


def xvc_idcodes(s):
    """Both IDCODEs through one XVC shift, or None when the server hung up."""
    path = len(RESET_TO_SHIFT_DR)
    bits = path + 64
    tms = sum(t << i for i, t in enumerate(RESET_TO_SHIFT_DR)).to_bytes((bits + 7) // 8, "little")
    s.sendall(b"shift:" + bits.to_bytes(4, "little") + tms + bytes(len(tms)))
    reply = receive_exactly(s, len(tms))
    if len(reply) != len(tms):
        return None
    return int.from_bytes(reply, "little") >> path & (2**64 - 1)


def serprog_jedec_id(s):
    """The flash's JEDEC ID through one serprog SPI operation, or None."""
    s.sendall(b"\x13" + (1).to_bytes(3, "little") + (3).to_bytes(3, "little") + b"\x9f")
    reply = receive_exactly(s, 4)
    return reply[1:] if len(reply) == 4 and reply[0] == 0x06 else None


WELL_BEHAVED = {"remote_bitbang": (bitbang_idcodes, DEFAULT_IDCODES), "xvc": (xvc_idcodes, DEFAULT_IDCODES),
                "serprog": (serprog_jedec_id, JEDEC_ID)}


def closed_by_server(s, timeout=10):
    """True when the server closes the connection (after any replies)."""
    s.settimeout(timeout)
    try:
        while s.recv(65536):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def reader_of_nothing(port):
    """A client with a small receive buffer that will never read it."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", port))
    s.settimeout(0.2)
    return s


def send_until(s, payload, dropped, seconds=30):
    """Sends `payload` again and again without reading: until the buffers are
    full and the server reads no more (dropped=False), or until the server
    has dropped the connection (dropped=True). False when that did not come
    within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            s.send(payload)
        except socket.timeout:
            if not dropped:
                return True
        except (BrokenPipeError, ConnectionResetError):
            return dropped
    return False
