#include "front/orvtool/adapter_open.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <utility>
#include <vector>

#include "lib/wire/wire.hpp"

#include "front/orvtool/errors.hpp"
#include "front/orvtool/format.hpp"
#include "front/orvtool/usb_host.hpp"

#ifdef ORVTOOL_HAVE_VUSB
#include "sim/emulator/board_file.hpp"
#include "sim/vusb/virtual_usb.hpp"
#endif

namespace orvtool {

namespace {

constexpr int ADAPTER_INTERFACE = 0;

std::string where(std::uint8_t bus, std::uint8_t address)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "bus %03u device %03u", bus, address);
    return buf;
}

// A libusb context and its device list, released on every path.
struct DeviceList {
    libusb_context* context = nullptr;
    libusb_device** devices = nullptr;
    ssize_t count = 0;

    DeviceList()
    {
        int rc = libusb_init(&context);
        if (rc != 0) {
            context = nullptr;
            throw usb_unavailable(usb_host(), "cannot start libusb", libusb_strerror(rc), rc);
        }
        count = libusb_get_device_list(context, &devices);
        if (count < 0) {
            int error = static_cast<int>(count);
            libusb_exit(context);
            throw usb_unavailable(usb_host(), "cannot list USB devices", libusb_strerror(error), error);
        }
    }
    ~DeviceList()
    {
        libusb_free_device_list(devices, 1);
        libusb_exit(context);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

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
            bool bulk = (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_TRANSFER_TYPE_BULK;
            for (std::uint8_t w : wanted) {
                found += bulk && ep.bEndpointAddress == w ? 1 : 0;
            }
        }
        match = found == std::size(wanted) && alt.bNumEndpoints == std::size(wanted);
    }
    libusb_free_config_descriptor(config);
    return match;
}

std::string string_descriptor(libusb_device_handle* handle, std::uint8_t index)
{
    if (index == 0) {
        return "";
    }
    unsigned char buf[256];
    int n = libusb_get_string_descriptor_ascii(handle, index, buf, sizeof buf);
    return n > 0 ? std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n)) : "";
}

} // namespace

std::vector<FoundAdapter> list_adapters()
{
    DeviceList list;
    std::vector<FoundAdapter> found;
    for (ssize_t i = 0; i < list.count; ++i) {
        libusb_device* device = list.devices[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(device, &desc) != 0 || !looks_like_adapter(device)) {
            continue;
        }
        FoundAdapter a;
        a.vid = desc.idVendor;
        a.pid = desc.idProduct;
        a.bus = libusb_get_bus_number(device);
        a.address = libusb_get_device_address(device);
        libusb_device_handle* handle = nullptr;
        int rc = libusb_open(device, &handle);
        if (rc == 0) {
            a.serial = string_descriptor(handle, desc.iSerialNumber);
            a.product = string_descriptor(handle, desc.iProduct);
            libusb_close(handle);
        } else {
            a.problem = rc == LIBUSB_ERROR_ACCESS ? "no permission to open it" : libusb_strerror(rc);
        }
        found.push_back(std::move(a));
    }
    std::sort(found.begin(), found.end(), [](const FoundAdapter& x, const FoundAdapter& y) {
        return std::pair(x.bus, x.address) < std::pair(y.bus, y.address);
    });
    return found;
}

struct Adapter::Sim {
#ifdef ORVTOOL_HAVE_VUSB
    std::unique_ptr<orv::sim::VirtualUsb> usb; // none under orvsim-run
#endif
    // Writes back the board's persisted images; the failures.
    std::vector<std::string> save()
    {
#ifdef ORVTOOL_HAVE_VUSB
        if (usb != nullptr && usb->adapter_count() != 0) { // none when its board could not be built
            return orv::emu::save_images(usb->adapter(0).board());
        }
#endif
        return {};
    }
};

Adapter::~Adapter()
{
    try {
        close();
    } catch (const ToolError& e) {
        std::cerr << "orvtool: " << e.what() << "\n";
    }
}

void Adapter::close_usb()
{
    if (claimed_) {
        libusb_release_interface(handle_, ADAPTER_INTERFACE);
        claimed_ = false;
    }
    if (handle_ != nullptr) {
        libusb_close(handle_);
        handle_ = nullptr;
    }
    if (context_ != nullptr) {
        libusb_exit(context_);
        context_ = nullptr;
    }
}

std::string Adapter::serial() const
{
    libusb_device_descriptor desc{};
    if (handle_ == nullptr || libusb_get_device_descriptor(libusb_get_device(handle_), &desc) != 0) {
        return "";
    }
    return string_descriptor(handle_, desc.iSerialNumber);
}

void Adapter::close()
{
    close_usb();
    // The virtual device goes last: it must answer until libusb is done.
    if (sim_ != nullptr) {
        std::vector<std::string> failures = sim_->save();
        sim_.reset();
        if (!failures.empty()) {
            std::string message = "the board's images were not all saved: " + failures.front();
            for (std::size_t i = 1; i < failures.size(); ++i) {
                message += "; " + failures[i];
            }
            throw ToolError(Exit::failed, message, "check the image files' directories and free space");
        }
    }
}

void Adapter::reopen()
{
    close_usb();
    switch (choice_) {
    case Choice::usb:
    case Choice::own_sim: {
        const std::string prefix = choice_ == Choice::own_sim ? "virtual adapter " : "";
        open_matching(selector_);
        description_ = prefix + description_;
        break;
    }
    case Choice::only_one:
        open_matching(only_one());
        break;
    case Choice::running_sim:
#ifdef ORVTOOL_HAVE_VUSB
        open_running_sim(running_.c_str());
#endif
        break;
    }
}

std::unique_ptr<Adapter> Adapter::open_usb(const UsbSelector& selector)
{
    std::unique_ptr<Adapter> adapter(new Adapter());
    adapter->selector_ = selector;
    adapter->open_matching(selector);
    return adapter;
}

std::unique_ptr<Adapter> Adapter::open_only_one()
{
    std::unique_ptr<Adapter> adapter(new Adapter());
    adapter->choice_ = Choice::only_one;
    adapter->open_matching(only_one());
    return adapter;
}

UsbSelector Adapter::only_one()
{
    std::vector<FoundAdapter> found = list_adapters();
    if (found.empty()) {
        throw no_adapter_found(usb_host(), std::nullopt);
    }
    if (found.size() > 1) {
        std::string names;
        for (const auto& a : found) {
            names += (names.empty() ? "" : ", ") + to_string(UsbSelector{a.vid, a.pid, a.bus, a.address});
        }
        throw ToolError(Exit::no_adapter, std::to_string(found.size()) + " adapters found",
                        "choose one with --usb VID:PID:BUS:ADDR: " + names);
    }
    const FoundAdapter& a = found.front();
    return UsbSelector{a.vid, a.pid, a.bus, a.address};
}

void Adapter::open_matching(const UsbSelector& selector)
{
    int rc = libusb_init(&context_);
    if (rc != 0) {
        context_ = nullptr;
        throw usb_unavailable(usb_host(), "cannot start libusb", libusb_strerror(rc), rc);
    }

    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context_, &list);
    if (n < 0) {
        const int error = static_cast<int>(n);
        throw usb_unavailable(usb_host(), "cannot list USB devices", libusb_strerror(error), error);
    }
    struct ListGuard {
        libusb_device** list;
        ~ListGuard() { libusb_free_device_list(list, 1); }
    } guard{list};

    std::vector<libusb_device*> matches;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != 0) {
            continue;
        }
        if (desc.idVendor != selector.vid || desc.idProduct != selector.pid) {
            continue;
        }
        if (selector.bus && libusb_get_bus_number(list[i]) != *selector.bus) {
            continue;
        }
        if (selector.address && libusb_get_device_address(list[i]) != *selector.address) {
            continue;
        }
        matches.push_back(list[i]);
    }

    if (matches.empty()) {
        throw no_adapter_found(usb_host(), selector);
    }
    if (matches.size() > 1) {
        std::string found;
        for (auto* d : matches) {
            found += (found.empty() ? "" : ", ") + std::to_string(libusb_get_bus_number(d)) + ":" +
                     std::to_string(libusb_get_device_address(d));
        }
        throw ToolError(Exit::no_adapter,
                        std::to_string(matches.size()) + " adapters match " + to_string(selector),
                        "choose one with --usb VID:PID:BUS:ADDR (found " + found + ")");
    }

    libusb_device* device = matches.front();
    std::uint8_t bus = libusb_get_bus_number(device);
    std::uint8_t address = libusb_get_device_address(device);
    description_ = to_string(selector) + " at " + where(bus, address);

    rc = libusb_open(device, &handle_);
    if (rc != 0) {
        handle_ = nullptr;
        std::string msg = "cannot open the adapter at " + where(bus, address) + ": " + libusb_strerror(rc);
        const UsbHost host = usb_host();
        if (rc == LIBUSB_ERROR_ACCESS) {
            char path[48];
            std::snprintf(path, sizeof path, "%s/%03u/%03u", USB_DEVICE_DIR, bus, address);
            throw permission_denied(host, path, selector.vid, selector.pid, rc);
        }
        if (!host.device_dir) { // the buses are seen in sysfs, but no device node can be opened
            throw usb_unavailable(host, msg, "", rc);
        }
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            throw ToolError(Exit::no_adapter, msg, "the adapter went away: plug it in again", rc);
        }
        throw ToolError(Exit::no_adapter, msg, "unplug and replug the adapter, then retry", rc);
    }

    // A kernel driver bound to the interface would keep us from claiming it.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    rc = libusb_claim_interface(handle_, ADAPTER_INTERFACE);
    if (rc != 0) {
        if (rc == LIBUSB_ERROR_BUSY) {
            throw ToolError(Exit::no_adapter, "the adapter at " + where(bus, address) + " is busy",
                            "another program (another orvtool, a debugger) has claimed its interface: "
                            "close it and retry",
                            rc);
        }
        throw ToolError(Exit::no_adapter,
                        "cannot claim interface 0 of the adapter at " + where(bus, address) + ": " +
                            libusb_strerror(rc),
                        rc == LIBUSB_ERROR_ACCESS ? udev_rule_hint(usb_host(), selector.vid, selector.pid)
                                                  : "unplug and replug the adapter, then retry",
                        rc);
    }
    claimed_ = true;
}

bool Adapter::sim_available()
{
#ifdef ORVTOOL_HAVE_VUSB
    return true;
#else
    return false;
#endif
}

bool Adapter::sim_runs_here()
{
    const char* running = std::getenv("ORVSIM_ADAPTERS");
    return running == nullptr || *running == '\0';
}

orv::emu::Adapter* Adapter::model() const
{
#ifdef ORVTOOL_HAVE_VUSB
    if (sim_ != nullptr && sim_->usb != nullptr && sim_->usb->adapter_count() > 0) {
        return &sim_->usb->adapter(0);
    }
#endif
    return nullptr;
}

#ifdef ORVTOOL_HAVE_VUSB
void Adapter::open_running_sim(const char* adapters)
{
    // "1:2,1:3": the first adapter's bus and device number.
    unsigned bus = 0, address = 0;
    char rest = 0;
    const int fields = std::sscanf(adapters, "%u:%u%c", &bus, &address, &rest);
    if (fields < 2 || (fields == 3 && rest != ',') || bus > 255 || address > 255) {
        throw ToolError(Exit::no_adapter, std::string("ORVSIM_ADAPTERS='") + adapters + "' names no adapter",
                        "run orvtool under orvsim-run, or unset ORVSIM_ADAPTERS");
    }
    if (!orv::sim::preload_active()) {
        throw ToolError(Exit::no_adapter,
                        std::string("ORVSIM_ADAPTERS='") + adapters +
                            "' is set, but umockdev's preload is not active",
                        "run orvtool from the program orvsim-run started, or unset ORVSIM_ADAPTERS");
    }
    UsbSelector selector;
    selector.vid = orv::sim::VIRTUAL_VID;
    selector.pid = orv::sim::VIRTUAL_PID;
    selector.bus = static_cast<std::uint8_t>(bus);
    selector.address = static_cast<std::uint8_t>(address);
    open_matching(selector);
    description_ = "orvsim-run's virtual adapter " + description_;
}
#endif

std::unique_ptr<Adapter> Adapter::open_sim(int argc, char** argv, const SimOptions& options, bool open)
{
#ifdef ORVTOOL_HAVE_VUSB
    if (const char* running = std::getenv("ORVSIM_ADAPTERS"); running != nullptr && *running != '\0') {
        if (!options.board.empty() || !options.fault.empty() || options.images_anywhere) {
            usage_error(std::string(!options.board.empty()   ? "--board"
                                    : !options.fault.empty() ? "--sim-fault"
                                                             : "--allow-outside-images") +
                            " does not apply under orvsim-run: its adapter (ORVSIM_ADAPTERS=" + running +
                            ") has its own board and faults",
                        "give --board and --fault to orvsim-run, or run orvtool outside it");
        }
        std::unique_ptr<Adapter> adapter(new Adapter());
        adapter->choice_ = Choice::running_sim;
        adapter->running_ = running;
        if (open) {
            adapter->open_running_sim(running);
        }
        return adapter;
    }
    orv::sim::Fault fault;
    if (!options.fault.empty()) {
        std::string error;
        const auto parsed = orv::sim::parse_fault(options.fault, &error);
        if (!parsed) {
            usage_error("bad --sim-fault '" + options.fault + "': " + error,
                        "KIND[:EP[:AFTER[:COUNT]]], for instance stall:0x81:3:1 (see orvtool(1))");
        }
        fault = *parsed;
    }
    // The board is checked before anything starts; what is odd about it is
    // said once, by the process that runs it (not before the re-execution).
    orv::emu::BoardFileOptions board_options;
    board_options.images_anywhere = options.images_anywhere;
    if (orv::sim::preload_active()) {
        board_options.warn = [](const std::string& text) {
            std::cerr << "orvtool: warning: " << text << "\n";
        };
    }
    orv::emu::BoardConfig board;
    try {
        board = orv::emu::load_board(options.board, board_options);
    } catch (const orv::emu::BoardFileError& e) {
        usage_error(std::string("bad board: ") + e.what(), "see BOARD FILES in orvtool(1)");
    }
    if (!orv::sim::preload_active()) {
        std::string error;
        orv::sim::reexec_under_preload(argc, argv, &error); // returns only on failure
        throw ToolError(Exit::no_adapter, "cannot start the virtual adapter: " + error,
                        "install umockdev (apt-get install umockdev, or run scripts/setup.sh), "
                        "or run orvtool under umockdev-wrapper");
    }
    std::unique_ptr<Adapter> adapter(new Adapter());
    adapter->sim_ = std::make_unique<Sim>();
    std::string error;
    adapter->sim_->usb = orv::sim::VirtualUsb::create(&error);
    if (!adapter->sim_->usb) {
        throw ToolError(Exit::no_adapter, "cannot start the virtual adapter: " + error,
                        "run orvtool under umockdev-wrapper, or check the umockdev installation");
    }
    std::size_t index = 0;
    try {
        index = adapter->sim_->usb->add_adapter(orv::emu::make_board(board));
    } catch (const orv::emu::ImageBusy& e) {
        throw ToolError(Exit::no_adapter, e.what(),
                        "wait for the other program to end, or give this one a board of its own");
    } catch (const orv::emu::ImageError& e) {
        usage_error(std::string("bad board: ") + e.what());
    }
    adapter->sim_->usb->set_fault(index, fault);
    if (!open) {
        return adapter;
    }
    UsbSelector selector;
    selector.vid = orv::sim::VIRTUAL_VID;
    selector.pid = orv::sim::VIRTUAL_PID;
    selector.bus = adapter->sim_->usb->bus(index);
    selector.address = adapter->sim_->usb->address(index);
    adapter->choice_ = Choice::own_sim;
    adapter->selector_ = selector;
    adapter->open_matching(selector);
    adapter->description_ = "virtual adapter " + adapter->description_;
    return adapter;
#else
    (void)argc;
    (void)argv;
    (void)options;
    (void)open;
    throw ToolError(
        Exit::no_adapter, "this orvtool was built without the virtual adapter",
        "rebuild with the emulator (ORV_BUILD_EMULATOR=ON and umockdev installed), or use --usb VID:PID");
#endif
}

} // namespace orvtool
