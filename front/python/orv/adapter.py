"""Finding, opening and closing adapters.

An adapter is a USB device with one interface whose first setting has
exactly three bulk endpoints: 0x02 OUT (commands), 0x81 IN (read-back bytes)
and 0x83 IN (read-back count). :func:`list_adapters` shows every such device;
:func:`open_adapter` opens one of them, claims its interface, starts a
device-library session on it and returns an :class:`Adapter`, which hands
out the JTAG, SPI and I2C ports.
"""

from __future__ import annotations

import ctypes
import logging
import threading
import weakref
from contextlib import contextmanager
from ctypes import POINTER, byref, c_void_p
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Protocol

from . import _devices as abi
from . import _lib
from ._args import UINT32_MAX, integer
from ._progress import Progress, ProgressRelay
from .errors import (
    ERROR_INVALID_PARAM,
    ERROR_USBTRANS,
    LIBUSB_ERROR_NOT_FOUND,
    AdapterNotFound,
    OrvError,
    UsbError,
    make_error,
)

if TYPE_CHECKING:
    from .i2c import I2c
    from .jtag import Jtag
    from .spi import Spi

INTERFACE = 0
EP_COMMAND_OUT = 0x02
EP_READBACK_DATA_IN = 0x81
EP_READBACK_COUNT_IN = 0x83
ADAPTER_ENDPOINTS = (EP_COMMAND_OUT, EP_READBACK_DATA_IN, EP_READBACK_COUNT_IN)
ENDPOINT_TYPE_MASK = 0x03
ENDPOINT_TYPE_BULK = 0x02
DEFAULT_TIMEOUT_MS = 1000
LIBUSB_ERROR_ACCESS = -3
LIBUSB_ERROR_BUSY = -6

log = logging.getLogger("orv")


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

    def __repr__(self) -> str:
        return (
            f"AdapterInfo(vid={self.vid:#06x}, pid={self.pid:#06x}, bus={self.bus}, address={self.address}, "
            f"serial={self.serial!r}, product={self.product!r})"
        )


class _Port(Protocol):
    def _configure(self) -> None: ...


def _has_adapter_interface(usb: ctypes.CDLL, device: int) -> bool:
    """True when the active configuration has one interface whose first
    setting has exactly the adapter's three endpoints, all bulk."""
    config = POINTER(_lib.ConfigDescriptor)()
    if usb.libusb_get_active_config_descriptor(device, byref(config)) != 0:
        return False
    try:
        if config.contents.bNumInterfaces != 1 or config.contents.interface[0].num_altsetting < 1:
            return False
        setting = config.contents.interface[0].altsetting[0]
        endpoints = [setting.endpoint[i] for i in range(setting.bNumEndpoints)]
        bulk = sorted(
            e.bEndpointAddress for e in endpoints if e.bmAttributes & ENDPOINT_TYPE_MASK == ENDPOINT_TYPE_BULK
        )
        return len(endpoints) == len(ADAPTER_ENDPOINTS) and bulk == sorted(ADAPTER_ENDPOINTS)
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
        timeout_ms: milliseconds for each USB transfer, 1 to 600000; the
            read-back gives up after 10 x timeout_ms + 1 polls. I2C transfers
            take at most 31 ms each, so that an adapter that stops answering
            costs seconds, not hours.

    Raises:
        AdapterNotFound: no adapter matches.
        ValueError: several match (narrow the choice with serial or bus and
            address), or an argument is out of range (:class:`InvalidArgument`
            for a timeout the session refuses).
        UsbError: the adapter cannot be opened (permission: add a udev rule)
            or its interface is held by another program, or emptying its
            read-back failed.
    """
    limits = (("vid", vid, 0xFFFF), ("pid", pid, 0xFFFF), ("bus", bus, 0xFF), ("address", address, 0x7F))
    for name, value, limit in limits:
        if value is not None:
            integer(name, value, 0, limit)
    integer("timeout_ms", timeout_ms, 0, UINT32_MAX)  # the session refuses 0 and above 600000
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
    """An opened adapter with its interface claimed and a device-library
    session on it.

    Use it as a context manager, or call :meth:`close`. Calls on one adapter
    are serialised by a lock, so ports may be used from several threads.

    The session keeps the adapter in step with the host: it empties the
    read-back when it opens and after any operation that failed on the wire,
    so a failure never leaves bytes that the next operation would take as its
    own; and the adapter has one clock and one active connector, so each
    port, flash or bus sends its set-up again when something else used the
    adapter in between. What the session does on its own (bytes thrown away)
    goes to the ``orv`` logger.
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
            hint = "add a udev rule for the adapter, or run as root" if rc == LIBUSB_ERROR_ACCESS else ""
            raise UsbError(rc, libs.error_text(rc), f"opening {where}", hint=hint)
        libs.usb.libusb_set_auto_detach_kernel_driver(handle, 1)
        rc = libs.usb.libusb_claim_interface(handle, INTERFACE)
        if rc != 0:
            libs.usb.libusb_close(handle)
            hint = "another program holds it" if rc == LIBUSB_ERROR_BUSY else ""
            raise UsbError(rc, libs.error_text(rc), f"claiming interface {INTERFACE} of {where}", hint=hint)
        options = abi.SessionOptions()
        libs.devices.orvdev_session_options_init(byref(options))
        options.timeout_ms = timeout_ms
        options.log = _LOG_TO_LOGGING
        # Names the recovery files of a failed flash write; copied at open.
        options.serial = info.serial.encode("utf-8", "replace") if info.serial else None
        session = c_void_p()
        report = abi.Report()
        rc = libs.devices.orvdev_session_open(handle, byref(options), byref(session), byref(report))
        if rc != 0:
            libs.usb.libusb_release_interface(handle, INTERFACE)
            libs.usb.libusb_close(handle)
            raise make_error(rc, libs.error_text(rc), f"starting a session on {where}", report)
        self = object.__new__(cls)
        self._libs = libs
        self._handle = handle
        self._session = session
        self.info = info
        self.timeout_ms = timeout_ms
        self._lock = threading.RLock()
        self._active: Optional[_Port] = None
        self._running = False  # a device-library operation is under way
        # What closes the device-library handles made from the session, by
        # token: run before the session closes, when their owner goes or the
        # adapter closes.
        self._owned: dict[int, Callable[[], None]] = {}
        self._next_token = 0
        self._finalizer = weakref.finalize(self, _release, libs, context, handle, session, self._owned)
        return self

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive

    def close(self) -> None:
        """Closes the flashes, buses and chains made on it and the session,
        releases the interface and closes the device; later calls raise
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

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("the adapter is closed")
        if self._running:
            # Only the thread that holds the lock gets here: a progress
            # callback using the adapter in the middle of an operation.
            raise RuntimeError(
                "the adapter is in the middle of an operation: its progress callback cannot use it"
            )

    @contextmanager
    def _raw(self, port: _Port) -> Iterator[tuple[_lib.Libraries, c_void_p]]:
        """Holds the adapter for one operation of `port` through the bus
        libraries, with the port's settings in place. The session first
        empties a read-back an earlier failure left unsettled, and its
        handles send their set-up again after it; after a failure on the
        wire the read-back is emptied, and the port's settings are sent
        again next time."""
        with self._lock:
            self._check_open()
            devices = self._libs.devices
            report = abi.Report()
            rc = devices.orvdev_session_claim(self._session, byref(report))
            if rc != 0:
                self._active = None
                doing = "emptying the read-back an earlier failure left"
                raise make_error(rc, self._libs.error_text(rc), doing, report)
            try:
                if self._active is not port:
                    self._active = None
                    port._configure()
                    self._active = port
                yield self._libs, self._handle
            except OrvError as e:
                if e.code != ERROR_INVALID_PARAM:  # refused before anything was sent
                    self._active = None
                    devices.orvdev_session_recover(self._session)
                raise

    def _run(
        self,
        function: str,
        *args: Any,
        doing: str,
        progress: Optional[Progress] = None,
        **error_fields: Any,
    ) -> None:
        """Calls a device-library function on this adapter's session (the
        report goes last); raises the exception its result names. The
        library sends its handle's set-up itself when needed, and empties the
        read-back after a failure on the wire."""
        relay = None if progress is None else ProgressRelay(progress)
        report = abi.Report()
        devices = self._libs.devices
        with self._lock:
            self._check_open()
            self._active = None  # the raw ports send their settings again after it
            if relay is not None:
                devices.orvdev_session_set_progress(self._session, relay.callback, None)
            self._running = True
            try:
                rc = getattr(devices, function)(*args, byref(report))
            finally:
                self._running = False
                if relay is not None:
                    devices.orvdev_session_set_progress(self._session, _NO_PROGRESS, None)
        if rc == 0:
            return
        error = make_error(rc, self._libs.error_text(rc), doing, report, **error_fields)
        if relay is not None and relay.error is not None:
            raise relay.error from error
        raise error

    def _open_handle(
        self, kind: str, options: ctypes.Structure, owner: object, doing: str
    ) -> tuple[int, c_void_p]:
        """Opens a device-library handle (``orvdev_<kind>_open``) on the
        session for `owner`; it is closed by :meth:`_close_handle` with the
        token returned, or when the owner goes or the adapter closes,
        whichever comes first."""
        handle = c_void_p()
        self._run(f"orvdev_{kind}_open", self._session, byref(options), byref(handle), doing=doing)
        close = getattr(self._libs.devices, f"orvdev_{kind}_close")
        return self._own(owner, lambda: close(handle)), handle

    def _own(self, owner: object, close: Callable[[], None]) -> int:
        """Keeps `close` (which closes device-library handles made from the
        session) until :meth:`_close_handle` is called with the token
        returned, the owner goes or the adapter closes, whichever comes
        first; `close` must not refer to the owner."""
        with self._lock:
            token = self._next_token
            self._next_token += 1
            self._owned[token] = close
        weakref.finalize(owner, self._close_handle, token)
        return token

    def _close_handle(self, token: int) -> None:
        with self._lock:
            close = self._owned.pop(token, None)
            if close is not None:
                close()

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


_NO_PROGRESS = abi.PROGRESS_FN()  # a null callback


@abi.LOG_FN
def _LOG_TO_LOGGING(_user: object, level: int, message: bytes) -> None:
    log_level = logging.WARNING if level == abi.ORVDEV_LOG_WARNING else logging.INFO
    log.log(log_level, "%s", message.decode("utf-8", "replace"))


def _release(
    libs: _lib.Libraries,
    context: c_void_p,
    handle: c_void_p,
    session: c_void_p,
    owned: dict[int, Callable[[], None]],
) -> None:
    # Handles first, the latest made first (a boundary scan before the chain
    # it was opened on; a flash leaves 4-byte address mode), then the
    # session, then the device.
    for close in reversed(list(owned.values())):
        close()
    owned.clear()
    libs.devices.orvdev_session_close(session)
    libs.usb.libusb_release_interface(handle, INTERFACE)
    libs.usb.libusb_close(handle)
    libs.usb.libusb_exit(context)
