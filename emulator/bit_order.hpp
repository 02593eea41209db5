// The order in which a shift command moves the bits of a byte over its data
// line. The shift engine, the read-back packing and the SPI flash all follow
// it.
#pragma once

#include <cstdint>

namespace orv::emu {

enum class BitOrder : std::uint8_t { lsb_first, msb_first };

} // namespace orv::emu
