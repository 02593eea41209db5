"""I2C master through the adapter.

Every call is whole transactions, START to STOP, each one bulk transfer and
one read-back of the acknowledge bits and data: a 256-byte read costs one
exchange with the adapter, not one per byte.
"""

from __future__ import annotations

import ctypes
from typing import TYPE_CHECKING, Union

from ._args import byte_data, integer, khz
from .errors import ERROR_USBTRANS, NoAcknowledge, OrvError

if TYPE_CHECKING:
    from .adapter import Adapter

MAX_WRITE_BYTES = 4088  # its acknowledge bits stay within one read-back
MAX_READ_BYTES = 511  # a read-back of 512 bytes
MAX_ADDRESS_7 = 0x7F
MAX_ADDRESS_10 = 0x3FF
FIRST_SCAN = 0x08  # 0x00-0x07 and 0x78-0x7F are reserved 7-bit addresses
LAST_SCAN = 0x77


class I2c:
    """The I2C port of an adapter (``adapter.i2c(...)``). Addresses are 7-bit,
    or 10-bit with ``ten_bit=True``."""

    def __init__(self, adapter: "Adapter", clock_khz: int) -> None:
        self.clock_khz = khz("clock_khz", clock_khz)
        self._adapter = adapter
        with adapter._session(self):
            pass

    def _configure(self) -> None:
        libs = self._adapter._libs
        rc = libs.iic.lumo_iic_init(self._adapter._handle, self.clock_khz, self._adapter.timeout_ms)
        libs.check(rc, "setting up the I2C bus")

    @staticmethod
    def _address(addr: int, ten_bit: bool) -> tuple[int, int]:
        """The address checked, and its form for the library (7 or 10)."""
        return integer("addr", addr, 0, MAX_ADDRESS_10 if ten_bit else MAX_ADDRESS_7), 10 if ten_bit else 7

    def _send(self, addr: int, addr_bits: int, data: bytes, doing: str) -> None:
        buf = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data.ljust(1, b"\0"))
        with self._adapter._session(self) as (libs, handle):
            timeout = self._adapter.timeout_ms
            rc = libs.iic.lumo_iic_send_bytes(handle, addr, addr_bits, buf, len(data), timeout)
        if rc == ERROR_USBTRANS:
            raise OrvError(
                rc,
                libs.error_text(rc),
                f"{doing}: a data byte was not acknowledged (the device may be busy, as an EEPROM "
                "finishing a write, or refuse the register), or the read-back was short",
            )
        libs.check(rc, doing, addr, addr_bits == 10)

    def write(self, addr: int, data: bytes, ten_bit: bool = False) -> None:
        """Writes 0..4088 bytes in one transaction. Raises
        :class:`NoAcknowledge` when the address is not acknowledged, and an
        :class:`OrvError` (code -13) when a data byte is not."""
        addr, bits = self._address(addr, ten_bit)
        raw = byte_data("data", data)
        integer("len(data)", len(raw), 0, MAX_WRITE_BYTES)
        self._send(addr, bits, raw, f"writing {len(raw)} bytes to {addr:#x}")

    def read(self, addr: int, n: int, ten_bit: bool = False) -> bytes:
        """Reads `n` (0..511) bytes in one transaction."""
        addr, bits = self._address(addr, ten_bit)
        integer("n", n, 0, MAX_READ_BYTES)
        buf = (ctypes.c_uint8 * max(1, n))()
        with self._adapter._session(self) as (libs, handle):
            rc = libs.iic.lumo_iic_read_bytes(handle, addr, bits, buf, n, self._adapter.timeout_ms)
            libs.check(rc, f"reading {n} bytes from {addr:#x}", addr, ten_bit)
        return bytes(buf[:n])

    def write_reg(self, addr: int, reg: int, data: Union[bytes, int], ten_bit: bool = False) -> None:
        """Writes `data` (bytes, or one byte as an int) to register `reg`
        (0..255): one transaction of the register number and the data."""
        integer("reg", reg, 0, 0xFF)
        raw = bytes([integer("data", data, 0, 0xFF)]) if isinstance(data, int) else byte_data("data", data)
        integer("len(data)", len(raw), 0, MAX_WRITE_BYTES - 1)
        self.write(addr, bytes([reg]) + raw, ten_bit)

    def read_reg(self, addr: int, reg: int, n: int = 1, ten_bit: bool = False) -> bytes:
        """Reads `n` bytes from register `reg` on: the register number is
        written in one transaction, the bytes are read in the next (STOP, then
        START, which register files and EEPROMs accept)."""
        integer("reg", reg, 0, 0xFF)
        integer("n", n, 0, MAX_READ_BYTES)
        self.write(addr, bytes([reg]), ten_bit)
        return self.read(addr, n, ten_bit)

    def probe(self, addr: int, ten_bit: bool = False) -> bool:
        """True when a device acknowledges its address (an address-only
        write)."""
        try:
            self.write(addr, b"", ten_bit)
        except NoAcknowledge:
            return False
        return True

    def scan(self, ten_bit: bool = False) -> list[int]:
        """The addresses that acknowledge: 0x08..0x77, or with `ten_bit` every
        10-bit address 0x000..0x3FF."""
        addresses = range(0, MAX_ADDRESS_10 + 1) if ten_bit else range(FIRST_SCAN, LAST_SCAN + 1)
        return [a for a in addresses if self.probe(a, ten_bit)]


