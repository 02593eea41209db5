// SVF and XSVF through the device library's C functions, on the emulated
// adapter in-process: a file played on a JTAG port sends exactly the streams
// the player sends on a bare handle, whoever held the adapter before; a
// failed check comes back as bytes with its place; bad arguments and
// malformed files are refused before anything is sent; a failure on the
// wire says how far playing went and makes the next user send its set-up.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <orv_devices.h>

#include "lib/formats/svf/parser.hpp"
#include "lib/formats/svf/player.hpp"
#include "lib/wire/wire.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string read_file(const std::string& name)
{
    std::ifstream in(std::string(SVF_FILES) + "/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The emulated adapter with its OUT streams kept and read-back reads that
// can be made to fail.
class Wire final : public orv::seam::TransferDevice {
public:
    explicit Wire(orv::emu::Adapter& adapter) : inner_(adapter) {}
    orv::seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override
    {
        outs.emplace_back(stream.begin(), stream.end());
        return inner_.out(stream, timeout);
    }
    orv::seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override
    {
        ++polls;
        return inner_.poll_count(length, timeout);
    }
    orv::seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override
    {
        ++reads;
        if (fail_read_at != 0 && reads == fail_read_at) {
            return {LIBUSB_ERROR_PIPE, 0};
        }
        return inner_.read_data(buffer, timeout);
    }
    std::vector<Bytes> outs;
    std::size_t polls = 0;
    std::size_t reads = 0;
    std::size_t fail_read_at = 0; // 1-based; 0: none fails

private:
    orv::emu::InprocUsb inner_;
};

// The chain the test files are written for.
std::unique_ptr<orv::emu::Adapter> make_board()
{
    orv::emu::Board parts = orv::emu::make_default_board_parts();
    std::vector<orv::emu::TapConfig> taps{{"tap0", 0x4BA00477, 4, 0xE, 0x8, 0xF, 32, 0},
                                          {"tap1", 0x06B5C093, 6, 0x09, 0x02, 0x3F, 32, 0}};
    return std::make_unique<orv::emu::Adapter>(
        orv::emu::AdapterConfig{},
        orv::emu::Board{orv::emu::JtagChain(std::move(taps)), std::move(parts.flash), std::move(parts.i2c)});
}

struct Program {
    orvdev_svf* p = nullptr;
    ~Program() { orvdev_svf_free(p); }
};

std::int32_t load(Program& program, const std::string& text, std::int32_t format = ORVDEV_SVF_FORMAT_SVF,
                  orvdev_svf_input_error* where = nullptr, orvdev_svf_load_options* given = nullptr)
{
    orvdev_svf_load_options options;
    orvdev_svf_load_options_init(&options);
    options.format = format;
    orvdev_report report;
    return orvdev_svf_load(text.data(), text.size(), given != nullptr ? given : &options, &program.p, nullptr,
                           where, &report);
}

// A session and a JTAG port on the emulated board.
struct Bench {
    Bench() : board(make_board()), wire(*board)
    {
        orvdev_session_options options;
        orvdev_session_options_init(&options);
        options.timeout_ms = 20;
        EXPECT_EQ(orvdev_session_open(wire.handle(), &options, &session, nullptr), 0);
        EXPECT_EQ(orvdev_jtag_port_open(session, nullptr, &port, nullptr), 0);
        wire.outs.clear();
        wire.polls = wire.reads = 0;
    }
    ~Bench()
    {
        orvdev_jtag_port_close(port);
        orvdev_session_close(session);
    }
    std::unique_ptr<orv::emu::Adapter> board;
    Wire wire;
    orvdev_session* session = nullptr;
    orvdev_jtag_port* port = nullptr;
};

TEST(SvfApi, APortPlaysTheStreamsOfThePlayerOnABareHandleWhoeverHeldTheAdapter)
{
    for (const char* name : {"chain.svf", "plain.svf"}) {
        const std::string text = read_file(name);
        // The player alone on a handle: its set-up, then its streams.
        auto board = make_board();
        Wire bare(*board);
        const auto model = orv::svf::load(std::string_view(text));
        const orv::svf::PlayResult direct = orv::svf::play(*model, bare.handle(), orv::svf::PlayerOptions{});
        ASSERT_EQ(direct.rc, 0) << name;
        ASSERT_FALSE(direct.mismatch) << name;
        Program program;
        ASSERT_EQ(load(program, text), 0) << name;
        for (const bool held : {false, true}) {
            Bench bench;
            if (held) { // the port's own clocks first: the adapter holds its set-up
                const std::uint8_t clock = ORVDEV_CLOCK_TMS;
                ASSERT_EQ(orvdev_jtag_clocks(bench.port, &clock, 1, nullptr, 0, nullptr), 0);
                bench.wire.outs.clear();
                bench.wire.polls = bench.wire.reads = 0;
            }
            orvdev_svf_summary summary;
            orvdev_report report;
            ASSERT_EQ(orvdev_svf_play(bench.port, program.p, nullptr, &summary, &report), 0)
                << report.message;
            EXPECT_EQ(bench.wire.outs, bare.outs) << name << (held ? ", held" : "");
            EXPECT_EQ(bench.wire.reads, bare.reads) << name;
            EXPECT_EQ(summary.out_transfers, bare.outs.size()) << name;
            EXPECT_EQ(summary.exchanges, direct.wire.exchanges) << name;
            EXPECT_EQ(summary.checks_passed, direct.checks_passed) << name;
            EXPECT_EQ(summary.statements_played, summary.statements) << name;
            EXPECT_EQ(summary.first_unknown.known, 0) << name;
            // The dry run counts the same.
            orvdev_svf_summary dry;
            ASSERT_EQ(orvdev_svf_dry_run(program.p, nullptr, &dry, nullptr), 0);
            EXPECT_EQ(dry.out_transfers, summary.out_transfers) << name;
            EXPECT_EQ(dry.stream_bytes, summary.stream_bytes) << name;
            EXPECT_EQ(dry.readback_bytes, summary.readback_bytes) << name;
        }
    }
}

TEST(SvfApi, AFailedCheckComesBackAsBytesWithItsPlaceAndWhatHadBeenPlayed)
{
    Bench bench;
    Program program;
    ASSERT_EQ(load(program, read_file("chain_fail.svf")), 0);
    orvdev_svf_mismatch m;
    EXPECT_EQ(orvdev_svf_get_mismatch(program.p, &m), ORVDEV_ERROR_INVALID_ARGUMENT); // none played yet
    orvdev_svf_summary summary;
    orvdev_report report;
    ASSERT_EQ(orvdev_svf_play(bench.port, program.p, nullptr, &summary, &report), ORVDEV_ERROR_MISMATCH);
    EXPECT_STREQ(report.message, "TDO mismatch at line 43");
    ASSERT_EQ(orvdev_svf_get_mismatch(program.p, &m), 0);
    EXPECT_EQ(m.statement.line, 43U);
    EXPECT_STREQ(m.statement.command, "SDR");
    EXPECT_EQ(m.statements_played, 22U);
    EXPECT_EQ(m.checks_passed, 6U);
    ASSERT_EQ(m.body.bits, 32U);
    EXPECT_EQ(Bytes(m.body.expected, m.body.expected + 4), (Bytes{0x79, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Bytes(m.body.actual, m.body.actual + 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Bytes(m.body.mask, m.body.mask + 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(m.body.differing, 1U);
    EXPECT_EQ(m.header.differing + m.trailer.differing, 0U);
    EXPECT_EQ(summary.checks_passed, 6U);
    EXPECT_EQ(summary.statements_played, 22U);
}

TEST(SvfApi, BadArgumentsAndMalformedFilesAreRefusedBeforeAnythingIsSent)
{
    Bench bench;
    Program program;
    ASSERT_EQ(load(program, read_file("chain.svf")), 0);
    orvdev_svf_play_options options;
    orvdev_svf_summary summary;
    const auto refused = [&](auto change) {
        orvdev_svf_play_options_init(&options);
        change(options);
        return orvdev_svf_play(bench.port, program.p, &options, &summary, nullptr) ==
                   ORVDEV_ERROR_INVALID_ARGUMENT &&
               orvdev_svf_dry_run(program.p, &options, &summary, nullptr) == ORVDEV_ERROR_INVALID_ARGUMENT;
    };
    EXPECT_TRUE(refused([](orvdev_svf_play_options& o) { o.max_readback = 0; }));
    EXPECT_TRUE(refused([](orvdev_svf_play_options& o) { o.max_readback = ORVDEV_SVF_MAX_READBACK + 1; }));
    EXPECT_TRUE(refused([](orvdev_svf_play_options& o) { o.tck_khz = 60001; }));
    EXPECT_EQ(orvdev_svf_play(nullptr, program.p, nullptr, nullptr, nullptr), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(orvdev_svf_play(bench.port, nullptr, nullptr, nullptr, nullptr), ORVDEV_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(orvdev_svf_dry_run(program.p, nullptr, nullptr, nullptr), ORVDEV_ERROR_INVALID_ARGUMENT);

    struct Case {
        std::string text;
        std::int32_t format;
        std::int32_t rc;
        orvdev_svf_input_error where; // line, column, offset, command
    };
    const std::vector<Case> cases{
        {"SIR 4 TDI (E);\nSDR 32 TDI (0) TDO (4BA0O477);\n",
         ORVDEV_SVF_FORMAT_SVF,
         ORVDEV_ERROR_BAD_INPUT,
         {2, 25, 0, 0, {}}},
        {"SDR 8 TDI (100);\n", ORVDEV_SVF_FORMAT_SVF, ORVDEV_ERROR_BAD_INPUT, {1, 11, 0, 0, {}}},
        {"FREQUENCY 1E6 HZ;\nSTATE NOWHERE;\n",
         ORVDEV_SVF_FORMAT_SVF,
         ORVDEV_ERROR_BAD_INPUT,
         {2, 7, 0, 0, {}}},
        {std::string("\x07\x00\x12\x01\x08\x00", 6),
         ORVDEV_SVF_FORMAT_XSVF,
         ORVDEV_ERROR_BAD_INPUT,
         {0, 0, 5, 2, {}}},
        {std::string("\xee", 1), ORVDEV_SVF_FORMAT_XSVF, ORVDEV_ERROR_BAD_INPUT, {0, 0, 0, 0, {}}},
        {"SIR 4 TDI (E);\n", 7, ORVDEV_ERROR_INVALID_ARGUMENT, {}},
    };
    for (const Case& c : cases) {
        Program bad;
        orvdev_svf_input_error where{};
        EXPECT_EQ(load(bad, c.text, c.format, &where), c.rc) << c.text;
        EXPECT_EQ(bad.p, nullptr) << c.text;
        if (c.rc == ORVDEV_ERROR_BAD_INPUT) {
            EXPECT_EQ(where.line, c.where.line) << c.text;
            EXPECT_EQ(where.column, c.where.column) << c.text << where.reason;
            EXPECT_EQ(where.offset, c.where.offset) << c.text;
            EXPECT_EQ(where.command, c.where.command) << c.text;
            EXPECT_NE(where.reason[0], '\0') << c.text;
        }
    }
    // The limits: size, playing time, a stop while checking.
    orvdev_svf_load_options limits;
    orvdev_svf_load_options_init(&limits);
    limits.max_size = 10;
    Program big;
    EXPECT_EQ(load(big, "SIR 4 TDI (E);\n", ORVDEV_SVF_FORMAT_SVF, nullptr, &limits),
              ORVDEV_ERROR_OUT_OF_RANGE);
    orvdev_svf_load_options_init(&limits);
    limits.max_seconds = 5;
    const std::string slow = "RUNTEST 3 SEC;\nRUNTEST 3 SEC;\n";
    orvdev_svf_info info{};
    EXPECT_EQ(orvdev_svf_load(slow.data(), slow.size(), &limits, &big.p, &info, nullptr, nullptr),
              ORVDEV_ERROR_OUT_OF_RANGE);
    EXPECT_NEAR(info.estimated_wait_seconds, 6.0, 1e-3);
    EXPECT_EQ(info.statements, 2U);
    limits.max_seconds = 0;
    limits.stop = [](void*) { return std::int32_t{1}; };
    EXPECT_EQ(load(big, slow, ORVDEV_SVF_FORMAT_SVF, nullptr, &limits), ORVDEV_ERROR_STOPPED);
    EXPECT_EQ(big.p, nullptr);
    EXPECT_TRUE(bench.wire.outs.empty());
    EXPECT_EQ(bench.wire.polls + bench.wire.reads, 0U);
}

TEST(SvfApi, AFailureOnTheWireSaysHowFarPlayingWentAndTheNextUserSendsItsSetUp)
{
    Bench bench;
    Program program;
    ASSERT_EQ(load(program, read_file("chain.svf")), 0);
    orvdev_svf_play_options options;
    orvdev_svf_play_options_init(&options);
    options.max_readback = 1; // a batch for each byte read back
    bench.wire.fail_read_at = 3;
    orvdev_svf_summary summary;
    orvdev_report report;
    ASSERT_EQ(orvdev_svf_play(bench.port, program.p, &options, &summary, &report), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(report.bus_code, LIBUSB_ERROR_PIPE);
    EXPECT_STREQ(report.message, "playing the statements");
    EXPECT_EQ(summary.first_unknown.known, 1);
    EXPECT_LT(summary.statements_played, summary.statements);
    EXPECT_EQ(orvdev_svf_get_mismatch(program.p, nullptr), ORVDEV_ERROR_INVALID_ARGUMENT);
    // The port's next clocks go after its set-up again, and read their own levels.
    bench.wire.outs.clear();
    const std::uint8_t clock = ORVDEV_CLOCK_SAMPLE;
    std::uint8_t tdo = 0xAA;
    ASSERT_EQ(orvdev_jtag_clocks(bench.port, &clock, 1, &tdo, 1, &report), 0) << report.message;
    ASSERT_FALSE(bench.wire.outs.empty());
    EXPECT_TRUE(bench.wire.outs[0][0] == orv::OP_SET_CLOCK_FAST ||
                bench.wire.outs[0][0] == orv::OP_SET_CLOCK_SLOW);
    EXPECT_LE(tdo, 1);

    // A stop asked by the progress callback: between batches, with what had been played.
    std::uint64_t told = 0;
    options.progress = [](void* user, std::uint64_t, std::uint64_t) {
        ++*static_cast<std::uint64_t*>(user);
        return std::int32_t{ORVDEV_STOP};
    };
    options.progress_user = &told;
    bench.wire.fail_read_at = 0;
    EXPECT_EQ(orvdev_svf_play(bench.port, program.p, &options, &summary, &report), ORVDEV_ERROR_STOPPED);
    EXPECT_EQ(told, 1U);
    EXPECT_LT(summary.statements_played, summary.statements);
}

} // namespace
