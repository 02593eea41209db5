#include "lib/devices/session/jtag_port.hpp"

#include <algorithm>
#include <array>

#include <orv_tapwire.h>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/transport.hpp"
#include "lib/wire/wire.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev {

namespace {

// tapwire_tckset and tapwire_ioset.
constexpr std::uint64_t SETUP_TRANSFERS = 2;

std::uint8_t low_group(std::uint16_t pins) noexcept
{
    return static_cast<std::uint8_t>(pins & 0xFFU);
}

} // namespace

JtagPort::JtagPort(Session& session, const JtagSetup& setup, std::size_t max_readback) noexcept
    : lease_(session, setup), sequencer_(session.handle(), session.timeout_ms(), max_readback)
{
}

bool JtagPort::claim()
{
    if (!lease_.claim()) {
        return false;
    }
    control_transfers_ += SETUP_TRANSFERS;
    // The pin command of the set-up drove TMS to the set-up's level.
    sequencer_.forget_tms_level();
    tms_low_ = false;
    return true;
}

void JtagPort::flush(std::vector<std::uint8_t>& tdo, const engine::JtagSequencer::BatchDone& batch_done)
{
    if (pending_.empty()) {
        return;
    }
    // Whatever happens below, what was queued is gone with this call.
    struct Dropped {
        std::vector<engine::Clock>& clocks;
        ~Dropped() { clocks.clear(); }
    } dropped{pending_};
    tms_low_ = false;
    claim();
    const bool last_tms_low = !pending_.back().tms;
    bool stopped = false;
    sequencer_.queue(pending_);
    const std::int32_t rc = !batch_done ? sequencer_.flush(tdo)
                                        : sequencer_.flush(tdo, [&](std::size_t levels, std::size_t clocks) {
                                              stopped = !batch_done(levels, clocks);
                                              return !stopped;
                                          });
    if (rc != 0) {
        check_bus(rc, "running the JTAG clocks");
    }
    tms_low_ = last_tms_low && !stopped;
}

void JtagPort::send(std::span<const std::uint8_t> stream, const char* doing)
{
    const Session& s = session();
    if (const std::int32_t rc = orv::send(s.handle(), stream, s.timeout_ms()); rc != 0) {
        tms_low_ = false;
        sequencer_.forget_tms_level();
        check_bus(rc, doing);
    }
}

void JtagPort::idle_clocks(std::uint64_t count)
{
    if (count == 0) {
        return;
    }
    std::vector<std::uint8_t> unwanted;
    flush(unwanted);
    claim();
    if (!tms_low_) {
        // A TMS command through the engine takes the line low.
        queue(engine::Clock{false, false, false});
        flush(unwanted);
        if (--count == 0) {
            return;
        }
    }
    const std::uint64_t commands = (count + engine::MAX_IDLE_CLOCKS - 1) / engine::MAX_IDLE_CLOCKS;
    std::vector<std::uint8_t> storage(commands * CLOCKS_LENGTH);
    CommandStream stream(storage);
    for (std::uint64_t rest = count; rest != 0;) {
        const auto n = static_cast<unsigned>(std::min<std::uint64_t>(rest, engine::MAX_IDLE_CLOCKS));
        append_clocks(stream, OP_CLOCKS, n, JTAG_CLOCK_COUNT);
        rest -= n;
    }
    ++idle_.out_transfers;
    idle_.stream_bytes += stream.bytes().size();
    idle_.clocks += count;
    send(stream.bytes(), "running idle clocks");
}

void JtagPort::set_tck(const ClockChoice& clock)
{
    JtagSetup changed = setup();
    changed.tck_khz = clock.request_khz;
    lease_.set_setup(changed);
    if (lease_.holds_adapter()) {
        Session& s = session();
        s.settle_readback();
        ++control_transfers_;
        check_bus(tapwire_tckset(s.handle(), changed.tck_khz, s.timeout_ms()), "setting the TCK clock");
    }
}

void JtagPort::set_pins(std::uint16_t direction, std::uint16_t level)
{
    JtagSetup changed = setup();
    changed.direction = direction;
    changed.level = level;
    lease_.set_setup(changed);
    if (lease_.holds_adapter()) {
        Session& s = session();
        s.settle_readback();
        tms_low_ = false;
        sequencer_.forget_tms_level();
        ++control_transfers_;
        check_bus(tapwire_ioset(s.handle(), direction, level, s.timeout_ms()), "setting the JTAG pins");
    }
}

void JtagPort::set_trst(Trst trst)
{
    JtagSetup changed = setup();
    changed.direction = static_cast<std::uint16_t>(trst == Trst::z ? changed.direction & ~JTAG_PIN_TRST
                                                                   : changed.direction | JTAG_PIN_TRST);
    changed.level = static_cast<std::uint16_t>(trst == Trst::on ? changed.level & ~JTAG_PIN_TRST
                                                                : changed.level | JTAG_PIN_TRST);
    lease_.set_setup(changed);
    if (claim()) {
        return; // the set-up just sent drove TRST already
    }
    std::array<std::uint8_t, SET_IO_LENGTH> storage{};
    CommandStream stream(storage);
    append_set_io(stream, OP_SET_IO_LOW, low_group(changed.direction), low_group(changed.level));
    // The pin command drives TMS to the set-up's level too.
    tms_low_ = false;
    sequencer_.forget_tms_level();
    ++control_transfers_;
    send(stream.bytes(), "driving TRST");
}

void JtagPort::claim_for_caller()
{
    claim();
    // The caller's scans leave the TMS line as they leave it.
    tms_low_ = false;
    sequencer_.forget_tms_level();
}

engine::SequenceStats JtagPort::stats() const noexcept
{
    engine::SequenceStats total = sequencer_.stats();
    total.clocks += idle_.clocks;
    total.out_transfers += idle_.out_transfers;
    total.stream_bytes += idle_.stream_bytes;
    return total;
}

} // namespace orv::dev
