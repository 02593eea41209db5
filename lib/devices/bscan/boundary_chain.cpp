#include "lib/devices/bscan/boundary_chain.hpp"

#include <algorithm>

#include "lib/wire/tap_state.hpp"
#include "lib/wire/value_text.hpp"
#include <orv_tapwire.h>

#include "lib/devices/session/failure.hpp"

namespace orv::dev::bscan {

namespace {

// Clocks with TMS high that bring a TAP to Test-Logic-Reset from any state.
constexpr unsigned RESET_CLOCKS = 5;

[[noreturn]] void mismatch(const std::string& message, const std::string& hint)
{
    throw Failure(ORVDEV_ERROR_BSDL_MISMATCH, message, hint);
}

std::string tap_name(std::size_t tap)
{
    return "TAP " + std::to_string(tap);
}

} // namespace

// ---- the clocks of a sequence ------------------------------------------------

ScanSequence::ScanSequence(bool reset_first) : state_(TPW_TAP_RUN_TEST_IDLE)
{
    if (reset_first) {
        reset();
    }
}

void ScanSequence::reset()
{
    for (unsigned k = 0; k < RESET_CLOCKS; ++k) {
        clocks_.push_back(engine::Clock{true, false, false});
    }
    state_ = TPW_TAP_TEST_LOGIC_RESET;
}

void ScanSequence::go(std::int32_t state)
{
    const jtag::TmsPath path = jtag::tms_path(state_, state);
    for (unsigned k = 0; k < path.clocks; ++k) {
        clocks_.push_back(engine::Clock{(path.pattern >> k & 1U) != 0, false, false});
    }
    state_ = state;
}

// In Shift-IR or Shift-DR: one clock a bit, the last one with TMS high, which
// leaves for Exit1; then Update and Run-Test/Idle.
void ScanSequence::shift(const Bits& bits, const std::vector<bool>& sample, std::int32_t exit_to)
{
    for (std::size_t i = 0; i < bits.size(); ++i) {
        clocks_.push_back(engine::Clock{i + 1 == bits.size(), bits[i] != 0, sample[i]});
    }
    state_ = exit_to;
    go(TPW_TAP_RUN_TEST_IDLE);
}

void ScanSequence::scan_ir(const std::vector<TapRole>& roles)
{
    Bits bits;
    for (const TapRole& role : roles) {
        bits.insert(bits.end(), role.opcode.begin(), role.opcode.end());
    }
    go(TPW_TAP_SHIFT_IR);
    shift(bits, std::vector<bool>(bits.size(), false), TPW_TAP_EXIT1_IR);
}

void ScanSequence::scan_dr(const std::vector<TapRole>& roles, const std::vector<bool>& sampled)
{
    Bits bits;
    std::vector<bool> sample;
    for (std::size_t t = 0; t < roles.size(); ++t) {
        if (roles[t].boundary) {
            bits.insert(bits.end(), roles[t].boundary->begin(), roles[t].boundary->end());
        } else {
            bits.push_back(0); // BYPASS
        }
        sample.resize(bits.size(), roles[t].boundary && sampled[t]);
    }
    const auto wanted = static_cast<std::size_t>(std::count(sample.begin(), sample.end(), true));
    if (wanted != 0) {
        sampled_.push_back(wanted);
    }
    go(TPW_TAP_SHIFT_DR);
    shift(bits, sample, TPW_TAP_EXIT1_DR);
}

// ---- the chain ---------------------------------------------------------------

BoundaryChain::BoundaryChain(chain::Jtag& jtag, const chain::Chain& scanned, std::vector<TapLayout> taps)
    : jtag_(jtag), taps_(std::move(taps)), holds_(taps_.size())
{
    if (taps_.size() != scanned.devices.size()) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, "a BSDL file (or none) for each of the chain's " +
                                                         count_text(scanned.devices.size(), "TAP") +
                                                         ", got " + std::to_string(taps_.size()));
    }
    std::optional<std::size_t> unknown; // the one TAP whose length the others give
    unsigned known = 0;
    for (std::size_t t = 0; t < taps_.size(); ++t) {
        const chain::Device& device = scanned.devices[t];
        TapLayout& tap = taps_[t];
        if (tap.boundary) {
            const bsdl::Device& file = tap.boundary->device();
            if (device.ir_length && *device.ir_length != file.instruction_length) {
                mismatch(
                    tap_name(t) + " has an instruction register of " + count_text(*device.ir_length, "bit") +
                        ", its BSDL file (" + file.entity + ") says " +
                        std::to_string(file.instruction_length),
                    "give the file of the device at this position (orvtool jtag bsdl lists the matches)");
            }
            if (device.idcode && file.idcode && !file.idcode->matches(device.idcode->raw)) {
                mismatch(
                    tap_name(t) + " reads IDCODE " + hex(device.idcode->raw, 8) + ", its BSDL file (" +
                        file.entity + ") is for " + bsdl::pattern_text(*file.idcode),
                    "give the file of the device at this position (orvtool jtag bsdl lists the matches)");
            }
            tap.ir_length = file.instruction_length;
        } else if (device.ir_length) {
            tap.ir_length = *device.ir_length;
        } else if (!unknown) {
            unknown = t;
            continue;
        } else {
            mismatch("the instruction lengths of " + tap_name(*unknown) + " and " + tap_name(t) +
                         " cannot be told from the chain",
                     "give BSDL files for the devices of the chain");
        }
        known += tap.ir_length;
    }
    if (unknown) {
        if (scanned.ir_total <= known) {
            mismatch("the instruction registers of the files and the chain add up to more than the chain's " +
                         std::to_string(scanned.ir_total) + " bits",
                     "check that the BSDL files are those of the chain's devices");
        }
        taps_[*unknown].ir_length = scanned.ir_total - known;
        known = scanned.ir_total;
    }
    if (known != scanned.ir_total) {
        mismatch("the instruction registers add up to " + count_text(known, "bit") + ", the chain has " +
                     std::to_string(scanned.ir_total),
                 "check that the BSDL files are those of the chain's devices");
    }
}

const Boundary& BoundaryChain::boundary(std::size_t tap) const
{
    if (tap >= taps_.size()) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no " + tap_name(tap) + ": the chain has " + count_text(taps_.size(), "TAP"));
    }
    if (!taps_[tap].boundary) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, tap_name(tap) + " has no BSDL file");
    }
    return *taps_[tap].boundary;
}

Bits BoundaryChain::opcode(std::size_t tap, const char* instruction) const
{
    const Boundary& b = boundary(tap);
    auto bits = b.opcode(instruction);
    if (!bits) {
        throw Failure(ORVDEV_ERROR_BSCAN_UNSUPPORTED,
                      "the BSDL file of " + tap_name(tap) + " (" + b.device().entity + ") names no " +
                          instruction + " instruction",
                      "check the file: boundary scan needs SAMPLE (or SAMPLE/PRELOAD) and EXTEST");
    }
    return *bits;
}

std::vector<TapRole> BoundaryChain::bypass_roles() const
{
    std::vector<TapRole> roles(taps_.size());
    for (std::size_t t = 0; t < taps_.size(); ++t) {
        if (holds_[t]) {
            roles[t] = TapRole{opcode(t, "EXTEST"), holds_[t]};
        } else if (taps_[t].boundary) {
            roles[t].opcode = opcode(t, "BYPASS");
        } else {
            roles[t].opcode.assign(taps_[t].ir_length, 1);
        }
    }
    return roles;
}

bool BoundaryChain::needs_reset() const
{
    const bool any_held =
        std::any_of(holds_.begin(), holds_.end(), [](const auto& h) { return h.has_value(); });
    return !any_held || !in_idle_ || !jtag_.holds_adapter();
}

void BoundaryChain::forget_holds()
{
    for (auto& hold : holds_) {
        hold.reset();
    }
}

std::vector<Bits> BoundaryChain::run(ScanSequence& sequence, const std::string& doing,
                                     const engine::JtagSequencer::BatchDone& batch_done)
{
    const Session& session = jtag_.session();
    in_idle_ = false; // until the sequence has run whole
    engine::JtagSequencer sequencer(session.handle(), session.timeout_ms());
    sequencer.queue(sequence.clocks());
    std::vector<std::uint8_t> tdo;
    bool stopped = false;
    const std::int32_t rc = sequencer.flush(tdo, [&](std::size_t levels, std::size_t clocks) {
        stopped = batch_done && !batch_done(levels, clocks);
        return !stopped;
    });
    stats_ += sequencer.stats();
    if (rc != 0) {
        forget_holds();
        check_bus(rc, doing);
    }
    if (stopped) {
        // What was driven so far is let go before the failure is told.
        forget_holds();
        ScanSequence reset(true);
        engine::JtagSequencer again(session.handle(), session.timeout_ms());
        again.queue(reset.clocks());
        std::vector<std::uint8_t> none;
        check_bus(again.flush(none), "returning the devices to their normal function");
        throw Failure(ORVDEV_ERROR_STOPPED, "stopped at the caller's request (" + doing +
                                                "); the devices are back in their normal function");
    }
    in_idle_ = sequence.state() == TPW_TAP_RUN_TEST_IDLE;
    std::vector<Bits> scans;
    std::size_t at = 0;
    for (const std::size_t length : sequence.sampled_lengths()) {
        if (at + length > tdo.size()) {
            throw Failure(ORVDEV_ERROR_INTERNAL, doing + ": fewer TDO bits came back than were asked for");
        }
        scans.emplace_back(tdo.begin() + static_cast<std::ptrdiff_t>(at),
                           tdo.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return scans;
}

namespace {

// `driving`: the register's update stage while it drives the pins (EXTEST).
Readout readout(const Boundary& boundary, Bits capture, const Bits* driving)
{
    Readout r;
    for (const PinCells& pin : boundary.pins()) {
        r.pins.push_back(Boundary::read(pin, capture, driving));
    }
    r.capture = std::move(capture);
    return r;
}

std::vector<bool> only(std::size_t tap, std::size_t taps)
{
    std::vector<bool> sampled(taps, false);
    sampled[tap] = true;
    return sampled;
}

bool begin(BoundaryChain& chain)
{
    const bool reset = chain.needs_reset();
    if (reset) {
        chain.forget_holds();
    }
    chain.jtag().claim_adapter();
    return reset;
}

} // namespace

Readout BoundaryChain::sample(std::size_t tap)
{
    const Boundary& b = boundary(tap);
    ScanSequence sequence(begin(*this));
    std::vector<TapRole> roles = bypass_roles();
    if (!holds_[tap]) {
        // A held device stays in EXTEST: its capture shows the pins as driven.
        roles[tap] = TapRole{opcode(tap, "SAMPLE"), b.safe()};
    }
    sequence.scan_ir(roles);
    sequence.scan_dr(roles, only(tap, taps_.size()));
    auto scans = run(sequence, "sampling the pins of " + tap_name(tap));
    return readout(b, std::move(scans.at(0)), holds_[tap] ? &*holds_[tap] : nullptr);
}

Readout BoundaryChain::drive(std::size_t tap, const std::vector<PinSetting>& settings, bool hold)
{
    const Boundary& b = boundary(tap);
    const Bits extest = opcode(tap, "EXTEST");
    const Bits preload = opcode(tap, "PRELOAD");
    const Bits bypass = opcode(tap, "BYPASS");
    const bool reset = begin(*this);
    Bits image = holds_[tap] ? *holds_[tap] : b.safe();
    for (const PinSetting& s : settings) {
        const PinCells& pin = b.pins().at(s.pin);
        if (s.level) {
            Boundary::drive(image, pin, *s.level);
        } else {
            Boundary::release(image, pin);
        }
    }
    ScanSequence sequence(reset);
    std::vector<TapRole> roles = bypass_roles();
    if (!holds_[tap]) {
        // The other cells hold their safe values before EXTEST gives them
        // the pins, so that nothing glitches.
        roles[tap] = TapRole{preload, image};
        sequence.scan_ir(roles);
        sequence.scan_dr(roles, std::vector<bool>(taps_.size(), false));
    }
    roles[tap] = TapRole{extest, image};
    sequence.scan_ir(roles);
    if (holds_[tap]) {
        // Held, the pins follow the update stage already, and a DR scan
        // captures before it updates: the new levels go out first, so that
        // the scan that reads them sees them driven.
        sequence.scan_dr(roles, std::vector<bool>(taps_.size(), false));
    }
    sequence.scan_dr(roles, only(tap, taps_.size()));
    const bool others_held = std::any_of(holds_.begin(), holds_.end(),
                                         [&](const auto& h) { return h.has_value() && &h != &holds_[tap]; });
    if (!hold) {
        if (others_held) {
            roles[tap] = TapRole{bypass, std::nullopt};
            sequence.scan_ir(roles);
        } else {
            sequence.reset();
        }
    }
    auto scans = run(sequence, "driving the pins of " + tap_name(tap));
    if (hold) {
        holds_[tap] = image;
    } else {
        holds_[tap].reset();
    }
    return readout(b, std::move(scans.at(0)), &image);
}

void BoundaryChain::release()
{
    forget_holds();
    jtag_.claim_adapter();
    ScanSequence sequence(true);
    run(sequence, "returning the devices to their normal function");
}

} // namespace orv::dev::bscan
