// libusb_bulk_transfer for programs that run the libraries against an
// in-process Adapter instead of a USB device (see inproc_usb.hpp).
#include <cstdint>
#include <exception>
#include <span>

#include <libusb.h>

#include "adapter.hpp"
#include "wire.hpp"

extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int /*timeout*/)
{
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (handle == nullptr || transferred == nullptr || length < 0 || (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    auto* adapter = reinterpret_cast<orv::emu::Adapter*>(handle);
    const auto size = static_cast<std::size_t>(length);
    try {
        switch (endpoint) {
        case orv::EP_COMMAND_OUT:
            adapter->write_commands(std::span<const std::uint8_t>(data, size));
            *transferred = length;
            return 0;
        case orv::EP_READBACK_COUNT_IN: {
            // The count is one 4-byte packet: a smaller buffer overflows.
            if (length < 4) {
                return LIBUSB_ERROR_OVERFLOW;
            }
            const std::uint32_t count = adapter->poll_count();
            for (int i = 0; i < 4; ++i) {
                data[i] = static_cast<unsigned char>(count >> (8 * i));
            }
            *transferred = 4;
            return 0;
        }
        case orv::EP_READBACK_DATA_IN:
            *transferred = static_cast<int>(adapter->read_data(std::span<std::uint8_t>(data, size)));
            return 0;
        default:
            return LIBUSB_ERROR_NOT_FOUND;
        }
    } catch (const std::exception&) {
        return LIBUSB_ERROR_NO_MEM;
    }
}
