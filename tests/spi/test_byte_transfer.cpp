// lumo_spi_read_write_bytes: whole transactions as golden streams, the data
// phase kinds, chunking, limits, refusals and transfer failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "orv_lumo_spi.h"
#include "tests/spi/spi_test_support.hpp"
#include "tests/support/fake_usb.hpp"

namespace orv::test {
namespace {

constexpr std::uint32_t ADDR_123456 = 0x00123456;

TEST(SpiBytes, ReadOnlyWithCommandAddressAndDummyClocks)
{
    FakeAdapter fake;
    fake.out().count(4).data({0xC0, 0xFF, 0xEE, 0x01});
    const lumo_spi_config config = spi_config(0, 0, 0, 3, 1);
    std::vector<std::uint8_t> read(4);
    EXPECT_EQ(
        lumo_spi_read_write_bytes(fake.handle(), 4, nullptr, read.data(), ADDR_123456, 0x0B, 8, &config, 9),
        0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 00 7D 00 0B 7D 02 12 34 56 9B 07 00 9C 1F 00 20 F7 02 8B");
    EXPECT_EQ(read, (Bytes{0xC0, 0xFF, 0xEE, 0x01}));
    ASSERT_EQ(fake.log().size(), 3u);
    EXPECT_EQ(fake.log()[2].endpoint, EP_READBACK_DATA_IN);
    EXPECT_EQ(fake.log()[2].length, 4);
    for (const Transfer& t : fake.log()) {
        EXPECT_EQ(t.timeout, 9u);
    }
    EXPECT_TRUE(fake.script_done());
}

TEST(SpiBytes, ReadOnlyLsbFirstInvertedPolaritiesNoCommand)
{
    FakeAdapter fake;
    fake.out().count(4).data({1, 2, 3, 4});
    const lumo_spi_config config = spi_config(1, 1, 1, 3, 0);
    std::vector<std::uint8_t> read(4);
    EXPECT_EQ(
        lumo_spi_read_write_bytes(fake.handle(), 4, nullptr, read.data(), ADDR_123456, 0x0B, 8, &config, 0),
        0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 03 7B 02 56 34 12 9B 07 00 9C 1F 00 20 F7 01 8B");
    EXPECT_EQ(read, (Bytes{1, 2, 3, 4}));
}

TEST(SpiBytes, WriteOnly257BytesWithDummyClocksIsTwoDataCommands)
{
    FakeAdapter fake;
    fake.out();
    const lumo_spi_config config = spi_config(1);
    const Bytes data = pattern(257);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 257, data.data(), nullptr, 0, 0, 256, &config, 0), 0);
    Bytes expected = hex("20 F7 00 9B FF 01 7B FF");
    expected.insert(expected.end(), data.begin(), data.begin() + 256);
    expected = cat(expected, hex("7B 00"));
    expected.push_back(data[256]);
    expected = cat(expected, hex("20 F7 02"));
    ASSERT_EQ(fake.sent().size(), 270u);
    EXPECT_EQ(fake.sent(), expected);
    EXPECT_EQ(fake.log().size(), 1u); // no read-back
}

TEST(SpiBytes, ClocksOnly300BytesInTwoClockCommands)
{
    FakeAdapter fake;
    fake.out();
    const lumo_spi_config config = spi_config(0);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 300, nullptr, nullptr, 0, 0, 0, &config, 0), 0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 00 9B FF 08 9B 5F 01 20 F7 02");
    EXPECT_EQ(fake.log().size(), 1u);
}

// The four data-phase kinds in both bit orders, three data bytes each.
struct KindCase {
    const char* name;
    std::int32_t bit_order;
    bool write;
    bool read;
    const char* stream;
};

class SpiBytesKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(SpiBytesKinds, DataPhase)
{
    const KindCase& c = GetParam();
    FakeAdapter fake;
    fake.out();
    if (c.read) {
        fake.count(3).data({0xA0, 0xA1, 0xA2});
    }
    const lumo_spi_config config = spi_config(c.bit_order);
    const Bytes data = {0x11, 0x22, 0x33};
    std::vector<std::uint8_t> read(3);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 3, c.write ? data.data() : nullptr,
                                        c.read ? read.data() : nullptr, 0, 0, 0, &config, 0),
              0);
    EXPECT_EQ(to_hex(fake.sent()), c.stream);
    EXPECT_TRUE(fake.script_done());
    if (c.read) {
        EXPECT_EQ(read, (Bytes{0xA0, 0xA1, 0xA2}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothBitOrders, SpiBytesKinds,
    ::testing::Values(KindCase{"WriteOnlyLsb", 1, true, false, "20 F7 00 7B 02 11 22 33 20 F7 02"},
                      KindCase{"WriteOnlyMsb", 0, true, false, "20 F7 00 7D 02 11 22 33 20 F7 02"},
                      KindCase{"DuplexLsb", 1, true, true, "20 F7 00 7C 02 11 22 33 20 F7 02 8B"},
                      KindCase{"DuplexMsb", 0, true, true, "20 F7 00 7E 02 11 22 33 20 F7 02 8B"},
                      KindCase{"ReadOnlyLsb", 1, false, true, "20 F7 00 9C 17 00 20 F7 02 8B"},
                      KindCase{"ReadOnlyMsb", 0, false, true, "20 F7 00 9C 17 00 20 F7 02 8B"},
                      KindCase{"ClocksOnlyLsb", 1, false, false, "20 F7 00 9B 17 00 20 F7 02"},
                      KindCase{"ClocksOnlyMsb", 0, false, false, "20 F7 00 9B 17 00 20 F7 02"},
                      // Any bit order but 1 is MSB first.
                      KindCase{"DuplexOrder7IsMsb", 7, true, true, "20 F7 00 7E 02 11 22 33 20 F7 02 8B"}),
    [](const ::testing::TestParamInfo<KindCase>& case_info) { return std::string(case_info.param.name); });

TEST(SpiBytesPhases, AddressBytesInBothOrders)
{
    struct Case {
        std::int32_t bit_order;
        std::uint8_t addr_bytes;
        const char* stream;
    };
    const Case cases[] = {
        {0, 1, "20 F7 00 7D 00 44 20 F7 02"},          {1, 1, "20 F7 00 7B 00 44 20 F7 02"},
        {0, 2, "20 F7 00 7D 01 33 44 20 F7 02"},       {1, 2, "20 F7 00 7B 01 44 33 20 F7 02"},
        {0, 4, "20 F7 00 7D 03 11 22 33 44 20 F7 02"}, {1, 4, "20 F7 00 7B 03 44 33 22 11 20 F7 02"},
    };
    for (const Case& c : cases) {
        FakeAdapter fake;
        fake.out();
        const lumo_spi_config config = spi_config(c.bit_order, 0, 0, c.addr_bytes);
        EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0, nullptr, nullptr, 0x11223344, 0, 0, &config, 0),
                  0);
        EXPECT_EQ(to_hex(fake.sent()), c.stream)
            << "order " << c.bit_order << ", " << int(c.addr_bytes) << " bytes";
    }
}

TEST(SpiBytesPhases, DummyClockCounts)
{
    struct Case {
        std::uint32_t clocks;
        const char* stream;
    };
    const Case cases[] = {
        {1, "20 F7 00 9B 00 00 20 F7 02"},
        {255, "20 F7 00 9B FE 00 20 F7 02"},
        {256, "20 F7 00 9B FF 01 20 F7 02"},
        {65535, "20 F7 00 9B FE FF 20 F7 02"},
    };
    for (const Case& c : cases) {
        FakeAdapter fake;
        fake.out();
        const lumo_spi_config config = spi_config(0);
        EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0, nullptr, nullptr, 0, 0, c.clocks, &config, 0),
                  0);
        EXPECT_EQ(to_hex(fake.sent()), c.stream) << c.clocks << " clocks";
    }
}

TEST(SpiBytesPhases, CommandByteIgnoredWithoutCmdEnable)
{
    FakeAdapter fake;
    fake.out();
    const lumo_spi_config config = spi_config(0);
    const Bytes data = {0x5A};
    EXPECT_EQ(
        lumo_spi_read_write_bytes(fake.handle(), 1, data.data(), nullptr, 0xFFFFFFFF, 0x9F, 0, &config, 0),
        0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 00 7D 00 5A 20 F7 02");
}

TEST(SpiBytesLengthZero, CommandOnlyTransactionSamplesNothing)
{
    // A write enable: select, command, deselect; no flush and no read-back
    // although a read buffer was passed.
    FakeAdapter fake;
    fake.out();
    const lumo_spi_config config = spi_config(0, 0, 0, 0, 1);
    std::uint8_t untouched = 0x77;
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0, nullptr, &untouched, 0, 0x06, 0, &config, 0), 0);
    EXPECT_EQ(to_hex(fake.sent()), "20 F7 00 7D 00 06 20 F7 02");
    EXPECT_EQ(fake.log().size(), 1u);
    EXPECT_EQ(untouched, 0x77);
}

TEST(SpiBytesLengthZero, EveryBufferCombinationGivesTheSameStream)
{
    const lumo_spi_config config = spi_config(1, 1, 1, 2, 1);
    const std::uint8_t byte = 0xEE;
    std::uint8_t sink = 0;
    for (int kind = 0; kind < 4; ++kind) {
        FakeAdapter fake;
        fake.out();
        EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0, (kind & 1) != 0 ? &byte : nullptr,
                                            (kind & 2) != 0 ? &sink : nullptr, 0xABCD, 0x05, 16, &config, 0),
                  0);
        EXPECT_EQ(to_hex(fake.sent()), "20 F7 03 7B 00 05 7B 01 CD AB 9B 0F 00 20 F7 01") << "kind " << kind;
        EXPECT_EQ(fake.log().size(), 1u);
    }
}

TEST(SpiBytesLengthZero, SendFailureIsTheResult)
{
    FakeAdapter fake;
    fake.out(LIBUSB_ERROR_NO_DEVICE);
    const lumo_spi_config config = spi_config(0, 0, 0, 0, 1);
    std::uint8_t sink = 0;
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0, nullptr, &sink, 0, 0x06, 0, &config, 0),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(fake.log().size(), 1u);
}

// Builds the expected stream of a write-only transaction independently of
// the library: select, 256-byte commands, the rest, deselect.
Bytes expected_write_only(std::uint8_t opcode, const Bytes& data)
{
    Bytes expected = hex("20 F7 00");
    for (std::size_t at = 0; at < data.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, data.size() - at);
        expected.push_back(opcode);
        expected.push_back(static_cast<std::uint8_t>(n - 1));
        expected.insert(expected.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                        data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    return cat(expected, hex("20 F7 02"));
}

TEST(SpiBytesChunking, LongWriteOnlyTransfersByteForByte)
{
    struct Case {
        std::int32_t bit_order;
        std::size_t len;
        std::uint8_t opcode;
    };
    const Case cases[] = {{0, 40000, 0x7D}, {1, 65537, 0x7B}, {0, 256, 0x7D}, {1, 512, 0x7B}, {0, 513, 0x7D}};
    for (const Case& c : cases) {
        FakeAdapter fake;
        fake.out();
        const lumo_spi_config config = spi_config(c.bit_order);
        const Bytes data = pattern(c.len, static_cast<std::uint8_t>(c.len));
        EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), static_cast<std::uint32_t>(c.len), data.data(),
                                            nullptr, 0, 0, 0, &config, 0),
                  0);
        ASSERT_EQ(fake.log().size(), 1u) << c.len;
        EXPECT_EQ(fake.sent(), expected_write_only(c.opcode, data)) << c.len << " bytes";
    }
}

TEST(SpiBytesChunking, FullDuplex512IsTwoFullCommandsAndOneRead)
{
    FakeAdapter fake;
    const Bytes reply = pattern(512, 0x99);
    fake.out().count(512).data(reply);
    const lumo_spi_config config = spi_config(1);
    const Bytes data = pattern(512);
    std::vector<std::uint8_t> read(512);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 512, data.data(), read.data(), 0, 0, 0, &config, 0),
              0);
    Bytes expected = hex("20 F7 00 7C FF");
    expected.insert(expected.end(), data.begin(), data.begin() + 256);
    expected = cat(expected, hex("7C FF"));
    expected.insert(expected.end(), data.begin() + 256, data.end());
    expected = cat(expected, hex("20 F7 02 8B"));
    EXPECT_EQ(fake.sent(), expected);
    EXPECT_EQ(read, reply);
}

TEST(SpiBytesChunking, ReadOnlyClockCommandsPerChunk)
{
    struct Case {
        std::uint32_t len;
        const char* data_phase;
    };
    const Case cases[] = {
        {1, "9C 07 00"},
        {32, "9C FF 01"},
        {256, "9C FF 08"},
        {257, "9C FF 08 9C 07 00"},
        {512, "9C FF 08 9C FF 08"},
    };
    for (const Case& c : cases) {
        FakeAdapter fake;
        fake.out().count(c.len).data(Bytes(c.len, 0x42));
        const lumo_spi_config config = spi_config(0);
        std::vector<std::uint8_t> read(c.len);
        EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), c.len, nullptr, read.data(), 0, 0, 0, &config, 0),
                  0);
        EXPECT_EQ(to_hex(fake.sent()), std::string("20 F7 00 ") + c.data_phase + " 20 F7 02 8B") << c.len;
    }
}

TEST(SpiBytesChunking, LongClocksOnlyTransfer)
{
    // 100000 bytes: 390 full clock commands and one of 160 bytes (1280 clocks).
    FakeAdapter fake;
    fake.out();
    const lumo_spi_config config = spi_config(1);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 100000, nullptr, nullptr, 0, 0, 0, &config, 0), 0);
    Bytes expected = hex("20 F7 00");
    for (int i = 0; i < 390; ++i) {
        expected = cat(expected, hex("9B FF 08"));
    }
    expected = cat(expected, hex("9B FF 05 20 F7 02"));
    EXPECT_EQ(fake.sent(), expected);
}

TEST(SpiBytesLimits, ReadLimitIs512Bytes)
{
    const lumo_spi_config config = spi_config(0);
    const Bytes data = pattern(513);
    std::vector<std::uint8_t> read(513);

    FakeAdapter at_limit;
    at_limit.out().count(512).data(Bytes(512, 1));
    EXPECT_EQ(lumo_spi_read_write_bytes(at_limit.handle(), 512, nullptr, read.data(), 0, 0, 0, &config, 0),
              0);

    FakeAdapter over;
    EXPECT_EQ(lumo_spi_read_write_bytes(over.handle(), 513, nullptr, read.data(), 0, 0, 0, &config, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(over.handle(), 513, data.data(), read.data(), 0, 0, 0, &config, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(over.log().empty());

    FakeAdapter write_only;
    write_only.out();
    EXPECT_EQ(lumo_spi_read_write_bytes(write_only.handle(), 513, data.data(), nullptr, 0, 0, 0, &config, 0),
              0);
    EXPECT_EQ(write_only.log().size(), 1u);
}

TEST(SpiBytesRefusals, BadArgumentsSendNothing)
{
    FakeAdapter fake;
    const lumo_spi_config good = spi_config(0);
    const lumo_spi_config five_addr = spi_config(0, 0, 0, 5);
    const lumo_spi_config max_addr = spi_config(0, 0, 0, 255, 1);
    const Bytes data = pattern(4);
    std::vector<std::uint8_t> read(4);
    EXPECT_EQ(lumo_spi_read_write_bytes(nullptr, 4, data.data(), read.data(), 0, 0, 0, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 4, data.data(), read.data(), 0, 0, 0, nullptr, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 4, data.data(), read.data(), 0, 0, 0, &five_addr, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 4, data.data(), nullptr, 0, 0, 0, &max_addr, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 4, data.data(), read.data(), 0, 0, 65536, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0, nullptr, nullptr, 0, 0, 0xFFFFFFFF, &good, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

TEST(SpiBytesRefusals, WriteTooLongForOneTransferIsRefusedBeforeReadingData)
{
    // The write buffer is one byte: the check must come before any of it is read.
    FakeAdapter fake;
    const lumo_spi_config config = spi_config(1, 0, 0, 4, 1);
    const std::uint8_t byte = 0;
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0xFFFFFFFF, &byte, nullptr, 0, 0, 100, &config, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_write_bytes(fake.handle(), 0x7FFFFFFF, &byte, nullptr, 0, 0, 0, &config, 0),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

TEST(SpiBytesFailures, OutTransferFailureMeansNoReadBack)
{
    const lumo_spi_config config = spi_config(0);
    const Bytes data = pattern(8);
    std::vector<std::uint8_t> read(8, 0x55);

    FakeAdapter failing;
    failing.out(LIBUSB_ERROR_PIPE);
    EXPECT_EQ(lumo_spi_read_write_bytes(failing.handle(), 8, data.data(), read.data(), 0, 0, 0, &config, 0),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(failing.log().size(), 1u);

    FakeAdapter short_one;
    short_one.out(0, 3);
    EXPECT_EQ(lumo_spi_read_write_bytes(short_one.handle(), 8, data.data(), read.data(), 0, 0, 0, &config, 0),
              TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(short_one.log().size(), 1u);

    FakeAdapter write_only_short;
    write_only_short.out(0, 1);
    EXPECT_EQ(
        lumo_spi_read_write_bytes(write_only_short.handle(), 8, data.data(), nullptr, 0, 0, 0, &config, 0),
        TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(read, Bytes(8, 0x55));
}

TEST(SpiBytesFailures, ReadBackFailuresAreTheTransactionResult)
{
    const lumo_spi_config config = spi_config(0);
    std::vector<std::uint8_t> read(4);

    FakeAdapter poll_fails;
    poll_fails.out().poll(LIBUSB_ERROR_IO, 0, 0);
    EXPECT_EQ(lumo_spi_read_write_bytes(poll_fails.handle(), 4, nullptr, read.data(), 0, 0, 0, &config, 1),
              LIBUSB_ERROR_IO);
    EXPECT_TRUE(poll_fails.script_done());

    FakeAdapter short_read;
    short_read.out().count(4).data({1, 2, 3});
    EXPECT_EQ(lumo_spi_read_write_bytes(short_read.handle(), 4, nullptr, read.data(), 0, 0, 0, &config, 1),
              TPW_ERROR_USBTRANS_ERR);

    FakeAdapter never_ready;
    never_ready.out().count(1, 11).data({0xAB});
    EXPECT_EQ(lumo_spi_read_write_bytes(never_ready.handle(), 4, nullptr, read.data(), 0, 0, 0, &config, 1),
              TPW_ERROR_TIMEOUT);
    EXPECT_TRUE(never_ready.script_done());
    EXPECT_EQ(read[0], 0xAB);
}

} // namespace
} // namespace orv::test
