// A bit string as SVF scans carry it: bit 0 is shifted first (the rightmost
// hex digit of the file's value holds bits 3..0), stored LSB first in bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orv::svf {

class Bits {
public:
    Bits() = default;
    // `length` bits, all zeros or all ones.
    explicit Bits(std::uint32_t length, bool ones = false);

    [[nodiscard]] std::uint32_t size() const noexcept { return length_; }
    [[nodiscard]] bool operator[](std::uint32_t index) const noexcept
    {
        return (bytes_[index / 8] >> (index % 8) & 1U) != 0;
    }
    void set(std::uint32_t index, bool value) noexcept
    {
        const auto bit = static_cast<std::uint8_t>(1U << (index % 8));
        bytes_[index / 8] =
            static_cast<std::uint8_t>(value ? bytes_[index / 8] | bit : bytes_[index / 8] & ~bit);
    }
    [[nodiscard]] bool any() const noexcept;
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

    friend bool operator==(const Bits&, const Bits&) = default;

private:
    friend std::optional<Bits> bits_from_hex(std::string_view digits, std::uint32_t length);
    std::uint32_t length_ = 0;
    std::vector<std::uint8_t> bytes_; // bits at or above length_ are 0
};

// A value from the file: hex digits only (the lexer has dropped blanks and
// checked the digits), the last digit holding bits 3..0. Fewer digits than the
// length are zero-extended; leading zero digits beyond it are fine. Empty when
// a set bit lies at or above `length`.
[[nodiscard]] std::optional<Bits> bits_from_hex(std::string_view digits, std::uint32_t length);

// ceil(length / 4) lower-case hex digits, most significant first; "" for 0 bits.
[[nodiscard]] std::string to_hex(const Bits& bits);

} // namespace orv::svf
