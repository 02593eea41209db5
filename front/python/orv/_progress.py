"""The session's progress callback, handed on to a Python callable."""

from __future__ import annotations

import inspect
from typing import Callable, Optional

from . import _devices as abi

Progress = Callable[..., object]


def _takes_stage(function: Progress) -> bool:
    try:
        parameters = inspect.signature(function).parameters.values()
    except (TypeError, ValueError):  # builtins without a signature
        return False
    return any(
        p.kind is p.VAR_KEYWORD or (p.name == "stage" and p.kind is not p.POSITIONAL_ONLY) for p in parameters
    )


class ProgressRelay:
    """Calls ``progress(done, total)`` (with ``stage=`` "read", "erase",
    "write", "verify", "check", "probe", "scan" when it takes that keyword)
    for each step of a long operation; each stage starts again from 0. A
    return of ``False`` stops the operation at its next safe point. An
    exception the callable raises stops it too, and is raised again once the
    library has returned (``error``)."""

    def __init__(self, progress: Progress) -> None:
        if not callable(progress):
            raise TypeError(f"progress must be callable, not {type(progress).__name__}")
        self._progress = progress
        self._stage = _takes_stage(progress)
        self.error: Optional[BaseException] = None
        self.callback = abi.PROGRESS_FN(self._call)

    def _call(self, _user: object, stage: bytes, done: int, total: int, _unit: int) -> int:
        try:
            if self._stage:
                answer = self._progress(done, total, stage=stage.decode("ascii", "replace"))
            else:
                answer = self._progress(done, total)
        except BaseException as e:  # noqa: B902 - KeyboardInterrupt too: stop cleanly, raise it after
            self.error = e
            return abi.ORVDEV_STOP
        return abi.ORVDEV_STOP if answer is False else abi.ORVDEV_CONTINUE
