// libusb_bulk_transfer for programs linked with an in-process TransferDevice
// (see transfer_device.hpp). No allocation: a check of the arguments and one
// virtual call per transfer.
#include <algorithm>

#include "lib/wire/wire.hpp"
#include "sim/transfer_seam/transfer_device.hpp"

extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int timeout)
{
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (handle == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    auto& device = *reinterpret_cast<orv::seam::TransferDevice*>(handle);
    if (transferred == nullptr || length < 0 || (data == nullptr && length > 0)) {
        return device.refused(endpoint, length, LIBUSB_ERROR_INVALID_PARAM);
    }
    const auto size = static_cast<std::size_t>(length);
    orv::seam::Outcome outcome;
    switch (endpoint) {
    case orv::EP_COMMAND_OUT:
        outcome = device.out({data, size}, timeout);
        break;
    case orv::EP_READBACK_COUNT_IN: {
        // The count is one packet of READBACK_COUNT_LENGTH bytes: a smaller
        // buffer overflows, as on the bus.
        if (size < orv::READBACK_COUNT_LENGTH) {
            return device.refused(endpoint, length, LIBUSB_ERROR_OVERFLOW);
        }
        const orv::seam::CountOutcome poll = device.poll_count(size, timeout);
        const orv::CountBytes bytes = orv::encode_count(poll.count);
        const int arrived = std::clamp(poll.transferred, 0, static_cast<int>(bytes.size()));
        std::copy_n(bytes.begin(), arrived, data);
        outcome = {poll.rc, poll.transferred};
        break;
    }
    case orv::EP_READBACK_DATA_IN:
        outcome = device.read_data({data, size}, timeout);
        break;
    default:
        return device.refused(endpoint, length, LIBUSB_ERROR_NOT_FOUND);
    }
    *transferred = outcome.transferred;
    return outcome.rc;
}
