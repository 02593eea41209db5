// XSVF read into the model SVF is read into, compiled and played by the
// same player: every command's encoding as the clocks it makes, the
// reference player's walks and its repeat of a scan whose TDO differs (on
// the emulator's chain), malformed files refused with their offset, and an
// XSVF and an SVF written by Xilinx's iMPACT for one design driving the same
// scans in the same order.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "lib/formats/svf/parser.hpp"
#include "lib/formats/svf/player.hpp"
#include "lib/formats/xsvf/reader.hpp"
#include "lib/wire/tap_state.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace orv::xsvf {
namespace {

using svf::Origin;
using svf::TapState;

std::vector<std::uint8_t> read_file(const std::string& name)
{
    std::ifstream in(std::string(SVF_FILES) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An XSVF file as bytes: commands and their arguments, big-endian.
struct File {
    std::vector<std::uint8_t> bytes;
    File& operator()(std::initializer_list<std::uint8_t> more)
    {
        bytes.insert(bytes.end(), more);
        return *this;
    }
    File& u32(std::uint32_t v)
    {
        return (*this)({static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                        static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    }
};

// One IR or DR scan as the chain sees it: its TDI from the first bit shifted.
struct Scanned {
    bool ir = false;
    std::string tdi; // '0' and '1', first shifted first
    bool sampled = false;
    friend bool operator==(const Scanned&, const Scanned&) = default;
};

// What the compiled clocks do on the TAP: the states walked, the scans
// shifted, the waits.
struct Record {
    TapState state = svf::STATE_RESET;
    std::vector<TapState> walked;
    std::vector<Scanned> scans;
    std::string calls;
    bool in_scan = false;

    // The states walked from clock `from` on.
    [[nodiscard]] std::string path(std::size_t from) const
    {
        std::string text;
        for (std::size_t i = from; i < walked.size(); ++i) {
            text += (text.empty() ? "" : " ") +
                    std::string(svf::STATE_NAMES[static_cast<std::size_t>(walked[i])]);
        }
        return text;
    }
};

struct Recorder final : svf::Target, Record {
    std::vector<bool> answers; // what passed() says, in turn (then yes)
    std::size_t asked = 0;

    void clock(bool tms, bool tdi, bool sample)
    {
        const bool shifting = state == svf::STATE_DRSHIFT || state == svf::STATE_IRSHIFT;
        if (shifting) {
            if (!in_scan) {
                scans.push_back(Scanned{state == svf::STATE_IRSHIFT, "", false});
                in_scan = true;
            }
            scans.back().tdi += tdi ? '1' : '0';
            scans.back().sampled = scans.back().sampled || sample;
        }
        state = jtag::next_state(state, tms);
        in_scan = in_scan && (state == svf::STATE_DRSHIFT || state == svf::STATE_IRSHIFT);
        walked.push_back(state);
    }
    void begin(const Origin&) override {}
    void runs(std::span<const engine::Run> runs) override
    {
        for (const engine::Run& r : runs) {
            for (std::uint64_t k = 0; k < r.clocks; ++k) {
                clock(r.tms, r.tdi[k], r.sample);
            }
        }
    }
    void expect(const svf::TdoCheck& c) override
    {
        calls += "expect " + std::to_string(c.bits) + (c.repeatable ? " repeatable; " : "; ");
    }
    void run(bool tms, std::uint64_t count, double wait, std::uint32_t) override
    {
        std::ostringstream s;
        s << "run " << tms << " " << count << " " << wait << " in "
          << svf::STATE_NAMES[static_cast<std::size_t>(state)] << "; ";
        calls += s.str();
        for (std::uint64_t k = 0; k < count; ++k) {
            clock(tms, false, false);
        }
    }
    void set_tck(const ClockChoice&) override {}
    void trst(svf::TrstMode) override {}
    void statement_done() override {}
    [[nodiscard]] bool passed() override
    {
        calls += "judged; ";
        return asked < answers.size() ? answers[asked++] : (++asked, true);
    }
    [[nodiscard]] bool stopped() const override { return false; }
};

Record compiled(const svf::Program& program, std::vector<bool> answers = {})
{
    Recorder r;
    r.answers = std::move(answers);
    (void)svf::compile(program, r, svf::tck_for_khz(1000));
    return r;
}

// ---- commands -------------------------------------------------------------

TEST(Xsvf, InstructionAndDataScansWithTheirEndStatesAndWaits)
{
    // XENDIR pause; XSIR 6 bits; XRUNTEST 20 us; XSIR2 12 bits: to Pause-IR,
    // then to Run-Test/Idle for the wait; XENDDR pause; XSDRSIZE 12;
    // XTDOMASK 0x0F0; XSDRTDO; XCOMMENT; XCOMPLETE.
    File f;
    f({0x13, 0x01})({0x02, 0x06, 0x2A})({0x04})
        .u32(20)({0x15, 0x00, 0x0C, 0x0A, 0xBC})({0x14, 0x01})({0x08})
        .u32(12);
    f({0x01, 0x00, 0xF0})({0x09, 0x01, 0x23, 0x04, 0x50})({0x16, 'h', 'i', 0x00})({0x00});
    const auto program = load(f.bytes);
    EXPECT_EQ(program->statements(), 10u);
    EXPECT_EQ(program->unit(), "command");
    const Record r = compiled(*program);
    ASSERT_EQ(r.scans.size(), 3u);
    EXPECT_EQ(r.scans[0], (Scanned{true, "010101", false}));       // 0x2A, bit 0 first
    EXPECT_EQ(r.scans[1], (Scanned{true, "001111010101", false})); // 0xABC
    EXPECT_EQ(r.scans[2].tdi, "110001001000");                     // 0x123
    EXPECT_TRUE(r.scans[2].sampled);
    // The check compares bits 4..7 (XTDOMASK), expected 0x450; the wait
    // comes in Run-Test/Idle after each scan once XRUNTEST is given.
    EXPECT_EQ(r.calls, "run 0 20 0 in IDLE; expect 4; run 0 20 0 in IDLE; ");
    EXPECT_EQ(r.state, svf::STATE_IDLE);
}

TEST(Xsvf, ShiftsThatStayInShiftDrAndTheirTdoForms)
{
    // XSDRB shifts and stays in Shift-DR (TMS low on its last bit), XSDRC
    // goes on shifting, XSDRE leaves for the XENDDR state; the TDO forms
    // compare every bit.
    File f;
    f({0x08}).u32(4)({0x0C, 0x01})({0x0D, 0x02})({0x0E, 0x03})({0x0F, 0x04, 0x0F})({0x11, 0x05, 0x0A})(
        {0x00});
    const Record r = compiled(*load(f.bytes));
    ASSERT_EQ(r.scans.size(), 2u);
    EXPECT_EQ(r.scans[0].tdi, "100001001100"); // 1, 2, 3: one scan of 12 bits
    EXPECT_EQ(r.scans[1].tdi, "00101010");     // 4, 5
    EXPECT_EQ(r.calls, "expect 4; expect 4; ");
    EXPECT_EQ(r.state, svf::STATE_IDLE);
}

TEST(Xsvf, StateWalksAreTheReferencePlayers)
{
    struct Case {
        std::vector<std::uint8_t> states; // XSTATE arguments in turn
        const char* last;                 // the states the last one walks
    };
    const Case cases[] = {
        {{1}, "RESET RESET RESET RESET RESET IDLE"},
        {{1, 6}, "DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
        {{1, 6, 6}, "DREXIT2 DRUPDATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"}, // a Pause to itself
        {{1, 6, 7}, "DREXIT2"},
        {{1, 2, 9, 1}, "IRCAPTURE IREXIT1 IRUPDATE IDLE"}, // never through Test-Logic-Reset
        {{1, 2, 9, 3}, "IRCAPTURE IREXIT1 IRUPDATE DRSELECT DRCAPTURE"},
        {{1, 2, 1}, "DRCAPTURE DREXIT1 DRUPDATE IDLE"},
        {{1, 0}, "DRSELECT IRSELECT RESET RESET RESET"}, // TMS high five clocks
        {{1, 13, 15}, "IREXIT2 IRUPDATE"},
    };
    for (const Case& c : cases) {
        File f;
        for (const std::uint8_t s : c.states) {
            f({0x12, s});
        }
        f({0x00});
        const Record all = compiled(*load(f.bytes));
        // The walk of the last XSTATE: replay the ones before to know where it starts.
        File before;
        for (std::size_t i = 0; i + 1 < c.states.size(); ++i) {
            before({0x12, c.states[i]});
        }
        before({0x00});
        const Record start = compiled(*load(before.bytes));
        EXPECT_EQ(all.path(start.walked.size()), c.last) << "XSTATE " << int(c.states.back());
    }
}

TEST(Xsvf, WaitsClockInStableStatesAndWaitOnTheHostInOthers)
{
    File f;
    f({0x17, 0x06, 0x01}).u32(30)({0x17, 0x04, 0x01}).u32(2'000'000)({0x17, 0x01, 0x01}).u32(300'000)({0x00});
    const Record r = compiled(*load(f.bytes));
    // In Pause-DR: 30 clocks at 1 MHz; in Shift-DR: none, two seconds on the
    // host; in Run-Test/Idle, longer than clocks carry: a clock and a wait.
    EXPECT_EQ(r.calls, "run 0 30 0 in DRPAUSE; run 0 0 2 in DRSHIFT; run 0 1 0.3 in IDLE; ");
    EXPECT_EQ(r.state, svf::STATE_IDLE);
}

TEST(Xsvf, IncrementsAddTheAddressMaskAndSpreadTheDataOverTheDataMask)
{
    // 12 bits; address mask 0x100 (the count), data mask 0x0F3: the data
    // bits go, lowest first, to bits 0, 1, 4, 5, 6, 7.
    File f;
    f({0x08}).u32(12)({0x0A, 0x01, 0x00, 0x00, 0xF3});
    f({0x0B, 0x00, 0x05, 0x02, 0x3F, 0x01})({0x00}); // first 0x005, two more: 0x3F, 0x01
    const Record r = compiled(*load(f.bytes));
    ASSERT_EQ(r.scans.size(), 3u);
    const auto bits = [](unsigned v) {
        std::string s;
        for (unsigned i = 0; i < 12; ++i) {
            s += (v >> i & 1U) != 0 ? '1' : '0';
        }
        return s;
    };
    EXPECT_EQ(r.scans[0].tdi, bits(0x005));
    EXPECT_EQ(r.scans[1].tdi, bits(0x1F7)); // 0x005 + 0x100, then 0x3F on the mask: all six set
    EXPECT_EQ(r.scans[2].tdi, bits(0x205)); // + 0x100, then 0x01: bit 0 set, the other five clear
}

// A scan whose TDO differs is repeated as the reference player does: with a
// wait, from Exit1-DR through Pause-DR and Exit2-DR to Shift-DR, one more
// bit on the way to Run-Test/Idle, a wait a quarter longer, and the scan
// again; the last try is an ordinary check.
TEST(Xsvf, ARepeatGoesThroughPauseAndWaitsLonger)
{
    File f;
    f({0x07, 0x02})({0x04}).u32(100)({0x08}).u32(4)({0x01, 0x0F})({0x09, 0x09, 0x06})({0x00});
    const Record r = compiled(*load(f.bytes), {false, false});
    EXPECT_EQ(r.calls, "expect 4 repeatable; judged; run 0 125 0 in IDLE; expect 4 repeatable; judged; "
                       "run 0 156 0 in IDLE; expect 4; run 0 156 0 in IDLE; ");
    // Each try, and between them the one extra bit, TDI held at the scan's last.
    ASSERT_EQ(r.scans.size(), 5u);
    for (std::size_t i = 0; i < r.scans.size(); ++i) {
        EXPECT_EQ(r.scans[i].tdi, i % 2 == 0 ? "1001" : "1") << "scan " << i;
    }
    const std::string path = r.path(0);
    EXPECT_NE(
        path.find("DRSHIFT DRSHIFT DRSHIFT DRSHIFT DREXIT1 DRPAUSE DREXIT2 DRSHIFT DREXIT1 DRUPDATE IDLE"),
        std::string::npos)
        << path;
    // Without a wait, a repeat goes through the end state.
    File quick;
    quick({0x07, 0x01})({0x08}).u32(2)({0x09, 0x01, 0x02})({0x00});
    const Record q = compiled(*load(quick.bytes), {false});
    EXPECT_EQ(q.calls, "expect 2 repeatable; judged; expect 2; ");
    EXPECT_EQ(q.path(6),
              "DRSELECT DRCAPTURE DRSHIFT DRSHIFT DREXIT1 DRUPDATE IDLE DRSELECT DRCAPTURE DRSHIFT "
              "DRSHIFT DREXIT1 DRUPDATE IDLE");
}

// One TAP with a 32-bit user register: it reads back what was last loaded,
// so a check of what is being loaded fails the first time and passes when
// the scan is repeated.
TEST(Xsvf, ARepeatedScanPassesOnTheChainWhereTheFirstFails)
{
    const auto board = [] {
        emu::Board parts = emu::make_default_board_parts();
        std::vector<emu::TapConfig> taps{{"tap0", 0x4BA00477, 4, 0xE, 0x8, 0xF, 32, 0}};
        return std::make_unique<emu::Adapter>(
            emu::AdapterConfig{},
            emu::Board{emu::JtagChain(std::move(taps)), std::move(parts.flash), std::move(parts.i2c)});
    };
    for (const std::uint8_t repeat : {std::uint8_t{0}, std::uint8_t{1}}) {
        File f;
        f({0x07, repeat})({0x04}).u32(50)({0x02, 0x04, 0x08})({0x08}).u32(32)({0x01, 0xFF, 0xFF, 0xFF, 0xFF});
        f({0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})({0x00});
        const auto program = load(f.bytes);
        auto adapter = board();
        emu::InprocUsb usb(*adapter);
        const svf::PlayResult played = svf::play(*program, usb.handle(), svf::PlayerOptions{});
        ASSERT_EQ(played.rc, 0) << played.failed_doing;
        EXPECT_EQ(played.mismatch.has_value(), repeat == 0);
        EXPECT_EQ(played.repeats, repeat);
        EXPECT_EQ(played.checks_passed, repeat);
        if (repeat == 0) {
            EXPECT_EQ(played.mismatch->statement.index, 5u);
            EXPECT_EQ(played.mismatch->statement.offset, 20u);
            EXPECT_EQ(svf::to_hex(played.mismatch->body.actual), "00000000");
        } else {
            EXPECT_EQ(adapter->jtag().tap(0).state(), emu::TapState::run_test_idle);
            EXPECT_EQ(played.statements_played, program->statements());
            // The repeated scan was judged before anything after it went out.
            EXPECT_EQ(played.wire.exchanges, 2u);
            // The dry run takes each check as passed the first time.
            const svf::DryRunResult dry = svf::dry_run(*program, svf::PlayerOptions{});
            EXPECT_EQ(dry.wire.out_transfers, played.wire.out_transfers);
            EXPECT_LT(dry.wire.clocks, played.wire.clocks);
        }
        EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
    }
}

// ---- malformed files ------------------------------------------------------

TEST(Xsvf, MalformedFilesAreRefusedWithTheOffsetAndWhatWasExpected)
{
    struct Bad {
        std::vector<std::uint8_t> bytes;
        const char* error;
    };
    const Bad cases[] = {
        {{0x02, 0x04, 0x01}, "offset 0x3 (command 2): expected a command: the file ends without XCOMPLETE"},
        {{0x05},
         "offset 0x0 (command 1): expected a command byte (0x00 to 0x17 but 0x05 and 0x06), found 0x5"},
        {{0x12, 0x01, 0x18},
         "offset 0x2 (command 2): expected a command byte (0x00 to 0x17 but 0x05 and 0x06), "
         "found 0x18"},
        {{0x08, 0x00, 0x00, 0x00, 0x20, 0x09, 0x00, 0x00},
         "offset 0x6 (command 2): expected XSDRTDO's TDI of 32 bits (4 bytes), found the end of the file"},
        {{0x08, 0x00, 0x00},
         "offset 0x1 (command 1): expected XSDRSIZE's length in bits (4 bytes), found the end "
         "of the file"},
        {{0x08, 0x40, 0x00, 0x00, 0x01},
         "offset 0x1 (command 1): expected a length of at most 1073741824 bits, found 1073741825"},
        {{0x12, 0x10}, "offset 0x1 (command 1): expected XSTATE's TAP state (0 to 15), found 16"},
        {{0x12, 0x01, 0x12, 0x07},
         "offset 0x4 (command 2): expected a state that follows IDLE: DREXIT2 is reached only from DRPAUSE"},
        {{0x13, 0x02},
         "offset 0x1 (command 1): expected XENDIR's end state 0 (Run-Test/Idle) or 1 (Pause), "
         "found 2"},
        {{0x16, 'a', 'b'},
         "offset 0x3 (command 1): expected the zero byte that ends XCOMMENT's text, found the "
         "end of the file"},
        {{0x08, 0x00, 0x00, 0x00, 0x08, 0x0B, 0x01},
         "offset 0x6 (command 2): expected XSETSDRMASKS for XSDRSIZE 8 before XSDRINC"},
        {{0x17, 0x01, 0x01, 0x00},
         "offset 0x3 (command 1): expected XWAIT's microseconds (4 bytes), found the end "
         "of the file"},
    };
    for (const Bad& b : cases) {
        try {
            (void)load(b.bytes);
            ADD_FAILURE() << "read: " << b.error;
        } catch (const FormatError& e) {
            EXPECT_EQ(std::string(e.what()), b.error);
        }
    }
    // Nothing is handed over of a file that fails its check, and a stop
    // asked for ends the check.
    std::size_t seen = 0;
    EXPECT_THROW((void)load({0x12, 0x01, 0x12, 0x01, 0x05}, {},
                            [&](const svf::Statement&) {
                                ++seen;
                                return true;
                            }),
                 FormatError);
    EXPECT_EQ(seen, 2u) << "the check sees them; a program is only made of a file that passed";
    EXPECT_THROW((void)load({0x12, 0x01, 0x00}, [] { return true; }), svf::Stopped);
}

// ---- the vendor pair ------------------------------------------------------

// iMPACT wrote both files for one design (a CoolRunner-II CPLD: erase,
// program, verify): they must shift the same instructions and data, in the
// same order, and take the same time.
TEST(Xsvf, AnXsvfAndAnSvfOfOneDesignDriveTheSameScans)
{
    const auto xsvf = load(read_file("hackrf_cpld.xsvf"));
    const std::vector<std::uint8_t> text = read_file("hackrf_cpld.svf");
    const auto svf = svf::load(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
    const Record a = compiled(*xsvf);
    const Record b = compiled(*svf);
    ASSERT_GT(a.scans.size(), 100u);
    ASSERT_EQ(a.scans.size(), b.scans.size());
    for (std::size_t i = 0; i < a.scans.size(); ++i) {
        ASSERT_EQ(a.scans[i].ir, b.scans[i].ir) << "scan " << i;
        ASSERT_EQ(a.scans[i].tdi, b.scans[i].tdi) << "scan " << i;
    }
    const svf::TimeEstimate ta = svf::estimate_time(*xsvf, svf::tck_for_khz(1000));
    const svf::TimeEstimate tb = svf::estimate_time(*svf, svf::tck_for_khz(1000));
    EXPECT_NEAR(ta.seconds(), tb.seconds(), 1e-3 * tb.seconds());
}

} // namespace
} // namespace orv::xsvf
