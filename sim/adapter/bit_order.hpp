// The order in which a shift command moves the bits of a byte over its data
// line: the command stream's own BitOrder. The shift engine, the read-back
// packing and the SPI flash all follow it.
#pragma once

#include "lib/wire/command_stream.hpp"

namespace orv::emu {

using orv::BitOrder;

} // namespace orv::emu
