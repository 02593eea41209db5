// The virtual adapter's descriptors, and the standard control requests on
// endpoint 0 that read them: as a CONTROL ioctl or as a control URB.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "lib/wire/wire.hpp"
#include "sim/vusb/ioctl_log.hpp"
#include "sim/vusb/virtual_device.hpp"

namespace orv::sim {

namespace {

constexpr std::uint8_t STRING_MANUFACTURER = 1;
constexpr std::uint8_t STRING_PRODUCT = 2;
constexpr std::uint8_t STRING_SERIAL = 3;
constexpr std::uint16_t USB_VERSION_BCD = 0x0200;    // USB 2.0
constexpr std::uint16_t DEVICE_VERSION_BCD = 0x0100; // 1.00
constexpr std::uint8_t CONFIGURATION_VALUE = 1;
constexpr std::uint8_t ENDPOINT_COUNT = 3;
constexpr std::uint8_t EP0_PACKET_SIZE = 64;
constexpr std::uint8_t MAX_POWER_2MA = 50; // 100 mA, bus powered

constexpr std::uint8_t low_byte(unsigned value) noexcept
{
    return static_cast<std::uint8_t>(value & 0xFF);
}
constexpr std::uint8_t high_byte(unsigned value) noexcept
{
    return static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

constexpr unsigned CONFIGURATION_LENGTH =
    USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + ENDPOINT_COUNT * USB_DT_ENDPOINT_SIZE;

// Device descriptor, then the configuration with one vendor-class interface
// and its three bulk endpoints.
constexpr std::array<std::uint8_t, USB_DT_DEVICE_SIZE + CONFIGURATION_LENGTH> DESCRIPTORS = {
    // device: vendor class, one configuration
    USB_DT_DEVICE_SIZE, USB_DT_DEVICE, low_byte(USB_VERSION_BCD), high_byte(USB_VERSION_BCD),
    USB_CLASS_VENDOR_SPEC, 0x00, 0x00, EP0_PACKET_SIZE, low_byte(VIRTUAL_VID), high_byte(VIRTUAL_VID),
    low_byte(VIRTUAL_PID), high_byte(VIRTUAL_PID), low_byte(DEVICE_VERSION_BCD),
    high_byte(DEVICE_VERSION_BCD), STRING_MANUFACTURER, STRING_PRODUCT, STRING_SERIAL, 1,
    // configuration: one interface, no string
    USB_DT_CONFIG_SIZE, USB_DT_CONFIG, low_byte(CONFIGURATION_LENGTH), high_byte(CONFIGURATION_LENGTH), 1,
    CONFIGURATION_VALUE, 0, USB_CONFIG_ATT_ONE, MAX_POWER_2MA,
    // interface 0, alternate setting 0: vendor class
    USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, ENDPOINT_COUNT, USB_CLASS_VENDOR_SPEC, 0x00, 0x00, 0,
    // the bulk endpoints
    USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, EP_COMMAND_OUT, USB_ENDPOINT_XFER_BULK, low_byte(BULK_PACKET_SIZE),
    high_byte(BULK_PACKET_SIZE), 0, //
    USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, EP_READBACK_DATA_IN, USB_ENDPOINT_XFER_BULK,
    low_byte(BULK_PACKET_SIZE), high_byte(BULK_PACKET_SIZE), 0, //
    USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, EP_READBACK_COUNT_IN, USB_ENDPOINT_XFER_BULK,
    low_byte(BULK_PACKET_SIZE), high_byte(BULK_PACKET_SIZE), 0};

// A string descriptor: length, type 3, UTF-16LE text (ASCII here).
std::vector<std::uint8_t> string_descriptor(const std::string& text)
{
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()), USB_DT_STRING};
    for (char c : text) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

} // namespace

std::span<const std::uint8_t> descriptor_blob() noexcept
{
    return DESCRIPTORS;
}

// Standard device requests on endpoint 0: descriptors and status. Empty for
// anything else, which the device answers with a stall.
std::vector<std::uint8_t> VirtualUsb::Device::control_reply(const usb_ctrlrequest& setup) const
{
    constexpr std::uint8_t STANDARD_DEVICE_IN = USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE;
    if (setup.bRequestType != STANDARD_DEVICE_IN) {
        return {};
    }
    if (setup.bRequest == USB_REQ_GET_STATUS) {
        return {0, 0};
    }
    if (setup.bRequest == USB_REQ_GET_CONFIGURATION) {
        return {CONFIGURATION_VALUE};
    }
    if (setup.bRequest != USB_REQ_GET_DESCRIPTOR) {
        return {};
    }
    const unsigned type = setup.wValue >> 8;
    const unsigned index_value = setup.wValue & 0xFF;
    switch (type) {
    case USB_DT_DEVICE:
        return {DESCRIPTORS.begin(), DESCRIPTORS.begin() + USB_DT_DEVICE_SIZE};
    case USB_DT_CONFIG:
        if (index_value == 0) {
            return {DESCRIPTORS.begin() + USB_DT_DEVICE_SIZE, DESCRIPTORS.end()};
        }
        return {};
    case USB_DT_STRING:
        switch (index_value) {
        case 0:
            return {4, USB_DT_STRING, 0x09, 0x04}; // US English only
        case STRING_MANUFACTURER:
            return string_descriptor("ORV");
        case STRING_PRODUCT:
            return string_descriptor("ORV USB bridge (virtual)");
        case STRING_SERIAL:
            return string_descriptor(serial);
        default:
            return {};
        }
    default:
        return {};
    }
}

// Synchronous control transfer (libusb does not use it, other tools may).
void VirtualUsb::Device::control(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    DataRef ctrl_data = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (ctrl_data.data == nullptr) {
        complete(client, -1, EFAULT);
        return;
    }
    usbdevfs_ctrltransfer ctrl{};
    std::memcpy(&ctrl, ctrl_data.data->data, sizeof(ctrl));
    const usb_ctrlrequest setup{ctrl.bRequestType, ctrl.bRequest, ctrl.wValue, ctrl.wIndex, ctrl.wLength};
    const std::vector<std::uint8_t> reply = control_reply(setup);
    if (reply.empty()) {
        trace("%s: CONTROL %02x %02x %04x stalled", devnode.c_str(), ctrl.bRequestType, ctrl.bRequest,
              ctrl.wValue);
        complete(client, -1, EPIPE);
        return;
    }
    const std::size_t n = std::min<std::size_t>(reply.size(), ctrl.wLength);
    if (n > 0) {
        DataRef buffer = resolve(ctrl_data.data, offsetof(usbdevfs_ctrltransfer, data), n);
        if (buffer.data == nullptr) {
            complete(client, -1, EFAULT);
            return;
        }
        umockdev_ioctl_data_update(buffer.data, 0, const_cast<guint8*>(reply.data()), static_cast<gint>(n));
    }
    complete(client, static_cast<long>(n), 0);
}

// A control URB: the buffer holds the 8-byte setup packet, then the data stage.
void VirtualUsb::Device::run_control(usbdevfs_urb& urb, UMockdevIoctlData* urb_data)
{
    urb.status = 0;
    urb.actual_length = 0;
    const auto length = static_cast<std::size_t>(urb.buffer_length);
    if (length < sizeof(usb_ctrlrequest)) {
        urb.status = -EINVAL;
        return;
    }
    DataRef buffer = resolve(urb_data, offsetof(usbdevfs_urb, buffer), length);
    if (buffer.data == nullptr) {
        urb.status = -EFAULT;
        return;
    }
    usb_ctrlrequest setup{};
    std::memcpy(&setup, buffer.data->data, sizeof(setup));
    const std::vector<std::uint8_t> reply = control_reply(setup);
    if (reply.empty()) {
        trace("%s: CONTROL %02x %02x %04x stalled", devnode.c_str(), setup.bRequestType, setup.bRequest,
              setup.wValue);
        urb.status = -EPIPE;
        return;
    }
    const std::size_t n = std::min({reply.size(), std::size_t{setup.wLength}, length - sizeof(setup)});
    if (n > 0) {
        umockdev_ioctl_data_update(buffer.data, sizeof(setup), const_cast<guint8*>(reply.data()),
                                   static_cast<gint>(n));
    }
    urb.actual_length = static_cast<int>(n);
}

} // namespace orv::sim
