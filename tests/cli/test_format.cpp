// orvtool's parsing and formatting helpers: the parts that decide what the
// user sees, without an adapter.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "front/orvtool/context.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/file_io.hpp"
#include "front/orvtool/format.hpp"
#include "front/orvtool/i2c_commands.hpp"
#include "front/orvtool/render.hpp"
#include "lib/wire/number_text.hpp"

using namespace orvtool;

namespace {

TEST(ParseNumber, AcceptsDecimalHexAndBinaryOnly)
{
    EXPECT_EQ(parse_number("31"), 31u);
    EXPECT_EQ(parse_number("0x1F"), 31u);
    EXPECT_EQ(parse_number("0b11111"), 31u);
    EXPECT_EQ(parse_number("010"), 10u); // no octal surprise
    EXPECT_FALSE(parse_number(""));
    EXPECT_FALSE(parse_number("0x"));
    EXPECT_FALSE(parse_number("-1"));
    EXPECT_FALSE(parse_number("12abc"));
    EXPECT_FALSE(parse_number(" 1"));
    EXPECT_FALSE(parse_number("18446744073709551616")); // 2^64 overflows
    EXPECT_EQ(parse_number("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_number("0x7f", 0x7F), 0x7Fu);
    EXPECT_FALSE(parse_number("0x80", 0x7F));
}

TEST(ParseNumber, NumberArgThrowsAUsageError)
{
    try {
        number_arg("zz", "ADDR", 10);
        FAIL() << "no throw";
    } catch (const ToolError& e) {
        EXPECT_EQ(e.exit(), Exit::usage);
        EXPECT_NE(std::string(e.what()).find("ADDR"), std::string::npos);
    }
}

TEST(HexBits, NumberBitsBecomeScanBitsLsbFirst)
{
    auto b = parse_hex_bits("0x3F8", 10);
    ASSERT_TRUE(b);
    EXPECT_EQ(*b, (Bytes{0xF8, 0x03}));
    EXPECT_EQ(bits_to_hex(*b, 10), "0x3f8");
    auto wide = parse_hex_bits("06b5c093_4ba00477", 64);
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, (Bytes{0x77, 0x04, 0xA0, 0x4B, 0x93, 0xC0, 0xB5, 0x06}));
    EXPECT_EQ(bits_to_hex(*wide, 64), "0x06b5c0934ba00477");
}

TEST(HexBits, RefusesBitsBeyondTheLengthAndNonHex)
{
    EXPECT_FALSE(parse_hex_bits("0x400", 10));      // bit 10 set
    EXPECT_TRUE(parse_hex_bits("0x0000003ff", 10)); // leading zeros are fine
    EXPECT_FALSE(parse_hex_bits("0xg", 8));
    EXPECT_FALSE(parse_hex_bits("", 8));
    EXPECT_FALSE(parse_hex_bits("0x", 8));
}

TEST(HexBits, OutputIgnoresBitsAboveTheLength)
{
    Bytes b{0xFF, 0xFF};
    EXPECT_EQ(bits_to_hex(b, 5), "0x1f");
    EXPECT_EQ(bits_to_hex(b, 1), "0x1");
}

TEST(HexDump, LayoutMatchesHexdumpC)
{
    Bytes data;
    for (int i = 0; i < 20; ++i) {
        data.push_back(static_cast<std::uint8_t>(0x41 + i));
    }
    data[3] = 0x00;
    std::ostringstream out;
    hex_dump(out, 0x1000, data);
    EXPECT_EQ(out.str(), "00001000  41 42 43 00 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABC.EFGHIJKLMNOP|\n"
                         "00001010  51 52 53 54                                       |QRST|\n");
}

TEST(Json, CommasNestingAndEscapes)
{
    std::ostringstream out;
    JsonWriter j(out);
    j.begin_object().key("a").value(1).key("b").begin_array().value("x\"\n").value(true).null().end_array();
    j.key("c").begin_object().end_object().key("d").value(std::uint64_t{4194304}).end_object().finish();
    EXPECT_EQ(out.str(), "{\"a\":1,\"b\":[\"x\\\"\\n\",true,null],\"c\":{},\"d\":4194304}\n");
    EXPECT_EQ(json_escape(std::string(1, '\x01')), "\\u0001");
}

// One result through both faces: JSON members in order, text forms in order
// (labels aligned, a dump from its base, a cell wider than its column pushing
// the rest along as printf's %-Ns does).
TEST(Render, OneResultAsTextAndAsJson)
{
    Table table{{{"A", 3, 1}, {"B", 2, 2}, {"C"}}, {}};
    table.rows.push_back({Value::object({{"a", -1}, {"n", Value()}}), {"toolong", "x", "last"}});
    Result r;
    r.field("flag", true).line("head");
    r.labelled("id", Value("ef4016"), "ID:", "ef 40 16")
        .labelled("kind", Value::list({1u, "x"}), "long label:", "k");
    r.bytes("data", 0x10, Bytes{0x41, 0x00}).table("rows", std::move(table));
    std::ostringstream text, json;
    render(text, r, Style::text);
    render(json, r, Style::json);
    EXPECT_EQ(text.str(), "head\n"
                          "ID:         ef 40 16\n"
                          "long label: k\n"
                          "00000010  41 00                                             |A.|\n"
                          "A   B   C\n"
                          "toolong x   last\n");
    EXPECT_EQ(json.str(), "{\"flag\":true,\"id\":\"ef4016\",\"kind\":[1,\"x\"],\"data\":\"4100\",\"rows\":[{"
                          "\"a\":-1,\"n\":null}]}\n");
}

// Names from files and the adapter reach the terminal escaped: no control
// character, C1 control or stray byte gets through, in any place the text
// renderer prints (lines, labels, table cells, errors), while UTF-8 stays.
TEST(Render, TextFromFilesCannotDriveTheTerminal)
{
    const struct {
        std::string raw, shown;
    } cases[] = {
        {"PA0", "PA0"},
        {"\x1b"
         "c",
         "\\x1bc"}, // ESC c resets a terminal
        {"a\tb\rc\x7f", "a\\x09b\\x0dc\\x7f"},
        {"\xc2\x9b"
         "2J",
         "\\u009b2J"}, // CSI as a C1 control in UTF-8
        {"\x9b"
         "2J",
         "\\x9b2J"}, // and as a bare byte
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc0\xaf\xed\xa0\x80\xe2\x82", "\\xc0\\xaf\\xed\\xa0\\x80\\xe2\\x82"}, // overlong, surrogate, cut
        {"two\nlines", "two\nlines"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(terminal_text(c.raw), c.shown) << c.shown;
    }
    const std::string evil = "U1\x1b[2J";
    Table table{{{"PORT", 6, 1}, {"PIN"}}, {}};
    table.rows.push_back({Value(), {evil, evil}});
    Result r;
    r.line(evil).labelled("x", Value(evil), evil + ":", evil).table("t", std::move(table));
    std::ostringstream text, err, json;
    render(text, r, Style::text);
    EXPECT_EQ(text.str().find('\x1b'), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("\nU1\\x1b[2J U1\\x1b[2J\n"), std::string::npos) << text.str();
    render_error(err, json, ToolError(Exit::usage, "bad " + evil, "hint " + evil, {}, "detail " + evil),
                 Style::json);
    EXPECT_EQ(err.str(), "orvtool: bad U1\\x1b[2J\n  detail U1\\x1b[2J\n  hint U1\\x1b[2J\n");
    EXPECT_NE(json.str().find("bad U1\\u001b[2J"), std::string::npos) << json.str();
}

// A display redrawn in place fits its screen: lines cut to the width less
// one (UTF-8 counted by characters), at most the height less one, the last
// kept saying how many were left out.
TEST(Render, FitToScreenCutsWidthAndHeight)
{
    const auto more = [](std::size_t n) { return "+" + std::to_string(n) + " more lines"; };
    const struct {
        std::string text;
        unsigned columns, rows;
        std::vector<std::string> lines;
    } cases[] = {
        {"short\nlines\n", 80, 24, {"short", "lines"}},
        {"0123456789\n", 6, 24, {"01234"}},
        {"\xc3\xa9\xc3\xa9\xc3\xa9\n", 3, 24, {"\xc3\xa9\xc3\xa9"}},
        {"a\nb\nc\nd\ne\n", 80, 4, {"a", "b", "+3 more lines"}},
        {"a\nb\nc\n", 80, 4, {"a", "b", "c"}},
        {"a\nb\nc\nd\n", 5, 3, {"a", "+3 m"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fit_to_screen(c.text, c.columns, c.rows, more), c.lines) << c.text;
    }
}

TEST(I2cLayouts, DetectGridAndDumpAsI2cTools)
{
    i2c::ProbeMap map;
    map.first = 0x08;
    map.last = 0x77;
    map.present.assign(map.last - map.first + 1, false);
    map.present[0x50 - map.first] = true;
    map.present[0x68 - map.first] = true;
    std::string blank(3 * 8, ' ');
    std::string dashes8;
    for (int i = 0; i < 8; ++i) {
        dashes8 += "-- ";
    }
    std::string dashes16 = dashes8 + dashes8;
    EXPECT_EQ(i2c::grid_text(map), "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
                                   "00: " +
                                       blank + dashes8 +
                                       "\n"
                                       "10: " +
                                       dashes16 +
                                       "\n"
                                       "20: " +
                                       dashes16 +
                                       "\n"
                                       "30: " +
                                       dashes16 +
                                       "\n"
                                       "40: " +
                                       dashes16 +
                                       "\n"
                                       "50: 50 " +
                                       dashes16.substr(3) +
                                       "\n"
                                       "60: " +
                                       dashes8 + "68 " + dashes8.substr(3) +
                                       "\n"
                                       "70: " +
                                       dashes8 + blank + "\n");
    // i2cdetect's defaults: reads where EEPROMs sit, quick writes elsewhere.
    EXPECT_EQ(i2c::probe_for(i2c::ProbeMode::automatic, 0x2F), i2c::ProbeMode::quick_write);
    EXPECT_EQ(i2c::probe_for(i2c::ProbeMode::automatic, 0x30), i2c::ProbeMode::read_byte);
    EXPECT_EQ(i2c::probe_for(i2c::ProbeMode::automatic, 0x37), i2c::ProbeMode::read_byte);
    EXPECT_EQ(i2c::probe_for(i2c::ProbeMode::automatic, 0x38), i2c::ProbeMode::quick_write);
    EXPECT_EQ(i2c::probe_for(i2c::ProbeMode::automatic, 0x5F), i2c::ProbeMode::read_byte);
    EXPECT_EQ(i2c::probe_for(i2c::ProbeMode::quick_write, 0x50), i2c::ProbeMode::quick_write);

    Bytes bytes{0x00, 0x41, 0x7F, 0xFF, 0x1F, 0x7E};
    EXPECT_EQ(i2c::dump_text(bytes),
              "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
              "00: 00 41 7f ff 1f 7e " +
                  std::string(3 * 10, ' ') + "   .A?.?~\n");
}

TEST(Sizes, SuffixesCountsAndClock)
{
    // One parser for every size and offset, on the command line and in board
    // files: the value, or why not.
    using Fault = orv::SizeTextFault;
    struct Case {
        const char* text;
        std::optional<std::uint64_t> value;
        Fault fault;
    };
    const Case cases[] = {
        {"4096", 4096, Fault::none},
        {"4k", 4096, Fault::none},
        {"4K", 4096, Fault::none},
        {"4m", 4u << 20, Fault::none},
        {"4M", 4u << 20, Fault::none},
        {"1g", 1u << 30, Fault::none},
        {"1G", 1u << 30, Fault::none},
        {"0x1000", 0x1000, Fault::none},
        {"0x1M", 1u << 20, Fault::none},
        {"0X10k", 16u << 10, Fault::none},
        {"0b1k", 1024, Fault::none},
        {"0", 0, Fault::none},
        {"0k", 0, Fault::none},
        {"18446744073709551615", UINT64_MAX, Fault::none},
        {"17179869183G", 17179869183ull << 30, Fault::none},
        {"", {}, Fault::not_a_size},
        {"k", {}, Fault::not_a_size},
        {"0xk", {}, Fault::not_a_size},
        {"4kk", {}, Fault::not_a_size},
        {"4KiB", {}, Fault::not_a_size},
        {"4T", {}, Fault::not_a_size},
        {"-1k", {}, Fault::not_a_size},
        {"+4", {}, Fault::not_a_size},
        {"4 k", {}, Fault::not_a_size},
        {" 4", {}, Fault::not_a_size},
        {"0x", {}, Fault::not_a_size},
        {"0b12", {}, Fault::not_a_size},
        {"1.5M", {}, Fault::not_a_size},
        {"18446744073709551616", {}, Fault::too_large}, // 2^64
        {"0x10000000000000000", {}, Fault::too_large},  // 2^64 in hex
        {"17179869184G", {}, Fault::too_large},         // 2^64 after the multiple
        {"99999999999999999999999k", {}, Fault::too_large},
    };
    for (const auto& c : cases) {
        Fault fault = Fault::none;
        EXPECT_EQ(orv::parse_size(c.text, &fault), c.value) << c.text;
        EXPECT_EQ(fault, c.fault) << c.text;
        EXPECT_EQ(parse_size(c.text), c.value) << c.text;
    }
    EXPECT_EQ(parse_size("16M", 16u << 20), 16u << 20);
    EXPECT_FALSE(parse_size("17M", 16u << 20));
    EXPECT_EQ(count_text(1, "byte"), "1 byte");
    EXPECT_EQ(count_text(0, "page"), "0 pages");
    EXPECT_EQ(size_text(4u << 20), "4 MiB");
    EXPECT_EQ(size_text(512 * 1024), "512 KiB");
    EXPECT_EQ(size_text(300), "300 bytes");
    EXPECT_EQ(size_text(1), "1 byte");
    // Never faster than asked: 7000 gives divisor 9 (6666 kHz), not 8 (7500).
    const orvdev_clock clocks[] = {orvdev_clock_for_khz(7000), orvdev_clock_for_khz(400),
                                   orvdev_clock_for_khz(60000), orvdev_clock_for_khz(241)};
    EXPECT_EQ(clocks[0].divisor, 9u);
    EXPECT_EQ(clock_text(clocks[0], 7000),
              "6666 kHz (7000 asked: the fastest clock the adapter makes at or below it)");
    EXPECT_EQ(clock_text(clocks[1], 400), "400 kHz");
    EXPECT_EQ(clock_text(clocks[2], 60000), "60000 kHz");
    // 241 kHz would need divisor 249, which no request of the libraries sends.
    EXPECT_EQ(clocks[3].divisor, 250u);
    EXPECT_EQ(clock_text(orvdev_clock_for_khz(100), 100),
              "235 kHz (100 asked: raised to the slowest clock the adapter makes)");
}

TEST(ProgressLine, FitsEveryWidthAndDropsDetailsFirst)
{
    for (unsigned columns : {2u, 10u, 20u, 40u, 60u, 69u, 80u, 132u, 300u}) {
        std::string line = progress_line("verify", 1u << 20, 4u << 20, true, 10.0, columns);
        EXPECT_LE(line.size(), columns - 1) << columns;
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    std::string wide = progress_line("read", 1u << 20, 4u << 20, true, 10.0, 120);
    EXPECT_EQ(wide.size(), 119u);
    EXPECT_NE(wide.find("[##########"), std::string::npos) << wide;
    EXPECT_NE(wide.find(" 25% 1.0 MiB/4.0 MiB 102.4 KiB/s 0:30 left"), std::string::npos) << wide;
    // Narrow: the time left and the rate go before the counts, the counts
    // before the bar.
    std::string narrow = progress_line("read", 1u << 20, 4u << 20, true, 10.0, 40);
    EXPECT_NE(narrow.find("25% 1.0 MiB/4.0 MiB"), std::string::npos) << narrow;
    EXPECT_EQ(narrow.find("left"), std::string::npos) << narrow;
    EXPECT_EQ(progress_line("read", 1, 4, false, 0.0, 16), "read  25%");
    EXPECT_NE(progress_line("erase", 3, 16, false, 1.0, 80).find(" 3/16 3.0/s 0:04 left"), std::string::npos);
}

TEST(I2cArgs, AddressRangeFollowsTheAddressWidth)
{
    EXPECT_EQ(i2c::address_arg("0x50", false), 0x50u);
    EXPECT_EQ(i2c::address_arg("0x2a5", true), 0x2A5u);
    EXPECT_THROW(i2c::address_arg("0x80", false), ToolError);
    EXPECT_THROW(i2c::address_arg("0x400", true), ToolError);
}

TEST(ResultText, ErrorsCarryTheLibraryTextAndAHint)
{
    try {
        check_result(-17, "reading from 0x51");
        FAIL() << "no throw";
    } catch (const ToolError& e) {
        EXPECT_EQ(std::string(e.what()), "reading from 0x51: tapwire other error (code -17)");
        EXPECT_EQ(e.detail(), "");
        EXPECT_EQ(e.exit(), Exit::failed);
        EXPECT_EQ(e.code(), -17);
        EXPECT_FALSE(e.hint().empty());
    }
    EXPECT_NO_THROW(check_result(0, "x"));
}

} // namespace

namespace {

TEST(Timeout, ZeroAndTooLargeAreUsageErrors)
{
    EXPECT_EQ(timeout_arg("1"), 1u);
    EXPECT_EQ(timeout_arg("600000"), 600000u);
    for (const char* bad : {"0", "0x0", "600001", "-5", ""}) {
        try {
            timeout_arg(bad);
            ADD_FAILURE() << bad << " accepted";
        } catch (const ToolError& e) {
            EXPECT_EQ(e.exit(), Exit::usage) << bad;
            EXPECT_NE(std::string(e.hint()).find("wait for ever"), std::string::npos) << bad;
        }
    }
}

TEST(Done, TextAndJsonOfWhatAFailedCommandHadDone)
{
    ToolError e(Exit::failed, "programming at 0x000800: usb no such device (code -4)", "reconnect", -4);
    e.add_done({Done{"read back", {{"bytes", 0, 4096}}, 0, 0}});
    e.add_done({Done{"programmed", {{"bytes", 2048, 4096}, {"pages", 8, 16}}, 0, 0x800},
                Done{"measured", {{"IR bits", 10, {}}}, {}, {}}});
    std::ostringstream err, out;
    render_error(err, out, e, Style::json);
    EXPECT_EQ(err.str(), "orvtool: programming at 0x000800: usb no such device (code -4)\n"
                         "  reconnect\n"
                         "  done: programmed 2048 of 4096 bytes (8 of 16 pages) from 0x000000, stopped at "
                         "0x000800\n"
                         "  done: measured 10 IR bits\n"
                         "  done: read back 0 of 4096 bytes from 0x000000, stopped at 0x000000\n");
    EXPECT_EQ(out.str(),
              "{\"error\":\"programming at 0x000800: usb no such device (code -4)\",\"detail\":null,\"hint\":"
              "\"reconnect\",\"code\":-4,\"exit\":1,\"done\":[{\"action\":\"programmed\",\"bytes\":2048,"
              "\"bytes_total\":4096,\"pages\":8,\"pages_total\":16,\"from\":0,\"stopped_at\":2048},"
              "{\"action\":\"measured\",\"ir_bits\":10,\"from\":null,\"stopped_at\":null},"
              "{\"action\":\"read back\",\"bytes\":0,\"bytes_total\":4096,\"from\":0,\"stopped_at\":0}]}\n");
    std::ostringstream text_out;
    render_error(err, text_out, e, Style::text);
    EXPECT_EQ(text_out.str(), "") << "text goes to the error stream only";
}

} // namespace

namespace {

// An input is read within what it can be: a regular file larger than the
// bound is refused before it is read, a stream (standard input, a pipe) when
// it gives more; the message names the bound.
TEST(InputFile, BoundedByWhatTheInputCanBe)
{
    const auto refusal = [](const std::function<void()>& read) {
        try {
            read();
        } catch (const orvtool::ToolError& e) {
            EXPECT_EQ(e.exit(), orvtool::Exit::usage);
            return std::string(e.what());
        }
        return std::string("(read)");
    };
    std::istringstream endless(std::string(5000, 'x'));
    EXPECT_EQ(refusal([&] { (void)orvtool::read_input_file("-", endless, orvtool::IMAGE_TO_WRITE, 4096); }),
              "standard input holds more than 4 KiB");
    std::istringstream fits(std::string(4096, 'x'));
    EXPECT_EQ(orvtool::read_input_file("-", fits, orvtool::IMAGE_TO_WRITE, 4096).size(), 4096u);
    std::istringstream none;
    EXPECT_EQ(
        refusal([&] { (void)orvtool::read_input_file("/dev/zero", none, orvtool::IMAGE_TO_WRITE, 1 << 20); }),
        "/dev/zero holds more than 1 MiB");
    // By default the most a flash orvtool can address holds: a sparse file
    // one byte larger is refused by its size, unread.
    const std::string sparse = ::testing::TempDir() + "orvtool_input_sparse.bin";
    std::ofstream(sparse, std::ios::trunc).close();
    std::filesystem::resize_file(sparse, (std::uintmax_t{1} << 32) + 1);
    EXPECT_EQ(refusal([&] { (void)orvtool::read_input_file(sparse, none, orvtool::IMAGE_TO_WRITE); }),
              sparse +
                  " holds more than 4 GiB, the most a flash orvtool can address holds (4-byte addresses)");
    std::filesystem::remove(sparse);
}

} // namespace

// A multi-stage operation's bar says which stage runs and estimates the whole
// job, the stages weighing alike; a single stage keeps its plain label.
TEST(Progress, StagesAndTheWholeJobsEstimate)
{
    EXPECT_EQ(stage_label("write", 3, 4), "write (3 of 4)");
    EXPECT_EQ(stage_label("read", 0, 0), "read");
    EXPECT_EQ(stage_label("read", 1, 1), "read");
    const struct {
        std::uint32_t index, count;
        double fraction, seconds;
        const char* note;
    } cases[] = {
        {1, 4, 0.5, 10, "job ~1:10 left"}, // an eighth done in 10 s
        {2, 4, 0.0, 30, "job ~1:30 left"}, // a quarter done in 30 s
        {4, 4, 1.0, 60, "job ~0:00 left"}, // the last stage at its end
        {2, 2, 0.5, 4000, "job ~22:13 left"},
        {1, 2, 0.5, 4000, "job ~3.3 h left"},
        {1, 4, 0.0, 10, ""},  // nothing done: no measure yet
        {2, 4, 0.5, 0.2, ""}, // too early to tell
        {1, 1, 0.5, 10, ""},  // one stage: its own bar says it
        {0, 0, 0.5, 10, ""},
        {5, 4, 0.5, 10, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(job_note(c.index, c.count, c.fraction, c.seconds), c.note) << c.index << " of " << c.count;
    }
}
