"""I2C on the virtual boards. Adapter 0: a 24C02-style EEPROM at 0x50 (8-byte
pages), a register file at 0x68 (0x75 reads 0x68 and refuses writes, 0x6B
resets to 0x40) and a 256-byte memory at 10-bit address 0x2A5. Adapter 1: a
24C32-like EEPROM at 0x50 (two address bytes, 32-byte pages)."""

import pytest

import orv
from orv import _devices as abi
from conftest import urbs


@pytest.fixture
def i2c(adapter):
    return adapter.i2c(clock_khz=400)


def test_scan_and_probe_find_the_devices_as_i2cdetect(i2c):
    assert i2c.scan() == [0x50, 0x68]
    assert i2c.scan(ten_bit=True, first=0x2A0, last=0x2AF) == [0x2A5]
    assert [i2c.probe(a, ten_bit=True) for a in (0x2A5, 0x2A4, 0x0A5)] == [True, False, False]
    seen = []
    assert i2c.scan(first=0x48, last=0x4F, progress=lambda done, total: seen.append((done, total))) == []
    assert seen == [(n, 8) for n in range(9)]


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


def test_registers_read_as_numbers(i2c):
    i2c.write_reg(0x68, 0x10, b"\x12\x34")
    assert i2c.read_reg_int(0x68, 0x75) == 0x68
    assert i2c.read_reg_int(0x68, 0x10, 2) == 0x3412  # low byte first, as i2cget reads a word
    assert i2c.read_reg_int(0x68, 0x10, 2, byteorder="big") == 0x1234
    with pytest.raises(ValueError, match="byteorder"):
        i2c.read_reg_int(0x68, 0x10, 2, byteorder="middle")


@pytest.mark.parametrize(
    "call",
    [
        lambda i2c: i2c.read("0x50", 1),
        lambda i2c: i2c.read_reg("0x68", 0x75),
        lambda i2c: i2c.write("0x50", b"\x00"),
        lambda i2c: i2c.write_reg("0x68", 0x10, 1),
        lambda i2c: i2c.probe("0x50"),
        lambda i2c: i2c.transfer([("r", "0x50", 1)]),
    ],
)
def test_an_address_given_as_text_is_a_type_error_and_nothing_is_sent(i2c, call, count):
    with count() as sent, pytest.raises(TypeError, match="addr must be an int, not str"):
        call(i2c)
    assert urbs(sent) == (0, 0, 0)


def test_a_256_byte_read_is_one_transaction_not_256_round_trips(i2c, count):
    data = bytes(255 - i for i in range(256))
    i2c.write(0x2A5, b"\x00" + data, ten_bit=True)
    i2c.write(0x2A5, b"\x00", ten_bit=True)
    with count() as sent:
        assert i2c.read(0x2A5, 256, ten_bit=True) == data
    # One command transfer and one data read, with a few count polls
    # between; a round trip per byte would take 256 of each.
    out, polls, reads = urbs(sent)
    assert (out, reads) == (1, 1) and polls <= 3


def test_eeprom_writes_go_page_by_page_and_reg16_addresses_a_24c32(eeprom16_adapter):
    i2c = eeprom16_adapter.i2c()
    data = bytes(0x80 + i for i in range(40))
    # Across the page boundary at 0x800: one write would wrap to 0x7E0.
    i2c.eeprom_write(0x50, 0x07F0, data, page_size=32, reg16=True)
    assert i2c.read_reg(0x50, 0x07F0, 40, reg16=True) == data
    # The repeated START of a combined transfer reads the same.
    assert i2c.transfer([("w", 0x50, b"\x08\x00"), ("r", 0x50, 8)]) == [data[16:24]]
    # With one address byte the EEPROM would take 0x07 as the offset's high byte.
    with pytest.raises(ValueError, match="does not fit 1 address byte"):
        i2c.read_reg(0x50, 0x07F0, 4)
    i2c.write_reg(0x50, 0x0100, b"\xAA\xBB", reg16=True)  # within one page: a plain register write
    assert i2c.read_reg(0x50, 0x0100, 2, reg16=True) == b"\xAA\xBB"


def test_a_combined_transfer_names_the_refused_byte_and_the_missing_device(i2c):
    assert i2c.transfer([("w", 0x68, b"\x75"), ("r", 0x68, 1), ("r", 0x68, 2)]) == [b"\x68", b"\x00\x00"]
    # 0x75 is read-only: the register file refuses its value, byte 1 of the
    # second message.
    with pytest.raises(orv.NoAcknowledge) as refused:
        i2c.transfer([("w", 0x68, b"\x10"), ("w", 0x68, b"\x75\x01")])
    e = refused.value
    assert (e.code, e.address, e.message_index, e.byte_index) == (abi.ORVDEV_ERROR_I2C_DATA_NACK, 0x68, 1, 1)
    with pytest.raises(orv.NoAcknowledge) as missing:
        i2c.transfer([("w", 0x68, b"\x10"), ("r", 0x51, 1)])
    e = missing.value
    assert (e.code, e.address, e.message_index, e.byte_index) == (abi.ORVDEV_ERROR_I2C_NO_ACK, 0x51, 1, None)
    assert str(e).startswith("I2C transfer (w 0x68, r 0x51): no device acknowledged address 0x51 (message 1, counted from 0)")


def test_a_plain_write_names_the_refused_byte(i2c):
    for call in (lambda: i2c.write_reg(0x68, 0x75, 0x12), lambda: i2c.write(0x68, b"\x75\x12")):
        with pytest.raises(orv.NoAcknowledge) as raised:
            call()
        e = raised.value
        assert (e.code, e.address, e.byte_index, e.message_index) == (abi.ORVDEV_ERROR_I2C_DATA_NACK, 0x68, 1, None)
    with pytest.raises(orv.NoAcknowledge) as missing:
        i2c.write(0x51, b"")  # the address alone
    assert missing.value.address == 0x51
