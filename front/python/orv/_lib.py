"""Loading the shared libraries through ctypes, and the C prototypes of the
bus libraries and libusb (the device library's are in ``_devices.py``).

The ORV libraries are found in this order: each directory of
``ORV_LIBRARY_PATH`` (separated by ``os.pathsep``), the library directory that
``cmake --install`` recorded beside the package (``_install.py``), then the
dynamic loader's own search (``LD_LIBRARY_PATH``, ``ld.so.cache``). libusb-1.0
is loaded by its SONAME after them, so it is the very copy the libraries were
linked against and already pulled in: one libusb in the process, shared by the
handle this package opens and the libraries that use it.
"""

from __future__ import annotations

import ctypes
import os
import threading
from ctypes import POINTER, c_int, c_int32, c_uint, c_uint8, c_uint16, c_uint32, c_void_p
from typing import Optional

from . import _devices
from .errors import LibraryNotFound, OrvError, make_error

LIBRARY_PATH_VARIABLE = "ORV_LIBRARY_PATH"
TAPWIRE = "liborv_tapwire.so.1"
LUMO_SPI = "liborv_lumo_spi.so.1"
LUMO_IIC = "liborv_lumo_iic.so.1"
DEVICES = "liborv_devices.so.1"
LIBUSB = "libusb-1.0.so.0"

handle_t = c_void_p  # libusb_device_handle *
buffer_t = c_void_p  # uint8_t * (a ctypes array, an address or None)


class SpiConfig(ctypes.Structure):
    """lumo_spi_config (orv_lumo_spi.h)."""

    _fields_ = [
        ("clock_freq", c_uint32),
        ("bit_order", c_int32),
        ("clock_polarity", c_int32),
        ("reserved", c_uint32),
        ("cs_polarity", c_int32),
        ("addr_bytes", c_uint8),
        ("cmd_enable", c_uint8),
    ]


# name: (restype, argtypes)
_SCAN_ARGS = [handle_t, POINTER(c_int32), c_int32, buffer_t, buffer_t, c_uint16, c_uint32]
_TAPWIRE_PROTOTYPES = {
    "tapwire_readback_tdo": (c_int32, [handle_t, c_int32, buffer_t, c_uint32]),
    "tapwire_tckset": (c_int32, [handle_t, c_uint32, c_uint32]),
    "tapwire_ioset": (c_int32, [handle_t, c_uint16, c_uint16, c_uint32]),
    "tapwire_reset": (c_int32, [handle_t, POINTER(c_int32), c_uint32]),
    "tapwire_goto_idle": (c_int32, [handle_t, POINTER(c_int32), c_uint16, c_uint32]),
    "tapwire_shift_ir": (c_int32, _SCAN_ARGS),
    "tapwire_shift_dr": (c_int32, _SCAN_ARGS),
    "tapwire_build_shift_dr_cmd": (
        c_int32,
        # state, bit count, TDI, idle clocks, read flag, out, capacity, written
        [POINTER(c_int32), c_int32, buffer_t, c_uint16, c_uint8, buffer_t, POINTER(c_int32),
         POINTER(c_int32)],
    ),
}
_SPI_TRANSFER_ARGS = [
    handle_t, c_uint32, buffer_t, buffer_t, c_uint32, c_uint8, c_uint32, POINTER(SpiConfig), c_uint32
]
_LUMO_SPI_PROTOTYPES = {
    "lumo_spi_set_config": (c_int32, [handle_t, POINTER(SpiConfig), c_uint32]),
    "lumo_spi_read_write_bytes": (c_int32, _SPI_TRANSFER_ARGS),
    "lumo_spi_read_write_bits": (c_int32, _SPI_TRANSFER_ARGS),
}
_LIBUSB_PROTOTYPES = {
    "libusb_bulk_transfer": (c_int, [c_void_p, c_uint8, buffer_t, c_int, POINTER(c_int), c_uint]),
}


class Libraries:
    """The loaded libraries: ``tapwire`` (JTAG), ``spi``, ``devices`` and
    ``usb``. (The I2C library is loaded for the device library, which does
    all I2C work.)"""

    def __init__(
        self, tapwire: ctypes.CDLL, spi: ctypes.CDLL, devices: ctypes.CDLL, usb: ctypes.CDLL
    ) -> None:
        self.tapwire = tapwire
        self.spi = spi
        self.devices = devices
        self.usb = usb

    def error_text(self, code: int) -> str:
        """The libraries' text for any result code: libusb's, the bus
        libraries' and the device library's."""
        text: bytes = self.devices.orvdev_strerror(code)
        return text.decode("ascii", "replace")

    def error(self, code: int, doing: str) -> OrvError:
        """The exception for a non-zero result of a bus library or libusb."""
        return make_error(code, self.error_text(code), doing)

    def check(self, code: int, doing: str) -> None:
        """Raises the exception for a non-zero result code."""
        if code != 0:
            raise self.error(code, doing)


def _search_dirs() -> list[str]:
    dirs = [d for d in os.environ.get(LIBRARY_PATH_VARIABLE, "").split(os.pathsep) if d]
    try:
        from ._install import LIBDIR  # written by cmake --install
    except ImportError:
        pass
    else:
        dirs.append(LIBDIR)
    return dirs


def _load(soname: str, dirs: list[str]) -> ctypes.CDLL:
    tried = []
    for directory in dirs:
        for name in (soname, soname.rsplit(".", 1)[0]):  # liborv_x.so.1, then liborv_x.so
            path = os.path.join(directory, name)
            if os.path.exists(path):
                try:
                    return ctypes.CDLL(path)
                except OSError as e:
                    raise LibraryNotFound(f"cannot load {path}: {e}") from e
        tried.append(directory)
    try:
        return ctypes.CDLL(soname)
    except OSError as e:
        where = f"not in {', '.join(tried)} and " if tried else ""
        raise LibraryNotFound(
            f"cannot load {soname}: {where}not found by the dynamic loader ({e}). Install the "
            f"libraries (cmake --install, then ldconfig) or set {LIBRARY_PATH_VARIABLE} to the "
            "directory that holds them"
        ) from e


def _declare(library: ctypes.CDLL, prototypes: dict) -> None:
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes


_loaded: Optional[Libraries] = None
_load_lock = threading.Lock()


def libraries() -> Libraries:
    """Loads the libraries on first use (so that ``import orv`` works without
    them) and returns them; raises :class:`LibraryNotFound`."""
    global _loaded
    with _load_lock:
        if _loaded is None:
            dirs = _search_dirs()
            tapwire = _load(TAPWIRE, dirs)
            spi = _load(LUMO_SPI, dirs)
            _load(LUMO_IIC, dirs)  # the device library's dependency, found the same way
            devices = _load(DEVICES, dirs)
            usb = _load(LIBUSB, [])
            for library, prototypes in (
                (tapwire, _TAPWIRE_PROTOTYPES),
                (spi, _LUMO_SPI_PROTOTYPES),
                (devices, _devices.PROTOTYPES),
                (usb, _LIBUSB_PROTOTYPES),
            ):
                _declare(library, prototypes)
            _loaded = Libraries(tapwire, spi, devices, usb)
        return _loaded
