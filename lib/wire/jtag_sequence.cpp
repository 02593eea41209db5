#include "lib/wire/jtag_sequence.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/readback_policy.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/transport.hpp"

namespace orv::engine {

namespace {

constexpr unsigned MAX_SHIFT_BITS = MAX_BITS_PER_COMMAND - 1; // the library's bit commands carry 1..7

enum class Kind : std::uint8_t { tms, tms_read, bits, bytes, idle };

// One planned command: `clocks` clocks from `first`.
struct Command {
    Kind kind;
    bool read;
    std::uint32_t first;
    std::uint32_t clocks;
};

// Clocks planned at a time: bounds the planner's memory (about 50 bytes a
// clock); a cut costs at most a few stream bytes.
constexpr std::size_t PLAN_WINDOW = std::size_t{1} << 18;

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

// The cheapest commands for the whole sequence, found backwards: best[i][low]
// is the cost of clocks i.. when the TMS line is low (1) or high (0) before
// clock i.
std::vector<Command> cheapest_commands(std::span<const Clock> c, bool tms_low, std::size_t max_readback)
{
    // A sampling byte command must fit one batch's read-back on its own.
    const auto max_read_bytes =
        static_cast<std::uint32_t>(std::min<std::size_t>(MAX_BYTES_PER_COMMAND, max_readback));
    const std::size_t n = c.size();
    const Runs r = find_runs(c);
    std::vector<std::array<Cost, 2>> best(n + 1, {UNREACHABLE, UNREACHABLE});
    std::vector<std::array<Choice, 2>> choice(n + 1);
    best[n] = {Cost{}, Cost{}};
    const auto any_sampled = [&](std::size_t from, std::size_t count) {
        return r.samples_before[from + count] != r.samples_before[from];
    };
    for (std::size_t i = n; i-- > 0;) {
        for (int low = 0; low < 2; ++low) {
            Cost cheapest = UNREACHABLE;
            Choice chosen;
            const auto consider = [&](Kind kind, bool read, std::uint32_t clocks, std::size_t bytes,
                                      bool low_after) {
                const Cost& rest = best[i + clocks][low_after ? 1 : 0];
                const Cost cost{rest.bytes + static_cast<std::uint32_t>(bytes),
                                rest.bits + (read ? clocks : 0)};
                if (cost < cheapest) {
                    cheapest = cost;
                    chosen = Choice{kind, read, clocks};
                }
            };
            // TMS clocks with one TDI level, none sampled.
            const std::uint32_t tms_run = std::min<std::uint32_t>(MAX_TMS_CLOCKS, r.same_tdi[i]);
            for (std::uint32_t k = 1; k <= tms_run; ++k) {
                consider(Kind::tms, false, k, TMS_LENGTH, !c[i + k - 1].tms);
            }
            if (c[i].sample) {
                consider(Kind::tms_read, true, 1, TMS_LENGTH, !c[i].tms);
            }
            if (low == 1 && !c[i].tms) {
                const std::uint32_t run = r.tms_low[i];
                for (std::uint32_t k = 1; k <= std::min(MAX_SHIFT_BITS, run); ++k) {
                    consider(Kind::bits, any_sampled(i, k), k, BITS_LENGTH, true);
                }
                for (const std::uint32_t span : {run, r.same_sampling[i]}) {
                    std::uint32_t bytes = std::min<std::uint32_t>(MAX_BYTES_PER_COMMAND, span / 8);
                    if (bytes > max_read_bytes && any_sampled(i, 8 * bytes)) {
                        bytes = max_read_bytes;
                    }
                    if (bytes != 0) {
                        consider(Kind::bytes, any_sampled(i, 8 * bytes), 8 * bytes, BYTES_HEAD_LENGTH + bytes,
                                 true);
                    }
                }
                const std::uint32_t idle = std::min<std::uint32_t>(MAX_IDLE_CLOCKS, r.idle[i]);
                if (idle != 0) {
                    consider(Kind::idle, false, idle, CLOCKS_LENGTH, true);
                }
            }
            best[i][low] = cheapest;
            choice[i][low] = chosen;
        }
    }
    std::vector<Command> commands;
    int low = tms_low ? 1 : 0;
    for (std::size_t i = 0; i < n;) {
        const Choice& ch = choice[i][low];
        commands.push_back(Command{ch.kind, ch.read, static_cast<std::uint32_t>(i), ch.clocks});
        i += ch.clocks;
        if (ch.kind == Kind::tms || ch.kind == Kind::tms_read) {
            low = c[i - 1].tms ? 0 : 1;
        }
    }
    return commands;
}

// Long shifts: inside a stretch of TMS-low clocks sampled alike, byte
// commands as long as they may be are what the search above ends up choosing,
// clock by clock at a cost per clock; they are taken directly here, and the
// search runs only on what lies between them. A command that would hold a run
// of BULK_IDLE_RUN unsampled TDI-low clocks is left to the search, which may
// clock them as idle clocks instead.
constexpr std::uint32_t BULK_IDLE_RUN = 64;
// Stretches shorter than this are left to the search: there the few bytes it
// saves around the edges still count.
constexpr std::size_t BULK_FROM = 512;

// Whether clocks [from, from + count) are worth an idle command inside.
bool holds_idle_run(std::span<const Clock> c, std::size_t from, std::size_t count)
{
    std::uint32_t zeros = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        zeros = c[i].tdi ? 0 : zeros + 1;
        if (zeros == BULK_IDLE_RUN) {
            return true;
        }
    }
    return false;
}

std::vector<Command> choose_commands(std::span<const Clock> c, bool tms_low, std::size_t max_readback)
{
    const auto read_chunk =
        static_cast<std::uint32_t>(8 * std::min<std::size_t>(MAX_BYTES_PER_COMMAND, max_readback));
    const std::uint32_t write_chunk = 8 * MAX_BYTES_PER_COMMAND;
    std::vector<Command> commands;
    std::size_t searched_to = 0; // clocks before this are planned
    bool low = tms_low;
    const auto search = [&](std::size_t to) {
        if (to == searched_to) {
            return;
        }
        for (Command cmd : cheapest_commands(c.subspan(searched_to, to - searched_to), low, max_readback)) {
            cmd.first += static_cast<std::uint32_t>(searched_to);
            commands.push_back(cmd);
        }
        low = !c[to - 1].tms;
        searched_to = to;
    };
    std::size_t i = 0;
    while (i < c.size()) {
        if (c[i].tms) {
            ++i;
            continue;
        }
        // A stretch of TMS-low clocks sampled alike: [i, end).
        std::size_t end = i + 1;
        while (end < c.size() && !c[end].tms && c[end].sample == c[i].sample) {
            ++end;
        }
        const bool read = c[i].sample;
        const std::uint32_t chunk = read ? read_chunk : write_chunk;
        // Byte commands to the end of the stretch, from its second clock on
        // at the earliest (the first leaves the TMS line low, whichever
        // command the search gives it): one for what does not fill a whole
        // command, then whole ones. The odd bits stay with the search, at the
        // start, to plan with the clocks before.
        if (end - i >= BULK_FROM) {
            std::size_t at = i + 1 + (end - i - 1) % 8;
            while (at < end) {
                const std::size_t n = (end - at) % chunk == 0 ? chunk : (end - at) % chunk;
                if (read || !holds_idle_run(c, at, n)) {
                    search(at);
                    commands.push_back(Command{Kind::bytes, read, static_cast<std::uint32_t>(at),
                                               static_cast<std::uint32_t>(n)});
                    searched_to = at + n;
                    low = true;
                }
                at += n;
            }
        }
        i = end;
    }
    search(c.size());
    return commands;
}

void encode(CommandStream& stream, std::span<const Clock> c, const Command& cmd)
{
    const auto tdi_bits = [&](std::uint32_t from, std::uint32_t count) {
        std::uint8_t byte = 0;
        for (std::uint32_t k = 0; k < count; ++k) {
            byte = static_cast<std::uint8_t>(byte | (c[from + k].tdi ? 1U : 0U) << k);
        }
        return byte;
    };
    switch (cmd.kind) {
    case Kind::tms:
    case Kind::tms_read: {
        std::uint8_t pattern = c[cmd.first].tdi ? TMS_TDI_BIT : 0;
        for (std::uint32_t k = 0; k < cmd.clocks; ++k) {
            pattern = static_cast<std::uint8_t>(pattern | (c[cmd.first + k].tms ? 1U : 0U) << k);
        }
        append_tms(stream, pattern, cmd.clocks, cmd.kind == Kind::tms_read);
        break;
    }
    case Kind::bits:
        append_bits(stream, BitOrder::lsb_first, cmd.read, cmd.clocks, tdi_bits(cmd.first, cmd.clocks));
        break;
    case Kind::bytes: {
        std::array<std::uint8_t, MAX_BYTES_PER_COMMAND> data{};
        const std::uint32_t count = cmd.clocks / 8;
        for (std::uint32_t b = 0; b < count; ++b) {
            data[b] = tdi_bits(cmd.first + 8 * b, 8);
        }
        append_bytes(stream, BitOrder::lsb_first, cmd.read,
                     std::span<const std::uint8_t>(data.data(), count));
        break;
    }
    case Kind::idle:
        append_clocks(stream, OP_CLOCKS, cmd.clocks, JTAG_CLOCK_COUNT);
        break;
    }
}

// A shift split after its first `fit` clocks, each side as byte and bit
// commands.
std::vector<Command> cut_shift(const Command& cmd, std::uint32_t fit)
{
    std::vector<Command> pieces;
    const auto add = [&](std::uint32_t first, std::uint32_t clocks) {
        if (clocks / 8 != 0) {
            pieces.push_back(Command{Kind::bytes, cmd.read, first, clocks / 8 * 8});
        }
        if (clocks % 8 != 0) {
            pieces.push_back(Command{Kind::bits, cmd.read, first + clocks / 8 * 8, clocks % 8});
        }
    };
    add(cmd.first, fit);
    add(cmd.first + fit, cmd.clocks - fit);
    return pieces;
}

} // namespace

Plan plan_sequence(std::span<const Clock> clocks, bool tms_low, std::size_t max_readback)
{
    Plan plan;
    plan.tms_low_after = tms_low;
    if (clocks.empty()) {
        return plan;
    }
    max_readback = std::max<std::size_t>(max_readback, 1);
    std::vector<Command> commands;
    bool low = tms_low;
    for (std::size_t start = 0; start < clocks.size(); start += PLAN_WINDOW) {
        const auto window = clocks.subspan(start, std::min(PLAN_WINDOW, clocks.size() - start));
        for (Command cmd : choose_commands(window, low, max_readback)) {
            if (cmd.kind == Kind::tms || cmd.kind == Kind::tms_read) {
                low = !window[cmd.first + cmd.clocks - 1].tms;
            }
            cmd.first += static_cast<std::uint32_t>(start);
            commands.push_back(cmd);
        }
    }
    plan.tms_low_after = low;
    const std::uint64_t bit_limit = 8 * std::uint64_t{max_readback};

    // Cut into batches by read-back size, then encode each one.
    std::size_t from = 0;
    while (from < commands.size()) {
        std::size_t to = from;
        std::uint64_t bits = 0;
        std::size_t length = 0;
        for (; to < commands.size(); ++to) {
            const Command& cmd = commands[to];
            const std::uint64_t adds = cmd.read ? cmd.clocks : 0;
            if (bits + adds > bit_limit) {
                // A shift that does not fit is cut where the bound is, so that
                // each batch but the last reads back all it may.
                const auto fit = static_cast<std::uint32_t>(bit_limit - bits);
                if (fit != 0 && (cmd.kind == Kind::bytes || cmd.kind == Kind::bits)) {
                    const std::vector<Command> pieces = cut_shift(cmd, fit);
                    commands.erase(commands.begin() + static_cast<std::ptrdiff_t>(to));
                    commands.insert(commands.begin() + static_cast<std::ptrdiff_t>(to), pieces.begin(),
                                    pieces.end());
                    for (; bits < bit_limit; ++to) {
                        bits += commands[to].clocks;
                        length += command_length(commands[to]);
                    }
                }
                if (bits != 0) {
                    break; // (a first command larger than the bound goes alone)
                }
            }
            bits += adds;
            length += command_length(cmd);
        }
        Batch batch;
        batch.readback_bytes = static_cast<std::size_t>((bits + 7) / 8);
        batch.stream.resize(length + (bits != 0 ? FLUSH_LENGTH : 0));
        CommandStream stream(batch.stream);
        std::uint32_t offset = 0;
        for (std::size_t k = from; k < to; ++k) {
            const Command& cmd = commands[k];
            encode(stream, clocks, cmd);
            batch.clocks += cmd.clocks;
            if (!cmd.read) {
                continue;
            }
            for (std::uint32_t j = 0; j < cmd.clocks; ++j) {
                if (clocks[cmd.first + j].sample) {
                    batch.wanted_bits.push_back(offset + j);
                }
            }
            offset += cmd.clocks;
        }
        if (bits != 0) {
            append_flush(stream);
        }
        plan.batches.push_back(std::move(batch));
        from = to;
    }
    return plan;
}

std::int32_t UsbWire::send(std::span<const std::uint8_t> stream)
{
    return orv::send(handle_, stream, timeout_);
}

std::int32_t UsbWire::read_back(std::span<std::uint8_t> bytes)
{
    return orv::read_back(handle_, bytes, timeout_, JTAG_READBACK);
}

std::int32_t JtagSequencer::flush(std::vector<std::uint8_t>& tdo, const BatchDone& batch_done)
{
    const Plan plan = plan_sequence(pending_, tms_low_, max_readback_);
    stats_.flushes += pending_.empty() ? 0 : 1;
    stats_.clocks += pending_.size();
    pending_.clear();
    std::vector<std::uint8_t> readback;
    for (const Batch& batch : plan.batches) {
        std::int32_t rc = wire_->send(batch.stream);
        ++stats_.out_transfers;
        stats_.stream_bytes += batch.stream.size();
        if (rc == RESULT_OK && batch.readback_bytes != 0) {
            readback.assign(batch.readback_bytes, 0);
            rc = wire_->read_back(readback);
            ++stats_.exchanges;
            stats_.readback_bytes += batch.readback_bytes;
        }
        if (rc != RESULT_OK) {
            tms_low_ = false;
            return rc;
        }
        for (const std::uint32_t bit : batch.wanted_bits) {
            tdo.push_back(static_cast<std::uint8_t>(readback[bit / 8] >> (bit % 8) & 1U));
        }
        if (batch_done && !batch_done(tdo.size(), batch.clocks)) {
            tms_low_ = false; // the rest of the plan never ran
            return RESULT_OK;
        }
    }
    tms_low_ = plan.tms_low_after;
    return RESULT_OK;
}

} // namespace orv::engine
