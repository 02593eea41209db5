// Which adapter a caller means, and why none could be opened, in the words
// of what the user can do about it: the host's USB device nodes, the udev
// rule the adapter ships with, the program that holds it. What is looked at
// on the host is gathered in UsbHost, so every message can be checked
// without the hardware; the search itself is in usb_adapters.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orv_devices.h"

namespace orv::dev::discovery {

// The rule's file name, and the directories udev reads rules from (nothing
// under /usr/local).
inline constexpr const char* UDEV_RULE_NAME = "60-orv-adapter.rules";
inline constexpr const char* UDEV_SYSTEM_DIR = "/usr/lib/udev/rules.d";
inline constexpr const char* UDEV_LOCAL_DIR = "/etc/udev/rules.d";
// The directory programs open USB devices in (usbfs).
inline constexpr const char* USB_DEVICE_DIR = "/dev/bus/usb";
// The id the shipped rule names: the virtual adapter's (and the reference
// adapter's).
inline constexpr std::uint16_t RULE_VID = 0x1209;
inline constexpr std::uint16_t RULE_PID = 0x4f52;

// What the host shows of USB and of the udev rule.
struct UsbHost {
    bool device_dir = true; // USB_DEVICE_DIR exists
    // The rule where udev reads it; empty when it is in neither directory.
    std::string active_rule;
    // The rule as this library was installed with it (PREFIX/lib/udev/
    // rules.d beside PREFIX/lib/liborv_devices.so); empty when there is none.
    std::string installed_rule;
};

// Looks at this host.
[[nodiscard]] UsbHost usb_host();

// "1209:4f52".
[[nodiscard]] std::string usb_id(std::uint16_t vid, std::uint16_t pid);
// "bus 001 device 005".
[[nodiscard]] std::string place_text(std::uint8_t bus, std::uint8_t address);

// A selector's fields in range: the refusal, or nothing.
[[nodiscard]] std::optional<std::string> selector_fault(const orvdev_adapter_selector& s);
// Whether an adapter matches; a selector with a serial matches only an
// adapter whose serial number was read.
[[nodiscard]] bool matches(const orvdev_adapter_selector& s, const orvdev_adapter_info& a);
// " with USB id 1209:4f52", " with serial number X", " at bus 1 address 3",
// joined; "" for any adapter.
[[nodiscard]] std::string wanted_text(const orvdev_adapter_selector& s);
// Why `text` cannot be a serial number as the adapters' string descriptors
// give it (empty, longer than they hold, a character outside printable
// ASCII), or nothing.
[[nodiscard]] std::optional<std::string> serial_fault(std::string_view text);
// "VID:PID" or "VID:PID:BUS:ADDR"; nullopt for another form.
[[nodiscard]] std::optional<orvdev_adapter_selector> parse_selector(std::string_view text);

// Why no adapter: the cause, libusb's code, the message and the hint.
struct NoAdapter {
    std::int32_t cause = ORVDEV_ADAPTER_NOT_FOUND;
    std::int32_t usb_code = 0;
    std::uint32_t matches = 0;
    std::optional<orvdev_adapter_info> adapter;
    std::string message;
    std::string hint;
};

// The hint for a device the system does not let this user open: which rule
// to install and the command that does it, or the line to add for an id the
// rule does not name.
[[nodiscard]] std::string udev_rule_hint(const UsbHost& host, std::uint16_t vid, std::uint16_t pid);

// None matches `s`.
[[nodiscard]] NoAdapter not_found(const UsbHost& host, const orvdev_adapter_selector& s);
// `count` match `s`.
[[nodiscard]] NoAdapter several(const orvdev_adapter_selector& s, std::uint32_t count);
// libusb could not start or list the devices: `what` ("cannot start
// libusb"), libusb's code and its text.
[[nodiscard]] NoAdapter usb_unavailable(const UsbHost& host, const std::string& what, std::int32_t code,
                                        const std::string& reason);
// Opening the adapter failed with libusb's `code` (`reason` its text).
[[nodiscard]] NoAdapter open_failed(const UsbHost& host, const orvdev_adapter_info& a, std::int32_t code,
                                    const std::string& reason);
// Claiming its interface failed.
[[nodiscard]] NoAdapter claim_failed(const UsbHost& host, const orvdev_adapter_info& a, std::int32_t code,
                                     const std::string& reason);

// Fills the caller's orvdev_no_adapter (when given) from `n`, or with
// ORVDEV_ADAPTER_FOUND when there is none.
void to_c(const NoAdapter* n, const UsbHost& host, orvdev_no_adapter* why);

} // namespace orv::dev::discovery
