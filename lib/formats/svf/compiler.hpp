// From statements to clocks: each statement becomes the TCK clocks (TMS, TDI,
// and whether TDO is wanted) that do it on the TAP chain, handed to a Target
// (the player on an adapter, or the dry run that only counts).
//
// Paths between states come from the TAP tables of the JTAG library:
//   - playback starts with five TMS-high clocks (Test-Logic-Reset from any
//     state), as the parser assumes, sent with the first clocks (after any
//     TRST and FREQUENCY that come first);
//   - SIR/SDR go the shortest way to Shift-IR/Shift-DR (from a Pause state
//     through Exit2, so a scan split with ENDDR DRPAUSE resumes without a new
//     capture), shift header, body and trailer with TMS high on the last bit,
//     then go the shortest way from Exit1 to the ENDIR/ENDDR state;
//   - STATE without a path: to RESET by five TMS-high clocks from anywhere;
//     from a Pause state to the same Pause state through Update and Capture;
//     otherwise the shortest way. With a path: one clock per step (a RESET
//     step that does not follow in one clock: five TMS-high clocks);
//   - RUNTEST: the shortest way to the run state, the clocks there (TMS low in
//     IDLE, DRPAUSE and IRPAUSE; high in RESET), the shortest way to the end
//     state.
//
// RUNTEST timing. The adapter has no system clock: SCK counts are clocked as
// TCK. A minimum time becomes ceil(time x TCK) clocks when that fits within
// LONGEST_CLOCKED_WAIT of adapter time (and, in RESET, where TMS-high clocks
// cost a command byte each, within MAX_RESET_RUN clocks); a longer wait
// becomes the run count's clocks (at least one) followed by a wait on the
// host, before which the player sends everything queued. A run count in RESET
// above MAX_RESET_RUN is clocked up to it, and the rest of its time waited on
// the host: the TAP does nothing in Test-Logic-Reset but stay there.
//
// FREQUENCY sets TCK to the fastest adapter clock not above it (the slowest
// the adapter has when it asks for less); FREQUENCY without a value returns
// to the player's own rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "lib/formats/svf/program.hpp"
#include "lib/wire/clock_rule.hpp"
#include "lib/wire/jtag_sequence.hpp"

namespace orv::svf {

inline constexpr unsigned RESET_CLOCKS = 5;
inline constexpr double LONGEST_CLOCKED_WAIT = 0.1; // seconds
inline constexpr std::uint64_t MAX_RESET_RUN = 7 * 4096;

// A TDO check: the levels sampled at scan bits first_bit .. first_bit + bits
// - 1 of one SIR/SDR as shifted (header bits first, then the statement's,
// then the trailer's), compared under the mask. Header and trailer take part
// only with a TDO of their own; without one their mask is 0.
struct TdoCheck {
    std::size_t statement = 0;
    const Pattern* header = nullptr;
    const Pattern* body = nullptr;
    const Pattern* trailer = nullptr;
    std::uint32_t first_bit = 0;
    std::uint32_t bits = 0;

    [[nodiscard]] std::uint32_t length() const noexcept
    {
        return header->length + body->length + trailer->length;
    }
    // The expected level and whether it counts, at a bit of the whole scan.
    [[nodiscard]] bool expected(std::uint32_t bit) const noexcept;
    [[nodiscard]] bool cares(std::uint32_t bit) const noexcept;
};

// What a compiled program drives. Clocks arrive in order; a sampled clock's
// level belongs to the oldest check not yet given all its levels (only
// checked scans sample).
class Target {
public:
    virtual ~Target() = default;
    virtual void clocks(std::span<const engine::Clock> clocks) = 0;
    // Announced before the clocks of its scan.
    virtual void expect(const TdoCheck& check) = 0;
    // `count` clocks with TMS at `tms` and TDI low, in a state they leave the
    // TAP in; then, when `wait` is above 0, at least that many seconds in it
    // before anything else is clocked. `tck_hz` is the clock they run at.
    virtual void run(bool tms, std::uint64_t count, double wait, std::uint32_t tck_hz) = 0;
    virtual void set_tck(const ClockChoice& setting) = 0;
    virtual void trst(TrstMode mode) = 0;
    // Everything of statement `index` has been handed over.
    virtual void statement_done(std::size_t index) = 0;
    // True once the target cannot go on (a failed check or transfer).
    [[nodiscard]] virtual bool stopped() const = 0;
};

// What the statements ask of the chain, counted while compiling.
struct CompileCounts {
    std::uint64_t statements = 0;
    std::uint64_t scan_bits = 0; // bits shifted by SIR/SDR with their headers and trailers
    std::uint64_t checks = 0;    // SIR/SDR with TDO
    // FREQUENCY statements asking for less than the slowest clock, which ran
    // instead (RUNTEST times are counted at it), and the first of them.
    std::uint64_t frequencies_raised = 0;
    std::optional<std::size_t> first_raised;
};

// Compiles `program` into `target` until it ends or the target stops.
// `tck` is the clock the target starts with and returns to on FREQUENCY
// without a value.
CompileCounts compile(const Program& program, Target& target, const ClockChoice& tck);

// How long a program keeps the chain busy: its clocks at the TCK each runs
// at, and the host waits beyond them (USB transfers not counted). Made from
// the statements without making their clocks, so it is cheap for any file: a
// scan of a million bits is one addition.
struct TimeEstimate {
    std::uint64_t clocks = 0;
    double clock_seconds = 0;
    double wait_seconds = 0;
    [[nodiscard]] double seconds() const noexcept { return clock_seconds + wait_seconds; }
};
[[nodiscard]] TimeEstimate estimate_time(const Program& program, const ClockChoice& tck);

} // namespace orv::svf
