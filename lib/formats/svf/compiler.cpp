#include "lib/formats/svf/compiler.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "lib/wire/tap_state.hpp"

namespace orv::svf {

namespace {

using engine::Clock;

// Clocks handed to the target at a time.
constexpr std::size_t CHUNK = std::size_t{1} << 16;

// Any FREQUENCY above this is met by the fastest clock there is.
constexpr double MAX_HZ = 1e12;

const Pattern EMPTY_PATTERN{0, std::make_shared<const Bits>(), nullptr, std::make_shared<const Bits>(),
                            std::make_shared<const Bits>()};

// Where in the scan a bit lies: the pattern and the bit within it.
struct Place {
    const Pattern* pattern;
    std::uint32_t bit;
};

// A target that takes everything and does nothing: the estimate's.
struct NoTarget final : Target {
    void clocks(std::span<const Clock>) override {}
    void expect(const TdoCheck&) override {}
    void run(bool, std::uint64_t, double, std::uint32_t) override {}
    void set_tck(const ClockChoice&) override {}
    void trst(TrstMode) override {}
    void statement_done(std::size_t) override {}
    [[nodiscard]] bool stopped() const override { return false; }
};

class Compiler {
public:
    // With `tally`, clocks are counted into it instead of made.
    Compiler(const Program& program, Target& target, const ClockChoice& tck, TimeEstimate* tally = nullptr)
        : program_(program), target_(target), default_tck_(tck), tck_hz_(tck.actual_hz), tally_(tally)
    {
        chunk_.reserve(CHUNK);
        for (auto& p : header_) {
            p = &EMPTY_PATTERN;
        }
        for (auto& p : trailer_) {
            p = &EMPTY_PATTERN;
        }
    }

    CompileCounts run()
    {
        for (std::size_t i = 0; i < program_.statements.size(); ++i) {
            if (target_.stopped()) {
                break;
            }
            statement(i, program_.statements[i]);
            send_chunk();
            target_.statement_done(i);
            ++counts_.statements;
        }
        return counts_;
    }

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
        for (unsigned k = 0; k < RESET_CLOCKS; ++k) {
            chunk_.push_back(Clock{true, false, false});
        }
    }

    void tally(std::uint64_t clocks)
    {
        tally_->clocks += clocks;
        tally_->clock_seconds += static_cast<double>(clocks) / tck_hz_;
    }

    void clock(bool tms, bool tdi = false, bool sample = false)
    {
        lead_in();
        if (tally_ != nullptr) {
            tally(1);
            return;
        }
        chunk_.push_back(Clock{tms, tdi, sample});
        if (chunk_.size() == CHUNK) {
            send_chunk();
        }
    }

    void send_chunk()
    {
        if (!chunk_.empty()) {
            target_.clocks(chunk_);
            chunk_.clear();
        }
    }

    void hold_tms_high(unsigned clocks)
    {
        for (unsigned k = 0; k < clocks; ++k) {
            clock(true);
        }
    }

    // The shortest way, one clock per step.
    void go(TapState to)
    {
        const jtag::TmsPath path = jtag::tms_path(state_, to);
        for (unsigned k = 0; k < path.clocks; ++k) {
            clock((path.pattern >> k & 1U) != 0);
        }
        state_ = to;
    }

    void statement(std::size_t index, const Statement& s)
    {
        std::visit(
            [&](const auto& what) {
                using T = std::decay_t<decltype(what)>;
                if constexpr (std::is_same_v<T, Scan>) {
                    scan(index, what);
                } else if constexpr (std::is_same_v<T, Padding>) {
                    (what.trailer ? trailer_ : header_)[static_cast<std::size_t>(what.reg)] = &what.pattern;
                } else if constexpr (std::is_same_v<T, EndState>) {
                    end_[static_cast<std::size_t>(what.reg)] = what.state;
                } else if constexpr (std::is_same_v<T, StateMove>) {
                    state_move(what);
                } else if constexpr (std::is_same_v<T, RunTest>) {
                    run_test(what);
                } else if constexpr (std::is_same_v<T, Frequency>) {
                    frequency(index, what);
                } else if constexpr (std::is_same_v<T, Trst>) {
                    trst(what);
                }
            },
            s.what);
    }

    void scan(std::size_t index, const Scan& s)
    {
        const auto r = static_cast<std::size_t>(s.reg);
        TdoCheck check{index, header_[r], &s.pattern, trailer_[r], 0, 0};
        const std::uint32_t total = check.length();
        const bool ir = s.reg == Register::ir;
        counts_.scan_bits += total;
        if (total == 0) {
            // Capture, then straight out through Exit1 and Update: nothing shifted.
            go(ir ? STATE_IRCAPTURE : STATE_DRCAPTURE);
            clock(true);
            state_ = ir ? STATE_IREXIT1 : STATE_DREXIT1;
            go(end_[r]);
            if (s.pattern.tdo) {
                ++counts_.checks;
            }
            return;
        }
        // Sample from the first bit that counts to the last.
        std::uint32_t first = total;
        std::uint32_t last = 0;
        if (s.pattern.tdo) {
            ++counts_.checks;
            for (std::uint32_t i = 0; i < total; ++i) {
                if (check.cares(i)) {
                    first = std::min(first, i);
                    last = i;
                }
            }
            check.first_bit = first < total ? first : 0;
            check.bits = first < total ? last - first + 1 : 0;
            target_.expect(check);
        }
        go(ir ? STATE_IRSHIFT : STATE_DRSHIFT);
        if (tally_ != nullptr) {
            tally(total);
            state_ = ir ? STATE_IREXIT1 : STATE_DREXIT1;
            go(end_[r]);
            return;
        }
        Place place{check.header, 0};
        const Pattern* parts[3] = {check.header, check.body, check.trailer};
        std::size_t part = 0;
        for (std::uint32_t i = 0; i < total; ++i, ++place.bit) {
            while (place.bit >= parts[part]->length) {
                place = Place{parts[++part], 0};
            }
            const bool sample = check.bits != 0 && i >= check.first_bit && i - check.first_bit < check.bits;
            clock(i + 1 == total, (*place.pattern->tdi)[place.bit], sample);
        }
        state_ = ir ? STATE_IREXIT1 : STATE_DREXIT1;
        go(end_[r]);
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
        const bool reset = r.run_state == STATE_RESET;
        const double time_clocks = std::ceil(r.min_time * hz);
        const double wanted = std::max(static_cast<double>(r.run_count), time_clocks);
        const double clocked_limit =
            reset ? static_cast<double>(MAX_RESET_RUN) : std::max(1.0, std::floor(LONGEST_CLOCKED_WAIT * hz));
        send_chunk(); // the way to the run state goes first
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
        if (tally_ == nullptr) {
            target_.run(reset, count, wait, tck_hz_);
            return;
        }
        lead_in();
        tally(count);
        tally_->wait_seconds += std::max(0.0, wait - static_cast<double>(count) / tck_hz_);
    }

    void frequency(std::size_t index, const Frequency& f)
    {
        const ClockChoice setting =
            f.hz ? clock_not_above_hz(static_cast<std::uint64_t>(std::clamp(std::floor(*f.hz), 1.0, MAX_HZ)))
                 : default_tck_;
        if (f.hz && setting.raised) {
            ++counts_.frequencies_raised;
            if (!counts_.first_raised) {
                counts_.first_raised = index;
            }
        }
        if (setting.actual_hz == tck_hz_) {
            return;
        }
        send_chunk();
        target_.set_tck(setting);
        tck_hz_ = setting.actual_hz;
    }

    void trst(const Trst& t)
    {
        if (t.mode == TrstMode::absent) {
            return;
        }
        send_chunk();
        target_.trst(t.mode);
        // Held in Test-Logic-Reset the TAPs follow no clocks: they are there
        // when TRST is released.
        if (t.mode == TrstMode::on || trst_held_) {
            state_ = STATE_RESET;
        }
        trst_held_ = t.mode == TrstMode::on;
    }

    const Program& program_;
    Target& target_;
    ClockChoice default_tck_;
    std::uint32_t tck_hz_;
    std::vector<Clock> chunk_;
    TimeEstimate* tally_;
    TapState state_ = STATE_RESET; // after the reset of the first clocks
    bool reset_sent_ = false;
    bool trst_held_ = false;
    std::array<TapState, 2> end_{STATE_IDLE, STATE_IDLE}; // per Register
    std::array<const Pattern*, 2> header_{};
    std::array<const Pattern*, 2> trailer_{};
    CompileCounts counts_;
};

} // namespace

namespace {

// The part of a scan a bit lies in.
Place place_of(const TdoCheck& c, std::uint32_t bit) noexcept
{
    if (bit < c.header->length) {
        return {c.header, bit};
    }
    bit -= c.header->length;
    if (bit < c.body->length) {
        return {c.body, bit};
    }
    return {c.trailer, bit - c.body->length};
}

} // namespace

bool TdoCheck::expected(std::uint32_t bit) const noexcept
{
    const Place p = place_of(*this, bit);
    return p.pattern->tdo && (*p.pattern->tdo)[p.bit];
}

bool TdoCheck::cares(std::uint32_t bit) const noexcept
{
    const Place p = place_of(*this, bit);
    return p.pattern->tdo && (*p.pattern->mask)[p.bit];
}

CompileCounts compile(const Program& program, Target& target, const ClockChoice& tck)
{
    return Compiler(program, target, tck).run();
}

TimeEstimate estimate_time(const Program& program, const ClockChoice& tck)
{
    TimeEstimate estimate;
    NoTarget nothing;
    (void)Compiler(program, nothing, tck, &estimate).run();
    return estimate;
}

} // namespace orv::svf
