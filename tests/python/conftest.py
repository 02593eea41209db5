"""Fixtures for the orv package's tests, run on virtual adapters:

    orvsim-run --adapters 2 --control -- python3 -m pytest tests/python

The control channel of orvsim-run gives the URB counts the virtual device saw
and injects faults.
"""

import os
from typing import Iterator

import pytest

import orv
from orv.simcontrol import COMMAND_OUT, COUNT_IN, DATA_IN
from orv.simcontrol import SimControl as Sim

SERIALS = ("ORVSIM0000", "ORVSIM0001")


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
