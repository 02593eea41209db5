// Traces: where each edge of each connector falls for a command stream, the
// VCD file's text, and how the host's reconstruction waits for its samples.
// (That sigrok's decoders read whole sessions as the operations meant, and
// that the host's reconstruction agrees with the board's, is checked through
// the virtual USB device by test_decoders.py.)
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/adapter/line_trace.hpp"
#include "sim/emulator/adapter.hpp"
#include "tests/support/byte_text.hpp"
#include "trace/sample_resolver.hpp"
#include "trace/session_trace.hpp"
#include "trace/trace_file.hpp"
#include "trace/vcd_writer.hpp"

namespace orv::emu {
namespace {

using orv::test::hex;

std::string level_text(Level level)
{
    return level == Level::low ? "0" : level == Level::high ? "1" : "x";
}

// Every change as "TICK line=LEVEL" (a sample: "TICK line=sBYTE.BIT").
class Recorder final : public LineSink {
public:
    void change(std::uint64_t tick, Line line, Level level) override
    {
        events.push_back({tick, line, level_text(level)});
    }
    void sampled(std::uint64_t tick, Line line, ReadbackSlot slot) override
    {
        events.push_back({tick, line, "s" + std::to_string(slot.byte) + "." + std::to_string(slot.bit)});
    }
    struct Event {
        std::uint64_t tick;
        Line line;
        std::string level;
    };
    std::vector<Event> events;

    // The events on `lines`, "; " between them.
    std::string on(const std::vector<Line>& lines) const
    {
        std::string text;
        for (const Event& e : events) {
            for (const Line line : lines) {
                if (e.line == line) {
                    text += (text.empty() ? "" : "; ") + std::to_string(e.tick) + " " +
                            LINES[index_of(line)].name + "=" + e.level;
                }
            }
        }
        return text;
    }
};

// ---- where the edges fall ---------------------------------------------------

struct EdgeCase {
    const char* name;
    const char* stream;
    LineTrace::Inputs inputs;
    std::vector<Line> lines;
    const char* expected; // after the levels at the start
};

class Edges : public testing::TestWithParam<EdgeCase> {};

TEST_P(Edges, FallWhereTheClockPutsThem)
{
    const EdgeCase& c = GetParam();
    auto adapter = make_default_board();
    Recorder recorder;
    LineTrace trace(recorder, c.inputs);
    adapter->set_trace(&trace);
    recorder.events.clear();
    adapter->write_commands(hex(c.stream));
    EXPECT_EQ(recorder.on(c.lines), c.expected);
}

constexpr auto BOARD = LineTrace::Inputs::board;
constexpr auto SAMPLES = LineTrace::Inputs::samples;

// Divisor 2 (AB 02): half a clock period is 2 ticks, a period 4.
INSTANTIATE_TEST_SUITE_P(
    Trace, Edges,
    testing::Values(
        // A pin command holds its levels for one clock period.
        EdgeCase{"PinCommandLastsOnePeriod", "AB 02 20 F7 00 20 F7 02", BOARD, {Line::cs}, "0 cs=0; 4 cs=1"},
        // Divisor byte 0 is taken as the fastest clock, 1.
        EdgeCase{"DivisorZeroIsTheFastest", "20 F7 00 20 F7 02", BOARD, {Line::cs}, "0 cs=0; 2 cs=1"},
        // Mode 0: MOSI moves at the start of each clock, SCK rises half a
        // period later and falls at its end.
        EdgeCase{"SpiMode0",
                 "AB 02 20 F7 00 6D 01 80",
                 BOARD,
                 {Line::sck, Line::mosi},
                 "4 mosi=1; 6 sck=1; 8 sck=0; 8 mosi=0; 10 sck=1; 12 sck=0"},
        // Mode 3 (SCK rests high): MOSI moves on the falling, leading edge.
        EdgeCase{"SpiMode3",
                 "AB 02 CB FF 20 F7 03 20 F7 01 6D 01 80",
                 BOARD,
                 {Line::sck, Line::mosi, Line::cs},
                 "0 sck=1; 4 cs=0; 10 sck=0; 10 mosi=1; 12 sck=1; 14 sck=0; 14 mosi=0; 16 sck=1"},
        // The flash drives MISO during the clock it answers in: the JEDEC ID's
        // first byte 0xEF after the command byte.
        EdgeCase{"SpiMisoFromTheFlash",
                 "AB 02 20 F7 00 7D 00 9F 6D 07 00",
                 BOARD,
                 {Line::miso},
                 "48 miso=0; 52 miso=1"},
        // START: SDA falls while SCL is high; then SCL falls.
        EdgeCase{"I2cStart",
                 "AB 02 20 FF 05 20 FF 01 20 FF 00",
                 BOARD,
                 {Line::scl, Line::sda},
                 "4 sda=0; 8 scl=0"},
        // One command moves both lines: SDA moves while SCL is low.
        EdgeCase{"I2cBothLinesInOneCommand",
                 "AB 02 20 FF 00 20 FF 05",
                 BOARD,
                 {Line::scl, Line::sda},
                 "0 scl=0; 2 sda=0; 4 sda=1; 6 scl=1"},
        // 0x50 acknowledges its address: it pulls SDA after the eighth clock
        // falls and lets go after the acknowledge clock falls.
        EdgeCase{"I2cDeviceAcknowledges",
                 "AB 02 20 FF 05 20 FF 01 20 FF 00 6D 07 A0 20 FB 00 9D 00 00 20 FF 00",
                 BOARD,
                 {Line::sda_device, Line::sda_adapter},
                 "4 sda_adapter=0; 12 sda_adapter=1; 16 sda_adapter=0; 20 sda_adapter=1; "
                 "24 sda_adapter=0; 44 sda_device=0; 44 sda_adapter=1; 52 sda_device=1; 52 sda_adapter=0"},
        // On a real adapter the acknowledge is known only from its sample (bit
        // 7 of read-back byte 0): the bus is the adapter's level while it
        // drives SDA, unknown while it lets go.
        EdgeCase{"I2cAcknowledgeFromItsSample",
                 "AB 02 20 FF 05 20 FF 01 20 FF 00 6D 07 A0 20 FB 00 9D 00 00 20 FF 00",
                 SAMPLES,
                 {Line::sda, Line::sda_device},
                 "0 sda=1; 4 sda=0; 12 sda=1; 16 sda=0; 20 sda=1; 24 sda=0; 44 sda=x; 48 sda_device=s0.7; "
                 "48 sda=s0.7; 52 sda_device=x; 52 sda=x; 52 sda=0"},
        // TDO changes at the falling edge, where the TAPs drive it: the first
        // IR shift clock moves TAP0's captured ...01 on, so TDO falls.
        EdgeCase{"JtagTdoAtTheFallingEdge",
                 "AB 02 5B 04 06 6C 00 01",
                 BOARD,
                 {Line::tck, Line::tdo},
                 "2 tck=1; 4 tck=0; 6 tck=1; 8 tck=0; 10 tck=1; 12 tck=0; 14 tck=1; 16 tck=0; 18 tck=1; "
                 "20 tck=0; 22 tck=1; 24 tck=0; 24 tdo=0"},
        // TMS and TDI are set at the start of a clock, stable at its rising edge.
        EdgeCase{"JtagTmsAndTdi", "AB 02 5B 01 82", BOARD, {Line::tms, Line::tdi}, "0 tms=0; 4 tms=1"},
        // A real adapter's TDO: its sample for the clock it was taken in, then
        // unknown from the falling edge on.
        EdgeCase{"JtagTdoFromItsSample",
                 "AB 02 5B 04 06 6C 01 01",
                 SAMPLES,
                 {Line::tdo},
                 "20 tdo=s0.0; 24 tdo=x; 24 tdo=s0.1; 28 tdo=x"},
        // Leaving JTAG releases its lines; TRST pulled up.
        EdgeCase{"JtagReleasedWhenLeft",
                 "AB 02 20 1B 00 20 F7 02",
                 BOARD,
                 {Line::tms, Line::tdi, Line::trst},
                 "0 tms=0; 0 tdi=0; 0 trst=0; 4 tms=1; 4 tdi=1; 4 trst=1"}),
    [](const testing::TestParamInfo<EdgeCase>& param) { return std::string(param.param.name); });

// ---- the VCD file -----------------------------------------------------------

class TempFile {
public:
    TempFile()
        : path_(std::filesystem::temp_directory_path() /
                ("orv-trace-" + std::to_string(getpid()) + "-" + std::to_string(counter_++) + ".vcd"))
    {
    }
    ~TempFile() { std::filesystem::remove(path_); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    [[nodiscard]] std::string path() const { return path_.string(); }
    [[nodiscard]] std::string text() const
    {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
};

TEST(Vcd, HeaderScopesAndTimeBlocks)
{
    TempFile file;
    std::string error;
    const VcdWriter::Signal signals[] = {{"a", "clk"}, {"a", "data"}, {"b", "sel"}};
    VcdWriter::Header header;
    header.top = "top";
    header.version = "test";
    header.comments = {"one $end two\nlines"};
    auto vcd = VcdWriter::create(file.path(), header, signals, &error);
    ASSERT_NE(vcd, nullptr) << error;
    vcd->change(0, 0, Level::low);
    vcd->change(0, 1, Level::unknown);
    vcd->change(0, 2, Level::high);
    vcd->change(10, 0, Level::high);
    vcd->change(10, 0, Level::low);             // twice at one time: the later holds, which is no change
    vcd->change(1234567890123, 1, Level::high); // nothing else at 10: no block for it
    vcd->change(1234567890123, 2, Level::high); // already high
    ASSERT_TRUE(vcd->finish(1234567890200, &error)) << error;
    EXPECT_EQ(file.text(), "$version test $end\n"
                           "$comment one end two lines $end\n"
                           "$timescale 1 ns $end\n"
                           "$scope module top $end\n"
                           "$scope module a $end\n"
                           "$var wire 1 a clk $end\n"
                           "$var wire 1 b data $end\n"
                           "$upscope $end\n"
                           "$scope module b $end\n"
                           "$var wire 1 c sel $end\n"
                           "$upscope $end\n"
                           "$upscope $end\n"
                           "$enddefinitions $end\n"
                           "#0\n$dumpvars\n0a\nxb\n1c\n$end\n"
                           "#1234567890123\n1b\n"
                           "#1234567890200\n");
    EXPECT_EQ(vcd->bytes(), file.text().size());
    EXPECT_EQ(vcd->changes(), 4U);
}

TEST(Vcd, ManyChangesPassTheBufferWhole)
{
    TempFile file;
    std::string error;
    const VcdWriter::Signal signals[] = {{"", "clk"}};
    auto vcd = VcdWriter::create(file.path(), {}, signals, &error);
    ASSERT_NE(vcd, nullptr) << error;
    constexpr std::uint64_t EDGES = 300'000; // several buffers' worth
    for (std::uint64_t t = 0; t < EDGES; ++t) {
        vcd->change(t, 0, level_of(t % 2 == 1));
    }
    ASSERT_TRUE(vcd->finish(EDGES, &error)) << error;
    const std::string text = file.text();
    EXPECT_EQ(vcd->bytes(), text.size());
    std::istringstream lines(text.substr(text.find("$enddefinitions")));
    std::string line;
    std::uint64_t stamps = 0, last = 0;
    while (std::getline(lines, line)) {
        if (line[0] == '#') {
            const std::uint64_t t = std::stoull(line.substr(1));
            EXPECT_TRUE(stamps == 0 || t > last);
            last = t;
            ++stamps;
        }
    }
    EXPECT_EQ(stamps, EDGES + 1); // every change and the end
    EXPECT_EQ(last, EDGES);
}

TEST(Vcd, FailuresAreReported)
{
    std::string error;
    const VcdWriter::Signal signals[] = {{"", "clk"}};
    EXPECT_EQ(VcdWriter::create("/nonexistent-dir/x.vcd", {}, signals, &error), nullptr);
    EXPECT_NE(error.find("/nonexistent-dir/x.vcd"), std::string::npos) << error;
    EXPECT_EQ(VcdWriter::create("/dev/null", {}, {}, &error), nullptr); // no signals
    if (std::filesystem::exists("/dev/full")) {
        auto vcd = VcdWriter::create("/dev/full", {}, signals, &error);
        if (vcd != nullptr) { // the header fits the kernel's buffer on some systems
            for (std::uint64_t t = 0; t < 1'000'000; ++t) {
                vcd->change(t, 0, level_of(t % 2 == 1));
            }
            error.clear();
            EXPECT_FALSE(vcd->finish(1'000'000, &error));
        }
        EXPECT_NE(error.find("space"), std::string::npos) << error;
    }
}

// A trace that could not be written whole (a full disk; here a file size
// limit) is not left behind looking like a trace that simply ends.
TEST(Vcd, AFileCutShortIsRemoved)
{
    TempFile file;
    std::string error;
    const VcdWriter::Signal signals[] = {{"", "clk"}};
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    struct sigaction ignore {};
    struct sigaction old_xfsz {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old_xfsz); // the write fails instead (EFBIG)
    rlimit small = before;
    small.rlim_cur = 65536;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto vcd = VcdWriter::create(file.path(), {}, signals, &error);
    ASSERT_NE(vcd, nullptr) << error;
    for (std::uint64_t t = 0; t < 1'000'000; ++t) {
        vcd->change(t, 0, level_of(t % 2 == 1));
    }
    const bool written = vcd->finish(1'000'000, &error);
    setrlimit(RLIMIT_FSIZE, &before);
    sigaction(SIGXFSZ, &old_xfsz, nullptr);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("the incomplete trace was removed"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(file.path()));
}

// ---- the host's reconstruction waits for its samples --------------------------

TEST(SampleResolver, ChangesWaitForTheBytesTheirSamplesGoTo)
{
    Recorder out;
    SampleResolver resolver(out);
    resolver.change(1, Line::tck, Level::high); // nothing waits yet: passed on at once
    EXPECT_EQ(out.events.size(), 1U);
    resolver.sampled(2, Line::tdo, {0, 0});
    resolver.change(3, Line::tck, Level::low);
    resolver.sampled(4, Line::tdo, {0, 7});
    resolver.sampled(5, Line::tdo, {1, 3});
    resolver.change(6, Line::tdo, Level::unknown);
    EXPECT_EQ(out.events.size(), 1U);
    resolver.read_back(hex("80")); // byte 0: bit 0 clear, bit 7 set
    EXPECT_EQ(out.on({Line::tck, Line::tdo}), "1 tck=1; 2 tdo=0; 3 tck=0; 4 tdo=1");
    EXPECT_EQ(resolver.pending(), 2U);
    resolver.read_back(hex("08"));
    EXPECT_EQ(out.on({Line::tdo}), "2 tdo=0; 4 tdo=1; 5 tdo=1; 6 tdo=x");
    EXPECT_EQ(resolver.pending(), 0U);
    // A byte that already came back cannot be waited for.
    resolver.sampled(7, Line::tdo, {0, 0});
    EXPECT_EQ(out.events.back().level, "x");
}

TEST(SampleResolver, GivesUpSamplesNeverReadBack)
{
    struct Counter final : LineSink {
        std::size_t changes = 0;
        std::optional<Level> first;
        void change(std::uint64_t /*tick*/, Line /*line*/, Level level) override
        {
            first = first.value_or(level);
            ++changes;
        }
        void sampled(std::uint64_t /*tick*/, Line /*line*/, ReadbackSlot /*slot*/) override {}
    } out;
    SampleResolver resolver(out);
    resolver.sampled(1, Line::miso, {0, 0});
    for (std::uint64_t t = 2; resolver.pending() < SampleResolver::MAX_PENDING; ++t) {
        resolver.change(t, Line::sck, level_of(t % 2 == 0));
    }
    EXPECT_EQ(out.changes, 0U);
    resolver.change(0, Line::sck, Level::low); // one past the bound: the older half goes, unresolved
    EXPECT_EQ(resolver.pending(), SampleResolver::MAX_PENDING / 2);
    EXPECT_EQ(out.changes, SampleResolver::MAX_PENDING / 2 + 1);
    EXPECT_EQ(out.first, Level::unknown);
    resolver.finish();
    EXPECT_EQ(resolver.pending(), 0U);
}

// A whole host session: an IR scan whose TDO came back, written to a file.
TEST(HostTrace, SampledLevelsReachTheFile)
{
    TempFile file;
    std::string error;
    auto trace = std::make_unique<HostTrace>(TraceFile::create(file.path(), "test", {"host"}, &error));
    trace->sent(hex("AB 02 5B 04 06 6C 01 01 8B"));
    trace->read_back(hex("02")); // TDO sampled 0 then 1
    ASSERT_TRUE(trace->finish(&error)) << error;
    EXPECT_GT(trace->summary().duration_ns, 0U);
    // tdo is the 4th signal, "d": sampled 0 in the clock from tick 20 (167
    // ns), 1 in the one from tick 24 (200 ns), unknown from tick 28 (233 ns).
    const std::string text = file.text();
    const auto block = [&](const std::string& stamp) {
        const std::size_t at = text.find("#" + stamp + "\n");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('#', at + 1) - at);
    };
    EXPECT_NE(block("167").find("0d\n"), std::string::npos) << text;
    EXPECT_NE(block("200").find("1d\n"), std::string::npos) << text;
    EXPECT_NE(block("233").find("xd\n"), std::string::npos) << text;
}

} // namespace
} // namespace orv::emu
