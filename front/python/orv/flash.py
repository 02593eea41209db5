"""25-series SPI NOR flash on the adapter's SPI port, through the device
library: identification (JEDEC ID, SFDP, a table of common parts, the
capacity byte), reads, the smart write that erases and programs only what
differs, verify, erase, status and block protection.

    flash = orv.SpiFlash(adapter.spi(clock_khz=30000))
    print(flash.identify())
    report = flash.write(0, image)          # read, erase, program, read back
    print(report.erased, report.programmed_pages)
    flash.write(0, image, layout="layout.txt", include=["config"])   # flashrom's layouts
"""

from __future__ import annotations

import ctypes
import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from ctypes import byref, c_uint8, c_void_p
from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Union

from . import _devices as abi
from . import _lib
from ._args import UINT64_MAX, byte_data, integer, nbytes
from ._progress import Progress
from .errors import InputFileError, Mismatch, OrvError, input_error_fields, make_error

if TYPE_CHECKING:
    from .spi import Spi

# Where the parameters came from (enum orvdev_flash_source).
SOURCES = {
    abi.ORVDEV_SOURCE_SFDP: "sfdp",
    abi.ORVDEV_SOURCE_TABLE: "table",
    abi.ORVDEV_SOURCE_CAPACITY: "capacity",
    abi.ORVDEV_SOURCE_OVERRIDE: "override",
}

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class FlashInfo:
    """What identification found.

    Attributes:
        jedec_id: manufacturer, memory type and capacity bytes.
        manufacturer: the name the maker goes by ("Winbond"), or its JEP106
            name where the part table does not know it, else ``None``.
        part: "Winbond W25Q32" where the part table knows the id, else
            ``None``.
        size, page_size: in bytes.
        erase_sizes: the block sizes the part erases, smallest first.
        source: where size, pages and erase commands came from: "sfdp",
            "table" (the built-in part table), "capacity" (the JEDEC capacity
            byte) or "override" (``part=`` or ``size=``).
        addressing: "3-byte", or how a part above 16 MiB is reached.
        clock_hz: the SPI clock the flash runs at.
    """

    jedec_id: bytes
    manufacturer: Optional[str]
    part: Optional[str]
    size: int
    page_size: int
    erase_sizes: tuple[int, ...]
    source: str
    addressing: str
    clock_hz: int

    def __repr__(self) -> str:
        return (
            f"FlashInfo(jedec_id={self.jedec_id.hex(' ')}, manufacturer={self.manufacturer!r}, "
            f"part={self.part!r}, size={self.size:#x}, page_size={self.page_size}, "
            f"erase_sizes={tuple(hex(s) for s in self.erase_sizes)}, source={self.source!r})"
        )


@dataclass(frozen=True)
class WriteReport:
    """What a smart write did (or, on an exception's ``partial``, had done).

    Attributes:
        addr, length: the range written.
        unchanged_bytes: bytes the flash already held as wanted.
        erased: erase size -> blocks erased of that size.
        chip_erased: the whole chip was erased instead.
        programmed_pages: pages programmed.
        verified: the write was checked (``verify=True``): everything erased
            or programmed was read back and found as written (the rest was
            found as wanted when the range was read first).
        verified_bytes: how many bytes that read back.
        range: (addr, length) of the whole blocks the write read first and
            keeps: where a failure puts their old content back (with a
            layout, from the first region's blocks to the last one's; after
            a failure, those of the region that failed).
        regions: with a layout, the names of the regions chosen.
    """

    addr: int
    length: int
    unchanged_bytes: int
    erased: dict[int, int]
    chip_erased: bool
    programmed_pages: int
    verified: bool
    verified_bytes: int
    range: tuple[int, int]
    regions: tuple[str, ...] = ()

    def __repr__(self) -> str:
        return (
            f"WriteReport(addr={self.addr:#x}, length={self.length}, unchanged_bytes={self.unchanged_bytes}, "
            f"erased={{{', '.join(f'{size:#x}: {n}' for size, n in self.erased.items())}}}, "
            f"chip_erased={self.chip_erased}, programmed_pages={self.programmed_pages}, "
            f"verified={self.verified}, "
            f"range=({self.range[0]:#x}, {self.range[1]:#x}))"
        )


@dataclass(frozen=True)
class EraseReport:
    """What an erase did: erase size -> blocks erased, or the whole chip; and
    how many bytes were read back as 0xFF afterwards."""

    erased: dict[int, int]
    chip_erased: bool
    checked_bytes: int


@dataclass(frozen=True)
class FlashStatus:
    """The status registers, decoded as W25Q-style parts lay them out.

    Attributes:
        status1, status2, status3: the registers (2 and 3 read 0xFF on parts
            without them).
        busy, write_enabled: WIP and WEL.
        bp, tb, sec, srp: block protection bits, top/bottom, sector, status
            register protect.
        cmp: the complement bit of status register 2 (the protected range is
            the complement of the one BP, TB and SEC name).
        protected: the protected range (start, end), end exclusive; ``None``
            when nothing is protected.
    """

    status1: int
    status2: int
    status3: int
    busy: bool
    write_enabled: bool
    bp: int
    tb: bool
    sec: bool
    srp: bool
    cmp: bool
    protected: Optional[tuple[int, int]]

    def __repr__(self) -> str:
        protected = "None" if self.protected is None else f"({self.protected[0]:#x}, {self.protected[1]:#x})"
        return (
            f"FlashStatus(status1={self.status1:#04x}, status2={self.status2:#04x}, "
            f"status3={self.status3:#04x}, "
            f"busy={self.busy}, bp={self.bp}, tb={self.tb}, sec={self.sec}, srp={self.srp}, cmp={self.cmp}, "
            f"protected={protected})"
        )


@dataclass(frozen=True)
class Region:
    """A region of a layout file: its name, its first and last byte, and its
    line in the file."""

    name: str
    start: int
    end: int
    line: int

    def __repr__(self) -> str:
        return f"Region({self.name!r}, {self.start:#x}, {self.end:#x}, line={self.line})"


class Layout:
    """A flashrom layout file: named regions of a flash, one a line,
    ``START:END NAME`` in hex, END the region's last byte (blank lines and
    ``#`` comments are taken too). The device library reads and checks it
    (:class:`InputFileError` with the line for a bad line, a name given
    twice, overlapping regions); :meth:`SpiFlash.read`, :meth:`SpiFlash.write`
    and :meth:`SpiFlash.verify` take it with ``layout=`` and the regions to
    work on with ``include=``, as ``orvtool spi ... --layout --include``."""

    def __init__(self, path: "PathLike") -> None:
        name = _path("layout", path)
        assert name is not None
        self.path = os.fsdecode(name)
        try:
            with open(name, "rb") as f:
                self._text = f.read(LAYOUT_MAX_BYTES + 1)
        except OSError as e:
            reason = f"expected a readable layout file: {e.strerror}"
            raise InputFileError(
                abi.ORVDEV_ERROR_BAD_INPUT, f"{self.path}: {reason}", "reading a layout file", file=self.path,
                reason=reason,
            ) from None
        if len(self._text) > LAYOUT_MAX_BYTES:
            reason = f"a layout file of at most {LAYOUT_MAX_BYTES} bytes"
            raise InputFileError(
                abi.ORVDEV_ERROR_BAD_INPUT, f"{self.path}: {reason}", "reading a layout file", file=self.path,
                reason=reason,
            )
        with self._chosen(()) as (handle, _):
            devices = _lib.libraries().devices
            regions = []
            region = abi.LayoutRegion()
            for index in range(devices.orvdev_layout_region_count(handle)):
                devices.orvdev_layout_get_region(handle, index, byref(region))
                regions.append(Region(region.name.decode("utf-8", "replace"), region.start, region.end, region.line))
        self.regions: tuple[Region, ...] = tuple(regions)

    def __repr__(self) -> str:
        return f"<orv.Layout {self.path}, {len(self.regions)} regions>"

    @contextmanager
    def _chosen(self, include: Iterable[str]) -> Iterator[tuple[c_void_p, tuple[str, ...]]]:
        """The layout read by the device library with `include`'s regions
        chosen, and their names in the file's order; freed afterwards."""
        libs = _lib.libraries()
        handle = c_void_p()
        where = abi.InputError()
        report = abi.Report()
        rc = libs.devices.orvdev_layout_parse(
            self._text, len(self._text), os.fsencode(self.path), byref(handle), byref(where), byref(report)
        )
        if rc != 0:
            raise make_error(rc, libs.error_text(rc), "reading a layout file", report, **input_error_fields(where))
        try:
            for name in include:
                rc = libs.devices.orvdev_layout_include(handle, name.encode(), byref(report))
                if rc != 0:
                    raise make_error(rc, libs.error_text(rc), f"choosing region {name}", report)
            chosen = []
            region = abi.LayoutRegion()
            for index in range(libs.devices.orvdev_layout_region_count(handle)):
                libs.devices.orvdev_layout_get_region(handle, index, byref(region))
                if region.included:
                    chosen.append(region.name.decode("utf-8", "replace"))
            yield handle, tuple(chosen)
        finally:
            libs.devices.orvdev_layout_free(handle)


# The largest layout file read.
LAYOUT_MAX_BYTES = 16 << 20


@contextmanager
def _layout(
    layout: "Optional[Union[Layout, PathLike]]", include: Optional[Iterable[str]]
) -> Iterator[Optional[tuple[c_void_p, tuple[str, ...]]]]:
    """`layout` with `include`'s regions chosen, or None without a layout."""
    if layout is None:
        if include is not None:
            raise TypeError("include= needs layout=")
        yield None
        return
    if include is None or isinstance(include, (str, bytes)):
        raise TypeError("layout= needs include=, a list of the regions' names")
    names = list(include)
    if not names:
        raise ValueError("include= names no region: give the regions to work on")
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"a region's name must be a str, not {type(name).__name__}")
    chosen = layout if isinstance(layout, Layout) else Layout(layout)
    with chosen._chosen(names) as handle_and_names:
        yield handle_and_names


def _erased(counts: ctypes.Array, n: int) -> dict[int, int]:
    return {c.size: c.count for c in counts[: min(n, abi.ORVDEV_FLASH_ERASE_TYPES_MAX)]}


def _path(name: str, value: Optional[PathLike]) -> Optional[bytes]:
    if value is None:
        return None
    try:
        return os.fsencode(value)
    except TypeError:
        raise TypeError(f"{name} must be a path, not {type(value).__name__}") from None


class SpiFlash:
    """A 25-series SPI NOR flash on the adapter of `spi`, at `spi`'s clock
    (``orv.SpiFlash(adapter.spi(clock_khz=30000))``).

    Opening identifies the part: the JEDEC ID, then its size, pages and erase
    commands from its SFDP table, else from the built-in part table, else
    from the JEDEC capacity byte; parts above 16 MiB are set up for 4-byte
    addresses. `part` (a part table name, "W25Q32" or "Winbond W25Q32") and
    `size` (bytes, a power of two) override what the flash says, for parts
    whose id or capacity byte lies.

    Close it (or use it as a context manager) when done: a part above 16
    MiB is taken back to 3-byte addresses, as a boot ROM expects. The adapter
    closes it too when it closes.

    Raises :class:`FlashError` when no flash answers or its size cannot be
    told, ``ValueError`` for an SPI port the flash cannot use (LSB first,
    chip select active high) or a part the table does not know.
    """

    def __init__(self, spi: "Spi", *, part: Optional[str] = None, size: Optional[int] = None) -> None:
        if spi.lsb_first or spi.cs_active_high:
            raise ValueError("a SPI NOR flash wants most significant bit first and chip select active low")
        if part is not None and not isinstance(part, str):
            raise TypeError(f"part must be a str, not {type(part).__name__}")
        if size is not None:
            integer("size", size, 1, UINT64_MAX)
        self.spi = spi
        self._adapter = spi._adapter
        options = abi.FlashOptions(spi.clock_khz, None if part is None else part.encode(), size or 0)
        self._token, handle = self._adapter._open_handle("flash", options, self, "identifying the SPI flash")
        self._handle: Optional[ctypes.c_void_p] = handle
        self._info = self._read_info()

    def close(self) -> None:
        """Closes the flash (3-byte addresses again on a part above 16 MiB);
        later calls raise ``ValueError``. Closing twice does nothing."""
        if self._handle is not None:
            self._handle = None
            self._adapter._close_handle(self._token)

    def __enter__(self) -> "SpiFlash":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        part = self._info.part or self._info.jedec_id.hex(" ")
        return f"<orv.SpiFlash {part}, {self._info.size:#x} bytes{' closed' if self._handle is None else ''}>"

    @property
    def _flash(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise ValueError("the flash is closed")
        return self._handle

    def _read_info(self) -> FlashInfo:
        libs = self._adapter._libs
        info = abi.FlashInfo()
        libs.devices.orvdev_flash_get_info(self._flash, byref(info))
        maker = info.maker or info.vendor
        erase_types = min(info.erase_type_count, abi.ORVDEV_FLASH_ERASE_TYPES_MAX)
        return FlashInfo(
            jedec_id=bytes(info.jedec_id),
            manufacturer=None if maker is None else maker.decode("utf-8", "replace"),
            part=info.part.decode("utf-8", "replace") or None,
            size=info.size,
            page_size=info.page_size,
            erase_sizes=tuple(t.size for t in info.erase_types[:erase_types]),
            source=SOURCES.get(info.source, str(info.source)),
            addressing=libs.devices.orvdev_flash_four_byte_name(info.four_byte).decode("ascii", "replace"),
            clock_hz=info.clock.actual_hz,
        )

    def identify(self) -> FlashInfo:
        """What identification found when the flash was opened (no transfer:
        open a new :class:`SpiFlash` to identify a part put in since)."""
        return self._info

    def jedec_id(self) -> bytes:
        """Manufacturer, memory type and capacity bytes."""
        return self._info.jedec_id

    @staticmethod
    def _range(addr: int, n: int) -> None:
        # The library refuses ranges past the end of the part; these only
        # keep the numbers within its 64-bit arguments.
        integer("addr", addr, 0, UINT64_MAX)
        integer("n", n, 0, UINT64_MAX)

    def read(
        self,
        addr: int,
        n: int,
        progress: Optional[Progress] = None,
        *,
        layout: "Optional[Union[Layout, PathLike]]" = None,
        include: Optional[Iterable[str]] = None,
    ) -> bytes:
        """`n` bytes from `addr` (fast reads where the part has them).
        `progress(done, total)` is told of each chunk; returning ``False``
        stops with :class:`Stopped`. With `layout` (a :class:`Layout` or its
        file) only the regions named in `include` are read; the other bytes
        read as erased flash (0xFF), as flashrom leaves them."""
        self._range(addr, n)
        buf = bytearray(n)
        view = (c_uint8 * n).from_buffer(buf) if n else None
        doing = f"reading {nbytes(n)} of the flash at {addr:#08x}"
        with _layout(layout, include) as chosen:
            if chosen is None:
                self._adapter._run("orvdev_flash_read", self._flash, addr, view, n, doing=doing, progress=progress)
            else:
                covered = abi.LayoutResult()
                self._adapter._run(
                    "orvdev_layout_read", self._flash, chosen[0], addr, view, n, byref(covered),
                    doing=f"{doing} (regions {', '.join(chosen[1])})", progress=progress,
                )
        return bytes(buf)

    def write(
        self,
        addr: int,
        data: bytes,
        verify: bool = True,
        *,
        progress: Optional[Progress] = None,
        backup_file: Optional[PathLike] = None,
        recovery_dir: Optional[PathLike] = None,
        layout: "Optional[Union[Layout, PathLike]]" = None,
        include: Optional[Iterable[str]] = None,
    ) -> WriteReport:
        """Writes `data` at `addr` so that the flash holds it and keeps what it
        held around it: reads the blocks the write touches, erases only blocks
        where a bit must go from 0 to 1 (with the erase sizes that take least
        time), programs only the pages that change, then, with `verify`, reads
        back what it erased or programmed. Writing what the flash already
        holds erases and programs nothing.

        `progress(done, total)` hears each stage ("read", "erase", "write",
        "verify"; pass a callable with a ``stage`` keyword to be told which),
        each starting from 0; returning ``False`` stops at the next page or
        block with :class:`Stopped`. `backup_file` receives the old content of
        the whole blocks the write touches before anything is erased.

        When a step fails or is stopped after an erase, the old bytes of the
        erased blocks outside [addr, addr + len) are programmed back once the
        flash is ready, and read back; any not found as they were is kept in a
        new file (in `recovery_dir`, else the working directory; failing that
        the home, then the temporary directory), named with the adapter's
        serial number, that the exception names in ``recovery_file``.
        The exception's ``partial`` is the :class:`WriteReport` so far.

        With `layout` (a :class:`Layout` or its file) only the bytes of the
        regions named in `include` are written, region by region, as
        ``orvtool spi write --layout F --include R`` writes them; the flash
        keeps what it holds elsewhere, ``length`` counts the bytes written
        and `backup_file` receives one backup of the whole blocks from the
        first region's to the last one's.

        Raises :class:`FlashProtected` (see :meth:`unprotect`),
        :class:`Mismatch` when the read-back differs, :class:`FlashError`,
        :class:`Stopped`, :class:`UsbError`; ``ValueError`` for a range past
        the end of the flash or no data (nothing sent).
        """
        raw = data if isinstance(data, bytes) else byte_data("data", data)
        self._range(addr, len(raw))
        options = abi.WriteOptions()
        self._adapter._libs.devices.orvdev_write_options_init(byref(options))
        options.verify = 1 if verify else 0
        options.backup_file = _path("backup_file", backup_file)
        options.recovery_dir = _path("recovery_dir", recovery_dir)
        result = abi.WriteReport()

        def report(done: bool) -> WriteReport:
            return WriteReport(
                addr=result.addr,
                length=result.len,
                unchanged_bytes=result.unchanged_bytes,
                erased=_erased(result.erased, result.erased_count),
                chip_erased=bool(result.chip_erased),
                programmed_pages=result.pages_programmed,
                verified=done and bool(result.verify),
                verified_bytes=result.verified_bytes,
                range=(result.range_addr, result.range_len),
                regions=regions,
            )

        regions: tuple[str, ...] = ()
        doing = f"writing {nbytes(len(raw))} to the flash at {addr:#08x}"
        with _layout(layout, include) as chosen:
            try:
                if chosen is None:
                    self._adapter._run(
                        "orvdev_flash_write", self._flash, addr, raw, len(raw), byref(options), byref(result),
                        doing=doing, progress=progress,
                    )
                else:
                    regions = chosen[1]
                    covered = abi.LayoutResult()
                    self._adapter._run(
                        "orvdev_layout_write", self._flash, chosen[0], addr, raw, len(raw), byref(options),
                        byref(result), byref(covered), doing=f"{doing} (regions {', '.join(regions)})",
                        progress=progress,
                    )
            except OrvError as e:
                e.partial = report(False)
                raise
        return report(True)

    def verify(
        self,
        addr: int,
        data: bytes,
        progress: Optional[Progress] = None,
        *,
        layout: "Optional[Union[Layout, PathLike]]" = None,
        include: Optional[Iterable[str]] = None,
    ) -> int:
        """Reads [addr, addr + len(data)) and compares it with `data`; raises
        :class:`Mismatch` with the first difference (``addr``, ``expected``,
        ``found``) and how many bytes differ (``count``). With `layout` (a
        :class:`Layout` or its file) only the bytes of the regions named in
        `include` are compared. Returns how many bytes were compared."""
        raw = data if isinstance(data, bytes) else byte_data("data", data)
        self._range(addr, len(raw))
        mismatch = abi.Mismatch()
        doing = f"verifying {nbytes(len(raw))} of the flash at {addr:#08x}"
        with _layout(layout, include) as chosen:
            try:
                if chosen is None:
                    self._adapter._run(
                        "orvdev_flash_verify", self._flash, addr, raw, len(raw), byref(mismatch), doing=doing,
                        progress=progress,
                    )
                    return len(raw)
                covered = abi.LayoutResult()
                self._adapter._run(
                    "orvdev_layout_verify", self._flash, chosen[0], addr, raw, len(raw), byref(mismatch),
                    byref(covered), doing=f"{doing} (regions {', '.join(chosen[1])})", progress=progress,
                )
                return int(covered.bytes)
            except Mismatch as e:
                e.addr, e.expected = mismatch.addr, mismatch.expected
                e.found, e.count = mismatch.found, mismatch.count
                raise

    def erase(
        self,
        addr: Optional[int] = None,
        n: Optional[int] = None,
        *,
        chip: bool = False,
        progress: Optional[Progress] = None,
    ) -> EraseReport:
        """Erases [addr, addr + n) in whole blocks of the smallest erase size
        (addr and n multiples of it), or with ``chip=True`` (and no range) the
        whole chip; then reads the range back and checks that it is all
        0xFF (:class:`Mismatch` otherwise). Stages "erase", "check"."""
        if chip:
            if addr is not None or n is not None:
                raise TypeError("give a range or chip=True, not both")
            addr = n = 0
        elif addr is None or n is None:
            raise TypeError("erase(addr, n), or erase(chip=True)")
        self._range(addr, n)
        result = abi.EraseReport()
        doing = "erasing the whole flash" if chip else f"erasing {nbytes(n)} of the flash at {addr:#08x}"
        self._adapter._run(
            "orvdev_flash_erase", self._flash, addr, n, 1 if chip else 0, byref(result), doing=doing,
            progress=progress,
        )
        erased = _erased(result.erased, result.erased_count)
        return EraseReport(erased, bool(result.chip_erased), result.checked_bytes)

    def status(self) -> FlashStatus:
        """The status registers and the range their block protection covers."""
        s = abi.FlashStatus()
        doing = "reading the flash's status"
        self._adapter._run("orvdev_flash_read_status", self._flash, byref(s), doing=doing)
        protected = (s.protected_from, s.protected_to) if s.protected_to > s.protected_from else None
        return FlashStatus(
            s.status1,
            s.status2,
            s.status3,
            bool(s.busy),
            bool(s.write_enabled),
            s.bp,
            bool(s.tb),
            bool(s.sec),
            bool(s.srp),
            bool(s.cmp),
            protected,
        )

    def unprotect(self) -> tuple[int, int]:
        """Clears the block protection (BP, TB, SEC and SRP in status register
        1); returns the register before and after. Nothing protected is not
        an error. Raises :class:`FlashProtected` when the register is locked
        (SRP set and WP# low: pull WP# high first)."""
        before, after = c_uint8(), c_uint8()
        doing = "clearing the flash's protection"
        self._adapter._run("orvdev_flash_unprotect", self._flash, byref(before), byref(after), doing=doing)
        return before.value, after.value
