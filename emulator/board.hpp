// What sits behind the adapter's three connectors: a JTAG chain, a SPI NOR
// flash and an I2C bus with its devices. make_default_board_parts() builds
// the default board (see README.md); other boards are assembled from the same
// parts.
#pragma once

#include "i2c_bus.hpp"
#include "jtag_chain.hpp"
#include "spi_flash.hpp"

namespace orv::emu {

struct Board {
    JtagChain jtag;
    SpiFlash flash;
    I2cBus i2c;
};

// `flash` replaces the default flash's settings (a smaller memory, say, where
// a 4 MiB array per board would cost too much).
Board make_default_board_parts(SpiFlashConfig flash = {});

} // namespace orv::emu
