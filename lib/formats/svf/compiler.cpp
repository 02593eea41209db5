#include "lib/formats/svf/compiler.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

#include "lib/wire/tap_state.hpp"

namespace orv::svf {

namespace {

using engine::Run;

// Runs handed to the target at a time.
constexpr std::size_t RUNS_AT_ONCE = 4096;

// Any FREQUENCY above this is met by the fastest clock there is.
constexpr double MAX_HZ = 1e12;

constexpr std::uint64_t MICROSECONDS = 1'000'000;

Pattern empty_pattern()
{
    return Pattern{0, std::make_shared<const Bits>(), nullptr, std::make_shared<const Bits>(),
                   std::make_shared<const Bits>()};
}

// The parts of a scan as shifted, each from its first bit in the scan.
struct Part {
    const Pattern* pattern;
    std::uint64_t first;
};

std::array<Part, 3> parts_of(const TdoCheck& c) noexcept
{
    return {Part{&c.header, 0}, Part{&c.body, c.header.length},
            Part{&c.trailer, std::uint64_t{c.header.length} + c.body.length}};
}

// Bits [bit, bit + count) of the scan, from each part's value `of` (none: 0).
template <typename Of>
std::uint64_t scan_word(const TdoCheck& c, std::uint64_t bit, unsigned count, const Of& of) noexcept
{
    std::uint64_t word = 0;
    for (const Part& p : parts_of(c)) {
        const std::uint64_t end = p.first + p.pattern->length;
        if (end <= bit || p.first >= bit + count) {
            continue;
        }
        const std::uint64_t from = std::max(bit, p.first);
        const auto n = static_cast<unsigned>(std::min(end, bit + count) - from);
        word |= of(*p.pattern, from - p.first, n) << (from - bit);
    }
    return word;
}

// A target that takes everything and does nothing: the estimate's.
struct NoTarget final : Target {
    void begin(const Origin&) override {}
    void runs(std::span<const Run>) override {}
    void expect(const TdoCheck&) override {}
    void run(bool, std::uint64_t, double, std::uint32_t) override {}
    void set_tck(const ClockChoice&) override {}
    void trst(TrstMode) override {}
    void statement_done() override {}
    [[nodiscard]] bool passed() override { return true; }
    [[nodiscard]] bool stopped() const override { return false; }
};

class Compiler {
public:
    // With `tally`, clocks are counted into it instead of made.
    Compiler(Target& target, const ClockChoice& tck, TimeEstimate* tally = nullptr)
        : target_(target), default_tck_(tck), tck_hz_(tck.actual_hz), tally_(tally)
    {
        runs_.reserve(RUNS_AT_ONCE);
        header_.fill(empty_pattern());
        trailer_.fill(empty_pattern());
    }

    // Compiles one statement; false once the target has stopped.
    bool statement(const Statement& s)
    {
        if (target_.stopped()) {
            return false;
        }
        target_.begin(s);
        std::visit(
            [&](const auto& what) {
                using T = std::decay_t<decltype(what)>;
                if constexpr (std::is_same_v<T, Scan>) {
                    scan(s, what);
                } else if constexpr (std::is_same_v<T, Padding>) {
                    (what.trailer ? trailer_ : header_)[static_cast<std::size_t>(what.reg)] = what.pattern;
                } else if constexpr (std::is_same_v<T, EndState>) {
                    end_[static_cast<std::size_t>(what.reg)] = what.state;
                } else if constexpr (std::is_same_v<T, StateMove>) {
                    state_move(what);
                } else if constexpr (std::is_same_v<T, RunTest>) {
                    run_test(what);
                } else if constexpr (std::is_same_v<T, Frequency>) {
                    frequency(s, what);
                } else if constexpr (std::is_same_v<T, Trst>) {
                    trst(what);
                }
            },
            s.what);
        send_runs();
        target_.statement_done();
        // (A statement of the file may be given as several of the model, alike in origin.)
        counts_.statements = std::max(counts_.statements, s.index + 1);
        return !target_.stopped();
    }

    [[nodiscard]] const CompileCounts& counts() const noexcept { return counts_; }

private:
    // The TAP reset playback starts with, before the first clock that needs
    // it (after any TRST and FREQUENCY at the top of the file).
    void lead_in()
    {
        if (reset_sent_) {
            return;
        }
        reset_sent_ = true;
        if (tally_ != nullptr) {
            tally(RESET_CLOCKS);
            return;
        }
        emit(Run{RESET_CLOCKS, true, false, {}});
    }

    void tally(std::uint64_t clocks)
    {
        tally_->clocks += clocks;
        tally_->clock_seconds += static_cast<double>(clocks) / tck_hz_;
    }

    // Queues a run, joined to the one before when both are constant and alike.
    void emit(const Run& run)
    {
        if (!runs_.empty()) {
            Run& last = runs_.back();
            if (last.tdi.constant() && run.tdi.constant() && last.tdi.fill() == run.tdi.fill() &&
                last.tms == run.tms && last.sample == run.sample) {
                last.clocks += run.clocks;
                return;
            }
        }
        runs_.push_back(run);
        if (runs_.size() == RUNS_AT_ONCE) {
            send_runs();
        }
    }

    void clock(bool tms, bool tdi = false)
    {
        lead_in();
        if (tally_ != nullptr) {
            tally(1);
            return;
        }
        emit(Run{1, tms, false, BitView{{}, 0, tdi}});
    }

    void send_runs()
    {
        if (!runs_.empty()) {
            target_.runs(runs_);
            runs_.clear();
        }
    }

    void hold_tms_high(unsigned clocks)
    {
        for (unsigned k = 0; k < clocks; ++k) {
            clock(true);
        }
    }

    // The shortest way, one clock per step, TDI held at `tdi`.
    void go(TapState to, bool tdi = false)
    {
        const jtag::TmsPath path = jtag::tms_path(state_, to);
        for (unsigned k = 0; k < path.clocks; ++k) {
            clock((path.pattern >> k & 1U) != 0, tdi);
        }
        state_ = to;
    }

    // The scan's bits: each part's value, TMS high on the last bit when it
    // leaves the shift state, TDO sampled over the check's bits.
    void shift(const TdoCheck& c, bool exit)
    {
        const std::uint64_t total = c.length();
        const std::uint64_t sample_end = c.first_bit + c.bits;
        for (const Part& p : parts_of(c)) {
            const BitView tdi = p.pattern->tdi->view();
            const std::uint64_t end = p.first + p.pattern->length;
            for (std::uint64_t g = p.first; g < end;) {
                std::uint64_t stop = end;
                if (c.bits != 0) {
                    stop = std::min(stop, g < c.first_bit ? c.first_bit : g < sample_end ? sample_end : stop);
                }
                const bool last = exit && g == total - 1;
                if (exit && g < total - 1) {
                    stop = std::min(stop, total - 1);
                }
                if (last) {
                    stop = g + 1;
                }
                const bool sample = c.bits != 0 && g >= c.first_bit && g < sample_end;
                emit(Run{stop - g, last, sample, tdi.from(g - p.first)});
                g = stop;
            }
        }
    }

    // The first and last bit a check compares.
    static void find_compared(TdoCheck& c)
    {
        const std::uint64_t total = c.length();
        const auto cares = [&](std::uint64_t i, unsigned n) { return c.cares(i, n); };
        std::uint64_t first = total;
        for (std::uint64_t i = 0; i < total; i += 64) {
            const std::uint64_t w = cares(i, static_cast<unsigned>(std::min<std::uint64_t>(64, total - i)));
            if (w != 0) {
                first = i + static_cast<unsigned>(std::countr_zero(w));
                break;
            }
        }
        if (first == total) {
            c.first_bit = 0;
            c.bits = 0;
            return;
        }
        std::uint64_t last = first;
        for (std::uint64_t i = (total - 1) / 64 * 64;; i -= 64) {
            const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, total - i));
            const std::uint64_t w = cares(i, n);
            if (w != 0) {
                last = i + 63 - static_cast<unsigned>(std::countl_zero(w));
                break;
            }
            if (i == 0) {
                break;
            }
        }
        c.first_bit = first;
        c.bits = last - first + 1;
    }

    void scan(const Statement& s, const Scan& scan)
    {
        const auto r = static_cast<std::size_t>(scan.reg);
        const bool ir = scan.reg == Register::ir;
        const TapState shift_state = ir ? STATE_IRSHIFT : STATE_DRSHIFT;
        const TapState exit_state = ir ? STATE_IREXIT1 : STATE_DREXIT1;
        const TapState end = scan.end.value_or(end_[r]);
        TdoCheck check{s, scan.reg, header_[r], scan.pattern, trailer_[r]};
        const std::uint64_t total = check.length();
        counts_.scan_bits += total;
        if (scan.pattern.tdo) {
            ++counts_.checks;
        }
        if (total == 0) {
            // Capture, then straight out through Exit1 and Update: nothing shifted.
            go(ir ? STATE_IRCAPTURE : STATE_DRCAPTURE);
            clock(true);
            state_ = exit_state;
            go(end);
            wait_in_idle(scan.wait_us);
            return;
        }
        if (scan.pattern.tdo) {
            find_compared(check);
        }
        const bool exit = end != shift_state;
        std::uint64_t wait = scan.wait_us;
        for (std::uint32_t attempt = 0;; ++attempt) {
            check.repeatable = attempt < scan.repeat && check.bits != 0;
            if (scan.pattern.tdo && tally_ == nullptr) {
                target_.expect(check);
            }
            go(shift_state);
            if (tally_ != nullptr) {
                tally(total);
            } else {
                shift(check, exit);
            }
            state_ = exit ? exit_state : shift_state;
            if (!check.repeatable) {
                break;
            }
            send_runs();
            if (target_.passed() || target_.stopped()) {
                break;
            }
            if (wait != 0) {
                // Back to Shift-DR through Pause-DR and Exit2-DR; the way to
                // Run-Test/Idle shifts one bit more, TDI held at the last.
                go(STATE_DRPAUSE);
                go(STATE_DRSHIFT);
                wait += wait >> 2;
                go(STATE_IDLE, scan_bit(check, total - 1));
            } else {
                go(end);
            }
            wait_in_idle(wait);
        }
        go(end);
        wait_in_idle(wait);
    }

    static bool scan_bit(const TdoCheck& c, std::uint64_t bit)
    {
        return scan_word(c, bit, 1, [](const Pattern& p, std::uint64_t at, unsigned k) {
                   return p.tdi->word(at, k);
               }) != 0;
    }

    // XSVF's wait after a scan: in Run-Test/Idle, counted exactly.
    void wait_in_idle(std::uint64_t wait_us)
    {
        if (wait_us == 0) {
            return;
        }
        RunTest r;
        r.min_us = wait_us;
        r.min_time = static_cast<double>(wait_us) / MICROSECONDS;
        run_test(r);
    }

    void state_move(const StateMove& m)
    {
        if (m.explicit_path) {
            for (const TapState s : m.path) {
                if (s == STATE_RESET && jtag::next_state(state_, true) != s) {
                    hold_tms_high(RESET_CLOCKS);
                } else {
                    clock(jtag::next_state(state_, true) == s);
                }
                state_ = s;
            }
            return;
        }
        const TapState goal = m.path.back();
        if (goal == STATE_RESET) {
            hold_tms_high(RESET_CLOCKS);
            state_ = STATE_RESET;
        } else if (goal == state_ && (goal == STATE_DRPAUSE || goal == STATE_IRPAUSE)) {
            go(goal == STATE_DRPAUSE ? STATE_DRUPDATE : STATE_IRUPDATE);
            go(goal);
        } else {
            go(goal);
        }
    }

    void run_test(const RunTest& r)
    {
        go(r.run_state);
        const double hz = tck_hz_;
        if (!r.clocked) {
            send_runs();
            run(false, 0, r.min_time);
            go(r.end_state);
            return;
        }
        const bool reset = r.run_state == STATE_RESET;
        const double time_clocks =
            r.min_us ? static_cast<double>((*r.min_us * tck_hz_ + MICROSECONDS - 1) / MICROSECONDS)
                     : std::ceil(r.min_time * hz);
        const double wanted = std::max(static_cast<double>(r.run_count), time_clocks);
        const double clocked_limit =
            reset ? static_cast<double>(MAX_RESET_RUN) : std::max(1.0, std::floor(LONGEST_CLOCKED_WAIT * hz));
        send_runs(); // the way to the run state goes first
        if (wanted <= clocked_limit) {
            if (wanted > 0) {
                run(reset, static_cast<std::uint64_t>(wanted), 0);
            }
        } else {
            std::uint64_t count = std::max<std::uint64_t>(r.run_count, 1);
            if (reset) {
                count = std::min(count, MAX_RESET_RUN);
            }
            const double wait = std::max(r.min_time, static_cast<double>(r.run_count) / hz);
            run(reset, count, wait);
        }
        go(r.end_state);
    }

    // `count` clocks in the run state, then the wait (which their time is part of).
    void run(bool reset, std::uint64_t count, double wait)
    {
        if (count != 0) {
            lead_in(); // (a run in RESET may come before any other clock)
        }
        if (tally_ == nullptr) {
            send_runs();
            target_.run(reset, count, wait, tck_hz_);
            return;
        }
        tally(count);
        tally_->wait_seconds += std::max(0.0, wait - static_cast<double>(count) / tck_hz_);
    }

    void frequency(const Statement& s, const Frequency& f)
    {
        const ClockChoice setting =
            f.hz ? clock_not_above_hz(static_cast<std::uint64_t>(std::clamp(std::floor(*f.hz), 1.0, MAX_HZ)))
                 : default_tck_;
        if (f.hz && setting.raised) {
            ++counts_.frequencies_raised;
            if (!counts_.first_raised) {
                counts_.first_raised = RaisedFrequency{s, *f.hz};
            }
        }
        if (setting.actual_hz == tck_hz_) {
            return;
        }
        send_runs();
        target_.set_tck(setting);
        tck_hz_ = setting.actual_hz;
    }

    void trst(const Trst& t)
    {
        if (t.mode == TrstMode::absent) {
            return;
        }
        send_runs();
        target_.trst(t.mode);
        // Held in Test-Logic-Reset the TAPs follow no clocks: they are there
        // when TRST is released.
        if (t.mode == TrstMode::on || trst_held_) {
            state_ = STATE_RESET;
        }
        trst_held_ = t.mode == TrstMode::on;
    }

    Target& target_;
    ClockChoice default_tck_;
    std::uint32_t tck_hz_;
    std::vector<Run> runs_;
    TimeEstimate* tally_;
    TapState state_ = STATE_RESET; // after the reset of the first clocks
    bool reset_sent_ = false;
    bool trst_held_ = false;
    std::array<TapState, 2> end_{STATE_IDLE, STATE_IDLE}; // per Register
    std::array<Pattern, 2> header_{};
    std::array<Pattern, 2> trailer_{};
    CompileCounts counts_;
};

} // namespace

std::uint64_t TdoCheck::expected(std::uint64_t bit, unsigned count) const noexcept
{
    return scan_word(*this, bit, count, [](const Pattern& p, std::uint64_t at, unsigned n) {
        return p.tdo ? p.tdo->word(at, n) : 0;
    });
}

std::uint64_t TdoCheck::cares(std::uint64_t bit, unsigned count) const noexcept
{
    return scan_word(*this, bit, count, [](const Pattern& p, std::uint64_t at, unsigned n) {
        return p.tdo ? p.mask->word(at, n) : 0;
    });
}

CompileCounts compile(const Program& program, Target& target, const ClockChoice& tck)
{
    Compiler compiler(target, tck);
    program.each([&](const Statement& s) { return compiler.statement(s); });
    return compiler.counts();
}

struct TimeTally::State {
    explicit State(const ClockChoice& tck) : compiler(nothing, tck, &estimate) {}
    NoTarget nothing;
    TimeEstimate estimate;
    Compiler compiler;
};

TimeTally::TimeTally(const ClockChoice& tck) : state_(std::make_unique<State>(tck)) {}

TimeTally::~TimeTally() = default;

void TimeTally::add(const Statement& statement)
{
    (void)state_->compiler.statement(statement);
}

const TimeEstimate& TimeTally::estimate() const noexcept
{
    return state_->estimate;
}

TimeEstimate estimate_time(const Program& program, const ClockChoice& tck)
{
    TimeTally tally(tck);
    program.each([&](const Statement& s) {
        tally.add(s);
        return true;
    });
    return tally.estimate();
}

} // namespace orv::svf
