// Opening the adapter: a real one by USB vendor and product id (the device
// library finds and opens it, and says why when it cannot), or the virtual
// one (--sim) on umockdev's virtual bus: with the board of --board (the
// default board without), or, when orvtool runs under orvsim-run
// (ORVSIM_ADAPTERS is set), orvsim-run's first adapter, which keeps its state
// from one orvtool run to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <libusb.h>

#include "front/orvtool/errors.hpp"
#include "orv_devices.h"

namespace CLI {
class App;
}
namespace orv::emu {
class AdapterModel;
}

namespace orvtool {

// --usb SERIAL or --usb VID:PID[:BUS:ADDR] (ids in hex as lsusb prints
// them, bus and device number in decimal; a text without a colon is a
// serial number); a usage error for another form. A serial points into
// `text`, which must outlive the selector.
orvdev_adapter_selector usb_selector(const std::string& text);

// The adapters `selector` matches (every one without), by bus and address,
// through the device library: none found is the ToolError of
// no_adapter_error(), with the empty list in `none`.
struct Listed {
    std::vector<orvdev_adapter_info> adapters;
    std::optional<ToolError> none;
};
Listed list_adapters(const orvdev_adapter_selector* selector);

// The error for no adapter (Exit::no_adapter): the device library's message
// and hint, with orvtool's options named where they help.
ToolError no_adapter_error(const orvdev_no_adapter& why, const orvdev_report& report,
                           const orvdev_adapter_selector* selector);

// The virtual adapter's board (--board: a board file or the name of an
// installed board; empty: the default board; --allow-outside-images: its
// images anywhere, not only beside it) and fault (--sim-fault
// KIND[:EP[:AFTER[:COUNT]]]; empty: none). None applies under orvsim-run.
struct SimOptions {
    std::string board;
    std::string fault;
    bool images_anywhere = false;
};

// An opened adapter with interface 0 claimed; released and closed on
// destruction. The handle goes to the libraries unchanged.
class Adapter {
public:
    // Throws ToolError(Exit::no_adapter) with a message and a hint when no
    // device matches, several match, or it cannot be opened or claimed.
    static std::unique_ptr<Adapter> open_usb(const orvdev_adapter_selector& selector);
    // The one adapter on the buses; throws when there is none or several.
    static std::unique_ptr<Adapter> open_only_one();

    // Starts the virtual adapter, or takes orvsim-run's, and, when `open`,
    // opens it (without, it is only there to be listed). Without umockdev's
    // preload in the process it re-executes the program under
    // umockdev-wrapper (argc/argv are the original ones) and does not return;
    // throws when that is impossible, and ToolError(Exit::usage) for a bad
    // board or fault.
    static std::unique_ptr<Adapter> open_sim(int argc, char** argv, const SimOptions& options,
                                             bool open = true);

    static bool sim_available();
    // --sim starts a virtual adapter in this process (not under orvsim-run,
    // whose adapters live in orvsim-run).
    static bool sim_runs_here();

    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    libusb_device_handle* handle() const { return orvdev_adapter_handle(usb_); }
    // The adapter's USB serial number (asked of it now); empty when it has
    // none or does not answer.
    std::string serial() const;
    // The model behind a virtual adapter this process runs; null otherwise.
    // Touch it only while no transfer is in flight.
    orv::emu::AdapterModel* model() const;

    // Releases and closes the adapter; a virtual one then writes back its
    // board's persisted images. Throws ToolError(Exit::failed) when an image
    // cannot be saved. The destructor does the same, reporting on stderr.
    void close();

    // After the adapter went away: closes the old handle and opens the
    // adapter again as it was chosen (the same --usb selection, the only one
    // on the buses, the same virtual adapter; a virtual one keeps its board).
    // Throws ToolError(Exit::no_adapter) while it is not there.
    void reopen();

private:
    Adapter() = default;
    // The one adapter `selector` matches (any without).
    void open_matching(const orvdev_adapter_selector* selector);
    void open_running_sim(const char* adapters);
    void close_usb();

    // How the adapter was chosen, to choose it again.
    enum class Choice { usb, only_one, running_sim, own_sim };
    Choice choice_ = Choice::usb;
    orvdev_adapter_selector selector_{-1, -1, -1, -1, nullptr};
    std::string running_;

    struct Sim; // the virtual USB device; outlives the adapter's libusb context
    std::unique_ptr<Sim> sim_;
    orvdev_adapter* usb_ = nullptr;
};

// orvtool list: the adapters on the buses, those the first of `usb` (--usb,
// kept by the caller) selects when there is one. In the program, not the
// command library: it talks to libusb itself.
struct Chosen;
void register_list(CLI::App& app, Chosen& chosen, const std::vector<std::string>& usb);

} // namespace orvtool
