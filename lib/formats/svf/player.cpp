#include "lib/formats/svf/player.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/readback_purge.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/tap_phases.hpp"
#include "orv_tapwire.h"

namespace orv::svf {

namespace {

using engine::Run;
using SteadyClock = std::chrono::steady_clock;

// The longest a wait on the host goes on after a stop was asked for.
constexpr double STOP_LATENCY = 0.1;

// A check whose levels are coming in: those of its compared stretch.
struct PendingCheck {
    TdoCheck check;
    std::uint64_t seen = 0;
    bool differs = false;
    BitBuffer actual;
};

// `length` bits made 64 at a time by `word(bit, count)`.
template <typename Word> Bits bits_of(std::uint32_t length, const Word& word)
{
    std::vector<std::uint8_t> bytes((std::size_t{length} + 7) / 8);
    for (std::uint64_t i = 0; i < length; i += 64) {
        const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, length - i));
        const std::uint64_t w = word(i, n);
        for (unsigned b = 0; b < (n + 7) / 8; ++b) {
            bytes[static_cast<std::size_t>(i / 8) + b] = static_cast<std::uint8_t>(w >> (8 * b) & 0xFFU);
        }
    }
    return Bits::from_bytes(bytes, length);
}

Mismatch::Part part_of(const PendingCheck& pending, const Pattern& p, std::uint64_t offset, Command command)
{
    const TdoCheck& c = pending.check;
    const BitView actual = pending.actual.view();
    const std::uint64_t sampled_end = c.first_bit + pending.seen;
    return Mismatch::Part{
        command, bits_of(p.length, [&](std::uint64_t i, unsigned n) { return c.expected(offset + i, n); }),
        bits_of(p.length,
                [&](std::uint64_t i, unsigned n) {
                    // Levels read over [first_bit, sampled_end) of the scan; 0 elsewhere.
                    const std::uint64_t from = std::max(offset + i, c.first_bit);
                    const std::uint64_t to = std::min(offset + i + n, sampled_end);
                    if (from >= to) {
                        return std::uint64_t{0};
                    }
                    return actual.word(from - c.first_bit, static_cast<unsigned>(to - from))
                           << (from - offset - i);
                }),
        bits_of(p.length, [&](std::uint64_t i, unsigned n) { return c.cares(offset + i, n); })};
}

Mismatch mismatch_of(const PendingCheck& pending)
{
    const TdoCheck& c = pending.check;
    const bool ir = c.reg == Register::ir;
    Mismatch m;
    m.statement = c.statement;
    m.header = part_of(pending, c.header, 0, ir ? Command::hir : Command::hdr);
    m.body = part_of(pending, c.body, c.header.length, c.statement.command);
    m.trailer = part_of(pending, c.trailer, std::uint64_t{c.header.length} + c.body.length,
                        ir ? Command::tir : Command::tdr);
    return m;
}

// The adapter through libusb: the JTAG library's set-up calls, the send rule
// and the JTAG read-back policy.
class UsbPlayerWire final : public PlayerWire {
public:
    UsbPlayerWire(libusb_device_handle* handle, std::uint32_t timeout_ms) noexcept
        : handle_(handle), timeout_(timeout_ms), usb_(handle, timeout_ms)
    {
    }
    std::int32_t send(std::span<const std::uint8_t> stream) override { return usb_.send(stream); }
    std::int32_t read_back(std::span<std::uint8_t> bytes) override { return usb_.read_back(bytes); }
    std::int32_t set_tck(const ClockChoice& clock) override
    {
        return tapwire_tckset(handle_, clock.request_khz, timeout_);
    }
    std::int32_t set_pins(std::uint16_t direction, std::uint16_t level) override
    {
        return tapwire_ioset(handle_, direction, level, timeout_);
    }
    void purge() override
    {
        std::uint64_t purged = 0;
        (void)purge_readback(handle_, timeout_, purged);
    }
    void sleep(double seconds) override
    {
        if (seconds > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        }
    }
    [[nodiscard]] bool reads_the_chain() const override { return true; }

private:
    libusb_device_handle* handle_;
    std::uint32_t timeout_;
    engine::UsbWire usb_;
};

// Statements handed over whose clocks have not all come back: from `first`
// to the statement numbered `last`, which end where `clocks` clocks have run.
struct Pending {
    Origin first;
    std::uint64_t last = 0;
    std::size_t end_offset = 0;
    std::uint64_t clocks = 0;
};

class Player final : public Target {
public:
    Player(const Program& program, PlayerWire& wire, const PlayerOptions& options,
           const PlayProgress& progress, const StopCheck& stop)
        : program_(program), wire_(wire), options_(options), progress_(progress), stop_(stop),
          sequencer_(wire, options.max_readback), playing_("playing the " + std::string(program.unit()) + "s")
    {
    }

    PlayResult run()
    {
        const auto start = SteadyClock::now();
        if (set_up()) {
            result_.compiled = compile(program_, *this, tck_for_khz(options_.tck_khz));
            flush();
            if (stopped()) {
                note_unknown();
            }
        }
        result_.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        return std::move(result_);
    }

    void begin(const Origin& statement) override
    {
        current_ = statement;
        in_statement_ = true;
    }

    void runs(std::span<const Run> runs) override
    {
        for (const Run& run : runs) {
            queue(run);
        }
    }

    void expect(const TdoCheck& check) override
    {
        if (wire_.reads_the_chain()) {
            checks_.push_back(PendingCheck{check, 0, false, BitBuffer{}});
        }
    }

    void run(bool tms, std::uint64_t count, double wait, std::uint32_t tck_hz) override
    {
        if (wait <= 0) {
            clock_run(tms, count);
            return;
        }
        flush();
        const auto start = SteadyClock::now();
        if (count != 0) {
            if (clock_run(tms, count - 1)) {
                // Let the adapter run them before the read-back below polls for its byte.
                sleep(static_cast<double>(count - 1) / tck_hz);
            }
            // The last clock samples, so that its read-back says the adapter has
            // run everything before the wait is counted out.
            queue(Run{1, tms, true, {}});
            flush(true);
        }
        if (!stopped()) {
            ++result_.wire.host_waits;
            result_.wire.wait_seconds += wait;
            sleep(wait - std::chrono::duration<double>(SteadyClock::now() - start).count());
        }
    }

    void set_tck(const ClockChoice& setting) override
    {
        flush();
        if (!stopped()) {
            ++result_.wire.out_transfers;
            check(wire_.set_tck(setting), "setting TCK");
        }
    }

    void trst(TrstMode mode) override
    {
        flush();
        if (stopped()) {
            return;
        }
        const auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFFU); };
        const auto trst_pin = low(JTAG_PIN_TRST);
        std::uint8_t direction = low(options_.direction);
        std::uint8_t level = low(options_.level);
        direction =
            static_cast<std::uint8_t>(mode == TrstMode::z ? direction & ~trst_pin : direction | trst_pin);
        level = static_cast<std::uint8_t>(mode == TrstMode::on ? level & ~trst_pin : level | trst_pin);
        std::array<std::uint8_t, SET_IO_LENGTH> storage{};
        CommandStream stream(storage);
        append_set_io(stream, OP_SET_IO_LOW, direction, level);
        send_out(stream.bytes(), "driving TRST");
        // The pin command set TMS to the set-up's level.
        sequencer_.forget_tms_level();
    }

    void statement_done() override
    {
        in_statement_ = false;
        if (!pending_.empty() && pending_.back().clocks == queued_clocks_) {
            // No clocks of its own: played with the statement before it.
            pending_.back().last = current_.index;
            pending_.back().end_offset = current_.end_offset;
        } else {
            pending_.push_back(Pending{current_, current_.index, current_.end_offset, queued_clocks_});
        }
        asked_to_stop();
    }

    [[nodiscard]] bool passed() override
    {
        flush();
        const bool ok = !repeat_failed_;
        repeat_failed_ = false;
        if (!ok && !stopped()) {
            ++result_.repeats;
        }
        return ok;
    }

    [[nodiscard]] bool stopped() const override
    {
        return result_.mismatch || result_.rc != RESULT_OK || result_.stopped;
    }

private:
    bool set_up()
    {
        result_.wire.out_transfers += 2;
        return check(wire_.set_tck(tck_for_khz(options_.tck_khz)), "setting TCK") &&
               check(wire_.set_pins(options_.direction, options_.level), "setting the JTAG pins");
    }

    // Sleeps in slices short enough that a stop asked for ends the wait soon
    // (on a wire that does not read the chain, the dry run's, at once).
    void sleep(double seconds)
    {
        if (!wire_.reads_the_chain()) {
            wire_.sleep(seconds);
            return;
        }
        while (seconds > 0 && !asked_to_stop()) {
            const double slice = std::min(seconds, STOP_LATENCY);
            wire_.sleep(slice);
            seconds -= slice;
        }
    }

    bool asked_to_stop()
    {
        if (!result_.stopped && stop_ && stop_()) {
            result_.stopped = true;
        }
        return result_.stopped;
    }

    // Where playing stopped: the first statement not played to the end and
    // the last whose checks all passed.
    void note_unknown()
    {
        result_.last_checked = last_checked_;
        if (!pending_.empty()) {
            result_.first_unknown = pending_.front().first;
        } else if (in_statement_) {
            result_.first_unknown = current_;
        }
    }

    bool check(std::int32_t rc, const std::string& doing)
    {
        if (rc != RESULT_OK && result_.rc == RESULT_OK) {
            result_.rc = rc;
            result_.failed_doing = doing;
            note_unknown();
            // Leave the adapter with nothing of this run in its read-back.
            wire_.purge();
        }
        return rc == RESULT_OK;
    }

    // Queues a run, sending what is queued each FLUSH_AT_CLOCKS clocks.
    void queue(Run run)
    {
        while (run.clocks != 0 && !stopped()) {
            const std::uint64_t take =
                std::min<std::uint64_t>(FLUSH_AT_CLOCKS - sequencer_.pending(), run.clocks);
            sequencer_.queue(Run{take, run.tms, run.sample, run.tdi});
            queued_clocks_ += take;
            run.clocks -= take;
            run.tdi = run.tdi.from(take);
            if (sequencer_.pending() >= FLUSH_AT_CLOCKS) {
                flush();
            }
        }
    }

    // Queues `count` clocks, or sends a long idle run on its own. True when it did the latter.
    bool clock_run(bool tms, std::uint64_t count)
    {
        if (tms || count <= RAW_RUN_FROM) {
            queue(Run{count, tms, false, {}});
            return false;
        }
        // One clock through the engine leaves the TMS line low for the 0x9B commands.
        queue(Run{1, false, false, {}});
        flush();
        const std::uint64_t rest = count - 1;
        std::vector<std::uint8_t> storage(
            static_cast<std::size_t>(jtag::idle_commands(rest) * CLOCKS_LENGTH));
        CommandStream stream(storage);
        jtag::append_idle_run(stream, rest);
        result_.wire.clocks += rest;
        queued_clocks_ += rest;
        if (send_out(stream.bytes(), "running idle clocks")) {
            ran_clocks_ += rest;
            mark_played();
        }
        return true;
    }

    bool send_out(std::span<const std::uint8_t> bytes, const char* doing)
    {
        if (stopped()) {
            return false;
        }
        ++result_.wire.out_transfers;
        result_.wire.stream_bytes += bytes.size();
        return check(wire_.send(bytes), doing);
    }

    void played(std::uint64_t last, std::size_t end_offset)
    {
        result_.statements_played = last + 1;
        played_end_ = end_offset;
    }

    // Statements whose clocks have all run and come back are played.
    void mark_played()
    {
        while (!pending_.empty() && pending_.front().clocks <= ran_clocks_) {
            played(pending_.front().last, pending_.front().end_offset);
            pending_.pop_front();
        }
    }

    // Sends what is queued. `sync`: its one sampled level only says the
    // adapter is done.
    void flush(bool sync = false)
    {
        if (stopped()) {
            return;
        }
        if (sequencer_.pending() != 0) {
            const engine::SequenceStats before = sequencer_.stats();
            const std::int32_t rc = sequencer_.flush(
                [&](const BitView& levels, std::uint64_t count, std::uint64_t clocks) {
                    ran_clocks_ += clocks;
                    if (!sync && wire_.reads_the_chain()) {
                        consume_levels(levels, count);
                    }
                    if (!stopped()) {
                        pass_empty_checks();
                        mark_played();
                    }
                    return !stopped() && !asked_to_stop();
                },
                [&] { return asked_to_stop(); });
            result_.wire += sequencer_.stats() - before;
            if (!check(rc, playing_.c_str()) || stopped()) {
                return;
            }
        }
        mark_played();
        if (progress_) {
            // After the last statement only comments and blanks remain: the whole file is done.
            const std::uint64_t played = result_.statements_played;
            progress_(played, played == program_.statements() ? program_.bytes()
                              : played == 0                   ? 0
                                                              : played_end_);
        }
    }

    // Checks that sample nothing (an all-zero mask) pass as they come.
    void pass_empty_checks()
    {
        while (!checks_.empty() && checks_.front().check.bits == 0) {
            passed(checks_.front());
            checks_.pop_front();
        }
    }

    void passed(const PendingCheck& p)
    {
        ++result_.checks_passed;
        last_checked_ = p.check.statement;
    }

    void consume_levels(const BitView& levels, std::uint64_t count)
    {
        for (std::uint64_t k = 0; k < count;) {
            pass_empty_checks();
            if (checks_.empty()) {
                return; // cannot happen: only checked scans sample
            }
            PendingCheck& p = checks_.front();
            const std::uint64_t n = std::min(p.check.bits - p.seen, count - k);
            for (std::uint64_t j = 0; j < n; j += 64) {
                const auto m = static_cast<unsigned>(std::min<std::uint64_t>(64, n - j));
                const std::uint64_t actual = levels.word(k + j, m);
                const std::uint64_t bit = p.check.first_bit + p.seen + j;
                if (((actual ^ p.check.expected(bit, m)) & p.check.cares(bit, m)) != 0) {
                    p.differs = true;
                }
                p.actual.append_word(actual, m);
            }
            p.seen += n;
            k += n;
            if (p.seen < p.check.bits) {
                continue;
            }
            if (p.differs && p.check.repeatable) {
                repeat_failed_ = true;
            } else if (p.differs) {
                result_.mismatch = mismatch_of(p);
                return;
            } else {
                passed(p);
            }
            checks_.pop_front();
        }
    }

    const Program& program_;
    PlayerWire& wire_;
    PlayerOptions options_;
    PlayProgress progress_;
    StopCheck stop_;
    engine::JtagSequencer sequencer_;
    std::deque<PendingCheck> checks_;
    std::deque<Pending> pending_;
    Origin current_;
    bool in_statement_ = false;
    std::size_t played_end_ = 0;
    std::uint64_t queued_clocks_ = 0;
    std::uint64_t ran_clocks_ = 0;
    std::optional<Origin> last_checked_;
    bool repeat_failed_ = false;
    std::string playing_; // what a failed batch was doing
    PlayResult result_;
};

} // namespace

std::uint32_t Mismatch::Part::differing() const
{
    std::uint32_t count = 0;
    for (std::uint64_t i = 0; i < expected.size(); i += 64) {
        count +=
            static_cast<std::uint32_t>(std::popcount((expected.word(i) ^ actual.word(i)) & mask.word(i)));
    }
    return count;
}

ClockChoice tck_for_khz(std::uint32_t khz) noexcept
{
    return clock_not_above_khz(khz);
}

bool options_valid(const PlayerOptions& options) noexcept
{
    return options.tck_khz >= 1 && options.tck_khz <= CLOCK_BASE_KHZ && options.max_readback >= 1 &&
           options.max_readback <= MAX_READBACK_BOUND;
}

PlayResult play(const Program& program, PlayerWire& wire, const PlayerOptions& options,
                const PlayProgress& progress, const StopCheck& stop)
{
    if (!options_valid(options)) {
        PlayResult refused;
        refused.rc = RESULT_INVALID_PARAM;
        refused.failed_doing = "checking the player's options";
        return refused;
    }
    return Player(program, wire, options, progress, stop).run();
}

PlayResult play(const Program& program, libusb_device_handle* handle, const PlayerOptions& options,
                const PlayProgress& progress, const StopCheck& stop)
{
    if (handle == nullptr) {
        PlayResult refused;
        refused.rc = RESULT_INVALID_PARAM;
        refused.failed_doing = "checking the player's options";
        return refused;
    }
    UsbPlayerWire wire(handle, options.timeout_ms);
    return play(program, wire, options, progress, stop);
}

} // namespace orv::svf
