"""A SPI flash and a 24C32 behind an STM32F301's pins (bscan-flash), through
``boundary.spi()`` and ``boundary.i2c()``: orv.SpiFlash and the I2C calls on
them as on the adapter's own buses, and the refusals."""

import os

import pytest

import orv

BOARDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim", "boards")


def test_spi_flash_on_pins_reads_writes_and_verifies(pin_flash_adapter: orv.Adapter) -> None:
    boundary = pin_flash_adapter.jtag(tck_khz=30000).boundary(bsdl=BOARDS, tap=1)
    with boundary:
        bus = boundary.spi(cs="PA4", sck="PA5", mosi="PA7", miso="PA6")
        with orv.SpiFlash(bus) as flash:
            info = flash.identify()
            assert (info.jedec_id, info.size) == (bytes.fromhex("ef4014"), 1 << 20)
            data = bytes((i * 5 + 1) & 0xFF for i in range(200))
            flash.write(0x3F80, data)
            assert flash.read(0x3F80, len(data)) == data
            flash.verify(0x3F80, data)


def test_bad_pins_are_refused(pin_flash_adapter: orv.Adapter) -> None:
    boundary = pin_flash_adapter.jtag(tck_khz=30000).boundary(bsdl=BOARDS, tap=1)
    with boundary:
        with pytest.raises(ValueError):
            boundary.spi(cs="PA4", sck="PA5", mosi="PA7", miso="PA6", mode=1)
        with pytest.raises(orv.OrvError) as caught:
            orv.SpiFlash(boundary.spi(cs="PA4", sck="PA5", mosi="PZ9", miso="PA6"))
        assert "PZ9" in str(caught.value)


def test_i2c_eeprom_on_pins_as_on_the_adapter(pin_flash_adapter: orv.Adapter) -> None:
    """The 24C32 on PB6/PB7: the calls of adapter.i2c(), unchanged."""
    boundary = pin_flash_adapter.jtag(tck_khz=30000).boundary(bsdl=BOARDS, tap=1)
    with boundary:
        bus = boundary.i2c(scl="PB6", sda="PB7")
        assert bus.scan(first=0x48, last=0x57) == [0x50]
        data = bytes(range(0x40, 0x40 + 40))
        bus.eeprom_write(0x50, 0x3E0 - 4, data, reg16=True, page_size=32)
        assert bus.read_reg(0x50, 0x3E0 - 4, len(data), reg16=True) == data
        assert bus.transfer([("w", 0x50, b"\x03\xdc"), ("r", 0x50, 4)]) == [data[:4]]
        with pytest.raises(orv.NoAcknowledge):
            bus.read(0x51, 1)
        del bus  # one bus on the pins at a time: this one closes
        waiting = boundary.i2c(scl="PB6", sda="PB7", stretch=True)  # SCL read after every release
        assert waiting.read_reg(0x50, 0x3E0 - 4, 4, reg16=True) == data[:4]
        with pytest.raises(TypeError):
            boundary.i2c(scl="PB6", sda=7)  # type: ignore[arg-type]
