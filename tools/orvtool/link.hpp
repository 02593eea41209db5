// The opened adapter as the protocol modules see it: the handle the libraries
// take and the USB timeout of each transfer.
#pragma once

#include <cstdint>
#include <functional>

#include <libusb.h>

namespace orvtool {

struct Link {
    libusb_device_handle* handle = nullptr;
    std::uint32_t timeout_ms = 1000;
};

// Told how much of a long operation is done (bytes, sectors, addresses).
using Progressed = std::function<void(std::uint64_t done)>;

} // namespace orvtool
