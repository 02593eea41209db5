"""The control channel of ``orvsim-run --control``: the bulk URBs each virtual
adapter's endpoints received, faults scheduled on them, and the read-back
bytes an adapter still holds. For tests and benchmarks that run under
orvsim-run; it needs none of the shared libraries.

    orvsim-run --control -- python3 my_test.py

orvsim-run gives the program the channel as ``ORVSIM_CONTROL="W,R"``: the
file descriptor requests go to and the one answers come from, one line each.
"""

import os

COMMAND_OUT, DATA_IN, COUNT_IN = 0x02, 0x81, 0x83


class SimControl:
    """Requests to orvsim-run over its control channel."""

    def __init__(self, channel: str) -> None:
        write_fd, read_fd = (int(fd) for fd in channel.split(","))
        self._write_fd = write_fd
        self._answers = os.fdopen(read_fd, "r")

    @classmethod
    def from_environment(cls) -> "SimControl":
        """The channel orvsim-run --control gave this process."""
        channel = os.environ.get("ORVSIM_CONTROL")
        if not channel:
            raise RuntimeError("no ORVSIM_CONTROL: run under orvsim-run --control -- PROGRAM")
        return cls(channel)

    def _ask(self, request: str) -> list[str]:
        os.write(self._write_fd, (request + "\n").encode())
        words = self._answers.readline().split()
        if not words or words[0] != "ok":
            raise RuntimeError(f"orvsim-run refused {request!r}: {' '.join(words)}")
        return words[1:]

    def counts(self, index: int = 0) -> dict[int, int]:
        """Bulk URBs each endpoint of adapter `index` has received so far."""
        found = {}
        for entry in self._ask("counts"):
            where, n = entry.split("=")
            adapter, endpoint = where.split(":")
            if int(adapter) == index:
                found[int(endpoint, 16)] = int(n)
        return found

    def fault(self, kind: str, endpoint: int = 0, count: int = -1, after: int = 0, index: int = 0) -> None:
        """After `after` URBs on `endpoint` (0: any), `count` URBs (-1: until
        cleared) fail as `kind`: none, unplugged, stall, timeout, short,
        never-fill, overcount or overflow."""
        self._ask(f"fault {index} {kind} {endpoint:#x} {count} {after}")

    def clear(self, index: int = 0) -> None:
        """No fault any more."""
        self.fault("none", index=index)

    def drain(self, index: int = 0) -> int:
        """Throws away the read-back bytes the adapter still holds; how many."""
        return int(self._ask(f"drain {index}")[0])


def urb_delta(before: dict[int, int], after: dict[int, int]) -> dict[str, int]:
    """OUT transfers, count polls and data reads between two counts()."""
    return {"out": after[COMMAND_OUT] - before[COMMAND_OUT], "polls": after[COUNT_IN] - before[COUNT_IN],
            "data_reads": after[DATA_IN] - before[DATA_IN]}
