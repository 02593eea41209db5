// The JTAG connector for clocks as a caller describes them, one by one: TMS
// and TDI per clock, TDO where it is wanted. The network bridges and SVF
// playback work this way; the JTAG sequence engine plans the clocks into the
// fewest commands, one OUT transfer and at most one read-back exchange per
// batch.
//
// The port is a lease: its set-up (TCK, pins) goes out before its first
// clocks and again whenever another lease, the caller's own work or a
// failure came in between. A changed TCK or pin level goes out at once while
// the adapter holds the port's set-up, else with the set-up. A set-up or pin
// command leaves TMS at the set-up's level, so the engine starts its next
// clocks from a TMS command then. Failures throw Failure with the bus code;
// the C functions around it empty the read-back after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lib/wire/clock_rule.hpp"
#include "lib/wire/jtag_sequence.hpp"

#include "lib/devices/session/lease.hpp"
#include "lib/devices/session/session.hpp"

namespace orv::dev {

// The TRST pin: driven low (the TAPs held in reset), driven high, or let go.
enum class Trst { on, off, z };

class JtagPort {
public:
    // Sends nothing.
    JtagPort(Session& session, const JtagSetup& setup, std::size_t max_readback) noexcept;
    JtagPort(const JtagPort&) = delete;
    JtagPort& operator=(const JtagPort&) = delete;

    [[nodiscard]] Session& session() const noexcept { return lease_.session(); }
    // The clock and pins the port runs with.
    [[nodiscard]] const JtagSetup& setup() const noexcept { return std::get<JtagSetup>(lease_.setup()); }

    // Makes the adapter the port's now: its set-up goes out unless the
    // adapter holds it already (a player sets up before its first clock).
    // True when it sent the set-up.
    bool claim();

    void queue(engine::Clock clock) { pending_.push_back(clock); }
    void queue(std::span<const engine::Clock> clocks)
    {
        pending_.insert(pending_.end(), clocks.begin(), clocks.end());
    }
    [[nodiscard]] std::size_t pending() const noexcept { return pending_.size(); }

    // Claims the adapter, then runs what is queued batch by batch and
    // appends the TDO level (0 or 1) of each sampled clock to `tdo` as its
    // batch comes back; `batch_done` as the engine takes it (false: stop
    // before the next batch). The queue is empty afterwards, whatever
    // happens; the levels of the batches that came back stay appended.
    void flush(std::vector<std::uint8_t>& tdo, const engine::JtagSequencer::BatchDone& batch_done = {});

    // `count` clocks with TMS and TDI low, in the JTAG count form, as one OUT
    // transfer of their own: a long wait in Run-Test/Idle or a pause state
    // costs no planning. Runs what is queued first (its TDO is not wanted).
    // When the TMS line is not known to be low, the first of them goes
    // through the engine, which makes it so.
    void idle_clocks(std::uint64_t count);

    // TCK from now on; what is queued runs at the new clock.
    void set_tck(const ClockChoice& clock);
    // The pins (tapwire_ioset), TRST among them.
    void set_pins(std::uint16_t direction, std::uint16_t level);
    // Only the TRST pin changes: one command for the low pin group.
    void set_trst(Trst trst);

    // The adapter made the port's for the caller's own work through the JTAG
    // library, which must leave the set-up as it is. The TMS level is not
    // known afterwards.
    void claim_for_caller();

    // What the port's clocks cost: flushes with clocks (the caller's waits),
    // clocks, OUT transfers and their bytes, read-back exchanges and their
    // bytes. Set-up and pin commands are not counted.
    [[nodiscard]] engine::SequenceStats stats() const noexcept;
    // OUT transfers of the port's set-ups and of its clock, pin and TRST
    // changes.
    [[nodiscard]] std::uint64_t control_transfers() const noexcept { return control_transfers_; }

private:
    void send(std::span<const std::uint8_t> stream, const char* doing);

    Lease lease_;
    engine::JtagSequencer sequencer_;
    std::vector<engine::Clock> pending_;
    bool tms_low_ = false; // the TMS line's level after the last clock run, as far as known
    engine::SequenceStats idle_{};
    std::uint64_t control_transfers_ = 0;
};

} // namespace orv::dev

// The C handle is the port, with room for the TDO levels of a call.
struct orvdev_jtag_port : orv::dev::JtagPort {
    using JtagPort::JtagPort;
    std::vector<std::uint8_t> levels;
};
