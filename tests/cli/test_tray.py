"""orvtool --each on a tray of four virtual adapters, through the real libusb:

    orvsim-run --adapters 4 --control -- python3 -m pytest tests/cli/test_tray.py

with ORVTOOL naming the program. Adapter 1 is unplugged in the middle of a
write and adapter 2 has a stalled endpoint; adapters 0 and 3 must finish as
if they were alone, and every adapter's outcome is its own.
"""

import json
import os
import signal
import subprocess
from pathlib import Path

import pytest
from orv.simcontrol import COMMAND_OUT, COUNT_IN, DATA_IN
from orv.simcontrol import SimControl as Sim

ORVTOOL = os.environ.get("ORVTOOL", "orvtool")
SERIALS = ("ORVSIM0000", "ORVSIM0001", "ORVSIM0002", "ORVSIM0003")
PORTS = ("1-1", "1-2", "1-3", "1-4")
IMAGE = bytes((i * 131 + 17) & 0xFF for i in range(64 * 1024))


@pytest.fixture(scope="session")
def sim() -> Sim:
    return Sim.from_environment()  # orvsim-run --control's channel


@pytest.fixture(autouse=True)
def clean(sim: Sim):
    yield
    for index in range(4):
        sim.fault("none", index=index)
        sim.drain(index)


def orvtool(*args: str, cwd: Path = None) -> subprocess.CompletedProcess:
    return subprocess.run([ORVTOOL, *args], capture_output=True, text=True, timeout=240, check=False, cwd=cwd)


def json_lines(text: str) -> tuple[list[dict], dict]:
    """Every line a JSON object: one per adapter, then the summary."""
    objects = [json.loads(line) for line in text.splitlines()]
    assert objects and list(objects[-1]) == ["summary"], text
    return objects[:-1], objects[-1]["summary"]


def all_counts(sim: Sim) -> list[dict[int, int]]:
    return [sim.counts(index) for index in range(4)]


def test_a_tray_with_an_unplugged_and_a_stalled_adapter(sim: Sim, tmp_path: Path):
    image = tmp_path / "image.bin"
    image.write_bytes(IMAGE)
    # Adapter 1 goes away in the middle of the write: 40 command transfers
    # after those of reading the range, which the write does first; adapter
    # 2's read-back endpoint stalls from its first read.
    before = sim.counts(1)[COMMAND_OUT]
    assert orvtool("--usb", SERIALS[1], "spi", "read", "0", str(len(IMAGE)), "-o", str(tmp_path / "old.bin")).returncode == 0
    reading = sim.counts(1)[COMMAND_OUT] - before
    sim.fault("unplugged", COMMAND_OUT, -1, reading + 40, index=1)
    sim.fault("stall", DATA_IN, -1, 0, index=2)
    run = orvtool("--timeout", "300", "--each", "--json", "spi", "write", "0", str(image))
    adapters, summary = json_lines(run.stdout)
    by_serial = {a["serial"]: a for a in adapters}
    assert sorted(by_serial) == list(SERIALS), run.stdout
    for index in (0, 3):
        a = by_serial[SERIALS[index]]
        assert (a["path"], a["exit"], a["error"]) == (PORTS[index], 0, None), a
        assert a["result"]["verified"] is True and a["result"]["verified_bytes"] == len(IMAGE), a
    unplugged, stalled = by_serial[SERIALS[1]], by_serial[SERIALS[2]]
    assert unplugged["exit"] == 1 and unplugged["result"] is None and "no such device" in unplugged["error"]["error"]
    programmed = [step for step in unplugged["error"]["done"] if step["action"] == "programmed"]
    assert programmed and 0 < programmed[0]["pages"] < programmed[0]["pages_total"], unplugged
    assert stalled["exit"] == 1 and stalled["result"] is None and stalled["error"]["error"], stalled
    status = max(unplugged["exit"], stalled["exit"])
    assert run.returncode == status
    assert summary["adapters"] == 4 and summary["ok"] == 2 and summary["exit"] == status
    assert sorted(f["serial"] for f in summary["failed"]) == [SERIALS[1], SERIALS[2]]
    assert f"2 of 4 adapters failed: " in run.stderr and SERIALS[1] in run.stderr and SERIALS[2] in run.stderr
    # Each adapter's notes carry its name.
    assert f"orvtool: {SERIALS[1]} {PORTS[1]}: reading the status register: usb no such device" in run.stderr

    # The two good adapters hold the image, read back by each on its own
    # into a file named for it.
    sim.fault("none", index=1)
    sim.fault("none", index=2)
    read = orvtool("--each", "--usb", SERIALS[0], "--usb", SERIALS[3], "spi", "read", "0", str(len(IMAGE)),
                   "-o", str(tmp_path / "dump-%s.bin"))
    assert read.returncode == 0, read.stderr
    for index in (0, 3):
        assert (tmp_path / f"dump-{SERIALS[index]}.bin").read_bytes() == IMAGE
    assert not (tmp_path / f"dump-{SERIALS[1]}.bin").exists()
    # Text: one line per adapter as it finishes, then the table.
    lines = read.stdout.splitlines()
    assert sorted(line.split(": ok, ")[0] for line in lines[:2]) == [f"{SERIALS[i]} {PORTS[i]}" for i in (0, 3)]
    table = sorted(tuple(line.split()[:3]) for line in lines[2:] if line.startswith("ORVSIM"))
    assert table == [(SERIALS[i], PORTS[i], "0") for i in (0, 3)], read.stdout


def test_a_missing_adapter_fails_alone_with_exit_3(sim: Sim):
    run = orvtool("--each", "--json", "--usb", SERIALS[2], "--usb", "ORVSIM9999", "spi", "id")
    adapters, summary = json_lines(run.stdout)
    exits = {a["serial"]: a["exit"] for a in adapters}
    assert exits == {SERIALS[2]: 0, "ORVSIM9999": 3}, run.stdout
    assert run.returncode == 3 and summary["ok"] == 1
    assert [a["result"]["jedec_id"] for a in adapters if a["exit"] == 0] != [None]


@pytest.mark.parametrize(
    "args, says",
    [
        (["spi", "read", "0", "16", "-o", "-"], "--output - cannot go with --each"),
        (["spi", "read", "0", "16", "-o", "same.bin"], "every adapter would write the same file"),
        (["serve"], "cannot run with --each"),
        (["jtag", "set", "--hold", "tms=1"], "cannot run with --each"),
        (["--usb", SERIALS[0], "--usb", "1209"], None),
    ],
)
def test_what_cannot_run_on_each_is_refused_before_any_adapter_is_touched(sim: Sim, tmp_path: Path, args, says):
    before = all_counts(sim)
    run = orvtool("--each", *args, cwd=tmp_path) if says else orvtool(*args[:4], "spi", "id")
    after = all_counts(sim)
    assert run.returncode == 2, (run.stdout, run.stderr)
    assert says is None or says in run.stderr, run.stderr
    assert "given 2 times" in run.stderr or says is not None
    assert before == after
    assert list(tmp_path.iterdir()) == []


def test_ctrl_c_stops_every_adapter_and_reports_each(sim: Sim, tmp_path: Path):
    image = tmp_path / "image.bin"
    image.write_bytes(bytes(range(256)) * (2048 * 4))  # 2 MiB: seconds on every virtual adapter
    with subprocess.Popen([ORVTOOL, "--each", "--json", "spi", "write", "0", str(image)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        # Wait until every adapter is at work: its command transfers grow.
        start = all_counts(sim)
        while any(sim.counts(i)[COMMAND_OUT] - start[i][COMMAND_OUT] < 20 for i in range(4)):
            assert proc.poll() is None, proc.stderr.read()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    adapters, summary = json_lines(out)
    assert sorted(a["serial"] for a in adapters) == list(SERIALS)
    assert all(a["exit"] != 0 and a["error"] for a in adapters), out
    assert summary["ok"] == 0 and proc.returncode == 128 + signal.SIGINT, err
    # Every adapter works again at once.
    run = orvtool("--each", "spi", "id")
    assert run.returncode == 0, run.stderr
    assert sum(1 for line in run.stdout.splitlines() if ": ok" in line) == 4
