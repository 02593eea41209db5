"""JTAG on the virtual board's chain: TDI -> TAP1 (IR 6, USER 0x02) -> TAP0
(IR 4, USER 0x8) -> TDO. Update-DR writes a TAP's 32-bit USER register and
Capture-DR loads it back, so a scan returns what the one before it wrote."""

import random

import pytest

import orv
from conftest import COMMAND_OUT, DATA_IN

USER_IR = (0x02 << 4) | 0x8  # TAP0's instruction is nearest TDO: shifted first
CHAIN_DR = 64


@pytest.fixture
def jtag(adapter):
    port = adapter.jtag(tck_khz=6000)
    port.shift_ir(USER_IR, 10)
    return port


def test_scan_reports_the_chain_as_orvtool_does_and_the_raw_port_goes_on_after_it(adapter):
    port = adapter.jtag()
    port.goto_idle()
    chain = port.scan()
    assert (chain.count, chain.ir_total, chain.ir_lengths) == (2, 10, [4, 6])
    assert chain.idcodes == [0x4BA00477, 0x03727093]
    first = chain.devices[0]
    assert (first.manufacturer, first.vendor, first.part, first.version) == (0x23B, "ARM Ltd", 0xBA00, 4)
    assert repr(first) == (
        "Device(idcode=0x4ba00477, ir_length=4, manufacturer=0x23b, vendor='ARM Ltd', part=0xba00, version=4)"
    )
    assert repr(chain).startswith(f"Chain(ir_total=10, devices=({first!r}, Device(idcode=0x03727093, ")
    assert port.state == orv.TapState.RUN_TEST_IDLE
    # The scan left IDCODE selected; the raw port's own settings go out again.
    assert port.shift_dr(0, 64, capture=True) == 0x03727093_4BA00477


def test_the_tap_state_follows_each_operation(adapter):
    port = adapter.jtag()
    assert port.state == orv.TapState.TEST_LOGIC_RESET
    port.goto_idle(clocks=100)
    assert port.state == orv.TapState.RUN_TEST_IDLE
    port.reset()
    assert port.state == orv.TapState.TEST_LOGIC_RESET
    # Capture-IR loads ...01 into each instruction register.
    assert port.shift_ir(0x3FF, 10, capture=True) == 0b000001_0001
    assert port.state == orv.TapState.RUN_TEST_IDLE


@pytest.mark.parametrize(
    "first, second",
    [
        (0x0123456789ABCDEF, 0xFEDCBA9876543210),
        (bytes(range(1, 9)), bytes(range(9, 17))),
    ],
)
def test_dr_scans_return_what_the_previous_scan_wrote_in_the_form_given(jtag, first, second):
    jtag.shift_dr(first, CHAIN_DR)
    captured = jtag.shift_dr(second, CHAIN_DR, capture=True, idle_clocks=5)
    assert type(captured) is type(first) and captured == first
    assert jtag.shift_dr(first, CHAIN_DR, capture=True) == second


def test_a_long_scan_is_one_transfer_and_comes_out_delayed_by_the_chain(jtag, count):
    bits = 16000  # several 256-byte data commands in one stream
    tdi = random.Random(7).getrandbits(bits)
    jtag.shift_dr(0, CHAIN_DR)
    with count() as sent:
        tdo = jtag.shift_dr(tdi, bits, capture=True)
    assert tdo == (tdi << CHAIN_DR) & ((1 << bits) - 1)
    assert (sent.delta[COMMAND_OUT], sent.delta[DATA_IN]) == (1, 1)


def test_a_batch_sends_all_its_scans_in_one_transfer(jtag, count):
    words = [0x11111111_22222222, 0x33333333_44444444, 0x55555555_66666666]
    batch = jtag.batch()
    batch.shift_dr(words[0], CHAIN_DR)
    batch.shift_dr(words[1].to_bytes(8, "little"), capture=True)
    batch.shift_dr(words[2], CHAIN_DR, capture=True, idle_clocks=3)
    assert len(batch) == 3
    with count() as sent:
        results = batch.send()
    assert results == [None, words[0].to_bytes(8, "little"), words[1]]
    assert (sent.delta[COMMAND_OUT], sent.delta[DATA_IN]) == (1, 1)
    assert jtag.state == orv.TapState.RUN_TEST_IDLE
    # The scans stay in the batch: sent again, it does the same.
    assert batch.send() == results
    batch.clear()
    with count() as sent:
        assert batch.send() == []
    assert sent.delta[COMMAND_OUT] == 0
