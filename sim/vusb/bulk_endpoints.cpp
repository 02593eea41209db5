// What a bulk URB does on each endpoint of the virtual adapter, and what a
// fault changes about it:
//   0x02 OUT  the whole transfer is one command buffer for the model
//   0x83 IN   the model's ready count, 4 bytes little endian
//   0x81 IN   read-back bytes popped from the model, up to the request
// (the faults themselves are listed in virtual_usb.hpp)
#include <algorithm>
#include <cerrno>
#include <vector>

#include "lib/wire/wire.hpp"
#include "sim/vusb/ioctl_log.hpp"
#include "sim/vusb/virtual_device.hpp"

namespace orv::sim {

namespace {

// 0x02 OUT: the whole transfer is one command buffer. A short transfer stands
// for a packet the adapter dropped: none of it is executed, and the host sees
// fewer bytes accepted. Returns the bytes accepted.
std::size_t command_out(emu::Adapter& model, std::span<const std::uint8_t> buffer, bool short_transfer)
{
    if (short_transfer) {
        return buffer.empty() ? 0 : buffer.size() - 1;
    }
    if (!buffer.empty()) {
        model.write_commands(buffer);
    }
    return buffer.size();
}

// 0x83 IN: the ready count. A real adapter answers its 4 count bytes whatever
// the host asks for; a shorter request gets what fits. Returns the bytes
// written to `in`.
std::size_t count_in(std::uint32_t count, std::span<std::uint8_t> in, bool short_transfer)
{
    const CountBytes bytes = encode_count(count);
    const std::size_t produced = std::min(in.size(), short_transfer ? bytes.size() - 1 : bytes.size());
    std::copy_n(bytes.begin(), produced, in.begin());
    return produced;
}

// 0x81 IN: read-back bytes popped from the model, up to the request (one
// less for a short transfer). Returns the bytes written to `in`.
std::size_t data_in(emu::Adapter& model, std::span<std::uint8_t> in, bool short_transfer)
{
    const std::size_t want = short_transfer && !in.empty() ? in.size() - 1 : in.size();
    const std::size_t produced = model.read_data(in.first(want));
    return std::min(produced, want); // never trust the model to respect the span
}

} // namespace

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
        const std::span<const std::uint8_t> out(length > 0 ? buffer.data->data : nullptr, length);
        trace("%s: OUT %zu: %s%s", devnode.c_str(), length, hex_string(out.data(), out.size()).c_str(),
              short_transfer ? " (short)" : "");
        urb.actual_length = static_cast<int>(command_out(*model, out, short_transfer));
        return;
    }

    std::vector<std::uint8_t> in(length, 0);
    std::size_t produced = 0;
    if (urb.endpoint == EP_READBACK_COUNT_IN) {
        // never_fill: the model is not polled and keeps its bytes.
        std::uint32_t count = fault_now == FaultKind::never_fill ? 0 : model->poll_count();
        if (fault_now == FaultKind::overcount) {
            count += OVERCOUNT_BYTES;
        }
        produced = count_in(count, in, short_transfer);
        trace("%s: POLL %zu -> %u%s", devnode.c_str(), length, count, short_transfer ? " (short)" : "");
    } else {
        produced = data_in(*model, in, short_transfer);
        trace("%s: DATA %zu -> %zu: %s", devnode.c_str(), length, produced,
              hex_string(in.data(), produced).c_str());
        if (fault_now == FaultKind::overflow) {
            // The device sent a packet longer than the room left: the bytes
            // asked for arrived, the one beyond them is lost.
            std::uint8_t lost = 0;
            (void)model->read_data({&lost, 1});
            urb.status = -EOVERFLOW;
            trace("%s: ep 0x%02x -> EOVERFLOW", devnode.c_str(), urb.endpoint);
        }
    }
    if (produced > 0) {
        umockdev_ioctl_data_update(buffer.data, 0, in.data(), static_cast<gint>(produced));
    }
    urb.actual_length = static_cast<int>(produced);
}

} // namespace orv::sim
