"""JTAG through the adapter: TAP reset and navigation, IR/DR scans, a chain
scan, and DR scans batched into one transfer.

Bit strings are given as bytes (bit i is bit i % 8 of byte i // 8, byte 0
first, shifted least significant bit first) or as an int (bit i shifted i-th);
captured TDO comes back in the form TDI was given in.
"""

from __future__ import annotations

import ctypes
import enum
from ctypes import byref, c_int32
from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Union

from ._args import BitData, bit_data, bits_out, khz, integer
from .errors import ChainError

if TYPE_CHECKING:
    from .adapter import Adapter

# Adapter pins as wired for JTAG (low group): TCK pin 0 out, TDI pin 1 out,
# TDO pin 2 in, TMS pin 3 out and high, so the TAP stays in Test-Logic-Reset
# until driven.
PIN_TCK = 1 << 0
PIN_TDI = 1 << 1
PIN_TDO = 1 << 2
PIN_TMS = 1 << 3
DEFAULT_PINS = (PIN_TCK | PIN_TDI | PIN_TMS, PIN_TMS)  # (direction, level)

MAX_SCAN_BITS = 0x7FFFFFFF  # the libraries' signed 32-bit bit count
MAX_IDLE_CLOCKS = 0xFFFF
MAX_DEVICES = 64  # longest chain scan() counts
MAX_IR_TOTAL = 512  # longest summed IR length scan() measures
IDCODE_BITS = 32


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
    """One TAP of a chain. ``idcode`` is ``None`` for a device that came up in
    BYPASS; ``ir_length`` is ``None`` when the capture pattern could not tell
    it apart from its neighbours'."""

    idcode: Optional[int]
    ir_length: Optional[int]

    @property
    def manufacturer(self) -> Optional[int]:
        """JEP106 code, bits 11..1: continuation count (bank - 1) << 7 | id."""
        return None if self.idcode is None else (self.idcode >> 1) & 0x7FF

    @property
    def part(self) -> Optional[int]:
        return None if self.idcode is None else (self.idcode >> 12) & 0xFFFF

    @property
    def version(self) -> Optional[int]:
        return None if self.idcode is None else self.idcode >> 28


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


def _buffer(raw: bytes) -> ctypes.Array:
    return (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)


def _first_bit(value: int, start: int, stop: int, bit: int) -> Optional[int]:
    """Index of the first bit equal to `bit` in value[start:stop]."""
    for i in range(start, stop):
        if (value >> i) & 1 == bit:
            return i
    return None


def split_ir_lengths(capture: int, total: int, devices: int) -> list[Optional[int]]:
    """Splits a summed IR capture (bit 0 nearest TDO) into per-device lengths
    from the pattern ...01 that every TAP captures: each register starts with
    a 1 followed by a 0. Only when there is exactly one such start per device,
    the first at bit 0, are the boundaries certain; otherwise all are None."""
    if devices == 1:
        return [total]
    starts = [i for i in range(total - 1) if (capture >> i) & 3 == 1]
    if len(starts) != devices or starts[0] != 0:
        return [None] * devices
    return [end - start for start, end in zip(starts, starts[1:] + [total])]


def parse_idcodes(bits: int, count: int, devices: int) -> Optional[list[Optional[int]]]:
    """Reads a DR chain after Test-Logic-Reset: a 1 starts a 32-bit IDCODE, a
    0 is a one-bit BYPASS register. None when the bits run out."""
    ids: list[Optional[int]] = []
    pos = 0
    for _ in range(devices):
        if pos >= count:
            return None
        if not (bits >> pos) & 1:
            ids.append(None)
            pos += 1
            continue
        if pos + IDCODE_BITS > count:
            return None
        ids.append((bits >> pos) & 0xFFFFFFFF)
        pos += IDCODE_BITS
    return ids


class Jtag:
    """The JTAG port of an adapter (``adapter.jtag(...)``).

    The TAP state is mirrored in :attr:`state`: every operation starts its
    TMS path from it and updates it only when the whole operation succeeded.
    """

    def __init__(
        self, adapter: "Adapter", tck_khz: int, pins: Optional[tuple[int, int]], reset: bool
    ) -> None:
        """Sets TCK to `tck_khz` and the pins to `pins` = (direction, level)
        (bit set: output; default TCK, TDI, TMS out with TMS high), then, with
        `reset`, forces the TAP into Test-Logic-Reset. Without it the TAP is
        taken to be in Run-Test/Idle, where every scan leaves it."""
        self.tck_khz = khz("tck_khz", tck_khz)
        direction, level = DEFAULT_PINS if pins is None else pins
        self.pins = (integer("pins direction", direction, 0, 0xFFFF), integer("pins level", level, 0, 0xFFFF))
        self._adapter = adapter
        self._state = TapState.RUN_TEST_IDLE
        if reset:
            self.reset()
        else:
            with adapter._session(self):
                pass

    def _configure(self) -> None:
        libs, handle, timeout = self._adapter._libs, self._adapter._handle, self._adapter.timeout_ms
        libs.check(libs.tapwire.tapwire_tckset(handle, self.tck_khz, timeout), "setting the TCK clock")
        libs.check(libs.tapwire.tapwire_ioset(handle, *self.pins, timeout), "setting the JTAG pins")

    @property
    def state(self) -> TapState:
        """The TAP state as the host mirrors it."""
        return self._state

    def reset(self) -> None:
        """Forces the TAP into Test-Logic-Reset (TMS high for seven clocks)."""
        with self._adapter._session(self) as (libs, handle):
            state = c_int32(self._state)
            rc = libs.tapwire.tapwire_reset(handle, byref(state), self._adapter.timeout_ms)
            libs.check(rc, "resetting the TAP")
            self._state = TapState(state.value)

    def goto_idle(self, clocks: int = 0) -> None:
        """Moves the TAP to Run-Test/Idle and gives `clocks` (0..65535) more
        clocks there."""
        integer("clocks", clocks, 0, MAX_IDLE_CLOCKS)
        with self._adapter._session(self) as (libs, handle):
            state = c_int32(self._state)
            rc = libs.tapwire.tapwire_goto_idle(handle, byref(state), clocks, self._adapter.timeout_ms)
            libs.check(rc, "moving the TAP to Run-Test/Idle")
            self._state = TapState(state.value)

    def shift_ir(
        self, data: BitData, bits: Optional[int] = None, capture: bool = False, idle_clocks: int = 0
    ) -> Union[bytes, int, None]:
        """Shifts `bits` bits of `data` through the instruction registers and
        returns to Run-Test/Idle, then gives `idle_clocks` clocks there.
        Returns the captured TDO (bytes or int, as `data` was given) when
        `capture`, else None."""
        return self._shift("tapwire_shift_ir", "the instruction register", data, bits, capture, idle_clocks)

    def shift_dr(
        self, data: BitData, bits: Optional[int] = None, capture: bool = False, idle_clocks: int = 0
    ) -> Union[bytes, int, None]:
        """As :meth:`shift_ir`, through the selected data register."""
        return self._shift("tapwire_shift_dr", "the data register", data, bits, capture, idle_clocks)

    def _shift(
        self, function: str, register: str, data: object, bits: Optional[int], capture: bool, idle_clocks: int
    ) -> Union[bytes, int, None]:
        raw, bits, as_int = bit_data("data", data, bits, MAX_SCAN_BITS)
        integer("idle_clocks", idle_clocks, 0, MAX_IDLE_CLOCKS)
        tdi = _buffer(raw)
        tdo = (ctypes.c_uint8 * len(raw))() if capture else None
        with self._adapter._session(self) as (libs, handle):
            state = c_int32(self._state)
            rc = getattr(libs.tapwire, function)(
                handle, byref(state), bits, tdi, tdo, idle_clocks, self._adapter.timeout_ms
            )
            libs.check(rc, f"scanning {register} ({bits} bits)")
            self._state = TapState(state.value)
        return None if tdo is None else bits_out(bytes(tdo), bits, as_int)

    def scan(self) -> Chain:
        """Counts the devices of the chain and reads their IR lengths and
        IDCODEs, as ``orvtool jtag scan`` does. Leaves the TAP in Run-Test/Idle
        with IDCODE (or BYPASS) selected. Raises :class:`ChainError` when the
        chain gives no consistent answer."""
        self.reset()
        # Summed IR length: zeros then ones through every instruction
        # register; the first 1 comes out after as many clocks as there are IR
        # bits. The registers end up all ones (BYPASS on every TAP); the first
        # bits out are the capture values, kept to split the sum per device.
        ir = self.shift_ir(((1 << MAX_IR_TOTAL) - 1) << MAX_IR_TOTAL, 2 * MAX_IR_TOTAL, capture=True)
        assert isinstance(ir, int)
        if _first_bit(ir, 0, 2 * MAX_IR_TOTAL, 0) is None:
            raise ChainError("TDO stays high: no JTAG device answers (check power and the TDO wire)")
        ir_end = _first_bit(ir, MAX_IR_TOTAL, 2 * MAX_IR_TOTAL, 1)
        if ir_end is None:
            raise ChainError(
                f"TDO stays low while ones are shifted in: the chain is broken or its instruction "
                f"registers add up to more than {MAX_IR_TOTAL} bits"
            )
        ir_total = ir_end - MAX_IR_TOTAL
        if ir_total == 0:
            raise ChainError("TDO follows TDI without delay: there is no TAP in the chain")
        # Device count: every TAP now has its one-bit BYPASS register selected.
        dr = self.shift_dr(((1 << MAX_DEVICES) - 1) << MAX_DEVICES, 2 * MAX_DEVICES, capture=True)
        assert isinstance(dr, int)
        dr_end = _first_bit(dr, MAX_DEVICES, 2 * MAX_DEVICES, 1)
        if dr_end is None or dr_end == MAX_DEVICES:
            raise ChainError(f"the BYPASS registers do not add up to a chain of 1 to {MAX_DEVICES} devices")
        count = dr_end - MAX_DEVICES
        # IDCODEs: Test-Logic-Reset selects IDCODE (or BYPASS where there is none).
        self.reset()
        id_bits = count * IDCODE_BITS
        ids = parse_idcodes(self._shift_int_dr(id_bits), id_bits, count)
        if ids is None:
            raise ChainError("the IDCODE chain is shorter than the device count")
        lengths = split_ir_lengths(ir, ir_total, count)
        return Chain(ir_total, tuple(Device(i, n) for i, n in zip(ids, lengths)))

    def _shift_int_dr(self, bits: int) -> int:
        tdo = self.shift_dr((1 << bits) - 1, bits, capture=True)
        assert isinstance(tdo, int)
        return tdo

    def batch(self) -> "DrBatch":
        """A batch of DR scans sent in one bulk transfer."""
        return DrBatch(self)


@dataclass(frozen=True)
class _Scan:
    raw: bytes
    bits: int
    as_int: bool
    capture: bool
    idle_clocks: int


class DrBatch:
    """DR scans collected, then sent in one bulk OUT transfer with one
    read-back for all captured bits::

        batch = jtag.batch()
        for word in words:
            batch.shift_dr(word, 32)
        status = batch.shift_dr(0, 32, capture=True)
        results = batch.send()   # [None, ..., captured int]

    The command sequences are built when :meth:`send` runs, starting from the
    port's TAP state at that moment; the scans stay in the batch, so it can
    be sent again.
    """

    def __init__(self, jtag: Jtag) -> None:
        self._jtag = jtag
        self._scans: list[_Scan] = []

    def __len__(self) -> int:
        return len(self._scans)

    def shift_dr(
        self, data: BitData, bits: Optional[int] = None, capture: bool = False, idle_clocks: int = 0
    ) -> int:
        """Adds one DR scan (arguments as :meth:`Jtag.shift_dr`); returns its
        index in the list :meth:`send` returns."""
        raw, bits, as_int = bit_data("data", data, bits, MAX_SCAN_BITS)
        integer("idle_clocks", idle_clocks, 0, MAX_IDLE_CLOCKS)
        self._scans.append(_Scan(raw, bits, as_int, bool(capture), idle_clocks))
        return len(self._scans) - 1

    def clear(self) -> None:
        self._scans.clear()

    def send(self) -> list[Union[bytes, int, None]]:
        """Sends every scan in one transfer and returns, per scan, its captured
        TDO or None. Nothing is sent for an empty batch."""
        if not self._scans:
            return []
        capture_bytes = sum(len(s.raw) for s in self._scans if s.capture)
        # Room for each sequence: its data bytes, 17 bytes of commands around
        # them, and 2 for each further 256-byte data command.
        room = sum(len(s.raw) + 17 + 2 * (len(s.raw) // 256 + 1) for s in self._scans)
        if room > MAX_SCAN_BITS or capture_bytes * 8 > MAX_SCAN_BITS:
            raise ValueError("the batch is too long for one transfer: split it")
        stream = (ctypes.c_uint8 * room)()
        jtag, adapter = self._jtag, self._jtag._adapter
        with adapter._session(jtag) as (libs, handle):
            state = c_int32(jtag._state)
            capacity = c_int32(room)
            written = c_int32(0)
            offset = 0
            for index, scan in enumerate(self._scans):
                rc = libs.tapwire.tapwire_build_shift_dr_cmd(
                    byref(state),
                    scan.bits,
                    _buffer(scan.raw),
                    scan.idle_clocks,
                    1 if scan.capture else 0,
                    ctypes.addressof(stream) + offset,
                    byref(capacity),
                    byref(written),
                )
                libs.check(rc, f"building DR scan {index} of the batch")
                offset += written.value
            adapter._bulk_out(stream, offset, f"sending a batch of {len(self._scans)} DR scans")
            tdo = (ctypes.c_uint8 * capture_bytes)()
            if capture_bytes:
                rc = libs.tapwire.tapwire_readback_tdo(handle, capture_bytes * 8, tdo, adapter.timeout_ms)
                libs.check(rc, f"reading back the batch's {capture_bytes} captured bytes")
            jtag._state = TapState(state.value)
        results: list[Union[bytes, int, None]] = []
        at = 0
        for scan in self._scans:
            if scan.capture:
                results.append(bits_out(bytes(tdo[at : at + len(scan.raw)]), scan.bits, scan.as_int))
                at += len(scan.raw)
            else:
                results.append(None)
        return results
