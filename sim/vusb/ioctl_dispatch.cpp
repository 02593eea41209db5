// The usbdevfs ioctls that libusb's Linux backend sends to
// /dev/bus/usb/BBB/DDD, each sent where it is answered. umockdev forwards
// them from the client process and calls the handler on the testbed's worker
// thread, one ioctl at a time.
#include <cerrno>
#include <stdexcept>
#include <string>

#include <sys/ioctl.h>

#include "sim/vusb/ioctl_log.hpp"
#include "sim/vusb/virtual_device.hpp"

namespace orv::sim {

namespace {

// What libusb learns from GET_CAPABILITIES: one URB per transfer of any
// length (no splitting into 16 KiB pieces), as a modern xHCI host offers.
constexpr std::uint32_t USBFS_CAPS = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

gboolean on_handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    static_cast<VirtualUsb::Device*>(user)->handle(client);
    return TRUE;
}

void on_client_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    static_cast<VirtualUsb::Device*>(user)->client_gone(client);
}

} // namespace

VirtualUsb::Device::~Device()
{
    set_claim(nullptr);
    if (handler != nullptr) {
        g_object_unref(handler);
    }
}

// Before the device record is added: umockdev sends the node's ioctls to the
// handler attached to it at that moment.
void VirtualUsb::Device::attach(UMockdevTestbed* testbed)
{
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_handle_ioctl), this);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(on_client_vanished), this);
    GError* gerror = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, devnode.c_str(), handler, &gerror)) {
        std::string text = gerror != nullptr ? gerror->message : "unknown error";
        g_clear_error(&gerror);
        throw std::runtime_error("umockdev: cannot attach the ioctl handler to " + devnode + ": " + text);
    }
}

// No ioctl reaches the device after this.
void VirtualUsb::Device::detach(UMockdevTestbed* testbed)
{
    if (handler != nullptr) {
        g_signal_handlers_disconnect_by_data(handler, this);
        umockdev_testbed_detach_ioctl(testbed, devnode.c_str(), nullptr);
    }
}

void VirtualUsb::Device::handle(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return;
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB: // never blocks here: libusb only uses the non-blocking form
        reap(client, arg);
        return;
    case USBDEVFS_DISCARDURB:
        discard(client, arg);
        return;
    case USBDEVFS_CONTROL:
        control(client, arg);
        return;
    case USBDEVFS_GET_CAPABILITIES:
        trace("%s: GET_CAPABILITIES", devnode.c_str());
        if (!write_arg(arg, USBFS_CAPS)) {
            complete(client, -1, EFAULT);
            return;
        }
        complete(client, 0, 0);
        return;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned int interface = 0;
        if (!read_arg(arg, &interface)) {
            complete(client, -1, EFAULT);
            return;
        }
        claim(client, interface, request == USBDEVFS_CLAIMINTERFACE);
        return;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        // libusb's claim with automatic driver detach: no driver to detach.
        usbdevfs_disconnect_claim detach_and_claim{};
        if (!read_arg(arg, &detach_and_claim)) {
            complete(client, -1, EFAULT);
            return;
        }
        claim(client, detach_and_claim.interface, true);
        return;
    }
    case USBDEVFS_SETINTERFACE: {
        usbdevfs_setinterface set{};
        const bool ok = read_arg(arg, &set) && set.interface == 0 && set.altsetting == 0;
        complete(client, ok ? 0 : -1, ok ? 0 : EINVAL);
        return;
    }
    case USBDEVFS_SETCONFIGURATION: {
        int config = 0;
        const bool ok = read_arg(arg, &config) && (config == 1 || config == -1 || config == 0);
        complete(client, ok ? 0 : -1, ok ? 0 : EINVAL);
        return;
    }
    case USBDEVFS_GET_SPEED:
        complete(client, USB_SPEED_HIGH, 0);
        return;
    case USBDEVFS_CONNECTINFO: {
        usbdevfs_connectinfo info{};
        info.devnum = devnum;
        info.slow = 0;
        const bool ok = write_arg(arg, info);
        complete(client, ok ? 0 : -1, ok ? 0 : EFAULT);
        return;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound to the interface: nothing to query or detach.
        complete(client, -1, ENODATA);
        return;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
    case USBDEVFS_DROP_PRIVILEGES:
        complete(client, 0, 0);
        return;
    default:
        trace("%s: unknown ioctl 0x%lx", devnode.c_str(), request);
        complete(client, -1, ENOTTY);
        return;
    }
}

// The device has interface 0 only, claimed by one client (an open file of
// one program) at a time, as usbfs does: another claim fails with EBUSY
// until the owner releases it or closes the device.
void VirtualUsb::Device::claim(UMockdevIoctlClient* client, unsigned int interface, bool take)
{
    trace("%s: %s %u", devnode.c_str(), take ? "CLAIM" : "RELEASE", interface);
    if (interface != 0) {
        complete(client, -1, EINVAL);
        return;
    }
    std::lock_guard lock(mutex);
    if (!take) {
        const bool ours = claimed_by == client;
        if (ours) {
            set_claim(nullptr);
        }
        complete(client, ours ? 0 : -1, ours ? 0 : EINVAL);
        return;
    }
    if (claimed_by_other(client)) {
        complete(client, -1, EBUSY);
        return;
    }
    set_claim(client);
    complete(client, 0, 0);
}

bool VirtualUsb::Device::claimed_by_other(UMockdevIoctlClient* client)
{
    if (claimed_by == nullptr || claimed_by == client) {
        return false;
    }
    if (umockdev_ioctl_client_get_connected(claimed_by) != FALSE) {
        return true;
    }
    trace("%s: the client that claimed interface 0 is gone: released", devnode.c_str());
    UMockdevIoctlClient* const gone = claimed_by;
    std::erase_if(completed, [gone](const Urb& urb) { return urb.client == gone; });
    std::erase_if(held, [gone](const Urb& urb) { return urb.client == gone; });
    set_claim(nullptr);
    return false;
}

void VirtualUsb::Device::set_claim(UMockdevIoctlClient* client)
{
    if (client == claimed_by) {
        return;
    }
    if (client != nullptr) {
        g_object_ref(client);
    }
    if (claimed_by != nullptr) {
        g_object_unref(claimed_by);
    }
    claimed_by = client;
}

} // namespace orv::sim
