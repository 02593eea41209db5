#include "front/orvtool/adapter_open.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <utility>
#include <vector>

#include "front/orvtool/errors.hpp"

#ifdef ORVTOOL_HAVE_VUSB
#include "sim/emulator/board_file.hpp"
#include "sim/vusb/virtual_usb.hpp"
#endif

namespace orvtool {

namespace {

// The adapters on the buses, for the hint when there are several: each by
// its serial number where it has one that no other shares, else by
// VID:PID:BUS:ADDR.
std::string choices(const orvdev_adapter_selector* selector)
{
    const std::vector<orvdev_adapter_info> adapters = list_adapters(selector).adapters;
    std::string names;
    for (const orvdev_adapter_info& a : adapters) {
        const bool unique_serial = a.open_error == 0 && *a.serial != '\0' &&
                                   std::none_of(adapters.begin(), adapters.end(), [&a](const auto& b) {
                                       return &b != &a && std::strcmp(b.serial, a.serial) == 0;
                                   });
        char id[40];
        std::snprintf(id, sizeof id, "%04x:%04x:%u:%u", a.vid, a.pid, a.bus, a.address);
        names += (names.empty() ? "" : ", ") + (unique_serial ? std::string(a.serial) : std::string(id));
    }
    return names;
}

} // namespace

orvdev_adapter_selector usb_selector(const std::string& text)
{
    orvdev_adapter_selector selector{};
    orvdev_report report{};
    if (orvdev_adapter_selector_parse(text.c_str(), &selector, &report) != 0) {
        usage_error("bad --usb '" + text + "': " + report.message, report.hint);
    }
    return selector;
}

ToolError no_adapter_error(const orvdev_no_adapter& why, const orvdev_report& report,
                           const orvdev_adapter_selector* selector)
{
    std::string hint = report.hint;
    switch (why.cause) {
    case ORVDEV_ADAPTER_NOT_FOUND:
        hint = selector != nullptr
                   ? hint + "; --sim runs on the virtual adapter instead"
                   : "plug it in (orvtool list shows the adapters it sees), give --usb SERIAL or "
                     "--usb VID:PID, or use --sim for the virtual adapter";
        break;
    case ORVDEV_ADAPTER_NO_USBFS:
        hint += "; or use --sim for the virtual adapter";
        break;
    case ORVDEV_ADAPTER_SEVERAL:
        hint = "choose one with --usb SERIAL or --usb VID:PID:BUS:ADDR: " + choices(selector) +
               "; or run on each with --each";
        break;
    default:
        break;
    }
    return ToolError(Exit::no_adapter, report.message, hint,
                     why.usb_code != 0 ? std::optional<std::int32_t>(why.usb_code) : std::nullopt);
}

Listed list_adapters(const orvdev_adapter_selector* selector)
{
    Listed listed;
    std::uint32_t count = 0;
    orvdev_no_adapter why{};
    orvdev_report report{};
    // Asked with room for none first, then for all there are.
    std::int32_t rc = orvdev_adapter_list(selector, nullptr, 0, &count, &why, &report);
    while (rc == 0 && listed.adapters.size() < count) {
        listed.adapters.resize(count);
        rc = orvdev_adapter_list(selector, listed.adapters.data(), static_cast<std::uint32_t>(count), &count,
                                 &why, &report);
    }
    listed.adapters.resize(rc == 0 ? std::min<std::size_t>(count, listed.adapters.size()) : 0);
    if (rc == ORVDEV_ERROR_NO_ADAPTER && why.cause != ORVDEV_ADAPTER_NOT_FOUND &&
        why.cause != ORVDEV_ADAPTER_NO_USBFS) {
        throw no_adapter_error(why, report, selector);
    }
    if (rc == ORVDEV_ERROR_NO_ADAPTER) {
        listed.none = no_adapter_error(why, report, selector);
    } else if (rc != 0) {
        throw ToolError(Exit::no_adapter, report.message, report.hint, rc);
    }
    return listed;
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
    orvdev_adapter_close(usb_);
    usb_ = nullptr;
}

std::string Adapter::serial() const
{
    if (usb_ == nullptr) {
        return "";
    }
    orvdev_adapter_info info{};
    orvdev_adapter_get_info(usb_, &info);
    return info.serial;
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
    case Choice::own_sim:
        open_matching(&selector_);
        break;
    case Choice::only_one:
        open_matching(nullptr);
        break;
    case Choice::running_sim:
#ifdef ORVTOOL_HAVE_VUSB
        open_running_sim(running_.c_str());
#endif
        break;
    }
}

std::unique_ptr<Adapter> Adapter::open_usb(const orvdev_adapter_selector& selector)
{
    std::unique_ptr<Adapter> adapter(new Adapter());
    adapter->selector_ = selector;
    adapter->open_matching(&adapter->selector_);
    return adapter;
}

std::unique_ptr<Adapter> Adapter::open_only_one()
{
    std::unique_ptr<Adapter> adapter(new Adapter());
    adapter->choice_ = Choice::only_one;
    adapter->open_matching(nullptr);
    return adapter;
}

void Adapter::open_matching(const orvdev_adapter_selector* selector)
{
    orvdev_no_adapter why{};
    orvdev_report report{};
    if (orvdev_adapter_open(selector, &usb_, &why, &report) != 0) {
        usb_ = nullptr;
        throw no_adapter_error(why, report, selector);
    }
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

orv::emu::AdapterModel* Adapter::model() const
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
    const orvdev_adapter_selector selector{orv::sim::VIRTUAL_VID, orv::sim::VIRTUAL_PID,
                                           static_cast<int>(bus), static_cast<int>(address), nullptr};
    open_matching(&selector);
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
    adapter->choice_ = Choice::own_sim;
    adapter->selector_ =
        orvdev_adapter_selector{orv::sim::VIRTUAL_VID, orv::sim::VIRTUAL_PID, adapter->sim_->usb->bus(index),
                                adapter->sim_->usb->address(index), nullptr};
    adapter->open_matching(&adapter->selector_);
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
