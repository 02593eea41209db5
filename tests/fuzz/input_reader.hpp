// The fuzz input, read front to back as bytes and little-endian numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orv::fuzz {

// Reads the fuzz input front to back; past its end every read gives 0.
class InputReader {
public:
    explicit InputReader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t byte()
    {
        if (position_ >= data_.size()) {
            return 0;
        }
        return data_[position_++];
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32()
    {
        return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16);
    }
    [[nodiscard]] bool empty() const { return position_ >= data_.size(); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

} // namespace orv::fuzz
