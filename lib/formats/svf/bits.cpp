#include "lib/formats/svf/bits.hpp"

#include <algorithm>

namespace orv::svf {

namespace {

int digit_value(char c) noexcept
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

Bits::Bits(std::uint32_t length, bool ones)
    : length_(length), bytes_((static_cast<std::size_t>(length) + 7) / 8, ones ? 0xFF : 0x00)
{
    if (ones && length % 8 != 0) {
        bytes_.back() = static_cast<std::uint8_t>((1U << (length % 8)) - 1);
    }
}

bool Bits::any() const noexcept
{
    return std::any_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b != 0; });
}

std::optional<Bits> bits_from_hex(std::string_view digits, std::uint32_t length)
{
    Bits bits(length);
    const std::size_t whole = length / 4; // digits that lie wholly below the length
    std::size_t d = 0;                    // digit, counted from the right
    for (auto it = digits.rbegin(); it != digits.rend(); ++it, ++d) {
        const int value = digit_value(*it);
        if (value <= 0) {
            continue; // zeros need no bits; the lexer let only hex digits through
        }
        if (d >= whole && (d > whole || (value >> (length % 4)) != 0)) {
            return std::nullopt; // a set bit at or above the length
        }
        bits.bytes_[d / 2] = static_cast<std::uint8_t>(bits.bytes_[d / 2] | value << (4 * (d % 2)));
    }
    return bits;
}

std::string to_hex(const Bits& bits)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    const std::uint32_t count = (bits.size() + 3) / 4;
    std::string text(count, '0');
    const auto bytes = bits.bytes();
    for (std::uint32_t d = 0; d < count; ++d) {
        const unsigned nibble = bytes[d / 2] >> (4 * (d % 2)) & 0xFU;
        text[count - 1 - d] = DIGITS[nibble];
    }
    return text;
}

} // namespace orv::svf
