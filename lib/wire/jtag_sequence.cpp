#include "lib/wire/jtag_sequence.hpp"

#include "lib/wire/readback_policy.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/transport.hpp"

namespace orv::engine {

// ---- the queue --------------------------------------------------------------

void ClockQueue::push(const Clock& clock)
{
    if (segments_.empty() || !segments_.back().stored || segments_.back().tms != clock.tms ||
        segments_.back().sample != clock.sample) {
        segments_.push_back(Segment{0, clock.tms, clock.sample, true, false, bits_.size()});
    }
    bits_.push_back(clock.tdi);
    ++segments_.back().clocks;
    ++clocks_;
}

void ClockQueue::push_constant(std::uint64_t clocks, bool tms, bool sample, bool level)
{
    if (!segments_.empty() && !segments_.back().stored && segments_.back().tms == tms &&
        segments_.back().sample == sample && segments_.back().level == level) {
        segments_.back().clocks += clocks;
    } else {
        segments_.push_back(Segment{clocks, tms, sample, false, level, 0});
    }
    clocks_ += clocks;
}

void ClockQueue::push(const Run& run)
{
    const std::uint64_t stored = std::min(run.clocks, run.tdi.stored_bits());
    if (stored != 0) {
        if (segments_.empty() || !segments_.back().stored || segments_.back().tms != run.tms ||
            segments_.back().sample != run.sample) {
            segments_.push_back(Segment{0, run.tms, run.sample, true, false, bits_.size()});
        }
        bits_.append(run.tdi, stored);
        segments_.back().clocks += stored;
        clocks_ += stored;
    }
    if (run.clocks > stored) {
        push_constant(run.clocks - stored, run.tms, run.sample, run.tdi.fill());
    }
}

void ClockQueue::clear() noexcept
{
    segments_.clear();
    bits_.clear();
    clocks_ = 0;
}

// ---- statistics -------------------------------------------------------------

SequenceStats& operator+=(SequenceStats& stats, const SequenceStats& more) noexcept
{
    stats.flushes += more.flushes;
    stats.clocks += more.clocks;
    stats.stream_bytes += more.stream_bytes;
    stats.out_transfers += more.out_transfers;
    stats.exchanges += more.exchanges;
    stats.readback_bytes += more.readback_bytes;
    return stats;
}

SequenceStats operator-(const SequenceStats& later, const SequenceStats& earlier) noexcept
{
    return SequenceStats{
        later.flushes - earlier.flushes,           later.clocks - earlier.clocks,
        later.stream_bytes - earlier.stream_bytes, later.out_transfers - earlier.out_transfers,
        later.exchanges - earlier.exchanges,       later.readback_bytes - earlier.readback_bytes};
}

// ---- the wire and the sequencer ---------------------------------------------

std::int32_t UsbWire::send(std::span<const std::uint8_t> stream)
{
    return orv::send(handle_, stream, timeout_);
}

std::int32_t UsbWire::read_back(std::span<std::uint8_t> bytes)
{
    return orv::read_back(handle_, bytes, timeout_, JTAG_READBACK);
}

std::int32_t JtagSequencer::flush(const BatchLevels& batch_levels, const StopCheck& stop)
{
    const Plan plan = plan_queue(pending_, tms_low_, max_readback_, stop);
    stats_.flushes += pending_.empty() || plan.stopped ? 0 : 1;
    stats_.clocks += plan.stopped ? 0 : pending_.clocks();
    pending_.clear();
    if (plan.stopped) {
        return RESULT_OK;
    }
    for (const Batch& batch : plan.batches) {
        std::int32_t rc = wire_->send(batch.stream);
        ++stats_.out_transfers;
        stats_.stream_bytes += batch.stream.size();
        if (rc == RESULT_OK && batch.readback_bytes != 0) {
            readback_.assign(batch.readback_bytes, 0);
            rc = wire_->read_back(readback_);
            ++stats_.exchanges;
            stats_.readback_bytes += batch.readback_bytes;
        }
        if (rc != RESULT_OK) {
            tms_low_ = false;
            return rc;
        }
        levels_.clear();
        const BitView readback{readback_, 0, false};
        for (const BitRange& r : batch.wanted) {
            levels_.append(readback.from(r.first), r.count);
        }
        if (batch_levels && !batch_levels(levels_.view(), levels_.size(), batch.clocks)) {
            tms_low_ = false; // the rest of the plan never ran
            return RESULT_OK;
        }
    }
    tms_low_ = plan.tms_low_after;
    return RESULT_OK;
}

std::int32_t JtagSequencer::flush(std::vector<std::uint8_t>& tdo, const BatchDone& batch_done)
{
    return flush([&](const BitView& levels, std::uint64_t count, std::uint64_t clocks) {
        for (std::uint64_t i = 0; i < count; ++i) {
            tdo.push_back(levels[i] ? 1 : 0);
        }
        return !batch_done || batch_done(tdo.size(), static_cast<std::size_t>(clocks));
    });
}

} // namespace orv::engine
