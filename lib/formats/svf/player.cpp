#include "lib/formats/svf/player.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <thread>
#include <utility>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/readback_purge.hpp"
#include "lib/wire/result_codes.hpp"
#include "orv_tapwire.h"

namespace orv::svf {

namespace {

using Clock = engine::Clock;
using SteadyClock = std::chrono::steady_clock;

// A check whose levels are coming in.
struct PendingCheck {
    TdoCheck check;
    std::uint32_t seen = 0;
    bool differs = false;
    Bits actual;
};

Mismatch::Part part_of(const TdoCheck& c, const Pattern& p, std::uint32_t offset, const Bits& actual,
                       Command command)
{
    Mismatch::Part part{command, Bits(p.length), Bits(p.length), Bits(p.length)};
    for (std::uint32_t i = 0; i < p.length; ++i) {
        part.expected.set(i, c.expected(offset + i));
        part.mask.set(i, c.cares(offset + i));
        part.actual.set(i, actual[offset + i]);
    }
    return part;
}

Mismatch mismatch_of(const PendingCheck& pending, const Statement& statement)
{
    const TdoCheck& c = pending.check;
    const bool ir = std::get<Scan>(statement.what).reg == Register::ir;
    Mismatch m;
    m.statement = c.statement;
    m.header = part_of(c, *c.header, 0, pending.actual, ir ? Command::hir : Command::hdr);
    m.body = part_of(c, *c.body, c.header->length, pending.actual, statement.command);
    m.trailer = part_of(c, *c.trailer, c.header->length + c.body->length, pending.actual,
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

class Player final : public Target {
public:
    Player(const Program& program, PlayerWire& wire, const PlayerOptions& options,
           const PlayProgress& progress)
        : program_(program), wire_(wire), options_(options), progress_(progress),
          sequencer_(wire, options.max_readback)
    {
    }

    PlayResult run()
    {
        const auto start = SteadyClock::now();
        if (set_up()) {
            started_ = true;
            result_.compiled = compile(program_, *this, tck_for_khz(options_.tck_khz));
            flush();
        }
        result_.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
        return std::move(result_);
    }

    void clocks(std::span<const Clock> clocks) override
    {
        while (!clocks.empty() && !stopped()) {
            const std::size_t room = FLUSH_AT_CLOCKS - sequencer_.pending();
            const auto now = clocks.first(std::min(room, clocks.size()));
            sequencer_.queue(now);
            queued_clocks_ += now.size();
            clocks = clocks.subspan(now.size());
            if (sequencer_.pending() >= FLUSH_AT_CLOCKS) {
                flush();
            }
        }
    }

    void expect(const TdoCheck& check) override
    {
        if (wire_.reads_the_chain()) {
            checks_.push_back(PendingCheck{check, 0, false, Bits(check.length())});
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
        if (clock_run(tms, count - 1)) {
            // Let the adapter run them before the read-back below polls for its byte.
            wire_.sleep(static_cast<double>(count - 1) / tck_hz);
        }
        // The last clock samples, so that its read-back says the adapter has
        // run everything before the wait is counted out.
        queue(Clock{tms, false, true});
        flush(true);
        if (!stopped()) {
            wire_.sleep(wait - std::chrono::duration<double>(SteadyClock::now() - start).count());
            ++result_.wire.host_waits;
            result_.wire.wait_seconds += wait;
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

    void statement_done(std::size_t index) override { ends_.emplace_back(index, queued_clocks_); }

    [[nodiscard]] bool stopped() const override { return result_.mismatch || result_.rc != RESULT_OK; }

private:
    bool set_up()
    {
        result_.wire.out_transfers += 2;
        return check(wire_.set_tck(tck_for_khz(options_.tck_khz)), "setting TCK") &&
               check(wire_.set_pins(options_.direction, options_.level), "setting the JTAG pins");
    }

    bool check(std::int32_t rc, const char* doing)
    {
        if (rc != RESULT_OK && result_.rc == RESULT_OK) {
            result_.rc = rc;
            result_.failed_doing = doing;
            if (started_) {
                result_.failed_statement = result_.statements_played;
                result_.last_checked = last_checked_;
                if (result_.statements_played < program_.statements.size()) {
                    result_.first_unknown = result_.statements_played;
                }
            }
            // Leave the adapter with nothing of this run in its read-back.
            wire_.purge();
        }
        return rc == RESULT_OK;
    }

    void queue(const Clock& c)
    {
        if (stopped()) {
            return; // nothing more goes out after a failure
        }
        sequencer_.queue(c);
        ++queued_clocks_;
        if (sequencer_.pending() >= FLUSH_AT_CLOCKS) {
            flush();
        }
    }

    // Queues `count` clocks, or sends a long idle run on its own. True when it did the latter.
    bool clock_run(bool tms, std::uint64_t count)
    {
        if (tms || count <= RAW_RUN_FROM) {
            for (std::uint64_t k = 0; k < count; ++k) {
                queue(Clock{tms, false, false});
            }
            return false;
        }
        // One clock through the engine leaves the TMS line low for the 0x9B commands.
        queue(Clock{false, false, false});
        flush();
        std::uint64_t rest = count - 1;
        std::vector<std::uint8_t> storage((rest + engine::MAX_IDLE_CLOCKS - 1) / engine::MAX_IDLE_CLOCKS *
                                          CLOCKS_LENGTH);
        CommandStream stream(storage);
        while (rest != 0) {
            const auto n = static_cast<unsigned>(std::min<std::uint64_t>(rest, engine::MAX_IDLE_CLOCKS));
            append_clocks(stream, OP_CLOCKS, n, JTAG_CLOCK_COUNT);
            rest -= n;
        }
        result_.wire.clocks += count - 1;
        queued_clocks_ += count - 1;
        if (send_out(stream.bytes(), "running idle clocks")) {
            ran_clocks_ += count - 1;
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

    // Statements whose clocks have all run and come back are played.
    void mark_played()
    {
        while (!ends_.empty() && ends_.front().second <= ran_clocks_) {
            result_.statements_played = ends_.front().first + 1;
            ends_.pop_front();
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
            levels_.clear();
            const std::int32_t rc = sequencer_.flush(levels_, [&](std::size_t, std::size_t clocks) {
                ran_clocks_ += clocks;
                if (!sync && wire_.reads_the_chain()) {
                    consume_levels();
                }
                levels_.clear();
                if (!stopped()) {
                    pass_empty_checks();
                    mark_played();
                }
                return !stopped();
            });
            const engine::SequenceStats& after = sequencer_.stats();
            result_.wire.clocks += after.clocks - before.clocks;
            result_.wire.out_transfers += after.out_transfers - before.out_transfers;
            result_.wire.exchanges += after.exchanges - before.exchanges;
            result_.wire.stream_bytes += after.stream_bytes - before.stream_bytes;
            result_.wire.readback_bytes += after.readback_bytes - before.readback_bytes;
            if (!check(rc, "playing the statements") || stopped()) {
                return;
            }
        }
        mark_played();
        if (progress_) {
            // After the last statement only comments and blanks remain: the whole file is done.
            const std::uint64_t played = result_.statements_played;
            const std::size_t bytes = played == program_.statements.size() ? program_.bytes
                                      : played == 0                        ? 0
                                                    : program_.statements[played - 1].end_offset;
            progress_(played, bytes);
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

    void consume_levels()
    {
        for (const std::uint8_t level : levels_) {
            pass_empty_checks();
            if (checks_.empty()) {
                return; // cannot happen: only checked scans sample
            }
            PendingCheck& p = checks_.front();
            const std::uint32_t bit = p.check.first_bit + p.seen;
            const bool high = level != 0;
            p.actual.set(bit, high);
            if (p.check.cares(bit) && high != p.check.expected(bit)) {
                p.differs = true;
            }
            if (++p.seen < p.check.bits) {
                continue;
            }
            if (p.differs) {
                result_.mismatch = mismatch_of(p, program_.statements[p.check.statement]);
                return;
            }
            passed(p);
            checks_.pop_front();
        }
    }

    const Program& program_;
    PlayerWire& wire_;
    PlayerOptions options_;
    PlayProgress progress_;
    engine::JtagSequencer sequencer_;
    std::deque<PendingCheck> checks_;
    std::vector<std::uint8_t> levels_;
    // Per statement handed over, where its clocks end in the count of all
    // clocks queued; a statement is played once that many have run.
    std::deque<std::pair<std::size_t, std::uint64_t>> ends_;
    std::uint64_t queued_clocks_ = 0;
    std::uint64_t ran_clocks_ = 0;
    std::optional<std::size_t> last_checked_;
    bool started_ = false; // past the set-up
    PlayResult result_;
};

} // namespace

std::uint32_t Mismatch::Part::differing() const
{
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < expected.size(); ++i) {
        count += mask[i] && expected[i] != actual[i] ? 1 : 0;
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
                const PlayProgress& progress)
{
    if (!options_valid(options)) {
        PlayResult refused;
        refused.rc = RESULT_INVALID_PARAM;
        refused.failed_doing = "checking the player's options";
        return refused;
    }
    return Player(program, wire, options, progress).run();
}

PlayResult play(const Program& program, libusb_device_handle* handle, const PlayerOptions& options,
                const PlayProgress& progress)
{
    if (handle == nullptr) {
        PlayResult refused;
        refused.rc = RESULT_INVALID_PARAM;
        refused.failed_doing = "checking the player's options";
        return refused;
    }
    UsbPlayerWire wire(handle, options.timeout_ms);
    return play(program, wire, options, progress);
}

} // namespace orv::svf
