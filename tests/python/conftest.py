"""Fixtures for the orv package's tests, run on virtual adapters:

    orvsim-run --adapters 4 --board default --board tests/python/boards/eeprom16.json \
        --board bscan --board bscan-faults --control -- python3 -m pytest tests/python \
        --ignore tests/python/test_pin_bus.py
    orvsim-run --adapters 1 --board bscan-flash --control -- python3 -m pytest tests/python/test_pin_bus.py

Adapter 0 has the default board, adapter 1 a 24C32-like EEPROM at 0x50,
adapter 2 the boundary-scan board (two devices wired by nets, their BSDL
files in sim/boards) and adapter 3 the same board with faults put in;
test_pin_bus.py runs alone with bscan-flash (a SPI flash behind an
STM32F301's pins) as adapter 0.
The control channel of orvsim-run gives the URB counts the virtual device
saw and injects faults.
"""

import os
from typing import Iterator

import pytest

import orv
from orv.simcontrol import COMMAND_OUT, COUNT_IN, DATA_IN
from orv.simcontrol import SimControl as Sim

SERIALS = ("ORVSIM0000", "ORVSIM0001", "ORVSIM0002", "ORVSIM0003")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
BOARDS = os.path.normpath(os.path.join(SOURCE, "sim", "boards"))  # board files and BSDL files


class Counter:
    """Transfers per endpoint between entering and leaving a `with` block."""

    def __init__(self, sim: Sim, index: int = 0) -> None:
        self._sim = sim
        self._index = index
        self.delta: dict[int, int] = {}

    def __enter__(self) -> "Counter":
        self._before = self._sim.counts(self._index)
        return self

    def __exit__(self, *exc: object) -> None:
        after = self._sim.counts(self._index)
        self.delta = {ep: after[ep] - self._before[ep] for ep in after}


@pytest.fixture(scope="session")
def sim() -> Sim:
    channel = os.environ.get("ORVSIM_CONTROL")
    if not channel:
        pytest.exit("run the tests under: orvsim-run --adapters 4 --control -- python3 -m pytest", 2)
    return Sim(channel)


@pytest.fixture
def count(sim: Sim):
    return lambda index=0: Counter(sim, index)


@pytest.fixture
def adapter(sim: Sim) -> Iterator[orv.Adapter]:
    with orv.open(serial=SERIALS[0]) as opened:
        yield opened
    sim.fault("none")
    sim.drain()


@pytest.fixture
def eeprom16_adapter(sim: Sim) -> Iterator[orv.Adapter]:
    """Adapter 1: a 24C32-like EEPROM (two address bytes, 32-byte pages) at 0x50."""
    with orv.open(serial=SERIALS[1]) as opened:
        yield opened
    sim.fault("none", index=1)
    sim.drain(index=1)


def _opened(sim: Sim, index: int) -> Iterator[orv.Adapter]:
    with orv.open(serial=SERIALS[index]) as opened:
        yield opened
    sim.fault("none", index=index)
    sim.drain(index=index)


@pytest.fixture
def bscan_adapter(sim: Sim) -> Iterator[orv.Adapter]:
    """Adapter 2: the board bscan. TAP 0 is U1's Cortex-M debug TAP, TAP 1 U1
    (an STM32F301), TAP 2 U2 (a GL64 CPLD), wired by the nets of
    sim/boards/netlists/bscan.json."""
    yield from _opened(sim, 2)


@pytest.fixture
def faults_adapter(sim: Sim) -> Iterator[orv.Adapter]:
    """Adapter 3: the board bscan-faults, bscan with an open, two shorts and
    two stuck nets."""
    yield from _opened(sim, 3)


@pytest.fixture
def pin_flash_adapter(sim: Sim) -> Iterator[orv.Adapter]:
    """Adapter 0 of test_pin_bus.py's own run: the board bscan-flash, a 1 MiB
    SPI flash on pins PA4, PA5, PA7 and PA6 of an STM32F301 (TAP 1)."""
    yield from _opened(sim, 0)


def urbs(counter: Counter) -> tuple[int, int, int]:
    """(OUT transfers, count polls, data reads) a Counter saw."""
    return counter.delta[COMMAND_OUT], counter.delta[COUNT_IN], counter.delta[DATA_IN]
