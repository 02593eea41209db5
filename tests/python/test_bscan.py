"""Boundary scan on the example boards (adapter 2: bscan, adapter 3:
bscan-faults): TDI -> U2 (GL64, IR 8) -> U1 (STM32F301, IR 5) -> U1's Cortex-M
debug TAP (IR 4) -> TDO. BSDL files read without an adapter and matched to
the chain; pins sampled as the nets put them, in one exchange; pins driven,
held, and read on the other device; the devices given back; the
interconnect test; bad files, netlists and settings refused with nothing
sent."""

import json
import os
import shutil

import pytest

import orv
from orv import _devices as abi
from conftest import BOARDS, COMMAND_OUT, COUNT_IN, DATA_IN, SERIALS, urbs

STM32 = os.path.join(BOARDS, "STM32F301_F302_UFQFPN32.bsd")
GL64 = os.path.join(BOARDS, "gl64_tq100.bsd")
NETLIST = os.path.join(BOARDS, "netlists", "bscan.json")
IDCODES = [0x4BA00477, 0x06439041, 0x06E510FF]
NOTHING = {COMMAND_OUT: 0, DATA_IN: 0, COUNT_IN: 0}


@pytest.fixture
def jtag(bscan_adapter):
    return bscan_adapter.jtag(tck_khz=6000)


@pytest.fixture
def u1(jtag):
    with jtag.boundary(bsdl=BOARDS, tap=1) as opened:
        yield opened


def test_a_bsdl_file_reads_without_an_adapter_and_names_its_pins_and_instructions():
    stm32 = orv.BsdlFile(STM32)
    assert (stm32.path, stm32.entity, stm32.standard) == (STM32, "STM32F301_F302_UFQFPN32", "STD_1149_1_2001")
    assert (stm32.instruction_length, stm32.boundary_length, stm32.idcode) == (5, 139, 0x06439041)
    assert stm32.idcode_mask == 0x0FFFFFFF  # the version nibble is X
    assert stm32.instructions == ("BYPASS", "EXTEST", "SAMPLE", "PRELOAD", "IDCODE")
    assert len(stm32.pins) == 20 and stm32.pins[0] == orv.Pin("BOOT0", "31", "in")
    assert stm32.pin("pa0") == orv.Pin("PA0", "7", "inout", None, False)
    assert repr(stm32) == (
        "BsdlFile(entity='STM32F301_F302_UFQFPN32', idcode=0x06439041/0x0fffffff, instruction_length=5, "
        f"boundary_length=139, pins=20, path={STM32!r})"
    )
    gl64 = orv.BsdlFile(GL64)
    assert gl64.private_instructions == ("ISC_ENABLE", "ISC_PROGRAM", "ISC_DISABLE")
    assert [str(n) for n in gl64.notices] == ["102:14: attribute ISC_PIN_BEHAVIOR skipped"]
    assert {p.direction for p in gl64.pins} == {"in", "out", "inout", "out3"}
    with pytest.raises(orv.InvalidArgument) as unknown:
        stm32.pin("PA99")
    assert unknown.value.code == abi.ORVDEV_ERROR_UNKNOWN_PIN
    assert unknown.value.text == "no pin PA99 in STM32F301_F302_UFQFPN32; nearest: PA9, PA0, PA1, PA2"


def test_boundary_matches_the_files_to_the_chain_and_samples_in_one_exchange(jtag, count):
    with count(2) as sent:
        u1 = jtag.boundary(bsdl=BOARDS, tap=1)
    assert urbs(sent)[0] >= 1  # the chain scan
    assert [f and f.entity for f in u1.files] == ["CortexMx", "STM32F301_F302_UFQFPN32", "GL64_TQ100"]
    assert (u1.chain.idcodes, u1.idcode, u1.entity) == (IDCODES, 0x06439041, "STM32F301_F302_UFQFPN32")
    assert u1.instructions == ("BYPASS", "EXTEST", "SAMPLE", "PRELOAD", "IDCODE")
    assert repr(u1) == f"<orv.Boundary TAP 1 STM32F301_F302_UFQFPN32 idcode=0x06439041, 20 pins, {STM32}>"
    with count(2) as sent:
        pins = u1.sample()
    # One IR scan and one DR scan: one OUT transfer, one data read.
    assert (urbs(sent)[0], urbs(sent)[2]) == (1, 1)
    assert list(pins) == [p.port for p in u1.pins]
    assert {k: pins[k] for k in ("PA2", "PA5", "PA0", "PA1", "PA6", "BOOT0")} == dict(
        PA2=1,  # U1 drives UART_TX high
        PA5=0,  # ... and SPI_SCK low
        PA0=1,  # U2 drives IRQ_N high
        PA1=0,  # CPLD_DONE: nobody drives, pulled down
        PA6=1,  # SPI_MISO: nobody drives, no pull
        BOOT0=0,  # pulled down
    )
    detail = {p.port: p for p in u1.sample_pins()}
    assert detail["PA2"] == orv.Pin("PA2", "9", "inout", 1, True)
    assert detail["PA0"] == orv.Pin("PA0", "7", "inout", 1, False)

    u2 = u1.for_tap("gl64_tq100")
    assert (u2.tap, u2.file is u1.files[2]) == (2, True)
    detail = {p.port: p for p in u2.sample_pins()}
    assert detail["LED(0)"] == orv.Pin("LED(0)", detail["LED(0)"].package_pin, "out", 1, True)
    assert (detail["A(0)"].direction, detail["A(0)"].value, detail["A(0)"].driven) == ("out3", None, False)
    assert {k: u2.sample()[k] for k in ("MODE(0)", "MODE(1)", "IO(4)", "D(0)", "SDA")} == {
        "MODE(0)": 0, "MODE(1)": 1, "IO(4)": 1, "D(0)": 1, "SDA": 1
    }
    # The debug TAP's file has no pins: refused as orvtool's --tap 0 is.
    with pytest.raises(orv.InvalidArgument, match=r"TAP 0 \(CortexMx\) has no pins with boundary cells"):
        u1.for_tap(0)
    u1.close()
    with pytest.raises(ValueError, match="closed"):
        u2.sample()


def test_the_tap_is_the_one_whose_file_has_pins_or_the_one_named(jtag, count):
    several = r"several TAPs fit: TAP 1 \(STM32F301_F302_UFQFPN32\), TAP 2 \(GL64_TQ100\); choose .* tap="
    with pytest.raises(ValueError, match=several):
        jtag.boundary(bsdl=BOARDS)
    assert jtag.boundary(bsdl=[GL64, STM32], tap="STM32F301_F302_UFQFPN32").tap == 1
    only = jtag.boundary(bsdl=GL64)
    assert (only.tap, only.files[1]) == (2, None)
    assert only.sample()["MODE(1)"] == 1
    with pytest.raises(ValueError, match="no TAP 3: the chain has 3 TAPs"):
        jtag.boundary(bsdl=BOARDS, tap=3)
    with pytest.raises(orv.ChainError, match="TAP 1: no BSDL file has IDCODE 0x06439041") as unmatched:
        jtag.boundary(bsdl=GL64, tap=1)
    assert unmatched.value.code == abi.ORVDEV_ERROR_BSDL_MISMATCH and unmatched.value.hint
    with count(2) as sent, pytest.raises(ValueError, match="no BSDL file given has the entity XC7Z010"):
        jtag.boundary(bsdl=BOARDS, tap="XC7Z010")
    assert sent.delta == NOTHING


def test_a_tap_no_file_describes_is_named_on_the_default_board(adapter):
    # The default board: the Cortex-M debug TAP, then a Zynq's TAP.
    with pytest.raises(orv.ChainError, match="TAP 1: no BSDL file has IDCODE 0x03727093"):
        adapter.jtag().boundary(bsdl=BOARDS, tap=1)
    with pytest.raises(orv.ChainError, match="no TAP of the chain has a BSDL file with pins"):
        adapter.jtag().boundary(bsdl=BOARDS)


def test_driven_pins_are_held_and_read_on_the_other_device_until_released(u1, count):
    u2 = u1.for_tap(2)
    with count(2) as sent:
        driven = u1.drive({"PA8": 1, "pa5": 1})
    assert (urbs(sent)[0], urbs(sent)[2]) == (1, 1)
    assert (driven["PA8"], driven["PA5"]) == (1, 1)
    assert (u2.sample()["D(0)"], u2.sample()["IO(0)"]) == (1, 1)  # BUS0 and SPI_SCK
    assert u1.drive({"PA8": 0})["PA8"] == 0  # read back as driven now, not as before
    assert (u2.sample()["D(0)"], u2.sample()["IO(0)"]) == (0, 1)  # PA5 stays as the hold left it

    # U2 drives SPI_CS_N low for a moment: U1 (held, PA4 let go) is pulled
    # up again afterwards.
    assert u2.drive({"IO(3)": 0}, hold=False)["IO(3)"] == 0
    assert u1.sample()["PA4"] == 1

    u1.release()  # Test-Logic-Reset: U1 drives SPI_SCK low again
    assert (u2.sample()["IO(0)"], u2.sample()["D(0)"]) == (0, 1)


@pytest.mark.parametrize("level", [None, "z", "Z"])
def test_none_or_z_lets_a_pin_go(u1, level):
    assert u1.drive({"PA6": 0})["PA6"] == 0
    assert u1.drive({"PA6": level})["PA6"] == 1  # SPI_MISO has no pull: it floats high


def test_the_end_of_a_with_block_or_close_gives_the_device_back(jtag):
    with jtag.boundary(bsdl=BOARDS, tap=1) as u1:
        u1.drive({"PA5": 1})
        assert u1.for_tap(2).sample()["IO(0)"] == 1
    with pytest.raises(ValueError, match="closed"):
        u1.sample()
    u2 = jtag.boundary(bsdl=BOARDS, tap=2)
    assert u2.sample()["IO(0)"] == 0  # U1 drives SPI_SCK low in its normal function
    u1 = u2.for_tap(1)
    u1.drive({"PA5": 1})
    u1.close()
    u1.close()
    assert jtag.boundary(bsdl=BOARDS, tap=2).sample()["IO(0)"] == 0


def test_a_closed_adapter_refuses_boundary_scan(sim):
    adapter = orv.open(serial=SERIALS[2])
    u1 = adapter.jtag().boundary(bsdl=BOARDS, tap=1)
    u1.drive({"PA8": 0})
    adapter.close()  # closes the boundary scan too; it sends nothing more
    with pytest.raises(ValueError, match="closed"):
        u1.sample()
    u1.close()
    with orv.open(serial=SERIALS[2]) as again:  # U1 is still held: reset it
        again.jtag().reset()


def test_the_raw_port_goes_on_from_the_state_boundary_scan_left(jtag, u1):
    u1.drive({"PA8": 1}, hold=False)  # ends in Test-Logic-Reset: IDCODE selected
    assert jtag.shift_dr(0, 96, capture=True) == IDCODES[0] | IDCODES[1] << 32 | IDCODES[2] << 64
    u1.drive({"PA8": 1})
    u1.for_tap(2).drive({"IO(3)": 0}, hold=False)  # U1 held: ends in Run-Test/Idle, U2 in BYPASS
    jtag.shift_ir((1 << 17) - 1, 17)  # BYPASS everywhere
    assert jtag.shift_dr(0b1011, 8, capture=True) == 0b1011 << 3


def test_a_fault_during_boundary_scan_raises_and_the_next_sample_is_right(sim, u1):
    before = u1.sample()
    u1.drive({"PA8": 0})
    sim.fault("short", DATA_IN, index=2)
    with pytest.raises(orv.OrvError) as raised:
        u1.for_tap(2).sample()
    sim.clear(index=2)
    assert raised.value.code == -13
    # The failure let go of the hold: the next scan resets first.
    assert u1.for_tap(2).sample()["D(0)"] == 1
    assert u1.sample() == before


BAD_DRIVES = [
    ({"PA99": 1}, orv.InvalidArgument, "no pin PA99 in STM32F301_F302_UFQFPN32; nearest: PA9, PA0, PA1, PA2"),
    ({"BOOT0": 1}, orv.InvalidArgument, "BOOT0 is an input: it has no cell to drive it"),
    ({"VDD1": 1}, orv.InvalidArgument, "VDD1 of STM32F301_F302_UFQFPN32 has no boundary cell"),
    ({"PA0": 1, "pa0": 0}, orv.InvalidArgument, "PA0 is set twice"),
    ({"PA0": 2}, ValueError, "pin PA0: a level 0, 1, or None or 'z' to let it go; got 2"),
    ({"PA0": "1"}, ValueError, "got '1'"),
    ({"PA0": 1.0}, TypeError, "got float"),
    ({}, ValueError, "no pins to drive"),
    ([("PA0", 1)], TypeError, "levels must be a mapping"),
    ({8: 1}, TypeError, "a pin name must be a str"),
]


@pytest.mark.parametrize("levels, error, message", BAD_DRIVES)
def test_bad_drives_are_refused_before_anything_is_sent(u1, count, levels, error, message):
    with count(2) as sent, pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        u1.drive(levels)
    assert sent.delta == NOTHING


def test_a_two_state_output_cannot_be_let_go(u1, count):
    with count(2) as sent, pytest.raises(orv.InvalidArgument, match="LED.0. is a two-state output"):
        u1.for_tap(2).drive({"LED(0)": None})
    assert sent.delta == NOTHING


def test_bsdl_takes_files_directories_lists_and_orv_bsdl_path(jtag, monkeypatch):
    loaded = orv.BsdlFile(STM32)
    assert jtag.boundary(bsdl=[loaded, GL64], tap=1).file is loaded
    monkeypatch.setenv("ORV_BSDL_PATH", f"{GL64}:{BOARDS}")
    assert jtag.boundary(tap=2).file.path == GL64
    assert jtag.boundary(bsdl=STM32, tap=2).file.path == GL64  # the variable's entries follow bsdl=
    monkeypatch.delenv("ORV_BSDL_PATH")
    with pytest.raises(ValueError, match="no BSDL files: give them with bsdl="):
        jtag.boundary()


def test_bad_bsdl_files_are_refused_with_the_place_and_nothing_is_sent(jtag, count, tmp_path):
    broken = tmp_path / "broken.bsd"
    with open(STM32) as f:
        lines = f.read().splitlines()
    entity = next(n for n, line in enumerate(lines) if line.lower().startswith("entity"))
    lines[entity] = "entity STM32F301_F302_UFQFPN32 is;"
    broken.write_text("\n".join(lines))
    with count(2) as sent:
        with pytest.raises(orv.InputFileError) as raised:
            jtag.boundary(bsdl=[STM32, tmp_path])
        e = raised.value
        assert isinstance(e, orv.InvalidArgument) and isinstance(e, ValueError)
        assert (e.code, e.file, e.line) == (abi.ORVDEV_ERROR_BAD_INPUT, str(broken), entity + 1)
        assert e.json_path is None
        assert e.column and e.reason.startswith("expected ")
        assert e.text == f"{broken}:{entity + 1}:{e.column}: {e.reason}"
        assert str(e).startswith(f"reading BSDL files: {e.text} (code -150)\n  hint: ")
        # A file that is not there is refused as a broken one is, as orvtool does.
        missing = str(tmp_path / "missing.bsd")
        with pytest.raises(orv.InputFileError, match="no such BSDL file or directory") as raised:
            jtag.boundary(bsdl=missing)
        assert (raised.value.file, raised.value.line) == (missing, None)
        with pytest.raises(orv.InputFileError, match="missing.bsd"):
            orv.BsdlFile(missing)
        with pytest.raises(orv.InputFileError, match="expected a readable BSDL file"):
            orv.BsdlFile(tmp_path)  # a directory is not a file
        (tmp_path / "empty").mkdir()
        with pytest.raises(orv.InputFileError, match=r"empty: no BSDL files \(\*.bsd, \*.bsdl\) in this directory"):
            jtag.boundary(bsdl=tmp_path / "empty")
        with pytest.raises(TypeError):
            jtag.boundary(bsdl=3)
    assert sent.delta == NOTHING


@pytest.mark.parametrize(
    "fixture, passed, opens, shorts, stuck",
    [
        ("bscan_adapter", True, (), (), ()),
        (
            "faults_adapter",
            False,
            (("BUS2", "U1.PA10", "U2.D(2)"),),
            ((("BUS3", "BUS4"), "or"), (("SPI_MISO", "SPI_MOSI"), "and")),
            (("ADC_SEL", 0), ("CLK_SEL", 1)),
        ),
    ],
)
def test_the_interconnect_test_passes_the_good_board_and_names_every_fault(
    request, sim, fixture, passed, opens, shorts, stuck
):
    adapter = request.getfixturevalue(fixture)
    index = 2 if fixture == "bscan_adapter" else 3
    stages = []
    before = sim.counts(index)
    result = adapter.jtag().connect_test(NETLIST, progress=lambda done, total, stage: stages.append(stage))
    after = sim.counts(index)
    assert (result.passed, result.opens, result.shorts, result.stuck) == (passed, opens, shorts, stuck)
    assert (result.patterns, result.nets_tested, result.scans) == (12, 20, 13)
    # Every pattern in one OUT transfer and one read-back exchange.
    assert (result.out_transfers, result.readback_exchanges) == (1, 1)
    assert len(result.untested) == 11
    assert dict(result.untested)["RESET_N"] == "no driver: none of its pins can drive it"
    assert dict(result.untested)["MODE1"] == 'left alone: all its pins are in "leave"'
    assert {"scan", "test"} <= set(stages)
    assert after[COMMAND_OUT] - before[COMMAND_OUT] >= 2  # the chain scan, then the test
    # The devices are back in their normal function.
    assert adapter.jtag().boundary(bsdl=BOARDS, tap=2).sample()["IO(0)"] == 0


def test_a_bad_netlist_is_refused_with_its_json_path_and_nothing_is_sent(jtag, count, tmp_path):
    with open(NETLIST) as f:
        netlist = json.load(f)
    for device in netlist["devices"].values():  # beside the netlist: its files lie there or below
        shutil.copy(os.path.join(BOARDS, device["bsdl"]), tmp_path)
    netlist["nets"]["BUS0"] = ["U1.PA8", "U2.D(99)"]
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps(netlist))
    broken = tmp_path / "broken.json"
    broken.write_text('{"devices": {,}}')
    with count(2) as sent:
        with pytest.raises(orv.InputFileError) as raised:
            jtag.connect_test(bad)
        e = raised.value
        assert (e.file, e.line, e.json_path) == (str(bad), None, "nets.BUS0[1]")
        assert e.reason == 'a pin of U2 (GL64_TQ100), got "D(99)"; nearest: D(9), D(15), D(14), D(13)'
        assert e.text == f"{bad}: nets.BUS0[1]: {e.reason}"
        with pytest.raises(orv.InputFileError) as raised:
            jtag.connect_test(broken)
        assert (raised.value.file, raised.value.line) == (str(broken), 1)
    assert sent.delta == NOTHING
