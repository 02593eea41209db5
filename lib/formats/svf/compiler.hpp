// From statements to clocks: each statement becomes the TCK clocks (TMS, TDI,
// and whether TDO is wanted) that do it on the TAP chain, handed to a Target
// (the player on an adapter, or the dry run that only counts) as runs: a scan
// of a million bits is a few runs whose TDI is the statement's own value.
//
// Paths between states come from the TAP tables of the JTAG library:
//   - playback starts with five TMS-high clocks (Test-Logic-Reset from any
//     state), as the parser assumes, sent with the first clocks (after any
//     TRST and FREQUENCY that come first);
//   - scans go the shortest way to Shift-IR/Shift-DR (from a Pause state
//     through Exit2, so a scan split with ENDDR DRPAUSE resumes without a new
//     capture), shift header, body and trailer with TMS high on the last bit,
//     then go the shortest way from Exit1 to the ENDIR/ENDDR state (or the
//     scan's own end state; one that ends in Shift-DR keeps TMS low on its
//     last bit and stays there);
//   - STATE without a path: to RESET by five TMS-high clocks from anywhere;
//     from a Pause state to the same Pause state through Update and Capture;
//     otherwise the shortest way. With a path: one clock per step (a RESET
//     step that does not follow in one clock: five TMS-high clocks);
//   - RUNTEST: the shortest way to the run state, the clocks there (TMS low in
//     IDLE, DRPAUSE and IRPAUSE; high in RESET), the shortest way to the end
//     state.
//
// A scan may be repeated while its TDO differs (XSVF's XREPEAT): the target
// runs everything up to it and judges its check before anything after it is
// handed over; on a failure with a wait after the scan the TAP goes from
// Exit1-DR through Pause-DR and Exit2-DR back to Shift-DR, then to
// Run-Test/Idle, waits a quarter longer than before and shifts again (without
// a wait: through the end state), as XSVF's reference player does.
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
// - 1 of one scan as shifted (header bits first, then the statement's, then
// the trailer's), compared under the mask. Header and trailer take part only
// with a TDO of their own; without one their mask is 0.
struct TdoCheck {
    Origin statement;
    Register reg = Register::dr;
    Pattern header;
    Pattern body;
    Pattern trailer;
    std::uint64_t first_bit = 0;
    std::uint64_t bits = 0;
    // A failure is told through Target::passed(), and the scan repeated,
    // rather than stopping playback.
    bool repeatable = false;

    [[nodiscard]] std::uint64_t length() const noexcept
    {
        return std::uint64_t{header.length} + body.length + trailer.length;
    }
    // The expected levels and the bits that count, at scan bits [bit, bit +
    // count) (count 1..64), bit `bit` in bit 0.
    [[nodiscard]] std::uint64_t expected(std::uint64_t bit, unsigned count = 1) const noexcept;
    [[nodiscard]] std::uint64_t cares(std::uint64_t bit, unsigned count = 1) const noexcept;
};

// What a compiled program drives. Runs arrive in order; a sampled clock's
// level belongs to the oldest check not yet given all its levels (only
// checked scans sample).
class Target {
public:
    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    Target(Target&&) = delete;
    Target& operator=(Target&&) = delete;
    virtual ~Target() = default;
    // The statement whose clocks come next.
    virtual void begin(const Origin& statement) = 0;
    // Clocks; the bits of their TDI stay valid only during the call.
    virtual void runs(std::span<const engine::Run> runs) = 0;
    // Announced before the clocks of its scan.
    virtual void expect(const TdoCheck& check) = 0;
    // `count` clocks with TMS at `tms` and TDI low, in a state they leave the
    // TAP in; then, when `wait` is above 0, at least that many seconds in it
    // before anything else is clocked. `tck_hz` is the clock they run at.
    // With `count` 0 the wait is on the host alone.
    virtual void run(bool tms, std::uint64_t count, double wait, std::uint32_t tck_hz) = 0;
    virtual void set_tck(const ClockChoice& setting) = 0;
    virtual void trst(TrstMode mode) = 0;
    // Everything of the statement begun has been handed over.
    virtual void statement_done() = 0;
    // Runs everything handed over and judges the last check, a repeatable
    // one: whether it passed. A target that does not read the chain says yes.
    [[nodiscard]] virtual bool passed() = 0;
    // True once the target cannot go on (a failed check or transfer, a stop).
    [[nodiscard]] virtual bool stopped() const = 0;
};

// A FREQUENCY that asked for less than the slowest clock.
struct RaisedFrequency {
    Origin statement;
    double hz = 0;
};

// What the statements ask of the chain, counted while compiling.
struct CompileCounts {
    std::uint64_t statements = 0;
    std::uint64_t scan_bits = 0; // bits shifted by scans with their headers and trailers
    std::uint64_t checks = 0;    // scans with TDO
    // FREQUENCY statements asking for less than the slowest clock, which ran
    // instead (RUNTEST times are counted at it), and the first of them.
    std::uint64_t frequencies_raised = 0;
    std::optional<RaisedFrequency> first_raised;
};

// Compiles `program` into `target` until it ends or the target stops.
// `tck` is the clock the target starts with and returns to on FREQUENCY
// without a value.
CompileCounts compile(const Program& program, Target& target, const ClockChoice& tck);

// How long a program keeps the chain busy: its clocks at the TCK each runs
// at, and the host waits beyond them (USB transfers not counted; repeated
// scans as if each passed the first time). Made from the statements without
// making their clocks, so it is cheap for any file: a scan of a million bits
// is one addition.
struct TimeEstimate {
    std::uint64_t clocks = 0;
    double clock_seconds = 0;
    double wait_seconds = 0;
    [[nodiscard]] double seconds() const noexcept { return clock_seconds + wait_seconds; }
};

// Tallies the estimate statement by statement, as they are read.
class TimeTally {
public:
    explicit TimeTally(const ClockChoice& tck);
    TimeTally(const TimeTally&) = delete;
    TimeTally& operator=(const TimeTally&) = delete;
    TimeTally(TimeTally&&) = delete;
    TimeTally& operator=(TimeTally&&) = delete;
    ~TimeTally();
    void add(const Statement& statement);
    [[nodiscard]] const TimeEstimate& estimate() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

[[nodiscard]] TimeEstimate estimate_time(const Program& program, const ClockChoice& tck);

} // namespace orv::svf
