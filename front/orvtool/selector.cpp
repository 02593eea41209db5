#include <cstdio>
#include <vector>

#include "front/orvtool/adapter_open.hpp"
#include "front/orvtool/format.hpp"

namespace orvtool {

namespace {

std::optional<std::uint16_t> parse_hex16(std::string_view text)
{
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    auto v = parse_number("0x" + std::string(text), 0xFFFF);
    if (!v) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*v);
}

std::optional<std::uint8_t> parse_dec8(std::string_view text)
{
    if (text.empty() || text.size() > 3) {
        return std::nullopt;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    auto v = parse_number(text, 255);
    if (!v) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(*v);
}

} // namespace

std::optional<UsbSelector> parse_usb_selector(std::string_view text)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() != 2 && parts.size() != 4) {
        return std::nullopt;
    }
    UsbSelector s;
    auto vid = parse_hex16(parts[0]);
    auto pid = parse_hex16(parts[1]);
    if (!vid || !pid) {
        return std::nullopt;
    }
    s.vid = *vid;
    s.pid = *pid;
    if (parts.size() == 4) {
        s.bus = parse_dec8(parts[2]);
        s.address = parse_dec8(parts[3]);
        if (!s.bus || !s.address) {
            return std::nullopt;
        }
    }
    return s;
}

std::string to_string(const UsbSelector& selector)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04x:%04x", selector.vid, selector.pid);
    std::string out = buf;
    if (selector.bus && selector.address) {
        out += ":" + std::to_string(*selector.bus) + ":" + std::to_string(*selector.address);
    }
    return out;
}

} // namespace orvtool
