// orvtool's parsing and formatting helpers and its chain analysis: the parts
// that decide what the user sees, without an adapter.
#include <gtest/gtest.h>

#include <sstream>

#include "device.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "i2c_bus.hpp"
#include "i2c_commands.hpp"
#include "jtag_chain.hpp"
#include "render.hpp"
#include "spi_commands.hpp"

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

TEST(UsbSelector, VidPidAndOptionalBusAddress)
{
    auto s = parse_usb_selector("1209:4F52");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->vid, 0x1209);
    EXPECT_EQ(s->pid, 0x4F52);
    EXPECT_FALSE(s->bus);
    auto full = parse_usb_selector("0x1209:0x4f52:1:12");
    ASSERT_TRUE(full);
    EXPECT_EQ(*full->bus, 1);
    EXPECT_EQ(*full->address, 12);
    EXPECT_EQ(to_string(*full), "1209:4f52:1:12");
    for (const char* bad : {"", "1209", "1209:", "12345:1", "1209:4f52:1", "1209:4f52:1:256", "1209:4f52:a:1",
                            "1209:4f52:1:2:3", "xyz:1"}) {
        EXPECT_FALSE(parse_usb_selector(bad)) << bad;
    }
}

TEST(Idcode, FieldsOfTheBoardsTaps)
{
    auto arm = jtag::decode_idcode(0x4BA00477);
    EXPECT_EQ(arm.manufacturer, 0x23B);
    EXPECT_EQ(arm.bank, 5u);
    EXPECT_EQ(arm.jep106_id, 0x3B);
    EXPECT_EQ(arm.part, 0xBA00);
    EXPECT_EQ(arm.version, 4);
    EXPECT_STREQ(arm.vendor, "ARM Ltd");
    auto xlx = jtag::decode_idcode(0x06B5C093);
    EXPECT_EQ(xlx.manufacturer, 0x049);
    EXPECT_EQ(xlx.bank, 1u);
    EXPECT_EQ(xlx.part, 0x6B5C);
    EXPECT_EQ(xlx.version, 0);
    EXPECT_STREQ(xlx.vendor, "Xilinx");
    EXPECT_EQ(jtag::decode_idcode(0x12345FFF).vendor, nullptr);
}

TEST(ChainAnalysis, IrLengthsFromTheCapturePattern)
{
    // Capture ...01 per TAP: 4-bit then 6-bit register, nearest TDO first.
    Bytes capture{0x11, 0x00}; // bits 0 and 4 set
    auto lengths = jtag::split_ir_lengths(capture, 10, 2);
    ASSERT_EQ(lengths.size(), 2u);
    EXPECT_EQ(lengths[0], 4u);
    EXPECT_EQ(lengths[1], 6u);
    // One device: its length is the whole sum, whatever it captures.
    EXPECT_EQ(jtag::split_ir_lengths(Bytes{0xFF}, 5, 1)[0], 5u);
    // A capture with other set bits is ambiguous: lengths stay unknown.
    auto unsure = jtag::split_ir_lengths(Bytes{0x15, 0x00}, 10, 2); // 1s at 0, 2, 4
    EXPECT_FALSE(unsure[0]);
    EXPECT_FALSE(unsure[1]);
    // The first register must start at bit 0.
    EXPECT_FALSE(jtag::split_ir_lengths(Bytes{0x12}, 8, 2)[0]);
}

TEST(ChainAnalysis, IdcodesAndBypassDevices)
{
    // TAP0 without IDCODE (one 0 bit), then an IDCODE 0x06B5C093.
    std::uint64_t chain = static_cast<std::uint64_t>(0x06B5C093) << 1;
    Bytes bits(5);
    for (int i = 0; i < 5; ++i) {
        bits[i] = static_cast<std::uint8_t>(chain >> (8 * i));
    }
    auto ids = jtag::parse_idcodes(bits, 33, 2);
    ASSERT_TRUE(ids);
    EXPECT_FALSE((*ids)[0]);
    ASSERT_TRUE((*ids)[1]);
    EXPECT_EQ((*ids)[1]->raw, 0x06B5C093u);
    EXPECT_FALSE(jtag::parse_idcodes(bits, 32, 2)); // bits run out
    EXPECT_EQ(jtag::find_bit(bits, 0, 33, true), 1u);
    EXPECT_FALSE(jtag::find_bit(Bytes{0x00}, 0, 8, true));
}

TEST(SpiPlan, PagesNeverCrossA256ByteBoundary)
{
    auto p = spi::split_pages(0x1F0, 0x220);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].addr, 0x1F0u);
    EXPECT_EQ(p[0].len, 0x10u);
    EXPECT_EQ(p[1].addr, 0x200u);
    EXPECT_EQ(p[1].offset, 0x10u);
    EXPECT_EQ(p[1].len, 0x100u);
    EXPECT_EQ(p[3].addr, 0x400u);
    EXPECT_EQ(p[3].len, 0x10u);
    EXPECT_TRUE(spi::split_pages(0, 0).empty());
}

TEST(SpiPlan, JedecSizeAndBlankBus)
{
    spi::JedecId id{{0xEF, 0x40, 0x16}};
    EXPECT_EQ(id.size_bytes(), 4u << 20);
    EXPECT_STREQ(id.vendor(), "Winbond");
    EXPECT_FALSE(id.blank());
    EXPECT_TRUE((spi::JedecId{{0xFF, 0xFF, 0xFF}}.blank()));
    EXPECT_TRUE((spi::JedecId{{0, 0, 0}}.blank()));
    EXPECT_EQ((spi::JedecId{{0xEF, 0x40, 0x40}}.size_bytes()), 0u); // implausible
    EXPECT_EQ(spi::size_text(4u << 20), "4 MiB");
    EXPECT_EQ(spi::size_text(512 * 1024), "512 KiB");
    EXPECT_EQ(spi::size_text(300), "300 bytes");
}

TEST(I2cGrid, ShowsFoundAddressesDashesAndBlanks)
{
    i2c::ProbeMap map;
    map.present.assign(i2c::LAST_PROBE - i2c::FIRST_PROBE + 1, false);
    map.present[0x50 - i2c::FIRST_PROBE] = true;
    std::string s = i2c::grid_text(map);
    EXPECT_EQ(s.substr(0, s.find('\n')), "      0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f");
    EXPECT_NE(s.find("\n00:                         -- -- -- -- -- -- -- --\n"), std::string::npos);
    EXPECT_NE(s.find("\n50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- --\n"), std::string::npos);
    EXPECT_NE(s.find("\n70: -- -- -- -- -- -- -- --\n"), std::string::npos);
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 9);
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

TEST(Timeout, I2cKeepsTheWorstWaitUnderTenSeconds)
{
    // 10 x T polls of up to T ms each, plus the command, data and drain transfers.
    const auto worst_ms = [](std::uint64_t t) { return 10 * t * t + 3 * t; };
    EXPECT_LE(worst_ms(i2c::MAX_BUS_TIMEOUT_MS), 10000u);
    EXPECT_GT(worst_ms(i2c::MAX_BUS_TIMEOUT_MS + 1), 10000u);
    EXPECT_EQ(i2c::bus_timeout(1000), i2c::MAX_BUS_TIMEOUT_MS);
    EXPECT_EQ(i2c::bus_timeout(5), 5u);
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
              "{\"error\":\"programming at 0x000800: usb no such device (code -4)\",\"hint\":"
              "\"reconnect\",\"code\":-4,\"exit\":1,\"done\":[{\"action\":\"programmed\",\"bytes\":2048,"
              "\"bytes_total\":4096,\"pages\":8,\"pages_total\":16,\"from\":0,\"stopped_at\":2048},"
              "{\"action\":\"measured\",\"ir_bits\":10,\"from\":null,\"stopped_at\":null},"
              "{\"action\":\"read back\",\"bytes\":0,\"bytes_total\":4096,\"from\":0,\"stopped_at\":0}]}\n");
    std::ostringstream text_out;
    render_error(err, text_out, e, Style::text);
    EXPECT_EQ(text_out.str(), "") << "text goes to the error stream only";
}

} // namespace
