#include "device.hpp"

#include <array>
#include <cstdio>
#include <vector>

#include "errors.hpp"
#include "format.hpp"

#ifdef ORVTOOL_HAVE_VUSB
#include "vusb/virtual_usb.hpp"
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

} // namespace

struct Adapter::Sim {
#ifdef ORVTOOL_HAVE_VUSB
    std::unique_ptr<orv::sim::VirtualUsb> usb;
#endif
};

Adapter::~Adapter()
{
    if (claimed_) {
        libusb_release_interface(handle_, ADAPTER_INTERFACE);
    }
    if (handle_ != nullptr) {
        libusb_close(handle_);
    }
    if (context_ != nullptr) {
        libusb_exit(context_);
    }
    // sim_ goes last: the virtual device must answer until libusb is done.
}

std::unique_ptr<Adapter> Adapter::open_usb(const UsbSelector& selector)
{
    std::unique_ptr<Adapter> adapter(new Adapter());
    adapter->open_matching(selector);
    return adapter;
}

void Adapter::open_matching(const UsbSelector& selector)
{
    int rc = libusb_init(&context_);
    if (rc != 0) {
        context_ = nullptr;
        throw ToolError(Exit::no_adapter, std::string("cannot start libusb: ") + libusb_strerror(rc),
                        "check that /dev/bus/usb is accessible", rc);
    }

    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context_, &list);
    if (n < 0) {
        throw ToolError(Exit::no_adapter,
                        std::string("cannot list USB devices: ") + libusb_strerror(static_cast<int>(n)),
                        "check that /dev/bus/usb is accessible", static_cast<int>(n));
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
        throw ToolError(Exit::no_adapter, "no adapter found with USB id " + to_string(selector),
                        "check that it is plugged in and that the id matches lsusb; "
                        "--sim runs on the virtual adapter instead");
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
        if (rc == LIBUSB_ERROR_ACCESS) {
            char path[48];
            std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus, address);
            throw ToolError(Exit::no_adapter, "permission denied opening " + std::string(path),
                            "add a udev rule such as SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" +
                                hex(selector.vid, 4).substr(2) + "\", ATTR{idProduct}==\"" +
                                hex(selector.pid, 4).substr(2) +
                                "\", MODE=\"0660\", GROUP=\"plugdev\" (and join plugdev), or run as root",
                            rc);
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
                        rc == LIBUSB_ERROR_ACCESS ? "no permission: add a udev rule or run as root"
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

#ifdef ORVTOOL_HAVE_VUSB
namespace {

struct FaultName {
    const char* name;
    orv::sim::FaultKind kind;
};
constexpr std::array<FaultName, 8> FAULTS{{
    {"none", orv::sim::FaultKind::none},
    {"unplugged", orv::sim::FaultKind::unplugged},
    {"stall", orv::sim::FaultKind::stall},
    {"timeout", orv::sim::FaultKind::timeout},
    {"short", orv::sim::FaultKind::short_transfer},
    {"never-fill", orv::sim::FaultKind::never_fill},
    {"overcount", orv::sim::FaultKind::overcount},
    {"overflow", orv::sim::FaultKind::overflow},
}};

std::optional<orv::sim::FaultKind> fault_kind(std::string_view name)
{
    for (const auto& f : FAULTS) {
        if (name == f.name) {
            return f.kind;
        }
    }
    return std::nullopt;
}

// "none, unplugged, ... or never-fill"
std::string fault_names()
{
    std::string names;
    for (std::size_t i = 0; i < FAULTS.size(); ++i) {
        names += i == 0 ? "" : i + 1 == FAULTS.size() ? " or " : ", ";
        names += FAULTS[i].name;
    }
    return names;
}

} // namespace
#endif

std::unique_ptr<Adapter> Adapter::open_sim(int argc, char** argv, const SimOptions& options)
{
#ifdef ORVTOOL_HAVE_VUSB
    auto kind = fault_kind(options.fault);
    if (!kind) {
        usage_error("unknown --sim-fault '" + options.fault + "'", "use " + fault_names());
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
    std::size_t index = adapter->sim_->usb->add_adapter();
    if (*kind != orv::sim::FaultKind::none) {
        adapter->sim_->usb->set_fault(index, orv::sim::Fault{*kind, 0, -1});
    }
    UsbSelector selector;
    selector.vid = orv::sim::VIRTUAL_VID;
    selector.pid = orv::sim::VIRTUAL_PID;
    selector.bus = adapter->sim_->usb->bus(index);
    selector.address = adapter->sim_->usb->address(index);
    adapter->open_matching(selector);
    adapter->description_ = "virtual adapter " + adapter->description_;
    return adapter;
#else
    (void)argc;
    (void)argv;
    (void)options;
    throw ToolError(
        Exit::no_adapter, "this orvtool was built without the virtual adapter",
        "rebuild with the emulator (ORV_BUILD_EMULATOR=ON and umockdev installed), or use --usb VID:PID");
#endif
}

} // namespace orvtool
