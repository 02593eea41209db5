"""orv: the ORV USB bridge adapter from Python.

A thin layer over the shared libraries: the device library
(``orv_devices``: SPI NOR flash, the JTAG chain, boundary scan from BSDL
files, I2C devices, and the session that keeps the adapter's read-back in
step) and, for raw JTAG and
SPI transactions, ``orv_tapwire`` and ``orv_lumo_spi``. Failures raise
exceptions that carry the libraries' result codes and messages::

    import orv

    with orv.open(vid=0x1209, pid=0x4F52) as adapter:
        chain = adapter.jtag(tck_khz=1000).scan()
        print([hex(i) for i in chain.idcodes])
        print(adapter.i2c().read_reg(0x68, 0x75))
        print(orv.SpiFlash(adapter.spi()).identify())
"""

from ._clock import Clock
from .adapter import Adapter, AdapterInfo, each
from .adapter import list_adapters
from .adapter import list_adapters as list
from .adapter import open_adapter as open
from .bscan import Boundary, BsdlFile, ConnectResult, Pin
from .errors import (
    AdapterNotFound,
    BusError,
    ChainError,
    Done,
    FlashError,
    FlashProtected,
    InputFileError,
    InvalidArgument,
    LibraryNotFound,
    Mismatch,
    NoAcknowledge,
    OrvError,
    Stopped,
    SvfMismatch,
    Timeout,
    UsbError,
)
from .flash import EraseReport, FlashInfo, FlashStatus, Layout, Region, SpiFlash, WriteReport
from .i2c import I2c
from .jtag import Chain, Device, DrBatch, Jtag, TapState
from .spi import Spi

__version__ = "1.0.0"

__all__ = [
    "Adapter",
    "AdapterInfo",
    "AdapterNotFound",
    "Boundary",
    "BsdlFile",
    "Chain",
    "BusError",
    "ChainError",
    "Clock",
    "ConnectResult",
    "Device",
    "Done",
    "DrBatch",
    "EraseReport",
    "FlashError",
    "FlashInfo",
    "FlashProtected",
    "FlashStatus",
    "I2c",
    "InputFileError",
    "InvalidArgument",
    "Jtag",
    "Layout",
    "LibraryNotFound",
    "Mismatch",
    "NoAcknowledge",
    "OrvError",
    "Pin",
    "Region",
    "Spi",
    "SpiFlash",
    "Stopped",
    "SvfMismatch",
    "TapState",
    "Timeout",
    "UsbError",
    "WriteReport",
    "each",
    "list",
    "list_adapters",
    "open",
]
