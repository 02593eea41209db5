"""The JTAG chain as the host sees it: the TAP controller's states, and a
scanned chain with its devices. Shared by the JTAG port (:mod:`orv.jtag`)
and boundary scan (:mod:`orv.bscan`)."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Optional

from . import _devices as abi


class TapState(enum.IntEnum):
    """TAP controller states (IEEE 1149.1) in the libraries' numbering."""

    TEST_LOGIC_RESET = 0
    RUN_TEST_IDLE = 1
    SELECT_DR_SCAN = 2
    CAPTURE_DR = 3
    SHIFT_DR = 4
    EXIT1_DR = 5
    PAUSE_DR = 6
    EXIT2_DR = 7
    UPDATE_DR = 8
    SELECT_IR_SCAN = 9
    CAPTURE_IR = 10
    SHIFT_IR = 11
    EXIT1_IR = 12
    PAUSE_IR = 13
    EXIT2_IR = 14
    UPDATE_IR = 15


@dataclass(frozen=True)
class Device:
    """One TAP of a chain. ``idcode`` and its fields are ``None`` for a device
    that came up in BYPASS; ``ir_length`` is ``None`` when the capture
    pattern could not tell it apart from its neighbours'.

    Attributes:
        manufacturer: the JEP106 code of IDCODE bits 11..1 (continuation
            count << 7 | id).
        vendor: the JEP106 name of the manufacturer, ``None`` when not listed.
        part, version: IDCODE bits 27..12 and 31..28.
    """

    idcode: Optional[int]
    ir_length: Optional[int]
    manufacturer: Optional[int] = None
    vendor: Optional[str] = None
    part: Optional[int] = None
    version: Optional[int] = None

    def __repr__(self) -> str:
        idcode = "None" if self.idcode is None else f"{self.idcode:#010x}"
        fields = f"idcode={idcode}, ir_length={self.ir_length}"
        if self.idcode is not None:
            fields += f", manufacturer={self.manufacturer:#05x}, vendor={self.vendor!r}, "
            fields += f"part={self.part:#06x}, version={self.version}"
        return f"Device({fields})"

    @classmethod
    def _from_tap(cls, tap: abi.Tap) -> "Device":
        ir_length = tap.ir_length if tap.ir_length_known else None
        if not tap.has_idcode:
            return cls(None, ir_length)
        vendor = None if tap.vendor is None else tap.vendor.decode("utf-8", "replace")
        return cls(tap.idcode, ir_length, tap.manufacturer, vendor, tap.part, tap.version)


@dataclass(frozen=True)
class Chain:
    """A scanned chain; ``devices[0]`` is the device nearest TDO."""

    ir_total: int
    devices: tuple[Device, ...]

    @property
    def count(self) -> int:
        return len(self.devices)

    @property
    def ir_lengths(self) -> list[Optional[int]]:
        return [d.ir_length for d in self.devices]

    @property
    def idcodes(self) -> list[Optional[int]]:
        return [d.idcode for d in self.devices]

    @classmethod
    def _from_c(cls, chain: abi.Chain) -> "Chain":
        taps = chain.taps[: min(chain.count, abi.ORVDEV_JTAG_MAX_DEVICES)]
        return cls(chain.ir_total, tuple(Device._from_tap(tap) for tap in taps))
