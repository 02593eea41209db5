"""A bridge server on the virtual adapter for each test: `orvtool --sim serve`
on free loopback ports, started before the client and stopped with SIGTERM
after it (the server must then exit 0)."""

import os
import re
import signal
import subprocess
import time

import pytest

ORVTOOL = os.environ.get("ORVTOOL", "orvtool")
LISTENING = re.compile(r"^listening: (\S+) on (\S+):(\d+)$")


class Server:
    def __init__(self, args, board=None, fault=None):
        command = ([ORVTOOL, "--sim"] + (["--board", board] if board else []) +
                   (["--sim-fault", fault] if fault else []) + ["serve"] + args)
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.ports = {}
        deadline = time.monotonic() + 30
        expected = sum(1 for a in args if a in ("--remote-bitbang", "--xvc", "--serprog"))
        while len(self.ports) < expected:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("orvtool serve ended: " + self.process.stderr.read())
            match = LISTENING.match(line.strip())
            if match:
                self.ports[match.group(1)] = int(match.group(3))
            if time.monotonic() > deadline:
                raise RuntimeError("no listening lines")
        self.log = ""

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            _, err = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        self.log = err
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
