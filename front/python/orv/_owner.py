"""What a port (JTAG, SPI, I2C, boundary scan) needs of the adapter that
opened it, and what boundary scan needs of the JTAG port's scanned chain:
the ports are typed against these, so that they depend on no module above
them (:class:`orv.Adapter` opens the ports; the ports do not know it)."""

from __future__ import annotations

import ctypes
from contextlib import AbstractContextManager
from ctypes import c_void_p
from typing import TYPE_CHECKING, Any, Callable, Optional, Protocol

if TYPE_CHECKING:
    from . import _lib
    from ._progress import Progress
    from ._tap import Chain, TapState


class PortOwner(Protocol):
    """The adapter as its ports use it: its libraries and session, the time
    limit of a transfer, and the calls that hold it for one operation."""

    _libs: _lib.Libraries
    _session: c_void_p
    timeout_ms: int

    @property
    def closed(self) -> bool: ...

    def _check_open(self) -> None: ...

    def _raw(
        self, claim: str, port: c_void_p, which: str
    ) -> AbstractContextManager[tuple[_lib.Libraries, c_void_p]]: ...

    def _run(
        self, function: str, *args: Any, doing: str, progress: Optional[Progress] = None, **error_fields: Any
    ) -> None: ...

    def _open_handle(
        self, kind: str, options: ctypes.Structure, owner: object, doing: str
    ) -> tuple[int, c_void_p]: ...

    def _own(self, owner: object, close: Callable[[], None]) -> int: ...

    def _close_handle(self, token: int) -> None: ...

    def _bulk_out(self, data: ctypes.Array, length: int, doing: str) -> None: ...


class ScannedChainLike(Protocol):
    """A JTAG handle of its own with the chain it scanned, as boundary scan
    works through it (:class:`orv.jtag.ScannedChain`)."""

    adapter: PortOwner
    chain: Chain
    c_chain: Any
    _jtag: Any  # the JTAG port: its clock

    @property
    def bscan(self) -> c_void_p: ...

    @property
    def closed(self) -> bool: ...

    def open_bscan(self, tap_files: ctypes.Array, doing: str) -> None: ...

    def run(self, function: str, *args: Any, doing: str, progress: Optional[Progress] = None) -> None: ...

    def moved(self, state: TapState) -> None: ...

    def close(self) -> None: ...
