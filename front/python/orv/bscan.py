"""Boundary scan (IEEE 1149.1) from BSDL files, through the device library:
a device's pins sampled (SAMPLE) and driven (PRELOAD, then EXTEST), and the
interconnect test of a netlist. Each operation is one sequence of IR and DR
scans: one OUT transfer and one read-back exchange.

    with adapter.jtag().boundary(bsdl="boards/", tap=1) as u1:
        print(u1.sample())                   # {"PA0": 1, "PA1": 0, ...}
        u1.drive({"PA8": 1, "PA5": "z"})     # held until release() or the end of the block
    result = adapter.jtag().connect_test("netlist.json")
    print(result.passed, result.opens, result.shorts, result.stuck)
"""

from __future__ import annotations

import ctypes
import os
import weakref
from collections.abc import Iterable, Mapping
from ctypes import POINTER, byref, c_char_p, c_int32, c_void_p
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, NamedTuple, Optional, Union

from . import _devices as abi
from . import _lib
from ._progress import Progress
from ._tap import Chain, TapState
from .i2c import I2c
from .errors import OrvError, input_error_fields, make_error

if TYPE_CHECKING:
    from ._owner import ScannedChainLike

# Scans the chain on a JTAG port for boundary scan (Jtag.boundary and
# Jtag.connect_test give it): what the scan is for, and its progress callback.
OpenChain = Callable[[str, Optional[Progress]], "ScannedChainLike"]

PathLike = Union[str, "os.PathLike[str]"]
BsdlSource = Union[PathLike, "BsdlFile"]
BsdlSources = Union[BsdlSource, Iterable[BsdlSource]]
Level = Union[int, str, None]

BSDL_PATH_VARIABLE = "ORV_BSDL_PATH"

# enum orvdev_pin_direction, as orvtool's JSON names them.
DIRECTIONS = {
    abi.ORVDEV_PIN_IN: "in",
    abi.ORVDEV_PIN_OUT: "out",
    abi.ORVDEV_PIN_INOUT: "inout",
    abi.ORVDEV_PIN_OUT3: "out3",
}
# enum orvdev_short_behaviour.
BEHAVIOURS = {abi.ORVDEV_SHORT_AND: "and", abi.ORVDEV_SHORT_OR: "or", abi.ORVDEV_SHORT_UNKNOWN: "unknown"}


def _text(raw: Optional[bytes]) -> str:
    return "" if raw is None else raw.decode("utf-8", "replace")


def _check(libs: _lib.Libraries, rc: int, doing: str, report: abi.Report, **fields: Any) -> None:
    if rc != 0:
        raise make_error(rc, libs.error_text(rc), doing, report, **fields)


@dataclass(frozen=True)
class Pin:
    """A pin with boundary cells, and what a scan saw of it.

    Attributes:
        port: the BSDL file's port name; a vector's element as "D(3)".
        package_pin: the package pin of the pin map in use, ``None`` when it
            names none.
        direction: "in" (observed only), "out" (a two-state output: drives
            at all times in EXTEST), "inout" (drives or lets go, and is
            observed) or "out3" (drives or lets go, not observed).
        value: the level the pin shows, 0 or 1; for an output without an
            input cell, the level the device drives; ``None`` when nothing is
            seen (an output that lets go and has no input cell, or a pin as
            the file describes it, before any scan).
        driven: whether the device drives the pin (outputs only).
    """

    port: str
    package_pin: Optional[str]
    direction: str
    value: Optional[int] = None
    driven: bool = False

    @classmethod
    def _from_c(cls, pin: abi.BscanPin) -> "Pin":
        return cls(
            _text(pin.port),
            _text(pin.package_pin) or None,
            DIRECTIONS.get(pin.direction, str(pin.direction)),
            None if pin.value < 0 else pin.value,
            bool(pin.driven),
        )


class Notice(NamedTuple):
    """A part of a BSDL file the reader skipped (never a failure)."""

    line: int
    column: int
    text: str

    def __str__(self) -> str:
        return f"{self.line}:{self.column}: {self.text}"


class BsdlFile:
    """A BSDL file (IEEE 1149.1-1990, -1994 or -2001), read by the device
    library; reading needs no adapter. Parts of the language a boundary-scan
    tool does not need are skipped and listed in :attr:`notices`.

    Attributes:
        path: the file as given.
        entity: the device's name in the file.
        standard: the package of its use clause ("STD_1149_1_2001").
        instruction_length, boundary_length: in bits.
        idcode: the IDCODE the file gives (its X bits 0), ``None`` when it
            gives none; ``idcode_mask`` has a 1 for each bit that must match.
        instructions: every instruction's name, in the file's order;
            ``private_instructions`` those the file calls private.
        pins: the pins with boundary cells (:class:`Pin`, no value).
        notices: what the reader skipped (:class:`Notice`).

    Raises :class:`InputFileError` (``file``, ``line``, ``column``,
    ``reason``) for a file that does not exist, cannot be read, is broken or
    contradicts itself.
    """

    def __init__(self, path: PathLike) -> None:
        try:
            raw_path = os.fsencode(path)
        except TypeError:
            raise TypeError(f"a BSDL file's path must be a path, not {type(path).__name__}") from None
        libs = _lib.libraries()
        handle = c_void_p()
        where = abi.InputError()
        report = abi.Report()
        rc = libs.devices.orvdev_bsdl_load(raw_path, byref(handle), byref(where), byref(report))
        _check(libs, rc, "reading a BSDL file", report, **input_error_fields(where))
        self._finalizer = weakref.finalize(self, libs.devices.orvdev_bsdl_free, handle)
        self._read(libs, handle)

    @classmethod
    def _of(cls, libs: _lib.Libraries, handle: c_void_p, owner: object) -> "BsdlFile":
        """A file of a set the device library read (`owner` keeps the set)."""
        self = object.__new__(cls)
        self._owner = owner
        self._read(libs, handle)
        return self

    def _read(self, libs: _lib.Libraries, handle: c_void_p) -> None:
        self._libs = libs
        self._handle = handle
        devices = libs.devices
        info = abi.BsdlInfo()
        devices.orvdev_bsdl_get_info(handle, byref(info))
        self.path = _text(info.path)
        self.entity = _text(info.entity)
        self.standard = _text(info.standard)
        self.instruction_length = info.instruction_length
        self.boundary_length = info.boundary_length
        self.idcode: Optional[int] = info.idcode if info.has_idcode else None
        self.idcode_mask: Optional[int] = info.idcode_care if info.has_idcode else None
        names, private = [], []
        for index in range(info.instruction_count):
            is_private = c_int32(0)
            name = _text(devices.orvdev_bsdl_instruction(handle, index, byref(is_private)))
            names.append(name)
            if is_private.value:
                private.append(name)
        self.instructions: tuple[str, ...] = tuple(names)
        self.private_instructions: tuple[str, ...] = tuple(private)
        pins = []
        for index in range(info.pin_count):
            pin = abi.BscanPin()
            if devices.orvdev_bsdl_get_pin(handle, index, byref(pin)) == 0:
                pins.append(Pin._from_c(pin))
        self.pins: tuple[Pin, ...] = tuple(pins)
        notices = []
        for index in range(info.notice_count):
            notice = abi.BsdlNotice()
            if devices.orvdev_bsdl_get_notice(handle, index, byref(notice)) == 0:
                notices.append(Notice(notice.line, notice.column, _text(notice.text)))
        self.notices: tuple[Notice, ...] = tuple(notices)

    def pin(self, name: str) -> Pin:
        """The pin of that name ("PA0", "d(3)": any letter case). Raises
        :class:`InvalidArgument` naming the nearest pins the file has (or
        saying that the pin has no boundary cell)."""
        if not isinstance(name, str):
            raise TypeError(f"a pin name must be a str, not {type(name).__name__}")
        index = ctypes.c_uint32(0)
        report = abi.Report()
        rc = self._libs.devices.orvdev_bsdl_find_pin(self._handle, name.encode(), byref(index), byref(report))
        _check(self._libs, rc, f"finding pin {name} of {self.entity}", report)
        return self.pins[index.value]

    def __repr__(self) -> str:
        idcode = "None" if self.idcode is None else f"{self.idcode:#010x}"
        if self.idcode_mask is not None and self.idcode_mask != 0xFFFFFFFF:
            idcode += f"/{self.idcode_mask:#010x}"
        return (
            f"BsdlFile(entity={self.entity!r}, idcode={idcode}, "
            f"instruction_length={self.instruction_length}, "
            f"boundary_length={self.boundary_length}, pins={len(self.pins)}, path={self.path!r})"
        )


# ---- the BSDL files given -------------------------------------------------------------------


class _FileSet:
    """BSDL files the device library read from files and directories; freed
    when no :class:`BsdlFile` of it is left."""

    def __init__(self, libs: _lib.Libraries, paths: list[bytes], use_path_variable: bool) -> None:
        handle = c_void_p()
        where = abi.InputError()
        report = abi.Report()
        sources = (c_char_p * max(len(paths), 1))(*paths)
        rc = libs.devices.orvdev_bsdl_files_load(
            sources, len(paths), 1 if use_path_variable else 0, byref(handle), byref(where), byref(report)
        )
        _check(libs, rc, "reading BSDL files", report, **input_error_fields(where))
        weakref.finalize(self, libs.devices.orvdev_bsdl_files_free, handle)
        count = libs.devices.orvdev_bsdl_files_count(handle)
        self.files = [
            BsdlFile._of(libs, c_void_p(libs.devices.orvdev_bsdl_files_get(handle, i)), self) for i in range(count)
        ]


def read_files(bsdl: Optional[BsdlSources], required: bool = True) -> list[BsdlFile]:
    """Every BSDL file `bsdl` names (a file, a directory of *.bsd and *.bsdl
    files, a :class:`BsdlFile`, or a list of them), then those of
    ORV_BSDL_PATH, read by the device library as orvtool's --bsdl reads them
    (before anything is sent)."""
    if bsdl is None:
        given: list[BsdlSource] = []
    elif isinstance(bsdl, (str, bytes, os.PathLike, BsdlFile)):
        given = [bsdl]  # type: ignore[list-item]
    elif isinstance(bsdl, Iterable):
        given = list(bsdl)
    else:
        raise TypeError(f"bsdl must be a path, a BsdlFile or a list of them, not {type(bsdl).__name__}")
    libs = _lib.libraries()
    files: list[BsdlFile] = []
    paths: list[bytes] = []

    def read_paths() -> None:
        if paths:
            files.extend(_FileSet(libs, paths, False).files)
            paths.clear()

    for source in given:
        if isinstance(source, BsdlFile):
            read_paths()
            files.append(source)
        elif isinstance(source, (str, bytes, os.PathLike)):
            paths.append(os.fsencode(source))
        else:
            raise TypeError(
                f"bsdl must be a path, a BsdlFile or a list of them, not {type(source).__name__}"
            )
    read_paths()
    files.extend(_FileSet(libs, [], True).files)  # ORV_BSDL_PATH's
    if required and not files:
        raise ValueError(
            f"no BSDL files: give them with bsdl= (files or directories) or in {BSDL_PATH_VARIABLE} "
            "(separated by ':')"
        )
    return files


def _pointers(files: list[Optional[BsdlFile]]) -> ctypes.Array:
    return (c_void_p * max(len(files), 1))(*[None if f is None else f._handle for f in files])


# ---- the chain, its files and its boundary registers ---------------------------------------


class _BoundaryChain:
    """The boundary registers of a scanned chain, shared by the
    :class:`Boundary` of each of its TAPs: what one holds in EXTEST stays
    held while another samples or drives."""

    def __init__(self, open_chain: OpenChain, files: list[BsdlFile]) -> None:
        self.scan = open_chain("scanning the JTAG chain for boundary scan", None)
        try:
            chain = self.scan.chain
            matches = (abi.BsdlMatch * max(chain.count, 1))()
            report = abi.Report()
            libs = _lib.libraries()
            rc = libs.devices.orvdev_bsdl_match_chain(
                byref(self.scan.c_chain), _pointers(list(files)), len(files), matches, byref(report)
            )
            _check(libs, rc, "matching the BSDL files to the chain", report)
            self.all_files = files
            self.matches = [(m.status, None if m.file < 0 else files[m.file]) for m in matches[: chain.count]]
            self.files: tuple[Optional[BsdlFile], ...] = tuple(
                file if status == abi.ORVDEV_MATCH_FOUND else None for status, file in self.matches
            )
            self.scan.open_bscan(_pointers(list(self.files)), "opening the boundary registers of the chain")
        except BaseException:
            self.scan.close()
            raise
        self.held: set[int] = set()  # TAPs this handle may hold in EXTEST
        self.buses: list[int] = []  # the adapter's tokens of flashes on pins: closed before the chain

    def choose(self, tap: Union[int, str, None]) -> int:
        """The TAP `tap` names (its place, or its file's entity), or the one
        TAP whose file has pins: the device library's choice, as orvtool's
        --tap makes it."""
        if tap is not None and (not isinstance(tap, (int, str)) or isinstance(tap, bool)):
            raise TypeError(f"tap must be an int or an entity name, not {type(tap).__name__}")
        libs = _lib.libraries()
        choice = abi.TapChoice()
        report = abi.Report()
        rc = libs.devices.orvdev_bsdl_choose_tap(
            byref(self.scan.c_chain),
            _pointers(list(self.all_files)),
            len(self.all_files),
            tap if isinstance(tap, int) else -1,
            tap.encode() if isinstance(tap, str) else None,
            None,
            0,
            byref(choice),
            byref(report),
        )
        if rc != 0:
            hint = "choose one with tap= (its place in the chain, or its entity)"
            error = make_error(rc, libs.error_text(rc), "choosing the TAP for boundary scan", report)
            if choice.status == abi.ORVDEV_TAP_SEVERAL:
                raise ValueError(f"{error.text}; {hint}") from error
            raise error
        return int(choice.tap)

    def run(self, function: str, *args: Any, doing: str) -> None:
        try:
            self.scan.run(function, self.scan.bscan, *args, doing=doing)
        except OrvError:
            self.held.clear()  # the library forgets its holds after a failure: the next scan resets
            raise

    def release(self) -> None:
        self.run("orvdev_bscan_release", doing="returning the devices to their normal function")
        self.held.clear()
        self.scan.moved(TapState.TEST_LOGIC_RESET)

    def close(self, release: bool) -> None:
        if self.scan.closed:
            return
        for token in self.buses:
            self.scan.adapter._close_handle(token)  # they drive through this chain's handle
        self.buses.clear()
        try:
            if release and self.held and not self.scan.adapter.closed:
                self.release()
        finally:
            self.scan.close()


def _level(pin: object, value: Level) -> int:
    if value is None or (isinstance(value, str) and value in ("z", "Z")):
        return abi.ORVDEV_LEVEL_Z
    if isinstance(value, int) and value in (0, 1):  # True and False too
        return abi.ORVDEV_LEVEL_HIGH if value else abi.ORVDEV_LEVEL_LOW
    if isinstance(value, (int, str)):
        raise ValueError(f"pin {pin}: a level 0, 1, or None or 'z' to let it go; got {value!r}")
    raise TypeError(f"pin {pin}: a level 0, 1, or None or 'z' to let it go; got {type(value).__name__}")


class Boundary:
    """The boundary register of one device of a JTAG chain
    (``adapter.jtag().boundary(bsdl=..., tap=...)``): its pins, sampled and
    driven by the device library as its BSDL file describes them.

    Pins are named by the file's port names ("PA0"; a vector's element as
    "D(3)"), in any letter case; the dicts returned use the file's spelling,
    in the file's order.

    :meth:`drive` holds the device in EXTEST (its pins driven from the
    boundary register instead of its own logic) until :meth:`release`, or
    the end of a ``with`` block, returns every device of the chain to its
    normal function (Test-Logic-Reset). :meth:`close` does that too when
    pins are held; an object that is just dropped sends nothing, and a device
    it held stays held.

    The JTAG port it came from goes on with raw scans afterwards: its
    ``state`` follows each operation (Test-Logic-Reset where the TAPs may be
    in it or in Run-Test/Idle: a TMS path from the first is right from
    both).

    Attributes:
        tap: the device's chain position (0 nearest TDO).
        file: its :class:`BsdlFile`; ``entity``, ``instructions`` and
            ``pins`` are the file's.
        chain: the chain as scanned when the object was made
            (:class:`orv.Chain`).
        files: for each TAP, the :class:`BsdlFile` that describes it, or
            ``None``.
    """

    def __init__(self, shared: _BoundaryChain, tap: int) -> None:
        self._shared = shared
        self.tap = tap
        file = shared.files[tap]
        assert file is not None
        self.file: BsdlFile = file
        self.chain: Chain = shared.scan.chain
        self.files: tuple[Optional[BsdlFile], ...] = shared.files

    @property
    def entity(self) -> str:
        return self.file.entity

    @property
    def instructions(self) -> tuple[str, ...]:
        return self.file.instructions

    @property
    def pins(self) -> tuple[Pin, ...]:
        return self.file.pins

    @property
    def idcode(self) -> Optional[int]:
        """The device's IDCODE as the chain scan read it."""
        return self.chain.devices[self.tap].idcode

    @property
    def closed(self) -> bool:
        return self._shared.scan.closed

    def for_tap(self, tap: Union[int, str]) -> "Boundary":
        """The boundary register of another device of the same chain (its
        position or entity name), sharing this one's scan: pins either holds
        stay driven while the other samples or drives. No transfer."""
        if tap is None:
            raise TypeError("for_tap needs the TAP: its position or its entity name")
        return Boundary(self._shared, self._shared.choose(tap))

    def _device(self) -> str:
        return f"TAP {self.tap} ({self.entity})"

    def sample_pins(self) -> list[Pin]:
        """SAMPLE: every pin with boundary cells as it is now (:class:`Pin`
        with ``value`` and ``driven``), in one IR and one DR scan; the device
        keeps its normal function (a device held in EXTEST stays held and
        shows its pins as driven)."""
        count = len(self.pins)
        pins = (abi.BscanPin * max(count, 1))()
        doing = f"sampling the pins of {self._device()}"
        self._shared.run("orvdev_bscan_sample", self.tap, pins, count, doing=doing)
        self._shared.scan.moved(TapState.RUN_TEST_IDLE)
        return [Pin._from_c(pin) for pin in pins[:count]]

    def sample(self) -> dict[str, Optional[int]]:
        """SAMPLE, as :meth:`sample_pins`: each pin's level, 0 or 1, or
        ``None`` where nothing is seen (an output let go that has no input
        cell)."""
        return {pin.port: pin.value for pin in self.sample_pins()}

    def drive(self, levels: Mapping[str, Level], hold: bool = True) -> dict[str, Optional[int]]:
        """Drives pins: ``{"PA8": 1, "PA9": 0, "PA5": None}``, with ``None``
        (or ``"z"``) letting a pin go (an open-drain pin drives its active
        level and lets go for the other).

        The first time, PRELOAD puts every other cell at its safe value (so
        that nothing glitches when EXTEST takes the pins), then EXTEST; while
        the device is held, later calls change its pins from what they drive.
        Returns every pin as read back while driven (as :meth:`sample`). With
        `hold` the device stays in EXTEST until :meth:`release`; without, it
        returns to its normal function at once (Test-Logic-Reset, or BYPASS
        while another device of the chain is held). One OUT transfer and one
        read-back exchange.

        Raises :class:`InvalidArgument` (nothing sent) for a pin the file
        does not have (naming the nearest), an input driven, a two-state
        output let go, a pin given twice; ``ValueError``/``TypeError`` for a
        level that is none of 0, 1, None, "z"; :class:`ChainError` when the
        file names no EXTEST or PRELOAD."""
        if not isinstance(levels, Mapping):
            raise TypeError(f"levels must be a mapping of pin names to levels, not {type(levels).__name__}")
        if not levels:
            raise ValueError("no pins to drive")
        names = []
        for pin, value in levels.items():
            if not isinstance(pin, str):
                raise TypeError(f"a pin name must be a str, not {type(pin).__name__}")
            names.append((pin.encode(), _level(pin, value)))
        settings = (abi.PinSetting * len(names))(*names)
        count = len(self.pins)
        pins = (abi.BscanPin * max(count, 1))()
        shown = ", ".join(
            f"{p}={'z' if v is None or isinstance(v, str) else int(v)}" for p, v in levels.items()
        )
        self._shared.run(
            "orvdev_bscan_drive",
            self.tap,
            settings,
            len(names),
            1 if hold else 0,
            pins,
            count,
            doing=f"driving {shown} on {self._device()}",
        )
        if hold:
            self._shared.held.add(self.tap)
            self._shared.scan.moved(TapState.RUN_TEST_IDLE)
        else:
            self._shared.held.discard(self.tap)
            # Test-Logic-Reset, or Run-Test/Idle while another device is
            # held: a TMS path from the first is right from both.
            self._shared.scan.moved(TapState.TEST_LOGIC_RESET)
        return {pin.port: pin.value for pin in (Pin._from_c(p) for p in pins[:count])}

    def release(self) -> None:
        """Test-Logic-Reset: every device of the chain back to its normal
        function, nothing held."""
        self._shared.release()

    def spi(self, cs: str, sck: str, mosi: str, miso: str, mode: int = 0) -> "PinSpi":
        """An SPI bus made of four of the device's pins, for
        :class:`orv.SpiFlash` as it takes ``adapter.spi()``: the device is
        held in EXTEST while a flash on it is open (the chain's other devices
        in BYPASS, its other pins at the levels a SAMPLE shows), each SPI
        clock two DR scans. `mode` is 0 or 3. Pins are checked when the
        flash opens, before anything is driven."""
        return PinSpi(self, cs, sck, mosi, miso, mode)

    def i2c(self, scl: str, sda: str, stretch: bool = False) -> "PinI2c":
        """An I2C bus made of two of the device's pins, open drain (pulled
        low, or let go to the board's pull-ups), taken as ``adapter.i2c()``
        is: the same calls, and the helpers that take an I2C port take it
        unchanged. The device is held in EXTEST while the bus is open (the
        chain's other devices in BYPASS, its other pins at the levels a
        SAMPLE shows); each change of the lines is one DR scan. Pins are
        checked when the bus is first used, before anything is driven; a
        line that reads low while let go raises :class:`orv.BusError`;
        with ``stretch=True`` the bus waits for a device that stretches the
        clock (SCL read until high after each release: a read-back exchange
        per bit)."""
        return PinI2c(self, scl, sda, stretch)

    def close(self) -> None:
        """Returns the devices to their normal function when pins are held
        (:meth:`release`), then closes the boundary scan of the chain (this
        object and those :meth:`for_tap` made); later calls raise
        ``ValueError``. Closing twice does nothing."""
        self._shared.close(release=True)

    def __enter__(self) -> "Boundary":
        return self

    def __exit__(self, exc_type: object, *exc: object) -> None:
        try:
            self._shared.close(release=True)
        except (OrvError, ValueError):
            if exc_type is None:
                raise
            self._shared.close(release=False)  # the exception in flight says more

    def __repr__(self) -> str:
        idcode = "None" if self.idcode is None else f"{self.idcode:#010x}"
        state = " closed" if self.closed else ""
        return (
            f"<orv.Boundary TAP {self.tap} {self.entity} idcode={idcode}, {len(self.pins)} pins, "
            f"{self.file.path}{state}>"
        )


def open_boundary(open_chain: OpenChain, bsdl: Optional[BsdlSources], tap: Union[int, str, None]) -> Boundary:
    """:meth:`orv.Jtag.boundary`."""
    if tap is not None and (not isinstance(tap, (int, str)) or isinstance(tap, bool)):
        raise TypeError(f"tap must be an int or an entity name, not {type(tap).__name__}")
    if isinstance(tap, int) and not 0 <= tap < abi.ORVDEV_JTAG_MAX_DEVICES:
        raise ValueError(f"tap {tap} is out of range 0..{abi.ORVDEV_JTAG_MAX_DEVICES - 1}")
    files = read_files(bsdl)
    if isinstance(tap, str) and not any(f.entity.lower() == tap.lower() for f in files):
        entities = ", ".join(sorted({f.entity for f in files}))
        raise ValueError(f"no BSDL file given has the entity {tap}: they have {entities}")
    shared = _BoundaryChain(open_chain, files)
    try:
        return Boundary(shared, shared.choose(tap))
    except BaseException:
        shared.close(release=False)
        raise


# ---- the interconnect test ----------------------------------------------------------------------


class Open(NamedTuple):
    """A pin off its net ("U2.D(2)"): one that does not follow the net's
    driver, or the driver that none follows. ``or_pin``: for a net of one
    driver (``pin``) and one receiver that does not follow it, the receiver,
    since the net is open at either of the two; else None."""

    net: str
    pin: str
    or_pin: Optional[str] = None


class Short(NamedTuple):
    """Nets that read each other's codes, and the wired-AND ("and") or
    wired-OR ("or") they behave as, else "unknown"."""

    nets: tuple[str, ...]
    behaves_as: str


class Stuck(NamedTuple):
    """A net stuck at 0 or 1."""

    net: str
    value: int


class Untested(NamedTuple):
    """A net the test could not test, and why ("no driver: ...", "no
    receiver: ...", "not in any BSDL: ...", "left alone: ...")."""

    net: str
    why: str


@dataclass(frozen=True)
class ConnectResult:
    """What an interconnect test found (:meth:`orv.Jtag.connect_test`), as
    ``orvtool jtag connect-test --json`` reports it.

    Attributes:
        passed: no open, short or stuck net was found.
        patterns: the patterns driven; nets_tested: the nets tested.
        opens, shorts, stuck, untested: what was found (:class:`Open`,
            :class:`Short`, :class:`Stuck`, :class:`Untested`).
        scans, out_transfers, readback_exchanges, readback_bytes: the DR
            scans of the test and what they took on the wire.
    """

    passed: bool
    patterns: int
    nets_tested: int
    opens: tuple[Open, ...]
    shorts: tuple[Short, ...]
    stuck: tuple[Stuck, ...]
    untested: tuple[Untested, ...]
    scans: int
    out_transfers: int
    readback_exchanges: int
    readback_bytes: int

    @classmethod
    def _from_c(cls, r: abi.ConnectResult) -> "ConnectResult":
        return cls(
            passed=bool(r.passed),
            patterns=r.patterns,
            nets_tested=r.nets_tested,
            opens=tuple(
                Open(_text(o.net), _text(o.pin), _text(o.or_pin) if o.or_pin else None)
                for o in r.opens[: r.open_count]
            ),
            shorts=tuple(
                Short(tuple(_text(n) for n in s.nets[: s.net_count]), BEHAVIOURS.get(s.behaves_as, "unknown"))
                for s in r.shorts[: r.short_count]
            ),
            stuck=tuple(Stuck(_text(s.net), s.value) for s in r.stuck[: r.stuck_count]),
            untested=tuple(Untested(_text(u.net), _text(u.why)) for u in r.untested[: r.untested_count]),
            scans=r.scans,
            out_transfers=r.out_transfers,
            readback_exchanges=r.readback_exchanges,
            readback_bytes=r.readback_bytes,
        )


def run_connect_test(
    open_chain: OpenChain, netlist: PathLike, bsdl: Optional[BsdlSources], progress: Optional[Progress]
) -> ConnectResult:
    """:meth:`orv.Jtag.connect_test`."""
    try:
        raw_path = os.fsencode(netlist)
    except TypeError:
        raise TypeError(f"netlist must be a path, not {type(netlist).__name__}") from None
    files = read_files(bsdl, required=False)
    libs = _lib.libraries()
    loaded = c_void_p()
    where = abi.InputError()
    report = abi.Report()
    pointers = _pointers(list(files)) if files else None
    rc = libs.devices.orvdev_netlist_load(
        raw_path, pointers, len(files), byref(loaded), byref(where), byref(report)
    )
    _check(libs, rc, "reading a netlist", report, **input_error_fields(where))
    try:
        scan = open_chain("scanning the JTAG chain for the interconnect test", progress)
        try:
            tap_files = (c_void_p * max(scan.chain.count, 1))()
            report = abi.Report()
            rc = libs.devices.orvdev_netlist_taps(loaded, byref(scan.c_chain), tap_files, byref(report))
            _check(libs, rc, "placing the netlist's devices in the chain", report)
            scan.open_bscan(tap_files, "opening the boundary registers of the netlist's devices")
            result = POINTER(abi.ConnectResult)()
            name = os.fsdecode(raw_path)
            scan.run(
                "orvdev_connect_test",
                scan.bscan,
                loaded,
                byref(result),
                doing=f"interconnect test of {name}",
                progress=progress,
            )
            scan.moved(TapState.TEST_LOGIC_RESET)
            try:
                return ConnectResult._from_c(result.contents)
            finally:
                libs.devices.orvdev_connect_result_free(result)
        finally:
            scan.close()
    finally:
        libs.devices.orvdev_netlist_free(loaded)


class _PinAdapter:
    """The adapter as :class:`orv.SpiFlash` sees it through :class:`PinSpi`,
    and :class:`PinI2c` its own: the flash or I2C handle opened on the pins,
    everything else the adapter's."""

    def __init__(self, bus: Union["PinSpi", "PinI2c"]) -> None:
        self._bus = bus
        self._real = bus._boundary._shared.scan.adapter

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)

    def _open_handle(self, kind: str, options: ctypes.Structure, owner: object, doing: str) -> tuple[int, c_void_p]:
        bus = self._bus
        if kind != bus._kind:
            raise ValueError(f"these boundary-scan pins make a bus for a {bus._kind}, not a {kind}")
        shared = bus._boundary._shared
        handle = c_void_p()
        shared.run(
            f"orvdev_{kind}_open_bscan",
            bus._boundary.tap,
            byref(bus._pins()),
            byref(options),
            byref(handle),
            doing=doing + " through the pins of TAP " + str(bus._boundary.tap),
        )
        close = getattr(self._real._libs.devices, f"orvdev_{kind}_close")
        token = self._real._own(owner, lambda: close(handle))
        shared.buses.append(token)
        return token, handle


class PinSpi:
    """An SPI bus made of pins of a boundary-scan device
    (``boundary.spi(cs=..., sck=..., mosi=..., miso=...)``), taken by
    :class:`orv.SpiFlash` as an ``adapter.spi()`` is: most significant bit
    first, chip select active low. The flash closes before the boundary scan
    it runs on."""

    lsb_first = False
    cs_active_high = False

    def __init__(self, boundary: Boundary, cs: str, sck: str, mosi: str, miso: str, mode: int = 0) -> None:
        for role, name in (("cs", cs), ("sck", sck), ("mosi", mosi), ("miso", miso)):
            if not isinstance(name, str) or not name:
                raise TypeError(f"{role} must be a pin name (str)")
        if mode not in (0, 3) or isinstance(mode, bool):
            raise ValueError(f"SPI mode 0 or 3 through boundary-scan pins, not {mode!r}")
        self._boundary = boundary
        self.cs, self.sck, self.mosi, self.miso, self.mode = cs, sck, mosi, miso, mode
        self.clock_khz = boundary._shared.scan._jtag.tck_khz  # the JTAG clock: two DR scans an SPI clock
        self._adapter = _PinAdapter(self)

    _kind = "flash"

    def _pins(self) -> ctypes.Structure:
        return abi.SpiPins(self.cs.encode(), self.sck.encode(), self.mosi.encode(), self.miso.encode(), self.mode)

    def __repr__(self) -> str:
        return (
            f"<orv.PinSpi TAP {self._boundary.tap} cs={self.cs} sck={self.sck} mosi={self.mosi} "
            f"miso={self.miso} mode {self.mode}>"
        )


class PinI2c(I2c):
    """An I2C bus made of two pins of a boundary-scan device
    (``boundary.i2c(scl=..., sda=...)``), with every call of an
    ``adapter.i2c()``. Its clock is the JTAG clock: an I2C bit takes two or
    three DR scans. The bus closes before the boundary scan it runs on."""

    _kind = "i2c"

    def __init__(self, boundary: Boundary, scl: str, sda: str, stretch: bool = False) -> None:
        for role, name in (("scl", scl), ("sda", sda)):
            if not isinstance(name, str) or not name:
                raise TypeError(f"{role} must be a pin name (str)")
        if not isinstance(stretch, bool):
            raise TypeError("stretch must be True or False")
        self._boundary = boundary
        self.scl, self.sda, self.stretch = scl, sda, stretch
        tck_khz = boundary._shared.scan._jtag.tck_khz
        super().__init__(_PinAdapter(self), tck_khz)  # type: ignore[arg-type]

    def _pins(self) -> ctypes.Structure:
        return abi.I2cPins(self.scl.encode(), self.sda.encode(), 1 if self.stretch else 0)

    def __repr__(self) -> str:
        stretch = " stretch" if self.stretch else ""
        return f"<orv.PinI2c TAP {self._boundary.tap} scl={self.scl} sda={self.sda}{stretch}>"
