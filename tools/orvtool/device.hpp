// Opening the adapter: a real one by USB vendor and product id, or the
// virtual one (--sim) on umockdev's virtual bus with the default board.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <libusb.h>

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
std::string to_string(const UsbSelector& selector);

// A fault for the virtual adapter (hidden --sim-fault), to exercise the error
// paths end to end: none, unplugged, stall, timeout, short, never-fill,
// overcount, overflow.
struct SimOptions {
    std::string fault = "none";
};

// An opened adapter with interface 0 claimed; released and closed on
// destruction. The handle goes to the libraries unchanged.
class Adapter {
public:
    // Throws ToolError(Exit::no_adapter) with a message and a hint when no
    // device matches, several match, or it cannot be opened or claimed.
    static std::unique_ptr<Adapter> open_usb(const UsbSelector& selector);

    // Starts the virtual adapter. Without umockdev's preload in the process it
    // re-executes the program under umockdev-wrapper (argc/argv are the
    // original ones) and does not return; throws when that is impossible.
    static std::unique_ptr<Adapter> open_sim(int argc, char** argv, const SimOptions& options);

    static bool sim_available();

    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    libusb_device_handle* handle() const { return handle_; }
    const std::string& description() const { return description_; }

private:
    Adapter() = default;
    void open_matching(const UsbSelector& selector);

    struct Sim; // the virtual USB device; outlives the libusb context
    std::unique_ptr<Sim> sim_;
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
    std::string description_;
};

} // namespace orvtool
