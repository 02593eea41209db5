// Bit strings as JTAG shifts carry them: bit i is bit (i mod 8) of byte
// (i div 8), bit 0 shifted first. A view reads one without copying it, 64
// bits at a time; past its stored bytes a string reads as its fill level, so
// that a long run of zeros (or ones) needs no storage. A buffer collects bits
// at any bit position.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace orv {

namespace detail {

// Up to eight bytes, the first in the low bits.
[[nodiscard]] inline std::uint64_t load_le(const std::uint8_t* bytes, std::size_t count) noexcept
{
    std::uint64_t word = 0;
    if (count >= 8 && std::endian::native == std::endian::little) {
        std::memcpy(&word, bytes, 8);
        return word;
    }
    count = std::min<std::size_t>(count, 8);
    for (std::size_t i = 0; i < count; ++i) {
        word |= std::uint64_t{bytes[i]} << (8 * i);
    }
    return word;
}

[[nodiscard]] constexpr std::uint64_t low_mask(unsigned bits) noexcept
{
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

} // namespace detail

class BitView {
public:
    BitView() = default;
    // Bit i is bit (offset + i) of `bytes`; every bit past them is `fill`.
    BitView(std::span<const std::uint8_t> bytes, std::uint64_t offset, bool fill) noexcept
        : bytes_(bytes), offset_(offset), fill_(fill)
    {
    }

    // The bits [i, i + count) (count 1..64), bit i in bit 0.
    [[nodiscard]] std::uint64_t word(std::uint64_t i, unsigned count = 64) const noexcept
    {
        const std::uint64_t at = offset_ + i;
        const std::uint64_t stored = 8 * std::uint64_t{bytes_.size()};
        std::uint64_t word = 0;
        if (at < stored) {
            const auto byte = static_cast<std::size_t>(at / 8);
            const auto shift = static_cast<unsigned>(at % 8);
            word = detail::load_le(bytes_.data() + byte, bytes_.size() - byte) >> shift;
            if (shift != 0 && byte + 8 < bytes_.size()) {
                word |= std::uint64_t{bytes_[byte + 8]} << (64 - shift);
            }
            const std::uint64_t have = stored - at;
            if (have < 64 && fill_) {
                word |= ~std::uint64_t{0} << have;
            }
        } else if (fill_) {
            word = ~std::uint64_t{0};
        }
        return word & detail::low_mask(count);
    }
    [[nodiscard]] bool operator[](std::uint64_t i) const noexcept { return (word(i, 1) & 1U) != 0; }
    // The view from bit i on.
    [[nodiscard]] BitView from(std::uint64_t i) const noexcept { return BitView{bytes_, offset_ + i, fill_}; }
    // Bits of the view that its bytes hold (from bit 0); the rest are `fill`.
    [[nodiscard]] std::uint64_t stored_bits() const noexcept
    {
        const std::uint64_t stored = 8 * std::uint64_t{bytes_.size()};
        return stored > offset_ ? stored - offset_ : 0;
    }
    // Every bit at the fill level, none stored.
    [[nodiscard]] bool constant() const noexcept { return stored_bits() == 0; }
    [[nodiscard]] bool fill() const noexcept { return fill_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t offset_ = 0;
    bool fill_ = false;
};

// A growing bit string, written at its end.
class BitBuffer {
public:
    [[nodiscard]] std::uint64_t size() const noexcept { return bits_; }
    [[nodiscard]] BitView view() const noexcept { return BitView{bytes(), 0, false}; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept
    {
        return std::span(bytes_).first(static_cast<std::size_t>((bits_ + 7) / 8));
    }
    void clear() noexcept
    {
        bytes_.clear();
        bits_ = 0;
    }
    void push_back(bool bit)
    {
        if (bits_ % 8 == 0) {
            bytes_.push_back(0);
        }
        if (bit) {
            bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | 1U << (bits_ % 8));
        }
        ++bits_;
    }
    // Appends `count` bits of `from`.
    void append(const BitView& from, std::uint64_t count)
    {
        reserve_for(count);
        for (std::uint64_t k = 0; k < count; k += 64) {
            const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, count - k));
            put(from.word(k, n), n);
        }
        bytes_.resize(static_cast<std::size_t>((bits_ + 7) / 8));
    }
    // Appends the low `count` (1..64) bits of `word`.
    void append_word(std::uint64_t word, unsigned count)
    {
        reserve_for(count);
        put(word & detail::low_mask(count), count);
        bytes_.resize(static_cast<std::size_t>((bits_ + 7) / 8));
    }

private:
    // Room for `count` more bits and a word of slack, zeroed.
    void reserve_for(std::uint64_t count)
    {
        bytes_.resize(static_cast<std::size_t>((bits_ + count + 7) / 8 + 9), 0);
    }
    // Writes a word at the end; the bytes from there on are zero.
    void put(std::uint64_t word, unsigned count) noexcept
    {
        const auto byte = static_cast<std::size_t>(bits_ / 8);
        const auto shift = static_cast<unsigned>(bits_ % 8);
        const std::uint64_t low = word << shift;
        for (unsigned b = 0; b < 8; ++b) {
            bytes_[byte + b] = static_cast<std::uint8_t>(bytes_[byte + b] | (low >> (8 * b) & 0xFFU));
        }
        if (shift != 0) {
            bytes_[byte + 8] = static_cast<std::uint8_t>(bytes_[byte + 8] | (word >> (64 - shift) & 0xFFU));
        }
        bits_ += count;
    }

    std::vector<std::uint8_t> bytes_;
    std::uint64_t bits_ = 0;
};

} // namespace orv
