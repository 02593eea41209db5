// A bit string as SVF and XSVF scans carry it: bit 0 is shifted first (the
// rightmost hex digit of an SVF value holds bits 3..0), stored LSB first in
// bytes. Only the bytes up to the last one that differs from the fill level
// are stored: the zero-extended value of "SDR 100000000 TDI (0);" and an
// all-ones mask cost nothing, however long.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/wire/bit_view.hpp"

namespace orv::svf {

class Bits {
public:
    Bits() = default;
    // `length` bits, all zeros or all ones.
    explicit Bits(std::uint32_t length, bool ones = false) : length_(length), fill_(ones) {}
    // `length` bits from bytes LSB first, bit 0 in bit 0 of bytes[0]; bits
    // past the bytes are 0, bits at or above the length are left out.
    [[nodiscard]] static Bits from_bytes(std::span<const std::uint8_t> bytes, std::uint32_t length);

    [[nodiscard]] std::uint32_t size() const noexcept { return length_; }
    [[nodiscard]] bool operator[](std::uint32_t index) const noexcept { return view()[index]; }
    void set(std::uint32_t index, bool value);
    [[nodiscard]] bool any() const noexcept;
    // The bits [i, i + count) (count 1..64), bit i in bit 0; bits at or above
    // the length read 0.
    [[nodiscard]] std::uint64_t word(std::uint64_t i, unsigned count = 64) const noexcept;
    // The bits without copying them, for shifting; only the first size() count.
    [[nodiscard]] BitView view() const noexcept { return BitView{bytes_, 0, fill_}; }

    friend bool operator==(const Bits& a, const Bits& b) noexcept;

private:
    friend std::optional<Bits> bits_from_hex(std::string_view digits, std::uint32_t length);
    void trim();

    std::uint32_t length_ = 0;
    std::vector<std::uint8_t> bytes_; // bits at or above length_ are 0
    bool fill_ = false;               // every bit from 8 * bytes_.size() to length_
};

// A value from the file: hex digits only (the lexer has dropped blanks and
// checked the digits), the last digit holding bits 3..0. Fewer digits than the
// length are zero-extended; leading zero digits beyond it are fine. Empty when
// a set bit lies at or above `length`.
[[nodiscard]] std::optional<Bits> bits_from_hex(std::string_view digits, std::uint32_t length);

// ceil(length / 4) lower-case hex digits, most significant first; "" for 0 bits.
[[nodiscard]] std::string to_hex(const Bits& bits);

} // namespace orv::svf
