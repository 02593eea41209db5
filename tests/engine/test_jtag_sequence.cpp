// The sequence engine against the emulator's TAP chain: random clock
// sequences must give the TDO and the TAP states that clocking a reference
// chain one clock at a time gives, within the read-back bound, in no more
// stream bytes than the JTAG library spends on the same scans.
#include <gtest/gtest.h>

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
            wanted += b.wanted_bits.size();
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
            read_back += plan.batches[b].wanted_bits.size();
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

} // namespace
} // namespace orv::engine
