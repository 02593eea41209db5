// A transfer stand-in that answers at once, for measuring what the libraries
// themselves cost. The handle passed to the libraries points at an
// InstantAdapter: OUT transfers are accepted whole (their length recorded,
// their bytes not touched), every poll reports `ready` bytes, and a data read
// delivers the bytes asked for (zeros: an acknowledged I2C transaction).
#pragma once

#include <cstdint>

#include <libusb.h>

namespace orv::bench {

struct InstantAdapter {
    std::uint32_t ready = 0; // count every poll reports
    int last_out = 0;        // length of the latest OUT transfer
    int last_in = 0;         // length of the latest data read

    libusb_device_handle* handle() noexcept { return reinterpret_cast<libusb_device_handle*>(this); }
};

} // namespace orv::bench
