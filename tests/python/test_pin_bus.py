"""A SPI flash behind an STM32F301's pins (adapter 4, bscan-flash), through
``boundary.spi()``: orv.SpiFlash on it as on the adapter's own SPI, and the
refusals."""

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
