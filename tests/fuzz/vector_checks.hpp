// What must hold for any SVF or XSVF file the readers accept: compiled into
// a target that follows the TAP clock by clock (a run of one TMS level a few
// steps, as its state settles), every sampled clock falls in Shift-IR or
// Shift-DR, the levels sampled are the checks' compared bits, the estimate
// counts the clocks compiled, and, for files of modest length, the dry run
// clocks what the estimate counts (the planner has fuzz-free tests of its
// own: a file of many clocks is not planned here). A failed check is the fuzzer's finding
// (abort).
#pragma once

#include <cstdint>
#include <cstdlib>

#include "lib/formats/svf/compiler.hpp"
#include "lib/formats/svf/player.hpp"
#include "lib/wire/tap_state.hpp"

namespace orv::fuzz {

inline void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

class CheckingTarget final : public svf::Target {
public:
    // `stable_ends`: every statement leaves the TAP in a stable state (SVF).
    explicit CheckingTarget(bool stable_ends) : stable_ends_(stable_ends) {}

    void begin(const svf::Origin& statement) override { require(statement.index >= last_index_); }
    void runs(std::span<const engine::Run> runs) override
    {
        for (const engine::Run& r : runs) {
            require(r.clocks != 0);
            step(r.tms, r.clocks, r.sample);
        }
    }
    void expect(const svf::TdoCheck& c) override
    {
        require(c.bits == 0 || c.first_bit + c.bits <= c.length());
        expected_samples_ += c.bits;
    }
    void run(bool tms, std::uint64_t count, double wait, std::uint32_t tck_hz) override
    {
        require(wait >= 0 && tck_hz != 0);
        step(tms, count, false);
    }
    void set_tck(const ClockChoice& setting) override { require(setting.actual_hz != 0); }
    void trst(svf::TrstMode) override {}
    void statement_done() override { require(!stable_ends_ || svf::is_stable(state_)); }
    // Alternately no and yes, so that repeats are taken.
    [[nodiscard]] bool passed() override { return (++verdicts_ & 1U) == 0; }
    [[nodiscard]] bool stopped() const override { return false; }

    [[nodiscard]] std::uint64_t clocks() const noexcept { return clocks_; }
    [[nodiscard]] std::uint64_t samples() const noexcept { return samples_; }
    [[nodiscard]] std::uint64_t expected_samples() const noexcept { return expected_samples_; }

private:
    void step(bool tms, std::uint64_t count, bool sample)
    {
        clocks_ += count;
        if (sample) {
            samples_ += count;
        }
        // A run of one TMS level settles within a few clocks.
        for (std::uint64_t k = 0; k < std::min<std::uint64_t>(count, 8); ++k) {
            require(!sample || state_ == svf::STATE_DRSHIFT || state_ == svf::STATE_IRSHIFT);
            state_ = jtag::next_state(state_, tms);
        }
    }

    bool stable_ends_;
    svf::TapState state_ = svf::STATE_RESET;
    std::uint64_t last_index_ = 0;
    std::uint64_t clocks_ = 0;
    std::uint64_t samples_ = 0;
    std::uint64_t expected_samples_ = 0;
    unsigned verdicts_ = 0;
};

// The checks for a program that was read.
inline void check_program(const svf::Program& program, bool stable_ends)
{
    const ClockChoice tck = svf::tck_for_khz(1000);
    CheckingTarget target(stable_ends);
    const svf::CompileCounts counts = svf::compile(program, target, tck);
    require(counts.statements == program.statements());
    require(target.samples() == target.expected_samples());
    const svf::TimeEstimate estimate = svf::estimate_time(program, tck);
    // Repeats add clocks the estimate leaves out.
    require(estimate.clocks <= target.clocks());
    if (estimate.clocks <= (std::uint64_t{1} << 16)) {
        const svf::DryRunResult dry = svf::dry_run(program, svf::PlayerOptions{});
        require(dry.wire.clocks == estimate.clocks);
        require(dry.wire.readback_bytes <= dry.wire.exchanges * svf::PlayerOptions{}.max_readback);
    }
}

} // namespace orv::fuzz
