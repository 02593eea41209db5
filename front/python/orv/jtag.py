"""JTAG through the adapter: TAP reset and navigation, IR/DR scans, a chain
scan, DR scans batched into one transfer, and boundary scan from BSDL files
(:meth:`Jtag.boundary`, :meth:`Jtag.connect_test`; see :mod:`orv.bscan`).

Bit strings are given as bytes (bit i is bit i % 8 of byte i // 8, byte 0
first, shifted least significant bit first) or as an int (bit i shifted i-th);
captured TDO comes back in the form TDI was given in.
"""

from __future__ import annotations

import ctypes
import os
from ctypes import byref, c_int32, c_void_p
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, ContextManager, Optional, Union

from . import _devices as abi
from . import bscan
from ._args import BitData, bit_data, bits_out, integer
from ._clock import clock_for
from ._progress import Progress
from ._tap import Chain, Device, TapState  # Device: re-exported with the other two
from .errors import InputFileError, Mismatch, SvfMismatch, make_error

if TYPE_CHECKING:
    from . import _lib
    from ._owner import PortOwner
    from .bscan import Boundary, BsdlSources, ConnectResult, PathLike

MAX_SCAN_BITS = 0x7FFFFFFF  # the libraries' signed 32-bit bit count
MAX_IDLE_CLOCKS = 0xFFFF


def _buffer(raw: bytes) -> ctypes.Array:
    return (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)


@dataclass(frozen=True)
class SvfSummary:
    """What playing an SVF or XSVF file did (or, for a dry run, would do).

    ``statements`` counts SVF statements or XSVF commands; ``tck_clocks``
    the TCK clocks, ``seconds`` the time playing took (0 in a dry run,
    where ``estimated_seconds`` says how long it would take); ``tck_hz``
    the clock it started at (the fastest the adapter makes that is not
    above the one asked for)."""

    statements: int
    statements_played: int
    checks: int
    checks_passed: int
    repeats: int
    scan_bits: int
    tck_clocks: int
    seconds: float
    estimated_seconds: float
    tck_hz: int
    out_transfers: int
    stream_bytes: int
    readback_exchanges: int
    readback_bytes: int
    host_waits: int
    wait_seconds: float
    dry_run: bool

    @staticmethod
    def _from_c(s: abi.SvfSummary, info: abi.SvfInfo, dry_run: bool) -> "SvfSummary":
        return SvfSummary(
            s.statements,
            s.statements_played,
            s.checks,
            s.checks_passed,
            s.repeats,
            s.scan_bits,
            s.clocks,
            s.seconds,
            info.estimated_seconds,
            s.tck_hz,
            s.out_transfers,
            s.stream_bytes,
            s.exchanges,
            s.readback_bytes,
            s.host_waits,
            s.wait_seconds,
            dry_run,
        )


SvfSource = Union[str, bytes, "os.PathLike[str]"]


def _vector_file(source: object, xsvf: bool, max_size: int) -> tuple[bytes, Optional[str]]:
    """The bytes of an SVF or XSVF file and its name (None for a text or
    bytes given). An SVF str holding a newline or a ';' is the text itself,
    any other str a path; XSVF takes bytes or a path."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
        name = None
    elif isinstance(source, str) and not xsvf and ("\n" in source or ";" in source):
        data = source.encode("utf-8")
        name = None
    elif isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        if not isinstance(name, str):
            raise TypeError("give the file's path as a str")
        try:
            with open(name, "rb") as f:
                data = f.read(max_size + 1)
        except OSError as e:
            raise InputFileError(
                abi.ORVDEV_ERROR_BAD_INPUT, f"cannot read {name}: {e.strerror}", "reading the file", file=name
            ) from e
    else:
        raise TypeError(f"give a path, the text or the bytes of the file, not {type(source).__name__}")
    if len(data) > max_size:
        raise InputFileError(
            abi.ORVDEV_ERROR_OUT_OF_RANGE,
            f"the file holds more than {max_size} bytes (max_size)",
            "reading the file",
            file=name,
        )
    return data, name


class Jtag:
    """The JTAG port of an adapter (``adapter.jtag(...)``).

    The TAP state is mirrored in :attr:`state`: every operation starts its
    TMS path from it and updates it only when the whole operation succeeded.
    The clock really set is :attr:`clock` (the fastest the adapter makes
    that is not above `tck_khz`).
    """

    def __init__(
        self, adapter: "PortOwner", tck_khz: int, pins: Optional[tuple[int, int]], reset: bool
    ) -> None:
        """Sets TCK to `tck_khz` and the pins to `pins` = (direction, level)
        (bit set: output; by default the connector's usual pins: TCK, TDI,
        TMS out with TMS high), then, with `reset`, forces the TAP into
        Test-Logic-Reset. Without it the TAP is taken to be in Run-Test/Idle,
        where every scan leaves it."""
        self.clock = clock_for("tck_khz", tck_khz)
        self.tck_khz = tck_khz
        options = abi.JtagPortOptions()
        adapter._libs.devices.orvdev_jtag_port_options_init(byref(options))
        direction, level = (options.direction, options.level) if pins is None else pins
        self.pins = (integer("pins direction", direction, 0, 0xFFFF), integer("pins level", level, 0, 0xFFFF))
        self._adapter = adapter
        self._chain: Optional[c_void_p] = None
        self._state = TapState.RUN_TEST_IDLE
        # The device library's raw JTAG port: it sends the clock and the pins
        # before the scans below whenever the adapter last ran anything else.
        options.tck_khz = tck_khz
        options.direction, options.level = self.pins
        _, self._port = adapter._open_handle("jtag_port", options, self, "opening the JTAG port")
        if reset:
            self.reset()
        else:
            with self._held():
                pass

    @property
    def clock_hz(self) -> int:
        """TCK as it runs, in Hz."""
        return self.clock.hz

    def __repr__(self) -> str:
        return self._adapter._port_repr(f"Jtag TCK {self.clock.hz / 1000:g} kHz, {self._state.name}")

    def _held(self) -> "ContextManager[tuple[_lib.Libraries, c_void_p]]":
        """The adapter held for scans of this port through the JTAG library,
        with the port's clock and pins in place."""
        return self._adapter._raw("orvdev_jtag_port_claim", self._port, "the JTAG port")

    @property
    def state(self) -> TapState:
        """The TAP state as the host mirrors it."""
        return self._state

    def reset(self) -> None:
        """Forces the TAP into Test-Logic-Reset (TMS high for seven clocks)."""
        with self._held() as (libs, handle):
            state = c_int32(self._state)
            rc = libs.tapwire.tapwire_reset(handle, byref(state), self._adapter.timeout_ms)
            libs.check(rc, "resetting the TAP")
            self._state = TapState(state.value)

    def goto_idle(self, clocks: int = 0) -> None:
        """Moves the TAP to Run-Test/Idle and gives `clocks` (0..65535) more
        clocks there."""
        integer("clocks", clocks, 0, MAX_IDLE_CLOCKS)
        with self._held() as (libs, handle):
            state = c_int32(self._state)
            rc = libs.tapwire.tapwire_goto_idle(handle, byref(state), clocks, self._adapter.timeout_ms)
            libs.check(rc, "moving the TAP to Run-Test/Idle")
            self._state = TapState(state.value)

    def shift_ir(
        self, data: BitData, bits: Optional[int] = None, capture: bool = False, idle_clocks: int = 0
    ) -> Union[bytes, int, None]:
        """Shifts `bits` bits of `data` through the instruction registers and
        returns to Run-Test/Idle, then gives `idle_clocks` clocks there.
        Returns the captured TDO (bytes or int, as `data` was given) when
        `capture`, else None."""
        return self._shift("tapwire_shift_ir", "the instruction register", data, bits, capture, idle_clocks)

    def shift_dr(
        self, data: BitData, bits: Optional[int] = None, capture: bool = False, idle_clocks: int = 0
    ) -> Union[bytes, int, None]:
        """As :meth:`shift_ir`, through the selected data register."""
        return self._shift("tapwire_shift_dr", "the data register", data, bits, capture, idle_clocks)

    def _shift(
        self, function: str, register: str, data: object, bits: Optional[int], capture: bool, idle_clocks: int
    ) -> Union[bytes, int, None]:
        raw, bits, as_int = bit_data("data", data, bits, MAX_SCAN_BITS)
        integer("idle_clocks", idle_clocks, 0, MAX_IDLE_CLOCKS)
        tdi = _buffer(raw)
        tdo = (ctypes.c_uint8 * len(raw))() if capture else None
        with self._held() as (libs, handle):
            state = c_int32(self._state)
            rc = getattr(libs.tapwire, function)(
                handle, byref(state), bits, tdi, tdo, idle_clocks, self._adapter.timeout_ms
            )
            libs.check(rc, f"scanning {register} ({bits} bits)")
            self._state = TapState(state.value)
        return None if tdo is None else bits_out(bytes(tdo), bits, as_int)

    def scan(self, progress: Optional[Progress] = None) -> Chain:
        """Resets the TAPs and measures the chain: device count, IDCODEs with
        their makers, and each IR length where the capture pattern tells it,
        as ``orvtool jtag scan`` does. Leaves the TAPs in Run-Test/Idle with
        IDCODE (or BYPASS) selected.

        Raises :class:`ChainError` when the chain gives no consistent answer
        (TDO stuck high, no TAP, a chain that does not add up), and
        :class:`Stopped` when `progress` returns ``False``."""
        adapter = self._adapter
        if self._chain is None:
            options = abi.JtagOptions(self.tck_khz, *self.pins)
            _, self._chain = adapter._open_handle("jtag", options, self, "setting up the JTAG chain")
        chain = abi.Chain()
        doing = "scanning the JTAG chain"
        adapter._run("orvdev_chain_scan", self._chain, byref(chain), doing=doing, progress=progress)
        self._state = TapState.RUN_TEST_IDLE
        return Chain._from_c(chain)

    def boundary(self, bsdl: "Optional[BsdlSources]" = None, tap: Union[int, str, None] = None) -> "Boundary":
        """The boundary register of one device of the chain, described by its
        BSDL file: its pins sampled and driven. See :class:`orv.Boundary`.

        `bsdl` is a BSDL file, a directory of them (``*.bsd``, ``*.bsdl``),
        a :class:`orv.BsdlFile`, or a list of these; the entries of
        ``ORV_BSDL_PATH`` (separated by ``:``) follow, as for orvtool's
        ``--bsdl``. The files are read before anything is sent. The chain is
        then scanned (the TAPs are reset) and each TAP takes the first file
        whose IDCODE (its X bits masked) and instruction length it has.
        `tap` chooses the device: its chain position (0 nearest TDO, as
        :meth:`scan` numbers them) or its entity name; by default the one
        TAP whose file has pins.

        Raises :class:`InputFileError` for a path that does not exist, a
        file that cannot be read or is broken, ``ValueError`` when several
        TAPs fit (choose with `tap`), `tap` is not in the chain or its file
        has no pins with boundary cells, :class:`ChainError` when no file
        describes the TAP (or the files contradict the chain). The TAP is
        chosen by the device library, as orvtool's ``--tap`` is."""
        return bscan.open_boundary(self._scanned_chain, bsdl, tap)

    def connect_test(
        self,
        netlist: "PathLike",
        bsdl: "Optional[BsdlSources]" = None,
        progress: Optional[Progress] = None,
    ) -> "ConnectResult":
        """The interconnect test of `netlist` (a JSON file, as ``orvtool jtag
        connect-test --netlist`` takes it; see :class:`orv.ConnectResult`).
        The netlist and the BSDL files it names are read and checked first
        (:class:`InputFileError`, nothing sent); `bsdl` (as for
        :meth:`boundary`) gives the files of devices it names by IDCODE only.
        Then the chain is scanned, every net driven with a code of its own
        in EXTEST, every other pin read, and the devices returned to their
        normal function (Test-Logic-Reset). A board that fails the test is
        a result with ``passed`` false, not an exception. `progress(done,
        total)` hears the stages "scan" and "test" (patterns)."""
        self._adapter._check_open()
        return bscan.run_connect_test(self._scanned_chain, netlist, bsdl, progress)

    def play_svf(
        self,
        path_or_text: SvfSource,
        progress: Optional[Callable[[int, int], object]] = None,
        dry_run: bool = False,
        *,
        tck_khz: Optional[int] = None,
        max_readback: int = 512,
        max_size: int = abi.ORVDEV_SVF_DEFAULT_MAX_SIZE,
        max_seconds: float = abi.ORVDEV_SVF_DEFAULT_MAX_SECONDS,
    ) -> SvfSummary:
        """Plays an SVF file (a path, or the text itself) on this port, as
        ``orvtool jtag svf`` does; returns the :class:`SvfSummary`.

        The whole file is read and checked before anything is sent: a
        malformed one raises :class:`orv.InputFileError` with its line and
        column, one larger than `max_size` bytes or whose playing takes
        longer than `max_seconds` (0: no limit) :class:`orv.InputFileError`
        too. `tck_khz` (by default the port's) is the clock until the file
        sets one; it becomes the port's clock. `progress(done, total)` hears
        the bytes of the file played after each batch; returning ``False``
        stops playing (:class:`orv.Stopped`). With `dry_run` nothing is sent:
        the summary says what playing would send.

        A failed TDO check raises :class:`orv.SvfMismatch` (its line, column,
        expected, actual and mask). The TAPs are where the file left them:
        call :meth:`reset` before scans of your own when it may not end in
        Run-Test/Idle."""
        return self._play(
            path_or_text,
            False,
            progress,
            dry_run,
            tck_khz=tck_khz,
            max_readback=max_readback,
            max_size=max_size,
            max_seconds=max_seconds,
        )

    def play_xsvf(
        self,
        path_or_bytes: SvfSource,
        progress: Optional[Callable[[int, int], object]] = None,
        dry_run: bool = False,
        **limits: Any,
    ) -> SvfSummary:
        """As :meth:`play_svf`, for Xilinx's binary XSVF (a path, or its
        bytes). Places are byte offsets and command indexes: a malformed
        file's :class:`orv.InputFileError` and a failed check's
        :class:`orv.SvfMismatch` carry ``offset`` and ``index``. `limits` are
        the keyword arguments of :meth:`play_svf` (`tck_khz`, `max_readback`,
        `max_size`, `max_seconds`)."""
        return self._play(path_or_bytes, True, progress, dry_run, **limits)

    def _play(
        self,
        source: SvfSource,
        xsvf: bool,
        progress: Optional[Callable[[int, int], object]],
        dry_run: bool,
        *,
        tck_khz: Optional[int] = None,
        max_readback: int = 512,
        max_size: int = abi.ORVDEV_SVF_DEFAULT_MAX_SIZE,
        max_seconds: float = abi.ORVDEV_SVF_DEFAULT_MAX_SECONDS,
    ) -> SvfSummary:
        kind = "XSVF" if xsvf else "SVF"
        tck = self.tck_khz if tck_khz is None else integer("tck_khz", tck_khz, 1, 60000)
        integer("max_readback", max_readback, 1, abi.ORVDEV_SVF_MAX_READBACK)
        integer("max_size", max_size, 1, 2**63 - 1)
        if progress is not None and not callable(progress):
            raise TypeError(f"progress must be callable, not {type(progress).__name__}")
        data, name = _vector_file(source, xsvf, max_size)
        devices = self._adapter._libs.devices
        load = abi.SvfLoadOptions()
        devices.orvdev_svf_load_options_init(byref(load))
        load.format = abi.ORVDEV_SVF_FORMAT_XSVF if xsvf else abi.ORVDEV_SVF_FORMAT_SVF
        load.max_size = max_size
        load.max_seconds = float(max_seconds)
        load.tck_khz = tck
        program = c_void_p()
        info = abi.SvfInfo()
        where = abi.SvfInputError()
        report = abi.Report()
        buffer = _buffer(data)
        rc = devices.orvdev_svf_load(
            buffer, len(data), byref(load), byref(program), byref(info), byref(where), byref(report)
        )
        doing = f"checking the {kind} file" + (f" {name}" if name else "")
        if rc != 0:
            fields: dict[str, Any] = {"file": name}
            if rc == abi.ORVDEV_ERROR_BAD_INPUT:
                fields["reason"] = where.reason.decode("utf-8", "replace")
                if xsvf:
                    fields.update(offset=where.offset, index=where.command)
                else:
                    fields.update(line=where.line, column=where.column)
            error = make_error(rc, self._adapter._libs.error_text(rc), doing, report, **fields)
            if rc == abi.ORVDEV_ERROR_OUT_OF_RANGE:
                raise InputFileError(rc, error.text, doing, file=name)
            raise error
        try:
            return self._play_program(program, info, xsvf, progress, dry_run, tck, max_readback, name)
        finally:
            devices.orvdev_svf_free(program)

    def _play_program(
        self,
        program: c_void_p,
        info: abi.SvfInfo,
        xsvf: bool,
        progress: Optional[Callable[[int, int], object]],
        dry_run: bool,
        tck_khz: int,
        max_readback: int,
        name: Optional[str],
    ) -> SvfSummary:
        adapter = self._adapter
        devices = adapter._libs.devices
        options = abi.SvfPlayOptions()
        devices.orvdev_svf_play_options_init(byref(options))
        options.tck_khz = tck_khz
        options.max_readback = max_readback
        summary = abi.SvfSummary()
        what = ("XSVF" if xsvf else "SVF") + (f" file {name}" if name else "")
        if dry_run:
            report = abi.Report()
            rc = devices.orvdev_svf_dry_run(program, byref(options), byref(summary), byref(report))
            if rc != 0:
                raise make_error(rc, adapter._libs.error_text(rc), f"planning the {what}", report)
            return SvfSummary._from_c(summary, info, True)
        raised: list[BaseException] = []
        total = info.bytes

        def told(_user: object, _statements: int, done: int) -> int:
            try:
                answer = progress(done, total)  # type: ignore[misc]
            except BaseException as e:  # noqa: B902 - KeyboardInterrupt too: stop cleanly, raise it after
                raised.append(e)
                return abi.ORVDEV_STOP
            return abi.ORVDEV_STOP if answer is False else abi.ORVDEV_CONTINUE

        if progress is not None:
            callback = abi.SVF_PROGRESS_FN(told)
            options.progress = callback
        doing = f"playing the {what}"
        try:
            adapter._run("orvdev_svf_play", self._port, program, byref(options), byref(summary), doing=doing)
        except Mismatch as e:
            raise self._mismatch(program, e, SvfSummary._from_c(summary, info, False), xsvf) from None
        except Exception as e:
            if raised:
                raise raised[0] from e
            raise
        finally:
            # The TAPs are where the file left them: in Run-Test/Idle unless it said otherwise.
            self._state = TapState.RUN_TEST_IDLE
        return SvfSummary._from_c(summary, info, False)

    def _mismatch(self, program: c_void_p, error: Mismatch, summary: SvfSummary, xsvf: bool) -> SvfMismatch:
        m = abi.SvfMismatch()
        if self._adapter._libs.devices.orvdev_svf_get_mismatch(program, byref(m)) != 0:
            return SvfMismatch(error.code, error.text, error.doing, summary=summary)

        def value(part: abi.SvfScanPart, field: str) -> int:
            raw = ctypes.string_at(getattr(part, field), (part.bits + 7) // 8)
            return int.from_bytes(raw, "little")

        place = m.statement
        return SvfMismatch(
            error.code,
            error.text,
            error.doing,
            hint=error.hint,
            command=m.body.command.decode("ascii", "replace"),
            line=None if xsvf else place.line,
            column=None if xsvf else place.column,
            offset=place.offset,
            index=place.index,
            bits=m.body.bits,
            expected=value(m.body, "expected"),
            actual=value(m.body, "actual"),
            mask=value(m.body, "mask"),
            differing=m.header.differing + m.body.differing + m.trailer.differing,
            statements_played=m.statements_played,
            checks_passed=m.checks_passed,
            summary=summary,
        )

    def batch(self) -> "DrBatch":
        """A batch of DR scans sent in one bulk transfer."""
        return DrBatch(self)

    def _scanned_chain(self, doing: str, progress: Optional[Progress] = None) -> "ScannedChain":
        return ScannedChain(self, doing, progress)


def _close_chain(devices: ctypes.CDLL, handles: list[Optional[c_void_p]]) -> None:
    bscan_handle, jtag = handles
    if bscan_handle is not None:
        devices.orvdev_bscan_close(bscan_handle)
    if jtag is not None:
        devices.orvdev_jtag_close(jtag)


class ScannedChain:
    """What boundary scan (:mod:`orv.bscan`) works through: a device-library
    JTAG handle of its own on the port's adapter (so that another use of the
    adapter, such as a chain scan, tells the boundary registers that their
    holds are gone), the chain it scanned and, once opened, the
    boundary-scan handle over it; closed together, the boundary scan first.
    The port's TAP state follows what is done through it.

    Attributes:
        adapter: the port's adapter.
        chain: the chain as scanned (:class:`Chain`); c_chain: the same as
            the device library gave it.
    """

    def __init__(self, jtag: Jtag, doing: str, progress: Optional[Progress] = None) -> None:
        adapter = jtag._adapter
        self._jtag = jtag
        self.adapter = adapter
        options = abi.JtagOptions(jtag.tck_khz, *jtag.pins)
        handle = c_void_p()
        adapter._run("orvdev_jtag_open", adapter._session, byref(options), byref(handle), doing=doing)
        self._handles: list[Optional[c_void_p]] = [None, handle]
        devices = adapter._libs.devices
        handles = self._handles
        self._token: Optional[int] = adapter._own(self, lambda: _close_chain(devices, handles))
        try:
            chain = abi.Chain()
            adapter._run("orvdev_chain_scan", handle, byref(chain), doing=doing, progress=progress)
            jtag._state = TapState.RUN_TEST_IDLE
            self.c_chain = chain
            self.chain = Chain._from_c(chain)
        except BaseException:
            self.close()
            raise

    def open_bscan(self, tap_files: ctypes.Array, doing: str) -> None:
        """Opens the boundary-scan handle (``orvdev_bscan_open``) with a BSDL
        file handle (or NULL) per TAP."""
        bscan_handle = c_void_p()
        jtag = self._handles[1]
        chain = byref(self.c_chain)
        self.adapter._run("orvdev_bscan_open", jtag, chain, tap_files, byref(bscan_handle), doing=doing)
        self._handles[0] = bscan_handle

    @property
    def bscan(self) -> c_void_p:
        """The boundary-scan handle; ``ValueError`` once closed."""
        handle = self._handles[0]
        if self._token is None or handle is None:
            raise ValueError("the boundary scan is closed")
        return handle

    def run(self, function: str, *args: Any, doing: str, progress: Optional[Progress] = None) -> None:
        """Calls a device-library function on the adapter (its report goes
        last) and raises the exception its result names."""
        self.adapter._run(function, *args, doing=doing, progress=progress)

    def moved(self, state: TapState) -> None:
        """Where an operation left the TAPs, for the port's raw scans after it."""
        self._jtag._state = state

    @property
    def closed(self) -> bool:
        return self._token is None

    def close(self) -> None:
        if self._token is not None:
            token, self._token = self._token, None
            self.adapter._close_handle(token)


@dataclass(frozen=True)
class _Scan:
    raw: bytes
    bits: int
    as_int: bool
    capture: bool
    idle_clocks: int


class DrBatch:
    """DR scans collected, then sent in one bulk OUT transfer with one
    read-back for all captured bits::

        batch = jtag.batch()
        for word in words:
            batch.shift_dr(word, 32)
        status = batch.shift_dr(0, 32, capture=True)
        results = batch.send()   # [None, ..., captured int]

    The command sequences are built when :meth:`send` runs, starting from the
    port's TAP state at that moment; the scans stay in the batch, so it can
    be sent again.
    """

    def __init__(self, jtag: Jtag) -> None:
        self._jtag = jtag
        self._scans: list[_Scan] = []

    def __len__(self) -> int:
        return len(self._scans)

    def shift_dr(
        self, data: BitData, bits: Optional[int] = None, capture: bool = False, idle_clocks: int = 0
    ) -> int:
        """Adds one DR scan (arguments as :meth:`Jtag.shift_dr`); returns its
        index in the list :meth:`send` returns."""
        raw, bits, as_int = bit_data("data", data, bits, MAX_SCAN_BITS)
        integer("idle_clocks", idle_clocks, 0, MAX_IDLE_CLOCKS)
        self._scans.append(_Scan(raw, bits, as_int, bool(capture), idle_clocks))
        return len(self._scans) - 1

    def clear(self) -> None:
        self._scans.clear()

    def send(self) -> list[Union[bytes, int, None]]:
        """Sends every scan in one transfer and returns, per scan, its captured
        TDO or None. Nothing is sent for an empty batch."""
        if not self._scans:
            return []
        capture_bytes = sum(len(s.raw) for s in self._scans if s.capture)
        # Room for each sequence: its data bytes, 17 bytes of commands around
        # them, and 2 for each further 256-byte data command.
        room = sum(len(s.raw) + 17 + 2 * (len(s.raw) // 256 + 1) for s in self._scans)
        if room > MAX_SCAN_BITS or capture_bytes * 8 > MAX_SCAN_BITS:
            raise ValueError("the batch is too long for one transfer: split it")
        stream = (ctypes.c_uint8 * room)()
        jtag, adapter = self._jtag, self._jtag._adapter
        with jtag._held() as (libs, handle):
            state = c_int32(jtag._state)
            capacity = c_int32(room)
            written = c_int32(0)
            offset = 0
            for index, scan in enumerate(self._scans):
                rc = libs.tapwire.tapwire_build_shift_dr_cmd(
                    byref(state),
                    scan.bits,
                    _buffer(scan.raw),
                    scan.idle_clocks,
                    1 if scan.capture else 0,
                    ctypes.addressof(stream) + offset,
                    byref(capacity),
                    byref(written),
                )
                libs.check(rc, f"building DR scan {index} of the batch")
                offset += written.value
            adapter._bulk_out(stream, offset, f"sending a batch of {len(self._scans)} DR scans")
            tdo = (ctypes.c_uint8 * capture_bytes)()
            if capture_bytes:
                rc = libs.tapwire.tapwire_readback_tdo(handle, capture_bytes * 8, tdo, adapter.timeout_ms)
                libs.check(rc, f"reading back the batch's {capture_bytes} captured bytes")
            jtag._state = TapState(state.value)
        results: list[Union[bytes, int, None]] = []
        at = 0
        for scan in self._scans:
            if scan.capture:
                results.append(bits_out(bytes(tdo[at : at + len(scan.raw)]), scan.bits, scan.as_int))
                at += len(scan.raw)
            else:
                results.append(None)
        return results
