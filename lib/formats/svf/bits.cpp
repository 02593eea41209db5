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

Bits Bits::from_bytes(std::span<const std::uint8_t> bytes, std::uint32_t length)
{
    Bits bits(length);
    const std::size_t keep = std::min<std::size_t>(bytes.size(), (std::size_t{length} + 7) / 8);
    bits.bytes_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    if (keep != 0 && keep * 8 > length) {
        bits.bytes_.back() = static_cast<std::uint8_t>(bits.bytes_.back() & ((1U << (length % 8)) - 1));
    }
    bits.trim();
    return bits;
}

void Bits::trim()
{
    const std::uint8_t fill = fill_ ? 0xFF : 0x00;
    while (!bytes_.empty() && bytes_.back() == fill && 8 * bytes_.size() <= length_) {
        bytes_.pop_back();
    }
}

void Bits::set(std::uint32_t index, bool value)
{
    if (index >= length_ || (*this)[index] == value) {
        return;
    }
    const std::size_t byte = index / 8;
    if (byte >= bytes_.size()) {
        // Store up to it, at the fill level, whole bytes below the length.
        bytes_.resize(byte + 1, fill_ ? 0xFF : 0x00);
        if (fill_ && 8 * bytes_.size() > length_) {
            bytes_.back() = static_cast<std::uint8_t>(bytes_.back() & ((1U << (length_ % 8)) - 1));
        }
    }
    const auto bit = static_cast<std::uint8_t>(1U << (index % 8));
    bytes_[byte] = static_cast<std::uint8_t>(value ? bytes_[byte] | bit : bytes_[byte] & ~bit);
}

bool Bits::any() const noexcept
{
    if (fill_ && 8 * std::uint64_t{bytes_.size()} < length_) {
        return true;
    }
    return std::any_of(bytes_.begin(), bytes_.end(), [](std::uint8_t b) { return b != 0; });
}

std::uint64_t Bits::word(std::uint64_t i, unsigned count) const noexcept
{
    if (i >= length_) {
        return 0;
    }
    const auto n = static_cast<unsigned>(std::min<std::uint64_t>(count, length_ - i));
    return view().word(i, n);
}

bool operator==(const Bits& a, const Bits& b) noexcept
{
    if (a.length_ != b.length_) {
        return false;
    }
    for (std::uint64_t i = 0; i < a.length_; i += 64) {
        if (a.word(i) != b.word(i)) {
            return false;
        }
    }
    return true;
}

std::optional<Bits> bits_from_hex(std::string_view digits, std::uint32_t length)
{
    Bits bits(length);
    const std::size_t whole = length / 4; // digits that lie wholly below the length
    // Bytes up to the last nonzero digit only.
    std::size_t significant = 0;
    std::size_t d = 0; // digit, counted from the right
    for (auto it = digits.rbegin(); it != digits.rend(); ++it, ++d) {
        const int value = digit_value(*it);
        if (value <= 0) {
            continue; // zeros need no bits; the lexer let only hex digits through
        }
        if (d >= whole && (d > whole || (value >> (length % 4)) != 0)) {
            return std::nullopt; // a set bit at or above the length
        }
        significant = d + 1;
    }
    bits.bytes_.assign((significant + 1) / 2, 0);
    d = 0;
    for (auto it = digits.rbegin(); it != digits.rend() && d < significant; ++it, ++d) {
        const int value = digit_value(*it);
        if (value > 0) {
            bits.bytes_[d / 2] = static_cast<std::uint8_t>(bits.bytes_[d / 2] | value << (4 * (d % 2)));
        }
    }
    return bits;
}

std::string to_hex(const Bits& bits)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    const std::uint32_t count = (bits.size() + 3) / 4;
    std::string text(count, '0');
    for (std::uint32_t d = 0; d < count; ++d) {
        const auto nibble = static_cast<unsigned>(bits.word(4 * std::uint64_t{d}, 4));
        text[count - 1 - d] = DIGITS[nibble];
    }
    return text;
}

} // namespace orv::svf
