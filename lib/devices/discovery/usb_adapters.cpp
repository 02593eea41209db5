// Finding adapters on the USB buses and opening one, through libusb: each
// call in a context of its own, every device list and handle released on
// every path. Why none could be opened is said by adapter_select.*.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <libusb.h>

#include "lib/wire/wire.hpp"

#include "lib/devices/discovery/adapter_select.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;
using namespace orv::dev::discovery;

namespace {

constexpr int ADAPTER_INTERFACE = 0;

// Thrown inside: why no adapter, and what the host showed.
struct NoAdapterFailure {
    NoAdapter why;
};

// A libusb context, exited on every path.
struct Context {
    libusb_context* context = nullptr;
    Context() = default;
    Context(Context&& other) noexcept : context(std::exchange(other.context, nullptr)) {}
    Context& operator=(Context&&) = delete;
    ~Context()
    {
        if (context != nullptr) {
            libusb_exit(context);
        }
    }
};

// A context's device list, freed on every path (the devices kept are
// referenced on their own).
struct DeviceList {
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    ~DeviceList()
    {
        if (devices != nullptr) {
            libusb_free_device_list(devices, 1);
        }
    }
};

Context start(const UsbHost& host)
{
    Context c;
    const int rc = libusb_init(&c.context);
    if (rc != 0) {
        c.context = nullptr;
        throw NoAdapterFailure{usb_unavailable(host, "cannot start libusb", rc, libusb_strerror(rc))};
    }
    return c;
}

// One interface whose first setting has exactly the adapter's three bulk
// endpoints.
bool looks_like_adapter(libusb_device* device)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) {
        return false;
    }
    bool match = false;
    if (config->bNumInterfaces == 1 && config->interface[0].num_altsetting >= 1) {
        const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
        const std::uint8_t wanted[] = {orv::EP_COMMAND_OUT, orv::EP_READBACK_DATA_IN,
                                       orv::EP_READBACK_COUNT_IN};
        unsigned found = 0;
        for (std::uint8_t i = 0; i < alt.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[i];
            const bool bulk = (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
            for (std::uint8_t w : wanted) {
                found += bulk && ep.bEndpointAddress == w ? 1 : 0;
            }
        }
        match = found == std::size(wanted) && alt.bNumEndpoints == std::size(wanted);
    }
    libusb_free_config_descriptor(config);
    return match;
}

template <std::size_t N>
void string_descriptor(libusb_device_handle* handle, std::uint8_t index, char (&to)[N])
{
    to[0] = '\0';
    if (index == 0) {
        return;
    }
    unsigned char text[N];
    const int n = libusb_get_string_descriptor_ascii(handle, index, text, N - 1);
    if (n > 0) {
        std::copy(text, text + n, to);
        to[n] = '\0';
    }
}

// "1-1.3": the bus, then the hub ports from the root.
void port_path(libusb_device* device, orvdev_adapter_info& a)
{
    std::uint8_t ports[8];
    const int n = libusb_get_port_numbers(device, ports, static_cast<int>(std::size(ports)));
    a.port_path[0] = '\0';
    if (n <= 0) {
        return;
    }
    std::string text = std::to_string(a.bus) + "-";
    for (int i = 0; i < n; ++i) {
        text += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    }
    std::snprintf(a.port_path, sizeof a.port_path, "%s", text.c_str());
}

orvdev_adapter_info describe(libusb_device* device, const libusb_device_descriptor& desc)
{
    orvdev_adapter_info a{};
    a.vid = desc.idVendor;
    a.pid = desc.idProduct;
    a.bus = libusb_get_bus_number(device);
    a.address = libusb_get_device_address(device);
    port_path(device, a);
    libusb_device_handle* handle = nullptr;
    const int rc = libusb_open(device, &handle);
    if (rc == 0) {
        string_descriptor(handle, desc.iSerialNumber, a.serial);
        string_descriptor(handle, desc.iProduct, a.product);
        libusb_close(handle);
    } else {
        a.open_error = rc;
    }
    return a;
}

struct Found {
    libusb_device* device;
    orvdev_adapter_info info;
};

// The adapters `selector` matches, in bus and address order; `list` must
// outlive them.
std::vector<Found> search(const Context& c, DeviceList& list, const UsbHost& host,
                          const orvdev_adapter_selector& selector)
{
    list.count = libusb_get_device_list(c.context, &list.devices);
    if (list.count < 0) {
        const int error = static_cast<int>(list.count);
        list.devices = nullptr;
        throw NoAdapterFailure{
            usb_unavailable(host, "cannot list USB devices", error, libusb_strerror(error))};
    }
    std::vector<Found> found;
    for (ssize_t i = 0; i < list.count; ++i) {
        libusb_device* device = list.devices[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(device, &desc) != 0 || !looks_like_adapter(device)) {
            continue;
        }
        // Ids and place first: a device another selector rules out is not
        // opened to read its strings.
        orvdev_adapter_selector by_place = selector;
        by_place.serial = nullptr;
        orvdev_adapter_info quick{};
        quick.vid = desc.idVendor;
        quick.pid = desc.idProduct;
        quick.bus = libusb_get_bus_number(device);
        quick.address = libusb_get_device_address(device);
        if (!matches(by_place, quick)) {
            continue;
        }
        orvdev_adapter_info info = describe(device, desc);
        if (matches(selector, info)) {
            found.push_back(Found{device, info});
        }
    }
    std::sort(found.begin(), found.end(), [](const Found& x, const Found& y) {
        return std::pair(x.info.bus, x.info.address) < std::pair(y.info.bus, y.info.address);
    });
    return found;
}

orvdev_adapter_selector chosen_selector(const orvdev_adapter_selector* selector)
{
    orvdev_adapter_selector s{};
    orvdev_adapter_selector_init(&s);
    return selector != nullptr ? *selector : s;
}

// Runs `work`; no adapter fills `why` and the report (message, hint, the
// libusb code as the bus code).
template <typename Work>
std::int32_t searching(const UsbHost& host, orvdev_no_adapter* why, orvdev_report* report, Work&& work)
{
    const std::int32_t rc = guarded(nullptr, report, [&] {
        try {
            work();
        } catch (const NoAdapterFailure& f) {
            to_c(&f.why, host, why);
            throw Failure(ORVDEV_ERROR_NO_ADAPTER, f.why.message, f.why.hint, f.why.usb_code);
        }
    });
    if (rc == 0) {
        to_c(nullptr, host, why);
    }
    return rc;
}

} // namespace

struct orvdev_adapter {
    Context context;
    libusb_device_handle* handle = nullptr;
    orvdev_adapter_info info{};

    orvdev_adapter(Context c, libusb_device_handle* h, const orvdev_adapter_info& i)
        : context(std::move(c)), handle(h), info(i)
    {
    }
    ~orvdev_adapter()
    {
        libusb_release_interface(handle, ADAPTER_INTERFACE);
        libusb_close(handle);
    }
    orvdev_adapter(const orvdev_adapter&) = delete;
    orvdev_adapter& operator=(const orvdev_adapter&) = delete;
};

extern "C" {

int32_t orvdev_adapter_list(const orvdev_adapter_selector* selector, orvdev_adapter_info* adapters,
                            uint32_t capacity, uint32_t* count, orvdev_no_adapter* why, orvdev_report* report)
{
    const orvdev_adapter_selector s = chosen_selector(selector);
    if (count == nullptr || (adapters == nullptr && capacity != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "nowhere to put the adapters or their count");
    }
    if (const auto fault = selector_fault(s)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, fault->c_str());
    }
    *count = 0;
    const UsbHost host = usb_host();
    return searching(host, why, report, [&] {
        const Context c = start(host);
        DeviceList list;
        const std::vector<Found> found = search(c, list, host, s);
        if (found.empty()) {
            throw NoAdapterFailure{not_found(host, s)};
        }
        for (std::size_t i = 0; i < found.size() && i < capacity; ++i) {
            adapters[i] = found[i].info;
        }
        *count = static_cast<std::uint32_t>(found.size());
    });
}

int32_t orvdev_adapter_open(const orvdev_adapter_selector* selector, orvdev_adapter** out,
                            orvdev_no_adapter* why, orvdev_report* report)
{
    const orvdev_adapter_selector s = chosen_selector(selector);
    if (out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "nowhere to put the adapter");
    }
    if (const auto fault = selector_fault(s)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, fault->c_str());
    }
    const UsbHost host = usb_host();
    return searching(host, why, report, [&] {
        Context c = start(host);
        DeviceList list;
        const std::vector<Found> found = search(c, list, host, s);
        if (found.empty()) {
            throw NoAdapterFailure{not_found(host, s)};
        }
        if (found.size() > 1) {
            throw NoAdapterFailure{several(s, static_cast<std::uint32_t>(found.size()))};
        }
        const Found& f = found.front();
        libusb_device_handle* handle = nullptr;
        int rc = libusb_open(f.device, &handle);
        if (rc != 0) {
            throw NoAdapterFailure{open_failed(host, f.info, rc, libusb_strerror(rc))};
        }
        // A kernel driver bound to the interface would keep it from being claimed.
        libusb_set_auto_detach_kernel_driver(handle, 1);
        rc = libusb_claim_interface(handle, ADAPTER_INTERFACE);
        if (rc != 0) {
            libusb_close(handle);
            throw NoAdapterFailure{claim_failed(host, f.info, rc, libusb_strerror(rc))};
        }
        auto* made = new (std::nothrow) orvdev_adapter(std::move(c), handle, f.info);
        if (made == nullptr) {
            libusb_release_interface(handle, ADAPTER_INTERFACE);
            libusb_close(handle);
            throw std::bad_alloc();
        }
        *out = made;
    });
}

libusb_device_handle* orvdev_adapter_handle(const orvdev_adapter* adapter)
{
    return adapter == nullptr ? nullptr : adapter->handle;
}

void orvdev_adapter_get_info(const orvdev_adapter* adapter, orvdev_adapter_info* info)
{
    if (adapter != nullptr && info != nullptr) {
        *info = adapter->info;
    }
}

void orvdev_adapter_close(orvdev_adapter* adapter)
{
    delete adapter;
}

} // extern "C"
