// Unsigned numbers as people write them on command lines and in board files:
// decimal, 0x... hex or 0b... binary.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orv {

// The number `text` spells, or nullopt for anything else: an empty text or
// digits, a sign, a digit outside the base, trailing characters, a value
// above 64 bits.
[[nodiscard]] inline std::optional<std::uint64_t> parse_unsigned(std::string_view text) noexcept
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace orv
