// The dry run: the player's flush points and the engine's planner, without an
// adapter. Mirrors player.cpp step for step, so that the counts it reports are
// what playing sends (the tests compare the two).
#include <algorithm>
#include <vector>

#include "player.hpp"

namespace orv::svf {

namespace {

using Clock = engine::Clock;

class Counter final : public Target {
public:
    explicit Counter(const PlayerOptions& options) : options_(options) {}

    DryRunResult run(const Program& program)
    {
        wire_.out_transfers += 2; // TCK and the pins
        DryRunResult result;
        result.compiled = compile(program, *this, tck_for_khz(options_.tck_khz));
        flush();
        result.wire = wire_;
        return result;
    }

    void clocks(std::span<const Clock> clocks) override
    {
        while (!clocks.empty()) {
            const auto now = clocks.first(std::min(FLUSH_AT_CLOCKS - pending_.size(), clocks.size()));
            pending_.insert(pending_.end(), now.begin(), now.end());
            clocks = clocks.subspan(now.size());
            if (pending_.size() >= FLUSH_AT_CLOCKS) {
                flush();
            }
        }
    }

    void expect(const TdoCheck&) override {}

    void run(bool tms, std::uint64_t count, double wait, std::uint32_t) override
    {
        if (wait <= 0) {
            clock_run(tms, count);
            return;
        }
        flush();
        clock_run(tms, count - 1);
        queue(Clock{tms, false, true});
        flush();
        ++wire_.host_waits;
        wire_.wait_seconds += wait;
    }

    void set_tck(const ClockChoice&) override
    {
        flush();
        ++wire_.out_transfers;
    }

    void trst(TrstMode) override
    {
        flush();
        ++wire_.out_transfers;
        wire_.stream_bytes += SET_IO_LENGTH;
        tms_low_ = false;
    }

    void statement_done(std::size_t) override {}
    [[nodiscard]] bool stopped() const override { return false; }

private:
    void queue(const Clock& c)
    {
        pending_.push_back(c);
        if (pending_.size() >= FLUSH_AT_CLOCKS) {
            flush();
        }
    }

    void clock_run(bool tms, std::uint64_t count)
    {
        if (tms || count <= RAW_RUN_FROM) {
            for (std::uint64_t k = 0; k < count; ++k) {
                queue(Clock{tms, false, false});
            }
            return;
        }
        queue(Clock{false, false, false});
        flush();
        const std::uint64_t rest = count - 1;
        wire_.clocks += rest;
        ++wire_.out_transfers;
        wire_.stream_bytes += (rest + engine::MAX_IDLE_CLOCKS - 1) / engine::MAX_IDLE_CLOCKS * CLOCKS_LENGTH;
    }

    void flush()
    {
        if (pending_.empty()) {
            return;
        }
        const engine::Plan plan = engine::plan_sequence(pending_, tms_low_, options_.max_readback);
        for (const engine::Batch& batch : plan.batches) {
            ++wire_.out_transfers;
            wire_.stream_bytes += batch.stream.size();
            if (batch.readback_bytes != 0) {
                ++wire_.exchanges;
                wire_.readback_bytes += batch.readback_bytes;
            }
        }
        wire_.clocks += pending_.size();
        tms_low_ = plan.tms_low_after;
        pending_.clear();
    }

    PlayerOptions options_;
    std::vector<Clock> pending_;
    bool tms_low_ = false;
    WireCounts wire_;
};

} // namespace

DryRunResult dry_run(const Program& program, const PlayerOptions& options)
{
    PlayerOptions clamped = options;
    clamped.tck_khz = std::clamp<std::uint32_t>(options.tck_khz, 1, CLOCK_BASE_KHZ);
    clamped.max_readback = std::clamp<std::size_t>(options.max_readback, 1, MAX_READBACK_BOUND);
    return Counter(clamped).run(program);
}

} // namespace orv::svf
