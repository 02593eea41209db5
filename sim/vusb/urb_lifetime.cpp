// A URB's life on the virtual device: submitted (executed at once, or held
// by a timeout fault), completed, reaped by the client that submitted it,
// discarded when libusb gives up on a held one, dropped with its client.
// Which fault a bulk URB meets is decided here too.
#include <cerrno>
#include <cstring>
#include <utility>

#include "lib/wire/wire.hpp"
#include "sim/vusb/ioctl_log.hpp"
#include "sim/vusb/virtual_device.hpp"

namespace orv::sim {

namespace {

// Writes only the URB's result fields: its buffer pointer has been rewritten
// by umockdev for the resolved buffer and must stay as it is.
void set_result(UMockdevIoctlData* urb, int status, int actual_length)
{
    umockdev_ioctl_data_update(urb, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(&status),
                               static_cast<gint>(sizeof(status)));
    umockdev_ioctl_data_update(urb, offsetof(usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8*>(&actual_length),
                               static_cast<gint>(sizeof(actual_length)));
}

constexpr bool is_bulk_endpoint(unsigned char endpoint) noexcept
{
    return endpoint == EP_COMMAND_OUT || endpoint == EP_READBACK_DATA_IN || endpoint == EP_READBACK_COUNT_IN;
}

} // namespace

FaultKind VirtualUsb::Device::take_fault(unsigned char endpoint)
{
    if (fault.kind == FaultKind::none || fault.count == 0) {
        return FaultKind::none;
    }
    if (fault.kind == FaultKind::never_fill || fault.kind == FaultKind::overcount) {
        if (endpoint != EP_READBACK_COUNT_IN) {
            return FaultKind::none;
        }
    } else if (fault.kind == FaultKind::overflow) {
        if (endpoint != EP_READBACK_DATA_IN) {
            return FaultKind::none;
        }
    } else if (fault.endpoint != 0 && fault.endpoint != endpoint) {
        return FaultKind::none;
    }
    if (fault.after > 0) {
        --fault.after; // this URB still goes through
        return FaultKind::none;
    }
    const FaultKind kind = fault.kind;
    if (fault.count > 0 && --fault.count == 0) {
        fault = Fault{};
    }
    return kind;
}

void VirtualUsb::Device::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    Urb urb;
    urb.client = client;
    urb.data = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (urb.data.data == nullptr) {
        complete(client, -1, EFAULT);
        return;
    }
    urb.client_addr = urb.data.data->client_addr;
    usbdevfs_urb request = *urb.request();

    if (request.type == USBDEVFS_URB_TYPE_CONTROL && request.endpoint == 0) {
        std::lock_guard lock(mutex);
        run_control(request, urb.data.data);
        set_result(urb.data.data, request.status, request.actual_length);
        completed.push_back(std::move(urb));
        complete(client, 0, 0);
        return;
    }
    if (request.type != USBDEVFS_URB_TYPE_BULK || !is_bulk_endpoint(request.endpoint) ||
        request.buffer_length < 0) {
        trace("%s: SUBMIT refused: type %d endpoint 0x%02x", devnode.c_str(), request.type, request.endpoint);
        complete(client, -1, request.type != USBDEVFS_URB_TYPE_BULK ? EINVAL : ENOENT);
        return;
    }

    std::lock_guard lock(mutex);
    if (claimed_by_other(client)) {
        // The interface is another program's, as usbfs refuses it.
        trace("%s: SUBMIT refused: interface claimed by another client", devnode.c_str());
        complete(client, -1, EBUSY);
        return;
    }
    ++(request.endpoint == EP_COMMAND_OUT        ? submitted_out
       : request.endpoint == EP_READBACK_DATA_IN ? submitted_data
                                                 : submitted_count);
    const FaultKind fault_now = take_fault(request.endpoint);
    if (fault_now == FaultKind::timeout) {
        // The device never answers; libusb gives up at the transfer's timeout
        // and discards the URB.
        trace("%s: SUBMIT ep 0x%02x len %d held (timeout fault)", devnode.c_str(), request.endpoint,
              request.buffer_length);
        held.push_back(std::move(urb));
        complete(client, 0, 0);
        return;
    }
    run_bulk(request, urb.data.data, fault_now);
    set_result(urb.data.data, request.status, request.actual_length);
    completed.push_back(std::move(urb));
    complete(client, 0, 0);
}

void VirtualUsb::Device::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    Urb urb;
    {
        std::lock_guard lock(mutex);
        auto it = completed.begin();
        while (it != completed.end() && it->client != client) {
            ++it;
        }
        if (it == completed.end()) {
            complete(client, -1, EAGAIN);
            return;
        }
        urb = std::move(*it);
        completed.erase(it);
    }
    // The argument points at the client's `struct usbdevfs_urb *`; it
    // receives the address of the URB that completed.
    DataRef slot = resolve(arg, 0, sizeof(void*));
    if (slot.data == nullptr || !umockdev_ioctl_data_set_ptr(slot.data, 0, urb.data.data)) {
        complete(client, -1, EFAULT);
        return;
    }
    trace("%s: REAP ep 0x%02x status %d actual %d", devnode.c_str(), urb.request()->endpoint,
          urb.request()->status, urb.request()->actual_length);
    complete(client, 0, 0);
}

void VirtualUsb::Device::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    // The argument is the URB's address in the client.
    unsigned long address = 0;
    if (arg->data_len >= static_cast<gint>(sizeof(address))) {
        std::memcpy(&address, arg->data, sizeof(address));
    }
    std::lock_guard lock(mutex);
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->client == client && it->client_addr == address) {
            set_result(it->data.data, -ENOENT, 0);
            trace("%s: DISCARD ep 0x%02x", devnode.c_str(), it->request()->endpoint);
            completed.push_back(std::move(*it));
            held.erase(it);
            complete(client, 0, 0);
            return;
        }
    }
    // Already completed (or never submitted): the kernel answers EINVAL.
    complete(client, -1, EINVAL);
}

void VirtualUsb::Device::client_gone(UMockdevIoctlClient* client)
{
    // A closed file descriptor takes its URBs and its claim with it.
    std::lock_guard lock(mutex);
    if (claimed_by == client) {
        set_claim(nullptr);
    }
    std::erase_if(completed, [client](const Urb& urb) { return urb.client == client; });
    std::erase_if(held, [client](const Urb& urb) { return urb.client == client; });
}

} // namespace orv::sim
