#include "sim/adapter/readback_fifo.hpp"

#include <algorithm>

namespace orv::emu {

unsigned ReadbackFifo::free_position(BitOrder order) const noexcept
{
    // Next free position counted from the order's own end of the byte.
    unsigned position = 0;
    if (order == BitOrder::lsb_first) {
        while (position < 8 && ((pending_used_ >> position) & 1) != 0) {
            ++position;
        }
    } else {
        position = 7;
        while (position > 0 && ((pending_used_ >> position) & 1) != 0) {
            --position;
        }
    }
    return position;
}

ReadbackSlot ReadbackFifo::next_slot(BitOrder order) const noexcept
{
    return {stored_, static_cast<std::uint8_t>(free_position(order))};
}

bool ReadbackFifo::push_sample(bool bit, BitOrder order)
{
    const unsigned position = free_position(order);
    pending_used_ = static_cast<std::uint8_t>(pending_used_ | (1U << position));
    if (bit) {
        pending_ = static_cast<std::uint8_t>(pending_ | (1U << position));
    }
    ++pending_count_;
    if (pending_count_ < 8) {
        return true;
    }
    return flush();
}

bool ReadbackFifo::flush()
{
    if (pending_count_ == 0) {
        return true;
    }
    const bool stored = push_byte(pending_);
    pending_ = 0;
    pending_used_ = 0;
    pending_count_ = 0;
    return stored;
}

bool ReadbackFifo::push_byte(std::uint8_t value)
{
    if (bytes_.size() >= capacity_) {
        return false;
    }
    bytes_.push_back(value);
    ++stored_;
    added_ = true;
    return true;
}

void ReadbackFifo::buffer_done() noexcept
{
    if (added_) {
        polls_left_ = latency_polls_;
        added_ = false;
    }
}

std::uint32_t ReadbackFifo::poll_count() noexcept
{
    const std::size_t real = bytes_.size();
    shown_ = std::min(shown_, real);
    if (polls_left_ > 1) {
        shown_ += (real - shown_) / polls_left_;
        --polls_left_;
    } else {
        shown_ = real;
        polls_left_ = 0;
    }
    return static_cast<std::uint32_t>(std::min<std::size_t>(shown_, 0xFFFFFFFFU));
}

std::size_t ReadbackFifo::pop(std::span<std::uint8_t> out)
{
    const std::size_t n = std::min(out.size(), bytes_.size());
    std::copy_n(bytes_.begin(), n, out.begin());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    shown_ = shown_ > n ? shown_ - n : 0;
    return n;
}

} // namespace orv::emu
