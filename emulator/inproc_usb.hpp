// In-process stand-in for libusb_bulk_transfer (target orv_emu_inproc): a
// program linked with it instead of libusb talks straight to an Adapter. The
// handle passed to the libraries is the Adapter itself; endpoint 0x02 goes to
// write_commands, 0x83 to poll_count (4 bytes, little-endian), 0x81 to
// read_data.
#pragma once

#include <libusb.h>

#include "adapter.hpp"

namespace orv::emu {

inline libusb_device_handle* as_handle(Adapter& adapter) noexcept
{
    return reinterpret_cast<libusb_device_handle*>(&adapter);
}

} // namespace orv::emu
