// The usbdevfs side of the virtual adapter: answers the ioctls libusb's Linux
// backend sends to /dev/bus/usb/BBB/DDD and routes bulk URBs to the model.
#include "virtual_usb.hpp"

#include "adapter.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include <sys/ioctl.h>

#include <dlfcn.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <unistd.h>

#include <umockdev.h>

namespace orv::sim {

namespace {

constexpr std::uint8_t BUS_NUMBER = 1;
constexpr unsigned char EP_OUT = 0x02;
constexpr unsigned char EP_DATA_IN = 0x81;
constexpr unsigned char EP_COUNT_IN = 0x83;
constexpr std::uint8_t STRING_MANUFACTURER = 1;
constexpr std::uint8_t STRING_PRODUCT = 2;
constexpr std::uint8_t STRING_SERIAL = 3;

// What libusb learns from GET_CAPABILITIES: one URB per transfer of any
// length (no splitting into 16 KiB pieces), as a modern xHCI host offers.
constexpr std::uint32_t USBFS_CAPS = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// Device descriptor, then the configuration with one vendor-class interface
// and its three bulk endpoints (high speed, 512-byte packets), as sysfs shows
// them in the "descriptors" attribute.
constexpr std::array<std::uint8_t, 18 + 9 + 9 + 3 * 7> DESCRIPTORS = {
    // device: USB 2.0, vendor class, EP0 64 bytes, 1209:4F52, bcdDevice 1.00
    0x12, 0x01, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x40, 0x09, 0x12, 0x52, 0x4F, 0x00, 0x01, STRING_MANUFACTURER,
    STRING_PRODUCT, STRING_SERIAL, 0x01,
    // configuration 1: total 39 bytes, one interface, bus powered, 100 mA
    0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
    // interface 0: three endpoints, vendor class
    0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x00,
    // bulk OUT 0x02, bulk IN 0x81, bulk IN 0x83
    0x07, 0x05, EP_OUT, 0x02, 0x00, 0x02, 0x00,     //
    0x07, 0x05, EP_DATA_IN, 0x02, 0x00, 0x02, 0x00, //
    0x07, 0x05, EP_COUNT_IN, 0x02, 0x00, 0x02, 0x00};

bool trace_enabled()
{
    static const bool enabled = std::getenv("ORV_VUSB_TRACE") != nullptr;
    return enabled;
}

template <typename... Args> void trace(const char* format, Args... args)
{
    if (trace_enabled()) {
        std::fprintf(stderr, "[vusb %ld] ", static_cast<long>(gettid()));
        std::fprintf(stderr, format, args...);
        std::fputc('\n', stderr);
    }
}

std::string hex_string(const std::uint8_t* data, std::size_t size)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(DIGITS[data[i] >> 4]);
        out.push_back(DIGITS[data[i] & 0x0F]);
    }
    return out;
}

// A GObject reference that is dropped with its owner.
struct DataRef {
    UMockdevIoctlData* data = nullptr;
    DataRef() = default;
    explicit DataRef(UMockdevIoctlData* owned) : data(owned) {}
    DataRef(DataRef&& other) noexcept : data(other.data) { other.data = nullptr; }
    DataRef& operator=(DataRef&& other) noexcept
    {
        std::swap(data, other.data);
        return *this;
    }
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
    ~DataRef()
    {
        if (data != nullptr) {
            g_object_unref(data);
        }
    }
};

DataRef resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error != nullptr) {
        trace("resolve failed: %s", error->message);
        g_error_free(error);
    }
    return DataRef(child);
}

// A URB submitted by a client and not yet reaped.
struct Urb {
    UMockdevIoctlClient* client = nullptr; // identity only; not referenced
    DataRef data;                          // the client's struct usbdevfs_urb
    unsigned long client_addr = 0;
};

usbdevfs_urb* urb_struct(const Urb& urb)
{
    return reinterpret_cast<usbdevfs_urb*>(urb.data.data->data);
}

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

} // namespace

struct VirtualUsb::Device {
    std::size_t index = 0;
    std::uint8_t devnum = 0;
    std::string devnode;
    std::string serial;
    UMockdevIoctlBase* handler = nullptr;

    mutable std::mutex mutex; // guards everything below
    std::unique_ptr<emu::Adapter> model;
    Fault fault;
    std::deque<Urb> completed; // ready to be reaped, in completion order
    std::deque<Urb> held;      // swallowed by a timeout fault until discarded
    std::uint64_t submitted_out = 0, submitted_data = 0, submitted_count = 0;

    ~Device()
    {
        if (handler != nullptr) {
            g_object_unref(handler);
        }
    }

    void handle(UMockdevIoctlClient* client);
    void client_gone(UMockdevIoctlClient* client);

private:
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void control(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    std::vector<std::uint8_t> control_reply(const usb_ctrlrequest& setup) const;
    void run_control(usbdevfs_urb& urb, UMockdevIoctlData* urb_data);
    FaultKind take_fault(unsigned char endpoint);
    void run_bulk(usbdevfs_urb& urb, UMockdevIoctlData* urb_data, FaultKind fault);
};

// umockdev serves the ioctls of every attached handler on the testbed's own
// worker thread (with its private GMainContext, created with the testbed), so
// nothing here needs a main loop of its own: a libusb call blocking in any
// thread of the process is answered from there.
struct VirtualUsb::Server {
    UMockdevTestbed* testbed = nullptr;

    ~Server()
    {
        if (testbed != nullptr) {
            g_object_unref(testbed);
        }
    }
};

namespace {

void complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
}

template <typename T> bool read_arg(UMockdevIoctlData* arg, T* out)
{
    DataRef data = resolve(arg, 0, sizeof(T));
    if (data.data == nullptr) {
        return false;
    }
    std::memcpy(out, data.data->data, sizeof(T));
    return true;
}

template <typename T> bool write_arg(UMockdevIoctlData* arg, const T& value)
{
    DataRef data = resolve(arg, 0, sizeof(T));
    if (data.data == nullptr) {
        return false;
    }
    umockdev_ioctl_data_update(data.data, 0, reinterpret_cast<guint8*>(const_cast<T*>(&value)),
                               static_cast<gint>(sizeof(T)));
    return true;
}

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
        trace("%s: %s %u", devnode.c_str(), request == USBDEVFS_CLAIMINTERFACE ? "CLAIM" : "RELEASE",
              interface);
        // The device has interface 0 only.
        complete(client, interface == 0 ? 0 : -1, interface == 0 ? 0 : EINVAL);
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
    case USBDEVFS_CONTROL:
        control(client, arg);
        return;
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
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_DROP_PRIVILEGES:
        complete(client, 0, 0);
        return;
    default:
        trace("%s: unknown ioctl 0x%lx", devnode.c_str(), request);
        complete(client, -1, ENOTTY);
        return;
    }
}

FaultKind VirtualUsb::Device::take_fault(unsigned char endpoint)
{
    if (fault.kind == FaultKind::none || fault.count == 0) {
        return FaultKind::none;
    }
    if (fault.kind == FaultKind::never_fill) {
        if (endpoint != EP_COUNT_IN) {
            return FaultKind::none;
        }
    } else if (fault.endpoint != 0 && fault.endpoint != endpoint) {
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
    usbdevfs_urb request = *urb_struct(urb);

    if (request.type == USBDEVFS_URB_TYPE_CONTROL && request.endpoint == 0) {
        std::lock_guard lock(mutex);
        run_control(request, urb.data.data);
        set_result(urb.data.data, request.status, request.actual_length);
        completed.push_back(std::move(urb));
        complete(client, 0, 0);
        return;
    }
    const bool known_endpoint =
        request.endpoint == EP_OUT || request.endpoint == EP_DATA_IN || request.endpoint == EP_COUNT_IN;
    if (request.type != USBDEVFS_URB_TYPE_BULK || !known_endpoint || request.buffer_length < 0) {
        trace("%s: SUBMIT refused: type %d endpoint 0x%02x", devnode.c_str(), request.type, request.endpoint);
        complete(client, -1, request.type != USBDEVFS_URB_TYPE_BULK ? EINVAL : ENOENT);
        return;
    }

    std::lock_guard lock(mutex);
    ++(request.endpoint == EP_OUT       ? submitted_out
       : request.endpoint == EP_DATA_IN ? submitted_data
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

// Executes one bulk URB against the model (or the fault) and fills in its
// status and actual_length, and for IN URBs its buffer.
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

    if (urb.endpoint == EP_OUT) {
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
    if (urb.endpoint == EP_COUNT_IN) {
        std::uint32_t count = 0;
        if (fault_now != FaultKind::never_fill) {
            count = model->poll_count();
        }
        const std::array<std::uint8_t, 4> le = {
            static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
            static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)};
        // A real adapter answers its 4 count bytes whatever the host asks for;
        // a shorter request gets what fits.
        produced = std::min<std::size_t>(length, short_transfer ? 3 : 4);
        std::copy_n(le.begin(), produced, in.begin());
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
    trace("%s: REAP ep 0x%02x status %d actual %d", devnode.c_str(), urb_struct(urb)->endpoint,
          urb_struct(urb)->status, urb_struct(urb)->actual_length);
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
            trace("%s: DISCARD ep 0x%02x", devnode.c_str(), urb_struct(*it)->endpoint);
            completed.push_back(std::move(*it));
            held.erase(it);
            complete(client, 0, 0);
            return;
        }
    }
    // Already completed (or never submitted): the kernel answers EINVAL.
    complete(client, -1, EINVAL);
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
        return {1};
    }
    if (setup.bRequest != USB_REQ_GET_DESCRIPTOR) {
        return {};
    }
    const unsigned type = setup.wValue >> 8;
    const unsigned index_value = setup.wValue & 0xFF;
    switch (type) {
    case USB_DT_DEVICE:
        return {DESCRIPTORS.begin(), DESCRIPTORS.begin() + 18};
    case USB_DT_CONFIG:
        if (index_value == 0) {
            return {DESCRIPTORS.begin() + 18, DESCRIPTORS.end()};
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

void VirtualUsb::Device::client_gone(UMockdevIoctlClient* client)
{
    // A closed file descriptor takes its URBs with it.
    std::lock_guard lock(mutex);
    std::erase_if(completed, [client](const Urb& urb) { return urb.client == client; });
    std::erase_if(held, [client](const Urb& urb) { return urb.client == client; });
}

// umockdev_in_mock_environment() cannot tell: it looks at /sys, which the
// preload only redirects once a testbed exists, and caches its first answer.
// The question is whether the preload library is mapped into the process.
bool preload_active()
{
    return dlopen("libumockdev-preload.so.0", RTLD_NOW | RTLD_NOLOAD) != nullptr;
}

bool reexec_under_preload(int argc, char** argv, std::string* error)
{
    if (preload_active()) {
        return true;
    }
    auto fail = [error](std::string text) {
        if (error != nullptr) {
            *error = std::move(text);
        }
        return false;
    };
    if (std::getenv("ORV_VUSB_REEXEC") != nullptr) {
        return fail("umockdev-wrapper ran, but umockdev's preload library is not active in the process");
    }
    setenv("ORV_VUSB_REEXEC", "1", 1);
#if defined(__SANITIZE_ADDRESS__)
    // The preload comes first in LD_PRELOAD, ahead of the sanitizer runtime.
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "verify_asan_link_order=0" : ":verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
#endif
    std::vector<char*> args;
    args.push_back(const_cast<char*>("umockdev-wrapper"));
    for (int i = 0; i < argc; ++i) {
        args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    const int saved = errno;
    unsetenv("ORV_VUSB_REEXEC");
    return fail(std::string("cannot run umockdev-wrapper (install the umockdev package): ") +
                std::strerror(saved));
}

VirtualUsb::VirtualUsb() = default;

VirtualUsb::~VirtualUsb()
{
    // Detach the handlers first: no ioctl may reach a device being dropped.
    if (server_ != nullptr) {
        for (const auto& device : devices_) {
            g_signal_handlers_disconnect_by_data(device->handler, device.get());
            umockdev_testbed_detach_ioctl(server_->testbed, device->devnode.c_str(), nullptr);
        }
    }
    devices_.clear();
    server_.reset();
}

std::unique_ptr<VirtualUsb> VirtualUsb::create(std::string* error)
{
    if (!preload_active()) {
        if (error != nullptr) {
            *error = "umockdev's preload library is not active: run the program under umockdev-wrapper";
        }
        return nullptr;
    }
    std::unique_ptr<VirtualUsb> usb(new VirtualUsb());
    usb->server_ = std::make_unique<Server>();
    Server& server = *usb->server_;
    server.testbed = umockdev_testbed_new();
    if (server.testbed == nullptr) {
        if (error != nullptr) {
            *error = "cannot create the umockdev testbed";
        }
        return nullptr;
    }
    return usb;
}

std::size_t VirtualUsb::add_adapter(std::unique_ptr<emu::Adapter> model)
{
    auto device = std::make_unique<Device>();
    device->index = devices_.size();
    device->devnum = static_cast<std::uint8_t>(devices_.size() + 2); // 1 is the root hub's
    device->model = model != nullptr ? std::move(model) : emu::make_default_board();
    char name[64];
    std::snprintf(name, sizeof name, "/dev/bus/usb/%03u/%03u", BUS_NUMBER, device->devnum);
    device->devnode = name;
    std::snprintf(name, sizeof name, "ORVSIM%04zu", device->index);
    device->serial = name;

    device->handler = umockdev_ioctl_base_new();
    g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(on_handle_ioctl), device.get());
    g_signal_connect(device->handler, "client-vanished", G_CALLBACK(on_client_vanished), device.get());
    GError* gerror = nullptr;
    const bool attached =
        umockdev_testbed_attach_ioctl(server_->testbed, device->devnode.c_str(), device->handler, &gerror);
    if (!attached) {
        std::string text = gerror != nullptr ? gerror->message : "unknown error";
        g_clear_error(&gerror);
        throw std::runtime_error("umockdev: cannot attach the ioctl handler to " + device->devnode + ": " +
                                 text);
    }

    const unsigned port = static_cast<unsigned>(device->index) + 1;
    char record[1024];
    std::snprintf(record, sizeof record,
                  "P: /devices/pci0000:00/0000:00:14.0/usb%u/%u-%u\n"
                  "N: bus/usb/%03u/%03u\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DEVNAME=/dev/bus/usb/%03u/%03u\n"
                  "E: BUSNUM=%03u\n"
                  "E: DEVNUM=%03u\n"
                  "E: PRODUCT=%x/%x/100\n"
                  "A: busnum=%u\n"
                  "A: devnum=%u\n"
                  "A: idVendor=%04x\n"
                  "A: idProduct=%04x\n"
                  "A: bConfigurationValue=1\n"
                  "A: bNumInterfaces= 1\n"
                  "A: speed=480\n"
                  "A: serial=%s\n"
                  "H: descriptors=%s\n",
                  BUS_NUMBER, BUS_NUMBER, port, BUS_NUMBER, device->devnum, BUS_NUMBER, device->devnum,
                  BUS_NUMBER, device->devnum, VIRTUAL_VID, VIRTUAL_PID, BUS_NUMBER, device->devnum,
                  VIRTUAL_VID, VIRTUAL_PID, device->serial.c_str(),
                  hex_string(DESCRIPTORS.data(), DESCRIPTORS.size()).c_str());
    if (!umockdev_testbed_add_from_string(server_->testbed, record, &gerror)) {
        std::string text = gerror != nullptr ? gerror->message : "unknown error";
        g_clear_error(&gerror);
        throw std::runtime_error("umockdev: cannot add " + device->devnode + ": " + text);
    }
    trace("added %s (serial %s)", device->devnode.c_str(), device->serial.c_str());
    devices_.push_back(std::move(device));
    return devices_.size() - 1;
}

std::size_t VirtualUsb::adapter_count() const
{
    return devices_.size();
}

emu::Adapter& VirtualUsb::adapter(std::size_t index)
{
    return *devices_.at(index)->model;
}

void VirtualUsb::set_fault(std::size_t index, Fault fault)
{
    Device& device = *devices_.at(index);
    std::lock_guard lock(device.mutex);
    device.fault = fault.count == 0 ? Fault{} : fault;
}

int VirtualUsb::fault_remaining(std::size_t index) const
{
    const Device& device = *devices_.at(index);
    std::lock_guard lock(device.mutex);
    return device.fault.kind == FaultKind::none ? 0 : device.fault.count;
}

std::uint64_t VirtualUsb::submitted(std::size_t index, unsigned char endpoint) const
{
    const Device& device = *devices_.at(index);
    std::lock_guard lock(device.mutex);
    switch (endpoint) {
    case EP_OUT:
        return device.submitted_out;
    case EP_DATA_IN:
        return device.submitted_data;
    case EP_COUNT_IN:
        return device.submitted_count;
    default:
        return 0;
    }
}

std::uint8_t VirtualUsb::bus(std::size_t index) const
{
    (void)devices_.at(index);
    return BUS_NUMBER;
}

std::uint8_t VirtualUsb::address(std::size_t index) const
{
    return devices_.at(index)->devnum;
}

std::string VirtualUsb::serial(std::size_t index) const
{
    return devices_.at(index)->serial;
}

} // namespace orv::sim
