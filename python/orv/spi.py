"""SPI master through the adapter, and a small helper for 25-series SPI NOR
flash.

Each :meth:`Spi.transfer` is one whole transaction, chip select to deselect,
in one bulk transfer: optional command byte, optional address bytes, optional
dummy clocks, then the data phase (write, read, or both at once).
"""

from __future__ import annotations

import ctypes
import time
from ctypes import byref
from typing import TYPE_CHECKING, Optional, Union

from . import _lib
from ._args import BitData, bit_data, byte_data, khz, integer
from .errors import FlashError

if TYPE_CHECKING:
    from .adapter import Adapter

MAX_READ_BYTES = 512  # most data bytes of a transaction that reads
MAX_BITS = 2048  # most data bits of a bit transaction
MAX_ADDR_BYTES = 4
MAX_DUMMY_CLOCKS = 0xFFFF
BIT_ORDER_LSB_FIRST = 1
BIT_ORDER_MSB_FIRST = 0


class Spi:
    """The SPI port of an adapter (``adapter.spi(...)``).

    The adapter sets the clock's idle level (polarity) and samples on the
    edge that goes with it, so it speaks modes 0 (idle low) and 3 (idle
    high); give ``mode=0`` or ``3``, or ``polarity=0`` or ``1``.
    """

    def __init__(
        self,
        adapter: "Adapter",
        clock_khz: int,
        mode: Optional[int],
        polarity: Optional[int],
        lsb_first: bool,
        cs_active_high: bool,
    ) -> None:
        self.clock_khz = khz("clock_khz", clock_khz)
        if mode is not None and polarity is not None:
            raise TypeError("give mode or polarity, not both")
        if polarity is not None:
            self.polarity = integer("polarity", polarity, 0, 1)
        else:
            mode = integer("mode", 0 if mode is None else mode, 0, 3)
            if mode in (1, 2):
                raise ValueError(
                    f"mode {mode}: the adapter's sampling edge follows the clock polarity, "
                    "so it speaks modes 0 and 3 only"
                )
            self.polarity = mode >> 1
        self.lsb_first = bool(lsb_first)
        self.cs_active_high = bool(cs_active_high)
        self._adapter = adapter
        with adapter._session(self):
            pass

    @property
    def mode(self) -> int:
        return 3 if self.polarity else 0

    def _config(self, cmd: Optional[int] = None, addr_bytes: int = 0) -> _lib.SpiConfig:
        return _lib.SpiConfig(
            clock_freq=self.clock_khz,
            bit_order=BIT_ORDER_LSB_FIRST if self.lsb_first else BIT_ORDER_MSB_FIRST,
            clock_polarity=self.polarity,
            cs_polarity=1 if self.cs_active_high else 0,
            addr_bytes=addr_bytes,
            cmd_enable=0 if cmd is None else 1,
        )

    def _configure(self) -> None:
        libs = self._adapter._libs
        config = self._config()
        rc = libs.spi.lumo_spi_set_config(self._adapter._handle, byref(config), self._adapter.timeout_ms)
        libs.check(rc, "configuring the SPI port")

    @staticmethod
    def _phases(cmd: Optional[int], addr: Optional[int], addr_bytes: int, dummy_clocks: int) -> int:
        """Checks the phases before the data; returns the address value."""
        if cmd is not None:
            integer("cmd", cmd, 0, 0xFF)
        integer("addr_bytes", addr_bytes, 0, MAX_ADDR_BYTES)
        integer("dummy_clocks", dummy_clocks, 0, MAX_DUMMY_CLOCKS)
        if (addr is None) != (addr_bytes == 0):
            raise ValueError("addr and addr_bytes (1..4) go together")
        if addr is None:
            return 0
        return integer("addr", addr, 0, (1 << (8 * addr_bytes)) - 1)

    def transfer(
        self,
        write: Optional[bytes] = None,
        read: int = 0,
        cmd: Optional[int] = None,
        addr: Optional[int] = None,
        addr_bytes: int = 0,
        dummy_clocks: int = 0,
    ) -> bytes:
        """One transaction.

        Args:
            write: bytes to send in the data phase.
            read: bytes to read in the data phase (at most 512). With `write`
                it must equal ``len(write)``: a full-duplex phase.
            cmd: a command byte sent first, or None.
            addr: the address, sent in `addr_bytes` (1..4) bytes after the
                command, most significant first (least with lsb_first).
            dummy_clocks: clocks (0..65535) after the address.

        Returns the bytes read (empty when `read` is 0).
        """
        address = self._phases(cmd, addr, addr_bytes, dummy_clocks)
        data = None if write is None else byte_data("write", write)
        integer("read", read, 0, MAX_READ_BYTES)
        if data is not None and read and read != len(data):
            raise ValueError(f"a full-duplex phase reads as many bytes as it writes: {len(data)}, not {read}")
        length = len(data) if data is not None else read
        out_buf = None if data is None else (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
        in_buf = (ctypes.c_uint8 * read)() if read else None
        config = self._config(cmd, addr_bytes)
        with self._adapter._session(self) as (libs, handle):
            rc = libs.spi.lumo_spi_read_write_bytes(
                handle, length, out_buf, in_buf, address, cmd or 0, dummy_clocks, byref(config),
                self._adapter.timeout_ms,
            )
            libs.check(rc, f"SPI transaction of {length} bytes")
        return b"" if in_buf is None else bytes(in_buf)

    def transfer_bits(
        self,
        write: Optional[BitData] = None,
        bits: Optional[int] = None,
        read: bool = False,
        cmd: Optional[int] = None,
        addr: Optional[int] = None,
        addr_bytes: int = 0,
        dummy_clocks: int = 0,
    ) -> Union[bytes, int, None]:
        """One transaction of 1 to 2048 data bits.

        `write` is a bit string (bytes, bit i = bit i % 8 of byte i // 8, or an
        int of `bits` bits); it goes out from its top bit down (from bit 0 up
        with lsb_first). With `read` and no `write`, `bits` clocks are read.

        Returns None without `read`; with `read` and an int `write`, an int
        whose bit i was sampled while bit i went out; otherwise the
        ceil(bits / 8) bytes as the adapter packs them.
        """
        address = self._phases(cmd, addr, addr_bytes, dummy_clocks)
        if write is None:
            if bits is None:
                raise TypeError("a read-only bit transaction needs bits=")
            integer("bits", bits, 1, MAX_BITS)
            raw, as_int = None, False
        else:
            raw, bits, as_int = bit_data("write", write, bits, MAX_BITS)
        nbytes = (bits + 7) // 8
        out_buf = None if raw is None else (ctypes.c_uint8 * nbytes).from_buffer_copy(raw)
        in_buf = (ctypes.c_uint8 * nbytes)() if read else None
        config = self._config(cmd, addr_bytes)
        with self._adapter._session(self) as (libs, handle):
            rc = libs.spi.lumo_spi_read_write_bits(
                handle, bits, out_buf, in_buf, address, cmd or 0, dummy_clocks, byref(config),
                self._adapter.timeout_ms,
            )
            libs.check(rc, f"SPI transaction of {bits} bits")
        if in_buf is None:
            return None
        if not as_int:
            return bytes(in_buf)
        # The samples are packed in the order taken, each byte filled from
        # its shift direction's end: MSB first puts the first sample (the one
        # beside the top bit out) at the top.
        if self.lsb_first:
            return int.from_bytes(bytes(in_buf), "little") & ((1 << bits) - 1)
        return int.from_bytes(bytes(in_buf), "big") >> (8 * nbytes - bits)


class SpiFlash:
    """A 25-series SPI NOR flash on the SPI port, for scripts: JEDEC id,
    read, page program, sector erase, busy wait. Three address bytes, mode 0
    or 3, MSB first. (The full flash workflow, with verify and ranges, is
    ``orvtool spi``.)"""

    # Opcodes, each with its lengths after the opcode.
    CMD_READ_JEDEC_ID = 0x9F  # in: 3 (manufacturer, type, capacity)
    CMD_READ = 0x03  # out: 3 address; in: any
    CMD_READ_STATUS = 0x05  # in: 1
    CMD_WRITE_ENABLE = 0x06  # no data
    CMD_PAGE_PROGRAM = 0x02  # out: 3 address + 1..256 data
    CMD_SECTOR_ERASE = 0x20  # out: 3 address (4 KiB)
    STATUS_BUSY = 0x01  # write in progress
    STATUS_WEL = 0x02  # write enable latch
    ADDR_BYTES = 3
    ADDRESS_SPACE = 1 << 24
    PAGE_SIZE = 256
    SECTOR_SIZE = 4096
    # Busy limits well above the data-sheet maxima of common parts.
    PAGE_PROGRAM_SECONDS = 1.0
    SECTOR_ERASE_SECONDS = 3.0

    def __init__(self, spi: Spi) -> None:
        if spi.lsb_first:
            raise ValueError("a SPI NOR flash wants most significant bit first")
        self.spi = spi

    def jedec_id(self) -> bytes:
        """Manufacturer, memory type and capacity code."""
        return self.spi.transfer(cmd=self.CMD_READ_JEDEC_ID, read=3)

    def status(self) -> int:
        """Status register 1."""
        return self.spi.transfer(cmd=self.CMD_READ_STATUS, read=1)[0]

    @property
    def busy(self) -> bool:
        return bool(self.status() & self.STATUS_BUSY)

    def wait_ready(self, timeout_s: float = SECTOR_ERASE_SECONDS) -> None:
        """Polls the status until the flash is idle; :class:`FlashError` after
        `timeout_s` seconds."""
        deadline = time.monotonic() + timeout_s
        while self.busy:
            if time.monotonic() > deadline:
                raise FlashError(f"the flash stays busy for more than {timeout_s} s")

    def _range(self, addr: int, length: int) -> None:
        integer("addr", addr, 0, self.ADDRESS_SPACE - 1)
        if length > self.ADDRESS_SPACE - addr:
            raise ValueError(f"{length} bytes at {addr:#08x} go past the end of the 3-byte address space")

    def read(self, addr: int, length: int) -> bytes:
        """`length` bytes from `addr`, in transactions of at most 512 bytes."""
        integer("length", length, 0, self.ADDRESS_SPACE)
        self._range(addr, length)
        chunks = []
        for at in range(addr, addr + length, MAX_READ_BYTES):
            n = min(MAX_READ_BYTES, addr + length - at)
            chunks.append(self.spi.transfer(cmd=self.CMD_READ, addr=at, addr_bytes=self.ADDR_BYTES, read=n))
        return b"".join(chunks)

    def page_program(self, addr: int, data: bytes) -> None:
        """Programs 1..256 bytes within one page (programming only clears
        bits: erase first), then waits until the flash is idle."""
        raw = byte_data("data", data)
        integer("len(data)", len(raw), 1, self.PAGE_SIZE)
        self._range(addr, len(raw))
        if addr % self.PAGE_SIZE + len(raw) > self.PAGE_SIZE:
            raise ValueError(f"{len(raw)} bytes at {addr:#08x} cross a page boundary")
        self._write_command(self.CMD_PAGE_PROGRAM, addr, raw, self.PAGE_PROGRAM_SECONDS)

    def sector_erase(self, addr: int) -> None:
        """Erases the 4 KiB sector at `addr` (aligned), then waits."""
        self._range(addr, self.SECTOR_SIZE)
        if addr % self.SECTOR_SIZE:
            raise ValueError(f"{addr:#08x} is not at the start of a 4 KiB sector")
        self._write_command(self.CMD_SECTOR_ERASE, addr, None, self.SECTOR_ERASE_SECONDS)

    def _write_command(self, cmd: int, addr: int, data: Optional[bytes], limit_s: float) -> None:
        """The step shared by every program and erase: write enable, check
        that it took, the command, then wait while busy."""
        self.spi.transfer(cmd=self.CMD_WRITE_ENABLE)
        if not self.status() & self.STATUS_WEL:
            raise FlashError("the flash did not set its write enable latch (write-protected?)")
        self.spi.transfer(write=data, cmd=cmd, addr=addr, addr_bytes=self.ADDR_BYTES)
        self.wait_ready(limit_s)
