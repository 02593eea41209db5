// Why no adapter can be opened, in the words of what the user can do about
// it: the host's USB device nodes, the udev rule orvtool ships, the id asked.
// What is looked at on the host is gathered in UsbHost, so the messages can
// be checked for every combination without the hardware.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "front/orvtool/adapter_open.hpp"
#include "front/orvtool/errors.hpp"

namespace orvtool {

// The rule's file name, and where a system install puts it (udev reads
// /usr/lib/udev/rules.d and /etc/udev/rules.d, nothing under /usr/local).
inline constexpr const char* UDEV_RULE_NAME = "60-orv-adapter.rules";
inline constexpr const char* UDEV_SYSTEM_DIR = "/usr/lib/udev/rules.d";
inline constexpr const char* UDEV_LOCAL_DIR = "/etc/udev/rules.d";
// The directory programs open USB devices in (usbfs).
inline constexpr const char* USB_DEVICE_DIR = "/dev/bus/usb";

// What the host shows of USB and of orvtool's udev rule.
struct UsbHost {
    bool device_dir = true; // USB_DEVICE_DIR exists
    // The rule where udev reads it, empty when it is in neither directory.
    std::string active_rule;
    // The rule as this orvtool was installed with it (PREFIX/lib/udev/rules.d
    // beside PREFIX/bin/orvtool), empty when there is none.
    std::string installed_rule;
};

// Looks at this host.
UsbHost usb_host();

// The hint for a device orvtool may not open: which rule to install and the
// command that does it, or the line to add for an id the rule does not name.
std::string udev_rule_hint(const UsbHost& host, std::uint16_t vid, std::uint16_t pid);

// Opening `path` (/dev/bus/usb/BBB/DDD) was refused.
ToolError permission_denied(const UsbHost& host, const std::string& path, std::uint16_t vid,
                            std::uint16_t pid, int code);

// No adapter (`selector`: none with that id) is on the buses.
ToolError no_adapter_found(const UsbHost& host, const std::optional<UsbSelector>& selector);

// libusb could not start or list the devices: `what` ("cannot start
// libusb"), libusb's `reason` and `code`, and the cause when the host shows
// one.
ToolError usb_unavailable(const UsbHost& host, const std::string& what, const std::string& reason, int code);

} // namespace orvtool
