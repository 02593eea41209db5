// The adapter's read-back FIFO: sampled input bits packed into bytes, held
// until the host reads them on endpoint 0x81, and counted for the host's
// polls on endpoint 0x83.
//
// Packing: samples go in without gaps between commands and between buffers;
// only whole bytes are visible to the host. Each sample takes the next free
// bit position of the byte being filled, counted from its order's own end:
// LSB-first samples the lowest free position (the first sample of a byte
// lands in bit 0), MSB-first samples the highest (it lands in bit 7). So a
// byte filled in one order reads as that order's shift register, and a byte
// shared by both orders keeps every sample. flush() closes a partly filled
// byte (its free positions read 0) and adds nothing when no bit is pending.
//
// Capacity: at most `capacity` whole bytes are held; a byte that would
// exceed it is dropped (push_sample and flush say so).
//
// Latency: poll_count() does not show new bytes at once. Once a buffer that
// added bytes has run (buffer_done), the count shown grows over the next
// `latency_polls` polls (with 2: half of the new bytes on the first poll, all
// on the second); it never exceeds what the FIFO holds. 0 shows the true
// count at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

#include "sim/adapter/bit_order.hpp"

namespace orv::emu {

// Where a sample lands: the read-back byte it goes into, counted from the
// first byte the FIFO ever stored (the order the host reads them in), and
// its bit position there.
struct ReadbackSlot {
    std::uint64_t byte = 0;
    std::uint8_t bit = 0;
};

class ReadbackFifo {
public:
    ReadbackFifo(std::size_t capacity, unsigned latency_polls) noexcept
        : capacity_(capacity), latency_polls_(latency_polls)
    {
    }

    // One sampled bit. False when it completed a byte that did not fit.
    [[nodiscard]] bool push_sample(bool bit, BitOrder order);
    // Where the next sample in `order` will land (a trace follows each
    // sampled bit to the byte the host reads).
    [[nodiscard]] ReadbackSlot next_slot(BitOrder order) const noexcept;
    // Closes the byte being filled. False when it did not fit.
    [[nodiscard]] bool flush();
    // The host's command buffer has run: the bytes it added start to show.
    void buffer_done() noexcept;

    // The count shown to the host's poll (latency-limited).
    std::uint32_t poll_count() noexcept;
    // Pops up to out.size() bytes into out; returns how many.
    std::size_t pop(std::span<std::uint8_t> out);

    [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
    [[nodiscard]] unsigned pending_bits() const noexcept { return pending_count_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

private:
    [[nodiscard]] bool push_byte(std::uint8_t value);
    [[nodiscard]] unsigned free_position(BitOrder order) const noexcept;

    std::size_t capacity_;
    unsigned latency_polls_;
    std::deque<std::uint8_t> bytes_;
    std::uint8_t pending_ = 0;      // byte being filled
    std::uint8_t pending_used_ = 0; // bit positions taken in it
    unsigned pending_count_ = 0;
    std::uint64_t stored_ = 0; // bytes ever stored: the number the pending byte will get
    bool added_ = false;       // bytes arrived since the last buffer_done
    std::size_t shown_ = 0;    // count the host has been shown
    unsigned polls_left_ = 0;  // polls until the count is fully shown
};

} // namespace orv::emu
