#include "instant_usb.hpp"

#include <cstring>

#include "wire.hpp"

extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int /*timeout*/)
{
    auto* adapter = reinterpret_cast<orv::bench::InstantAdapter*>(handle);
    switch (endpoint) {
    case orv::EP_COMMAND_OUT:
        adapter->last_out = length;
        *transferred = length;
        return 0;
    case orv::EP_READBACK_COUNT_IN:
        if (length < 4) {
            *transferred = 0;
            return LIBUSB_ERROR_OVERFLOW;
        }
        data[0] = static_cast<unsigned char>(adapter->ready);
        data[1] = static_cast<unsigned char>(adapter->ready >> 8);
        data[2] = static_cast<unsigned char>(adapter->ready >> 16);
        data[3] = static_cast<unsigned char>(adapter->ready >> 24);
        *transferred = 4;
        return 0;
    case orv::EP_READBACK_DATA_IN:
        std::memset(data, 0, static_cast<std::size_t>(length));
        adapter->last_in = length;
        *transferred = length;
        return 0;
    default:
        *transferred = 0;
        return LIBUSB_ERROR_NOT_FOUND;
    }
}
