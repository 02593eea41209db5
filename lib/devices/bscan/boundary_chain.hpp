// The boundary registers of a scanned chain: which TAPs have a BSDL file,
// and every boundary-scan operation built as one clock sequence for the JTAG
// sequence engine, so that it goes out in one OUT transfer and one read-back
// exchange (or as few as the read-back bound allows). TAPs that take no part
// in an operation are in BYPASS during it, and TAPs held in EXTEST keep their
// instruction and their drive.
//
// Sequences start with Test-Logic-Reset (five clocks with TMS high) unless a
// device is held in EXTEST, which a reset would release; then they start in
// Run-Test/Idle, where every sequence that holds one ends. A failure, or
// another handle's use of the adapter in between, forgets the holds: the
// next sequence resets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/wire/jtag_sequence.hpp"

#include "lib/devices/bscan/boundary.hpp"
#include "lib/devices/chain/jtag_chain.hpp"

namespace orv::dev::bscan {

// A TAP of the chain: its instruction length and, when a BSDL file describes
// it, its boundary register.
struct TapLayout {
    unsigned ir_length = 0;
    std::shared_ptr<const Boundary> boundary;
};

// What a TAP does during one scan: its instruction and, for an instruction
// that selects the boundary register, what to shift into it (else it is in
// BYPASS: one bit).
struct TapRole {
    Bits opcode;
    std::optional<Bits> boundary;
};

// The clocks of a sequence of IR and DR scans, and which TDO bits it wants.
class ScanSequence {
public:
    // From an unknown state through Test-Logic-Reset, or from Run-Test/Idle.
    explicit ScanSequence(bool reset_first);
    void scan_ir(const std::vector<TapRole>& roles);
    // A DR scan; the boundary registers of the TAPs `sampled` marks are read.
    void scan_dr(const std::vector<TapRole>& roles, const std::vector<bool>& sampled);
    // Test-Logic-Reset: every device back to its normal function.
    void reset();
    [[nodiscard]] const std::vector<engine::Clock>& clocks() const noexcept { return clocks_; }
    // Sampled bits per DR scan that samples, in order.
    [[nodiscard]] const std::vector<std::size_t>& sampled_lengths() const noexcept { return sampled_; }
    // The TAP state the sequence ends in.
    [[nodiscard]] std::int32_t state() const noexcept { return state_; }

private:
    void go(std::int32_t state);
    void shift(const Bits& bits, const std::vector<bool>& sample, std::int32_t exit_to);
    std::vector<engine::Clock> clocks_;
    std::int32_t state_;
    std::vector<std::size_t> sampled_;
};

// One setting of `jtag set`: a pin to 0, 1 or let go.
struct PinSetting {
    std::size_t pin = 0; // Boundary::pins() index
    std::optional<bool> level;
};

// A boundary register's capture read as pins.
struct Readout {
    Bits capture;
    std::vector<PinLevel> pins; // per Boundary::pins()
};

class BoundaryChain {
public:
    // Checks the layout against the chain (IR lengths, summed length); the
    // files' IDCODEs against the TAPs'. Throws Failure.
    BoundaryChain(chain::Jtag& jtag, const chain::Chain& scanned, std::vector<TapLayout> taps);

    [[nodiscard]] const std::vector<TapLayout>& taps() const noexcept { return taps_; }
    [[nodiscard]] const Boundary& boundary(std::size_t tap) const; // throws Failure for a TAP without one
    [[nodiscard]] chain::Jtag& jtag() const noexcept { return jtag_; }
    [[nodiscard]] bool held(std::size_t tap) const { return holds_.at(tap).has_value(); }

    // SAMPLE: one IR scan and one DR scan.
    Readout sample(std::size_t tap);
    // PRELOAD with the settings over the safe values (over what is held, when
    // the TAP is held), EXTEST, and a DR scan that reads the pins as driven.
    // Without `hold` the device returns to its normal function at the end:
    // Test-Logic-Reset, or BYPASS while other devices stay held.
    Readout drive(std::size_t tap, const std::vector<PinSetting>& settings, bool hold);
    // Test-Logic-Reset: every device back to its normal function.
    void release();

    // The roles of a scan: BYPASS for every TAP, held TAPs in EXTEST with
    // their drive.
    [[nodiscard]] std::vector<TapRole> bypass_roles() const;
    // The opcode of an instruction of a TAP's file; throws Failure when the
    // file names none.
    [[nodiscard]] Bits opcode(std::size_t tap, const char* instruction) const;

    // Runs a sequence; returns the sampled bits of each sampling DR scan, per
    // sampled TAP in chain order. `batch_done` hears the levels collected
    // after each exchange (false: stop; the sequence then ends with a reset
    // and Failure(ORVDEV_ERROR_STOPPED) is thrown). Statistics of the run in
    // stats().
    std::vector<Bits> run(ScanSequence& sequence, const std::string& doing,
                          const engine::JtagSequencer::BatchDone& batch_done = {});
    // Whether the next sequence must start with a reset.
    [[nodiscard]] bool needs_reset() const;
    [[nodiscard]] const engine::SequenceStats& stats() const noexcept { return stats_; }
    // After an operation that reset the chain (or failed): nothing is held.
    void forget_holds();

private:
    chain::Jtag& jtag_;
    std::vector<TapLayout> taps_;
    std::vector<std::optional<Bits>> holds_;
    bool in_idle_ = false; // the last sequence ended in Run-Test/Idle
    engine::SequenceStats stats_;
};

} // namespace orv::dev::bscan
