// Opening the adapter: a real one by USB vendor and product id, or the
// virtual one (--sim) on umockdev's virtual bus: with the board of --board
// (the default board without), or, when orvtool runs under orvsim-run
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

namespace CLI {
class App;
}
namespace orv::emu {
class Adapter;
}

namespace orvtool {

// --usb VID:PID[:BUS:ADDR]: ids in hex (as lsusb prints them), bus and device
// number in decimal.
struct UsbSelector {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::optional<std::uint8_t> bus;
    std::optional<std::uint8_t> address;
};

std::optional<UsbSelector> parse_usb_selector(std::string_view text);
// What a bad --usb is told.
inline constexpr const char* USB_SELECTOR_HINT =
    "give VID:PID in hex (1209:4f52), optionally with :BUS:ADDR in decimal (1209:4f52:1:5)";
std::string to_string(const UsbSelector& selector);

// A USB device that looks like this adapter: one interface with bulk
// endpoints 0x02 OUT, 0x81 IN and 0x83 IN.
struct FoundAdapter {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    std::string serial;  // empty when the device could not be opened to ask
    std::string product; // likewise
    std::string problem; // why the strings are missing ("no permission")
};

// Every device on the USB buses that looks like this adapter, by bus and
// address. Throws ToolError(Exit::no_adapter) when libusb cannot list them.
std::vector<FoundAdapter> list_adapters();

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
    static std::unique_ptr<Adapter> open_usb(const UsbSelector& selector);
    // The one adapter on the buses (list_adapters()); throws when there is
    // none or several.
    static std::unique_ptr<Adapter> open_only_one();
    // The selector of the one adapter on the buses; throws as open_only_one().
    static UsbSelector only_one();

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

    libusb_device_handle* handle() const { return handle_; }
    // The adapter's USB serial number (asked of it now); empty when it has
    // none or does not answer.
    std::string serial() const;
    // The model behind a virtual adapter this process runs; null otherwise.
    // Touch it only while no transfer is in flight.
    orv::emu::Adapter* model() const;
    const std::string& description() const { return description_; }

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
    void open_matching(const UsbSelector& selector);
    void open_running_sim(const char* adapters);
    void close_usb();

    // How the adapter was chosen, to choose it again.
    enum class Choice { usb, only_one, running_sim, own_sim };
    Choice choice_ = Choice::usb;
    UsbSelector selector_;
    std::string running_;

    struct Sim; // the virtual USB device; outlives the libusb context
    std::unique_ptr<Sim> sim_;
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
    std::string description_;
};

// orvtool list: the adapters on the buses, those `usb` (--usb, kept by the
// caller) selects when it is not empty. In the program, not the command
// library: it talks to libusb itself.
struct Chosen;
void register_list(CLI::App& app, Chosen& chosen, const std::string& usb);

} // namespace orvtool
