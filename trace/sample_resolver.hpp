// Holds a host-side trace's changes back until the levels it sampled have
// come back from the adapter.
//
// A LineTrace of a real adapter's stream knows an input's level only where
// the adapter sampled it, and only once the read-back byte holding that
// sample has been read from endpoint 0x81. From the first such sample on,
// every change waits here in time order; read_back() takes the bytes as they
// arrive (counted from the first byte the adapter stored since the trace
// began: the FIFO's own numbering) and passes on everything up to the first
// sample whose byte has not arrived. Bounded: past MAX_PENDING waiting
// changes the oldest samples are given up as unknown, and finish() gives up
// the rest.
#pragma once

#include <cstdint>
#include <deque>
#include <span>

#include "sim/adapter/line_trace.hpp"

namespace orv::emu {

class SampleResolver final : public LineSink {
public:
    static constexpr std::size_t MAX_PENDING = std::size_t{1} << 20;

    explicit SampleResolver(LineSink& out) noexcept : out_(out) {}

    void change(std::uint64_t tick, Line line, Level level) override;
    void sampled(std::uint64_t tick, Line line, ReadbackSlot slot) override;

    // The next read-back bytes the host received, in order.
    void read_back(std::span<const std::uint8_t> bytes);
    // Passes on everything still waiting; samples not read back are unknown.
    void finish();

    [[nodiscard]] std::size_t pending() const noexcept { return queue_.size(); }
    // Read-back bytes received so far.
    [[nodiscard]] std::uint64_t bytes_read() const noexcept { return next_byte_; }

private:
    struct Waiting {
        std::uint64_t tick;
        std::uint64_t byte; // sampled: the read-back byte that holds the level
        Line line;
        Level level;
        std::uint8_t bit;
        bool sampled;
    };
    // Passes on the waiting changes in front, resolving samples from `bytes`
    // (the read-back bytes next_byte_ onwards); stops at the first sample
    // they do not hold, unless `give_up`.
    void release(std::span<const std::uint8_t> bytes, bool give_up, std::size_t keep);

    LineSink& out_;
    std::deque<Waiting> queue_;
    std::uint64_t next_byte_ = 0;
};

} // namespace orv::emu
