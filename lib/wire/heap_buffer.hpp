// A per-call heap buffer, sized once and freed on every return path, and the
// overflow-checked size arithmetic that sizes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>

namespace orv {

class HeapBuffer {
public:
    HeapBuffer() noexcept = default;
    // A zero-byte buffer is a valid, empty buffer, not an allocation failure.
    [[nodiscard]] static HeapBuffer allocate(std::size_t size) noexcept
    {
        HeapBuffer buffer;
        buffer.data_ = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
        buffer.size_ = buffer.data_ != nullptr ? size : 0;
        return buffer;
    }
    HeapBuffer(HeapBuffer&& other) noexcept : data_(other.data_), size_(other.size_)
    {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    HeapBuffer& operator=(HeapBuffer&& other) noexcept
    {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
    ~HeapBuffer() { std::free(data_); }

    [[nodiscard]] bool ok() const noexcept { return data_ != nullptr; }
    [[nodiscard]] std::uint8_t* data() noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::span<std::uint8_t> span() noexcept { return {data_, size_}; }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

[[nodiscard]] constexpr std::optional<std::size_t> checked_add(std::size_t a, std::size_t b) noexcept
{
    if (a > std::numeric_limits<std::size_t>::max() - b) {
        return std::nullopt;
    }
    return a + b;
}

[[nodiscard]] constexpr std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b) noexcept
{
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) {
        return std::nullopt;
    }
    return a * b;
}

// ceil(bits / 8) for a non-negative bit count.
[[nodiscard]] constexpr std::size_t bytes_for_bits(std::uint64_t bits) noexcept
{
    return static_cast<std::size_t>(bits / 8 + (bits % 8 != 0 ? 1 : 0));
}

} // namespace orv
