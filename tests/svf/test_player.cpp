// SVF from statements to clocks, and played on the in-process emulator: the
// paths and the RUNTEST choices of the compiler, TDO checks passing and
// failing with their line, nothing sent after a failed batch, consecutive
// checks sharing transfers, TRST, waits, a stop between statements and in a
// wait, and the dry run counting exactly what playing sends.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "lib/formats/svf/parser.hpp"
#include "lib/formats/svf/player.hpp"
#include "lib/wire/tap_state.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace orv::svf {
namespace {

std::string read_file(const std::string& name)
{
    std::ifstream in(std::string(SVF_FILES) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The chain the test files are written for, whatever the default board is.
std::unique_ptr<emu::Adapter> make_board()
{
    emu::Board parts = emu::make_default_board_parts();
    std::vector<emu::TapConfig> taps{{"tap0", 0x4BA00477, 4, 0xE, 0x8, 0xF, 32, 0},
                                     {"tap1", 0x06B5C093, 6, 0x09, 0x02, 0x3F, 32, 0}};
    return std::make_unique<emu::Adapter>(
        emu::AdapterConfig{},
        emu::Board{emu::JtagChain(std::move(taps)), std::move(parts.flash), std::move(parts.i2c)});
}

// Records what the compiler hands over, clock by clock.
struct Recorder final : Target {
    std::vector<engine::Clock> all;
    std::vector<std::size_t> statement_ends; // clocks handed by the end of each statement
    std::string calls;                       // run, tck and trst calls
    std::vector<TdoCheck> checks;
    std::size_t verdicts = 0;  // passed() calls
    std::vector<bool> answers; // what passed() says, in turn (then yes)
    void begin(const Origin&) override {}
    void runs(std::span<const engine::Run> runs) override
    {
        for (const engine::Run& r : runs) {
            for (std::uint64_t k = 0; k < r.clocks; ++k) {
                all.push_back(engine::Clock{r.tms, r.tdi[k], r.sample});
            }
        }
    }
    void expect(const TdoCheck& c) override { checks.push_back(c); }
    [[nodiscard]] bool passed() override
    {
        return verdicts < answers.size() ? answers[verdicts++] : (++verdicts, true);
    }
    void run(bool tms, std::uint64_t count, double wait, std::uint32_t) override
    {
        std::ostringstream s;
        s << "run " << tms << " " << count << " " << wait << "; ";
        calls += s.str();
        all.insert(all.end(), count, engine::Clock{tms, false, false});
    }
    void set_tck(const ClockChoice& s) override { calls += "tck " + std::to_string(s.actual_hz) + "; "; }
    void trst(TrstMode) override { calls += "trst; "; }
    void statement_done() override { statement_ends.push_back(all.size()); }
    [[nodiscard]] bool stopped() const override { return false; }
};

// ---- the compiler ------------------------------------------------------------

struct PathCase {
    const char* svf;
    const char* last; // the states the last statement walks through, clock by clock
};

TEST(SvfCompiler, PathsFollowTheTapTables)
{
    const PathCase cases[] = {
        {"STATE IDLE;", "RESET RESET RESET RESET RESET IDLE"}, // the reset playback starts with
        {"STATE IDLE; STATE DRPAUSE;", "DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
        {"STATE DRPAUSE; STATE DRPAUSE;", "DREXIT2 DRUPDATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
        {"STATE IRPAUSE; STATE DRPAUSE;", "IREXIT2 IRUPDATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
        {"STATE IDLE; STATE RESET;", "DRSELECT IRSELECT RESET RESET RESET"},
        {"STATE IDLE; STATE IDLE;", ""},
        {"STATE IDLE; STATE DRSELECT IRSELECT RESET RESET IDLE;", "DRSELECT IRSELECT RESET RESET IDLE"},
        {"STATE IDLE; STATE DRSELECT DRCAPTURE DRSHIFT DREXIT1 DRPAUSE;",
         "DRSELECT DRCAPTURE DRSHIFT DREXIT1 DRPAUSE"},
        // Scans: through Capture from a stable state; straight back to Shift from Pause.
        {"STATE IDLE; SDR 2 TDI (0);", "DRSELECT DRCAPTURE DRSHIFT DRSHIFT DREXIT1 DRUPDATE IDLE"},
        {"ENDDR DRPAUSE; SDR 2 TDI (0); SDR 2 TDI (0);", "DREXIT2 DRSHIFT DRSHIFT DREXIT1 DRPAUSE"},
        {"STATE IDLE; ENDIR IRPAUSE; SIR 1 TDI (0);", "DRSELECT IRSELECT IRCAPTURE IRSHIFT IREXIT1 IRPAUSE"},
        {"STATE IDLE; SDR 0;", "DRSELECT DRCAPTURE DREXIT1 DRUPDATE IDLE"},
        {"STATE IDLE; HDR 1 TDI (0); TDR 1 TDI (0); SDR 1 TDI (0);",
         "DRSELECT DRCAPTURE DRSHIFT DRSHIFT DRSHIFT DREXIT1 DRUPDATE IDLE"},
        {"STATE IDLE; RUNTEST DRPAUSE 2 TCK ENDSTATE IRPAUSE;",
         "DRSELECT DRCAPTURE DREXIT1 DRPAUSE DRPAUSE DRPAUSE DREXIT2 DRUPDATE DRSELECT IRSELECT IRCAPTURE "
         "IREXIT1 "
         "IRPAUSE"},
    };
    for (const PathCase& c : cases) {
        const auto program = load(c.svf);
        Recorder r;
        (void)compile(*program, r, tck_for_khz(1000));
        ASSERT_EQ(r.statement_ends.size(), program->statements());
        TapState state = STATE_RESET;
        std::string walked;
        const std::size_t from =
            r.statement_ends.size() > 1 ? r.statement_ends[r.statement_ends.size() - 2] : 0;
        for (std::size_t i = 0; i < r.all.size(); ++i) {
            state = jtag::next_state(state, r.all[i].tms);
            if (i >= from) {
                walked +=
                    (walked.empty() ? "" : " ") + std::string(STATE_NAMES[static_cast<std::size_t>(state)]);
            }
        }
        EXPECT_EQ(walked, c.last) << c.svf;
    }
}

TEST(SvfCompiler, RunTestBecomesClocksOrClocksAndAHostWait)
{
    const std::pair<const char*, const char*> cases[] = {
        {"RUNTEST 100 TCK;", "run 0 100 0; "},
        {"RUNTEST 5 SCK;", "run 0 5 0; "}, // no system clock: counted as TCK
        {"RUNTEST 1E-3 SEC;", "run 0 1000 0; "},
        {"RUNTEST 10 TCK 1E-3 SEC;", "run 0 1000 0; "},
        {"RUNTEST 2000 TCK 1E-3 SEC MAXIMUM 1 SEC;", "run 0 2000 0; "},
        {"RUNTEST DRPAUSE 0.5 SEC;", "run 0 1 0.5; "},      // longer than clocks should carry: a host wait
        {"RUNTEST 200000 TCK;", "run 0 200000 0.2; "},      // clocked, with their time waited out on the host
        {"RUNTEST RESET 100 TCK;", "run 1 100 0; "},        // TMS high in Test-Logic-Reset
        {"RUNTEST RESET 100000 TCK;", "run 1 28672 0.1; "}, // TMS-high clocks cost bytes: the rest waited
        {"FREQUENCY 100 HZ; RUNTEST 1E-3 SEC;", "tck 235294; run 0 236 0; "}, // the slowest clock there is
        {"FREQUENCY 2E6 HZ; RUNTEST 1E-3 SEC; FREQUENCY; RUNTEST 1E-3 SEC;",
         "tck 2000000; run 0 2000 0; tck 1000000; run 0 1000 0; "},
        {"FREQUENCY 1E6 HZ; TRST ABSENT; TRST ABSENT;", ""}, // already at that rate; ABSENT drives nothing
        {"TRST OFF; TRST ON; TRST Z;", "trst; trst; trst; "},
    };
    for (const auto& [svf, calls] : cases) {
        Recorder r;
        (void)compile(*load(svf), r, tck_for_khz(1000));
        EXPECT_EQ(r.calls, calls) << svf;
    }
}

// ---- the player ----------------------------------------------------------------

void expect_same_wire(const WireCounts& a, const WireCounts& b)
{
    EXPECT_EQ(a.clocks, b.clocks);
    EXPECT_EQ(a.out_transfers, b.out_transfers);
    EXPECT_EQ(a.exchanges, b.exchanges);
    EXPECT_EQ(a.stream_bytes, b.stream_bytes);
    EXPECT_EQ(a.readback_bytes, b.readback_bytes);
    EXPECT_EQ(a.host_waits, b.host_waits);
}

TEST(SvfPlayer, ChainFilePassesAndTheDryRunCountsWhatWasSent)
{
    const auto loaded = load(read_file("chain.svf"));
    const Program& program = *loaded;
    for (const std::size_t bound : {512u, 7u, 1u}) {
        auto adapter = make_board();
        emu::InprocUsb usb(*adapter);
        PlayerOptions options;
        options.max_readback = bound;
        const PlayResult played = play(program, usb.handle(), options);
        ASSERT_EQ(played.rc, 0) << played.failed_doing;
        ASSERT_FALSE(played.mismatch) << "line " << played.mismatch->statement.where.line;
        EXPECT_EQ(played.checks_passed, 10u);
        EXPECT_EQ(played.statements_played, program.statements());
        EXPECT_EQ(adapter->jtag().tap(0).state(), emu::TapState::test_logic_reset);
        EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
        // What the adapter saw is what the player and the dry run count.
        EXPECT_EQ(adapter->counts().out, played.wire.out_transfers);
        EXPECT_EQ(adapter->counts().data_reads, played.wire.exchanges);
        EXPECT_EQ(adapter->jtag().tap(0).tck_count(), played.wire.clocks);
        expect_same_wire(dry_run(program, options).wire, played.wire);
        if (bound == 512) {
            // TCK and pins, TRST, then every statement in one OUT and one exchange.
            EXPECT_EQ(played.wire.out_transfers, 4u);
            EXPECT_EQ(played.wire.exchanges, 1u);
        }
    }
}

TEST(SvfPlayer, AFailedCheckNamesItsLineAndNothingIsSentAfterItsBatch)
{
    const auto loaded = load(read_file("chain_fail.svf"));
    const Program& program = *loaded;
    for (const std::size_t bound : {1u, 512u}) {
        auto adapter = make_board();
        emu::InprocUsb usb(*adapter);
        PlayerOptions options;
        options.max_readback = bound;
        const PlayResult played = play(program, usb.handle(), options);
        EXPECT_EQ(played.rc, 0);
        ASSERT_TRUE(played.mismatch);
        const Mismatch& m = *played.mismatch;
        EXPECT_EQ(m.statement.where.line, 43u);
        EXPECT_EQ(to_hex(m.body.expected), "12345679");
        EXPECT_EQ(to_hex(m.body.actual), "12345678");
        EXPECT_EQ(to_hex(m.body.mask), "ffffffff");
        EXPECT_EQ(m.body.differing(), 1u);
        EXPECT_EQ(m.header.expected.size(), 0u);
        EXPECT_EQ(to_hex(m.trailer.mask), "0"); // TDR without TDO: not compared
        EXPECT_EQ(played.checks_passed, 6u);
        EXPECT_EQ(adapter->counts().out, played.wire.out_transfers) << "nothing sent but what was counted";
        // With batches of one byte the rest of the file is never sent; with
        // the whole file in one batch it went out with the failed check.
        const WireCounts whole = dry_run(program, options).wire;
        if (bound == 1) {
            EXPECT_LT(adapter->jtag().tap(0).tck_count(), whole.clocks / 2);
        } else {
            EXPECT_EQ(adapter->jtag().tap(0).tck_count(), whole.clocks);
        }
    }
}

TEST(SvfPlayer, ConsecutiveChecksShareOneTransferAndOneExchange)
{
    // Both TAPs in BYPASS: TDO is TDI two clocks late.
    std::string svf = "SIR 10 TDI (3FF);\n";
    for (unsigned k = 0; k < 200; ++k) {
        const unsigned tdi = (k * 37 + 11) & 0xFF;
        char line[64];
        std::snprintf(line, sizeof line, "SDR 8 TDI (%02X) TDO (%02X);\n", tdi, (tdi << 2) & 0xFF);
        svf += line;
    }
    const auto loaded = load(svf);
    const Program& program = *loaded;
    auto adapter = make_board();
    emu::InprocUsb usb(*adapter);
    const PlayResult played = play(program, usb.handle(), PlayerOptions{});
    ASSERT_FALSE(played.mismatch);
    EXPECT_EQ(played.checks_passed, 200u);
    EXPECT_EQ(played.wire.out_transfers, 3u); // TCK, pins, and all 201 statements
    EXPECT_EQ(played.wire.exchanges, 1u);
    EXPECT_EQ(adapter->counts().out, 3u);
    EXPECT_EQ(adapter->counts().data_reads, 1u);
}

TEST(SvfPlayer, TrstHoldsTheChainInResetAndReleasesIt)
{
    const auto loaded = load("STATE IDLE;\n"
                             "TRST ON;\n"
                             "SDR 64 TDI (0) TDO (FFFFFFFFFFFFFFFF);\n" // held: nothing shifts, TDO high
                             "TRST OFF;\n"
                             "SDR 64 TDI (0) TDO (000000934BA00477) MASK (00000FFFFFFFFFFF);\n"
                             "SIR 10 TDI (3FF);\n"
                             "TRST Z;\n"
                             "SDR 2 TDI (3) TDO (0);\n"); // released: still in BYPASS
    const Program& program = *loaded;
    auto adapter = make_board();
    emu::InprocUsb usb(*adapter);
    const PlayResult played = play(program, usb.handle(), PlayerOptions{});
    ASSERT_EQ(played.rc, 0);
    EXPECT_FALSE(played.mismatch) << "line " << played.mismatch->statement.where.line;
    EXPECT_EQ(played.checks_passed, 3u);
    EXPECT_FALSE(adapter->jtag().trst());
    expect_same_wire(dry_run(program, PlayerOptions{}).wire, played.wire);
}

TEST(SvfPlayer, LongRunsAndWaits)
{
    const auto loaded = load("RUNTEST 200000 TCK;\n"
                             "SIR 10 TDI (3FF);\n"
                             "RUNTEST IDLE 1 TCK 0.15 SEC;\n"
                             "SDR 8 TDI (FF) TDO (FC);\n");
    const Program& program = *loaded;
    auto adapter = make_board();
    emu::InprocUsb usb(*adapter);
    const PlayResult played = play(program, usb.handle(), PlayerOptions{});
    ASSERT_EQ(played.rc, 0);
    EXPECT_FALSE(played.mismatch);
    EXPECT_EQ(played.wire.host_waits, 2u);
    EXPECT_GE(played.seconds, 0.2 + 0.15);
    EXPECT_EQ(adapter->jtag().tap(0).tck_count(), played.wire.clocks);
    EXPECT_GT(played.wire.clocks, 200000u);
    EXPECT_EQ(adapter->jtag().tap(0).state(), emu::TapState::run_test_idle);
    expect_same_wire(dry_run(program, PlayerOptions{}).wire, played.wire);
    EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
}

TEST(SvfPlayer, OptionsOutOfRangeSendNothing)
{
    const auto loaded = load("SDR 8 TDI (FF);");
    const Program& program = *loaded;
    for (const auto& [khz, bound] : {std::pair<std::uint32_t, std::size_t>{0, 512},
                                     {70000, 512},
                                     {1000, 0},
                                     {1000, MAX_READBACK_BOUND + 1}}) {
        auto adapter = make_board();
        emu::InprocUsb usb(*adapter);
        PlayerOptions options;
        options.tck_khz = khz;
        options.max_readback = bound;
        EXPECT_EQ(play(program, usb.handle(), options).rc, TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(adapter->counts().out, 0u);
    }
}

// The estimate follows the statements without making their clocks: it must
// count what the dry run (the player on a wire that sends nothing) clocks,
// and time each clock at the TCK it runs at.
TEST(SvfEstimate, CountsTheClocksPlayingRunsAtTheirClock)
{
    const std::string huge = "HDR 1000000 TDI (0);\n" + [] {
        std::string sdr;
        for (int k = 0; k < 5; ++k) {
            sdr += "SDR 1 TDI (1);\n";
        }
        return sdr;
    }();
    const std::string texts[] = {read_file("chain.svf"),
                                 read_file("plain.svf"),
                                 read_file("zynq_pl.svf"),
                                 "FREQUENCY 100 HZ; RUNTEST 1E-2 SEC; SIR 10 TDI (3FF);",
                                 "RUNTEST 200000 TCK; RUNTEST RESET 100000 TCK; RUNTEST IDLE 1 TCK 0.15 SEC;",
                                 "TRST ON; STATE IDLE; TRST OFF; SDR 8 TDI (FF) TDO (FC);",
                                 huge};
    for (const std::string& text : texts) {
        const auto loaded = load(text);
        const Program& program = *loaded;
        const TimeEstimate estimate = estimate_time(program, tck_for_khz(1000));
        EXPECT_EQ(estimate.clocks, dry_run(program, PlayerOptions{}).wire.clocks) << text.substr(0, 60);
    }
    // 1000 clocks at 1 MHz, then at the slowest clock a 10 ms run and a wait
    // of half a second beyond its one clock.
    const TimeEstimate timed =
        estimate_time(*load("SDR 995 TDI (0); FREQUENCY 1E3 HZ; RUNTEST 1E-2 SEC; RUNTEST 1 TCK 0.5 SEC;"),
                      tck_for_khz(1000));
    const double slowest = clock_of_divisor(CLOCK_DIVISOR_MAX).actual_hz;
    EXPECT_NEAR(timed.clock_seconds, 1e-3 + 2 / slowest + (std::ceil(1e-2 * slowest) + 1) / slowest, 1e-5);
    EXPECT_NEAR(timed.wait_seconds, 0.5 - 1 / slowest, 1e-6);
}

TEST(SvfCompiler, FrequenciesBelowTheSlowestClockAreCountedWithTheFirst)
{
    Recorder r;
    const CompileCounts counts =
        compile(*load("STATE IDLE; FREQUENCY 1E7 HZ; FREQUENCY 1E5 HZ; FREQUENCY 100 HZ; FREQUENCY;"), r,
                tck_for_khz(1000));
    EXPECT_EQ(counts.frequencies_raised, 2u);
    ASSERT_TRUE(counts.first_raised);
    EXPECT_EQ(counts.first_raised->statement.index, 2u);
    EXPECT_EQ(counts.first_raised->hz, 1e5);
    EXPECT_TRUE(tck_for_khz(235).raised);
    EXPECT_FALSE(tck_for_khz(236).raised);
}

TEST(SvfPlayer, FrequencySetsTheFastestClockNotAboveIt)
{
    const std::pair<const char*, unsigned> cases[] = {
        {"FREQUENCY 2E6 HZ; STATE IDLE;", 30},  // 60 MHz / 30
        {"FREQUENCY 7E6 HZ; STATE IDLE;", 9},   // 6.67 MHz, not 7.5
        {"FREQUENCY 100 HZ; STATE IDLE;", 255}, // the slowest there is
        {"FREQUENCY 2E6 HZ; FREQUENCY;", 60},   // back to the player's own 1 MHz
    };
    for (const auto& [svf, divisor] : cases) {
        auto adapter = make_board();
        emu::InprocUsb usb(*adapter);
        const PlayResult played = play(*load(svf), usb.handle(), PlayerOptions{});
        ASSERT_EQ(played.rc, 0);
        EXPECT_EQ(adapter->clock_divisor(), divisor) << svf;
    }
}

// The emulator behind the JTAG library's calls, with waits that take no time.
class QuickWire final : public PlayerWire {
public:
    explicit QuickWire(libusb_device_handle* handle) : handle_(handle), usb_(handle, 100) {}
    std::int32_t send(std::span<const std::uint8_t> stream) override { return usb_.send(stream); }
    std::int32_t read_back(std::span<std::uint8_t> bytes) override { return usb_.read_back(bytes); }
    std::int32_t set_tck(const ClockChoice& clock) override
    {
        return tapwire_tckset(handle_, clock.request_khz, 100);
    }
    std::int32_t set_pins(std::uint16_t direction, std::uint16_t level) override
    {
        return tapwire_ioset(handle_, direction, level, 100);
    }
    void purge() override {}
    void sleep(double seconds) override
    {
        slept += seconds;
        ++sleeps;
    }
    [[nodiscard]] bool reads_the_chain() const override { return true; }
    double slept = 0;
    int sleeps = 0;

private:
    libusb_device_handle* handle_;
    engine::UsbWire usb_;
};

// A stop asked for ends playback between statements, and a wait on the host
// within a slice of it: what was played is told, nothing after it is sent.
TEST(SvfPlayer, AStopEndsPlaybackBetweenStatementsAndInAWait)
{
    std::string many = "SIR 10 TDI (3FF);\n";
    for (int k = 0; k < 50; ++k) {
        many += "RUNTEST 1 TCK 1E-3 SEC;\nSDR 8 TDI (FF) TDO (FC);\n";
    }
    const auto program = load(many);
    auto adapter = make_board();
    emu::InprocUsb usb(*adapter);
    QuickWire wire(usb.handle());
    int asked = 0;
    const PlayResult played = play(*program, wire, PlayerOptions{}, {}, [&] { return ++asked > 20; });
    EXPECT_TRUE(played.stopped);
    EXPECT_FALSE(played.mismatch);
    EXPECT_EQ(played.rc, 0);
    EXPECT_LT(played.statements_played, program->statements());
    ASSERT_TRUE(played.first_unknown);
    EXPECT_EQ(played.first_unknown->index, played.statements_played);
    EXPECT_LT(adapter->jtag().tap(0).tck_count(), dry_run(*program, PlayerOptions{}).wire.clocks / 2);

    const auto waits = load("SIR 10 TDI (3FF);\nRUNTEST 1 TCK 30 SEC;\nSDR 8 TDI (FF) TDO (FC);\n");
    auto second = make_board();
    emu::InprocUsb usb2(*second);
    QuickWire quick(usb2.handle());
    const PlayResult cut = play(*waits, quick, PlayerOptions{}, {}, [&] { return quick.sleeps >= 3; });
    EXPECT_TRUE(cut.stopped);
    EXPECT_EQ(quick.sleeps, 3);
    EXPECT_LT(quick.slept, 1.0) << "a wait of 30 s cut after three slices";
    EXPECT_EQ(cut.checks_passed, 0u) << "the scan after the wait was never sent";
    const std::uint64_t before_scan = second->jtag().tap(0).tck_count();
    EXPECT_LT(before_scan, dry_run(*waits, PlayerOptions{}).wire.clocks);

    // The dry run stops too, and says so.
    EXPECT_TRUE(dry_run(*program, PlayerOptions{}, [] { return true; }).stopped);
}

} // namespace
} // namespace orv::svf
