"""orvtool's multi-step commands through faults of the virtual adapter, and
the next run after them. Runs under one orvsim-run, so the adapter (and what
its read-back still holds) outlives each orvtool run:

    orvsim-run --control -- python3 -m pytest tests/cli/test_fault_recovery.py

with ORVTOOL naming the program. Each command is run once without a fault to
count its transfers and keep its output, once with a fault scheduled late
among them, and once more without: the failed run must say what it had done
and where it stopped, and the run after it must give the first run's output.
"""

import json
import os
import re
import subprocess
from pathlib import Path

import pytest
from orv.simcontrol import COUNT_IN, DATA_IN
from orv.simcontrol import SimControl as Sim

ORVTOOL = os.environ.get("ORVTOOL", "orvtool")
USB = ["--usb", "1209:4f52"]


@pytest.fixture(scope="session")
def sim() -> Sim:
    channel = os.environ.get("ORVSIM_CONTROL")
    if not channel:
        pytest.exit("run under: orvsim-run --control -- python3 -m pytest tests/cli/test_fault_recovery.py", 2)
    return Sim(channel)


def orvtool(*args: str, timeout_ms: int = 1000) -> subprocess.CompletedProcess:
    return subprocess.run([ORVTOOL, *USB, "--timeout", str(timeout_ms), *args], capture_output=True,
                          timeout=120, check=False)


def transfers(sim: Sim, *args: str, **kwargs) -> tuple[subprocess.CompletedProcess, dict[int, int]]:
    before = sim.counts()
    run = orvtool(*args, **kwargs)
    after = sim.counts()
    return run, {ep: after[ep] - before[ep] for ep in after}


@pytest.fixture(scope="session")
def files(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("data")
    (path / "page.bin").write_bytes(bytes((i * 37 + 11) & 0xFF for i in range(1024)))
    (path / "small.bin").write_bytes(bytes(range(16)))
    (path / "block.bin").write_bytes(bytes((i * 101 + 7) & 0xFF for i in range(512)))
    return path


# A 16-byte write into an erased sector, without verify: no erase, one page
# program. Its data reads: the JEDEC id first, and last the status read that
# checks the write enable latch, two status reads while the flash is busy (on
# the virtual flash) and the one that finds it ready. Before orvtool emptied
# the read-back, the next run's read returned the tail of the JEDEC id and
# then the flash (a fault on the id), or the status byte and a flash still
# busy, with exit status 0.
@pytest.mark.parametrize("data_read, left", [("id", 11), ("busy", 1), ("ready", 1)])
def test_a_failed_write_leaves_nothing_for_the_next_run(sim: Sim, files: Path, tmp_path: Path, data_read: str,
                                                        left: int):
    block = files / "block.bin"
    assert orvtool("spi", "write", "0x800", str(block)).returncode == 0
    erase = ("spi", "erase", "--sector", "0x1000")
    write = ("spi", "write", "0x1000", str(files / "small.bin"), "--no-verify")
    assert orvtool(*erase).returncode == 0
    run, counts = transfers(sim, *write)
    assert run.returncode == 0, run.stderr
    assert b"programmed: 1 page" in run.stdout, run.stdout
    after = {"id": 0, "busy": counts[DATA_IN] - 3, "ready": counts[DATA_IN] - 1}[data_read]
    assert orvtool(*erase).returncode == 0
    sim.fault("stall", DATA_IN, 1, after)
    run = orvtool(*write)
    sim.clear()
    assert run.returncode == 1
    thrown = f"emptied the adapter's read-back after the failure ({left} byte{'s' if left > 1 else ''} thrown away)"
    assert thrown.encode() in run.stderr, run.stderr
    if data_read != "id":
        assert b"done: programmed 0 of 16 bytes (0 of 1 page) from 0x001000, stopped at 0x001000" in run.stderr
    out = tmp_path / "back.bin"
    run = orvtool("spi", "read", "0x800", "512", "-o", str(out))
    assert run.returncode == 0, run.stderr
    assert out.read_bytes() == block.read_bytes()


def test_bytes_left_by_an_earlier_failure_are_thrown_away_at_open(sim: Sim, tmp_path: Path):
    run, counts = transfers(sim, "spi", "id")
    reference = run.stdout
    # Unplugged right after the OUT transfer of the JEDEC read: the purge after
    # the failure cannot reach the adapter either, so the bytes stay.
    sim.fault("unplugged", COUNT_IN, -1, counts[COUNT_IN] - 1)
    run = orvtool("spi", "id")
    sim.clear()
    assert run.returncode == 1
    assert b"could not empty the adapter's read-back after the failure" in run.stderr
    run = orvtool("spi", "id")
    assert run.returncode == 0, run.stderr
    assert re.search(rb"threw away \d+ bytes of read-back that the adapter still held", run.stderr)
    assert run.stdout == reference


# Each fault as the virtual device makes it: kind, endpoint, transfers it
# stays for (-1: until cleared), and the --timeout to run with.
FAULTS = {
    "unplug_before_readback": ("unplugged", COUNT_IN, -1, 1000),
    "stall_on_data_read": ("stall", DATA_IN, 1, 1000),
    "count_past_expected": ("overcount", COUNT_IN, -1, 5),
    "data_past_count": ("overflow", DATA_IN, 1, 1000),
    "adapter_stops_answering": ("timeout", 0, -1, 5),
}

# Multi-step commands: the command, and what its "done" report counts.
COMMANDS = {
    "spi_read": (("spi", "read", "0", "2048"), r"read \d+ of 2048 bytes from 0x000000, stopped at 0x[0-9a-f]{6}"),
    # The flash holds the page already (the first run wrote it): the write
    # reads the block around it, finds nothing to change and stops there.
    "spi_write": (("spi", "write", "0x10000", "{page}"), r"read \d+ of 4096 bytes from 0x010000"),
    "spi_erase": (("spi", "erase", "--sector", "0x20000", "--count", "4"),
                  r"erased 4 of 4 blocks from 0x020000\n  done: read back \d+ of 16384 bytes from 0x020000, "
                  r"stopped at 0x02[0-3][0-9a-f]{3}"),
    "i2c_dump": (("i2c", "dump", "0x50"), r"read \d+ of 256 bytes from 0x00, stopped at 0x[0-9a-f]{2}"),
    "i2c_detect": (("i2c", "detect"), r"probed \d+ of 112 addresses \(\d devices found\) from 0x08, "
                                      r"stopped at 0x[0-9a-f]{2}"),
    "jtag_scan": (("jtag", "scan"), r"(measured 10 IR bits|counted 2 devices)"),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("command", COMMANDS)
def test_fault_halfway_then_the_next_run_gives_the_truth(sim: Sim, files: Path, command: str, fault: str):
    args, done = COMMANDS[command]
    args = tuple(a.format(page=files / "page.bin") for a in args)
    kind, endpoint, count, timeout_ms = FAULTS[fault]
    assert orvtool(*args).returncode == 0  # the flash as the command leaves it
    reference, counts = transfers(sim, "--json", *args)
    assert reference.returncode == 0, reference.stderr
    on_endpoint = counts[endpoint] if endpoint else sum(counts.values())
    # Late in the run, where the command's own transfers are (the set-up's,
    # such as reading the flash's SFDP table, come first).
    sim.fault(kind, endpoint, count, on_endpoint - max(1, on_endpoint // 8))
    failed = orvtool("--json", *args, timeout_ms=timeout_ms)
    sim.clear()
    assert failed.returncode == 1, failed.stderr
    assert b"orvtool: " in failed.stderr
    report = json.loads(failed.stdout)
    assert report["exit"] == 1
    # jtag scan reports what it measured only once a step has measured something.
    if command != "jtag_scan" or report["done"]:
        text = failed.stderr.decode()
        assert re.search(r"  done: " + done, text), text
        first = report["done"][0]
        for unit in ("bytes", "sectors", "addresses"):
            if unit in first and first.get("stopped_at") is not None and unit != "addresses":
                step = 4096 if unit == "sectors" else 1
                assert first["stopped_at"] == first["from"] + first[unit] * step
            if f"{unit}_total" in first:
                assert first[unit] <= first[f"{unit}_total"]
    again = orvtool("--json", *args)
    assert again.returncode == 0, again.stderr
    assert json.loads(again.stdout) == json.loads(reference.stdout)
