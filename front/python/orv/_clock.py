"""The adapter's clocks as the device library chooses them: the fastest clock
the adapter makes that is not above the request."""

from __future__ import annotations

from dataclasses import dataclass

from . import _lib
from ._args import integer


@dataclass(frozen=True)
class Clock:
    """A clock as the adapter runs it.

    Attributes:
        hz: the clock that runs (60 MHz over the divisor, rounded down).
        divisor: the adapter's divisor.
        request_khz: what the bus libraries are given for it.
    """

    hz: int
    divisor: int
    request_khz: int

    def __str__(self) -> str:
        return f"{self.hz / 1000:g} kHz"


def clock_for(name: str, khz: object) -> Clock:
    """The clock for a request of `khz`; ``ValueError`` when the request is
    below the slowest clock the adapter makes (it would run faster than
    asked)."""
    integer(name, khz, 0, 0xFFFFFFFF)
    chosen = _lib.libraries().devices.orvdev_clock_for_khz(khz)
    if chosen.raised:
        raise ValueError(
            f"{name} {khz} kHz is below the slowest clock the adapter makes ({chosen.actual_hz / 1000:g} kHz)"
        )
    return Clock(chosen.actual_hz, chosen.divisor, chosen.request_khz)
