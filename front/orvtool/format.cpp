#include "front/orvtool/format.hpp"

#include <cstdio>

#include "lib/wire/number_text.hpp"
#include "lib/wire/wire.hpp"

#include "front/orvtool/errors.hpp"

namespace orvtool {

namespace {

int digit_value(char c, unsigned base)
{
    int v = -1;
    if (c >= '0' && c <= '9') {
        v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        v = c - 'A' + 10;
    }
    return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

std::string_view strip_hex_prefix(std::string_view text)
{
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    return text;
}

} // namespace

std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t max)
{
    auto value = orv::parse_unsigned(text);
    if (!value || *value > max) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t number_arg(std::string_view text, std::string_view what, std::uint64_t max)
{
    auto v = parse_number(text, max);
    if (!v) {
        usage_error("bad " + std::string(what) + " '" + std::string(text) + "'",
                    "give a number up to " + std::to_string(max) + ", in decimal or as 0x... hex");
    }
    return *v;
}

std::optional<std::uint64_t> parse_size(std::string_view text, std::uint64_t max)
{
    auto v = orv::parse_size(text);
    if (!v || *v > max) {
        return std::nullopt;
    }
    return v;
}

std::uint64_t size_arg(std::string_view text, std::string_view what, std::uint64_t max)
{
    orv::SizeTextFault fault = orv::SizeTextFault::none;
    const auto v = orv::parse_size(text, &fault);
    // "4 GiB (4294967296)", but not "4294967295 bytes (4294967295)".
    const std::string named = size_text(max);
    const std::string limit =
        "at most " + named + (named == count_text(max, "byte") ? "" : " (" + std::to_string(max) + ")");
    if (fault == orv::SizeTextFault::not_a_size) {
        usage_error("bad " + std::string(what) + " '" + std::string(text) + "': not a number",
                    "give a number in decimal, as 0x... hex or 0b... binary, optionally followed by k, M or "
                    "G for KiB, MiB or GiB (4k = 4096), " +
                        limit);
    }
    if (!v || *v > max) {
        usage_error(std::string(what) + " '" + std::string(text) + "' is too large", "give " + limit);
    }
    return *v;
}

std::uint32_t khz_arg(const std::string& text, const char* what)
{
    constexpr std::uint64_t MIN_KHZ = orv::CLOCK_BASE_KHZ / (orv::CLOCK_DIVISOR_MAX + 1) + 1;
    constexpr std::uint64_t MAX_KHZ = orv::CLOCK_BASE_KHZ;
    auto v = parse_number(text, MAX_KHZ);
    if (!v || *v < MIN_KHZ) {
        usage_error(std::string("bad ") + what + " '" + text + "'", "give a frequency in kHz from " +
                                                                        std::to_string(MIN_KHZ) + " to " +
                                                                        std::to_string(MAX_KHZ));
    }
    return static_cast<std::uint32_t>(*v);
}

std::uint32_t timeout_arg(const std::string& text)
{
    auto v = parse_number(text, MAX_TIMEOUT_MS);
    if (!v || *v == 0) {
        usage_error("bad --timeout '" + text + "'",
                    "give 1 to " + std::to_string(MAX_TIMEOUT_MS) +
                        " milliseconds per USB transfer (0, no limit, would let a read-back wait for ever)");
    }
    return static_cast<std::uint32_t>(*v);
}

std::uint32_t clock_set_khz(std::uint32_t asked_khz)
{
    std::uint32_t divisor = orv::CLOCK_BASE_KHZ / asked_khz;
    return divisor == 0 ? orv::CLOCK_BASE_KHZ : orv::CLOCK_BASE_KHZ / divisor;
}

std::optional<Bytes> parse_hex_bits(std::string_view text, unsigned bit_count)
{
    text = strip_hex_prefix(text);
    Bytes bytes((bit_count + 7) / 8, 0);
    unsigned nibble = 0; // position of the next digit from the right, in nibbles
    bool any = false;
    for (auto it = text.rbegin(); it != text.rend(); ++it) {
        if (*it == '_') {
            continue;
        }
        int d = digit_value(*it, 16);
        if (d < 0) {
            return std::nullopt;
        }
        any = true;
        for (unsigned b = 0; b < 4; ++b) {
            if (((d >> b) & 1) == 0) {
                continue;
            }
            std::uint64_t bit = static_cast<std::uint64_t>(nibble) * 4 + b;
            if (bit >= bit_count) {
                return std::nullopt;
            }
            bytes[bit / 8] = static_cast<std::uint8_t>(bytes[bit / 8] | (1u << (bit % 8)));
        }
        ++nibble;
    }
    if (!any) {
        return std::nullopt;
    }
    return bytes;
}

std::string bits_to_hex(std::span<const std::uint8_t> bytes, unsigned bit_count)
{
    static constexpr char digits[] = "0123456789abcdef";
    unsigned nibbles = (bit_count + 3) / 4;
    std::string out = "0x";
    for (unsigned n = nibbles; n-- > 0;) {
        unsigned v = 0;
        for (unsigned b = 0; b < 4; ++b) {
            std::size_t bit = static_cast<std::size_t>(n) * 4 + b;
            if (bit < bit_count && bit_at(bytes, bit)) {
                v |= 1u << b;
            }
        }
        out += digits[v];
    }
    return out;
}

std::string terminal_text(std::string_view text)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](const char* prefix, unsigned value, int digits) {
        out += prefix;
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
            out += HEX[(value >> shift) & 0xF];
        }
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n' || (byte >= 0x20 && byte < 0x7F)) {
            out += text[i++];
            continue;
        }
        if (byte < 0x80) {
            escape("\\x", byte, 2); // C0 controls and DEL
            ++i;
            continue;
        }
        // A UTF-8 sequence: its length from the lead byte, then continuation
        // bytes, no overlong form, no surrogate, nothing above U+10FFFF.
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 0;
        std::uint32_t code = byte & (0x7F >> length);
        bool valid = length != 0 && byte < 0xF5 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= SMALLEST[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (!valid) {
            escape("\\x", byte, 2);
            ++i;
        } else if (code < 0xA0) {
            escape("\\u", code, 4); // a C1 control: 0x9b is CSI on many terminals
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

} // namespace orvtool
