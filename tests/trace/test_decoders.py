"""sigrok's protocol decoders read orvtool's waveforms as the operations
orvtool meant.

Each operation runs on orvtool's virtual adapter with --trace and --json;
sigrok-cli (Debian's, with its jtag, spi, spiflash, i2c and eeprom24xx
decoders) decodes the VCD, and what the decoder found is compared with what
orvtool sent and got back. Every operation is traced twice: from the virtual
board (the emulator's own trace) and reconstructed on the host from the
session's transfers (ORVTOOL_TRACE_FROM_HOST=1, the emulator's trace off), as
it is on a real adapter. The checks only look at what orvtool sent or
sampled, so both traces must pass them; and wherever the host's trace knows
a level, it must be the board's.

    ORVTOOL=build/bin/orvtool python3 -m pytest tests/trace/test_decoders.py
"""

import functools
import json
import os
import random
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

ORVTOOL = os.environ.get("ORVTOOL", "orvtool")
SIGROK_CLI = os.environ.get("SIGROK_CLI", "sigrok-cli")
SOURCES = ("board", "host")

JTAG = "jtag:tck=tck:tms=tms:tdi=tdi:tdo=tdo:trst=trst"
SPI = "spi:clk=sck:mosi=mosi:miso=miso:cs=cs"
SPIFLASH = "spiflash:chip=winbond_w25q80dv"
I2C = "i2c:scl=scl:sda=sda"

# The default board's chain, TDO first: TAP0 (IR 4, IDCODE 0xE), TAP1 (IR 6,
# BYPASS 0x3F).
IDCODES = (0x4BA00477, 0x03727093)

FLASH_IMAGE = bytes(random.Random(24).randrange(256) for _ in range(4096))
EEPROM_IMAGE = bytes((i * 7 + 3) & 0xFF for i in range(256))


# ---- running orvtool and the decoders ---------------------------------------


@dataclass
class Run:
    result: dict
    vcd: Path
    returncode: int


@pytest.fixture(scope="module")
def work(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("trace")
    (path / "flash.bin").write_bytes(FLASH_IMAGE)
    (path / "eeprom.bin").write_bytes(EEPROM_IMAGE)
    board = {
        "jtag": [
            {"idcode": hex(IDCODES[0]), "ir_length": 4,
             "instructions": {"IDCODE": "0xe", "USER": "0x8", "BYPASS": "0xf"}},
            {"idcode": hex(IDCODES[1]), "ir_length": 6,
             "instructions": {"IDCODE": "0x09", "USER": "0x02", "BYPASS": "0x3f"}},
        ],
        # A small first erase size: a write reads no more than it.
        "spi_flash": {"jedec_id": "ef4016", "size": 4194304, "sfdp": True, "image": "flash.bin",
                      "erase": {"0x20": 512, "0xd8": 65536}},
        "i2c": [
            {"address": "0x50", "type": "eeprom", "size": 256, "image": "eeprom.bin"},
            {"address": "0x68", "type": "registers", "reset": {"0x75": "0x68"}, "read_only": ["0x75"]},
            {"address": "0x2a5", "ten_bit": True, "type": "memory", "size": 256},
        ],
    }
    (path / "board.json").write_text(json.dumps(board))
    return path


def orvtool(work: Path, source: str, *args: str) -> tuple[subprocess.Popen, Path]:
    """Starts one orvtool run on its own virtual adapter, traced."""
    name = "-".join(a.strip("-").replace("/", "_") for a in args if not a.startswith("/"))[:80]
    vcd = work / f"{name}.{source}.vcd"
    env = dict(os.environ)
    env["ORVTOOL_TRACE_FROM_HOST"] = "1" if source == "host" else "0"
    command = [ORVTOOL, "--sim", "--board", str(work / "board.json"), "--json", "--trace", str(vcd), *args]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env), vcd


@dataclass
class Annotation:
    time: float  # microseconds
    text: str


def decode(vcd: Path, *decoders: str) -> dict[str, list[Annotation]]:
    """The annotations of the stacked decoders, by row name, in time order."""
    run = subprocess.run([SIGROK_CLI, "-I", "vcd", "-i", str(vcd), "-P", ",".join(decoders),
                          "--protocol-decoder-jsontrace"], capture_output=True, text=True, timeout=120,
                         check=True)
    rows: dict[str, list[Annotation]] = {}
    if not run.stdout.strip():
        return rows  # nothing decoded: sigrok-cli prints nothing at all
    # Data annotations may carry raw control characters.
    for event in json.loads(run.stdout, strict=False)["traceEvents"]:
        if event["ph"] == "B":
            rows.setdefault(event["tid"], []).append(Annotation(event["ts"], event["name"]))
    for annotations in rows.values():
        annotations.sort(key=lambda a: a.time)
    return rows


def texts(rows: dict[str, list[Annotation]], row: str) -> list[str]:
    return [a.text for a in rows.get(row, [])]


# ---- the VCD itself ---------------------------------------------------------


def read_vcd(path: Path) -> tuple[list[str], dict[str, list[tuple[int, str]]]]:
    """The header's $comment texts and each signal's changes (time, level)."""
    comments, names, changes = [], {}, {}
    now = 0
    body = False
    for line in path.read_text().splitlines():
        if not body:
            words = line.split()
            if words[:1] == ["$comment"]:
                comments.append(" ".join(words[1:-1]))
            elif words[:1] == ["$var"]:
                names[words[3]] = words[4]
                changes[words[4]] = []
            elif words[:1] == ["$enddefinitions"]:
                body = True
        elif line.startswith("#"):
            now = int(line[1:])
        elif line[:1] in "01xz" and line[1:] in names:
            changes[names[line[1:]]].append((now, line[0]))
    return comments, changes


def level_at(changes: list[tuple[int, str]], time: int) -> str:
    level = "x"
    for at, value in changes:
        if at > time:
            break
        level = value
    return level


# What a real adapter drives: the host's trace knows these exactly once the
# stream has set them.
OUTPUTS = ("tck", "tms", "tdi", "trst", "sck", "mosi", "cs", "scl", "sda_adapter")


def check_host_within_board(host: Path, board: Path) -> None:
    """Every level the host's reconstruction shows is the board's, and once
    the stream has set an output, the host knows it from then on."""
    _, host_changes = read_vcd(host)
    _, board_changes = read_vcd(board)
    assert host_changes.keys() == board_changes.keys()
    for name, hosts in host_changes.items():
        boards = board_changes[name]
        h = b = 0
        host_level = board_level = "x"
        known = False
        for time in sorted({t for t, _ in hosts} | {t for t, _ in boards}):
            while h < len(hosts) and hosts[h][0] <= time:
                host_level = hosts[h][1]
                h += 1
            while b < len(boards) and boards[b][0] <= time:
                board_level = boards[b][1]
                b += 1
            if host_level != "x":
                assert host_level == board_level, f"{name} at {time} ns"
                known = True
            else:
                assert not (known and name in OUTPUTS), f"{name} unknown again at {time} ns"


@functools.cache
def traced(work: Path, *args: str, ok: bool = True) -> dict[str, Run]:
    """The operation traced from both sources; the host's trace checked
    against the board's."""
    started = {source: orvtool(work, source, *args) for source in SOURCES}  # each on its own adapter
    runs = {}
    for source, (process, vcd) in started.items():
        out, err = process.communicate(timeout=120)
        assert (process.returncode == 0) == ok, err
        runs[source] = Run(json.loads(out), vcd, process.returncode)
    traces = {source: run.result.pop("trace", None) for source, run in runs.items()}
    for run in runs.values():
        run.result.pop("seconds", None)  # the host's time, not the bus's
    assert runs["host"].result == runs["board"].result
    if ok:
        # One time model: the same stream takes the same bus time.
        assert traces["host"]["duration_ns"] == traces["board"]["duration_ns"] > 0
    check_host_within_board(runs["host"].vcd, runs["board"].vcd)
    return runs


def test_trace_headers(work: Path) -> None:
    runs = traced(work, "i2c", "read", "0x68", "0x75", "1")
    board_comments, board = read_vcd(runs["board"].vcd)
    host_comments, _ = read_vcd(runs["host"].vcd)
    assert list(board) == ["tck", "tms", "tdi", "tdo", "trst", "sck", "mosi", "miso", "cs", "scl", "sda",
                           "sda_adapter", "sda_device"]
    assert any(c.startswith("board: ") and c.endswith("board.json") for c in board_comments)
    assert any("reconstructed on the host" in c for c in host_comments)
    assert all(any(c.startswith("command: ") and "i2c read 0x68 0x75 1" in c for c in comments)
               for comments in (board_comments, host_comments))


# ---- JTAG -------------------------------------------------------------------


def scans(rows: dict[str, list[Annotation]], register: str, line: str) -> list[tuple[int, int]]:
    """(length, value) of each IR or DR scan the decoder reports on TDI or
    TDO: "DR TDI: 0101... (0x5), 4 bits"; bit 0 is the first shifted."""
    found = []
    for text in texts(rows, f"Bitstring ({line})"):
        if text.startswith(f"{register} {line}: "):
            bits = text.split(": ", 1)[1].split(" ", 1)[0]
            found.append((len(bits), int(bits, 2)))
    return found


def ends_in_idle(rows: dict[str, list[Annotation]], vcd: Path) -> bool:
    """The TAPs end in Run-Test/Idle. The decoder names a state when the
    next rising edge leaves it, so the last state it names is the one the
    last edge left: an Update state, left with TMS low."""
    _, changes = read_vcd(vcd)
    last_rise = max(t for t, v in changes["tck"] if v == "1")
    return texts(rows, "States")[-1] in ("UPDATE-DR", "UPDATE-IR") and level_at(changes["tms"], last_rise) == "0"


@pytest.mark.parametrize("source", SOURCES)
def test_jtag_scan(work: Path, source: str) -> None:
    run = traced(work, "jtag", "scan")[source]
    ids = [d["idcode"] for d in run.result["devices"]]
    assert ids == list(IDCODES)
    rows = decode(run.vcd, JTAG)
    # The IDCODEs come out in one DR scan, TAP0's first.
    assert (64, ids[0] | ids[1] << 32) in scans(rows, "DR", "TDO")
    assert {"SHIFT-IR", "SHIFT-DR", "TEST-LOGIC-RESET"} <= set(texts(rows, "States"))
    assert ends_in_idle(rows, run.vcd)


# IR scans of the whole chain and DR scans with TAP0's IDCODE (32 bits) and
# TAP1's BYPASS (1 bit) selected, at lengths around the byte boundaries.
@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("register,length,value", [
    ("ir", 10, 0x3FE), ("ir", 17, 0x1ABCD), ("dr", 1, 1), ("dr", 9, 0x1C3), ("dr", 70, 0x2F0F0F0F0F0F0F0F0F)])
def test_jtag_ir_dr(work: Path, source: str, register: str, length: int, value: int) -> None:
    args = ["jtag", register, "--len", str(length), hex(value)]
    if register == "dr":
        args[2:2] = ["--ir-len", "10", "--ir", "0x3fe"]
    run = traced(work, *args)[source]
    tdo = int(run.result["tdo"], 16)
    rows = decode(run.vcd, JTAG)
    reg = register.upper()
    assert scans(rows, reg, "TDI")[-1] == (length, value)
    assert scans(rows, reg, "TDO")[-1] == (length, tdo)
    if register == "dr":
        # TAP0's IDCODE first, then TAP1's BYPASS bit, then the bits shifted in.
        expected = (IDCODES[0] | value << 33) & ((1 << length) - 1)
        assert tdo == expected
        assert scans(rows, "IR", "TDI")[-1] == (10, 0x3FE)
    assert ends_in_idle(rows, run.vcd)


SVF = """\
! Scans of every length class through the whole chain, a TRST pulse, a scan
! left in Pause-DR and resumed, and idle clocks.
TRST ON;
TRST OFF;
ENDIR IDLE;
ENDDR IDLE;
STATE RESET;
STATE IDLE;
SDR 64 TDI (0) TDO (037270934BA00477) MASK (FFFFFFFFFFFFFFFF);
SIR 10 TDI (3FF) TDO (011) MASK (3FF);
SIR 10 TDI (3F8);
SDR 33 TDI (0CAFEF00D);
SDR 33 TDI (012345678) TDO (0CAFEF00D) MASK (1FFFFFFFF);
RUNTEST 20 TCK;
ENDDR DRPAUSE;
SDR 33 TDI (1A5A5A5A5);
ENDDR IDLE;
SDR 33 TDI (0) TDO (1A5A5A5A5) MASK (1FFFFFFFF);
SIR 10 TDI (3FE);
SDR 1 TDI (1);
STATE RESET;
"""


@dataclass
class Scan:
    """A scan as the decoder reports it: length, TDI and TDO with the bits
    that count."""
    length: int
    tdi: int
    tdi_mask: int
    tdo: int
    tdo_mask: int

    def then(self, other: "Scan") -> "Scan":
        """This scan left in Pause and `other` resuming it: sigrok's decoder
        reports the two as one, with the clock that left Exit1 for Pause
        counted as a bit between them (a bit we do not check)."""
        at = self.length + 1
        return Scan(at + other.length, self.tdi | other.tdi << at, self.tdi_mask | other.tdi_mask << at,
                    self.tdo | other.tdo << at, self.tdo_mask | other.tdo_mask << at)


def svf_scans(text: str) -> dict[str, list[Scan]]:
    """The IR and DR scans of an SVF file (full-chain SIR and SDR, ENDIR and
    ENDDR) as the decoder reports them."""
    found: dict[str, list[Scan]] = {"IR": [], "DR": []}
    paused = {"IR": False, "DR": False}
    for statement in text.split(";"):
        words = " ".join(line.split("!")[0] for line in statement.splitlines()).replace("(", " ").replace(
            ")", " ").split()
        if words[:1] in (["ENDIR"], ["ENDDR"]):
            paused[words[0][-2:]] = words[1].endswith("PAUSE")
        if words[:1] not in (["SIR"], ["SDR"]):
            continue
        register, length = words[0][1:], int(words[1])
        fields = dict(zip(words[2::2], (int(w, 16) for w in words[3::2])))
        full = (1 << length) - 1
        scan = Scan(length, fields["TDI"], full, fields.get("TDO", 0),
                    fields.get("MASK", full) if "TDO" in fields else 0)
        scans_of = found[register]
        if scans_of and getattr(scans_of[-1], "open", False):
            scans_of[-1] = scans_of[-1].then(scan)
        else:
            scans_of.append(scan)
        scans_of[-1].open = paused[register]  # type: ignore[attr-defined]
    return found


@pytest.mark.parametrize("source", SOURCES)
def test_jtag_svf(work: Path, source: str) -> None:
    svf = work / "scans.svf"
    svf.write_text(SVF)
    run = traced(work, "jtag", "svf", str(svf))[source]
    assert run.result["tdo_checks"] == 4
    rows = decode(run.vcd, JTAG)
    # Every scan in order, as the decoder saw it on TDI and TDO. Only the
    # scans with TDO were sampled (the host knows no other TDO).
    for register, expected in svf_scans(SVF).items():
        tdi = scans(rows, register, "TDI")[-len(expected):]
        tdo = scans(rows, register, "TDO")[-len(expected):]
        assert [(n, v & e.tdi_mask) for (n, v), e in zip(tdi, expected)] == [
            (e.length, e.tdi) for e in expected]
        assert [(n, v & e.tdo_mask) for (n, v), e in zip(tdo, expected)] == [
            (e.length, e.tdo & e.tdo_mask) for e in expected]
    assert {"PAUSE-DR", "EXIT2-DR"} <= set(texts(rows, "States"))
    # TRST pulled the TAPs to Test-Logic-Reset: the trace shows the pulse.
    _, changes = read_vcd(run.vcd)
    assert [v for _, v in changes["trst"]][-2:] == ["0", "1"]


# ---- SPI --------------------------------------------------------------------


def transfers(rows: dict[str, list[Annotation]]) -> list[tuple[bytes, bytes]]:
    """(MOSI, MISO) of each chip-select window."""
    mosi = [bytes.fromhex(t) for t in texts(rows, "MOSI transfer")]
    miso = [bytes.fromhex(t) for t in texts(rows, "MISO transfer")]
    assert len(mosi) == len(miso)
    return list(zip(mosi, miso))


@pytest.mark.parametrize("source", SOURCES)
def test_spi_id(work: Path, source: str) -> None:
    run = traced(work, "spi", "id")[source]
    jedec = bytes.fromhex(run.result["jedec_id"])
    rows = decode(run.vcd, SPI, SPIFLASH)
    mosi, miso = transfers(rows)[0]
    assert mosi[0] == 0x9F and miso[1:4] == jedec
    commands = texts(rows, "Commands")
    assert any(c.startswith("Read identification (RDID)") for c in commands)
    assert f"Manufacturer ID: 0x{jedec[0]:02x}" in texts(rows, "Fields")


@pytest.mark.parametrize("source", SOURCES)
def test_spi_read(work: Path, source: str) -> None:
    run = traced(work, "spi", "read", "0x123", "40")[source]
    data = bytes.fromhex(run.result["data"])
    assert data == FLASH_IMAGE[0x123:0x123 + 40]
    rows = decode(run.vcd, SPI, SPIFLASH)
    # Fast read: command, three address bytes, one dummy byte, the data.
    reads = [(mosi, miso) for mosi, miso in transfers(rows) if mosi[:4] == bytes([0x0B, 0x00, 0x01, 0x23])]
    assert [miso[5:] for _, miso in reads] == [data]
    assert f"Fast read data (addr 0x000123, {len(data)} bytes): {data.hex(' ')}" in texts(rows, "Commands")


@pytest.mark.parametrize("source", SOURCES)
def test_spi_page_program(work: Path, source: str) -> None:
    data = bytes(range(0x40, 0x58))
    image = work / "page.bin"
    image.write_bytes(data)
    # Into an erased page past the image (4 KiB): nothing to erase.
    run = traced(work, "spi", "write", "0x10200", str(image))[source]
    assert run.result["pages_programmed"] == 1 and run.result["erased"] == []
    rows = decode(run.vcd, SPI, SPIFLASH)
    windows = transfers(rows)
    program = [i for i, (mosi, _) in enumerate(windows) if mosi[0] == 0x02]
    assert len(program) == 1
    at = program[0]
    assert windows[at][0] == bytes([0x02, 0x01, 0x02, 0x00]) + data
    # Before it write enable, then a status read that finds WEL (bit 1) set;
    # after it status reads until WIP (bit 0) clears.
    assert windows[at - 2][0] == bytes([0x06])
    assert windows[at - 1][0][0] == 0x05 and windows[at - 1][1][1] & 0x02
    polls = [miso[1] for mosi, miso in windows[at + 1:] if mosi[0] == 0x05]
    assert polls and polls[-1] & 0x01 == 0 and all(p & 0x01 for p in polls[:-1])
    commands = texts(rows, "Commands")
    assert "Command: Write enable (WREN)" in commands
    assert f"Page program (addr 0x010200, {len(data)} bytes): {data.hex(' ')}" in commands
    # The verify reads back what was programmed.
    verify = [miso[5:] for mosi, miso in windows[at:] if mosi[:4] == bytes([0x0B, 0x01, 0x02, 0x00])]
    assert verify == [data]


# ---- I2C --------------------------------------------------------------------

I2C_ROW = "Address/Data"


def bus_events(rows: dict[str, list[Annotation]]) -> list[str]:
    """START, address, R/W, ACK/NACK, data and STOP as the decoder names
    them, without its separate "Read"/"Write" marks."""
    return [t for t in texts(rows, I2C_ROW) if t not in ("Read", "Write")]


def write_events(address: int, data: list[int], acked: int | None = None) -> list[str]:
    """A write transaction: every byte acknowledged, or up to `acked` data
    bytes (None: all)."""
    events = ["Start", f"Address write: {address:02X}", "ACK"]
    for i, byte in enumerate(data):
        events += [f"Data write: {byte:02X}", "ACK" if acked is None or i < acked else "NACK"]
        if acked is not None and i >= acked:
            break
    return events + ["Stop"]


def read_events(address: int, data: bytes) -> list[str]:
    events = ["Start", f"Address read: {address:02X}", "ACK"]
    for i, byte in enumerate(data):
        events += [f"Data read: {byte:02X}", "NACK" if i == len(data) - 1 else "ACK"]
    return events + ["Stop"]


@pytest.mark.parametrize("source", SOURCES)
def test_i2c_write(work: Path, source: str) -> None:
    run = traced(work, "i2c", "write", "0x68", "0x10", "0x01", "0x80", "0xFE")[source]
    assert run.result["written"] == 4
    assert bus_events(decode(run.vcd, I2C)) == write_events(0x68, [0x10, 0x01, 0x80, 0xFE])


@pytest.mark.parametrize("source", SOURCES)
def test_i2c_register_read(work: Path, source: str) -> None:
    run = traced(work, "i2c", "read", "0x68", "0x75", "1")[source]
    data = bytes.fromhex(run.result["data"])
    assert data == b"\x68"
    # The register is selected in a write of its own, ending in STOP.
    assert bus_events(decode(run.vcd, I2C)) == write_events(0x68, [0x75]) + read_events(0x68, data)


@pytest.mark.parametrize("source", SOURCES)
def test_i2c_ten_bit_read(work: Path, source: str) -> None:
    run = traced(work, "i2c", "--ten-bit", "read", "0x2a5", "0x04", "3")[source]
    data = bytes.fromhex(run.result["data"])
    # 10-bit address 0x2A5: header 11110 10 R/W (the decoder shows it shifted:
    # 0x7A), then the low byte 0xA5; the read repeats the header after a
    # repeated START.
    events = bus_events(decode(run.vcd, I2C))
    select = ["Start", "Address write: 7A", "ACK", "Data write: A5", "ACK"]
    assert events == (select + ["Data write: 04", "ACK", "Stop"] + select +
                      ["Start repeat", "Address read: 7A", "ACK"] +
                      read_events(0x7A, data)[3:])


@pytest.mark.parametrize("source", SOURCES)
def test_i2c_missing_acknowledge(work: Path, source: str) -> None:
    # Nobody answers 0x51: the address is not acknowledged and STOP follows.
    run = traced(work, "i2c", "get", "0x51", "0", ok=False)[source]
    assert run.result["code"] == -17
    # The transaction goes out whole, in one transfer: the register byte is
    # still clocked (nobody acknowledges it either), then STOP.
    assert bus_events(decode(run.vcd, I2C)) == ["Start", "Address write: 51", "NACK", "Data write: 00", "NACK",
                                                "Stop"]
    # Register 0x75 of 0x68 is read-only: its data byte is refused.
    run = traced(work, "i2c", "set", "0x68", "0x75", "0x00", ok=False)[source]
    assert bus_events(decode(run.vcd, I2C)) == write_events(0x68, [0x75, 0x00], acked=1)


@pytest.mark.parametrize("source", SOURCES)
def test_eeprom(work: Path, source: str) -> None:
    # One byte read: the pointer set in a write of its own, then a current
    # address read (orvtool ends every transaction with STOP, so the
    # decoder's random read, which needs a repeated START, is not made).
    run = traced(work, "i2c", "read", "0x50", "0x10", "1")[source]
    value = bytes.fromhex(run.result["data"])
    assert value == EEPROM_IMAGE[0x10:0x11]
    rows = decode(run.vcd, I2C, "eeprom24xx")
    assert texts(rows, "Operations") == [f"Current address read: {value[0]:02X}"]
    # A page write.
    run = traced(work, "i2c", "write", "0x50", "0x20", "0x11", "0x22", "0x33")[source]
    rows = decode(run.vcd, I2C, "eeprom24xx")
    assert texts(rows, "Operations") == ["Page write (addr=20, 3 bytes): 11 22 33"]
    # A longer read decodes on the I2C level.
    run = traced(work, "i2c", "read", "0x50", "0x30", "16")[source]
    assert bus_events(decode(run.vcd, I2C)) == write_events(0x50, [0x30]) + read_events(
        0x50, EEPROM_IMAGE[0x30:0x40])


# ---- the option in the tools --------------------------------------------------

ORVSIM_RUN = os.environ.get("ORVSIM_RUN", "orvsim-run")


def test_tool_orvsim_run_traces_each_adapter(work: Path) -> None:
    pattern = str(work / "adapter-%d.vcd")
    run = subprocess.run([ORVSIM_RUN, "--adapters", "2", "--board", str(work / "board.json"), "--trace", pattern,
                          "--", ORVTOOL, "--usb", "1209:4f52:1:3", "--trace", str(work / "client.vcd"),
                          "--json", "i2c", "read", "0x68", "0x75", "1"],
                         capture_output=True, text=True, timeout=120, check=False)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)["data"] == "68"
    expected = write_events(0x68, [0x75]) + read_events(0x68, b"\x68")
    comments, _ = read_vcd(work / "adapter-1.vcd")
    assert "adapter 1 of 2 at bus 001 device 003, serial ORVSIM0001" in comments
    assert bus_events(decode(work / "adapter-1.vcd", I2C)) == expected
    assert bus_events(decode(work / "adapter-0.vcd", I2C)) == []  # nothing happened there
    # orvtool's own trace of orvsim-run's adapter is the host's reconstruction.
    comments, _ = read_vcd(work / "client.vcd")
    assert any("reconstructed on the host" in c for c in comments)
    assert bus_events(decode(work / "client.vcd", I2C)) == expected
    check_host_within_board(work / "client.vcd", work / "adapter-1.vcd")


@pytest.mark.parametrize("args,message", [
    (["--adapters", "2", "--trace", "one.vcd"], "with several adapters give a pattern with %d"),
    (["--trace", "t-%s.vcd"], "only %d"),
])
def test_tool_orvsim_run_refuses_bad_patterns(args: list[str], message: str) -> None:
    run = subprocess.run([ORVSIM_RUN, *args, "--", "true"], capture_output=True, text=True, timeout=60,
                         check=False)
    assert run.returncode == 2 and message in run.stderr


def test_tool_orvtool_trace_refusals(work: Path) -> None:
    # A trace that cannot be written is refused before the adapter is opened.
    run = subprocess.run([ORVTOOL, "--sim", "--trace", "/nonexistent-dir/t.vcd", "spi", "id"], capture_output=True,
                         text=True, timeout=60, check=False)
    assert run.returncode == 2 and "cannot write the trace" in run.stderr
    # A command without an adapter traces nothing and says so.
    svf = work / "dry.svf"
    svf.write_text(SVF)
    run = subprocess.run([ORVTOOL, "--trace", str(work / "dry.vcd"), "jtag", "svf", "--dry-run", str(svf)],
                         capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode == 0 and "nothing to trace" in run.stderr
    assert not (work / "dry.vcd").exists()
