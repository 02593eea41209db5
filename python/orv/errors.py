"""Exceptions of the ``orv`` package.

Every failure that a library reports becomes an :class:`OrvError` carrying the
library's result code and the library's text for it. The subclasses are the
cases a script usually handles on its own: an I2C target that does not answer
(:class:`NoAcknowledge`), a read-back that never arrived (:class:`Timeout`) and
a failure inside libusb (:class:`UsbError`). Bad arguments raise
``ValueError`` or ``TypeError`` before anything is sent.
"""

from __future__ import annotations

from typing import Optional

# Result codes of the libraries (orv_result.h); -1..-12 are libusb's own.
SUCCESS = 0
ERROR_USBTRANS = -13  # a transfer moved another byte count; I2C: a data byte was refused
ERROR_INVALID_PARAM = -14  # the library refused an argument before sending
ERROR_TIMEOUT = -15  # the read-back never reached its count within the poll limit
ERROR_CMD = -16  # a built command sequence had the wrong length (library fault)
ERROR_OTHER = -17  # I2C: the target did not acknowledge its address
LIBUSB_ERROR_NOT_FOUND = -5
LIBUSB_ERROR_OTHER = -99
LIBUSB_CODES = range(-12, 0)  # LIBUSB_ERROR_IO (-1) .. LIBUSB_ERROR_NOT_SUPPORTED (-12)


class OrvError(Exception):
    """A library or libusb call failed.

    Attributes:
        code: the result code (negative), as the C libraries return it.
        text: the libraries' text for the code (``tapwire_get_err_info``).
        doing: what the package was doing, for the message.
    """

    def __init__(self, code: int, text: str, doing: str = "") -> None:
        self.code = code
        self.text = text
        self.doing = doing
        message = f"{text} (code {code})"
        super().__init__(f"{doing}: {message}" if doing else message)


class UsbError(OrvError):
    """libusb reported an error (codes -1 to -12, or -99): the adapter went
    away, stalled, timed out, or the device could not be opened or claimed."""


class Timeout(OrvError):
    """The adapter did not deliver the read-back bytes within the poll limit
    (code -15). libusb's own transfer timeout (-7) is a :class:`UsbError`."""


class NoAcknowledge(OrvError):
    """I2C: no target acknowledged the address (code -17).

    Attributes:
        address: the 7- or 10-bit address that went unanswered.
        ten_bit: whether it was sent as a 10-bit address.
    """

    def __init__(
        self, code: int, text: str, doing: str = "", *, address: int = 0, ten_bit: bool = False
    ) -> None:
        super().__init__(code, text, doing)
        self.address = address
        self.ten_bit = ten_bit


class AdapterNotFound(UsbError):
    """No connected adapter matches what :func:`orv.open` was asked for."""


class LibraryNotFound(OSError):
    """A shared library (``liborv_tapwire.so.1``, ``liborv_lumo_spi.so.1``,
    ``liborv_lumo_iic.so.1`` or ``libusb-1.0.so.0``) could not be loaded."""


class ChainError(RuntimeError):
    """A JTAG chain scan found no consistent chain (TDO stuck, broken chain)."""


class FlashError(RuntimeError):
    """A SPI flash did not behave: write enable refused, or busy for too long."""


def error_class(code: int) -> type[OrvError]:
    """The exception class for a non-zero result code."""
    if code == ERROR_TIMEOUT:
        return Timeout
    if code == ERROR_OTHER:
        return NoAcknowledge
    if code in LIBUSB_CODES or code == LIBUSB_ERROR_OTHER:
        return UsbError
    return OrvError


def make_error(
    code: int, text: str, doing: str, address: Optional[int] = None, ten_bit: bool = False
) -> OrvError:
    """Builds the exception for a non-zero result code."""
    cls = error_class(code)
    if cls is NoAcknowledge:
        return NoAcknowledge(code, text, doing, address=address or 0, ten_bit=ten_bit)
    return cls(code, text, doing)
