"""orv: the ORV USB bridge adapter from Python.

A thin layer over the shared libraries ``orv_tapwire`` (JTAG),
``orv_lumo_spi`` (SPI) and ``orv_lumo_iic`` (I2C): every operation is one
whole transaction in one bulk transfer, and failures carry the libraries'
result codes::

    import orv

    with orv.open(vid=0x1209, pid=0x4F52) as adapter:
        chain = adapter.jtag(tck_khz=1000).scan()
        print([hex(i) for i in chain.idcodes])
        print(adapter.i2c().read_reg(0x68, 0x75))
"""

from .adapter import Adapter, AdapterInfo
from .adapter import list_adapters as list
from .adapter import open_adapter as open
from .errors import (
    AdapterNotFound,
    ChainError,
    FlashError,
    LibraryNotFound,
    NoAcknowledge,
    OrvError,
    Timeout,
    UsbError,
)
from .i2c import I2c
from .jtag import Chain, Device, DrBatch, Jtag, TapState
from .spi import Spi, SpiFlash

__version__ = "1.0.0"

__all__ = [
    "Adapter",
    "AdapterInfo",
    "AdapterNotFound",
    "Chain",
    "ChainError",
    "Device",
    "DrBatch",
    "FlashError",
    "I2c",
    "Jtag",
    "LibraryNotFound",
    "NoAcknowledge",
    "OrvError",
    "Spi",
    "SpiFlash",
    "TapState",
    "Timeout",
    "UsbError",
    "list",
    "open",
]
