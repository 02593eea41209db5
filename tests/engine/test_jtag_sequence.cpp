// The sequence engine against the emulator's TAP chain: random clock
// sequences, given clock by clock or as runs, must give the TDO and the TAP
// states that clocking a reference chain one clock at a time gives, within
// the read-back bound, in no more stream bytes than the JTAG library spends
// on the same scans; runs plan as the clocks they stand for, and a run of any
// length costs what its commands cost.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "lib/wire/jtag_sequence.hpp"
#include "lib/wire/wire.hpp"
#include "orv_tapwire.h"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace orv::engine {
namespace {

using emu::Adapter;

constexpr std::uint32_t TIMEOUT = 100;

struct Reference {
    emu::JtagChain chain = emu::make_default_board_parts().jtag;
    std::vector<std::uint8_t> tdo;
    void run(std::span<const Clock> clocks)
    {
        for (const Clock& c : clocks) {
            const bool level = chain.clock(c.tms, c.tdi);
            if (c.sample) {
                tdo.push_back(level ? 1 : 0);
            }
        }
    }
};

// Random work: stretches of random TMS (the TAP wanders through every state)
// and long TMS-low stretches (shifts and idle) with random TDI and sampling.
std::vector<Clock> random_sequence(std::mt19937& rng, std::size_t length)
{
    std::vector<Clock> clocks;
    std::uniform_int_distribution<int> kind(0, 3);
    while (clocks.size() < length) {
        const std::size_t stretch = std::min<std::size_t>(length - clocks.size(), 1 + rng() % 3000);
        const int k = kind(rng);
        const unsigned sample_mode = rng() % 4; // none, all, random, runs
        bool run_sample = false;
        for (std::size_t i = 0; i < stretch; ++i) {
            if (sample_mode == 3 && rng() % 64 == 0) {
                run_sample = !run_sample;
            }
            Clock c;
            c.tms = k == 0 ? (rng() & 1) != 0 : (k == 1 && i + 1 == stretch);
            c.tdi = k == 3 ? false : (rng() & 1) != 0;
            c.sample = sample_mode == 1 || (sample_mode == 2 && (rng() & 1) != 0) ||
                       (sample_mode == 3 && run_sample);
            clocks.push_back(c);
        }
    }
    return clocks;
}

TEST(JtagSequence, RandomSequencesMatchAPerClockReferenceModel)
{
    std::mt19937 rng(20261208);
    std::array<bool, 16> states_seen{};
    for (const std::size_t length : {1u, 2u, 7u, 8u, 9u, 63u, 500u, 4096u, 30000u, 100000u}) {
        for (int round = 0; round < 3; ++round) {
            auto adapter = emu::make_default_board();
            emu::InprocUsb usb(*adapter);
            Reference reference;
            JtagSequencer sequencer(usb.handle(), TIMEOUT, 64 + rng() % 512);
            const std::vector<Clock> clocks = random_sequence(rng, length);
            for (const Clock& c : clocks) {
                sequencer.queue(c);
                const bool level = reference.chain.clock(c.tms, c.tdi);
                if (c.sample) {
                    reference.tdo.push_back(level ? 1 : 0);
                }
                states_seen[static_cast<std::size_t>(reference.chain.tap(0).state())] = true;
            }
            std::vector<std::uint8_t> tdo;
            ASSERT_EQ(sequencer.flush(tdo), 0) << "length " << length;
            ASSERT_EQ(tdo, reference.tdo) << "length " << length << " round " << round;
            for (std::size_t t = 0; t < reference.chain.size(); ++t) {
                EXPECT_EQ(adapter->jtag().tap(t).state(), reference.chain.tap(t).state()) << "tap " << t;
                EXPECT_EQ(adapter->jtag().tap(t).user(), reference.chain.tap(t).user()) << "tap " << t;
            }
            EXPECT_EQ(adapter->jtag().tap(0).tck_count(), length);
            EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
            EXPECT_EQ(adapter->readback_size(), 0u) << "every byte read back was collected";
        }
    }
    for (std::size_t s = 0; s < states_seen.size(); ++s) {
        EXPECT_TRUE(states_seen[s]) << "TAP state " << s << " never reached";
    }
}

TEST(JtagSequence, BatchesStayWithinTheReadBackBoundAndKeepClockOrderAcrossThem)
{
    std::mt19937 rng(7);
    std::vector<Clock> clocks(20000);
    for (Clock& c : clocks) {
        c = Clock{false, (rng() & 1) != 0, (rng() % 3) != 0};
    }
    for (const std::size_t bound : {1u, 3u, 64u, 512u, 4096u}) {
        const Plan plan = plan_sequence(clocks, true, bound);
        std::size_t wanted = 0;
        std::size_t clocked = 0;
        for (const Batch& b : plan.batches) {
            EXPECT_LE(b.readback_bytes, bound);
            EXPECT_EQ(b.stream.back() == OP_FLUSH, b.readback_bytes != 0);
            wanted += wanted_count(b);
            clocked += b.clocks;
        }
        EXPECT_EQ(wanted, static_cast<std::size_t>(std::count_if(clocks.begin(), clocks.end(),
                                                                 [](const Clock& c) { return c.sample; })));
        EXPECT_EQ(clocked, clocks.size()) << "each clock in one batch";
        if (bound == 512) {
            // TMS stays low: every clock is sampled by the shift commands, and
            // 20000 bits fill five batches of at most 4096.
            EXPECT_EQ(plan.batches.size(), 5u);
        }
    }
    // Through the adapter: one OUT and one exchange per batch.
    auto adapter = emu::make_default_board();
    Reference reference;
    reference.run(clocks);
    emu::InprocUsb usb(*adapter);
    JtagSequencer sequencer(usb.handle(), TIMEOUT, 100);
    for (const Clock& c : clocks) {
        sequencer.queue(c);
    }
    std::vector<std::uint8_t> tdo;
    ASSERT_EQ(sequencer.flush(tdo), 0);
    EXPECT_EQ(tdo, reference.tdo);
    const std::size_t batches = plan_sequence(clocks, false, 100).batches.size();
    EXPECT_EQ(adapter->counts().out, batches);
    EXPECT_EQ(adapter->counts().data_reads, batches);
    EXPECT_EQ(sequencer.stats().exchanges, batches);
}

TEST(JtagSequence, BatchesReadBackAsMuchAsTheBoundLetsThemAndLongShiftsMatchTheReference)
{
    // Scans of every size, about one in three read: only the bound cuts the
    // batches, so every batch but the last reads back the whole bound, and
    // the chain sees exactly what clocking it one clock at a time gives.
    std::mt19937 rng(11);
    std::vector<Clock> clocks;
    std::size_t sampled = 0;
    for (int scan = 0; scan < 60; ++scan) {
        const bool read = rng() % 3 == 0;
        for (const int tms : {1, 0, 0}) {
            clocks.push_back(Clock{tms != 0, false, false});
        }
        const std::size_t bits = 1 + rng() % 5000;
        for (std::size_t i = 0; i < bits; ++i) {
            clocks.push_back(Clock{i + 1 == bits, (rng() & 1) != 0, read});
        }
        sampled += read ? bits : 0;
        clocks.push_back(Clock{true, false, false});
        clocks.push_back(Clock{false, false, false});
    }
    for (const std::size_t bound : {1u, 64u, 100u, 512u, 4096u}) {
        const Plan plan = plan_sequence(clocks, false, bound);
        std::size_t read_back = 0;
        for (std::size_t b = 0; b < plan.batches.size(); ++b) {
            read_back += wanted_count(plan.batches[b]);
            if (b + 1 < plan.batches.size()) {
                EXPECT_GE(8 * plan.batches[b].readback_bytes + 7, 8 * bound)
                    << "bound " << bound << " batch " << b;
            }
        }
        EXPECT_EQ(read_back, sampled);
        EXPECT_EQ(plan.batches.size(), (sampled + 8 * bound - 1) / (8 * bound)) << "bound " << bound;

        auto adapter = emu::make_default_board();
        emu::InprocUsb usb(*adapter);
        JtagSequencer sequencer(usb.handle(), TIMEOUT, bound);
        for (const Clock& c : clocks) {
            sequencer.queue(c);
        }
        Reference reference;
        reference.run(clocks);
        std::vector<std::uint8_t> tdo;
        ASSERT_EQ(sequencer.flush(tdo), 0);
        EXPECT_EQ(tdo, reference.tdo) << "bound " << bound;
        EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
    }
}

// The clocks of an IR or DR scan from Run-Test/Idle back to Run-Test/Idle, as a
// client like OpenOCD clocks it.
std::vector<Clock> scan_clocks(bool ir, const std::vector<std::uint8_t>& tdi, unsigned bits, bool capture)
{
    std::vector<Clock> c;
    const auto move = [&](std::initializer_list<int> tms) {
        for (int t : tms) {
            c.push_back(Clock{t != 0, false, false});
        }
    };
    ir ? move({1, 1, 0, 0}) : move({1, 0, 0});
    for (unsigned i = 0; i < bits; ++i) {
        c.push_back(Clock{i + 1 == bits, (tdi[i / 8] >> (i % 8) & 1U) != 0, capture});
    }
    move({1, 0});
    return c;
}

TEST(JtagSequence, ScansCostNoMoreStreamBytesThanTheLibraryAndReadTheSame)
{
    std::mt19937 rng(3);
    for (const unsigned bits : {1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 32u, 33u, 1024u, 2056u, 2057u, 65536u}) {
        for (const bool capture : {false, true}) {
            std::vector<std::uint8_t> tdi((bits + 7) / 8);
            for (auto& b : tdi) {
                b = static_cast<std::uint8_t>(rng());
            }
            std::vector<std::uint8_t> library(tdi.size() + 64 + tdi.size() / 64);
            std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
            auto capacity = static_cast<std::int32_t>(library.size());
            std::int32_t written = 0;
            ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, static_cast<std::int32_t>(bits), tdi.data(), 0,
                                                 capture ? 1 : 0, library.data(), &capacity, &written),
                      0);
            const std::vector<Clock> clocks = scan_clocks(false, tdi, bits, capture);
            const Plan plan = plan_sequence(clocks, true, 1 << 20);
            ASSERT_EQ(plan.batches.size(), 1u);
            EXPECT_LE(plan.batches[0].stream.size(), static_cast<std::size_t>(written)) << bits << " bits";
            // It may sample a clock of the path as well when that saves a command.
            EXPECT_LE(plan.batches[0].readback_bytes, capture ? tdi.size() + 1 : 0u) << bits << " bits";
            EXPECT_TRUE(plan.tms_low_after);
        }
    }
}

TEST(JtagSequence, ShiftsWaitForTheTmsLineToBeLowAndIdleRunsBecomeClockCommands)
{
    // The TMS line is high after the reset clocks; a TMS-low stretch must not
    // start with a shift command then.
    std::vector<Clock> clocks(5, Clock{true, false, false});
    clocks.insert(clocks.end(), 100000, Clock{false, false, false});
    const Plan plan = plan_sequence(clocks, false);
    ASSERT_EQ(plan.batches.size(), 1u);
    const auto& s = plan.batches[0].stream;
    ASSERT_GE(s.size(), 3u);
    EXPECT_EQ(s[0], OP_TMS_OUT);
    const unsigned tms_clocks = s[1] + 1U;
    EXPECT_GT(tms_clocks, 5u) << "the five TMS-high clocks and at least one low one in one TMS command";
    EXPECT_EQ(s[2] & 0x7F, 0x1F);
    // The rest: idle clocks in the JTAG count form, at most 32767 each.
    std::size_t idle = 0;
    for (std::size_t i = 3; i < s.size(); i += 3) {
        ASSERT_EQ(s[i], OP_CLOCKS);
        const unsigned n = (unsigned{s[i + 2]} << 7) | ((s[i + 1] + 1U) & 0x7FU);
        EXPECT_EQ(s[i + 1], (n - 1) & 0xFF);
        idle += n;
    }
    EXPECT_EQ(tms_clocks + idle, clocks.size());
    EXPECT_EQ(s.size(), 3u + 3 * 4) << "one TMS command and four clock commands";
}

// Random runs: TMS moves, shifts of stored bits (some sampled, some long),
// constant TDI of either level, long idle runs; and the same as clocks.
struct RunSequence {
    std::vector<Run> runs;
    std::vector<std::vector<std::uint8_t>> data; // the runs' stored bits
    std::vector<Clock> clocks;
};

RunSequence random_runs(std::mt19937& rng, std::size_t count)
{
    RunSequence r;
    r.data.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        Run run;
        const auto kind = static_cast<unsigned>(rng() % 6);
        run.tms = kind == 0 || (kind == 5 && rng() % 2 == 0);
        run.sample = kind != 4 && rng() % 3 == 0;
        run.clocks = kind == 0 ? 1 + rng() % 6 : kind == 4 ? 30000 + rng() % 300000 : 1 + rng() % 9000;
        auto& bytes = r.data.emplace_back();
        if (kind == 1 || kind == 2) {
            // Some stored bits, the rest (if any) at the fill level.
            bytes.resize(static_cast<std::size_t>(rng() % (run.clocks / 8 + 2)));
            for (auto& b : bytes) {
                b = kind == 2 && rng() % 4 != 0 ? 0 : static_cast<std::uint8_t>(rng());
            }
            run.tdi = BitView{bytes, rng() % 8, rng() % 2 == 0};
        } else {
            run.tdi = BitView{{}, 0, kind == 3 && rng() % 2 == 0};
        }
        r.runs.push_back(run);
        for (std::uint64_t i = 0; i < run.clocks; ++i) {
            r.clocks.push_back(Clock{run.tms, run.tdi[i], run.sample});
        }
    }
    return r;
}

std::size_t stream_bytes(const Plan& plan)
{
    return std::accumulate(plan.batches.begin(), plan.batches.end(), std::size_t{0},
                           [](std::size_t n, const Batch& b) { return n + b.stream.size(); });
}

TEST(JtagSequence, RunsPlanAsTheClocksTheyStandForAndReadTheSame)
{
    std::mt19937 rng(1701);
    for (int round = 0; round < 12; ++round) {
        const RunSequence seq = random_runs(rng, 20 + rng() % 40);
        const std::size_t bound = 1 + rng() % 1024;
        const bool low = rng() % 2 == 0;
        ClockQueue queue;
        for (const engine::Run& run : seq.runs) {
            queue.push(run);
        }
        ASSERT_EQ(queue.clocks(), seq.clocks.size());
        const Plan by_runs = plan_queue(queue, low, bound);
        const Plan by_clocks = plan_sequence(seq.clocks, low, bound);
        ASSERT_EQ(by_runs.batches.size(), by_clocks.batches.size()) << "round " << round;
        for (std::size_t b = 0; b < by_runs.batches.size(); ++b) {
            EXPECT_EQ(by_runs.batches[b].stream, by_clocks.batches[b].stream)
                << "round " << round << " batch " << b;
            EXPECT_EQ(wanted_count(by_runs.batches[b]), wanted_count(by_clocks.batches[b]));
            EXPECT_LE(by_runs.batches[b].readback_bytes, bound);
        }
        EXPECT_EQ(by_runs.tms_low_after, by_clocks.tms_low_after);

        // Through the adapter, with the levels handed over packed.
        auto adapter = emu::make_default_board();
        emu::InprocUsb usb(*adapter);
        Reference reference;
        reference.run(seq.clocks);
        JtagSequencer sequencer(usb.handle(), TIMEOUT, bound);
        for (const engine::Run& run : seq.runs) {
            sequencer.queue(run);
        }
        BitBuffer levels;
        std::uint64_t clocks = 0;
        ASSERT_EQ(sequencer.flush([&](const BitView& batch, std::uint64_t count, std::uint64_t ran) {
            levels.append(batch, count);
            clocks += ran;
            return true;
        }),
                  0);
        EXPECT_EQ(clocks, seq.clocks.size());
        ASSERT_EQ(levels.size(), reference.tdo.size());
        for (std::size_t i = 0; i < reference.tdo.size(); ++i) {
            ASSERT_EQ(levels.view()[i], reference.tdo[i] != 0) << "round " << round << " level " << i;
        }
        EXPECT_EQ(adapter->jtag().tap(0).state(), reference.chain.tap(0).state());
        EXPECT_EQ(adapter->jtag().tap(0).tck_count(), seq.clocks.size());
        EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
        EXPECT_EQ(sequencer.stats().stream_bytes, stream_bytes(plan_queue(queue, false, bound)))
            << "a sequencer starts with the TMS line taken as high";
    }
}

TEST(JtagSequence, AnIdleRunOfAnyLengthCostsItsIdleCommandsAndAStopLeavesNothingPlanned)
{
    // From Run-Test/Idle, a hundred million idle clocks, one clock out of it,
    // and back: planned window by window, each run of idle clocks as the
    // fewest idle commands; the search never sees more than a few thousand.
    ClockQueue queue;
    queue.push(engine::Run{100'000'000, false, false, {}});
    queue.push(engine::Run{1, true, false, {}});
    queue.push(engine::Run{2, false, false, {}});
    const Plan plan = plan_queue(queue, true);
    ASSERT_EQ(plan.batches.size(), 1u);
    const auto& s = plan.batches[0].stream;
    std::uint64_t idle = 0;
    std::size_t i = 0;
    for (; i < s.size() && s[i] == OP_CLOCKS; i += 3) {
        idle += (unsigned{s[i + 2]} << 7 | ((s[i + 1] + 1U) & 0x7FU)) + 0U;
    }
    EXPECT_GE(idle, 100'000'000u - 7);
    // Windows of 2^18 clocks, each its own commands.
    const std::uint64_t window = std::uint64_t{1} << 18;
    const std::uint64_t whole = 100'000'000 / window;
    const std::uint64_t least = whole * ((window + 32766) / 32767) + (100'000'000 % window + 32766) / 32767;
    EXPECT_LE(s.size(), 3 * least + 6);
    EXPECT_TRUE(plan.tms_low_after);

    int asked = 0;
    const Plan stopped = plan_queue(queue, true, 512, [&] { return ++asked > 3; });
    EXPECT_TRUE(stopped.stopped);
    EXPECT_TRUE(stopped.batches.empty());
}

} // namespace
} // namespace orv::engine
