"""Finding, opening and closing adapters; loading the libraries."""

import pytest

import orv
from orv import _lib
from conftest import SERIALS

VID, PID = 0x1209, 0x4F52


def test_list_shows_every_virtual_adapter_with_its_ids_place_and_strings():
    found = orv.list()
    assert [(i.vid, i.pid, i.bus, i.address, i.serial) for i in found] == [
        (VID, PID, 1, 2, SERIALS[0]),
        (VID, PID, 1, 3, SERIALS[1]),
    ]
    assert all(i.product == "ORV USB bridge (virtual)" for i in found)
    assert str(found[1]) == "1209:4f52 bus 001 device 003 serial ORVSIM0001 (ORV USB bridge (virtual))"


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
    assert adapter.closed


def test_open_refuses_an_ambiguous_or_missing_choice():
    with pytest.raises(ValueError, match="2 adapters match .*ORVSIM0000.*ORVSIM0001"):
        orv.open(vid=VID, pid=PID)
    with pytest.raises(orv.AdapterNotFound) as missing:
        orv.open(serial="ORVSIM9999")
    assert (missing.value.code, missing.value.text) == (-5, "usb entity not found")
    assert isinstance(missing.value, orv.UsbError)


@pytest.mark.parametrize(
    "criteria, error",
    [
        (dict(vid=0x10000), ValueError),
        (dict(pid=-1), ValueError),
        (dict(address=128), ValueError),
        (dict(bus="1"), TypeError),
        (dict(serial=1), TypeError),
        (dict(serial=SERIALS[0], timeout_ms=-1), ValueError),
    ],
)
def test_open_checks_its_arguments(criteria, error):
    with pytest.raises(error):
        orv.open(**criteria)


def test_one_libusb_serves_the_package_and_the_libraries(adapter):
    adapter.jtag()
    with open("/proc/self/maps") as maps:
        assert len({line.split()[-1] for line in maps if "libusb-1.0" in line}) == 1


def test_a_closed_adapter_refuses_work_and_closes_once():
    adapter = orv.open(serial=SERIALS[0])
    i2c = adapter.i2c()
    adapter.close()
    adapter.close()
    with pytest.raises(ValueError, match="closed"):
        i2c.read(0x50, 1)
    with pytest.raises(ValueError, match="closed"):
        adapter.jtag()


def test_a_library_that_cannot_be_loaded_is_named(tmp_path, monkeypatch):
    (tmp_path / _lib.TAPWIRE).write_bytes(b"not a shared object")
    monkeypatch.setenv(_lib.LIBRARY_PATH_VARIABLE, str(tmp_path))
    monkeypatch.setattr(_lib, "_loaded", None)
    with pytest.raises(orv.LibraryNotFound, match=f"cannot load {tmp_path}/{_lib.TAPWIRE}"):
        orv.list()
