"""Finding, opening and closing adapters; loading the libraries; clocks;
bad arguments refused with nothing sent."""

import pytest

import orv
from orv import _lib
from conftest import COMMAND_OUT, COUNT_IN, DATA_IN, SERIALS

VID, PID = 0x1209, 0x4F52


def test_list_shows_every_virtual_adapter_with_its_ids_place_and_strings():
    found = orv.list()
    assert [(i.vid, i.pid, i.bus, i.address, i.serial, i.port_path) for i in found] == [
        (VID, PID, 1, 2 + n, serial, f"1-{n + 1}") for n, serial in enumerate(SERIALS)
    ]
    assert all(i.product == "ORV USB bridge (virtual)" for i in found)
    assert str(found[1]) == "1209:4f52 bus 001 device 003 serial ORVSIM0001 (ORV USB bridge (virtual))"
    assert repr(found[0]).startswith("AdapterInfo(vid=0x1209, pid=0x4f52, bus=1, address=2, ")


@pytest.mark.parametrize(
    "criteria, serial",
    [
        (dict(serial=SERIALS[1]), SERIALS[1]),
        (dict(bus=1, address=2), SERIALS[0]),
        (dict(vid=VID, pid=PID, address=3), SERIALS[1]),
    ],
)
def test_open_picks_the_adapter_that_matches_every_criterion(criteria, serial):
    with orv.open(**criteria) as adapter:
        assert adapter.info.serial == serial
        assert adapter.i2c().probe(0x50)
        assert repr(adapter) == (
            f"<orv.Adapter 1209:4f52 bus 001 device {adapter.info.address:03d} serial {serial} "
            "(ORV USB bridge (virtual))>"
        )
    assert adapter.closed
    assert repr(adapter).endswith(" closed>")


def test_open_refuses_an_ambiguous_or_missing_choice_with_the_cause_as_orvtool_says_it():
    with pytest.raises(ValueError, match="4 adapters found with USB id 1209:4f52: .*ORVSIM0000.*ORVSIM0001.*ORVSIM0003"):
        orv.open(vid=VID, pid=PID)
    with pytest.raises(orv.AdapterNotFound) as missing:
        orv.open(serial="ORVSIM9999")
    e = missing.value
    assert (e.code, e.cause, e.text) == (-160, "not_found", "no adapter found with serial number ORVSIM9999")
    assert "plugged in" in e.hint and isinstance(e, orv.UsbError)
    with orv.open(serial=SERIALS[2]), pytest.raises(orv.AdapterNotFound) as busy:
        orv.open(bus=1, address=4)
    e = busy.value
    assert (e.cause, e.bus_code, e.text) == ("busy", -6, "the adapter at bus 001 device 004 is busy")
    assert "another program" in e.hint


@pytest.mark.parametrize(
    "criteria, error",
    [
        (dict(vid=0x10000), ValueError),
        (dict(pid=-1), ValueError),
        (dict(address=128), ValueError),
        (dict(bus="1"), TypeError),
        (dict(serial=1), TypeError),
        (dict(serial=SERIALS[0], timeout_ms=-1), ValueError),
        (dict(serial=SERIALS[0], timeout_ms=0), orv.InvalidArgument),  # no time limit: refused by the session
        (dict(serial=SERIALS[0], timeout_ms=600001), orv.InvalidArgument),
    ],
)
def test_open_checks_its_arguments(criteria, error, count):
    with count() as sent, pytest.raises(error):
        orv.open(**criteria)
    assert sent.delta == {COMMAND_OUT: 0, DATA_IN: 0, COUNT_IN: 0}
    with orv.open(serial=SERIALS[0]):  # and the adapter was let go
        pass


def test_one_libusb_serves_the_package_and_the_libraries(adapter):
    adapter.jtag()
    with open("/proc/self/maps") as maps:
        assert len({line.split()[-1] for line in maps if "libusb-1.0" in line}) == 1


def test_a_closed_adapter_refuses_work_and_closes_once():
    adapter = orv.open(serial=SERIALS[0])
    i2c = adapter.i2c()
    flash = orv.SpiFlash(adapter.spi())
    adapter.close()
    adapter.close()
    with pytest.raises(ValueError, match="closed"):
        i2c.read(0x50, 1)
    for port in (adapter.jtag, adapter.spi, adapter.i2c):
        with pytest.raises(ValueError, match="the adapter is closed"):
            port()
    with pytest.raises(ValueError, match="closed"):
        flash.read(0, 1)
    assert repr(i2c).startswith("<orv.I2c ") and repr(i2c).endswith(" closed>")


def test_ports_show_their_settings_and_adapter_as_the_adapter_does():
    with orv.open(serial=SERIALS[0]) as adapter:
        where = f"on {adapter.info}>"
        assert repr(adapter.i2c(clock_khz=400)) == f"<orv.I2c {adapter.i2c(400).clock.hz / 1000:g} kHz {where}"
        assert repr(adapter.jtag(tck_khz=1000)) == f"<orv.Jtag TCK 1000 kHz, TEST_LOGIC_RESET {where}"
        assert repr(adapter.spi(clock_khz=6000, mode=3)) == f"<orv.Spi 6000 kHz, polarity 1 {where}"


def test_closing_the_adapter_closes_its_flashes_buses_and_chains_first():
    adapter = orv.open(serial=SERIALS[0])
    i2c, jtag = adapter.i2c(), adapter.jtag()
    i2c.probe(0x50)
    jtag.scan()
    flash = orv.SpiFlash(adapter.spi())
    assert len(adapter._owned) == 4  # the bus, the JTAG port and its chain, the flash
    flash.close()
    flash.close()
    del jtag  # its port and chain go with it
    assert len(adapter._owned) == 1
    with pytest.raises(ValueError, match="closed"):
        flash.status()
    adapter.close()
    assert adapter._owned == {}


def test_a_library_that_cannot_be_loaded_is_named(tmp_path, monkeypatch):
    (tmp_path / _lib.TAPWIRE).write_bytes(b"not a shared object")
    monkeypatch.setenv(_lib.LIBRARY_PATH_VARIABLE, str(tmp_path))
    monkeypatch.setattr(_lib, "_loaded", None)
    with pytest.raises(orv.LibraryNotFound, match=f"cannot load {tmp_path}/{_lib.TAPWIRE}"):
        orv.list()


@pytest.mark.parametrize(
    "port, khz, hz",
    [
        ("spi", 7000, 6666666),  # 60 MHz / 9: the divisor 8 would run at 7.5 MHz, above the request
        ("spi", 60000, 60000000),
        ("spi", 100000, 60000000),
        ("i2c", 400, 400000),
        ("jtag", 1000, 1000000),
        ("jtag", 236, 235294),  # 60 MHz / 254 cannot be sent: the next slower divisor
    ],
)
def test_every_port_runs_the_fastest_clock_not_above_the_request(adapter, port, khz, hz):
    clock = getattr(adapter, port)(khz).clock
    assert clock.hz == hz == getattr(adapter, port)(khz).clock_hz
    assert str(clock) == f"{hz / 1000:g} kHz"


def test_a_request_below_the_slowest_clock_is_refused_rather_than_run_faster(adapter, count):
    with count() as sent:
        for port in ("spi", "i2c", "jtag"):
            with pytest.raises(ValueError, match="below the slowest clock the adapter makes .235.294 kHz."):
                getattr(adapter, port)(100)
    assert sent.delta == {COMMAND_OUT: 0, DATA_IN: 0, COUNT_IN: 0}


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
    (lambda p: p["flash"].read(0x3FFFFF, 2), orv.InvalidArgument),
    (lambda p: p["flash"].read(-1, 2), ValueError),
    (lambda p: p["flash"].write(0x400000, b"x"), orv.InvalidArgument),
    (lambda p: p["flash"].write(0, b""), orv.InvalidArgument),
    (lambda p: p["flash"].write(0, "text"), TypeError),
    (lambda p: p["flash"].verify(0x3FFFFF, b"ab"), orv.InvalidArgument),
    (lambda p: p["flash"].erase(0x1001, 0x1000), orv.InvalidArgument),
    (lambda p: p["flash"].erase(0, 0x800), orv.InvalidArgument),
    (lambda p: p["flash"].erase(0, 0x1000, chip=True), TypeError),
    (lambda p: p["flash"].read(0, 16, progress=3), TypeError),
    (lambda p: orv.SpiFlash(p["adapter"].spi(), part="W25Q99"), orv.InvalidArgument),
    (lambda p: orv.SpiFlash(p["adapter"].spi(), size=3000), orv.InvalidArgument),
    (lambda p: orv.SpiFlash(p["adapter"].spi(lsb_first=True)), ValueError),
    (lambda p: p["i2c"].read(0x80, 1), orv.InvalidArgument),
    (lambda p: p["i2c"].read(0x50, 0), ValueError),
    (lambda p: p["i2c"].write(0x400, b"\0", ten_bit=True), orv.InvalidArgument),
    (lambda p: p["i2c"].write(0x50, bytes(4089)), orv.InvalidArgument),
    (lambda p: p["i2c"].write(0x50, 7), TypeError),
    (lambda p: p["i2c"].write_reg(0x68, 0x100, 0), orv.InvalidArgument),
    (lambda p: p["i2c"].read_reg(0x50, 0x10000, reg16=True), orv.InvalidArgument),
    (lambda p: p["i2c"].eeprom_write(0x50, 0, b"abc", page_size=12), orv.InvalidArgument),
    (lambda p: p["i2c"].transfer([]), orv.InvalidArgument),
    (lambda p: p["i2c"].transfer([("r", 0x50, 0)]), orv.InvalidArgument),
    (lambda p: p["i2c"].transfer([("r", 0x50, 600)]), orv.InvalidArgument),
    (lambda p: p["i2c"].transfer([("w", 0x50, b"")] * 43), orv.InvalidArgument),
    (lambda p: p["i2c"].transfer([("x", 0x50, b"")]), TypeError),
    (lambda p: p["i2c"].transfer([("w", 0x50)]), TypeError),
    (lambda p: p["i2c"].scan(first=0x70, last=0x80), orv.InvalidArgument),
    (lambda p: p["adapter"].spi(mode=1), ValueError),
    (lambda p: p["adapter"].spi(mode=0, polarity=0), TypeError),
    (lambda p: p["adapter"].jtag(pins=(0x10000, 0)), ValueError),
]


@pytest.mark.parametrize("call, error", BAD_CALLS)
def test_bad_arguments_raise_before_anything_is_sent(adapter, count, call, error):
    i2c = adapter.i2c()
    i2c.probe(0x50)  # the buses are set up: a refusal must not send even that
    i2c.probe(0x2A5, ten_bit=True)
    flash = orv.SpiFlash(adapter.spi())
    ports = dict(adapter=adapter, jtag=adapter.jtag(), spi=adapter.spi(), i2c=i2c, flash=flash)
    with count() as sent:
        with pytest.raises(error):
            call(ports)
    assert sent.delta == {COMMAND_OUT: 0, DATA_IN: 0, COUNT_IN: 0}
