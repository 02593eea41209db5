// The JTAG sequence engine's planner: queued clocks into commands, commands
// into batches. See jtag_sequence.hpp.
#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/jtag_sequence.hpp"
#include "lib/wire/tap_phases.hpp"

namespace orv::engine {

namespace {

constexpr unsigned MAX_SHIFT_BITS = jtag::MAX_SHIFT_BITS;
constexpr std::uint32_t MAX_IDLE = jtag::MAX_EXACT_IDLE_CLOCKS;

enum class Kind : std::uint8_t { tms, tms_read, bits, bytes, idle };

// One planned command: `clocks` clocks from `first`.
struct Command {
    Kind kind = Kind::tms;
    bool read = false;
    std::uint64_t first = 0;
    std::uint32_t clocks = 0;
};

// Clocks planned at a time: bounds the search's memory (about 50 bytes a
// clock); a cut costs at most a few stream bytes.
constexpr std::uint64_t PLAN_WINDOW = std::uint64_t{1} << 18;

// Long shifts: inside a stretch of TMS-low clocks sampled alike, byte
// commands as long as they may be are what the search ends up choosing,
// clock by clock at a cost per clock; they are taken directly, and the search
// runs only on what lies between them. A command that would hold a run of
// BULK_IDLE_RUN unsampled TDI-low clocks is left to the search, which may
// clock them as idle clocks instead.
constexpr std::uint32_t BULK_IDLE_RUN = 64;
// Stretches shorter than this are left to the search: there the few bytes it
// saves around the edges still count.
constexpr std::uint64_t BULK_FROM = 512;

// Idle clocks the search gets of a longer run: inside a run of idle clocks
// every command may as well be an idle command, and only the commands that
// cross its ends (2048 clocks at most) depend on its neighbours; removing
// whole idle commands from its middle changes neither, so the search sees at
// most KEEP_IDLE + MAX_IDLE - 1 of them, and the removed commands go back in
// the middle of what it chose.
constexpr std::uint64_t KEEP_IDLE = 2 * 8 * MAX_BYTES_PER_COMMAND + 1;
constexpr std::uint64_t SHORTEN_IDLE_FROM = KEEP_IDLE + MAX_IDLE;

std::size_t command_length(const Command& c) noexcept
{
    switch (c.kind) {
    case Kind::tms:
    case Kind::tms_read:
        return TMS_LENGTH;
    case Kind::bits:
        return BITS_LENGTH;
    case Kind::bytes:
        return BYTES_HEAD_LENGTH + c.clocks / 8;
    case Kind::idle:
        return CLOCKS_LENGTH;
    }
    return 0;
}

// The queued clocks by position, read segment by segment.
class Clocks {
public:
    explicit Clocks(const ClockQueue& queue) : queue_(queue), segments_(queue.segments())
    {
        starts_.reserve(segments_.size() + 1);
        std::uint64_t at = 0;
        for (const auto& s : segments_) {
            starts_.push_back(at);
            at += s.clocks;
        }
        starts_.push_back(at);
    }

    [[nodiscard]] std::uint64_t size() const noexcept { return starts_.back(); }
    // The segment that holds clock `at` (< size()).
    [[nodiscard]] std::size_t find(std::uint64_t at) const noexcept
    {
        if (cursor_ < segments_.size() && starts_[cursor_] <= at && at < starts_[cursor_ + 1]) {
            return cursor_;
        }
        if (cursor_ + 1 < segments_.size() && starts_[cursor_ + 1] <= at && at < starts_[cursor_ + 2]) {
            return ++cursor_;
        }
        const auto it = std::upper_bound(starts_.begin(), starts_.end(), at);
        cursor_ = static_cast<std::size_t>(it - starts_.begin()) - 1;
        return cursor_;
    }
    [[nodiscard]] const ClockQueue::Segment& segment(std::size_t i) const noexcept { return segments_[i]; }
    [[nodiscard]] std::uint64_t start(std::size_t i) const noexcept { return starts_[i]; }
    [[nodiscard]] std::uint64_t end(std::size_t i) const noexcept { return starts_[i + 1]; }

    [[nodiscard]] bool tms(std::uint64_t at) const noexcept { return segments_[find(at)].tms; }
    [[nodiscard]] bool sample(std::uint64_t at) const noexcept { return segments_[find(at)].sample; }
    // TDI of clocks [at, at + count) (count 1..64), clock `at` in bit 0.
    [[nodiscard]] std::uint64_t tdi(std::uint64_t at, unsigned count = 1) const noexcept
    {
        std::uint64_t word = 0;
        unsigned got = 0;
        while (got < count) {
            const std::size_t i = find(at + got);
            const auto n = static_cast<unsigned>(std::min<std::uint64_t>(count - got, end(i) - (at + got)));
            word |= queue_.tdi(segments_[i]).word(at + got - start(i), n) << got;
            got += n;
        }
        return word;
    }
    [[nodiscard]] Clock clock(std::uint64_t at) const noexcept
    {
        const auto& s = segments_[find(at)];
        return Clock{s.tms, (tdi(at) & 1U) != 0, s.sample};
    }
    // Clocks [from, to), one by one.
    [[nodiscard]] std::vector<Clock> clocks(std::uint64_t from, std::uint64_t to) const
    {
        std::vector<Clock> out;
        out.reserve(static_cast<std::size_t>(to - from));
        for (std::uint64_t at = from; at < to;) {
            const std::size_t i = find(at);
            const auto& s = segments_[i];
            const std::uint64_t stop = std::min(end(i), to);
            const BitView bits = queue_.tdi(s);
            for (; at < stop; at += 64) {
                const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, stop - at));
                const std::uint64_t w = bits.word(at - start(i), n);
                for (unsigned k = 0; k < n; ++k) {
                    out.push_back(Clock{s.tms, (w >> k & 1U) != 0, s.sample});
                }
            }
            at = stop;
        }
        return out;
    }
    // Where the idle clocks (TMS low, TDI low, not sampled) from `at` end,
    // before `to`.
    [[nodiscard]] std::uint64_t idle_end(std::uint64_t at, std::uint64_t to) const noexcept
    {
        while (at < to) {
            const std::size_t i = find(at);
            const auto& s = segments_[i];
            const std::uint64_t stop = std::min(end(i), to);
            if (s.tms || s.sample || (!s.stored && s.level)) {
                return at;
            }
            if (s.stored) {
                const BitView bits = queue_.tdi(s);
                for (; at < stop; at += 64) {
                    const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, stop - at));
                    const std::uint64_t w = bits.word(at - start(i), n);
                    if (w != 0) {
                        return at + static_cast<unsigned>(std::countr_zero(w));
                    }
                }
            }
            at = stop;
        }
        return to;
    }

private:
    const ClockQueue& queue_;
    std::span<const ClockQueue::Segment> segments_;
    std::vector<std::uint64_t> starts_;
    mutable std::size_t cursor_ = 0;
};

// ---- the search -------------------------------------------------------------

// Cost of the rest of a window: stream bytes first, read-back bits second.
struct Cost {
    std::uint32_t bytes = 0;
    std::uint32_t bits = 0;
    friend constexpr bool operator<(const Cost& a, const Cost& b) noexcept
    {
        return a.bytes != b.bytes ? a.bytes < b.bytes : a.bits < b.bits;
    }
};

constexpr Cost UNREACHABLE{std::numeric_limits<std::uint32_t>::max() / 2, 0};

struct Choice {
    Kind kind = Kind::tms;
    bool read = false;
    std::uint32_t clocks = 0;
};

// Runs of clocks, counted from each position forward.
struct Runs {
    std::vector<std::uint32_t> tms_low;        // TMS 0
    std::vector<std::uint32_t> idle;           // TMS 0, TDI 0, not sampled
    std::vector<std::uint32_t> same_tdi;       // not sampled, the same TDI
    std::vector<std::uint32_t> same_sampling;  // TMS 0, sampled alike
    std::vector<std::uint32_t> samples_before; // sampled clocks before each position
};

Runs find_runs(std::span<const Clock> c)
{
    const std::size_t n = c.size();
    Runs r;
    r.tms_low.assign(n + 1, 0);
    r.idle.assign(n + 1, 0);
    r.same_tdi.assign(n + 1, 0);
    r.same_sampling.assign(n + 1, 0);
    r.samples_before.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        r.samples_before[i + 1] = r.samples_before[i] + (c[i].sample ? 1 : 0);
    }
    for (std::size_t i = n; i-- > 0;) {
        const bool next = i + 1 < n;
        r.tms_low[i] = c[i].tms ? 0 : 1 + r.tms_low[i + 1];
        r.idle[i] = (!c[i].tms && !c[i].tdi && !c[i].sample) ? 1 + r.idle[i + 1] : 0;
        if (!c[i].sample) {
            r.same_tdi[i] = next && !c[i + 1].sample && c[i + 1].tdi == c[i].tdi ? 1 + r.same_tdi[i + 1] : 1;
        }
        if (!c[i].tms) {
            r.same_sampling[i] =
                next && !c[i + 1].tms && c[i + 1].sample == c[i].sample ? 1 + r.same_sampling[i + 1] : 1;
        }
    }
    return r;
}

// The commands that clock [i, ...) from `low` (the TMS line low before
// clock i), each with what the rest costs after it.
class Search {
public:
    Search(std::span<const Clock> clocks, std::size_t max_readback)
        : c_(clocks), r_(find_runs(clocks)),
          // A sampling byte command must fit one batch's read-back on its own.
          max_read_bytes_(
              static_cast<std::uint32_t>(std::min<std::size_t>(MAX_BYTES_PER_COMMAND, max_readback))),
          best_(clocks.size() + 1, {UNREACHABLE, UNREACHABLE}), choice_(clocks.size() + 1)
    {
        best_[clocks.size()] = {Cost{}, Cost{}};
        for (std::size_t i = clocks.size(); i-- > 0;) {
            for (int low = 0; low < 2; ++low) {
                choose(i, low == 1);
            }
        }
    }

    // The cheapest commands for the whole sequence, `first` relative to it.
    [[nodiscard]] std::vector<Command> commands(bool tms_low) const
    {
        std::vector<Command> commands;
        int low = tms_low ? 1 : 0;
        for (std::size_t i = 0; i < c_.size();) {
            const Choice& ch = choice_[i][static_cast<std::size_t>(low)];
            commands.push_back(Command{ch.kind, ch.read, i, ch.clocks});
            i += ch.clocks;
            if (ch.kind == Kind::tms || ch.kind == Kind::tms_read) {
                low = c_[i - 1].tms ? 0 : 1;
            }
        }
        return commands;
    }

private:
    [[nodiscard]] bool any_sampled(std::size_t from, std::size_t count) const noexcept
    {
        return r_.samples_before[from + count] != r_.samples_before[from];
    }

    // best_[i][low]: the cost of clocks i.. when the TMS line is low (1) or
    // high (0) before clock i.
    void choose(std::size_t i, bool low)
    {
        Cost cheapest = UNREACHABLE;
        Choice chosen;
        const auto consider = [&](Kind kind, bool read, std::uint32_t count, std::size_t length,
                                  bool low_after) {
            const Cost& rest = best_[i + count][low_after ? 1 : 0];
            const Cost cost{rest.bytes + static_cast<std::uint32_t>(length), rest.bits + (read ? count : 0)};
            if (cost < cheapest) {
                cheapest = cost;
                chosen = Choice{kind, read, count};
            }
        };
        // TMS clocks with one TDI level, none sampled.
        const std::uint32_t tms_run = std::min<std::uint32_t>(MAX_TMS_CLOCKS, r_.same_tdi[i]);
        for (std::uint32_t k = 1; k <= tms_run; ++k) {
            consider(Kind::tms, false, k, TMS_LENGTH, !c_[i + k - 1].tms);
        }
        if (c_[i].sample) {
            consider(Kind::tms_read, true, 1, TMS_LENGTH, !c_[i].tms);
        }
        if (low && !c_[i].tms) {
            const std::uint32_t run = r_.tms_low[i];
            for (std::uint32_t k = 1; k <= std::min(MAX_SHIFT_BITS, run); ++k) {
                consider(Kind::bits, any_sampled(i, k), k, BITS_LENGTH, true);
            }
            for (const std::uint32_t span : {run, r_.same_sampling[i]}) {
                std::uint32_t bytes = std::min<std::uint32_t>(MAX_BYTES_PER_COMMAND, span / 8);
                if (bytes > max_read_bytes_ && any_sampled(i, std::size_t{8} * bytes)) {
                    bytes = max_read_bytes_;
                }
                if (bytes != 0) {
                    consider(Kind::bytes, any_sampled(i, std::size_t{8} * bytes), 8 * bytes,
                             BYTES_HEAD_LENGTH + bytes, true);
                }
            }
            const std::uint32_t idle = std::min(MAX_IDLE, r_.idle[i]);
            if (idle != 0) {
                consider(Kind::idle, false, idle, CLOCKS_LENGTH, true);
            }
        }
        best_[i][low ? 1 : 0] = cheapest;
        choice_[i][low ? 1 : 0] = chosen;
    }

    std::span<const Clock> c_;
    Runs r_;
    std::uint32_t max_read_bytes_;
    std::vector<std::array<Cost, 2>> best_;
    std::vector<std::array<Choice, 2>> choice_;
};

// A run of idle clocks the search saw shortened.
struct Shortened {
    std::size_t first = 0;      // in the search's clocks
    std::uint64_t kept = 0;     // clocks the search saw
    std::uint64_t commands = 0; // idle commands of MAX_IDLE clocks taken out
};

// The cheapest commands for clocks [from, to), appended to `out` with their
// positions.
void search(const Clocks& q, std::uint64_t from, std::uint64_t to, bool low, std::size_t max_readback,
            std::vector<Command>& out)
{
    // Nothing but idle clocks, the TMS line already low: idle commands.
    if (low && q.idle_end(from, to) == to) {
        for (std::uint64_t at = from; at < to; at += MAX_IDLE) {
            out.push_back(Command{Kind::idle, false, at,
                                  static_cast<std::uint32_t>(std::min<std::uint64_t>(MAX_IDLE, to - at))});
        }
        return;
    }
    const std::vector<Clock> all = q.clocks(from, to);
    std::vector<Clock> shortened_clocks;
    std::vector<Shortened> shortened;
    for (std::size_t i = 0; i < all.size();) {
        const bool idle = !all[i].tms && !all[i].tdi && !all[i].sample;
        std::size_t end = i + 1;
        while (end < all.size() && all[end] == all[i]) {
            ++end;
        }
        std::size_t kept = end - i;
        if (idle && kept >= SHORTEN_IDLE_FROM) {
            const std::uint64_t taken = (kept - KEEP_IDLE) / MAX_IDLE;
            kept -= static_cast<std::size_t>(taken * MAX_IDLE);
            shortened.push_back(Shortened{shortened_clocks.size(), kept, taken});
        }
        shortened_clocks.insert(shortened_clocks.end(), kept, all[i]);
        i = end;
    }
    const std::vector<Clock>& clocks = shortened.empty() ? all : shortened_clocks;
    const std::vector<Command> chosen = Search(clocks, max_readback).commands(low);
    // Back to the queue's positions, the idle commands taken out put back
    // after the command that holds the middle of their run: that command lies
    // within the run, so it leaves the TMS line low.
    std::uint64_t moved = 0;
    std::size_t next = 0;
    for (Command cmd : chosen) {
        const std::uint64_t first = cmd.first;
        cmd.first = from + first + moved;
        out.push_back(cmd);
        while (next < shortened.size()) {
            const Shortened& s = shortened[next];
            const std::uint64_t middle = s.first + s.kept / 2;
            if (middle < first || middle >= first + cmd.clocks) {
                break;
            }
            for (std::uint64_t k = 0; k < s.commands; ++k) {
                out.push_back(Command{Kind::idle, false, cmd.first + cmd.clocks + k * MAX_IDLE, MAX_IDLE});
            }
            moved += s.commands * MAX_IDLE;
            ++next;
        }
    }
}

// ---- windows ----------------------------------------------------------------

// Whether clocks [from, from + count) hold BULK_IDLE_RUN TDI-low clocks in a row.
bool holds_idle_run(const Clocks& q, std::uint64_t from, std::uint64_t count)
{
    unsigned zeros = 0;
    for (std::uint64_t k = 0; k < count; k += 64) {
        const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, count - k));
        const std::uint64_t w = q.tdi(from + k, n);
        if (w == 0) {
            zeros += n;
        } else {
            zeros += static_cast<unsigned>(std::countr_zero(w));
        }
        if (zeros >= BULK_IDLE_RUN) {
            return true;
        }
        if (w != 0) {
            zeros = static_cast<unsigned>(std::countl_zero(w)) - (64 - n);
        }
    }
    return false;
}

// Where the stretch of TMS-low clocks sampled alike that starts at `i` ends,
// before `to`.
std::uint64_t stretch_end(const Clocks& q, std::uint64_t i, std::uint64_t to, bool read) noexcept
{
    std::uint64_t end = i;
    while (end < to) {
        const std::size_t e = q.find(end);
        if (q.segment(e).tms || q.segment(e).sample != read) {
            break;
        }
        end = std::min(q.end(e), to);
    }
    return end;
}

// The commands of a window of clocks, appended to `out` in order.
class WindowPlan {
public:
    WindowPlan(const Clocks& q, bool& low, std::size_t max_readback, std::vector<Command>& out)
        : q_(q), low_(low), max_readback_(max_readback), out_(out),
          read_chunk_(8 * std::uint64_t{std::min<std::size_t>(MAX_BYTES_PER_COMMAND, max_readback)})
    {
    }

    // Clocks [w0, w1); `low` is the TMS line before w0, and after w1 on return.
    void plan(std::uint64_t w0, std::uint64_t w1)
    {
        searched_to_ = w0;
        std::uint64_t i = w0;
        while (i < w1) {
            const std::size_t s = q_.find(i);
            if (q_.segment(s).tms) {
                i = std::min(q_.end(s), w1);
                continue;
            }
            const bool read = q_.segment(s).sample;
            const std::uint64_t end = stretch_end(q_, i, w1, read);
            if (end - i >= BULK_FROM) {
                bulk(i, end, read);
            }
            i = end;
        }
        search_to(w1);
    }

private:
    void search_to(std::uint64_t to)
    {
        if (to == searched_to_) {
            return;
        }
        search(q_, searched_to_, to, low_, max_readback_, out_);
        low_ = !q_.tms(to - 1);
        searched_to_ = to;
    }

    // Byte commands to the end of the stretch [i, end), from its second clock
    // on at the earliest (the first leaves the TMS line low, whichever command
    // the search gives it): one for what does not fill a whole command, then
    // whole ones. The odd bits stay with the search, at the start, to plan
    // with the clocks before.
    void bulk(std::uint64_t i, std::uint64_t end, bool read)
    {
        const std::uint64_t chunk = read ? read_chunk_ : WRITE_CHUNK;
        for (std::uint64_t at = i + 1 + (end - i - 1) % 8; at < end;) {
            const std::uint64_t n = (end - at) % chunk == 0 ? chunk : (end - at) % chunk;
            if (read || !holds_idle_run(q_, at, n)) {
                search_to(at);
                out_.push_back(Command{Kind::bytes, read, at, static_cast<std::uint32_t>(n)});
                searched_to_ = at + n;
                low_ = true;
            }
            at += n;
        }
    }

    static constexpr std::uint64_t WRITE_CHUNK = std::uint64_t{8} * MAX_BYTES_PER_COMMAND;

    const Clocks& q_;
    bool& low_;
    std::size_t max_readback_;
    std::vector<Command>& out_;
    std::uint64_t read_chunk_;
    std::uint64_t searched_to_ = 0; // clocks before this are planned
};

// ---- encoding and batches ---------------------------------------------------

void encode(CommandStream& stream, const Clocks& q, const Command& cmd)
{
    switch (cmd.kind) {
    case Kind::tms:
    case Kind::tms_read: {
        std::uint8_t pattern = 0;
        for (std::uint32_t k = 0; k < cmd.clocks; ++k) {
            pattern = static_cast<std::uint8_t>(pattern | (q.tms(cmd.first + k) ? 1U : 0U) << k);
        }
        jtag::append_tms_clocks(stream, pattern, cmd.clocks, (q.tdi(cmd.first) & 1U) != 0,
                                cmd.kind == Kind::tms_read);
        break;
    }
    case Kind::bits:
        jtag::append_shift_bits(stream, static_cast<std::uint8_t>(q.tdi(cmd.first, cmd.clocks)), cmd.clocks,
                                cmd.read);
        break;
    case Kind::bytes: {
        std::array<std::uint8_t, MAX_BYTES_PER_COMMAND> data{};
        const std::uint32_t count = cmd.clocks / 8;
        for (std::uint32_t b = 0; b < count; b += 8) {
            const std::uint32_t n = std::min<std::uint32_t>(8, count - b);
            const std::uint64_t w = q.tdi(cmd.first + 8 * std::uint64_t{b}, 8 * n);
            for (std::uint32_t k = 0; k < n; ++k) {
                data[b + k] = static_cast<std::uint8_t>(w >> (8 * k) & 0xFFU);
            }
        }
        jtag::append_shift_bytes(stream, std::span<const std::uint8_t>(data.data(), count), cmd.read);
        break;
    }
    case Kind::idle:
        jtag::append_idle_run(stream, cmd.clocks);
        break;
    }
}

// Appends where the sampled clocks of a reading command lie in the read-back,
// from bit `offset` on.
void add_wanted(const Clocks& q, const Command& cmd, std::uint32_t offset, std::vector<BitRange>& wanted)
{
    for (std::uint64_t at = cmd.first; at < cmd.first + cmd.clocks;) {
        const std::size_t s = q.find(at);
        const std::uint64_t stop = std::min(q.end(s), cmd.first + cmd.clocks);
        if (q.segment(s).sample) {
            const auto first = static_cast<std::uint32_t>(offset + (at - cmd.first));
            const auto count = static_cast<std::uint32_t>(stop - at);
            if (!wanted.empty() && wanted.back().first + wanted.back().count == first) {
                wanted.back().count += count;
            } else {
                wanted.push_back(BitRange{first, count});
            }
        }
        at = stop;
    }
}

// A shift split after its first `fit` clocks, each side as byte and bit
// commands.
std::vector<Command> cut_shift(const Command& cmd, std::uint32_t fit)
{
    std::vector<Command> pieces;
    const auto add = [&](std::uint64_t first, std::uint32_t clocks) {
        const std::uint32_t whole = clocks / 8 * 8;
        if (whole != 0) {
            pieces.push_back(Command{Kind::bytes, cmd.read, first, whole});
        }
        if (clocks % 8 != 0) {
            pieces.push_back(Command{Kind::bits, cmd.read, first + whole, clocks % 8});
        }
    };
    add(cmd.first, fit);
    add(cmd.first + fit, cmd.clocks - fit);
    return pieces;
}

// The commands [from, to) of the next batch: as many as fit the read-back
// bound, a shift that does not fit cut where the bound is, so that each batch
// but the last reads back all it may.
struct Extent {
    std::size_t to = 0;
    std::uint64_t bits = 0; // read back
    std::size_t length = 0; // stream bytes, without the flush
};

Extent next_batch(std::vector<Command>& commands, std::size_t from, std::uint64_t bit_limit)
{
    Extent e{from, 0, 0};
    for (; e.to < commands.size(); ++e.to) {
        const Command& cmd = commands[e.to];
        const std::uint64_t adds = cmd.read ? cmd.clocks : 0;
        if (e.bits + adds > bit_limit) {
            const auto fit = static_cast<std::uint32_t>(bit_limit - e.bits);
            if (fit != 0 && (cmd.kind == Kind::bytes || cmd.kind == Kind::bits)) {
                const std::vector<Command> pieces = cut_shift(cmd, fit);
                commands.erase(commands.begin() + static_cast<std::ptrdiff_t>(e.to));
                commands.insert(commands.begin() + static_cast<std::ptrdiff_t>(e.to), pieces.begin(),
                                pieces.end());
                for (; e.bits < bit_limit; ++e.to) {
                    e.bits += commands[e.to].clocks;
                    e.length += command_length(commands[e.to]);
                }
            }
            if (e.bits != 0) {
                break; // (a first command larger than the bound goes alone)
            }
        }
        e.bits += adds;
        e.length += command_length(cmd);
    }
    return e;
}

Batch encode_batch(const Clocks& q, std::span<const Command> commands, const Extent& e)
{
    Batch batch;
    batch.readback_bytes = static_cast<std::size_t>((e.bits + 7) / 8);
    batch.stream.resize(e.length + (e.bits != 0 ? FLUSH_LENGTH : 0));
    CommandStream stream(batch.stream);
    std::uint32_t offset = 0;
    for (const Command& cmd : commands) {
        encode(stream, q, cmd);
        batch.clocks += cmd.clocks;
        if (cmd.read) {
            add_wanted(q, cmd, offset, batch.wanted);
            offset += cmd.clocks;
        }
    }
    if (e.bits != 0) {
        append_flush(stream);
    }
    return batch;
}

// Cuts the commands into batches by read-back size and encodes each one.
void make_batches(const Clocks& q, std::vector<Command>& commands, std::size_t max_readback, Plan& plan)
{
    const std::uint64_t bit_limit = 8 * std::uint64_t{max_readback};
    for (std::size_t from = 0; from < commands.size();) {
        const Extent e = next_batch(commands, from, bit_limit);
        plan.batches.push_back(encode_batch(q, std::span(commands).subspan(from, e.to - from), e));
        from = e.to;
    }
}

} // namespace

std::uint64_t wanted_count(const Batch& batch) noexcept
{
    std::uint64_t count = 0;
    for (const BitRange& r : batch.wanted) {
        count += r.count;
    }
    return count;
}

Plan plan_queue(const ClockQueue& queue, bool tms_low, std::size_t max_readback, const StopCheck& stop)
{
    Plan plan;
    plan.tms_low_after = tms_low;
    if (queue.empty()) {
        return plan;
    }
    max_readback = std::max<std::size_t>(max_readback, 1);
    const Clocks q(queue);
    std::vector<Command> commands;
    bool low = tms_low;
    WindowPlan window(q, low, max_readback, commands);
    for (std::uint64_t start = 0; start < q.size(); start += PLAN_WINDOW) {
        if (stop && stop()) {
            plan.stopped = true;
            return plan;
        }
        window.plan(start, std::min(start + PLAN_WINDOW, q.size()));
    }
    plan.tms_low_after = low;
    make_batches(q, commands, max_readback, plan);
    return plan;
}

Plan plan_sequence(std::span<const Clock> clocks, bool tms_low, std::size_t max_readback)
{
    ClockQueue queue;
    for (const Clock& c : clocks) {
        queue.push(c);
    }
    return plan_queue(queue, tms_low, max_readback);
}

} // namespace orv::engine
