// lumo_spi_read_write_bits: bit strings of 1 to 2048 bits in both bit orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "orv_lumo_spi.h"
#include "tests/spi/spi_test_support.hpp"
#include "tests/support/fake_usb.hpp"

namespace orv::test {
namespace {

// Runs a transaction without read-back and returns the stream sent.
Bytes stream_of(std::uint32_t bits, const Bytes& write, const lumo_spi_config& config, std::uint32_t addr = 0,
                std::uint8_t cmd = 0, std::uint32_t dummy = 0)
{
    FakeAdapter fake;
    fake.out();
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), bits, write.empty() ? nullptr : write.data(), nullptr,
                                       addr, cmd, dummy, &config, 0),
              0);
    EXPECT_EQ(fake.log().size(), 1u);
    return fake.log().empty() ? Bytes{} : fake.sent();
}

TEST(SpiBits, TwelveBitsWriteOnlyInBothOrders)
{
    EXPECT_EQ(to_hex(stream_of(12, {0xAB, 0x0C}, spi_config(1))), "20 F7 00 7B 00 AB 6B 03 0C 20 F7 02");
    EXPECT_EQ(to_hex(stream_of(12, {0xAB, 0x0C}, spi_config(0))), "20 F7 00 6D 03 C0 7D 00 AB 20 F7 02");
}

TEST(SpiBits, MsbFirstSendsFinalBitsFirstThenBytesFromTheTop)
{
    EXPECT_EQ(to_hex(stream_of(20, {0xA1, 0xB2, 0xC3}, spi_config(0))),
              "20 F7 00 6D 03 30 7D 01 B2 A1 20 F7 02");
    // Bits above the string in the final byte never reach the wire.
    EXPECT_EQ(to_hex(stream_of(20, {0xA1, 0xB2, 0xF3}, spi_config(0))),
              "20 F7 00 6D 03 30 7D 01 B2 A1 20 F7 02");
    EXPECT_EQ(to_hex(stream_of(1, {0xFF}, spi_config(0))), "20 F7 00 6D 00 80 20 F7 02");
    EXPECT_EQ(to_hex(stream_of(1, {0xFF}, spi_config(1))), "20 F7 00 6B 00 FF 20 F7 02");
}

TEST(SpiBits, BitOrderOtherThanOneIsMsbFirst)
{
    EXPECT_EQ(stream_of(20, {0xA1, 0xB2, 0xC3}, spi_config(2)),
              stream_of(20, {0xA1, 0xB2, 0xC3}, spi_config(0)));
    EXPECT_EQ(stream_of(20, {0xA1, 0xB2, 0xC3}, spi_config(-1)),
              stream_of(20, {0xA1, 0xB2, 0xC3}, spi_config(0)));
}

TEST(SpiBits, EightBitsFullDuplexIsOneBitCommandThenFlushThenDeselect)
{
    for (const auto& [order, stream] :
         {std::pair{1, "20 F7 00 6C 07 5A 8B 20 F7 02"}, std::pair{0, "20 F7 00 6E 07 5A 8B 20 F7 02"}}) {
        FakeAdapter fake;
        fake.out().count(1).data({0x3C});
        const lumo_spi_config config = spi_config(order);
        const std::uint8_t write = 0x5A;
        std::uint8_t read = 0;
        EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 8, &write, &read, 0, 0, 0, &config, 0), 0);
        EXPECT_EQ(to_hex(fake.sent()), stream);
        EXPECT_EQ(fake.log().back().length, 1);
        EXPECT_EQ(read, 0x3C);
    }
}

TEST(SpiBits, ReadOnly256BitsWaitsFor32Bytes)
{
    FakeAdapter fake;
    const Bytes reply = pattern(32);
    fake.out().count(32).data(reply);
    const lumo_spi_config config = spi_config(1);
    std::vector<std::uint8_t> read(32);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 256, nullptr, read.data(), 0, 0, 0, &config, 0), 0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 00 9C FF 01 8B 20 F7 02");
    EXPECT_EQ(fake.log().back().length, 32);
    EXPECT_EQ(read, reply);
}

TEST(SpiBits, ReadOnly13BitsWithCommandFourAddressBytesAndDummyClocks)
{
    FakeAdapter fake;
    fake.out().count(2).data({0x12, 0x18});
    const lumo_spi_config config = spi_config(0, 1, 1, 4, 1);
    std::vector<std::uint8_t> read(2);
    EXPECT_EQ(
        lumo_spi_read_write_bits(fake.handle(), 13, nullptr, read.data(), 0x00123456, 0x9F, 300, &config, 0),
        0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 03 7D 00 9F 7D 03 00 12 34 56 9B 2B 01 9C 0C 00 8B 20 F7 01");
    EXPECT_EQ(fake.log().back().length, 2);
    EXPECT_EQ(read, (Bytes{0x12, 0x18}));
}

// The four data-phase kinds in both bit orders, 20 bits of A1 B2 C3.
struct KindCase {
    const char* name;
    std::int32_t bit_order;
    bool write;
    bool read;
    const char* data_phase;
};

class SpiBitsKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(SpiBitsKinds, DataPhase)
{
    const KindCase& c = GetParam();
    FakeAdapter fake;
    fake.out();
    if (c.read) {
        fake.count(3).data({0xD0, 0xD1, 0xD2});
    }
    const lumo_spi_config config = spi_config(c.bit_order);
    const Bytes data = {0xA1, 0xB2, 0xC3};
    std::vector<std::uint8_t> read(3);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 20, c.write ? data.data() : nullptr,
                                       c.read ? read.data() : nullptr, 0, 0, 0, &config, 0),
              0);
    EXPECT_EQ(to_hex(fake.sent()), std::string("20 F7 00 ") + c.data_phase + " 20 F7 02");
    EXPECT_TRUE(fake.script_done());
    if (c.read) {
        EXPECT_EQ(read, (Bytes{0xD0, 0xD1, 0xD2})); // as the adapter packed them
    }
}

INSTANTIATE_TEST_SUITE_P(BothBitOrders, SpiBitsKinds,
                         ::testing::Values(KindCase{"WriteOnlyLsb", 1, true, false, "7B 01 A1 B2 6B 03 C3"},
                                           KindCase{"WriteOnlyMsb", 0, true, false, "6D 03 30 7D 01 B2 A1"},
                                           KindCase{"DuplexLsb", 1, true, true, "7C 01 A1 B2 6C 03 C3 8B"},
                                           KindCase{"DuplexMsb", 0, true, true, "6E 03 30 7E 01 B2 A1 8B"},
                                           KindCase{"ReadOnlyLsb", 1, false, true, "9C 13 00 8B"},
                                           KindCase{"ReadOnlyMsb", 0, false, true, "9C 13 00 8B"},
                                           KindCase{"ClocksOnlyLsb", 1, false, false, "9B 13 00"},
                                           KindCase{"ClocksOnlyMsb", 0, false, false, "9B 13 00"}),
                         [](const ::testing::TestParamInfo<KindCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

TEST(SpiBitsLimits, LongestStreamFitsAndIsExact)
{
    // 2048 bits, full duplex, MSB first, every optional phase at its largest:
    // the 279-byte stream, built on the stack.
    FakeAdapter fake;
    const Bytes reply = pattern(256, 0x21);
    fake.out().count(256).data(reply);
    const lumo_spi_config config = spi_config(0, 0, 0, 4, 1);
    const Bytes data = pattern(256);
    auto read = std::make_unique<std::uint8_t[]>(256);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 2048, data.data(), read.get(), 0x01020304, 0x3B, 300,
                                       &config, 0),
              0);
    Bytes expected = hex("20 F7 00 7D 00 3B 7D 03 01 02 03 04 9B 2B 01 6E 07");
    expected.push_back(data[255]);
    expected = cat(expected, hex("7E FE"));
    expected.insert(expected.end(), data.rbegin() + 1, data.rend());
    expected = cat(expected, hex("8B 20 F7 02"));
    ASSERT_EQ(expected.size(), 279u);
    EXPECT_EQ(fake.sent(), expected);
    EXPECT_EQ(Bytes(read.get(), read.get() + 256), reply);
}

TEST(SpiBitsLimits, LsbFirst2048BitsIsOneByteCommandAndOneBitCommand)
{
    const Bytes data = pattern(256);
    Bytes expected = hex("20 F7 00 7B FE");
    expected.insert(expected.end(), data.begin(), data.end() - 1);
    expected = cat(expected, hex("6B 07"));
    expected.push_back(data[255]);
    expected = cat(expected, hex("20 F7 02"));
    EXPECT_EQ(stream_of(2048, data, spi_config(1)), expected);
    EXPECT_EQ(to_hex(stream_of(2048, {}, spi_config(1))), "20 F7 00 9B FF 08 20 F7 02");
}

TEST(SpiBitsLimits, ExactSizeBuffersAreNeverOverrun)
{
    // 9 bits: two bytes in each direction, the adapter offers a surplus.
    FakeAdapter fake;
    fake.out().count(6).data({1, 2, 3, 4, 5, 6});
    const lumo_spi_config config = spi_config(1);
    auto write = std::make_unique<std::uint8_t[]>(2);
    write[0] = 0x81;
    write[1] = 0x01;
    auto read = std::make_unique<std::uint8_t[]>(2);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 9, write.get(), read.get(), 0, 0, 0, &config, 0), 0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 00 7C 00 81 6C 00 01 8B 20 F7 02");
    EXPECT_EQ(Bytes(read.get(), read.get() + 2), (Bytes{1, 2}));
}

TEST(SpiBitsRefusals, BadArgumentsSendNothing)
{
    FakeAdapter fake;
    const lumo_spi_config good = spi_config(0);
    const lumo_spi_config five_addr = spi_config(0, 0, 0, 5);
    const Bytes data = pattern(257);
    std::vector<std::uint8_t> read(257);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 2049, data.data(), read.data(), 0, 0, 0, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 0xFFFFFFFF, nullptr, nullptr, 0, 0, 0, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 0, data.data(), read.data(), 0, 0, 0, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bits(nullptr, 8, data.data(), read.data(), 0, 0, 0, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 8, data.data(), read.data(), 0, 0, 0, nullptr, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 8, data.data(), read.data(), 0, 0, 0, &five_addr, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 8, data.data(), read.data(), 0, 0, 65536, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
    EXPECT_EQ(to_hex(stream_of(2048, {}, spi_config(0), 0, 0, 65535)), "20 F7 00 9B FE FF 9B FF 08 20 F7 02");
}

TEST(SpiBitsFailures, OutTransferFailureMeansNoReadBack)
{
    const lumo_spi_config config = spi_config(1);
    const Bytes data = {0x12, 0x34};
    std::vector<std::uint8_t> read(2, 0x55);

    FakeAdapter failing;
    failing.out(LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(lumo_spi_read_write_bits(failing.handle(), 16, data.data(), read.data(), 0, 0, 0, &config, 0),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(failing.log().size(), 1u);

    FakeAdapter short_one;
    short_one.out(0, 4);
    EXPECT_EQ(lumo_spi_read_write_bits(short_one.handle(), 16, data.data(), read.data(), 0, 0, 0, &config, 0),
              TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(short_one.log().size(), 1u);
    EXPECT_EQ(read, Bytes(2, 0x55));
}

TEST(SpiBitsFailures, ReadBackTimesOutWithPartialBytes)
{
    FakeAdapter fake;
    fake.out().count(1, 31).data({0x99});
    const lumo_spi_config config = spi_config(1);
    std::vector<std::uint8_t> read(2, 0);
    EXPECT_EQ(lumo_spi_read_write_bits(fake.handle(), 12, nullptr, read.data(), 0, 0, 0, &config, 3),
              TPW_ERROR_TIMEOUT);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 31u);
    EXPECT_EQ(read, (Bytes{0x99, 0}));
    EXPECT_TRUE(fake.script_done());
}

} // namespace
} // namespace orv::test
