#include "lib/devices/discovery/adapter_select.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include <libusb.h>

namespace orv::dev::discovery {

namespace fs = std::filesystem;

namespace {

const std::string RELOAD = "sudo udevadm control --reload-rules && sudo udevadm trigger";

std::string no_device_dir_hint()
{
    return std::string(USB_DEVICE_DIR) +
           " does not exist, so no program here can open a USB device: in a container, pass it in "
           "(docker run --device " +
           USB_DEVICE_DIR + ")";
}

// Digits only, in `base`, at most `digits` of them, up to `limit`.
std::optional<std::int32_t> field(std::string_view text, int base, std::size_t digits, std::int32_t limit)
{
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || text.size() > digits || error != std::errc{} || end != text.data() + text.size() ||
        value < 0 || value > limit) {
        return std::nullopt;
    }
    return value;
}

template <std::size_t N> void copy_text(char (&to)[N], const std::string& from) noexcept
{
    std::snprintf(to, N, "%s", from.c_str());
}

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
    // The rule installed with this library: PREFIX/lib/udev/rules.d, beside
    // PREFIX/lib/ or PREFIX/lib/<multiarch>/ (or PREFIX/bin/ for a program
    // that has the library built in).
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&usb_host), &self) != 0 && self.dli_fname != nullptr) {
        const fs::path dir = fs::path(self.dli_fname).parent_path();
        for (const fs::path& rules :
             {dir / "udev/rules.d", dir / "../udev/rules.d", dir / "../lib/udev/rules.d"}) {
            const fs::path rule = rules / UDEV_RULE_NAME;
            if (fs::exists(rule, error)) {
                host.installed_rule = fs::weakly_canonical(rule, error).string();
                break;
            }
        }
    }
    return host;
}

std::string usb_id(std::uint16_t vid, std::uint16_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vid, pid);
    return text;
}

std::string place_text(std::uint8_t bus, std::uint8_t address)
{
    char text[40];
    std::snprintf(text, sizeof text, "bus %03u device %03u", bus, address);
    return text;
}

std::optional<std::string> selector_fault(const orvdev_adapter_selector& s)
{
    if (s.vid < -1 || s.vid > 0xFFFF || s.pid < -1 || s.pid > 0xFFFF) {
        return "a USB vendor or product id outside 0..0xffff (-1: any)";
    }
    if (s.bus < -1 || s.bus > 0xFF || s.address < -1 || s.address > 0xFF) {
        return "a bus or device number outside 0..255 (-1: any)";
    }
    return std::nullopt;
}

bool matches(const orvdev_adapter_selector& s, const orvdev_adapter_info& a)
{
    return (s.vid < 0 || a.vid == s.vid) && (s.pid < 0 || a.pid == s.pid) && (s.bus < 0 || a.bus == s.bus) &&
           (s.address < 0 || a.address == s.address) &&
           (s.serial == nullptr || (a.open_error == 0 && std::strcmp(a.serial, s.serial) == 0));
}

std::string wanted_text(const orvdev_adapter_selector& s)
{
    std::string text;
    if (s.vid >= 0 && s.pid >= 0) {
        text +=
            " with USB id " + usb_id(static_cast<std::uint16_t>(s.vid), static_cast<std::uint16_t>(s.pid));
        if (s.bus >= 0 && s.address >= 0) {
            text += ":" + std::to_string(s.bus) + ":" + std::to_string(s.address);
        }
    } else if (s.vid >= 0 || s.pid >= 0) {
        char id[32];
        std::snprintf(id, sizeof id, " with USB %s id %04x", s.vid >= 0 ? "vendor" : "product",
                      static_cast<unsigned>(s.vid >= 0 ? s.vid : s.pid));
        text += id;
    }
    if (s.serial != nullptr) {
        text += (text.empty() ? " with serial number " : " and serial number ") + std::string(s.serial);
    }
    const bool place_in_id = s.vid >= 0 && s.pid >= 0 && s.bus >= 0 && s.address >= 0;
    if (!place_in_id && (s.bus >= 0 || s.address >= 0)) {
        text += " at";
        text += s.bus >= 0 ? " bus " + std::to_string(s.bus) : "";
        text += s.address >= 0 ? " address " + std::to_string(s.address) : "";
    }
    return text;
}

std::optional<std::string> serial_fault(std::string_view text)
{
    if (text.empty()) {
        return "an empty serial number";
    }
    if (text.size() >= ORVDEV_USB_STRING_MAX) {
        return "longer than a serial number can be (" + std::to_string(ORVDEV_USB_STRING_MAX - 1) +
               " characters)";
    }
    if (std::any_of(text.begin(), text.end(), [](char c) { return c < 0x20 || c > 0x7e; })) {
        return "not a serial number: one holds printable ASCII only";
    }
    return std::nullopt;
}

std::optional<orvdev_adapter_selector> parse_selector(std::string_view text)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() != 2 && parts.size() != 4) {
        return std::nullopt;
    }
    orvdev_adapter_selector s{-1, -1, -1, -1, nullptr};
    const auto vid = field(parts[0], 16, 4, 0xFFFF);
    const auto pid = field(parts[1], 16, 4, 0xFFFF);
    if (!vid || !pid) {
        return std::nullopt;
    }
    s.vid = *vid;
    s.pid = *pid;
    if (parts.size() == 4) {
        const auto bus = field(parts[2], 10, 3, 0xFF);
        const auto address = field(parts[3], 10, 3, 0xFF);
        if (!bus || !address) {
            return std::nullopt;
        }
        s.bus = *bus;
        s.address = *address;
    }
    return s;
}

std::string udev_rule_hint(const UsbHost& host, std::uint16_t vid, std::uint16_t pid)
{
    const std::string id = usb_id(vid, pid);
    const bool named = vid == RULE_VID && pid == RULE_PID;
    if (host.active_rule.empty()) {
        // Without an installed copy beside the library, the sources have it.
        const bool from_sources = host.installed_rule.empty();
        const std::string source =
            from_sources ? std::string("front/orvtool/udev/") + UDEV_RULE_NAME : host.installed_rule;
        return std::string("install the adapter's udev rule where udev reads it") +
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

NoAdapter not_found(const UsbHost& host, const orvdev_adapter_selector& s)
{
    NoAdapter n;
    n.cause = host.device_dir ? ORVDEV_ADAPTER_NOT_FOUND : ORVDEV_ADAPTER_NO_USBFS;
    n.message = "no adapter found" + wanted_text(s);
    n.hint =
        !host.device_dir ? no_device_dir_hint()
        : wanted_text(s).empty()
            ? std::string("plug it in: it is a USB device with one interface and bulk endpoints 0x02 OUT, "
                          "0x81 IN and 0x83 IN")
            : std::string("check that it is plugged in and that the id matches lsusb");
    return n;
}

NoAdapter several(const orvdev_adapter_selector& s, std::uint32_t count)
{
    NoAdapter n;
    n.cause = ORVDEV_ADAPTER_SEVERAL;
    n.matches = count;
    n.message = std::to_string(count) + " adapters found" + wanted_text(s);
    n.hint = "choose one by its bus and device number, or its serial number";
    return n;
}

NoAdapter usb_unavailable(const UsbHost& host, const std::string& what, std::int32_t code,
                          const std::string& reason)
{
    NoAdapter n;
    n.cause = host.device_dir ? ORVDEV_ADAPTER_USB_FAILED : ORVDEV_ADAPTER_NO_USBFS;
    n.usb_code = code;
    n.message = reason.empty() ? what : what + ": " + reason;
    n.hint = host.device_dir ? "check that " + std::string(USB_DEVICE_DIR) + " is accessible"
                             : no_device_dir_hint();
    return n;
}

namespace {

// What libusb's `code` on adapter `a` tells: the cause and the hint; the
// message is the caller's.
NoAdapter failed_on(const UsbHost& host, const orvdev_adapter_info& a, std::int32_t code)
{
    NoAdapter n;
    n.usb_code = code;
    n.matches = 1;
    n.adapter = a;
    if (code == LIBUSB_ERROR_ACCESS) {
        n.cause = ORVDEV_ADAPTER_PERMISSION;
        n.hint = udev_rule_hint(host, a.vid, a.pid);
    } else if (code == LIBUSB_ERROR_BUSY) {
        n.cause = ORVDEV_ADAPTER_BUSY;
        n.hint =
            "another program (a debugger, another of these tools) has claimed its interface: close it and "
            "retry";
    } else if (!host.device_dir) { // the buses are seen in sysfs, but no device node can be opened
        n.cause = ORVDEV_ADAPTER_NO_USBFS;
        n.hint = no_device_dir_hint();
    } else if (code == LIBUSB_ERROR_NO_DEVICE) {
        n.cause = ORVDEV_ADAPTER_GONE;
        n.hint = "the adapter went away: plug it in again";
    } else {
        n.cause = ORVDEV_ADAPTER_USB_FAILED;
        n.hint = "unplug and replug the adapter, then retry";
    }
    return n;
}

} // namespace

NoAdapter open_failed(const UsbHost& host, const orvdev_adapter_info& a, std::int32_t code,
                      const std::string& reason)
{
    NoAdapter n = failed_on(host, a, code);
    if (n.cause == ORVDEV_ADAPTER_PERMISSION) {
        char path[48];
        std::snprintf(path, sizeof path, "%s/%03u/%03u", USB_DEVICE_DIR, a.bus, a.address);
        n.message =
            std::string("permission denied opening ") + path + " (USB id " + usb_id(a.vid, a.pid) + ")";
    } else {
        n.message = "cannot open the adapter at " + place_text(a.bus, a.address) + ": " + reason;
    }
    return n;
}

NoAdapter claim_failed(const UsbHost& host, const orvdev_adapter_info& a, std::int32_t code,
                       const std::string& reason)
{
    NoAdapter n = failed_on(host, a, code);
    n.message = n.cause == ORVDEV_ADAPTER_BUSY ? "the adapter at " + place_text(a.bus, a.address) + " is busy"
                                               : "cannot claim interface 0 of the adapter at " +
                                                     place_text(a.bus, a.address) + ": " + reason;
    return n;
}

void to_c(const NoAdapter* n, const UsbHost& host, orvdev_no_adapter* why)
{
    if (why == nullptr) {
        return;
    }
    std::memset(why, 0, sizeof *why);
    why->cause = n != nullptr ? n->cause : ORVDEV_ADAPTER_FOUND;
    why->device_dir = host.device_dir ? 1 : 0;
    copy_text(why->udev_rule, host.active_rule);
    if (n != nullptr) {
        why->usb_code = n->usb_code;
        why->matches = n->matches;
        if (n->adapter) {
            why->adapter = *n->adapter;
        }
    }
}

} // namespace orv::dev::discovery
