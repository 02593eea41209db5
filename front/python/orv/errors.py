"""Exceptions of the ``orv`` package.

Every failure the libraries report becomes an :class:`OrvError`, or the
subclass that says what kind of failure it is, so that a script can catch
the ones it knows what to do about:

- :class:`NoAcknowledge`: an I2C device did not acknowledge its address, or
  refused a data byte (``byte_index``);
- :class:`Timeout`: the adapter's read-back never arrived, or an EEPROM did
  not finish its write cycle;
- :class:`UsbError`: libusb failed: the adapter went away, stalled or
  timed out; :class:`AdapterNotFound`, one of them: no adapter could be
  opened (``cause`` says why);
- :class:`FlashError` (:class:`FlashProtected`), :class:`ChainError`: the
  SPI flash or the JTAG chain did not behave;
- :class:`Mismatch`: what was read back differs from what was expected;
- :class:`Stopped`: the progress callback asked to stop;
- :class:`InvalidArgument` (also a ``ValueError``): the library refused an
  argument; nothing was sent. :class:`InputFileError`, one of them: a BSDL
  file or netlist was refused (``file``, ``line``, ``column``, ``reason``).

Every one carries the result code (``code``), the library's message
(``text``), what the user can do about it (``hint``), the transfer and the
bus library's text behind it (``detail``), and what the operation had done
before it failed (``done``). Arguments that are wrong in Python's terms (a
``str`` where bytes belong) raise ``TypeError`` or ``ValueError`` before
anything is sent.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple, Optional

from . import _devices as abi

if TYPE_CHECKING:
    from ._devices import Report

# Result codes of the bus libraries (orv_result.h); -1..-12 are libusb's own.
ERROR_USBTRANS = -13  # a transfer moved another byte count
ERROR_INVALID_PARAM = -14  # the library refused an argument before sending
ERROR_TIMEOUT = -15  # the read-back never reached its count within the poll limit
ERROR_OTHER = -17  # I2C: the target did not acknowledge its address
LIBUSB_ERROR_NOT_FOUND = -5
LIBUSB_ERROR_OTHER = -99
LIBUSB_CODES = range(-12, 0)  # LIBUSB_ERROR_IO (-1) .. LIBUSB_ERROR_NOT_SUPPORTED (-12)


class Count(NamedTuple):
    """``done`` of ``total`` (``None``: not known) ``unit`` (plural)."""

    unit: str
    done: int
    total: Optional[int]

    def __str__(self) -> str:
        return f"{self.done}{'' if self.total is None else f' of {self.total}'} {self.unit}"


@dataclass(frozen=True)
class Done:
    """One step of a failed operation and how far it got: "programmed 2048 of
    4096 bytes (8 of 16 pages) from 0x000000, stopped at 0x000800"."""

    action: str
    counts: tuple[Count, ...]
    start: Optional[int]  # the first address the step worked on
    stopped_at: Optional[int]  # where the part of it that failed started
    address_digits: int = 6

    def __str__(self) -> str:
        text = self.action
        if self.counts:
            text += f" {self.counts[0]}"
        if len(self.counts) > 1:
            text += " (" + ", ".join(str(c) for c in self.counts[1:]) + ")"
        if self.start is not None:
            text += f" from {self.start:#0{self.address_digits + 2}x}"
        if self.stopped_at is not None:
            text += f", stopped at {self.stopped_at:#0{self.address_digits + 2}x}"
        return text


class OrvError(Exception):
    """A library or libusb call failed.

    Attributes:
        code: the result code (negative), as the C libraries return it.
        text: the library's message: what failed, in the user's terms.
        doing: what this package was doing (it leads the message).
        hint: what the user can do about it; may be empty.
        detail: the transfer and the bus library's text behind it; may be
            empty.
        bus_code: the bus library's (or libusb's) result behind ``code``; 0
            when the failure was found above the wire.
        done: what the operation had done before it stopped, earliest first
            (:class:`Done`).
        recovery_file: a file a failed flash write saved the data in that it
            could not put back, else ``None``.
        partial: what the operation reports of itself when it failed (the
            :class:`orv.flash.WriteReport` of a flash write), else ``None``.
    """

    # A subclass's own attributes, with their values when not given.
    fields: dict[str, Any] = {}

    def __init__(
        self,
        code: int,
        text: str,
        doing: str = "",
        *,
        hint: str = "",
        detail: str = "",
        bus_code: int = 0,
        done: tuple[Done, ...] = (),
        recovery_file: Optional[str] = None,
        partial: Any = None,
        **fields: Any,
    ) -> None:
        unknown = set(fields) - set(self.fields)
        if unknown:
            raise TypeError(f"{type(self).__name__} has no attribute {', '.join(sorted(unknown))}")
        self.code = code
        self.text = text
        self.doing = doing
        self.hint = hint
        self.detail = detail
        self.bus_code = bus_code
        self.done = list(done)
        self.recovery_file = recovery_file
        self.partial = partial
        for name, default in self.fields.items():
            setattr(self, name, fields.get(name, default))
        super().__init__(self._message())

    def _message(self) -> str:
        line = f"{self.doing}: {self.text}" if self.doing else self.text
        extra = [self.detail] if self.detail else []
        if f"(code {self.code})" not in line + self.detail:
            extra.append(f"code {self.code}")
        if extra:
            line += f" ({'; '.join(extra)})"
        lines = [line]
        if self.hint:
            lines.append(f"  hint: {self.hint}")
        lines += [f"  done: {d}" for d in self.done]
        if self.recovery_file:
            lines.append(f"  the data that could not be put back is in {self.recovery_file}")
        return "\n".join(lines)


class UsbError(OrvError):
    """libusb reported an error (codes -1 to -12, or -99): the adapter went
    away, stalled, timed out, or the device could not be opened or claimed."""


class AdapterNotFound(UsbError):
    """No adapter could be opened (code -160): none matches what
    :func:`orv.open` was asked for, or the one that does cannot be opened.

    Attributes:
        cause: why, as ``orvtool`` tells it: "not_found", "permission" (the
            hint names the udev rule to install), "no_usbfs" (no
            /dev/bus/usb, as in a container), "busy" (another program has
            claimed it), "gone" (unplugged while it was opened),
            "usb_failed" (libusb failed otherwise; ``bus_code`` is its code).
    """

    fields = {"cause": None}


class Timeout(OrvError):
    """The adapter did not deliver the read-back within the poll limit (code
    -15), or an I2C EEPROM did not finish its write cycle in time (-143).
    libusb's own transfer timeout (-7) is a :class:`UsbError`."""


class NoAcknowledge(OrvError):
    """I2C: no device acknowledged the address, or the device refused a data
    byte.

    Attributes:
        address: the 7- or 10-bit address.
        ten_bit: whether it was sent as a 10-bit address.
        byte_index: the refused data byte, counted from 0 within its
            message; ``None`` when the address went unanswered.
        message_index: for :meth:`orv.I2c.transfer`, the message refused
            (from 0); else ``None``.
    """

    fields = {"address": 0, "ten_bit": False, "byte_index": None, "message_index": None}


class BusError(OrvError, RuntimeError):
    """An I2C line through boundary-scan pins read low while the bus had let
    it go: its net stuck low or without its pull-up, or a device stretching
    the clock. The message names the line and its pin."""


class InvalidArgument(OrvError, ValueError):
    """The library refused an argument (a range past the end of the flash, a
    part it does not know, an I2C address that does not fit); nothing was
    sent."""


class InputFileError(InvalidArgument):
    """A BSDL file or a netlist was refused (unreadable, broken, or
    contradicting itself or the BSDL files it names); nothing was sent.

    Attributes:
        file: the file refused (a netlist, or a BSDL file it names).
        line, column: where in it, from 1; ``None`` when the place is a JSON
            path or the whole file.
        json_path: the JSON path of a netlist's key ("nets.SDA[1]"), else
            ``None``.
        reason: what was expected there, or what is wrong.
        offset, index: an XSVF file's byte offset of the fault and the
            index of the command at fault (from 0); else ``None``.
    """

    fields = {
        "file": None,
        "line": None,
        "column": None,
        "json_path": None,
        "reason": None,
        "offset": None,
        "index": None,
    }


class Stopped(OrvError):
    """The progress callback returned ``False``: the operation stopped where
    the part is consistent (never inside a program or erase command). ``done``
    says how far it got; the adapter is ready for the next operation."""


class Mismatch(OrvError):
    """What was read back differs from what was expected.

    Attributes (from :meth:`orv.SpiFlash.verify`; ``None`` otherwise):
        addr: the first address that differs.
        expected, found: the byte expected there and the byte read.
        count: how many bytes differ in all.
    """

    fields = {"addr": None, "expected": None, "found": None, "count": None}


class SvfMismatch(Mismatch):
    """A TDO check of an SVF or XSVF file failed (:meth:`orv.Jtag.play_svf`,
    :meth:`orv.Jtag.play_xsvf`); nothing was sent after the batch that held
    the scan.

    Attributes:
        command: the scan's command ("SDR", "SIR").
        line, column: where the statement is in an SVF file (from 1); ``None``
            in XSVF.
        offset, index: the statement's byte offset and its index (from 0;
            XSVF: the command's).
        bits: the scan's length (its own bits; HDR/TDR aside).
        expected, actual, mask: the scan's values as integers, bit i shifted
            i-th; ``actual`` is 0 where nothing was sampled.
        differing: the compared bits that differ, header and trailer
            included.
        statements_played, checks_passed: what had been played before it.
        summary: the :class:`orv.jtag.SvfSummary` of what was played.
    """

    fields = {
        "command": None,
        "line": None,
        "column": None,
        "offset": None,
        "index": None,
        "bits": 0,
        "expected": 0,
        "actual": 0,
        "mask": 0,
        "differing": 0,
        "statements_played": 0,
        "checks_passed": 0,
        "summary": None,
    }


class ChainError(OrvError, RuntimeError):
    """A JTAG chain scan found no consistent chain (TDO stuck high, no TAP, a
    chain that does not add up)."""


class FlashError(OrvError, RuntimeError):
    """The SPI flash did not behave: none answers, its size cannot be told,
    it stays busy, refuses write enable or a status write, has no usable
    erase command or SFDP table."""


class FlashProtected(FlashError):
    """The range is write-protected by the status register's block
    protection (clear it with :meth:`orv.SpiFlash.unprotect`), or the status
    register is locked (pull WP# high first)."""


class LibraryNotFound(OSError):
    """A shared library (``liborv_tapwire.so.1``, ``liborv_lumo_spi.so.1``,
    ``liborv_lumo_iic.so.1``, ``liborv_devices.so.1`` or ``libusb-1.0.so.0``)
    could not be loaded."""


_CLASSES: dict[int, type[OrvError]] = {
    ERROR_TIMEOUT: Timeout,
    ERROR_OTHER: NoAcknowledge,
    ERROR_INVALID_PARAM: InvalidArgument,
    LIBUSB_ERROR_OTHER: UsbError,
    abi.ORVDEV_ERROR_INVALID_ARGUMENT: InvalidArgument,
    abi.ORVDEV_ERROR_OUT_OF_RANGE: InvalidArgument,
    abi.ORVDEV_ERROR_UNKNOWN_PART: InvalidArgument,
    abi.ORVDEV_ERROR_STOPPED: Stopped,
    abi.ORVDEV_ERROR_MISMATCH: Mismatch,
    abi.ORVDEV_ERROR_NO_FLASH: FlashError,
    abi.ORVDEV_ERROR_FLASH_UNKNOWN: FlashError,
    abi.ORVDEV_ERROR_FLASH_BUSY: FlashError,
    abi.ORVDEV_ERROR_FLASH_WRITE_ENABLE: FlashError,
    abi.ORVDEV_ERROR_FLASH_PROTECTED: FlashProtected,
    abi.ORVDEV_ERROR_FLASH_LOCKED: FlashProtected,
    abi.ORVDEV_ERROR_FLASH_STATUS_REFUSED: FlashError,
    abi.ORVDEV_ERROR_FLASH_NO_ERASE: FlashError,
    abi.ORVDEV_ERROR_NO_SFDP: FlashError,
    abi.ORVDEV_ERROR_CHAIN_SILENT: ChainError,
    abi.ORVDEV_ERROR_CHAIN_NO_TAP: ChainError,
    abi.ORVDEV_ERROR_CHAIN_BROKEN: ChainError,
    abi.ORVDEV_ERROR_I2C_NO_ACK: NoAcknowledge,
    abi.ORVDEV_ERROR_I2C_DATA_NACK: NoAcknowledge,
    abi.ORVDEV_ERROR_I2C_BUSY: Timeout,
    abi.ORVDEV_ERROR_I2C_LINE_HELD: BusError,
    abi.ORVDEV_ERROR_BAD_INPUT: InputFileError,
    abi.ORVDEV_ERROR_UNKNOWN_PIN: InvalidArgument,
    abi.ORVDEV_ERROR_BSDL_MISMATCH: ChainError,
    abi.ORVDEV_ERROR_BSCAN_UNSUPPORTED: ChainError,
    abi.ORVDEV_ERROR_NO_ADAPTER: AdapterNotFound,
}


def error_class(code: int) -> type[OrvError]:
    """The exception class for a non-zero result code. Codes no class names
    (-13 a short transfer, -16, an I2C write that failed without saying
    which byte, the read-back that cannot be emptied, an internal fault) are
    plain :class:`OrvError`."""
    if code in LIBUSB_CODES:
        return UsbError
    return _CLASSES.get(code, OrvError)


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "replace")


def _done(report: "Report") -> tuple[Done, ...]:
    steps = []
    for d in report.done[: min(report.done_count, abi.ORVDEV_DONE_MAX)]:
        counts = tuple(
            Count(_text(c.unit), c.done, c.total if c.has_total else None)
            for c in d.counts[: min(d.count_count, abi.ORVDEV_COUNTS_MAX)]
        )
        steps.append(
            Done(
                _text(d.action),
                counts,
                d.from_ if d.has_from else None,
                d.stopped_at if d.has_stopped_at else None,
                d.address_digits,
            )
        )
    return tuple(steps)


def input_error_fields(where: "abi.InputError") -> dict[str, Any]:
    """The attributes of :class:`InputFileError` from where the device
    library refused a file (orvdev_input_error)."""
    return dict(
        file=_text(where.file) or None,
        line=where.line or None,
        column=where.column or None,
        json_path=_text(where.path) or None,
        reason=_text(where.reason) or None,
    )


def make_error(
    code: int, text: str, doing: str, report: Optional["Report"] = None, **fields: Any
) -> OrvError:
    """The exception for a non-zero result code: from the device library's
    report when there is one (its message becomes ``text``), else from the
    code and the library's text for it. `fields` are the attributes of the
    class (``address=`` of :class:`NoAcknowledge`, ``partial=``); those the
    class does not have are left out."""
    cls = error_class(code)
    if report is not None:
        if report.message:
            text = _text(report.message)
        fields.update(
            hint=_text(report.hint),
            detail=_text(report.detail),
            bus_code=report.bus_code,
            done=_done(report),
            recovery_file=_text(report.recovery_file) or None,
            byte_index=report.byte_index if report.byte_index >= 0 else None,
            message_index=report.message_index if report.message_index >= 0 else None,
        )
    common = ("hint", "detail", "bus_code", "done", "recovery_file", "partial")
    return cls(code, text, doing, **{k: v for k, v in fields.items() if k in common or k in cls.fields})
