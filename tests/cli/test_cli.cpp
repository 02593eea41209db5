// The orvtool program on the virtual adapter: stdout of each command against
// a golden file in tests/cli/golden/, --json parsed back, exit statuses and
// messages for a missing adapter, bad arguments and adapter faults.
//
// ORVTOOL_UPDATE_GOLDEN=1 rewrites the golden files from the current output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RunResult {
    int status = -1; // exit status; -1 when killed or not run
    std::string out;
    std::string err;
};

struct Options {
    bool wrap = true;             // under umockdev-wrapper
    std::string input;            // standard input
    std::vector<std::string> env; // extra NAME=VALUE entries
};

// A program started with pipes on stdin, stdout and stderr, for a test that
// acts on what it says while it runs: it waits for the program's own sign
// of readiness (a line it prints, a file it makes), never for a fixed time.
class Running {
public:
    Running(const std::vector<std::string>& argv, const Options& options)
    {
        int in[2], out[2], err[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
                close(fd);
            }
            for (const auto& e : options.env) {
                putenv(const_cast<char*>(e.c_str()));
            }
            std::vector<char*> args;
            for (const auto& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        if (!options.input.empty()) {
            ssize_t w = write(in[1], options.input.data(), options.input.size());
            (void)w;
        }
        close(in[1]);
        fds_[0] = {out[0], POLLIN, 0};
        fds_[1] = {err[0], POLLIN, 0};
    }
    ~Running()
    {
        if (pid_ > 0 && !finished_) {
            kill(pid_, SIGKILL);
            (void)finish();
        }
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    // What it has printed so far.
    [[nodiscard]] const RunResult& so_far() const { return result_; }
    void signal(int sig) const { kill(pid_, sig); }

    // Reads until `ready` says yes, or both outputs end, or 60 s pass.
    bool wait_until(const std::function<bool()>& ready)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!ready()) {
            if (std::chrono::steady_clock::now() >= deadline || !read_some(100)) {
                return ready();
            }
        }
        return true;
    }
    // Until `text` is on standard output (or error).
    bool wait_for(const std::string& text, bool on_stdout = true)
    {
        const std::string& where = on_stdout ? result_.out : result_.err;
        return wait_until([&] { return where.find(text) != std::string::npos; });
    }

    // Reads to the end of both outputs (60 s at most, then kills it) and
    // waits for the program; status -1 when a signal killed it.
    RunResult finish()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (read_some(1000)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                ADD_FAILURE() << "the program did not finish within 60 s";
                break;
            }
        }
        for (auto& f : fds_) {
            if (f.fd >= 0) {
                close(f.fd);
                f.fd = -1;
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        finished_ = true;
        result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result_;
    }

private:
    // One poll of both outputs; false once both have ended.
    bool read_some(int timeout_ms)
    {
        if (fds_[0].fd < 0 && fds_[1].fd < 0) {
            return false;
        }
        if (poll(fds_, 2, timeout_ms) <= 0) {
            return true;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds_[i].fd < 0 || (fds_[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(fds_[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds_[i].fd);
                fds_[i].fd = -1;
            } else {
                (i == 0 ? result_.out : result_.err).append(buf, static_cast<std::size_t>(n));
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    pollfd fds_[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
    RunResult result_;
    bool finished_ = false;
};

// Runs argv to its end; gives up after 60 s.
RunResult run_program(const std::vector<std::string>& argv, const Options& options)
{
    return Running(argv, options).finish();
}

RunResult orvtool(const std::vector<std::string>& args, const Options& options = {})
{
    std::vector<std::string> argv;
    if (options.wrap) {
        argv.push_back(UMOCKDEV_WRAPPER);
    }
    argv.push_back(ORVTOOL_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, options);
}

#ifdef ORVSIM_RUN
// orvtool as a child of orvsim-run with `adapters` virtual adapters and no
// --usb or --sim of its own.
RunResult orvtool_among(int adapters, const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {ORVSIM_RUN, "--adapters", std::to_string(adapters), "--", ORVTOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, Options{false, {}, {}});
}
#endif

std::vector<std::string> sim(std::vector<std::string> args)
{
    args.insert(args.begin(), "--sim");
    return args;
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void expect_golden(const std::string& name, const std::string& actual)
{
    std::string path = std::string(GOLDEN_DIR) + "/" + name + ".txt";
    if (std::getenv("ORVTOOL_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << actual;
        return;
    }
    EXPECT_EQ(actual, read_file(path)) << "golden file " << path;
}

// Runs python3 on the JSON document with a small program that prints what
// the test compares; the program sees the document as `d`.
std::string json_query(const std::string& document, const std::string& expression)
{
    std::string program = "import json,sys; d=json.load(sys.stdin); print(" + expression + ")";
    RunResult r = run_program({PYTHON3, "-c", program}, Options{false, document, {}});
    EXPECT_EQ(r.status, 0) << "not JSON, or the query failed: " << r.err << "\n" << document;
    return r.out;
}

bool can_run_sim()
{
#ifdef ORVTOOL_HAVE_VUSB
    return std::string(UMOCKDEV_WRAPPER).find("NOTFOUND") == std::string::npos;
#else
    return false;
#endif
}

bool have_python()
{
    return std::string(PYTHON3).find("NOTFOUND") == std::string::npos;
}

class Sim : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!can_run_sim()) {
            GTEST_SKIP() << "no virtual adapter (orv_vusb) or no umockdev-wrapper";
        }
    }
};

class SimJson : public Sim {
protected:
    void SetUp() override
    {
        Sim::SetUp();
        if (!IsSkipped() && !have_python()) {
            GTEST_SKIP() << "python3 is needed to parse the JSON";
        }
    }
};

// ---- golden outputs ----------------------------------------------------

struct GoldenCase {
    const char* name;
    std::vector<std::string> args;
};

// Names the case in test listings instead of a byte dump.
void PrintTo(const GoldenCase& c, std::ostream* os)
{
    *os << c.name;
}

class Golden : public Sim, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(Golden, StdoutMatches)
{
    RunResult r = orvtool(sim(GetParam().args));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden(GetParam().name, r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Golden,
    ::testing::Values(
        GoldenCase{"jtag_scan", {"jtag", "scan"}},
        GoldenCase{"jtag_ir", {"jtag", "ir", "--len", "10", "0x3ff"}},
        GoldenCase{"jtag_dr", {"jtag", "dr", "--len", "64", "0"}},
        GoldenCase{"jtag_dr_user",
                   {"jtag", "dr", "--ir-len", "10", "--ir", "0x3f8", "--len", "33", "0x1cafef00d"}},
        // A fresh virtual TAP is in Test-Logic-Reset; without a reset the scan
        // still reads the IDCODEs.
        GoldenCase{"jtag_dr_no_reset", {"jtag", "--tck", "7000", "dr", "--no-reset", "--len", "64", "0"}},
        GoldenCase{"spi_id", {"spi", "id"}}, GoldenCase{"spi_read", {"spi", "read", "0x3ffff0", "16"}},
        GoldenCase{"spi_read_sizes", {"spi", "read", "4k", "16"}},
        GoldenCase{"spi_erase", {"spi", "erase", "--sector", "0x1000", "--count", "2"}},
        GoldenCase{"spi_erase_chip",
                   {"--board", GOLDEN_DIR "/../boards/small-flash.json", "spi", "erase", "--chip"}},
        GoldenCase{"spi_status", {"spi", "status"}}, GoldenCase{"spi_unprotect", {"spi", "unprotect"}},
        GoldenCase{"i2c_detect", {"i2c", "detect"}}, GoldenCase{"i2c_detect_quick", {"i2c", "detect", "-q"}},
        GoldenCase{"i2c_detect_range", {"i2c", "detect", "-r", "0x50", "0x6f"}},
        GoldenCase{"i2c_detect_ten_bit", {"i2c", "--ten-bit", "detect"}},
        GoldenCase{"i2c_get", {"i2c", "get", "0x68", "0x75"}},
        GoldenCase{"i2c_set", {"i2c", "set", "0x68", "0x10", "0x5a"}},
        GoldenCase{"i2c_set_readback", {"i2c", "set", "-r", "0x68", "0x10", "0x5a"}},
        GoldenCase{"i2c_read", {"i2c", "read", "0x68", "0x6b", "11"}},
        GoldenCase{"i2c_write", {"i2c", "write", "0x50", "0x00", "0x41", "0x42"}},
        GoldenCase{"i2c_dump", {"i2c", "dump", "0x68"}},
        GoldenCase{"i2c_dump_ten_bit", {"i2c", "--ten-bit", "dump", "0x2a5"}},
        GoldenCase{"jtag_scan_three_taps", {"--board", "three-taps", "jtag", "scan"}},
        GoldenCase{"spi_id_w25q256", {"--board", "w25q256", "spi", "id"}}, GoldenCase{"list", {"list"}},
        GoldenCase{"spi_sfdp", {"spi", "sfdp"}}, GoldenCase{"spi_id_part", {"spi", "--part", "w25q64", "id"}},
        GoldenCase{"i2c_transfer", {"i2c", "transfer", "w1@0x68", "0x75", "r1", "w1", "0x6b", "r2"}}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

#ifdef ORVSIM_RUN
// One orvsim-run adapter on `board` for several orvtool runs in a row: the
// memories keep what the runs before wrote.
RunResult orvtools_on(const std::string& board, const std::vector<std::vector<std::string>>& runs)
{
    std::string script;
    for (const auto& args : runs) {
        script += (script.empty() ? "" : " && ") + std::string("\"$0\" --sim");
        for (const auto& a : args) {
            script += " '" + a + "'";
        }
    }
    return run_program({ORVSIM_RUN, "--board", board, "--", "/bin/sh", "-c", script, ORVTOOL_PATH},
                       Options{false, {}, {}});
}

TEST_F(Sim, LayoutRegionsAloneAreWrittenVerifiedAndRead)
{
    const std::string dir = ::testing::TempDir();
    const std::string layout = dir + "orvtool_layout.txt";
    std::ofstream(layout) << "0:fff boot\n1000:1fff config\n";
    std::string image(8192, 'i');
    image.replace(0x1000, 4096, 4096, 'c');
    const std::string file = dir + "orvtool_layout.bin";
    std::ofstream(file, std::ios::binary) << image;
    const std::string board = GOLDEN_DIR "/../boards/small-flash.json";
    RunResult r = orvtools_on(board, {{"spi", "write", "0", file, "--layout", layout, "--include", "config"},
                                      {"spi", "verify", "0", file, "--layout", layout, "--include", "config"},
                                      {"spi", "read", "0", "8k", "-o", dir + "orvtool_layout_back.bin",
                                       "--layout", layout, "--include", "boot,config"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("wrote the included regions' 4096 bytes of 8192 bytes at 0x000000"),
              std::string::npos)
        << r.out;
    std::string expected(4096, '\xff'); // boot: never written, erased
    expected += std::string(4096, 'c');
    EXPECT_EQ(read_file(dir + "orvtool_layout_back.bin"), expected);
    // verify says what it compared, in text and JSON.
    EXPECT_NE(r.out.find("verified the included regions' 4096 bytes of 8192 bytes at 0x000000 (config): the "
                         "flash holds them as " +
                         file + " has them"),
              std::string::npos)
        << r.out;
    if (have_python()) {
        r = orvtools_on(board,
                        {{"spi", "write", "0", file, "--layout", layout, "--include", "config"},
                         {"--json", "spi", "verify", "0", file, "--layout", layout, "--include", "config"}});
        EXPECT_EQ(json_query(r.out.substr(r.out.rfind("\n{") + 1),
                             "d['len'], d['regions'], d['compared_bytes'], d['identical']"),
                  "8192 ['config'] 4096 True\n");
    }
    // boot was not written: verifying it finds the flash erased, and the
    // hint writes the same regions again, not the whole file.
    r = orvtools_on(board, {{"spi", "verify", "0", file, "--layout", layout, "--include", "boot"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("differs from " + file + " in the included regions (boot) at 0x000000"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("orvtool spi write 0x000000 " + file + " --layout " + layout + " --include boot\n"),
              std::string::npos)
        << r.err;
    r = orvtools_on(board, {{"spi", "read", "0", "16", "--include", "boot"}});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--include needs --layout FILE"), std::string::npos) << r.err;
}

// A backup of a write over several regions holds all it says it holds: the
// blocks from the first region's to the last one's, as they were.
TEST_F(Sim, ABackupOfSeveralRegionsHoldsTheWholeSpanItNames)
{
    const std::string dir = ::testing::TempDir();
    const std::string layout = dir + "orvtool_layout_backup.txt";
    std::ofstream(layout) << "0:fff boot\n1000:1fff config\n3000:3fff data\n";
    const std::string before = dir + "orvtool_layout_before.bin";
    const std::string file = dir + "orvtool_layout_image.bin";
    std::string old(0x4000, '\0');
    for (std::size_t i = 0; i < old.size(); ++i) {
        old[i] = static_cast<char>(i * 13 + (i >> 12));
    }
    std::ofstream(before, std::ios::binary) << old;
    std::ofstream(file, std::ios::binary) << std::string(0x4000, 'n');
    const std::string backup = dir + "orvtool_layout_backup.bin";
    std::filesystem::remove(backup);
    const std::string board = GOLDEN_DIR "/../boards/small-flash.json";
    RunResult r = orvtools_on(board, {{"spi", "write", "0", before},
                                      {"spi", "write", "0", file, "--layout", layout, "--include", "boot",
                                       "--include", "data", "--backup", backup}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("backup:     " + backup + " (0x000000..0x003fff (16 KiB) as it was)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(backup), old);
}

// Layout files: refusals with the line, a chosen region past the end of the
// flash too (before anything is read: tests/devices).
TEST_F(Sim, LayoutFilesAreRefusedWithTheirLine)
{
    const std::string dir = ::testing::TempDir() + "orvtool_layouts";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/overlap.txt") << "# two regions\n0:1fff boot\n1000:2fff config\n";
    std::ofstream(dir + "/past.txt") << "0:fff boot\n400000:400fff beyond   # of a larger part\n";
    const struct {
        std::string layout;
        std::string include;
        std::string err;
    } cases[] = {
        {dir + "/overlap.txt", "boot",
         "orvtool: " + dir +
             "/overlap.txt:3:1: region config (0x00001000..0x00002fff) overlaps region boot "
             "(0x00000000..0x00001fff, "
             "line 2)\n"},
        {dir + "/past.txt", "beyond",
         "orvtool: " + dir +
             "/past.txt:2: region beyond (0x400000..0x400fff) goes past the end of the 4 MiB flash\n"},
    };
    for (const auto& c : cases) {
        RunResult r = orvtool(sim({"spi", "read", "0", "16", "--layout", c.layout, "--include", c.include}));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
    }
}

TEST_F(Sim, TwoByteRegisterAddressesReachTheWholeEeprom)
{
    const std::string board = GOLDEN_DIR "/../boards/eeprom-24c32.json";
    RunResult r = orvtools_on(board, {{"i2c", "--reg16", "set", "0x50", "0x0800", "0x5a"},
                                      {"i2c", "--reg16", "get", "0x50", "0x0800"},
                                      {"i2c", "--reg16", "read", "0x50", "0x07ff", "3"},
                                      {"i2c", "transfer", "w2@0x50", "0x08", "0x00", "r1"},
                                      // i2cset's and i2cget's word and block modes
                                      {"i2c", "--reg16", "set", "0x50", "0x0ff0", "1", "2", "3", "i"},
                                      {"i2c", "--reg16", "get", "0x50", "0x0ff0", "w"},
                                      {"i2c", "--reg16", "get", "0x50", "0x0ff1", "i", "3"},
                                      {"i2c", "--reg16", "dump", "-r", "0x0ffe-0x1001", "0x50"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x5a\n000007ff  ff 5a ff                                          |.Z.|\n0x5a\n0x0201\n"
                     "0x02 0x03 0xff\n"
                     "       0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
                     "0ff0:                                           ff ff                  ..\n"
                     "1000: ff ff                                              ..\n")
        << r.err;
    // A register that needs two bytes is refused without --reg16.
    r = orvtools_on(board, {{"i2c", "get", "0x50", "0x0800"}});
    EXPECT_EQ(r.status, 2);
}
#endif

TEST_F(SimJson, StandardOutputStaysJsonWhenTheLibraryPrintsADiagnostic)
{
    // The fourth OUT transfer (after TCK, pins and the reset) stalls: the
    // JTAG library prints its diagnostic, orvtool's stdout stays one object.
    RunResult r = orvtool(sim({"--json", "--sim-fault", "stall:0x02:3", "jtag", "dr", "--len", "8", "0"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(json_query(r.out, "d['code'], d['exit']"), "-9 1\n");
    EXPECT_NE(r.err.find("usb trans error: -9"), std::string::npos) << r.err;
}

TEST_F(Sim, SignalsStopCleanlyAndSayWhatWasDone)
{
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
        const std::string dir = ::testing::TempDir() + "orvtool_signal_" + std::to_string(signal);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        // 4 MiB through the virtual adapter takes seconds; the signal comes
        // once the read has begun: orvtool made its temporary file.
        Running r(
            {UMOCKDEV_WRAPPER, ORVTOOL_PATH, "--sim", "spi", "read", "0", "4M", "-o", dir + "/dump.bin"},
            Options{});
        ASSERT_TRUE(r.wait_until([&] { return !std::filesystem::is_empty(dir); }));
        r.signal(signal);
        const RunResult done = r.finish();
        EXPECT_EQ(done.status, status) << done.err;
        EXPECT_NE(done.err.find(std::string("orvtool: interrupted by ") +
                                (signal == SIGINT ? "SIGINT" : "SIGTERM")),
                  std::string::npos)
            << done.err;
        EXPECT_NE(done.err.find("  done: read "), std::string::npos) << done.err;
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << "no output file and no temporary file are left";
    }
}

TEST_F(Sim, SpiWriteProgramsAndVerifies)
{
    std::string path = ::testing::TempDir() + "orvtool_cli_write.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(300, 'x');
    RunResult r = orvtool(sim({"spi", "write", "0x100", path}));
    EXPECT_EQ(r.status, 0) << r.err;
    expect_golden("spi_write", r.out);
}

TEST_F(Sim, SpiReadToFileAndToStandardOutput)
{
    std::string path = ::testing::TempDir() + "orvtool_cli_read.bin";
    std::remove(path.c_str());
    RunResult r = orvtool(sim({"spi", "read", "0", "1500", "-o", path}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "read 1500 bytes at 0x000000 into " + path + "\n");
    EXPECT_EQ(read_file(path), std::string(1500, '\xff')); // the board's flash starts erased
    RunResult raw = orvtool(sim({"spi", "read", "0x10", "4", "-o", "-"}));
    EXPECT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.out, std::string(4, '\xff'));
    EXPECT_EQ(raw.err, "read 4 bytes at 0x000010 to standard output\n");
}

// A read that fails leaves the file that was there; a bad path is refused
// before the read starts (a timeout fault would make the read itself fail).
TEST_F(Sim, SpiReadOutputIsReplacedOnlyWhenTheReadSucceeds)
{
    std::string dir = ::testing::TempDir() + "orvtool_cli_keep";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    std::string path = dir + "/image.bin";
    std::ofstream(path, std::ios::binary) << "previous";
    RunResult failed = orvtool(sim({"--sim-fault", "unplugged", "spi", "read", "0", "4096", "-o", path}));
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_EQ(read_file(path), "previous");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "a temporary file was left";

    RunResult bad = orvtool(sim({"--sim-fault", "timeout", "--timeout", "5000", "spi", "read", "0", "4096",
                                 "-o", dir + "/none/x.bin"}));
    EXPECT_EQ(bad.status, 2) << bad.err;
    EXPECT_EQ(bad.err, "orvtool: cannot create " + dir +
                           "/none/x.bin: No such file or directory\n"
                           "  check that the directory exists and that you may write there\n");

    RunResult directory = orvtool(sim({"spi", "write", "0", dir}));
    EXPECT_EQ(directory.status, 2);
    EXPECT_EQ(directory.err, "orvtool: " + dir + " is a directory\n  give the image to write as a file\n");
}

TEST_F(Sim, ProgressBarOnlyOnATerminalAndNoWiderThanIt)
{
    if (std::string(SCRIPT).find("NOTFOUND") != std::string::npos) {
        GTEST_SKIP() << "script(1) is needed for a terminal";
    }
    std::string path = ::testing::TempDir() + "orvtool_cli_tty.bin";
    for (int columns : {80, 40}) {
        std::string command = "stty cols " + std::to_string(columns) + "; " + UMOCKDEV_WRAPPER + " " +
                              ORVTOOL_PATH + " --sim spi read 0 64k -o " + path;
        // script runs the command on a pseudo-terminal and copies what it shows.
        RunResult tty = run_program({SCRIPT, "-qec", command, "/dev/null"}, Options{false, {}, {}});
        EXPECT_EQ(tty.status, 0) << tty.err;
        EXPECT_NE(tty.out.find("read ["), std::string::npos) << tty.out;
        EXPECT_NE(tty.out.find("100%"), std::string::npos) << tty.out;
        // Each redraw is "\r\033[K" and the bar, which must fit the line (the
        // result that follows the last clear has no percentage).
        std::size_t widest = 0;
        std::size_t from = tty.out.find('\r');
        while (from != std::string::npos) {
            std::size_t next = tty.out.find('\r', from + 1);
            std::string line =
                tty.out.substr(from + 1, next == std::string::npos ? std::string::npos : next - from - 1);
            if (line.rfind("\033[K", 0) == 0 && line.find('%') != std::string::npos) {
                widest = std::max(widest, line.size() - 3);
            }
            from = next;
        }
        EXPECT_GT(widest, 0u) << tty.out;
        EXPECT_LT(widest, static_cast<std::size_t>(columns)) << tty.out;
    }
    RunResult plain = orvtool(sim({"spi", "read", "0", "4096", "-o", path}));
    EXPECT_EQ(plain.err, ""); // no bar into a pipe
}

TEST_F(Sim, StartsUmockdevItselfWithoutTheWrapper)
{
    RunResult r = orvtool({"--sim", "spi", "id"}, Options{false, {}, {}});
    EXPECT_EQ(r.status, 0) << r.err;
    expect_golden("spi_id", r.out);
}

// ---- --json --------------------------------------------------------------

TEST_F(SimJson, JtagScan)
{
    RunResult r = orvtool(sim({"--json", "jtag", "scan"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(r.out, "len(d['devices']), d['ir_total'], [x['idcode'] for x in d['devices']], "
                                "[x['idcode_hex'] for x in d['devices']], "
                                "[x['ir_length'] for x in d['devices']], d['devices'][0]['vendor']"),
              "2 10 [1268778103, 57831571] ['0x4ba00477', '0x03727093'] [4, 6] ARM Ltd\n");
}

TEST_F(SimJson, SpiId)
{
    RunResult r = orvtool(sim({"--json", "spi", "id"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(r.out, "d['jedec_id'], d['size_bytes'], d['vendor'], d['part'], d['parameters'], "
                                "d['manufacturer'], d['manufacturer_hex'], d['erase_types'][0]['opcode']"),
              "ef4016 4194304 NEXCOM Winbond W25Q32 SFDP 239 0xef 32\n");
}

TEST_F(SimJson, SpiRead)
{
    RunResult r = orvtool(sim({"spi", "--json", "read", "0x10", "4"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(r.out, "d['addr'], d['len'], d['data']"), "16 4 ffffffff\n");
}

TEST_F(SimJson, I2cDetect)
{
    RunResult r = orvtool(sim({"i2c", "detect", "--json"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(r.out, "[hex(a) for a in d['found']], d['addr_bits']"), "['0x50', '0x68'] 7\n");
}

TEST_F(SimJson, I2cReadAndRawScan)
{
    RunResult r = orvtool(sim({"--json", "i2c", "read", "0x68", "0x75", "1"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(r.out, "d['addr'], d['reg'], d['data']"), "104 117 68\n");
    RunResult s = orvtool(sim({"--json", "jtag", "ir", "--len", "10", "0x3ff"}));
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(json_query(s.out, "d['register'], d['bits'], d['tdo']"), "ir 10 0x011\n");
}

TEST_F(SimJson, ErrorsAreJsonToo)
{
    RunResult r = orvtool(sim({"--json", "i2c", "read", "0x51", "1"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        json_query(r.out, "d['error'], d['detail'], d['code'], d['exit'], 'i2c detect' in d['hint']"),
        "no device acknowledged address 0x51 reading from 0x51: not acknowledged (code -17) -17 1 True\n");
    // Argument errors too, whatever found them.
    for (std::vector<std::string> args : {std::vector<std::string>{"spi", "read"},
                                          {"bogus"},
                                          {"spi", "read", "0", "1", "2"},
                                          {"i2c", "read", "0x80", "1"},
                                          {"--timeout", "x", "spi", "id"}}) {
        args.insert(args.begin(), "--json");
        RunResult e = orvtool(sim(args));
        EXPECT_EQ(e.status, 2) << args[1];
        EXPECT_EQ(json_query(e.out, "d['exit'], d['code'], len(d['error']) > 0"), "2 None True\n") << args[1];
    }
    // A message without a hint has null there, as everywhere a value is missing.
    RunResult plain = orvtool(sim({"--json", "jtag", "svf", "--max-readback", "0", "x.svf"}));
    EXPECT_EQ(plain.status, 2);
    EXPECT_EQ(json_query(plain.out, "d['hint'], d['detail']"), "None None\n");
}

TEST_F(SimJson, SpiWriteReportsWhatItDid)
{
    std::string path = ::testing::TempDir() + "orvtool_cli_json_write.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(4096, '\0');
    RunResult r = orvtool(sim({"--json", "spi", "write", "4k", path}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(r.out, "d['addr'], d['unchanged_bytes'], d['erased'], d['pages_programmed'], "
                                "d['verified'], d['verified_bytes']"),
              "4096 0 [] 16 True 4096\n");
}

// ---- failures --------------------------------------------------------------

TEST(Errors, MissingAdapterExitsThreeWithAClearMessage)
{
    RunResult r = orvtool({"--usb", "1234:5678", "jtag", "scan"}, Options{false, {}, {}});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    // The hint says what applies on this host: no USB device nodes at all
    // (a container), or no such adapter among them.
    EXPECT_EQ(r.err,
              "orvtool: no adapter found with USB id 1234:5678\n" +
                  std::string(std::filesystem::exists("/dev/bus/usb")
                                  ? "  check that it is plugged in and that the id matches lsusb; --sim "
                                    "runs on the virtual adapter instead\n"
                                  : "  /dev/bus/usb does not exist, so no program here can open a USB "
                                    "device: in a container, pass it in (docker run --device "
                                    "/dev/bus/usb); or use --sim for the virtual adapter\n"));
}

TEST(Errors, BadArgumentsExitTwoBeforeTouchingAnyAdapter)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--usb", "1234:5678"},
        {"--usb", "zz:1", "jtag", "scan"},                                      // bad USB id
        {"--usb", "1234:5678", "--sim", "jtag", "scan"},                        // both adapters
        {"--usb", "1234:5678", "bogus"},                                        // unknown group
        {"--usb", "1234:5678", "jtag"},                                         // no command
        {"--usb", "1234:5678", "jtag", "--tck", "100", "scan"},                 // divisor would wrap
        {"--usb", "1234:5678", "jtag", "ir", "--len", "4", "0x1f"},             // TDI wider than the scan
        {"--usb", "1234:5678", "jtag", "ir", "0x1"},                            // no --len
        {"--usb", "1234:5678", "jtag", "dr", "--len", "8", "--ir", "0x1", "0"}, // --ir without --ir-len
        {"--usb", "1234:5678", "spi", "read", "0"},                             // no LEN
        {"--usb", "1234:5678", "spi", "read", "0x100000000", "1"},              // past four address bytes
        {"--usb", "1234:5678", "spi", "read", "0", "4kk"},                      // not a size
        {"--usb", "1234:5678", "spi", "erase"},                                 // neither --sector nor --chip
        {"--usb", "1234:5678", "spi", "erase", "--sector", "0", "--chip"},
        {"--usb", "1234:5678", "i2c", "read", "0x80", "1"}, // not a 7-bit address
        {"--usb", "1234:5678", "i2c", "read", "0x50", "1", "2", "3"},
        {"--usb", "1234:5678", "i2c", "write", "0x50", "0x100"}, // not a byte
        {"--usb", "1234:5678", "i2c", "detect", "0x50"},         // FIRST without LAST
        {"--usb", "1234:5678", "i2c", "detect", "0x60", "0x50"}, // FIRST above LAST
        {"--usb", "1234:5678", "i2c", "detect", "-q", "-r"},
        {"--usb", "1234:5678", "i2c", "set", "0x68", "0x10"}, // no VALUE
        {"--usb", "1234:5678", "--timeout", "-1", "i2c", "detect"},
        {"--usb", "1234:5678", "--board", "default", "spi", "id"}, // a board needs --sim
        {"--usb", "1234:5678", "--sim-fault", "stall", "spi", "id"},
    };
    for (const auto& args : cases) {
        RunResult r = orvtool(args, Options{false, {}, {}});
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(r.status, 2) << joined << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("orvtool: ", 0), 0u) << joined << ": " << r.err;
        EXPECT_EQ(r.err.find("no adapter found"), std::string::npos) << joined << ": opened before checking";
    }
}

TEST(Errors, CommandLineMessagesNameWhatIsWrong)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--usb", "1:2", "bogus"},
         "orvtool: unknown command 'bogus'\n  the commands of orvtool are jtag, spi, i2c, serve, bsdl, list "
         "(see "
         "orvtool --help)\n"},
        {{"--usb", "1:2", "i2c", "--clock", "400", "detcet"},
         "orvtool: unknown command 'detcet' in orvtool i2c\n  the commands of orvtool i2c are detect, get, "
         "set, "
         "read, write, dump, transfer (see orvtool i2c --help)\n"},
        {{"--usb", "1:2", "spi", "read", "0"}, "orvtool: LEN is required\n  see orvtool spi read --help\n"},
        {{"--usb", "1:2", "i2c", "--clock", "100", "detect"},
         "orvtool: bad --clock '100'\n  give a frequency in kHz from 235 to 60000\n"},
        // CLI11's findings in orvtool's words, with the help that concerns them.
        {{"--usb", "1:2", "jtag"},
         "orvtool: orvtool jtag needs a command: scan, bsdl, pins, set, connect-test, ir, dr, svf or xsvf\n"
         "  see orvtool jtag --help\n"},
        {{"--bogus", "spi", "id"},
         "orvtool: unknown option '--bogus'\n  see orvtool --help for its options\n"},
        {{"--usb", "1:2", "spi", "id", "--bogus=1"},
         "orvtool: unknown option '--bogus' for orvtool spi id\n  see orvtool spi id --help for its options, "
         "orvtool --help for the global ones\n"},
        {{"--usb", "1:2", "i2c", "read", "0x50", "1", "2", "3"},
         "orvtool: too many values for LEN: at most 2, got 3\n  see orvtool i2c read --help\n"},
        {{"--usb", "1:2", "--sim", "jtag", "scan"},
         "orvtool: --usb and --sim cannot go together\n  see orvtool --help\n"},
        {{"--usb", "1:2", "--board", "x", "jtag", "scan"},
         "orvtool: --board needs --sim\n  see orvtool --help\n"},
        {{"--usb", "1:2", "jtag", "ir", "--len", "0", "1"},
         "orvtool: --len must be at least 1\n  give 1 to 32768 bits\n"},
        {{"--usb", "1:2", "spi", "read", "-o", "", "0", "16"},
         "orvtool: empty value for --output of orvtool spi read\n  give a value, or leave --output out (see "
         "orvtool spi read --help)\n"},
    };
    for (const auto& c : cases) {
        RunResult r = orvtool(c.args, Options{false, {}, {}});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
    }
    RunResult version = orvtool({"--version"}, Options{false, {}, {}});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "orvtool 1.0.0\n");
    RunResult help = orvtool({"i2c", "read", "--help"}, Options{false, {}, {}});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("i2c read [OPTIONS] ADDR [REG] LEN\n"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("(2x)"), std::string::npos) << help.out;
    // Every description starts in its column and fits 80 columns.
    RunResult global_help = orvtool({"--help"}, Options{false, {}, {}});
    std::istringstream lines(global_help.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LE(line.size(), 80u) << line;
        if (line.rfind("  -", 0) == 0 && line.size() > 30) {
            EXPECT_EQ(line.substr(28, 2), "  ") << line;
        }
    }
    EXPECT_EQ(global_help.out.find("Excludes:"), std::string::npos) << global_help.out;
    RunResult clock_help = orvtool({"i2c", "--help"}, Options{false, {}, {}});
    EXPECT_NE(clock_help.out.find("100 kHz would need"), std::string::npos) << clock_help.out;
}

TEST(Errors, HelpExitsZero)
{
    RunResult r = orvtool({"--help"}, Options{false, {}, {}});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--sim"), std::string::npos);
}

// Without --usb and --sim orvtool takes the one adapter there is.
TEST(Adapters, TheOnlyAdapterNeedsNoUsbOption)
{
#ifndef ORVSIM_RUN
    GTEST_SKIP() << "orvsim-run was not built";
#else
    if (!can_run_sim()) {
        GTEST_SKIP() << "no virtual adapter (orv_vusb) or no umockdev-wrapper";
    }
    RunResult one = orvtool_among(1, {"spi", "id"});
    EXPECT_EQ(one.status, 0) << one.err;
    expect_golden("spi_id", one.out);
    RunResult two = orvtool_among(2, {"spi", "id"});
    EXPECT_EQ(two.status, 3);
    EXPECT_EQ(two.err, "orvtool: 2 adapters found\n"
                       "  choose one with --usb SERIAL or --usb VID:PID:BUS:ADDR: ORVSIM0000, ORVSIM0001; "
                       "or run on each with --each\n");
    RunResult listed = orvtool_among(2, {"list"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    expect_golden("list_two", listed.out);
    RunResult chosen = orvtool_among(2, {"--usb", "1209:4f52:1:3", "i2c", "get", "0x68", "0x75"});
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(chosen.out, "0x68\n");
#endif
}

TEST_F(Sim, RangePastTheFlashIsRefused)
{
    RunResult r = orvtool(sim({"spi", "read", "0x3ffffc", "8"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("goes past the end of the 4 MiB flash"), std::string::npos) << r.err;
}

TEST_F(Sim, MissingI2cDeviceNamesTheLibraryError)
{
    RunResult r = orvtool(sim({"i2c", "dump", "0x51"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "orvtool: no device acknowledged address 0x51\n"
                     "  selecting register 0x00: not acknowledged (code -17)\n"
                     "  check the address (orvtool i2c detect), the wiring and the pull-ups\n"
                     "  done: read 0 of 256 bytes from 0x00, stopped at 0x00\n");
}

// Failures on the I2C and SPI buses in the buses' own words: the refused
// byte named (counted from 0, as the messages are), no JTAG library's name,
// and no advice to raise a timeout that I2C caps.
TEST_F(Sim, BusFailuresSpeakOfTheirBus)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
        bool suggests_timeout;
    };
    const Case cases[] = {
        {{"i2c", "write", "0x68", "0x75", "0x12"},
         "orvtool: the device at 0x68 refused data byte 1 (counted from 0)\n",
         false},
        {{"i2c", "set", "0x68", "0x75", "0x12"}, "refused data byte 1", false},
        {{"i2c", "transfer", "w1@0x68", "0x10", "w2@0x68", "0x75", "0x12"},
         "orvtool: the device at 0x68 refused data byte 1 of message 1 (both counted from 0)\n",
         false},
        {{"i2c", "transfer", "w1@0x68", "0x10", "r1@0x51"},
         "no device acknowledged address 0x51 (message 1, counted from 0)",
         false},
        {{"--sim-fault", "never-fill:0x83:2", "i2c", "get", "0x68", "0x75"},
         "the adapter's read-back did not come in time (code -15)",
         false},
        {{"--sim-fault", "never-fill:0x83:2", "spi", "id"},
         "reading the JEDEC ID: the adapter's read-back did not come in time (code -15)",
         true},
    };
    for (const Case& c : cases) {
        RunResult r = orvtool(sim(c.args));
        const std::string shown = testing::PrintToString(c.args);
        EXPECT_EQ(r.status, 1) << shown << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << shown << r.err;
        EXPECT_EQ(r.err.find("tapwire"), std::string::npos) << shown << r.err;
        EXPECT_EQ(r.err.find("timeout") != std::string::npos, c.suggests_timeout) << shown << r.err;
    }
}

// A maker's name longer than its column widens the column for every row: the
// part, version and IR length stay under their headings.
TEST_F(Sim, ScanColumnsStayAlignedWithALongMakersName)
{
    const std::string board = ::testing::TempDir() + "orvtool_long_maker.json";
    std::ofstream(board) << R"({"jtag": [{"name": "dct", "idcode": "0x01234427", "ir_length": 5},
                                         {"name": "arm_dap", "idcode": "0x4ba00477", "ir_length": 4}]})";
    RunResult r = orvtool(sim({"--board", board, "jtag", "scan"}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line); // the chain's summary
    std::getline(lines, line);
    const std::size_t part = line.find("PART");
    ASSERT_NE(part, std::string::npos) << r.out;
    for (const char* id : {"0x1234", "0xba00"}) {
        ASSERT_TRUE(std::getline(lines, line)) << r.out;
        EXPECT_EQ(line.find(id, 12), part) << r.out;
    }
    EXPECT_NE(r.out.find("(Digital Communications Technology Inc)"), std::string::npos) << r.out;
}

// The trace's summary is a diagnostic: standard output stays the command's
// answer, so that $(orvtool --trace t.vcd i2c get ...) is one value.
TEST_F(Sim, TraceSummaryGoesToStandardError)
{
    const std::string vcd = ::testing::TempDir() + "orvtool_summary.vcd";
    RunResult r = orvtool(sim({"--trace", vcd, "i2c", "get", "0x68", "0x75"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x68\n");
    EXPECT_EQ(r.err.rfind("trace: " + vcd + ", ", 0), 0u) << r.err;
    RunResult json = orvtool(sim({"--json", "--trace", vcd, "i2c", "get", "0x68", "0x75"}));
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json_query(json.out, "d['value'], d['trace']['file'] == '" + vcd + "'"), "104 True\n");
    std::filesystem::remove(vcd);
}

TEST_F(Sim, UnpluggedAdapter)
{
    RunResult r = orvtool(sim({"--sim-fault", "unplugged", "spi", "id"}));
    EXPECT_EQ(r.status, 1);
    // Found at open, when orvtool empties the adapter's read-back.
    EXPECT_NE(r.err.find("cannot empty the adapter's read-back: usb no such device (code -4)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("reconnect"), std::string::npos) << r.err;
}

TEST_F(Sim, ReadBackThatNeverFills)
{
    RunResult r = orvtool(sim({"--sim-fault", "never-fill", "--timeout", "2", "jtag", "scan"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.err.find(
            "scanning the instruction registers: the adapter's read-back did not come in time (code -15)"),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("--timeout"), std::string::npos) << r.err;
}

TEST_F(Sim, TransferTimeout)
{
    RunResult r = orvtool(sim({"--sim-fault", "timeout", "--timeout", "20", "i2c", "detect"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("usb operation time out (code -7)"), std::string::npos) << r.err;
}

// ---- boards, faults, orvsim-run ---------------------------------------------

// A fresh directory for one test's files.
std::string scratch(const std::string& name)
{
    const std::string dir = ::testing::TempDir() + "orvtool_cli_" + name;
    RunResult r =
        run_program({"/bin/sh", "-c", "rm -rf \"$0\" && mkdir -p \"$0\"", dir}, Options{false, {}, {}});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir;
}

// Every wait on the host ends on the first SIGINT or SIGTERM, with 130 or 143
// and what was awaited (timeout's KILL three seconds later would make it
// 137): FIFOs whose other end never comes, a pipe that takes or gives
// nothing. And a FIFO with a reader is written once, not opened twice (a
// check that opened it would end the reader). The cases run side by side.
TEST_F(Sim, EveryWaitOnTheHostEndsOnTheFirstSignal)
{
    const struct {
        const char* what;
        const char* script; // $O: orvtool, $F: a FIFO of its own
        int status;
        const char* said; // on stderr, or for status 0 on stdout
    } cases[] = {
        {"an output FIFO nobody reads",
         "timeout --preserve-status -k 3 -s TERM 3 \"$O\" --sim spi read 0 64k -o \"$F\"", 143,
         "orvtool: interrupted by SIGTERM: gave up waiting for a reader of "},
        {"an input FIFO nobody writes",
         "timeout --preserve-status -k 3 -s TERM 3 \"$O\" --sim spi write 0 \"$F\"", 143,
         "orvtool: interrupted by SIGTERM: gave up waiting for input from "},
        {"standard input that never comes",
         "exec 3<>\"$F\"; timeout --preserve-status -k 3 -s TERM 3 \"$O\" --sim spi write 0 - < \"$F\"", 143,
         "gave up waiting for input from standard input"},
        {"standard output nobody reads",
         "exec 3<>\"$F\"; timeout --preserve-status -k 3 -s INT 3 \"$O\" --sim spi read 0 128k -o - > \"$F\"",
         130, "orvtool: interrupted by SIGINT: gave up waiting for standard output to take more"},
        {"an SVF file from a FIFO, no adapter",
         "timeout --preserve-status -k 3 -s TERM 3 \"$O\" jtag svf \"$F\" --dry-run", 143,
         "gave up waiting for input from "},
        {"a FIFO with its reader",
         "cat \"$F\" > \"$F.got\" & timeout --preserve-status -k 3 -s TERM 30 \"$O\" --sim spi read 0 64k -o "
         "\"$F\" "
         "> /dev/null; s=$?; wait; wc -c < \"$F.got\"; exit $s",
         0, "65536\n"},
    };
    const std::string dir = scratch("waits");
    std::string script = "cd \"$1\" || exit 1; O=\"$0\"; ";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string n = std::to_string(i);
        script += "{ (F=f" + n + "; mkfifo $F; " + cases[i].script + ") > out" + n + " 2> err" + n +
                  "; echo $? > status" + n + "; } & ";
    }
    script += "wait";
    RunResult all = run_program({"/bin/sh", "-c", script, ORVTOOL_PATH, dir}, Options{false, {}, {}});
    ASSERT_EQ(all.status, 0) << all.err;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const std::string n = std::to_string(i);
        const std::string err = read_file(dir + "/err" + n);
        EXPECT_EQ(read_file(dir + "/status" + n), std::to_string(cases[i].status) + "\n") << err;
        EXPECT_NE((cases[i].status == 0 ? read_file(dir + "/out" + n) : err).find(cases[i].said),
                  std::string::npos)
            << err;
    }
}

TEST_F(Sim, PersistedImagesCarryWritesToTheNextRun)
{
    const std::string dir = scratch("persist");
    std::ofstream(dir + "/board.json") << R"({
      "spi_flash": {"image": "flash.bin", "persist": true},
      "i2c": [{"address": "0x50", "type": "eeprom", "size": 4096, "image": "eeprom.bin", "persist": true}]})";
    std::ofstream(dir + "/data.bin", std::ios::binary) << "persisted";
    const std::string board = dir + "/board.json";
    RunResult w = orvtool(sim({"--board", board, "spi", "write", "0x1000", dir + "/data.bin"}));
    ASSERT_EQ(w.status, 0) << w.err;
    RunResult e = orvtool(sim({"--board", board, "i2c", "write", "0x50", "0x00", "0x00", "0x41", "0x42"}));
    ASSERT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(read_file(dir + "/flash.bin").size(), 4u << 20);
    EXPECT_EQ(read_file(dir + "/eeprom.bin").substr(0, 3), "AB\xff");

    RunResult r = orvtool(sim({"--board", board, "--json", "spi", "read", "0x1000", "9"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("706572736973746564"), std::string::npos) << r.out;    // "persisted"
    RunResult i = orvtool(sim({"--board", board, "i2c", "read", "0x50", "2"})); // from pointer 0
    ASSERT_EQ(i.status, 0) << i.err;
    EXPECT_NE(i.out.find("41 42"), std::string::npos) << i.out;
}

// -o follows a link to the file it names and keeps that file's mode; a name
// as long as a file system allows gets a temporary name that fits beside it.
TEST_F(Sim, OutputThroughALinkKeepsTheLinkAndTheModeAndLongNamesWork)
{
    const std::string dir = scratch("output_kinds");
    std::ofstream(dir + "/dump.bin") << "old";
    std::filesystem::permissions(dir + "/dump.bin",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_symlink("dump.bin", dir + "/latest.bin");
    RunResult r = orvtool(sim({"spi", "read", "0", "16", "-o", dir + "/latest.bin"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/latest.bin"));
    EXPECT_EQ(read_file(dir + "/dump.bin"), std::string(16, '\xff'));
    EXPECT_EQ(std::filesystem::status(dir + "/dump.bin").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    const std::string long_name = dir + "/" + std::string(245, 'd');
    r = orvtool(sim({"spi", "read", "0", "16", "-o", long_name}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(long_name).size(), 16u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3) << "a temporary file was left";
}

// The reports' write of 768 bytes into a 128 KiB flash, failing as the
// reports saw it (the adapter gone for one read around the erase and the
// first pages, and gone for good): no byte outside the range changes in the
// persisted image unless the recovery file keeps it, and the command the
// message gives puts it back.
TEST_F(Sim, AFailedWriteLosesNoByteOutsideItsRange)
{
    const std::string dir = scratch("write_faults");
    std::ofstream(dir + "/b.json") << R"({"spi_flash": {"jedec_id": "ef4011", "size": 131072,
        "erase": {"0x20": 4096, "0xd8": 65536}, "image": "flash.bin", "persist": true}})";
    std::string old(128 * 1024, '\0');
    for (std::size_t i = 0; i < old.size(); ++i) {
        old[i] = static_cast<char>((i * 131 + (i >> 8) * 7 + 1) % 255);
    }
    std::string image(768, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7 + 3);
    }
    std::ofstream(dir + "/img768.bin", std::ios::binary) << image;
    std::filesystem::create_directory(dir + "/rec");
    const std::string board = dir + "/b.json";
    const std::string flash = dir + "/flash.bin";
    for (const char* fault : {"unplugged:0x81:12:1", "unplugged:0x81:13:1", "unplugged:0x81:20:1",
                              "stall:0x02:22:1", "unplugged:0x81:25"}) {
        SCOPED_TRACE(fault);
        std::ofstream(flash, std::ios::binary | std::ios::trunc) << old;
        RunResult r = orvtool(sim({"--board", board, "--sim-fault", fault, "spi", "write", "0x10100",
                                   dir + "/img768.bin", "--recovery-dir", dir + "/rec"}));
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string now = read_file(flash);
        ASSERT_EQ(now.size(), old.size());
        const auto restore = r.err.find("restore it with: orvtool spi write 0x010000 ");
        std::string saved;
        if (restore != std::string::npos) {
            const std::string file = r.err.substr(restore + 44, r.err.find('\n', restore) - restore - 44);
            EXPECT_EQ(file.rfind(dir + "/rec/flash-recovery-ORVSIM", 0), 0u) << file;
            saved = read_file(file);
            RunResult back = orvtool(sim({"--board", board, "spi", "write", "0x010000", file}));
            EXPECT_EQ(back.status, 0) << back.err;
            std::filesystem::remove(file);
        } else {
            EXPECT_NE(r.err.find("programmed back and read back as they were"), std::string::npos) << r.err;
        }
        for (std::size_t a = 0; a < old.size(); ++a) {
            if ((a < 0x10100 || a >= 0x10400) && now[a] != old[a]) {
                ASSERT_TRUE(a >= 0x10000 && a - 0x10000 < saved.size() && saved[a - 0x10000] == old[a])
                    << "byte " << a << " lost\n"
                    << r.err;
            }
        }
        RunResult again = orvtool(sim({"--board", board, "spi", "write", "0x10100", dir + "/img768.bin"}));
        EXPECT_EQ(again.status, 0) << again.err;
        std::string wanted = old;
        wanted.replace(0x10100, image.size(), image);
        EXPECT_TRUE(read_file(flash) == wanted);
    }
    RunResult refused = orvtool(sim(
        {"--board", board, "spi", "write", "0x10100", dir + "/img768.bin", "--recovery-dir", dir + "/none"}));
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err,
              "orvtool: --recovery-dir " + dir + "/none is not a directory\n  give an existing directory\n");
}

TEST_F(Sim, BadBoardIsRefusedBeforeAnythingRuns)
{
    const std::string dir = scratch("bad_board");
    std::ofstream(dir + "/board.json") << R"({"spi_flash": {"size": 1000}})";
    RunResult r = orvtool(sim({"--board", dir + "/board.json", "spi", "id"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.err.find("orvtool: bad board: " + dir + "/board.json: spi_flash.size: a multiple of the page size"),
        std::string::npos)
        << r.err;
}

// A board is read within bounds, its images stay beside it unless the user
// allows others, and what is odd about it is said on stderr.
TEST_F(Sim, BoardsAreBoundedAndTheirImagesConfined)
{
    RunResult zero = orvtool(sim({"--board", "/dev/zero", "spi", "id"}));
    EXPECT_EQ(zero.status, 2);
    EXPECT_NE(zero.err.find("bad board: /dev/zero: a board file of at most 4 MiB"), std::string::npos)
        << zero.err;

    const std::string dir = scratch("confined");
    std::filesystem::create_directory(dir + "/boards");
    std::ofstream(dir + "/image.bin") << "abc";
    std::ofstream(dir + "/boards/board.json")
        << R"({"spi_flash": {"jedec_id": "ef4016", "size": 65536, "image": "../image.bin"}})";
    const std::string board = dir + "/boards/board.json";
    RunResult outside = orvtool(sim({"--board", board, "spi", "read", "0", "3"}));
    EXPECT_EQ(outside.status, 2);
    EXPECT_NE(outside.err.find("spi_flash.image: a file in the board file's directory or below it"),
              std::string::npos)
        << outside.err;
    RunResult allowed = orvtool(sim({"--board", board, "--allow-outside-images", "spi", "read", "0", "3"}));
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_NE(allowed.out.find("61 62 63"), std::string::npos) << allowed.out;
    EXPECT_EQ(allowed.err,
              "orvtool: warning: " + board +
                  ": spi_flash.size: 65536 bytes, but the JEDEC ID's capacity byte 0x16 says 4194304 "
                  "bytes: software that sizes the part from its ID sees that\n");
}

// Pins the adapter does not drive do not reach the chain.
TEST_F(Sim, ReleasedJtagPinsFindNoChain)
{
    RunResult r = orvtool(sim({"jtag", "--pins", "0:0", "scan"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no JTAG device answers"), std::string::npos) << r.err;
}

TEST_F(Sim, ScheduledFaultStartsAfterItsUrbs)
{
    // A raw IR scan reads from 0x81 once: a stall from the second read on
    // misses it.
    RunResult later = orvtool(sim({"--sim-fault", "stall:0x81:1", "jtag", "ir", "--len", "10", "0x3ff"}));
    EXPECT_EQ(later.status, 0) << later.err;
    RunResult first = orvtool(sim({"--sim-fault", "stall:0x81:0:1", "jtag", "ir", "--len", "10", "0x3ff"}));
    EXPECT_EQ(first.status, 1);
    EXPECT_NE(first.err.find("usb pipe error (code -9)"), std::string::npos) << first.err;
    RunResult bad = orvtool(sim({"--sim-fault", "stall:0x82", "spi", "id"}));
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("use any, 0x02, 0x81 or 0x83"), std::string::npos) << bad.err;
}

#ifdef ORVSIM_RUN
TEST_F(Sim, UnderOrvsimRunTheAdapterKeepsItsStateBetweenRuns)
{
    const std::string tool = ORVTOOL_PATH;
    RunResult r =
        run_program({ORVSIM_RUN, "--", "/bin/sh", "-c",
                     "\"$0\" --sim i2c write 0x50 0x10 0x41 && \"$0\" --sim i2c read 0x50 0x10 1", tool},
                    Options{false, {}, {}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("41"), std::string::npos) << r.out;
    // Its board and faults are orvsim-run's, not orvtool's.
    RunResult board = run_program({ORVSIM_RUN, "--", tool, "--sim", "--board", "three-taps", "jtag", "scan"},
                                  Options{false, {}, {}});
    EXPECT_EQ(board.status, 2);
    EXPECT_NE(board.err.find("does not apply under orvsim-run"), std::string::npos) << board.err;
    RunResult fault = run_program({ORVSIM_RUN, "--fault", "stall:0x81", "--", tool, "--sim", "spi", "id"},
                                  Options{false, {}, {}});
    EXPECT_EQ(fault.status, 1);
    EXPECT_NE(fault.err.find("usb pipe error (code -9)"), std::string::npos) << fault.err;

    // It writes persisted images back when its program ends; two adapters
    // may not share one.
    const std::string dir = scratch("orvsim_persist");
    std::ofstream(dir + "/board.json")
        << R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 256, "image": "e.bin", "persist": true}]})";
    const std::string board_file = dir + "/board.json";
    RunResult write = run_program(
        {ORVSIM_RUN, "--board", board_file, "--", tool, "--sim", "i2c", "write", "0x50", "0x00", "0x5a"},
        Options{false, {}, {}});
    EXPECT_EQ(write.status, 0) << write.err;
    RunResult read =
        run_program({ORVSIM_RUN, "--board", board_file, "--", tool, "--sim", "i2c", "read", "0x50", "1"},
                    Options{false, {}, {}});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.out.find("5a"), std::string::npos) << read.out;
    RunResult shared = run_program({ORVSIM_RUN, "--adapters", "2", "--board", board_file, "--", "/bin/true"},
                                   Options{false, {}, {}});
    EXPECT_EQ(shared.status, 2);
    EXPECT_NE(shared.err.find("would share the persisted image"), std::string::npos) << shared.err;
}

// One program at a time: a second one that would persist the same image is
// refused while the first has the board loaded, and orvsim-run's adapter is
// claimed by one program at a time, as a real adapter's interface.
TEST_F(Sim, ABoardImageAndAnAdapterAreOneProgramsAtATime)
{
    const std::string dir = scratch("one_at_a_time");
    std::ofstream(dir + "/board.json") << R"({"spi_flash": {"image": "flash.bin", "persist": true}})";
    const std::string board = dir + "/board.json";
    const std::string tool = ORVTOOL_PATH;
    // orvsim-run holds the image while its program runs; an orvtool of its
    // own (not orvsim-run's adapter) that loads the board is refused.
    RunResult image = run_program({ORVSIM_RUN, "--board", board, "--", "/bin/sh", "-c",
                                   "env -u ORVSIM_ADAPTERS \"$0\" --sim --board \"$1\" spi id", tool, board},
                                  Options{false, {}, {}});
    EXPECT_EQ(image.status, 3) << image.err;
    EXPECT_NE(image.err.find("flash.bin is in use: another program has a board loaded that persists it"),
              std::string::npos)
        << image.err;
    EXPECT_FALSE(std::filesystem::exists(dir + "/flash.bin")) << "an image nothing was saved to is left";

    // A server holds orvsim-run's adapter (it has said where it listens):
    // another program's claim is refused. Killed, the server releases
    // nothing, yet the next program has the adapter at once.
    RunResult claim = run_program({ORVSIM_RUN, "--", "/bin/sh", "-c",
                                   "mkfifo \"$1/ready\"; "
                                   "\"$0\" --sim serve --xvc 0 > \"$1/ready\" 2> /dev/null & server=$!; "
                                   "read line < \"$1/ready\"; "
                                   "\"$0\" --sim spi id; busy=$?; "
                                   "kill -9 $server; wait $server; "
                                   "\"$0\" --sim spi id > /dev/null; echo \"busy $busy, then $?\"",
                                   tool, dir},
                                  Options{false, {}, {}});
    EXPECT_EQ(claim.out, "busy 3, then 0\n") << claim.err;
    EXPECT_NE(claim.err.find("is busy"), std::string::npos) << claim.err;
}
#endif

// ---- boundary scan on the example boards ------------------------------------------

const std::string BOARD_FILES = ORV_BOARD_FILES;
const std::string NETLIST = BOARD_FILES + "/netlists/bscan.json";

// The output with the boards' directory written $BOARDS, so that golden
// files do not depend on where the tree is.
std::string relative(std::string text)
{
    for (std::size_t at = text.find(BOARD_FILES); at != std::string::npos; at = text.find(BOARD_FILES, at)) {
        text.replace(at, BOARD_FILES.size(), "$BOARDS");
    }
    return text;
}

TEST_F(Sim, BoundaryScanCommandsOnTheExampleBoards)
{
    const struct {
        const char* golden;
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"jtag_bsdl", {"--board", "bscan", "jtag", "bsdl", BOARD_FILES}, 0},
        {"jtag_pins", {"--board", "bscan", "jtag", "pins", "--bsdl", BOARD_FILES, "--tap", "1"}, 0},
        {"jtag_pins_named",
         {"--board", "bscan", "jtag", "pins", "--bsdl", BOARD_FILES, "led(0)", "IO(4)", "a(1)"},
         0},
        {"jtag_set",
         {"--board", "bscan", "jtag", "set", "--bsdl", BOARD_FILES, "PA8=1", "PA5=z", "pa6=0"},
         0},
        {"jtag_connect_test", {"--board", "bscan", "jtag", "connect-test", "--netlist", NETLIST}, 0},
        {"jtag_connect_test_faults",
         {"--board", "bscan-faults", "jtag", "connect-test", "--netlist", NETLIST},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.golden);
        RunResult r = orvtool(sim(c.args));
        EXPECT_EQ(r.status, c.status) << r.err;
        expect_golden(c.golden, relative(r.out));
    }
    // A netlist whose every pin is left alone tests nothing: that is no pass.
    const std::string dir = scratch("bscan_nothing");
    std::ofstream(dir + "/left.json") << R"({"devices": {"U1": {"tap": 1, "bsdl": ")" << BOARD_FILES
                                      << R"(/STM32F301_F302_UFQFPN32.bsd"}}, "nets": {"N": ["U1.PA0"]},
                                            "leave": ["U1.PA0"]})";
    RunResult none = orvtool(sim({"--board", "bscan", "--allow-outside-images", "jtag", "connect-test",
                                  "--netlist", dir + "/left.json"}));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "orvtool: nothing was tested: the netlist has no net the test can drive and read\n");
    EXPECT_NE(none.out.find("\nNOT TESTED: no net has a pin to drive it and another to read it\n"),
              std::string::npos)
        << none.out;
}

TEST_F(SimJson, BoundaryScanJson)
{
    RunResult pins =
        orvtool(sim({"--board", "bscan", "--json", "jtag", "pins", "--tap", "2", "LED(1)", "A(0)"}),
                Options{true, {}, {"ORV_BSDL_PATH=/nonexistent:" + BOARD_FILES}});
    ASSERT_EQ(pins.status, 2) << "a directory that is not there is refused";
    pins = orvtool(sim({"--board", "bscan", "--json", "jtag", "pins", "--tap", "2", "LED(1)", "A(0)"}),
                   Options{true, {}, {"ORV_BSDL_PATH=" + BOARD_FILES + "/gl64_tq100.bsd::" + BOARD_FILES}});
    ASSERT_EQ(pins.status, 0) << pins.err;
    EXPECT_EQ(
        json_query(pins.out, "d"),
        "{'tap': 2, 'entity': 'GL64_TQ100', 'pins': [{'port': 'LED(1)', 'pin': '51', 'direction': 'out', "
        "'value': 0, 'driven': True}, {'port': 'A(0)', 'pin': '17', 'direction': 'out3', 'value': None, "
        "'driven': False}]}\n");
    // jtag set says the level it set of each pin: 0, 1 or "z".
    RunResult set = orvtool(
        sim({"--board", "bscan", "--json", "jtag", "set", "--bsdl", BOARD_FILES, "PA8=1", "PA5=z", "pa6=0"}));
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(json_query(set.out, "[(p['port'], p['set'], p['value']) for p in d['pins']]"),
              "[('PA8', 1, 1), ('PA5', 'z', 1), ('PA6', 0, 0)]\n");
    RunResult test =
        orvtool(sim({"--board", "bscan-faults", "--json", "jtag", "connect-test", "--netlist", NETLIST}));
    EXPECT_EQ(test.status, 1);
    EXPECT_EQ(test.err, "orvtool: the board failed the interconnect test: 5 faults found\n");
    EXPECT_EQ(
        json_query(test.out,
                   "sorted(d), d['passed'], d['patterns'], d['nets_tested'], d['opens'], d['shorts'], "
                   "d['stuck'], d['untested'][0]"),
        "['nets_tested', 'opens', 'passed', 'patterns', 'shorts', 'stuck', 'untested'] False 12 20 "
        "[{'net': 'BUS2', 'pin': 'U1.PA10', 'or_pin': 'U2.D(2)'}] [{'nets': ['BUS3', 'BUS4'], 'behaves_as': "
        "'or'}, {'nets': "
        "['SPI_MISO', 'SPI_MOSI'], 'behaves_as': 'and'}] [{'net': 'ADC_SEL', 'value': 0}, {'net': 'CLK_SEL', "
        "'value': 1}] {'net': 'ADDR0', 'why': 'no receiver: no other pin of the net can read it'}\n");
}

// The spi commands through the STM32's pins on bscan-flash: the flash
// identified, written, verified and read as on the SPI connector; the TAP by
// index or by its file's entity; bad --via-bscan values refused before the
// adapter is used.
TEST_F(Sim, SpiThroughBoundaryScanPins)
{
    const std::string via = "1:cs=PA4,sck=PA5,mosi=PA7,miso=PA6";
    const auto spi = [&](const std::string& pins, std::vector<std::string> args) {
        std::vector<std::string> all{"--board", "bscan-flash", "spi",     "--via-bscan", pins,
                                     "--bsdl",  BOARD_FILES,   "--clock", "30000"};
        all.insert(all.end(), args.begin(), args.end());
        return orvtool(sim(all));
    };
    RunResult id = spi(via, {"id"});
    ASSERT_EQ(id.status, 0) << id.err;
    EXPECT_NE(id.out.find("JEDEC ID:     ef 40 14\n"), std::string::npos) << id.out;

    const std::string dir = scratch("spi_via_bscan");
    std::string image(300, '\0');
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 13 + 1);
    }
    std::ofstream(dir + "/image.bin", std::ios::binary) << image;
    // Each run has a fresh board: the write verifies itself; a verify of a
    // blank part finds the first byte different; a read gives erased bytes.
    RunResult write = spi(via, {"write", "0x1f80", dir + "/image.bin"});
    ASSERT_EQ(write.status, 0) << write.err;
    RunResult verify = spi("STM32F301_F302_UFQFPN32:cs=PA4,sck=PA5,mosi=PA7,miso=PA6",
                           {"verify", "0x1f80", dir + "/image.bin"});
    EXPECT_EQ(verify.status, 1) << verify.err;
    EXPECT_NE(verify.err.find("0x001f80"), std::string::npos) << verify.err;
    RunResult read = spi(via, {"read", "0x1f80", "300", "-o", dir + "/back.bin"});
    ASSERT_EQ(read.status, 0) << read.err;
    std::ifstream back(dir + "/back.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(back), {}), std::string(300, '\xff'));

    const struct {
        const char* via;
        const char* says;
    } refused[] = {
        {"1:cs=PA4,sck=PA5,mosi=PZ7,miso=PA6", "orvtool: no pin PZ7 in the BSDL files"},
        {"1:cs=PA4,sck=PA5,mosi=PA7", "no pin for miso"},
        {"cs=PA4,sck=PA5,mosi=PA7,miso=PA6", "no TAP before ':'"},
        {"1:cs=PA4,clk=PA5,mosi=PA7,miso=PA6", "'clk=PA5' is not ROLE=PORT"},
        {"1:cs=BOOT0,sck=PA5,mosi=PA7,miso=PA6", "the device cannot drive it"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.via);
        RunResult e = spi(r.via, {"id"});
        EXPECT_NE(e.status, 0);
        EXPECT_NE(e.err.find(r.says), std::string::npos) << e.err;
    }
}

// The i2c commands through PB6/PB7 on bscan-flash (a 24C32 with the
// board's pull-ups): detect, set and get, dump and transfer as on the I2C
// connector; bad --via-bscan values refused before the adapter is used.
TEST_F(Sim, I2cThroughBoundaryScanPins)
{
    const auto i2c = [&](const std::string& pins, std::vector<std::string> args) {
        std::vector<std::string> all{"--board", "bscan-flash", "i2c",     "--via-bscan", pins,
                                     "--bsdl",  BOARD_FILES,   "--clock", "30000"};
        all.insert(all.end(), args.begin(), args.end());
        return orvtool(sim(all));
    };
    const std::string via = "1:scl=PB6,sda=PB7";
    RunResult detect = i2c(via, {"detect", "0x48", "0x57"});
    ASSERT_EQ(detect.status, 0) << detect.err;
    EXPECT_NE(detect.out.find("50: 50 -- -- -- -- -- -- --"), std::string::npos) << detect.out;
    // One run writes and reads back: each run has a fresh board.
    RunResult set = i2c(via, {"--reg16", "set", "-r", "0x50", "0x0123", "0x5a"});
    ASSERT_EQ(set.status, 0) << set.err;
    RunResult transfer =
        i2c("STM32F301_F302_UFQFPN32:scl=PB6,sda=PB7", {"transfer", "w2@0x50", "0x00", "0x10", "r2@0x50"});
    ASSERT_EQ(transfer.status, 0) << transfer.err;
    EXPECT_EQ(transfer.out, "0xff 0xff\n");
    RunResult stretch = orvtool(sim({"--board", "bscan-flash", "i2c", "--stretch", "detect"}));
    EXPECT_EQ(stretch.status, 2);
    EXPECT_NE(stretch.err.find("--via-bscan"), std::string::npos) << stretch.err;
    RunResult absent = i2c(via, {"get", "0x51", "0x00"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_NE(absent.err.find("0x51"), std::string::npos) << absent.err;

    const struct {
        const char* via;
        const char* says;
    } refused[] = {
        {"1:scl=PB6", "no pin for sda"},
        {"1:scl=PB6,sda=PZ7", "orvtool: no pin PZ7 in the BSDL files"},
        {"1:scl=BOOT0,sda=PB7", "cannot pull it low"},
        {"1:scl=PB6,sda=PB6", "already"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.via);
        RunResult e = i2c(r.via, {"detect"});
        EXPECT_NE(e.status, 0);
        EXPECT_NE(e.err.find(r.says), std::string::npos) << e.err;
    }
}

// A TAP without pins is refused as Python refuses it; jtag bsdl takes its
// files from ORV_BSDL_PATH too.
TEST_F(Sim, BoundaryScanTapWithoutPinsAndFilesFromTheEnvironment)
{
    RunResult r = orvtool(sim({"--board", "bscan", "jtag", "pins", "--bsdl", BOARD_FILES, "--tap", "0"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "orvtool: TAP 0 (CortexMx) has no pins with boundary cells\n"
                     "  choose a TAP whose BSDL file has pins\n");
    RunResult listed = orvtool(sim({"--board", "bscan", "jtag", "bsdl"}),
                               Options{true, {}, {"ORV_BSDL_PATH=" + BOARD_FILES}});
    EXPECT_EQ(listed.status, 0) << listed.err;
    expect_golden("jtag_bsdl", relative(listed.out));
    RunResult none = orvtool(sim({"--board", "bscan", "jtag", "bsdl"}));
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err.rfind("orvtool: no BSDL files\n", 0), 0u) << none.err;
}

// orvtool bsdl reads one file with no adapter at all (no --sim, outside
// umockdev): every fact of the file, or the refusal with its line.
TEST(BsdlCommand, ReadsAFileWithoutAnAdapter)
{
    const Options plain{false, {}, {}};
    RunResult r = orvtool({"bsdl", BOARD_FILES + "/gl64_tq100.bsd"}, plain);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_golden("bsdl", relative(r.out));
    if (have_python()) {
        RunResult json = orvtool({"--json", "bsdl", BOARD_FILES + "/STM32F301_F302_UFQFPN32.bsd"}, plain);
        EXPECT_EQ(json.status, 0) << json.err;
        EXPECT_EQ(
            json_query(json.out, "d['entity'], d['standard'], d['pin_map'], d['instruction_length'], "
                                 "d['instruction_capture'], d['idcode_hex'], d['idcode_mask_hex'], "
                                 "d['boundary_length'], d['ports'], len(d['pins']), d['pins'][1], "
                                 "d['instructions'][0], d['notices']"),
            "STM32F301_F302_UFQFPN32 STD_1149_1_2001 UFQFPN32_PACKAGE 5 XXX01 0x06439041 0x0fffffff 139 "
            "35 20 {'port': 'PA0', 'pin': '7', 'direction': 'inout', 'input': 109, 'output': 110, "
            "'control': 111, 'disable': 1} {'name': 'BYPASS', 'opcodes': ['11111'], 'private': False} "
            "[]\n");
    }
    const std::string dir = scratch("bsdl_command");
    std::ofstream(dir + "/broken.bsd") << "entity X is\n  port (TDI : in bit)\nend X;\n";
    RunResult broken = orvtool({"bsdl", dir + "/broken.bsd"}, plain);
    EXPECT_EQ(broken.status, 2);
    EXPECT_EQ(broken.err, "orvtool: " + dir + "/broken.bsd:3:1: expected ';', got \"end\"\n");
    EXPECT_EQ(broken.out, "");
    // What a file's strings hold reaches the terminal escaped: ESC c would
    // reset it.
    std::ofstream(dir + "/escape.bsd")
        << "entity E is\n  generic (PHYSICAL_PIN_MAP : string := \"P\");\n"
           "  port (TDI, TMS, TCK : in bit; TDO : out bit; A : inout bit);\n  use STD_1149_1_2001.all;\n"
           "  constant P : PIN_MAP_STRING := \"TDI:1, TMS:2, TCK:3, TDO:4, A:\x1b"
           "c\";\n"
           "  attribute INSTRUCTION_LENGTH of E : entity is 2;\n"
           "  attribute INSTRUCTION_OPCODE of E : entity is \"EXTEST (00), SAMPLE (01), BYPASS (11)\";\n"
           "  attribute BOUNDARY_LENGTH of E : entity is 1;\n"
           "  attribute BOUNDARY_REGISTER of E : entity is \"0 (BC_1, A, input, X)\";\nend E;\n";
    RunResult escaped = orvtool({"bsdl", dir + "/escape.bsd"}, plain);
    EXPECT_EQ(escaped.status, 0) << escaped.err;
    EXPECT_EQ(escaped.out.find('\x1b'), std::string::npos);
    EXPECT_NE(escaped.out.find("\nA            \\x1bc in     0 "), std::string::npos) << escaped.out;
}

// Bad files and pins are refused with exit status 2 before the adapter is
// opened: an adapter that fails every transfer never gets to fail.
TEST_F(Sim, BoundaryScanBadInputIsRefusedBeforeAnythingIsSent)
{
    const std::string dir = scratch("bscan_bad");
    std::ofstream(dir + "/broken.bsd") << "entity X is\n  port (TDI : in bit)\nend X;\n";
    std::ofstream(dir + "/nets.json")
        << R"({"devices": {"U1": {"tap": 1, "bsdl": ")" << BOARD_FILES
        << R"(/STM32F301_F302_UFQFPN32.bsd"}}, "nets": {"N": ["U1.PA0", "U1.PA13"]}})";
    // FIFOs where files are read: refused at once, never waited on.
    ASSERT_EQ(mkfifo((dir + "/fifo.bsd").c_str(), 0600), 0);
    std::ofstream(dir + "/fifo.json") << R"({"devices": {"U1": {"tap": 1, "bsdl": "fifo.bsd"}}})";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"jtag", "pins", "--bsdl", dir + "/broken.bsd"},
         "orvtool: " + dir +
             "/broken.bsd:3:1: expected ';', got \"end\"\n  the files are read before the adapter is "
             "opened: nothing was sent\n"},
        {{"jtag", "set", "--bsdl", BOARD_FILES, "PA13=1"},
         "orvtool: no pin PA13 in the BSDL files; nearest: STM32F301_F302_UFQFPN32: PA1, PA3, PA10, PA11; "
         "GL64_TQ100: D(13), D(1), A(1), A(3)\n  pin names are the files' port names, a vector's element as "
         "D(3); "
         "nothing was sent\n"},
        {{"jtag", "set", "--bsdl", BOARD_FILES, "PA1"},
         "orvtool: bad setting 'PA1'\n  give PIN=0, PIN=1 or PIN=z "
         "(let go), such as PA8=1\n"},
        {{"--allow-outside-images", "jtag", "connect-test", "--netlist", dir + "/nets.json"},
         "orvtool: bad netlist: " + dir +
             "/nets.json: nets.N[1]: a pin of U1 (STM32F301_F302_UFQFPN32), got "
             "\"PA13\"; nearest: PA1, PA3, PA10, PA11\n  the netlist is checked whole "
             "before the adapter is opened: nothing was sent\n"},
        {{"jtag", "connect-test", "--netlist", dir + "/nets.json"},
         "orvtool: bad netlist: " + dir +
             "/nets.json: devices.U1.bsdl: a BSDL file in the netlist's directory " + "or below it, got \"" +
             (BOARD_FILES + "/STM32F301_F302_UFQFPN32.bsd").substr(0, 36) +
             "...\n  --allow-outside-images lets its BSDL files lie anywhere; the "
             "netlist is checked whole before the adapter is opened: nothing was sent\n"},
        {{"jtag", "pins"},
         "orvtool: no BSDL files\n  give them with --bsdl FILE|DIR (repeatable) or in ORV_BSDL_PATH "
         "(directories and files separated by ':')\n"},
        {{"jtag", "connect-test", "--netlist", dir + "/fifo.json"},
         "orvtool: bad netlist: " + dir +
             "/fifo.bsd: expected a readable BSDL file, not a FIFO\n  the netlist is checked whole before "
             "the "
             "adapter is opened: nothing was sent\n"},
        {{"jtag", "connect-test", "--netlist", dir + "/fifo.bsd"},
         "orvtool: bad netlist: " + dir +
             "/fifo.bsd: a readable netlist, not a FIFO\n  the netlist is checked whole before the adapter "
             "is "
             "opened: nothing was sent\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--sim-fault", "unplugged"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = orvtool(sim(args));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

// jtag pins --watch and jtag set --hold run until SIGINT, then end well:
// the watch prints a line per change when not on a terminal and redraws in
// place on one; the hold returns the device to its normal function.
TEST_F(Sim, WatchAndHoldRunUntilInterrupted)
{
    const std::vector<std::string> tool = {UMOCKDEV_WRAPPER, ORVTOOL_PATH, "--sim",
                                           "--board",        "bscan",      "jtag"};
    const Options bsdl_path{false, {}, {"ORV_BSDL_PATH=" + BOARD_FILES}};
    // SIGINT once the command says it runs: its first table, its hold line.
    const auto interrupted = [&](std::vector<std::string> args, const std::string& ready, bool on_stdout) {
        args.insert(args.begin(), tool.begin(), tool.end());
        Running r(args, bsdl_path);
        EXPECT_TRUE(r.wait_for(ready, on_stdout)) << "never ready";
        r.signal(SIGINT);
        return r.finish();
    };
    RunResult watch = interrupted({"pins", "--tap", "1", "PA8", "PA9", "--watch"}, "  PA9 ", true);
    EXPECT_EQ(watch.status, 0) << watch.err;
    EXPECT_NE(watch.out.find("  PA8          18   inout  1     no\n"), std::string::npos) << watch.out;
    EXPECT_NE(watch.err.find(" a second)"), std::string::npos)
        << watch.err; // "N samples in T ms (R a second)"
    RunResult hold = interrupted({"set", "PA8=0", "--hold"}, "Ctrl-C returns the device", false);
    EXPECT_EQ(hold.status, 0) << hold.err;
    EXPECT_NE(hold.out.find("PA8          18   inout  0   0     yes\n"), std::string::npos) << hold.out;
    EXPECT_EQ(hold.err, "orvtool: holding EXTEST on TAP 1; Ctrl-C returns the device to its normal function\n"
                        "orvtool: TAP 1 back to its normal function (Test-Logic-Reset)\n");
    if (std::string(SCRIPT).find("NOTFOUND") == std::string::npos) {
        // On a terminal: the program's id first, then the redrawn table.
        std::string command;
        for (const std::string& part : tool) {
            command += part + " ";
        }
        Running tty({SCRIPT, "-qec",
                     "sh -c '" + command + "pins --tap 2 --watch IO\\(4\\) & echo pid=$!; wait $!'",
                     "/dev/null"},
                    bsdl_path);
        ASSERT_TRUE(tty.wait_for("sample 2 (Ctrl-C to stop)")) << tty.so_far().out;
        const std::string& out = tty.so_far().out;
        const auto at = out.find("pid=");
        ASSERT_NE(at, std::string::npos) << out;
        kill(static_cast<pid_t>(std::stol(out.substr(at + 4))), SIGINT);
        const RunResult done = tty.finish();
        EXPECT_EQ(done.status, 0) << done.out;
        EXPECT_NE(done.out.find("\033[3F"), std::string::npos) << "redrawn in place over its 3 lines";
    }
}

// On a terminal of 50 x 12 a watch of 59 pins, its file behind a long path,
// redraws within the screen: the file's base name, every line cut to the
// width, the table cut to the height with a note, each redraw over the last.
TEST_F(Sim, WatchKeepsItsRedrawInsideTheTerminal)
{
    if (std::string(SCRIPT).find("NOTFOUND") != std::string::npos) {
        GTEST_SKIP() << "script(1) is needed for a terminal";
    }
    const std::string dir = scratch("watch_screen");
    const std::string files = dir + "/a_directory_whose_name_is_longer_than_any_terminal_line_of_fifty";
    std::filesystem::create_directories(files);
    std::filesystem::create_symlink(BOARD_FILES + "/gl64_tq100.bsd", files + "/gl64_tq100.bsd");
    const std::string tool =
        std::string(UMOCKDEV_WRAPPER) + " " + ORVTOOL_PATH + " --sim --board bscan jtag pins --tap 2 --watch";
    // Ctrl-C once three samples are drawn: the typescript shows them.
    RunResult run = run_program({"/bin/sh", "-c",
                                 "\"$0\" -qfec \"sh -c 'echo \\$\\$ > $1/pid; stty rows 12 cols 50; exec "
                                 "$2'\" \"$1/log\" >/dev/null & s=$!; "
                                 "for i in $(seq 300); do [ \"$(grep -o 'more pins' \"$1/log\" 2>/dev/null | "
                                 "wc -l)\" -ge 3 ] && break; "
                                 "sleep 0.1; done; "
                                 "kill -INT $(cat \"$1/pid\"); wait $s",
                                 SCRIPT, dir, tool},
                                Options{false, {}, {"ORV_BSDL_PATH=" + files}});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string log = read_file(dir + "/log");
    EXPECT_NE(log.find("TAP 2: GL64_TQ100 (gl64_tq100.bsd), SAMPLE"), std::string::npos) << log;
    EXPECT_EQ(log.find("a_directory_whose_name"), std::string::npos) << "the base name only";
    EXPECT_NE(log.find("\n\033[2K... 51 more pins (a taller window, or name them)\r\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("\033[11F"), std::string::npos) << "11 lines redrawn in place";
    // Every line drawn fits in 49 columns.
    std::size_t widest = 0;
    for (std::size_t from = 0; from < log.size();) {
        std::size_t end = log.find_first_of("\r\n", from);
        end = end == std::string::npos ? log.size() : end;
        std::string line = log.substr(from, end - from);
        for (std::size_t esc = line.rfind("\033["); esc != std::string::npos; esc = line.rfind("\033[")) {
            const std::size_t code = line.find_first_of("FKJ", esc);
            line.erase(esc, code == std::string::npos ? std::string::npos : code - esc + 1);
        }
        if (line.find("Script ") == std::string::npos) {
            widest = std::max(widest, line.size());
        }
        from = end + 1;
    }
    EXPECT_LE(widest, 49u) << log;
}

TEST(ErrorsSim, MissingUmockdevIsExplained)
{
    if (!can_run_sim()) {
        GTEST_SKIP() << "no virtual adapter built in";
    }
    RunResult r = orvtool({"--sim", "spi", "id"}, Options{false, {}, {"PATH=/nonexistent"}});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("umockdev"), std::string::npos) << r.err;
}

// ---- what a new user trips on ----------------------------------------------

// A directory where a file is read, and an empty value for any option or
// argument: exit 2 with what is wrong, nothing sent, never an internal error.
TEST_F(Sim, DirectoriesAndEmptyValuesAreRefusedClearly)
{
    const std::string dir = scratch("inputs");
    std::ofstream(dir + "/empty.bin").close();
    std::ofstream(dir + "/one.svf") << "STATE RESET;\n";
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--board", dir, "spi", "id"}, "a board file, not a directory"},
        {{"jtag", "svf", dir}, dir + " is a directory\n  give the SVF file to play"},
        {{"jtag", "svf", "--dry-run", dir}, " is a directory"},
        {{"spi", "write", "0", dir}, dir + " is a directory\n  give the image to write as a file"},
        {{"spi", "verify", "0", dir},
         dir + " is a directory\n  give the image to compare the flash with as a file"},
        {{"spi", "verify", "0", dir + "/empty.bin"}, "is empty: nothing to verify"},
        {{"spi", "read", "--layout", dir, "--include", "boot", "0", "16"},
         "is a directory\n  give the layout"},
        {{"jtag", "connect-test", "--netlist", dir}, "is a directory"},
        {{"jtag", "bsdl", dir}, dir + ": no BSDL files (*.bsd, *.bsdl) in this directory"},
        {{"jtag", "pins", "--bsdl", dir}, dir + ": no BSDL files (*.bsd, *.bsdl) in this directory"},
        {{"spi", "read", "-o", "", "0", "16"}, "empty value for --output of orvtool spi read"},
        {{"--board", "", "spi", "id"}, "empty value for --board\n"},
        {{"--trace", "", "spi", "id"}, "empty value for --trace\n"},
        {{"spi", "write", "0", ""}, "empty FILE of orvtool spi write"},
        {{"jtag", "svf", ""}, "empty FILE of orvtool jtag svf"},
        {{"i2c", "get", "0x50", ""}, "empty"},
    };
    for (const auto& c : cases) {
        RunResult r = orvtool(sim(c.args));
        std::string joined;
        for (const auto& a : c.args) {
            joined += "'" + a + "' ";
        }
        EXPECT_EQ(r.status, 2) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << joined << "\n" << r.err;
        EXPECT_EQ(r.err.find("internal error"), std::string::npos) << joined << "\n" << r.err;
        EXPECT_EQ(r.out, "") << joined;
    }
}

// k, m and g in either case, on the command line and in board files, as
// binary multiples; junk and overflow are told apart.
TEST_F(Sim, SizeSuffixesEverywhere)
{
    const std::string dir = scratch("sizes");
    std::ofstream(dir + "/board.json") << R"({"spi_flash": {"jedec_id": "ef4018", "size": "16M",
        "erase": {"0x20": "4k", "0xd8": "64K"}}})";
    RunResult id = orvtool(sim({"--board", dir + "/board.json", "--json", "spi", "id"}));
    ASSERT_EQ(id.status, 0) << id.err;
    EXPECT_EQ(json_query(id.out, "d['size_bytes']"), "16777216\n");
    RunResult high = orvtool(sim({"--board", dir + "/board.json", "spi", "read", "15m", "1k"}));
    EXPECT_EQ(high.status, 0) << high.err;
    RunResult junk = orvtool(sim({"spi", "read", "0", "4q"}));
    EXPECT_EQ(junk.status, 2);
    EXPECT_EQ(junk.err.rfind("orvtool: bad LEN '4q': not a number\n", 0), 0u) << junk.err;
    RunResult huge = orvtool(sim({"spi", "read", "0", "99999999999999999999g"}));
    EXPECT_EQ(huge.status, 2);
    EXPECT_EQ(huge.err.rfind("orvtool: LEN '99999999999999999999g' is too large\n  give at most 4 GiB", 0),
              0u)
        << huge.err;
}

// orvtool list with no adapter on the buses (outside umockdev's preload),
// and --usb choosing among orvsim-run's.
TEST(Adapters, ListSaysWhenThereIsNoneAndFiltersByUsbId)
{
    RunResult none = orvtool({"list"}, Options{false, {}, {}});
    EXPECT_EQ(none.status, 3);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err.rfind("orvtool: no adapters found\n", 0), 0u) << none.err;
    // Where the host has no /dev/bus/usb, that is what the hint says.
    EXPECT_EQ(none.err.find("/dev/bus/usb does not exist") != std::string::npos,
              !std::filesystem::exists("/dev/bus/usb"))
        << none.err;
    if (have_python()) {
        RunResult json = orvtool({"--json", "list"}, Options{false, {}, {}});
        EXPECT_EQ(json.status, 3);
        EXPECT_EQ(json_query(json.out, "d['adapters'], d['exit'], d['error']"), "[] 3 no adapters found\n");
    }
#ifdef ORVSIM_RUN
    if (!can_run_sim()) {
        return;
    }
    RunResult one = orvtool_among(2, {"--usb", "1209:4f52:1:3", "list"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, "VID:PID    BUS:ADDR  PORT  SERIAL      PRODUCT\n"
                       "1209:4f52  001:003   1-2   ORVSIM0001  ORV USB bridge (virtual)\n"
                       "--usb 1209:4f52:1:3 selects this adapter\n");
    RunResult both = orvtool_among(2, {"--usb", "1209:4f52", "--json", "list"});
    EXPECT_EQ(both.status, 0) << both.err;
    if (have_python()) {
        EXPECT_EQ(json_query(both.out, "[(a['vid'], a['vid_hex'], a['address'], a['port_path'], a['serial']) "
                                       "for a in d['adapters']]"),
                  "[(4617, '1209', 2, '1-1', 'ORVSIM0000'), (4617, '1209', 3, '1-2', 'ORVSIM0001')]\n");
    }
    RunResult other = orvtool_among(2, {"--usb", "1234:5678", "list"});
    EXPECT_EQ(other.status, 3);
    EXPECT_EQ(other.err.rfind("orvtool: no adapter found with USB id 1234:5678\n", 0), 0u) << other.err;
    RunResult bad = orvtool_among(1, {"--usb", "zz:1", "list"});
    EXPECT_EQ(bad.status, 2) << bad.err;
#endif
}

// SVF texts: counts in the singular, a digit the mask leaves out never shown
// as a sign.
TEST_F(Sim, SvfTextsCountAndMaskPlainly)
{
    const std::string dir = scratch("svf_texts");
    std::ofstream(dir + "/one.svf") << "STATE RESET;\n";
    RunResult one = orvtool(sim({"jtag", "svf", dir + "/one.svf"}));
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find(": 1 statement, 0 TDO checks passed"), std::string::npos) << one.out;
    // The two IDCODEs after reset; bits 63..60 and 31..0 are not compared.
    std::ofstream(dir + "/masked.svf") << "STATE RESET;\nSDR 64 TDI(0) TDO(0) MASK(0fffffff00000000);\n";
    RunResult masked = orvtool(sim({"jtag", "svf", dir + "/masked.svf"}));
    EXPECT_EQ(masked.status, 1) << masked.err;
    EXPECT_NE(masked.err.find("  actual   0xx"), std::string::npos) << masked.err;
    EXPECT_NE(masked.err.find("xxxxxxxx\n"), std::string::npos) << masked.err;
    EXPECT_NE(masked.err.find("(x: a digit the mask leaves out)"), std::string::npos) << masked.err;
    EXPECT_EQ(masked.err.find("0x-"), std::string::npos) << masked.err;
    EXPECT_NE(masked.err.find("  1 statement before it played, 0 TDO checks passed"), std::string::npos)
        << masked.err;
}

} // namespace
