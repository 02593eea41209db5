"""SPI master through the adapter. (SPI NOR flash: :class:`orv.SpiFlash`.)

Each :meth:`Spi.transfer` is one whole transaction, chip select to deselect,
in one bulk transfer: optional command byte, optional address bytes, optional
dummy clocks, then the data phase (write, read, or both at once).
"""

from __future__ import annotations

import ctypes
from ctypes import byref, c_void_p
from typing import TYPE_CHECKING, ContextManager, Optional, Union

from . import _devices as abi
from . import _lib
from ._args import BitData, bit_data, byte_data, integer
from ._clock import clock_for

if TYPE_CHECKING:
    from ._owner import PortOwner

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
    high); give ``mode=0`` or ``3``, or ``polarity=0`` or ``1``. The clock
    really set is :attr:`clock` (the fastest the adapter makes that is not
    above `clock_khz`). The settings are sent before the port's first
    transaction, and again whenever something else used the adapter since.
    """

    def __init__(
        self,
        adapter: "PortOwner",
        clock_khz: int,
        mode: Optional[int],
        polarity: Optional[int],
        lsb_first: bool,
        cs_active_high: bool,
    ) -> None:
        self.clock = clock_for("clock_khz", clock_khz)
        self.clock_khz = clock_khz
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
        # The device library's raw SPI port, opened with the first
        # transaction: it sends these settings before the port's transactions
        # whenever the adapter last ran anything else.
        self._port: Optional[c_void_p] = None

    @property
    def clock_hz(self) -> int:
        """The SPI clock as it runs, in Hz."""
        return self.clock.hz

    def __repr__(self) -> str:
        return self._adapter._port_repr(f"Spi {self.clock.hz / 1000:g} kHz, polarity {self.polarity}")

    @property
    def mode(self) -> int:
        return 3 if self.polarity else 0

    def _config(self, cmd: Optional[int] = None, addr_bytes: int = 0) -> _lib.SpiConfig:
        return _lib.SpiConfig(
            clock_freq=self.clock.request_khz,
            bit_order=BIT_ORDER_LSB_FIRST if self.lsb_first else BIT_ORDER_MSB_FIRST,
            clock_polarity=self.polarity,
            cs_polarity=1 if self.cs_active_high else 0,
            addr_bytes=addr_bytes,
            cmd_enable=0 if cmd is None else 1,
        )

    def _held(self) -> "ContextManager[tuple[_lib.Libraries, c_void_p]]":
        """The adapter held for transactions of this port through the SPI
        library, with the port's settings in place."""
        if self._port is None:
            options = abi.SpiPortOptions(self.clock_khz, self.mode, int(self.lsb_first), int(self.cs_active_high))
            _, self._port = self._adapter._open_handle("spi_port", options, self, "opening the SPI port")
        return self._adapter._raw("orvdev_spi_port_claim", self._port, "the SPI port")

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
        with self._held() as (libs, handle):
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
        with self._held() as (libs, handle):
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
