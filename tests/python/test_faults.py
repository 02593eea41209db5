"""What the adapter does wrong, and what the package makes of it: each fault
kind raises its class with the library's code, and leaves nothing behind
that the next operation would take as its data, whether it hit a raw port
or a device-library operation; an adapter that stops answering during I2C
costs a bounded number of transfers; the library's messages and codes reach
the exception."""

import logging
import time

import pytest

import orv
from orv import _devices as abi
from conftest import SERIALS, urbs

USER_IR = (0x02 << 4) | 0x8  # the default chain's USER instructions, TAP0 nearest TDO
FIRST, SECOND = 0x0123456789ABCDEF, 0xFEDCBA9876543210
REGION_A, REGION_B = 0x30000, 0x31000
DATA_A = bytes(range(256)) * 2
DATA_B = bytes(255 - i for i in range(256)) * 2


def jtag_case(adapter):
    """A DR scan that captures FIRST and leaves SECOND in the USER registers;
    the check scans again and must capture SECOND, not what the failed scan
    left in the read-back."""
    jtag = adapter.jtag(tck_khz=6000)
    jtag.shift_ir(USER_IR, 10)
    jtag.shift_dr(FIRST, 64)
    return (
        lambda: jtag.shift_dr(SECOND, 64, capture=True),
        lambda: jtag.shift_dr(0, 64, capture=True) == SECOND,
    )


def flash_case(adapter):
    """A read of region A fails; a read of region B must give B's bytes."""
    flash = orv.SpiFlash(adapter.spi())
    flash.write(REGION_A, DATA_A)
    flash.write(REGION_B, DATA_B)
    return (lambda: flash.read(REGION_A, len(DATA_A)), lambda: flash.read(REGION_B, len(DATA_B)) == DATA_B)


def i2c_case(adapter):
    """A register read fails; the identity register must read 0x68."""
    i2c = adapter.i2c()
    i2c.write_reg(0x68, 0x10, b"\x12\x34")
    return (lambda: i2c.read_reg(0x68, 0x10, 2), lambda: i2c.read_reg(0x68, 0x75) == b"\x68")


# Every fault lasts until cleared, so that the purge after the failure meets
# it too: (kind, endpoint, class, code; None where the operation decides).
FAULTS = [
    ("stall", 0x81, orv.UsbError, -9),
    ("stall", 0x83, orv.UsbError, -9),
    ("unplugged", 0x81, orv.UsbError, -4),
    ("timeout", 0x81, orv.UsbError, -7),
    ("overflow", 0x81, orv.UsbError, -8),
    ("short", 0x81, orv.OrvError, -13),
    ("short", 0x83, orv.OrvError, -13),
    ("overcount", 0x83, orv.OrvError, None),
    ("never-fill", 0x83, orv.Timeout, -15),
]


# I2C takes a failed count poll as one more poll without the count.
I2C_FAULTS = {
    ("stall", 0x83): (orv.Timeout, -15),
    ("short", 0x83): (orv.Timeout, -15),
}


@pytest.fixture
def quick_adapter(sim):
    """Adapter 0 with transfers of 20 ms: faults that hold a transfer cost little."""
    with orv.open(serial=SERIALS[0], timeout_ms=20) as opened:
        yield opened
    sim.clear()


@pytest.mark.parametrize("case", [jtag_case, flash_case, i2c_case], ids=["jtag", "flash", "i2c"])
@pytest.mark.parametrize("kind, endpoint, cls, code", FAULTS, ids=[f"{k}-{e:#x}" for k, e, _, _ in FAULTS])
def test_after_each_fault_the_next_operation_returns_its_own_data(
    sim, quick_adapter, case, kind, endpoint, cls, code
):
    if case is i2c_case:
        cls, code = I2C_FAULTS.get((kind, endpoint), (cls, code))
    operation, next_is_right = case(quick_adapter)
    sim.fault(kind, endpoint)
    with pytest.raises(cls) as raised:
        operation()
    sim.clear()
    assert code is None or raised.value.code == code
    assert raised.value.text and str(raised.value).startswith(raised.value.doing)
    assert next_is_right()


def test_the_session_says_what_it_threw_away_and_an_adapter_left_dirty_is_emptied_at_open(sim, caplog):
    caplog.set_level(logging.INFO, logger="orv")
    with orv.open(serial=SERIALS[0], timeout_ms=20) as adapter:
        jtag = adapter.jtag()
        sim.fault("never-fill", 0x83)  # the count never shows: nothing to purge yet
        with pytest.raises(orv.Timeout):
            jtag.shift_dr(0, 64, capture=True)
        sim.clear()
    # Another program (or this one, reopened) starts clean.
    with orv.open(serial=SERIALS[0]) as adapter:
        assert adapter.i2c().read_reg(0x68, 0x75) == b"\x68"
    assert [r.getMessage() for r in caplog.records] == [
        "threw away 8 bytes of read-back that the adapter still held (left by an earlier failure)"
    ]
    assert caplog.records[0].levelno == logging.WARNING


@pytest.mark.parametrize(
    "kind, endpoint, timeout_ms, operation, cls, code, most_polls",
    [
        # The count never comes: the I2C transfers wait 31 ms at most, so the
        # poll limit is 10 x 31 (and the purge's four), not 10 x 1000.
        ("never-fill", 0x83, 1000, "read", orv.Timeout, -15, 10 * abi.ORVDEV_I2C_MAX_TIMEOUT_MS + 4),
        # Gone: the first transfer that finds it gone ends the scan, which
        # does not report an empty bus.
        ("unplugged", 0, 1000, "scan", orv.UsbError, -4, 2),
        # Nothing answers at all: every transfer waits its 5 ms.
        ("timeout", 0, 5, "read", orv.Timeout, -15, 10 * 5 + 1),
    ],
)
def test_an_adapter_that_stops_answering_during_i2c_costs_bounded_transfers(
    sim, count, kind, endpoint, timeout_ms, operation, cls, code, most_polls
):
    with orv.open(serial=SERIALS[0], timeout_ms=timeout_ms) as adapter:
        i2c = adapter.i2c()
        assert i2c.probe(0x50)
        sim.fault(kind, endpoint)
        with count() as sent, pytest.raises(cls) as raised:
            i2c.scan() if operation == "scan" else i2c.read(0x50, 4)
        sim.clear()
        assert raised.value.code == code
        assert urbs(sent)[0] == 1 and urbs(sent)[1] <= most_polls
        assert i2c.read_reg(0x68, 0x75) == b"\x68"


def test_an_adapter_slow_to_answer_i2c_costs_31_ms_a_transfer_not_the_session_s_timeout(sim):
    # Each of five count polls waits out its transfer's time limit: 31 ms on
    # the I2C bus whatever the session's (1000 ms here, 5 s for the five).
    with orv.open(serial=SERIALS[0], timeout_ms=1000) as adapter:
        i2c = adapter.i2c()
        assert i2c.probe(0x68)
        sim.fault("timeout", 0x83, count=5)
        started = time.monotonic()
        assert i2c.read_reg(0x68, 0x75) == b"\x68"
        elapsed = time.monotonic() - started
        sim.clear()
        assert 5 * abi.ORVDEV_I2C_MAX_TIMEOUT_MS / 1000 <= elapsed < 2


def test_a_failure_names_what_python_was_doing_then_the_library_s_message_code_and_hint(adapter):
    with pytest.raises(orv.NoAcknowledge) as raised:
        adapter.i2c().read(0x51, 2)
    e = raised.value
    assert (e.code, e.bus_code, e.address, e.byte_index) == (abi.ORVDEV_ERROR_I2C_NO_ACK, -17, 0x51, None)
    assert e.text == "no device acknowledged address 0x51"
    assert e.detail == "reading from 0x51: not acknowledged (code -17)"
    assert [str(d) for d in e.done] == ["read 0 of 2 bytes"]
    assert str(e).splitlines() == [
        "reading 2 bytes from 0x51: no device acknowledged address 0x51 "
        "(reading from 0x51: not acknowledged (code -17); code -140)",
        f"  hint: {e.hint}",
        "  done: read 0 of 2 bytes",
    ]
    assert e.hint
