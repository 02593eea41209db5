// Unsigned numbers as people write them on command lines and in board files:
// decimal, 0x... hex or 0b... binary; sizes and offsets also with a binary
// multiple after them (4k, 16M, 1G).
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

// Why a size text was refused: not a number at all, or a number above 64
// bits (before or after its multiple).
enum class SizeTextFault { none, not_a_size, too_large };

// A size or offset: a number as parse_unsigned takes it, optionally followed
// by k/K, m/M or g/G for 2^10, 2^20 or 2^30 (4k = 4096, 16M = 16777216).
// The suffix is read before the digits, so "0x1M" is one MiB; b stays a
// binary prefix, never a suffix. Nullopt for anything else, with the reason
// in `fault` when given.
[[nodiscard]] inline std::optional<std::uint64_t> parse_size(std::string_view text,
                                                             SizeTextFault* fault = nullptr) noexcept
{
    unsigned shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
        case 'k':
        case 'K':
            shift = 10;
            break;
        case 'm':
        case 'M':
            shift = 20;
            break;
        case 'g':
        case 'G':
            shift = 30;
            break;
        default:
            break;
        }
    }
    if (shift != 0) {
        text.remove_suffix(1);
    }
    SizeTextFault why = SizeTextFault::none;
    std::optional<std::uint64_t> value = parse_unsigned(text);
    if (!value) {
        // Digits that only fail for their size are an overflow, not junk.
        std::string_view digits = text;
        int base = 10;
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
            base = 16;
            digits.remove_prefix(2);
        } else if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B')) {
            base = 2;
            digits.remove_prefix(2);
        }
        std::uint64_t ignored = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), ignored, base);
        why =
            !digits.empty() && error == std::errc::result_out_of_range && end == digits.data() + digits.size()
                ? SizeTextFault::too_large
                : SizeTextFault::not_a_size;
    } else if (*value > (UINT64_MAX >> shift)) {
        why = SizeTextFault::too_large;
        value.reset();
    } else {
        *value <<= shift;
    }
    if (fault != nullptr) {
        *fault = why;
    }
    return value;
}

} // namespace orv
