#include "front/orvtool/usb_host.hpp"

#include <filesystem>
#include <system_error>

#include "front/orvtool/format.hpp"

namespace orvtool {

namespace fs = std::filesystem;

namespace {

// The id the shipped rule names: the virtual adapter's (and the reference
// adapter's) 1209:4f52.
constexpr std::uint16_t RULE_VID = 0x1209;
constexpr std::uint16_t RULE_PID = 0x4f52;

std::string usb_id(std::uint16_t vid, std::uint16_t pid)
{
    return hex(vid, 4).substr(2) + ":" + hex(pid, 4).substr(2);
}

const std::string RELOAD = "sudo udevadm control --reload-rules && sudo udevadm trigger";

} // namespace

UsbHost usb_host()
{
    UsbHost host;
    std::error_code error;
    host.device_dir = fs::exists(USB_DEVICE_DIR, error);
    for (const char* dir : {UDEV_LOCAL_DIR, UDEV_SYSTEM_DIR}) {
        const fs::path rule = fs::path(dir) / UDEV_RULE_NAME;
        if (fs::exists(rule, error)) {
            host.active_rule = rule.string();
            break;
        }
    }
    // PREFIX/bin/orvtool ships PREFIX/lib/udev/rules.d/60-orv-adapter.rules.
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        const fs::path rule = program.parent_path().parent_path() / "lib/udev/rules.d" / UDEV_RULE_NAME;
        if (fs::exists(rule, error)) {
            host.installed_rule = rule.string();
        }
    }
    return host;
}

std::string udev_rule_hint(const UsbHost& host, std::uint16_t vid, std::uint16_t pid)
{
    const std::string id = usb_id(vid, pid);
    const bool named = vid == RULE_VID && pid == RULE_PID;
    if (host.active_rule.empty()) {
        // Without an installed copy beside the program, the sources have it.
        const bool from_sources = host.installed_rule.empty();
        const std::string source =
            from_sources ? std::string("front/orvtool/udev/") + UDEV_RULE_NAME : host.installed_rule;
        return std::string("install orvtool's udev rule where udev reads it") +
               (from_sources ? " (from the source tree)" : "") + ": sudo install -m 644 " + source + " " +
               UDEV_LOCAL_DIR + "/ && " + RELOAD +
               (named ? ""
                      : "; it names " + usb_id(RULE_VID, RULE_PID) + ": add a line for " + id +
                            " as its comment shows") +
               "; then replug the adapter (or run as root)";
    }
    if (!named) {
        return "the udev rule " + host.active_rule + " names " + usb_id(RULE_VID, RULE_PID) +
               " only: add a line for " + id + " to " + UDEV_LOCAL_DIR + "/" + UDEV_RULE_NAME +
               " as its comment shows, then " + RELOAD + " and replug the adapter (or run as root)";
    }
    return "the udev rule " + host.active_rule +
           " gives the user at the seat access: log in locally, or run " + RELOAD +
           " and replug the adapter (or run as root)";
}

ToolError permission_denied(const UsbHost& host, const std::string& path, std::uint16_t vid,
                            std::uint16_t pid, int code)
{
    return ToolError(Exit::no_adapter,
                     "permission denied opening " + path + " (USB id " + usb_id(vid, pid) + ")",
                     udev_rule_hint(host, vid, pid), code);
}

namespace {

std::string no_device_dir_hint()
{
    return std::string(USB_DEVICE_DIR) +
           " does not exist, so no program here can open a USB device: in a container, pass it in "
           "(docker run --device " +
           USB_DEVICE_DIR + "); or use --sim for the virtual adapter";
}

} // namespace

ToolError no_adapter_found(const UsbHost& host, const std::optional<UsbSelector>& selector)
{
    const std::string message =
        selector ? "no adapter found with USB id " + to_string(*selector) : std::string("no adapter found");
    if (!host.device_dir) {
        return ToolError(Exit::no_adapter, message, no_device_dir_hint());
    }
    if (selector) {
        return ToolError(Exit::no_adapter, message,
                         "check that it is plugged in and that the id matches lsusb; --sim runs on the "
                         "virtual adapter instead");
    }
    return ToolError(Exit::no_adapter, message,
                     "plug it in (orvtool list shows the adapters it sees), give --usb VID:PID, or use --sim "
                     "for the virtual adapter");
}

ToolError usb_unavailable(const UsbHost& host, const std::string& what, const std::string& reason, int code)
{
    return ToolError(Exit::no_adapter, reason.empty() ? what : what + ": " + reason,
                     host.device_dir ? "check that " + std::string(USB_DEVICE_DIR) + " is accessible"
                                     : no_device_dir_hint(),
                     code);
}

} // namespace orvtool
