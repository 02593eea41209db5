"""Finding, opening and closing adapters.

An adapter is a USB device with one interface whose bulk endpoints are 0x02
OUT (commands), 0x81 IN (read-back bytes) and 0x83 IN (read-back count).
:func:`list_adapters` shows every such device; :func:`open_adapter` opens one of
them, claims its interface and returns an :class:`Adapter`, which hands out the
JTAG, SPI and I2C ports.
"""

from __future__ import annotations

import ctypes
import threading
import weakref
from contextlib import contextmanager
from ctypes import POINTER, byref, c_void_p
from dataclasses import dataclass
from typing import TYPE_CHECKING, Iterator, Optional, Protocol

from . import _lib
from ._args import integer
from .errors import ERROR_USBTRANS, LIBUSB_ERROR_NOT_FOUND, AdapterNotFound, UsbError

if TYPE_CHECKING:
    from .i2c import I2c
    from .jtag import Jtag
    from .spi import Spi

INTERFACE = 0
EP_COMMAND_OUT = 0x02
EP_READBACK_DATA_IN = 0x81
EP_READBACK_COUNT_IN = 0x83
ENDPOINT_TYPE_MASK = 0x03
ENDPOINT_TYPE_BULK = 0x02
DEFAULT_TIMEOUT_MS = 1000
LIBUSB_ERROR_ACCESS = -3
LIBUSB_ERROR_BUSY = -6


@dataclass(frozen=True)
class AdapterInfo:
    """One adapter on the bus: USB ids, where it sits, and its strings (``None``
    when they could not be read, for instance without permission to open it)."""

    vid: int
    pid: int
    bus: int
    address: int
    serial: Optional[str]
    product: Optional[str]

    def __str__(self) -> str:
        text = f"{self.vid:04x}:{self.pid:04x} bus {self.bus:03d} device {self.address:03d}"
        if self.serial is not None:
            text += f" serial {self.serial}"
        if self.product is not None:
            text += f" ({self.product})"
        return text


class _Port(Protocol):
    def _configure(self) -> None: ...


def _has_adapter_interface(usb: ctypes.CDLL, device: int) -> bool:
    """True when the device's configuration has exactly one interface with
    the three bulk endpoints of the adapter."""
    config = POINTER(_lib.ConfigDescriptor)()
    if usb.libusb_get_active_config_descriptor(device, byref(config)) != 0:
        if usb.libusb_get_config_descriptor(device, 0, byref(config)) != 0:
            return False
    try:
        if config.contents.bNumInterfaces != 1 or config.contents.interface[0].num_altsetting < 1:
            return False
        setting = config.contents.interface[0].altsetting[0]
        bulk = {
            setting.endpoint[i].bEndpointAddress
            for i in range(setting.bNumEndpoints)
            if setting.endpoint[i].bmAttributes & ENDPOINT_TYPE_MASK == ENDPOINT_TYPE_BULK
        }
        return {EP_COMMAND_OUT, EP_READBACK_DATA_IN, EP_READBACK_COUNT_IN} <= bulk
    finally:
        usb.libusb_free_config_descriptor(config)


def _string(usb: ctypes.CDLL, handle: c_void_p, index: int) -> Optional[str]:
    if index == 0:
        return None
    buf = ctypes.create_string_buffer(256)
    n = usb.libusb_get_string_descriptor_ascii(handle, index, buf, len(buf))
    return buf.raw[:n].decode("ascii", "replace") if n >= 0 else None


@contextmanager
def _device_list(
    libs: _lib.Libraries, context: c_void_p
) -> Iterator[list[tuple[int, _lib.DeviceDescriptor]]]:
    """The devices that look like an adapter, with their descriptors."""
    usb = libs.usb
    devices = POINTER(c_void_p)()
    count = usb.libusb_get_device_list(context, byref(devices))
    if count < 0:
        raise libs.error(count, "listing the USB devices")
    try:
        found = []
        for i in range(count):
            descriptor = _lib.DeviceDescriptor()
            if usb.libusb_get_device_descriptor(devices[i], byref(descriptor)) != 0:
                continue
            if _has_adapter_interface(usb, devices[i]):
                found.append((devices[i], descriptor))
        yield found
    finally:
        usb.libusb_free_device_list(devices, 1)


def _describe(usb: ctypes.CDLL, device: int, descriptor: _lib.DeviceDescriptor) -> AdapterInfo:
    serial = product = None
    handle = c_void_p()
    if usb.libusb_open(device, byref(handle)) == 0:
        serial = _string(usb, handle, descriptor.iSerialNumber)
        product = _string(usb, handle, descriptor.iProduct)
        usb.libusb_close(handle)
    return AdapterInfo(
        descriptor.idVendor,
        descriptor.idProduct,
        usb.libusb_get_bus_number(device),
        usb.libusb_get_device_address(device),
        serial,
        product,
    )


def _new_context(libs: _lib.Libraries) -> c_void_p:
    context = c_void_p()
    libs.check(libs.usb.libusb_init(byref(context)), "starting libusb")
    return context


def list_adapters() -> list[AdapterInfo]:
    """Every connected USB device that looks like this adapter (one interface
    with bulk endpoints 0x02 OUT, 0x81 IN and 0x83 IN), with VID:PID,
    bus:address, serial and product strings, in bus and address order."""
    libs = _lib.libraries()
    context = _new_context(libs)
    try:
        with _device_list(libs, context) as found:
            infos = [_describe(libs.usb, device, descriptor) for device, descriptor in found]
            return sorted(infos, key=lambda info: (info.bus, info.address))
    finally:
        libs.usb.libusb_exit(context)


def open_adapter(
    vid: Optional[int] = None,
    pid: Optional[int] = None,
    serial: Optional[str] = None,
    bus: Optional[int] = None,
    address: Optional[int] = None,
    *,
    timeout_ms: int = DEFAULT_TIMEOUT_MS,
) -> "Adapter":
    """Opens the one adapter that matches every criterion given.

    Args:
        vid, pid: USB vendor and product id; any when ``None``.
        serial: the serial number string; any when ``None``.
        bus, address: USB bus and device number, as ``lsusb`` shows them.
        timeout_ms: milliseconds for each USB transfer; the read-back gives up
            after 10 x timeout_ms + 1 polls. 0 waits for ever.

    Raises:
        AdapterNotFound: no adapter matches.
        ValueError: several match (narrow the choice with serial or bus and
            address), or an argument is out of range.
        UsbError: the adapter cannot be opened (permission: add a udev rule)
            or its interface is held by another program.
    """
    limits = (("vid", vid, 0xFFFF), ("pid", pid, 0xFFFF), ("bus", bus, 0xFF), ("address", address, 0x7F))
    for name, value, limit in limits:
        if value is not None:
            integer(name, value, 0, limit)
    integer("timeout_ms", timeout_ms, 0, 0xFFFFFFFF)
    if serial is not None and not isinstance(serial, str):
        raise TypeError(f"serial must be a str, not {type(serial).__name__}")
    libs = _lib.libraries()
    context = _new_context(libs)
    try:
        with _device_list(libs, context) as found:
            matches = []
            for device, descriptor in found:
                info = _describe(libs.usb, device, descriptor)
                if (
                    (vid is None or info.vid == vid)
                    and (pid is None or info.pid == pid)
                    and (serial is None or info.serial == serial)
                    and (bus is None or info.bus == bus)
                    and (address is None or info.address == address)
                ):
                    matches.append((device, info))
            matches.sort(key=lambda match: (match[1].bus, match[1].address))
            wanted = _selection_text(vid, pid, serial, bus, address)
            if not matches:
                raise AdapterNotFound(
                    LIBUSB_ERROR_NOT_FOUND,
                    libs.error_text(LIBUSB_ERROR_NOT_FOUND),
                    f"no adapter found ({wanted}); orv.list() shows the connected ones",
                )
            if len(matches) > 1:
                raise ValueError(
                    f"{len(matches)} adapters match ({wanted}): "
                    + "; ".join(str(info) for _, info in matches)
                    + ". Choose one with serial= or bus= and address="
                )
            device, info = matches[0]
            return Adapter._open(libs, context, device, info, timeout_ms)
    except BaseException:
        libs.usb.libusb_exit(context)
        raise


def _selection_text(*criteria: object) -> str:
    names = ("vid", "pid", "serial", "bus", "address")
    parts = [
        f"{name}={value:#06x}" if name in ("vid", "pid") else f"{name}={value!r}"
        for name, value in zip(names, criteria)
        if value is not None
    ]
    return ", ".join(parts) if parts else "any adapter"


class Adapter:
    """An opened adapter with its interface claimed.

    Use it as a context manager, or call :meth:`close`. Calls on one adapter
    are serialised by a lock, so ports may be used from several threads. The
    adapter remembers which port set it up last (clock, modes, pins), and a
    port that finds another one's settings in place sends its own again
    before its operation.
    """

    def __init__(self) -> None:
        raise TypeError("use orv.open() to open an adapter")

    @classmethod
    def _open(
        cls, libs: _lib.Libraries, context: c_void_p, device: int, info: AdapterInfo, timeout_ms: int
    ) -> "Adapter":
        where = f"the adapter at bus {info.bus:03d} device {info.address:03d}"
        handle = c_void_p()
        rc = libs.usb.libusb_open(device, byref(handle))
        if rc != 0:
            hint = " (add a udev rule for the adapter, or run as root)" if rc == LIBUSB_ERROR_ACCESS else ""
            raise UsbError(rc, libs.error_text(rc), f"opening {where}{hint}")
        libs.usb.libusb_set_auto_detach_kernel_driver(handle, 1)
        rc = libs.usb.libusb_claim_interface(handle, INTERFACE)
        if rc != 0:
            libs.usb.libusb_close(handle)
            hint = " (another program holds it)" if rc == LIBUSB_ERROR_BUSY else ""
            raise UsbError(rc, libs.error_text(rc), f"claiming interface {INTERFACE} of {where}{hint}")
        self = object.__new__(cls)
        self._libs = libs
        self._handle = handle
        self.info = info
        self.timeout_ms = timeout_ms
        self._lock = threading.RLock()
        self._active: Optional[_Port] = None
        self._finalizer = weakref.finalize(self, _release, libs.usb, context, handle)
        return self

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def close(self) -> None:
        """Releases the interface and closes the device; later calls raise
        ``ValueError``. Closing twice does nothing."""
        with self._lock:
            self._finalizer()

    def __enter__(self) -> "Adapter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<orv.Adapter {self.info}{' closed' if self.closed else ''}>"

    def jtag(self, tck_khz: int = 1000, pins: Optional[tuple[int, int]] = None, reset: bool = True) -> "Jtag":
        """The JTAG port; see :class:`orv.jtag.Jtag`."""
        from .jtag import Jtag

        return Jtag(self, tck_khz, pins, reset)

    def spi(
        self,
        clock_khz: int = 6000,
        mode: Optional[int] = None,
        *,
        polarity: Optional[int] = None,
        lsb_first: bool = False,
        cs_active_high: bool = False,
    ) -> "Spi":
        """The SPI port; see :class:`orv.spi.Spi`."""
        from .spi import Spi

        return Spi(self, clock_khz, mode, polarity, lsb_first, cs_active_high)

    def i2c(self, clock_khz: int = 400) -> "I2c":
        """The I2C port; see :class:`orv.i2c.I2c`."""
        from .i2c import I2c

        return I2c(self, clock_khz)

    @contextmanager
    def _session(self, port: _Port) -> Iterator[tuple[_lib.Libraries, c_void_p]]:
        """Holds the adapter for one operation of `port`, with its settings in
        place."""
        with self._lock:
            if self.closed:
                raise ValueError("the adapter is closed")
            if self._active is not port:
                self._active = None
                port._configure()
                self._active = port
            yield self._libs, self._handle

    def _bulk_out(self, data: ctypes.Array, length: int, doing: str) -> None:
        """One bulk OUT transfer of the first `length` bytes of `data` to the
        command endpoint; a short transfer is -13, as in the libraries."""
        transferred = ctypes.c_int(0)
        rc = self._libs.usb.libusb_bulk_transfer(
            self._handle, EP_COMMAND_OUT, data, length, byref(transferred), self.timeout_ms
        )
        if rc == 0 and transferred.value != length:
            rc = ERROR_USBTRANS
        self._libs.check(rc, doing)


def _release(usb: ctypes.CDLL, context: c_void_p, handle: c_void_p) -> None:
    usb.libusb_release_interface(handle, INTERFACE)
    usb.libusb_close(handle)
    usb.libusb_exit(context)
