// orvtool jtag svf and jtag xsvf as a user runs them: on the virtual adapter
// through real libusb, the text reports against golden files
// (tests/cli/golden/), --json parsed back, exit statuses, a file checked
// before any adapter is opened, standard input, and the progress bar on a
// terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string FILES = SVF_FILES;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// argv with standard input from `input_file` (or /dev/null), output collected.
Outcome run(const std::vector<std::string>& argv, const std::string& input_file = "/dev/null")
{
    const std::string base = ::testing::TempDir() + "svf_cli_" + std::to_string(getpid());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input_file.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, (base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    Outcome r;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return r;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    return r;
}

Outcome orvtool(std::vector<std::string> args, const std::string& input_file = "/dev/null")
{
    args.insert(args.begin(), ORVTOOL_PATH);
    return run(args, input_file);
}

void expect_golden(const std::string& name, const std::string& actual)
{
    const std::string path = std::string(GOLDEN_DIR) + "/" + name + ".txt";
    if (std::getenv("ORVTOOL_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << actual;
        return;
    }
    EXPECT_EQ(actual, slurp(path)) << "golden file " << path;
}

// The playing time is the one thing that changes from run to run; the files
// are named as in the source tree.
std::string stable(const std::string& text)
{
    std::string out = std::regex_replace(text, std::regex("time +[0-9.]+ s"), "time         (seconds)");
    for (std::size_t at; (at = out.find(FILES + "/")) != std::string::npos;) {
        out.replace(at, FILES.size() + 1, "tests/svf/files/");
    }
    return out;
}

std::string json_query(const std::string& document, const std::string& expression)
{
    const std::string path = ::testing::TempDir() + "svf_cli_json_" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << document;
    const Outcome r =
        run({PYTHON3, "-c", "import json,sys; d=json.load(sys.stdin); print(" + expression + ")"}, path);
    EXPECT_EQ(r.status, 0) << r.err << document;
    return r.out;
}

class SvfCli : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef ORVTOOL_HAVE_VUSB
        GTEST_SKIP() << "no virtual adapter built in";
#endif
        if (std::string(UMOCKDEV_WRAPPER).find("NOTFOUND") != std::string::npos) {
            GTEST_SKIP() << "no umockdev-wrapper";
        }
    }
};

TEST_F(SvfCli, PlaysAndDryRunsWithTheSameCounts)
{
    const Outcome played = orvtool({"--sim", "jtag", "svf", FILES + "/chain.svf"});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.err, "");
    expect_golden("jtag_svf", stable(played.out));
    // No adapter needed, none named.
    const Outcome dry = orvtool({"jtag", "svf", "--dry-run", FILES + "/chain.svf"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    expect_golden("jtag_svf_dry_run", stable(dry.out));
}

TEST_F(SvfCli, AMismatchNamesTheLineAndTheValues)
{
    const Outcome r = orvtool({"--sim", "jtag", "svf", FILES + "/chain_fail.svf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_golden("jtag_svf_mismatch", stable(r.err));
}

TEST_F(SvfCli, JsonSummaryAndJsonFailure)
{
    const Outcome ok =
        orvtool({"--sim", "--json", "jtag", "svf", "--max-readback", "8", FILES + "/chain.svf"});
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(
        json_query(ok.out,
                   "d['statements'], d['bits'], d['tdo_checks'], d['transfers']['readback_exchanges'] > "
                   "1, type(d['seconds']).__name__, d['dry_run']"),
        "42 454 10 True float False\n");
    const Outcome bad = orvtool({"--sim", "--json", "jtag", "svf", FILES + "/chain_fail.svf"});
    EXPECT_EQ(bad.status, 1);
    // Values as "0x" strings, as jtag dr gives its TDO.
    EXPECT_EQ(json_query(bad.out, "d['exit'], d['failure']['line'], d['failure']['scan']['expected'], "
                                  "d['failure']['scan']['actual'], d['failure']['scan']['mask'], "
                                  "d['failure']['scan']['differing_bits'], d['tdo_checks_passed']"),
              "1 43 0x12345679 0x12345678 0xffffffff 1 6\n");
    // tck_khz is the clock that ran: 7000 kHz asked, 60 MHz / 9 given.
    for (const char* dry : {"--dry-run", ""}) {
        std::vector<std::string> args{"--json", "jtag", "svf", "--tck", "7000", FILES + "/chain.svf"};
        if (*dry != 0) {
            args.insert(args.begin() + 3, dry);
        } else {
            args.insert(args.begin(), "--sim");
        }
        const Outcome fast = orvtool(args);
        ASSERT_EQ(fast.status, 0) << fast.err;
        EXPECT_EQ(json_query(fast.out, "d['tck_khz'], d['tck_khz_asked']"), "6666 7000\n") << dry;
    }
}

TEST_F(SvfCli, AFileThatDoesNotParseIsRefusedBeforeAnyAdapterIsOpened)
{
    const std::string bad = ::testing::TempDir() + "svf_cli_bad.svf";
    std::ofstream(bad, std::ios::trunc)
        << "SIR 4 TDI (E);\n! fine so far\nSDR 32 TDI (00000000) TDO (4BA0O477);\n";
    const Outcome r = orvtool({"--usb", "1234:5678", "jtag", "svf", bad});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "orvtool: " + bad +
                         ": line 3, column 32: bad hex digit 'O' in TDO\n"
                         "  the whole file is checked before anything is sent: nothing was sent\n");
    const Outcome missing = orvtool({"--usb", "1234:5678", "jtag", "svf", bad + ".missing"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
    const Outcome zero = orvtool({"jtag", "svf", "--dry-run", FILES + "/chain.svf", "--max-readback", "0"});
    EXPECT_EQ(zero.status, 2);
}

TEST_F(SvfCli, AnAdapterFailureNamesWhereItStopped)
{
    const Outcome r = orvtool(
        {"--sim", "--sim-fault", "never-fill", "--timeout", "5", "jtag", "svf", FILES + "/plain.svf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(
        r.err.find("plain.svf: playing the statements (the statements from line 6 on did not play): tapwire "
                   "timeout (code -15)"),
        std::string::npos)
        << r.err;
    // A read-back that fails after the checks of the batches before it were
    // made: how far the checks went, and from where on nothing is known.
    const Outcome later = orvtool({"--sim", "--json", "--sim-fault", "stall:0x81:20:1", "jtag", "svf",
                                   "--max-readback", "1", FILES + "/chain.svf"});
    EXPECT_EQ(later.status, 1);
    EXPECT_NE(
        later.err.find("chain.svf: playing the statements (TDO checks passed up to line 41; the results "
                       "from line 43 on are unknown): usb pipe error (code -9)"),
        std::string::npos)
        << later.err;
    EXPECT_EQ(json_query(later.out, "d['exit'], d['tdo_checks_passed'], d['last_checked_line'], "
                                    "d['first_unknown_line'], d['statements_played']"),
              "1 6 41 43 22\n");
}

// What an SVF file may ask is bounded before anything is sent, with the
// option that lifts each bound: its size, and the time playing takes by its
// clocks and waits (refused before the dry run plans it too).
TEST_F(SvfCli, SizeAndTimeAreBoundedBeforeAnythingIsSent)
{
    const Outcome zero = orvtool({"jtag", "svf", "--dry-run", "/dev/zero", "--max-size", "1M"});
    EXPECT_EQ(zero.status, 2);
    EXPECT_EQ(zero.err, "orvtool: /dev/zero holds more than 1 MiB, the most --max-size lets an SVF file be\n"
                        "  raise --max-size if the file is that large\n");

    const std::string dir = ::testing::TempDir();
    std::ofstream(dir + "svf_cli_long_scans.svf", std::ios::trunc) << "HDR 1000000 TDI (0);\n"
                                                                   << [] {
                                                                          std::string sdr;
                                                                          for (int k = 0; k < 10000; ++k) {
                                                                              sdr += "SDR 1 TDI (1);\n";
                                                                          }
                                                                          return sdr;
                                                                      }();
    std::ofstream(dir + "svf_cli_long_waits.svf", std::ios::trunc) << [] {
        std::string waits;
        for (int k = 0; k < 1000; ++k) {
            waits += "RUNTEST 86400 SEC;\n";
        }
        return waits;
    }();
    for (const char* name : {"svf_cli_long_scans.svf", "svf_cli_long_waits.svf"}) {
        for (const bool dry : {true, false}) {
            std::vector<std::string> args = {"--usb", "1234:5678", "jtag", "svf", dir + name};
            if (dry) {
                args.emplace_back("--dry-run");
            }
            const Outcome r = orvtool(args);
            EXPECT_EQ(r.status, 2) << name << r.err;
            EXPECT_NE(r.err.find("more than --max-time allows (60 min); nothing was sent"), std::string::npos)
                << r.err;
        }
    }
    const Outcome scans = orvtool({"jtag", "svf", "--dry-run", dir + "svf_cli_long_scans.svf"});
    EXPECT_NE(scans.err.find("takes about 2.78 h (10000060006 TCK clocks, 0 s of waits)"), std::string::npos)
        << scans.err;
    const Outcome allowed =
        orvtool({"--json", "jtag", "svf", "--dry-run", "--max-time", "0", dir + "svf_cli_long_waits.svf"});
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_EQ(json_query(allowed.out, "d['host_waits'], round(d['estimated_seconds'] / 86400)"),
              "1000 1000\n");
}

// A TCK asked for below the slowest clock runs at that clock, and says so.
TEST_F(SvfCli, AClockBelowTheSlowestIsRaisedWithANotice)
{
    const std::string file = ::testing::TempDir() + "svf_cli_slow.svf";
    std::ofstream(file, std::ios::trunc) << "FREQUENCY 1E5 HZ;\nRUNTEST 1E-2 SEC;\nFREQUENCY 2E5 HZ;\n"
                                            "SIR 10 TDI (3FF) TDO (011) MASK (033);\n";
    const Outcome r = orvtool({"--sim", "jtag", "--tck", "235", "svf", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.out.find("notice       --tck 235 kHz and FREQUENCY 100 kHz at line 1 (and 1 more) asked for less "
                   "than the adapter's slowest clock: 235.294 kHz ran instead (RUNTEST times counted at it)"),
        std::string::npos)
        << r.out;
    const Outcome json = orvtool({"--json", "jtag", "svf", "--dry-run", file});
    EXPECT_EQ(json_query(json.out, "d['tck_raised']['first_line'], d['tck_raised']['frequencies'], "
                                   "d['tck_raised']['ran_hz']"),
              "1 2 235294\n");
}

TEST_F(SvfCli, StandardInputSurvivesTheRestartUnderUmockdev)
{
    // Without the wrapper orvtool starts itself again under umockdev: the
    // file on standard input must still be there for the second start.
    const Outcome r = orvtool({"--sim", "jtag", "svf", "-"}, FILES + "/chain.svf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "played <stdin>: 42 statements, 10 TDO checks passed");
}

TEST_F(SvfCli, ProgressBarOnATerminal)
{
    if (std::string(SCRIPT).find("NOTFOUND") != std::string::npos) {
        GTEST_SKIP() << "script(1) is needed for a terminal";
    }
    const Outcome tty =
        run({SCRIPT, "-qec",
             std::string(UMOCKDEV_WRAPPER) + " " + ORVTOOL_PATH + " --sim jtag svf " + FILES + "/chain.svf",
             "/dev/null"});
    EXPECT_EQ(tty.status, 0) << tty.err;
    EXPECT_NE(tty.out.find("#] 100% "), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("42/42 statements"), std::string::npos) << tty.out;
}

// ---- XSVF ------------------------------------------------------------------

// The default board's IDCODEs read and checked, as XSVF: both after reset,
// then the DAP's alone (IDCODE for TAP 0, BYPASS for TAP 1); `last` is the
// second check's expected value.
std::string idcode_xsvf(const std::string& name, std::uint64_t last)
{
    std::vector<std::uint8_t> b{0x07, 0x00, 0x13, 0x00, 0x14, 0x00, 0x12, 0x00, 0x12, 0x01};
    const auto u32 = [&](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            b.push_back(static_cast<std::uint8_t>(v >> shift));
        }
    };
    const auto value = [&](std::uint64_t v, unsigned bytes) {
        for (unsigned i = bytes; i-- > 0;) {
            b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    };
    b.push_back(0x08), u32(64);
    b.push_back(0x01), value(0x0FFFFFFFFFFFFFFF, 8);
    b.push_back(0x09), value(0, 8), value(0x037270934BA00477, 8);
    b.insert(b.end(), {0x02, 0x0A, 0x03, 0xFE});
    b.push_back(0x08), u32(33);
    b.push_back(0x01), value(0x1FFFFFFFF, 5);
    b.push_back(0x09), value(0, 5), value(last, 5);
    b.push_back(0x00);
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return path;
}

TEST_F(SvfCli, XsvfPlaysWithTheSvfPlayersReportAndNamesAFailedCommandByOffset)
{
    const std::string good = idcode_xsvf("cli_idcode.xsvf", 0x04BA00477);
    const Outcome played = orvtool({"--sim", "jtag", "xsvf", good});
    EXPECT_EQ(played.status, 0) << played.err;
    EXPECT_EQ(played.out.substr(0, played.out.find('\n')),
              "played " + good + ": 13 commands, 2 TDO checks passed");
    EXPECT_NE(played.out.find("bits shifted 107\n"), std::string::npos) << played.out;
    const Outcome dry = orvtool({"--json", "jtag", "xsvf", "--dry-run", good});
    EXPECT_EQ(json_query(dry.out, "d['statements'], d['bits'], d['tdo_checks'], d['transfers']['out']"),
              "13 107 2 3\n");

    const std::string bad = idcode_xsvf("cli_idcode_fail.xsvf", 0x04BA00476);
    const Outcome failed = orvtool({"--sim", "jtag", "xsvf", bad});
    EXPECT_EQ(failed.status, 1);
    std::string err = failed.err;
    err.replace(err.find(bad), bad.size(), "idcode_fail.xsvf");
    expect_golden("jtag_xsvf_mismatch", err);
    const Outcome json = orvtool({"--sim", "--json", "jtag", "xsvf", bad});
    EXPECT_EQ(json_query(json.out, "d['exit'], d['failure']['command'], d['failure']['offset'], "
                                   "d['failure']['scan']['command'], d['failure']['scan']['actual']"),
              "1 12 56 XSDRTDO 0x04ba00477\n");

    // Checked whole before any adapter is opened: where it breaks, what was expected.
    std::ofstream(::testing::TempDir() + "cli_cut.xsvf", std::ios::binary | std::ios::trunc)
        << std::string("\x12\x01\x08\x00", 4);
    const Outcome cut =
        orvtool({"--usb", "1234:5678", "jtag", "xsvf", ::testing::TempDir() + "cli_cut.xsvf"});
    EXPECT_EQ(cut.status, 2);
    EXPECT_EQ(cut.err,
              "orvtool: " + ::testing::TempDir() +
                  "cli_cut.xsvf: offset 0x3 (command 2): expected XSDRSIZE's length in bits (4 bytes), found "
                  "the end of the file\n"
                  "  the whole file is checked before anything is sent: nothing was sent\n");
    // The vendor file: a dry run needs no adapter.
    const Outcome vendor = orvtool({"--json", "jtag", "xsvf", "--dry-run", FILES + "/hackrf_cpld.xsvf"});
    EXPECT_EQ(vendor.status, 0) << vendor.err;
    EXPECT_EQ(json_query(vendor.out, "d['statements'], d['bits']"), "2606 83618\n");
}

} // namespace
