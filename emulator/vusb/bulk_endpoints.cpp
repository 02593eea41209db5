// What a bulk URB does on each endpoint of the virtual adapter, and what a
// fault changes about it:
//   0x02 OUT  the whole transfer is one command buffer for the model
//   0x83 IN   the model's ready count, 4 bytes little endian
//   0x81 IN   read-back bytes popped from the model, up to the request
#include <algorithm>
#include <cerrno>
#include <vector>

#include "device.hpp"
#include "trace.hpp"
#include "wire.hpp"

namespace orv::sim {

// Fills in the URB's status and actual_length, and for IN URBs its buffer.
void VirtualUsb::Device::run_bulk(usbdevfs_urb& urb, UMockdevIoctlData* urb_data, FaultKind fault_now)
{
    const auto length = static_cast<std::size_t>(urb.buffer_length);
    urb.status = 0;
    urb.actual_length = 0;
    switch (fault_now) {
    case FaultKind::unplugged:
        urb.status = -ENODEV;
        trace("%s: ep 0x%02x -> ENODEV", devnode.c_str(), urb.endpoint);
        return;
    case FaultKind::stall:
        urb.status = -EPIPE;
        trace("%s: ep 0x%02x -> EPIPE", devnode.c_str(), urb.endpoint);
        return;
    default:
        break;
    }

    const bool short_transfer = fault_now == FaultKind::short_transfer;
    DataRef buffer;
    if (length > 0) {
        buffer = resolve(urb_data, offsetof(usbdevfs_urb, buffer), length);
        if (buffer.data == nullptr) {
            urb.status = -EFAULT;
            return;
        }
    }

    if (urb.endpoint == EP_COMMAND_OUT) {
        // A short OUT transfer stands for a packet the adapter dropped: none
        // of it is executed, and the host sees fewer bytes accepted.
        trace("%s: OUT %zu: %s%s", devnode.c_str(), length,
              length > 0 ? hex_string(buffer.data->data, length).c_str() : "",
              short_transfer ? " (short)" : "");
        if (short_transfer) {
            urb.actual_length = length > 0 ? static_cast<int>(length - 1) : 0;
            return;
        }
        if (length > 0) {
            model->write_commands(std::span<const std::uint8_t>(buffer.data->data, length));
        }
        urb.actual_length = static_cast<int>(length);
        return;
    }

    std::vector<std::uint8_t> in(length, 0);
    std::size_t produced = 0;
    if (urb.endpoint == EP_READBACK_COUNT_IN) {
        std::uint32_t count = 0;
        if (fault_now != FaultKind::never_fill) {
            count = model->poll_count();
        }
        const CountBytes bytes = encode_count(count);
        // A real adapter answers its 4 count bytes whatever the host asks for;
        // a shorter request gets what fits.
        produced = std::min<std::size_t>(length, short_transfer ? bytes.size() - 1 : bytes.size());
        std::copy_n(bytes.begin(), produced, in.begin());
        trace("%s: POLL %zu -> %u%s", devnode.c_str(), length, count, short_transfer ? " (short)" : "");
    } else {
        std::size_t want = length;
        if (short_transfer && want > 0) {
            want -= 1;
        }
        produced = model->read_data(std::span<std::uint8_t>(in.data(), want));
        if (produced > want) { // never trust the model to respect the span
            produced = want;
        }
        trace("%s: DATA %zu -> %zu: %s", devnode.c_str(), length, produced,
              hex_string(in.data(), produced).c_str());
    }
    if (produced > 0) {
        umockdev_ioctl_data_update(buffer.data, 0, in.data(), static_cast<gint>(produced));
    }
    urb.actual_length = static_cast<int>(produced);
}

} // namespace orv::sim
