"""I2C on the virtual board: a 24C02-style EEPROM at 0x50 (8-byte pages), a
register file at 0x68 (0x75 reads 0x68, 0x6B resets to 0x40) and a 256-byte
memory at 10-bit address 0x2A5."""

import pytest

from conftest import COMMAND_OUT, COUNT_IN, DATA_IN


@pytest.fixture
def i2c(adapter):
    return adapter.i2c(clock_khz=400)


def test_scan_and_probe_find_the_devices(i2c):
    assert i2c.scan() == [0x50, 0x68]
    assert [i2c.probe(a, ten_bit=True) for a in (0x2A5, 0x2A4, 0x0A5)] == [True, False, False]


def test_registers_read_and_write(i2c):
    assert i2c.read_reg(0x68, 0x75) == b"\x68"
    assert i2c.read_reg(0x68, 0x6B) == b"\x40"
    i2c.write_reg(0x68, 0x10, b"\x12\x34\x56")
    i2c.write_reg(0x68, 0x13, 0x78)
    assert i2c.read_reg(0x68, 0x10, 4) == bytes.fromhex("12345678")


@pytest.mark.parametrize("addr, ten_bit, size", [(0x50, False, 8), (0x2A5, True, 256)])
def test_memory_writes_a_page_and_reads_it_back(i2c, addr, ten_bit, size):
    data = bytes((7 * i + 1) & 0xFF for i in range(size))
    i2c.write(addr, bytes([0x00]) + data, ten_bit=ten_bit)
    i2c.write(addr, b"\x00", ten_bit=ten_bit)
    assert i2c.read(addr, size, ten_bit=ten_bit) == data


def test_a_256_byte_read_is_one_transaction_not_256_round_trips(i2c, count):
    data = bytes(255 - i for i in range(256))
    i2c.write(0x2A5, b"\x00" + data, ten_bit=True)
    i2c.write(0x2A5, b"\x00", ten_bit=True)
    with count() as sent:
        assert i2c.read(0x2A5, 256, ten_bit=True) == data
    # One command transfer and one data read, with a few count polls
    # between; a round trip per byte would take 256 of each.
    assert (sent.delta[COMMAND_OUT], sent.delta[DATA_IN]) == (1, 1)
    assert sent.delta[COUNT_IN] <= 3
