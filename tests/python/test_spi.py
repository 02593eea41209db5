"""SPI on the virtual board's 25-series flash (JEDEC ID EF 40 16, 4 MiB)."""

import pytest

import orv

JEDEC_ID = bytes.fromhex("ef4016")


@pytest.mark.parametrize("settings", [dict(), dict(mode=3), dict(polarity=1), dict(lsb_first=True)])
def test_transfer_reads_the_jedec_id_in_every_setting_the_flash_speaks(adapter, settings):
    spi = adapter.spi(clock_khz=30000, **settings)
    assert spi.transfer(cmd=0x9F, read=3) == JEDEC_ID


def test_ports_with_other_settings_take_turns_on_one_adapter(adapter):
    msb, lsb = adapter.spi(), adapter.spi(lsb_first=True)
    i2c = adapter.i2c()
    for port in (msb, lsb, msb, lsb):
        assert port.transfer(cmd=0x9F, read=3) == JEDEC_ID
        assert i2c.probe(0x50)


def test_address_and_dummy_phases_make_a_fast_read_equal_a_read(adapter):
    spi = adapter.spi()
    orv.SpiFlash(spi).write(0x3010, b"fast read")  # the flash and the raw port take turns
    plain = spi.transfer(cmd=0x03, addr=0x3010, addr_bytes=3, read=9)
    fast = spi.transfer(cmd=0x0B, addr=0x3010, addr_bytes=3, dummy_clocks=8, read=9)
    assert plain == fast == b"fast read"
    assert spi.transfer(write=bytes(4), read=4) == b"\xff" * 4  # no command: the flash stays silent


@pytest.mark.parametrize(
    "lsb_first, command, bits, reply",
    [
        (False, 0x9F << 24, 32, 0xEF4016),  # MSB first: command in the top byte, reply below
        (False, 0x9F << 20, 28, 0xEF401),  # cut after 28 bits: the reply's first 20 bits
        (True, 0x9F, 32, 0x1640EF),  # LSB first: command in the low byte, reply bytes above
    ],
)
def test_bit_transfers_read_as_packed_or_as_aligned_ints(adapter, lsb_first, command, bits, reply):
    spi = adapter.spi(lsb_first=lsb_first)
    assert spi.transfer_bits(bits=24, read=True, cmd=0x9F) == JEDEC_ID
    # Full duplex with an int: bit i of the reply was sampled as bit i went out.
    received = spi.transfer_bits(command, bits=bits, read=True)
    assert received >> (8 if lsb_first else 0) & ((1 << (bits - 8)) - 1) == reply
    assert spi.transfer_bits(b"\x9f\x00", bits=12) is None
