"""Fixtures for the orv package's tests, run on virtual adapters:

    orvsim-run --adapters 2 --control -- python3 -m pytest tests/python

The control channel of orvsim-run gives the URB counts the virtual device saw
and injects faults.
"""

import os
from typing import Iterator

import pytest

import orv

SERIALS = ("ORVSIM0000", "ORVSIM0001")
COMMAND_OUT, DATA_IN, COUNT_IN = 0x02, 0x81, 0x83


class Sim:
    """The control channel of orvsim-run (ORVSIM_CONTROL="W,R")."""

    def __init__(self, channel: str) -> None:
        write_fd, read_fd = (int(fd) for fd in channel.split(","))
        self._write_fd = write_fd
        self._answers = os.fdopen(read_fd, "r")

    def _ask(self, request: str) -> list[str]:
        os.write(self._write_fd, (request + "\n").encode())
        words = self._answers.readline().split()
        assert words and words[0] == "ok", f"orvsim-run refused {request!r}: {words}"
        return words[1:]

    def counts(self, index: int = 0) -> dict[int, int]:
        """Bulk URBs each endpoint of adapter `index` has received."""
        found = {}
        for entry in self._ask("counts"):
            where, n = entry.split("=")
            adapter, endpoint = where.split(":")
            if int(adapter) == index:
                found[int(endpoint, 16)] = int(n)
        return found

    def fault(self, kind: str, endpoint: int = 0, count: int = -1, index: int = 0, after: int = 0) -> None:
        """From the next URB on `endpoint` (0: any), or after `after` of them, `count` URBs fail."""
        self._ask(f"fault {index} {kind} {endpoint:#x} {count} {after}")

    def drain(self, index: int = 0) -> int:
        return int(self._ask(f"drain {index}")[0])


class Counter:
    """Transfers per endpoint between entering and leaving a `with` block."""

    def __init__(self, sim: Sim) -> None:
        self._sim = sim
        self.delta: dict[int, int] = {}

    def __enter__(self) -> "Counter":
        self._before = self._sim.counts()
        return self

    def __exit__(self, *exc: object) -> None:
        after = self._sim.counts()
        self.delta = {ep: after[ep] - self._before[ep] for ep in after}


@pytest.fixture(scope="session")
def sim() -> Sim:
    channel = os.environ.get("ORVSIM_CONTROL")
    if not channel:
        pytest.exit("run the tests under: orvsim-run --adapters 2 --control -- python3 -m pytest", 2)
    return Sim(channel)


@pytest.fixture
def count(sim: Sim):
    return lambda: Counter(sim)


@pytest.fixture
def adapter(sim: Sim) -> Iterator[orv.Adapter]:
    with orv.open(serial=SERIALS[0]) as opened:
        yield opened
    sim.fault("none")
    sim.drain()
