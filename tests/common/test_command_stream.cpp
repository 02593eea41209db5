// Encoders: each appends exactly its command's bytes, refuses counts outside
// its command's range and never writes past the storage.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/wire.hpp"
#include "tests/support/fake_usb.hpp"

namespace orv {
namespace {

using test::Bytes;
using test::hex;

Bytes bytes_of(const CommandStream& s)
{
    return {s.bytes().begin(), s.bytes().end()};
}

TEST(ClockDivisor, ThresholdAndTruncationToLowByte)
{
    const std::vector<std::pair<std::uint32_t, Bytes>> cases = {
        {240, hex("AC FA")}, {241, hex("AB F8")},   {60000, hex("AB 01")}, {100, hex("AC 58")},
        {1, hex("AC 60")},   {60001, hex("AB 00")}, {235, hex("AC FF")},   {0xFFFFFFFFu, hex("AB 00")},
    };
    for (const auto& [freq, expected] : cases) {
        const auto cmd = clock_divisor_command(freq);
        EXPECT_EQ(Bytes(cmd.begin(), cmd.end()), expected) << "freq " << freq;
    }
}

TEST(ClockCounts, JtagFormShiftsBySevenSpiFormByEight)
{
    std::array<std::uint8_t, 64> storage{};
    CommandStream s(storage);
    append_clocks(s, OP_CLOCKS, 1, ClockCountForm::shifted_by_7);
    append_clocks(s, OP_CLOCKS, 127, ClockCountForm::shifted_by_7);
    append_clocks(s, OP_CLOCKS, 128, ClockCountForm::shifted_by_7);
    append_clocks(s, OP_CLOCKS, 256, ClockCountForm::shifted_by_7);
    append_clocks(s, OP_CLOCKS, 65535, ClockCountForm::shifted_by_7);
    append_clocks(s, OP_CLOCKS_READ, 8, ClockCountForm::shifted_by_8);
    append_clocks(s, OP_CLOCKS, 255, ClockCountForm::shifted_by_8);
    append_clocks(s, OP_CLOCKS, 256, ClockCountForm::shifted_by_8);
    append_clocks(s, OP_CLOCKS_READ, 2048, ClockCountForm::shifted_by_8);
    append_clocks(s, OP_CLOCKS_READ_MSB, 8, ClockCountForm::shifted_by_8);
    EXPECT_FALSE(s.faulted());
    EXPECT_EQ(bytes_of(s), hex("9B 00 00  9B 7E 00  9B 7F 01  9B FF 02  9B FE FF"
                               "9C 07 00  9B FE 00  9B FF 01  9C FF 08  9D 07 00"));
}

TEST(Encoders, PinTmsBitsAndFlush)
{
    std::array<std::uint8_t, 64> storage{};
    CommandStream s(storage);
    append_set_io(s, OP_SET_IO_LOW, 0xF7, 0x02);
    append_tms(s, 0x7F, 7, false);
    append_tms(s, 0x81, 1, false);
    append_tms(s, 0x81, 1, true);
    append_bits(s, BitOrder::lsb_first, false, 1, 0x00);
    append_bits(s, BitOrder::lsb_first, false, 1, 0x01);
    append_bits(s, BitOrder::lsb_first, true, 3, 0x03);
    append_bits(s, BitOrder::msb_first, false, 8, 0xA0);
    append_bits(s, BitOrder::msb_first, true, 8, 0x5A);
    append_flush(s);
    EXPECT_FALSE(s.faulted());
    EXPECT_EQ(bytes_of(s), hex("20 F7 02  5B 06 7F  5B 00 81  5C 00 81  6B 00 00  6B 00 01"
                               "6C 02 03  6D 07 A0  6E 07 5A  8B"));
}

TEST(Encoders, ByteRunsUpTo256InEachOrderAndForm)
{
    std::vector<std::uint8_t> data(256);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    std::vector<std::uint8_t> storage(4 * 258);
    CommandStream s(storage);
    append_bytes(s, BitOrder::lsb_first, false, data);
    append_bytes(s, BitOrder::lsb_first, true, std::span(data).first(1));
    append_bytes(s, BitOrder::msb_first, false, std::span(data).first(2));
    append_bytes(s, BitOrder::msb_first, true, std::span(data).first(3));
    ASSERT_FALSE(s.faulted());
    const Bytes out = bytes_of(s);
    ASSERT_EQ(out.size(), 258u + 3 + 4 + 5);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 2), hex("7B FF"));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 2));
    EXPECT_EQ(Bytes(out.begin() + 258, out.end()), hex("7C 00 00  7D 01 00 01  7E 02 00 01 02"));
}

TEST(Encoders, OutOfRangeCountsAppendNothingAndFault)
{
    std::array<std::uint8_t, 16> storage{};
    const std::vector<std::uint8_t> too_long(257, 0xAA);
    const auto expect_refused = [&](auto&& append, const char* what) {
        storage.fill(0xEE);
        CommandStream s(storage);
        append(s);
        EXPECT_TRUE(s.faulted()) << what;
        EXPECT_EQ(s.size(), 0u) << what;
        EXPECT_EQ(storage[0], 0xEE) << what;
    };
    expect_refused([](CommandStream& s) { append_tms(s, 0, 0, false); }, "tms 0 clocks");
    expect_refused([](CommandStream& s) { append_tms(s, 0, 8, false); }, "tms 8 clocks");
    expect_refused([](CommandStream& s) { append_bits(s, BitOrder::lsb_first, false, 0, 0); }, "0 bits");
    expect_refused([](CommandStream& s) { append_bits(s, BitOrder::msb_first, false, 9, 0); }, "9 bits");
    expect_refused([](CommandStream& s) { append_bytes(s, BitOrder::lsb_first, false, {}); }, "0 bytes");
    expect_refused([&](CommandStream& s) { append_bytes(s, BitOrder::lsb_first, false, too_long); },
                   "257 bytes");
    expect_refused([](CommandStream& s) { append_clocks(s, OP_CLOCKS, 0, ClockCountForm::shifted_by_7); },
                   "0 clk");
    expect_refused([](CommandStream& s) { append_clocks(s, OP_CLOCKS, 65536, ClockCountForm::shifted_by_8); },
                   "65536 clocks");
    expect_refused([](CommandStream& s) { append_clocks(s, OP_FLUSH, 1, ClockCountForm::shifted_by_8); },
                   "not a clock opcode");
    expect_refused([](CommandStream& s) { append_set_io(s, OP_FLUSH, 0, 0); }, "not a pin opcode");
}

TEST(Encoders, CommandThatDoesNotFitIsNotPartlyWritten)
{
    std::array<std::uint8_t, 5> storage{};
    storage.fill(0xEE);
    CommandStream s(storage);
    append_set_io(s, OP_SET_IO_LOW, 0xFF, 0x05);
    append_set_io(s, OP_SET_IO_LOW, 0xFF, 0x01); // needs 3, 2 left
    EXPECT_TRUE(s.faulted());
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(storage[3], 0xEE);
    EXPECT_EQ(storage[4], 0xEE);
    append_flush(s); // a faulted stream stays as it is
    EXPECT_EQ(s.size(), 3u);
}

} // namespace
} // namespace orv
