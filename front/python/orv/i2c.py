"""I2C master through the adapter, on the device library's I2C bus.

Every call is whole transactions, START to STOP, each one bulk transfer and
one read-back of the acknowledge bits and data: a 256-byte read costs one
exchange with the adapter, not one per byte. Each transfer waits at most 31
ms, so an adapter that stops answering costs seconds, not hours.
"""

from __future__ import annotations

import ctypes
from ctypes import byref, c_int32, c_uint8
from typing import TYPE_CHECKING, Iterable, Optional, Union

from . import _devices as abi
from ._args import UINT32_MAX, byte_data, integer, nbytes
from ._clock import clock_for
from ._progress import Progress
from .errors import NoAcknowledge

if TYPE_CHECKING:
    from ._owner import PortOwner

# i2cdetect's default range: 0x00-0x07 and 0x78-0x7F are reserved 7-bit
# addresses.
FIRST_SCAN = 0x08
LAST_SCAN = 0x77
LAST_ADDRESS_10 = 0x3FF
DEFAULT_PAGE_SIZE = 8  # every 24Cxx page is a multiple of it

Message = tuple  # ("w", addr, data) or ("r", addr, n)


def _buffer(raw: bytes) -> ctypes.Array:
    return (c_uint8 * len(raw)).from_buffer_copy(raw)


class I2c:
    """The I2C port of an adapter (``adapter.i2c(...)``). Addresses are 7-bit,
    or 10-bit with ``ten_bit=True``.

    The clock really set is :attr:`clock`: the fastest the adapter makes that
    is not above `clock_khz`. The slowest it makes is 235.3 kHz, so 100 kHz
    (standard mode) is out of reach: asking for less raises ``ValueError``.
    """

    def __init__(self, adapter: "PortOwner", clock_khz: int) -> None:
        self.clock = clock_for("clock_khz", clock_khz)
        self.clock_khz = clock_khz
        self._adapter = adapter
        self._buses: dict[bool, ctypes.c_void_p] = {}  # by ten_bit, opened on first use

    @property
    def clock_hz(self) -> int:
        """The bus clock as it runs, in Hz."""
        return self.clock.hz

    def __repr__(self) -> str:
        return self._adapter._port_repr(f"I2c {self.clock.hz / 1000:g} kHz")

    def _bus(self, ten_bit: bool) -> ctypes.c_void_p:
        ten_bit = bool(ten_bit)
        if ten_bit not in self._buses:
            options = abi.I2cOptions(self.clock_khz, 1 if ten_bit else 0)
            doing = "setting up the I2C bus"
            _, self._buses[ten_bit] = self._adapter._open_handle("i2c", options, self, doing)
        return self._buses[ten_bit]

    @staticmethod
    def _where(addr: int, ten_bit: bool) -> str:
        integer("addr", addr, 0, UINT32_MAX)  # before it is shown: a str raises TypeError, as flash.read
        return f"{addr:#05x}" if ten_bit else f"{addr:#04x}"

    def _run(self, function: str, addr: int, ten_bit: bool, *args: object, doing: str, **kw: object) -> None:
        integer("addr", addr, 0, UINT32_MAX)  # the library refuses what the bus cannot address
        bus = self._bus(ten_bit)
        self._adapter._run(function, bus, addr, *args, doing=doing, address=addr, ten_bit=ten_bit, **kw)

    def write(self, addr: int, data: bytes, ten_bit: bool = False) -> None:
        """Writes 0..4088 bytes in one transaction (no bytes: the address
        alone, a quick write).

        Raises :class:`NoAcknowledge` when the address is not acknowledged,
        or a data byte is refused (``byte_index``, from 0). Above 511 bytes a
        refused data byte raises :class:`OrvError` (code -142): such a
        transaction cannot tell it from a short read-back."""
        raw = byte_data("data", data)
        doing = f"writing {nbytes(len(raw))} to {self._where(addr, ten_bit)}"
        if not raw:
            self.transfer([("w", addr, b"")], ten_bit=ten_bit)
            return
        self._run("orvdev_i2c_write", addr, ten_bit, _buffer(raw), len(raw), doing=doing)

    def read(self, addr: int, n: int, ten_bit: bool = False, progress: Optional[Progress] = None) -> bytes:
        """Reads `n` (1 or more) bytes from where the device's own pointer
        is, in transactions of up to 511 bytes."""
        integer("n", n, 1, UINT32_MAX)
        buf = (c_uint8 * n)()
        doing = f"reading {nbytes(n)} from {self._where(addr, ten_bit)}"
        self._run("orvdev_i2c_read", addr, ten_bit, buf, n, doing=doing, progress=progress)
        return bytes(buf)

    def read_reg(
        self,
        addr: int,
        reg: int,
        n: int = 1,
        *,
        reg16: bool = False,
        ten_bit: bool = False,
        progress: Optional[Progress] = None,
    ) -> bytes:
        """Reads `n` bytes from register (or memory offset) `reg` on: the
        register number (two bytes, most significant first, with `reg16`, as
        24C32 and larger EEPROMs take it) is written in one transaction, the
        bytes are read in the next (STOP, then START, which register files
        and EEPROMs accept; :meth:`transfer` joins them with a repeated START
        for devices that need it)."""
        integer("reg", reg, 0, UINT32_MAX)
        integer("n", n, 1, UINT32_MAX)
        buf = (c_uint8 * n)()
        doing = f"reading {nbytes(n)} of register {reg:#x} at {self._where(addr, ten_bit)}"
        reg_bytes = 2 if reg16 else 1
        self._run(
            "orvdev_i2c_read_reg", addr, ten_bit, reg, reg_bytes, buf, n, doing=doing, progress=progress
        )
        return bytes(buf)

    def read_reg_int(
        self,
        addr: int,
        reg: int,
        n: int = 1,
        *,
        byteorder: str = "little",
        reg16: bool = False,
        ten_bit: bool = False,
    ) -> int:
        """:meth:`read_reg` as a number: `n` bytes, low byte first as i2cget
        reads a word (``byteorder="big"`` for devices that send the high
        byte first)::

            who_am_i = i2c.read_reg_int(0x68, 0x75)   # 0x68"""
        if byteorder not in ("little", "big"):
            raise ValueError(f"byteorder must be 'little' or 'big', not {byteorder!r}")
        data = self.read_reg(addr, reg, n, reg16=reg16, ten_bit=ten_bit)
        return int.from_bytes(data, "little" if byteorder == "little" else "big")

    def write_reg(
        self, addr: int, reg: int, data: Union[bytes, int], *, reg16: bool = False, ten_bit: bool = False
    ) -> None:
        """Writes `data` (bytes, or one byte as an int) to register `reg` (two
        address bytes with `reg16`): one transaction of the register number
        and the data. Errors as :meth:`write`."""
        integer("reg", reg, 0, UINT32_MAX)
        raw = bytes([integer("data", data, 0, 0xFF)]) if isinstance(data, int) else byte_data("data", data)
        doing = f"writing {nbytes(len(raw))} to register {reg:#x} at {self._where(addr, ten_bit)}"
        data_buf = _buffer(raw) if raw else None
        reg_bytes = 2 if reg16 else 1
        self._run("orvdev_i2c_write_reg", addr, ten_bit, reg, reg_bytes, data_buf, len(raw), doing=doing)

    def eeprom_write(
        self,
        addr: int,
        offset: int,
        data: bytes,
        *,
        page_size: int = DEFAULT_PAGE_SIZE,
        reg16: bool = False,
        ten_bit: bool = False,
        write_cycle_ms: int = 0,
        progress: Optional[Progress] = None,
    ) -> None:
        """Writes `data` into an EEPROM at `offset` (two offset bytes with
        `reg16`), one page write at a time, never across a page boundary
        (where the EEPROM would wrap to the page's start), each followed by
        its write cycle: the EEPROM is polled until it answers again, up to
        `write_cycle_ms` (0: 20 ms, twice the 24Cxx maximum), else
        :class:`Timeout`.

        `page_size` (a power of two up to 256) is the EEPROM's: 8 (24C01,
        24C02), 16 (24C04-24C16), 32 (24C32, 24C64), 64 (24C128, 24C256), 128
        (24C512). The default 8 is right for all of them, and slower than
        the larger pages."""
        raw = byte_data("data", data)
        integer("offset", offset, 0, UINT32_MAX)
        integer("page_size", page_size, 0, UINT32_MAX)
        integer("write_cycle_ms", write_cycle_ms, 0, UINT32_MAX)
        doing = f"writing {nbytes(len(raw))} into the EEPROM at {self._where(addr, ten_bit)}"
        data_buf = _buffer(raw) if raw else None
        offset_bytes = 2 if reg16 else 1
        self._run(
            "orvdev_i2c_eeprom_write", addr, ten_bit, offset, offset_bytes, page_size, data_buf, len(raw),
            write_cycle_ms, doing=doing, progress=progress,
        )

    def probe(self, addr: int, ten_bit: bool = False) -> bool:
        """True when a device acknowledges its address, probed as i2cdetect
        does: a one-byte read at 0x30-0x37 and 0x50-0x5F (where EEPROMs would
        take a quick write as the start of a write), else a quick write."""
        present = c_int32()
        self._run("orvdev_i2c_probe", addr, ten_bit, abi.ORVDEV_PROBE_AUTO, byref(present),
                  doing=f"probing {self._where(addr, ten_bit)}")
        return bool(present.value)

    def scan(
        self,
        ten_bit: bool = False,
        first: Optional[int] = None,
        last: Optional[int] = None,
        progress: Optional[Progress] = None,
    ) -> list[int]:
        """The addresses that acknowledge, probed as :meth:`probe` does, from
        `first` to `last`: by default 0x08..0x77 as i2cdetect, or with
        `ten_bit` every 10-bit address 0x000..0x3FF (quick writes)."""
        if first is None:
            first = 0 if ten_bit else FIRST_SCAN
        if last is None:
            last = LAST_ADDRESS_10 if ten_bit else LAST_SCAN
        integer("first", first, 0, UINT32_MAX)
        integer("last", last, 0, UINT32_MAX)
        found = (c_uint8 * max(1, last - first + 1))()
        self._adapter._run(
            "orvdev_i2c_detect", self._bus(ten_bit), first, last, abi.ORVDEV_PROBE_AUTO, found,
            doing=f"scanning the I2C bus from {first:#x} to {last:#x}", progress=progress,
        )
        return [first + k for k in range(last - first + 1) if found[k]]

    def transfer(self, messages: Iterable[Message], ten_bit: bool = False) -> list[bytes]:
        """Runs the messages as one transaction, as i2ctransfer does: START,
        each message with its address, a repeated START between messages,
        STOP at the end (no STOP in between, for devices that lose their
        register pointer on STOP)::

            data, = i2c.transfer([("w", 0x50, b"\\x00\\x10"), ("r", 0x50, 16)])

        A message is ``("w", addr, data)`` (no data: the address alone) or
        ``("r", addr, n)``. Up to 42 messages, whose acknowledges and bytes
        read fit one read-back of 512 bytes (about 500 bytes read, or 4000
        written). Returns the bytes of each read message, in order.

        Raises :class:`NoAcknowledge` naming the message (``message_index``),
        its ``address``, and for a refused data byte ``byte_index`` within
        the message; ``ValueError`` for messages the adapter cannot run in
        one exchange (nothing sent).
        """
        if isinstance(messages, (str, bytes)):
            raise TypeError("messages must be a list of (\"w\", addr, data) or (\"r\", addr, n)")
        listed = list(messages)
        built = (abi.I2cMessage * max(1, len(listed)))()
        buffers: list[ctypes.Array] = []
        reads: list[tuple[ctypes.Array, int]] = []
        for i, message in enumerate(listed):
            if not isinstance(message, tuple) or len(message) != 3 or message[0] not in ("r", "w"):
                raise TypeError(f'message {i}: ("w", addr, data) or ("r", addr, n), not {message!r}')
            kind, addr, payload = message
            integer(f"message {i} addr", addr, 0, UINT32_MAX)
            if kind == "r":
                n = integer(f"message {i} length", payload, 0, UINT32_MAX)
                buf = (c_uint8 * max(1, n))()
                reads.append((buf, n))
            else:
                raw = byte_data(f"message {i} data", payload)
                n = len(raw)
                buf = _buffer(raw) if raw else (c_uint8 * 1)()
            buffers.append(buf)
            pointer = ctypes.cast(buf, ctypes.POINTER(c_uint8))
            built[i] = abi.I2cMessage(addr, 1 if kind == "r" else 0, n, pointer)
        names = ", ".join(f"{kind} {self._where(addr, ten_bit)}" for kind, addr, _ in listed)
        try:
            self._adapter._run(
                "orvdev_i2c_transfer", self._bus(ten_bit), built, len(listed),
                doing=f"I2C transfer ({names})", ten_bit=ten_bit,
            )
        except NoAcknowledge as e:
            if e.message_index is not None and e.message_index < len(listed):
                e.address = listed[e.message_index][1]
            raise
        return [bytes(buf[:n]) for buf, n in reads]
