"""Each error class, raised from what the virtual adapter does, and argument
checks that send nothing."""

import pytest

import orv
from conftest import COMMAND_OUT, COUNT_IN, DATA_IN


def capture(jtag):
    return jtag.shift_dr(0, 32, capture=True)


def read_id(spi):
    return spi.transfer(cmd=0x9F, read=3)


# (fault, endpoint, port, operation, exception class, code, library text)
FAULTS = [
    ("stall", COMMAND_OUT, "jtag", lambda jtag: jtag.reset(), orv.UsbError, -9, "usb pipe error"),
    ("unplugged", 0, "spi", read_id, orv.UsbError, -4, "usb no such device"),
    ("timeout", DATA_IN, "jtag", capture, orv.UsbError, -7, "usb operation time out"),
    ("short", COMMAND_OUT, "spi", read_id, orv.OrvError, -13, "tapwire usb trans error"),
    ("never-fill", COUNT_IN, "jtag", capture, orv.Timeout, -15, "tapwire timeout"),
    ("never-fill", COUNT_IN, "i2c", lambda i2c: i2c.read(0x50, 4), orv.Timeout, -15, "tapwire timeout"),
]


@pytest.mark.parametrize("fault, endpoint, kind, operation, cls, code, text", FAULTS)
def test_adapter_failures_raise_their_class_with_the_library_code_and_text(
    sim, fault, endpoint, kind, operation, cls, code, text
):
    with orv.open(serial="ORVSIM0000", timeout_ms=20) as adapter:
        port = getattr(adapter, kind)()  # set up before the fault: only the operation meets it
        state = getattr(port, "state", None)
        sim.fault(fault, endpoint)
        with pytest.raises(cls) as raised:
            operation(port)
        sim.fault("none")
        sim.drain()
        assert type(raised.value) is cls
        assert (raised.value.code, raised.value.text) == (code, text)
        assert f"{text} (code {code})" in str(raised.value)
        # The TAP mirror was not moved by the failure, and the adapter still works.
        assert getattr(port, "state", None) == state
        operation(port)


def test_a_scheduled_fault_lets_its_first_transfers_through(adapter, sim):
    spi = adapter.spi()
    sim.fault("stall", DATA_IN, count=1, after=1)
    assert read_id(spi) == b"\xef\x40\x16"
    with pytest.raises(orv.UsbError) as raised:
        read_id(spi)
    assert raised.value.code == -9
    sim.drain()
    assert read_id(spi) == b"\xef\x40\x16"  # one URB only


@pytest.mark.parametrize("address, ten_bit", [(0x51, False), (0x123, True)])
def test_an_unanswered_address_raises_no_acknowledge_with_the_address(adapter, address, ten_bit):
    with pytest.raises(orv.NoAcknowledge) as raised:
        adapter.i2c().read(address, 2, ten_bit=ten_bit)
    error = raised.value
    assert (error.code, error.text) == (-17, "tapwire other error")
    assert (error.address, error.ten_bit) == (address, ten_bit)


def test_a_refused_data_byte_is_not_taken_for_a_missing_device(adapter):
    # The identity register at 0x68 acknowledges its address but refuses writes.
    with pytest.raises(orv.OrvError) as raised:
        adapter.i2c().write_reg(0x68, 0x75, 0x12)
    assert type(raised.value) is orv.OrvError and raised.value.code == -13
    assert "not acknowledged" in str(raised.value)


BAD_CALLS = [
    (lambda p: p["jtag"].shift_dr(0x1FF, 8), ValueError),
    (lambda p: p["jtag"].shift_dr(b"\xff\xff", 9), ValueError),
    (lambda p: p["jtag"].shift_ir(b"\x01", 9), ValueError),
    (lambda p: p["jtag"].shift_ir(5), TypeError),
    (lambda p: p["jtag"].shift_ir("0x5", 4), TypeError),
    (lambda p: p["jtag"].goto_idle(65536), ValueError),
    (lambda p: p["jtag"].batch().shift_dr(1, 0), ValueError),
    (lambda p: p["spi"].transfer(read=513), ValueError),
    (lambda p: p["spi"].transfer(write=b"ab", read=3), ValueError),
    (lambda p: p["spi"].transfer(cmd=0x03, addr=0x100), ValueError),
    (lambda p: p["spi"].transfer(addr=0x10000, addr_bytes=2), ValueError),
    (lambda p: p["spi"].transfer(cmd=256), ValueError),
    (lambda p: p["spi"].transfer(dummy_clocks=65536), ValueError),
    (lambda p: p["spi"].transfer_bits(bits=2049, read=True), ValueError),
    (lambda p: p["spi"].transfer_bits(read=True), TypeError),
    (lambda p: orv.SpiFlash(p["spi"]).page_program(0xFF, b"ab"), ValueError),
    (lambda p: orv.SpiFlash(p["spi"]).sector_erase(0x1001), ValueError),
    (lambda p: p["i2c"].read(0x80, 1), ValueError),
    (lambda p: p["i2c"].read(0x50, 512), ValueError),
    (lambda p: p["i2c"].write(0x400, b"", ten_bit=True), ValueError),
    (lambda p: p["i2c"].write(0x50, bytes(4089)), ValueError),
    (lambda p: p["i2c"].write(0x50, 7), TypeError),
    (lambda p: p["i2c"].write_reg(0x68, 0x100, 0), ValueError),
    (lambda p: p["adapter"].spi(mode=1), ValueError),
    (lambda p: p["adapter"].spi(mode=0, polarity=0), TypeError),
    (lambda p: p["adapter"].jtag(tck_khz=100), ValueError),
    (lambda p: p["adapter"].i2c(clock_khz=60001), ValueError),
    (lambda p: p["adapter"].jtag(pins=(0x10000, 0)), ValueError),
]


@pytest.mark.parametrize("call, error", BAD_CALLS)
def test_bad_arguments_raise_before_anything_is_sent(adapter, count, call, error):
    ports = dict(adapter=adapter, jtag=adapter.jtag(), spi=adapter.spi(), i2c=adapter.i2c())
    with count() as sent:
        with pytest.raises(error):
            call(ports)
    assert sent.delta == {COMMAND_OUT: 0, DATA_IN: 0, COUNT_IN: 0}
