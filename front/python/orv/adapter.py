"""Finding, opening and closing adapters.

An adapter is a USB device with one interface whose first setting has
exactly three bulk endpoints: 0x02 OUT (commands), 0x81 IN (read-back bytes)
and 0x83 IN (read-back count). :func:`list_adapters` shows every such device
and :func:`open_adapter` opens one of them with its interface claimed, both
through the device library (as ``orvtool list`` and ``--usb`` do), then
starts a device-library session on it and returns an :class:`Adapter`, which
hands out the JTAG, SPI and I2C ports.
"""

from __future__ import annotations

import ctypes
import logging
import threading
import weakref
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from ctypes import byref, c_uint32, c_void_p
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Union

from . import _devices as abi
from . import _lib
from ._args import UINT32_MAX, integer
from ._progress import Progress, ProgressRelay
from .errors import (
    ERROR_INVALID_PARAM,
    ERROR_USBTRANS,
    OrvError,
    make_error,
)

if TYPE_CHECKING:
    from .i2c import I2c
    from .jtag import Jtag
    from .spi import Spi

EP_COMMAND_OUT = 0x02
DEFAULT_TIMEOUT_MS = 1000

log = logging.getLogger("orv")


def _text(raw: bytes) -> Optional[str]:
    return raw.decode("ascii", "replace") or None


@dataclass(frozen=True)
class AdapterInfo:
    """One adapter on the bus: USB ids, where it sits, and its strings (``None``
    when they could not be read, for instance without permission to open it).

    ``port_path`` is where it is plugged in, as the kernel names it ("1-1.3":
    the bus, then the port of each hub from the root): the same after a
    replug into the same port, unlike ``address``."""

    vid: int
    pid: int
    bus: int
    address: int
    serial: Optional[str]
    product: Optional[str]
    port_path: Optional[str] = None

    @classmethod
    def _from_c(cls, info: abi.AdapterInfo) -> "AdapterInfo":
        readable = info.open_error == 0
        return cls(
            info.vid,
            info.pid,
            info.bus,
            info.address,
            _text(info.serial) if readable else None,
            _text(info.product) if readable else None,
            _text(info.port_path),
        )

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
            f"serial={self.serial!r}, product={self.product!r}, port_path={self.port_path!r})"
        )


def _selector(
    vid: Optional[int], pid: Optional[int], serial: Optional[str], bus: Optional[int], address: Optional[int]
) -> abi.AdapterSelector:
    limits = (("vid", vid, 0xFFFF), ("pid", pid, 0xFFFF), ("bus", bus, 0xFF), ("address", address, 0x7F))
    for name, value, limit in limits:
        if value is not None:
            integer(name, value, 0, limit)
    if serial is not None and not isinstance(serial, str):
        raise TypeError(f"serial must be a str, not {type(serial).__name__}")
    return abi.AdapterSelector(
        -1 if vid is None else vid,
        -1 if pid is None else pid,
        -1 if bus is None else bus,
        -1 if address is None else address,
        None if serial is None else serial.encode(),
    )


def _list(libs: _lib.Libraries, selector: Optional[abi.AdapterSelector]) -> list[AdapterInfo]:
    """The adapters `selector` matches; [] when there is none."""
    devices = libs.devices
    count = c_uint32(0)
    why = abi.NoAdapter()
    report = abi.Report()
    wanted = None if selector is None else byref(selector)
    found = (abi.AdapterInfo * 0)()
    rc = devices.orvdev_adapter_list(wanted, found, 0, byref(count), byref(why), byref(report))
    while rc == 0 and len(found) < count.value:  # one more came since
        found = (abi.AdapterInfo * count.value)()
        rc = devices.orvdev_adapter_list(wanted, found, len(found), byref(count), byref(why), byref(report))
    if rc == abi.ORVDEV_ERROR_NO_ADAPTER and why.cause in (abi.ORVDEV_ADAPTER_NOT_FOUND, abi.ORVDEV_ADAPTER_NO_USBFS):
        return []
    if rc != 0:
        raise make_error(rc, libs.error_text(rc), "listing the adapters", report, cause=_cause(why))
    return [AdapterInfo._from_c(info) for info in found[: count.value]]


def _cause(why: abi.NoAdapter) -> str:
    return CAUSES.get(why.cause, str(why.cause))


# enum orvdev_no_adapter_cause, as AdapterNotFound.cause names it.
CAUSES = {
    abi.ORVDEV_ADAPTER_FOUND: "found",
    abi.ORVDEV_ADAPTER_NOT_FOUND: "not_found",
    abi.ORVDEV_ADAPTER_SEVERAL: "several",
    abi.ORVDEV_ADAPTER_PERMISSION: "permission",
    abi.ORVDEV_ADAPTER_NO_USBFS: "no_usbfs",
    abi.ORVDEV_ADAPTER_BUSY: "busy",
    abi.ORVDEV_ADAPTER_GONE: "gone",
    abi.ORVDEV_ADAPTER_USB_FAILED: "usb_failed",
}


def list_adapters() -> list[AdapterInfo]:
    """Every connected USB device that looks like this adapter (one interface
    with bulk endpoints 0x02 OUT, 0x81 IN and 0x83 IN), with VID:PID,
    bus:address, port path, serial and product strings, in bus and address
    order: what ``orvtool list`` shows. Raises :class:`AdapterNotFound` when
    libusb cannot list the devices."""
    return _list(_lib.libraries(), None)


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
        AdapterNotFound: no adapter matches, or the one that does cannot be
            opened; ``cause`` says why, as orvtool does: "not_found",
            "permission" (the hint names the udev rule), "no_usbfs" (no
            /dev/bus/usb, as in a container), "busy" (another program holds
            it), "gone", "usb_failed".
        ValueError: several match (narrow the choice with serial or bus and
            address), or an argument is out of range (:class:`InvalidArgument`
            for a timeout the session refuses).
        UsbError: emptying the adapter's read-back failed.
    """
    selector = _selector(vid, pid, serial, bus, address)
    integer("timeout_ms", timeout_ms, 0, UINT32_MAX)  # the session refuses 0 and above 600000
    libs = _lib.libraries()
    opened = c_void_p()
    why = abi.NoAdapter()
    report = abi.Report()
    rc = libs.devices.orvdev_adapter_open(byref(selector), byref(opened), byref(why), byref(report))
    if rc != 0:
        error = make_error(rc, libs.error_text(rc), "opening an adapter", report, cause=_cause(why))
        if why.cause == abi.ORVDEV_ADAPTER_SEVERAL:
            found = "; ".join(str(info) for info in _list(libs, selector))
            raise ValueError(f"{error.text}: {found}. Choose one with serial= or bus= and address=") from error
        raise error
    info = abi.AdapterInfo()
    libs.devices.orvdev_adapter_get_info(opened, byref(info))
    return Adapter._open(libs, opened, AdapterInfo._from_c(info), timeout_ms)


def each(
    fn: Callable[["Adapter"], Any],
    adapters: Optional[Iterable[Union[AdapterInfo, str]]] = None,
    max_workers: Optional[int] = None,
    *,
    timeout_ms: int = DEFAULT_TIMEOUT_MS,
) -> list[tuple[AdapterInfo, Any]]:
    """Runs ``fn(adapter)`` on many adapters at once, each in a thread of its
    own with its own :class:`Adapter` (opened before and closed after `fn`),
    as ``orvtool --each`` does.

    Args:
        fn: called once per adapter with the opened adapter; what it returns
            is that adapter's result.
        adapters: the adapters, as :class:`AdapterInfo` (from
            :func:`list_adapters`) or serial number strings; every adapter
            :func:`list_adapters` shows when ``None``.
        max_workers: at most this many adapters at a time (at least 1); all
            of them at once when ``None``.
        timeout_ms: each adapter's transfer time limit, as for
            :func:`open_adapter`.

    Returns:
        One ``(info, outcome)`` pair per adapter, in the order of `adapters`
        (bus and address order when ``None``), whatever order they finished
        in. ``outcome`` is what `fn` returned, or the exception that opening
        the adapter or `fn` raised: a failing, slow or unplugged adapter
        changes only its own outcome. An adapter given by a serial number
        that no adapter has gets :class:`AdapterNotFound` with its ``info``
        made of that serial alone (ids, bus and address 0).

    Raises:
        ValueError: max_workers below 1, or an adapter given twice.
        TypeError: an entry of `adapters` that is neither.
        AdapterNotFound: ``adapters`` is ``None`` and libusb cannot list the
            devices.
    """
    if max_workers is not None:
        integer("max_workers", max_workers, 1, 1 << 16)
    integer("timeout_ms", timeout_ms, 0, UINT32_MAX)
    chosen = list_adapters() if adapters is None else list(adapters)
    infos: list[AdapterInfo] = []
    for entry in chosen:
        if isinstance(entry, AdapterInfo):
            infos.append(entry)
        elif isinstance(entry, str):
            infos.append(AdapterInfo(0, 0, 0, 0, entry, None))
        else:
            raise TypeError(f"an adapter is an AdapterInfo or a serial number, not {type(entry).__name__}")
    keys = [(i.bus, i.address) if i.bus else ("serial", i.serial) for i in infos]
    if len(set(keys)) != len(keys):
        raise ValueError("an adapter is given twice: each would open it against the other")
    if not infos:
        return []

    def run(info: AdapterInfo) -> Any:
        try:
            if info.bus:
                opened = open_adapter(info.vid, info.pid, None, info.bus, info.address, timeout_ms=timeout_ms)
            else:
                opened = open_adapter(serial=info.serial, timeout_ms=timeout_ms)
            with opened:
                return fn(opened)
        except Exception as error:  # the adapter's outcome, not the caller's failure
            return error

    workers = len(infos) if max_workers is None else min(max_workers, len(infos))
    with ThreadPoolExecutor(max_workers=workers, thread_name_prefix="orv-each") as pool:
        outcomes = list(pool.map(run, infos))
    return list(zip(infos, outcomes))


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
    def _open(cls, libs: _lib.Libraries, opened: c_void_p, info: AdapterInfo, timeout_ms: int) -> "Adapter":
        """Starts a session on an adapter the device library opened, which
        is closed with the session."""
        where = f"the adapter at bus {info.bus:03d} device {info.address:03d}"
        handle = c_void_p(libs.devices.orvdev_adapter_handle(opened))
        options = abi.SessionOptions()
        libs.devices.orvdev_session_options_init(byref(options))
        options.timeout_ms = timeout_ms
        options.log = _LOG_TO_LOGGING
        session = c_void_p()
        report = abi.Report()
        rc = libs.devices.orvdev_session_open(handle, byref(options), byref(session), byref(report))
        if rc != 0:
            libs.devices.orvdev_adapter_close(opened)
            raise make_error(rc, libs.error_text(rc), f"starting a session on {where}", report)
        # Names the recovery files of a failed flash write.
        libs.devices.orvdev_session_set_serial(session, info.serial.encode("utf-8", "replace") if info.serial else None)
        self = object.__new__(cls)
        self._libs = libs
        self._handle = handle
        self._session = session
        self.info = info
        self.timeout_ms = timeout_ms
        self._lock = threading.RLock()
        self._running = False  # a device-library operation is under way
        # What closes the device-library handles made from the session, by
        # token: run before the session closes, when their owner goes or the
        # adapter closes.
        self._owned: dict[int, Callable[[], None]] = {}
        self._next_token = 0
        self._finalizer = weakref.finalize(self, _release, libs, opened, session, self._owned)
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

    def _port_repr(self, port: str) -> str:
        """A port's repr, as the adapter's: "<orv.I2c 375 kHz on 1209:4f52 ...>"."""
        return f"<orv.{port} on {self.info}{' closed' if self.closed else ''}>"

    def _refuse_if_closed(self) -> None:
        if self.closed:
            raise ValueError("the adapter is closed")

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

        self._refuse_if_closed()

        return Spi(self, clock_khz, mode, polarity, lsb_first, cs_active_high)

    def i2c(self, clock_khz: int = 400) -> "I2c":
        """The I2C port; see :class:`orv.i2c.I2c`."""
        from .i2c import I2c

        self._refuse_if_closed()

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
    def _raw(self, claim: str, port: c_void_p, which: str) -> Iterator[tuple[_lib.Libraries, c_void_p]]:
        """Holds the adapter for one operation of a raw port (`port`, a
        device-library port handle, and `claim` its claim function) through
        the bus libraries. The session empties a read-back an earlier failure
        left unsettled and sends the port's set-up when the adapter last ran
        anything else; after a failure on the wire the read-back is emptied,
        and the set-up sent again next time."""
        with self._lock:
            self._check_open()
            devices = self._libs.devices
            report = abi.Report()
            rc = getattr(devices, claim)(port, byref(report))
            if rc != 0:
                raise make_error(rc, self._libs.error_text(rc), f"setting the adapter up for {which}", report)
            try:
                yield self._libs, self._handle
            except OrvError as e:
                if e.code != ERROR_INVALID_PARAM:  # refused before anything was sent
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
    opened: c_void_p,
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
    libs.devices.orvdev_adapter_close(opened)
