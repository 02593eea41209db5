// lumo_iic_send_bytes: the write stream, its expected read-back and the
// acknowledge checks.
#include <gtest/gtest.h>

#include <string>

#include "orv_lumo_iic.h"
#include "tests/support/fake_usb.hpp"

namespace {

using orv::EP_COMMAND_OUT;
using orv::EP_READBACK_COUNT_IN;
using orv::EP_READBACK_DATA_IN;
using orv::test::Bytes;
using orv::test::FakeAdapter;
using orv::test::hex;
using orv::test::to_hex;

const Bytes kData = {0xA1, 0xB2, 0xC3};

const std::string kWrite7Bit = "20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 "
                               "6D 07 A0 20 FB 00 9D 00 00 8B "
                               "20 FF 00 6D 07 A1 20 FB 00 9D 00 00 "
                               "20 FF 00 6D 07 B2 20 FB 00 9D 00 00 "
                               "20 FF 00 6D 07 C3 20 FB 00 9D 00 00 8B "
                               "20 FF 00 20 FF 01 20 FF 05";

const std::string kWrite10Bit = "20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 "
                                "6D 07 F4 20 FB 00 9D 00 00 20 FF 00 6D 07 A5 20 FB 00 9D 00 00 8B "
                                "20 FF 00 6D 07 A1 20 FB 00 9D 00 00 "
                                "20 FF 00 6D 07 B2 20 FB 00 9D 00 00 "
                                "20 FF 00 6D 07 C3 20 FB 00 9D 00 00 8B "
                                "20 FF 00 20 FF 01 20 FF 05";

const std::string kProbe7Bit = "20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 "
                               "6D 07 A0 20 FB 00 9D 00 00 8B 8B 20 FF 00 20 FF 01 20 FF 05";

// `n` bytes of `bytes` from `offset`, as hex.
std::string slice(const Bytes& bytes, std::size_t offset, std::size_t n)
{
    if (offset + n > bytes.size()) {
        return "(stream too short)";
    }
    return to_hex(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                        bytes.begin() + static_cast<std::ptrdiff_t>(offset + n)));
}

// OUT accepted, the expected count on the first poll, then `readback`.
void script_answer(FakeAdapter& fake, const Bytes& readback)
{
    fake.out().count(static_cast<std::uint32_t>(readback.size())).data(readback);
}

TEST(IicWriteStream, ThreeBytesTo7BitAddress)
{
    FakeAdapter fake;
    script_answer(fake, {0x00, 0x00});
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 7, kData.data(), 3, 40), TPW_SUCCESS);
    EXPECT_EQ(fake.sent().size(), 74u);
    EXPECT_EQ(to_hex(fake.sent()), to_hex(hex(kWrite7Bit)));
    ASSERT_EQ(fake.log().size(), 3u);
    EXPECT_EQ(fake.log()[1].length, 4);
    EXPECT_EQ(fake.log()[2].length, 2); // E = 1 + ceil(3 / 8)
    for (const auto& t : fake.log()) {
        EXPECT_EQ(t.timeout, 40u);
    }
    EXPECT_TRUE(fake.script_done());
}

TEST(IicWriteStream, ThreeBytesTo10BitAddress)
{
    FakeAdapter fake;
    script_answer(fake, {0x00, 0x00});
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x2A5, 10, kData.data(), 3, 40), TPW_SUCCESS);
    EXPECT_EQ(fake.sent().size(), 86u);
    EXPECT_EQ(to_hex(fake.sent()), to_hex(hex(kWrite10Bit)));
    EXPECT_TRUE(fake.script_done());
}

TEST(IicWriteStream, ZeroLengthIsAPresenceProbe)
{
    const std::uint8_t none = 0;
    FakeAdapter present;
    script_answer(present, {0x00});
    EXPECT_EQ(lumo_iic_send_bytes(present.handle(), 0x50, 7, &none, 0, 5), TPW_SUCCESS);
    EXPECT_EQ(present.sent().size(), 38u);
    EXPECT_EQ(to_hex(present.sent()), to_hex(hex(kProbe7Bit)));
    EXPECT_EQ(present.log()[2].length, 1);

    FakeAdapter absent;
    script_answer(absent, {0x01});
    EXPECT_EQ(lumo_iic_send_bytes(absent.handle(), 0x50, 7, &none, 0, 5), TPW_ERROR_OTHER);
}

// The highest address of each form goes out whole; one beyond it would lose
// its top bits on the bus and name another device: refused, nothing sent, by
// the write and the read alike.
TEST(IicAddressRange, HighestAddressOfEachFormIsSentAndBeyondItNothing)
{
    const std::uint8_t byte = 0x5A;
    FakeAdapter seven;
    script_answer(seven, {0x00, 0x00});
    ASSERT_EQ(lumo_iic_send_bytes(seven.handle(), 0x7F, 7, &byte, 1, 0), TPW_SUCCESS);
    EXPECT_EQ(slice(seven.sent(), 18, 3), "6D 07 FE");

    FakeAdapter ten;
    script_answer(ten, {0x00, 0x00});
    ASSERT_EQ(lumo_iic_send_bytes(ten.handle(), 0x3FF, 10, &byte, 1, 0), TPW_SUCCESS);
    EXPECT_EQ(slice(ten.sent(), 18, 3), "6D 07 F6");
    EXPECT_EQ(slice(ten.sent(), 30, 3), "6D 07 FF");

    struct Beyond {
        std::uint32_t addr;
        std::int32_t bits;
    };
    for (const Beyond b : {Beyond{0x80, 7}, Beyond{0xD0, 7}, Beyond{0x1D0, 7}, Beyond{0x7FFFFF68, 7},
                           Beyond{0x400, 10}, Beyond{0xFEA5, 10}, Beyond{UINT32_MAX, 10}}) {
        FakeAdapter fake; // no script: any transfer fails the test
        std::uint8_t in = 0xEE;
        EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), b.addr, b.bits, &byte, 1, 1), TPW_ERROR_INVALID_PARAM)
            << std::hex << b.addr;
        EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), b.addr, b.bits, &byte, 0, 1), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), b.addr, b.bits, &in, 1, 1), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(in, 0xEE);
        EXPECT_TRUE(fake.log().empty()) << std::hex << b.addr;
    }
}

TEST(IicWriteStream, ExpectedCountAroundMultiplesOfEight)
{
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {{0, 1}, {1, 2},  {8, 2},
                                                             {9, 3}, {16, 3}, {17, 4}};
    const Bytes data(17, 0x3C);
    for (const auto& [len, expected] : cases) {
        FakeAdapter fake;
        // One byte more than expected does not end the wait; exactly E does.
        fake.out().count(expected + 1).count(expected).data(Bytes(expected, 0x00));
        EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 7, data.data(), len, 1), TPW_SUCCESS) << len;
        EXPECT_EQ(fake.sent().size(), 38u + 12u * len) << len;
        EXPECT_EQ(fake.log().back().length, static_cast<int>(expected)) << len;
        EXPECT_TRUE(fake.script_done()) << len;
    }
}

TEST(IicWriteStream, LongestWriteIsAccepted)
{
    const Bytes data(LUMO_IIC_MAX_WRITE_BYTES, 0x00);
    FakeAdapter fake;
    script_answer(fake, Bytes(512, 0x00));
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 7, data.data(), LUMO_IIC_MAX_WRITE_BYTES, 0),
              TPW_SUCCESS);
    EXPECT_EQ(fake.sent().size(), 38u + 12u * LUMO_IIC_MAX_WRITE_BYTES);
    EXPECT_EQ(fake.log().back().length, 512);
}

TEST(IicWriteAcknowledge, AddressNakIsOtherAndDataNakIsUsbTransErr)
{
    struct Case {
        std::int32_t addr_bits;
        std::uint32_t len;
        Bytes readback;
        std::int32_t result;
    };
    const Case cases[] = {
        {7, 3, {0x01, 0x00}, TPW_ERROR_OTHER},
        {7, 3, {0x00, 0x01}, TPW_ERROR_USBTRANS_ERR},
        {7, 3, {0x01, 0x01}, TPW_ERROR_OTHER},              // the address is checked first
        {10, 3, {0x02, 0x00}, TPW_ERROR_OTHER},             // the low address byte's acknowledge
        {7, 9, {0x00, 0x00, 0x80}, TPW_ERROR_USBTRANS_ERR}, // the ninth data byte
        {7, 9, {0x00, 0x40, 0x00}, TPW_ERROR_USBTRANS_ERR},
    };
    const Bytes data(9, 0x11);
    for (const Case& c : cases) {
        FakeAdapter fake;
        script_answer(fake, c.readback);
        const std::uint32_t addr = c.addr_bits == 7 ? 0x50 : 0x2A5;
        EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), addr, c.addr_bits, data.data(), c.len, 2), c.result)
            << to_hex(c.readback);
        // The STOP is sent whatever the target answers.
        const Bytes sent = fake.sent();
        EXPECT_EQ(slice(sent, sent.size() - 9, 9), "20 FF 00 20 FF 01 20 FF 05");
    }
}

// The read-back of a 3-byte write (E = 2) under every way the exchange can go.
struct ExchangeCase {
    const char* name;
    std::uint32_t timeout;
    void (*script)(FakeAdapter&);
    std::int32_t result;
    std::size_t polls;
    int last_read_length; // length asked for by the one read from EP_READBACK_DATA_IN
};

void PrintTo(const ExchangeCase& c, std::ostream* os)
{
    *os << c.name;
}

class IicWriteExchange : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(IicWriteExchange, PollsReadsAndResult)
{
    const ExchangeCase& c = GetParam();
    FakeAdapter fake;
    c.script(fake);
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 7, kData.data(), 3, c.timeout), c.result);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), c.polls);
    if (c.last_read_length >= 0) {
        ASSERT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 1u);
        EXPECT_EQ(fake.log().back().endpoint, EP_READBACK_DATA_IN);
        EXPECT_EQ(fake.log().back().length, c.last_read_length);
    } else {
        EXPECT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 0u);
    }
    EXPECT_TRUE(fake.script_done());
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, IicWriteExchange,
    ::testing::Values(
        // Exactly 10 x timeout polls, then a drain of the last count (not E).
        ExchangeCase{"PollLimitTimeout1", 1, [](FakeAdapter& f) { f.out().count(1, 10).data({0x00}); },
                     TPW_ERROR_TIMEOUT, 10, 1},
        ExchangeCase{"PollLimitTimeout3", 3, [](FakeAdapter& f) { f.out().count(1, 30).data({0x00}); },
                     TPW_ERROR_TIMEOUT, 30, 1},
        // More than E never satisfies; the drain takes them all, past E.
        ExchangeCase{"CountAboveExpectedDrainedWhole", 1,
                     [](FakeAdapter& f) { f.out().count(7, 10).data(Bytes(7, 0xEE)); }, TPW_ERROR_TIMEOUT, 10,
                     7},
        ExchangeCase{"FailedPollsCountAndKeepTheLastCount", 1,
                     [](FakeAdapter& f) { f.out().count(1).poll(LIBUSB_ERROR_IO, 0, 0, 9).data({0x00}); },
                     TPW_ERROR_TIMEOUT, 10, 1},
        // The drain is made even for a count of 0.
        ExchangeCase{"FailedCommandTransferSurfacesAsTimeout", 2,
                     [](FakeAdapter& f) { f.out(LIBUSB_ERROR_PIPE).count(0, 20).data({}); },
                     TPW_ERROR_TIMEOUT, 20, 0},
        // A short command transfer is not judged either: the read-back decides.
        ExchangeCase{"ShortCommandTransferNotJudged", 2,
                     [](FakeAdapter& f) {
                         f.out(0, 10).count(2).data({0x00, 0x00});
                     },
                     TPW_SUCCESS, 1, 2},
        ExchangeCase{"DataReadFails", 1,
                     [](FakeAdapter& f) { f.out().count(2).data({}, LIBUSB_ERROR_OVERFLOW); },
                     LIBUSB_ERROR_OVERFLOW, 1, 2},
        ExchangeCase{"ShortDataRead", 1, [](FakeAdapter& f) { f.out().count(2).data({0x00}); },
                     TPW_ERROR_USBTRANS_ERR, 1, 2},
        ExchangeCase{"TimeoutZeroHasNoPollLimit", 0,
                     [](FakeAdapter& f) {
                         f.out().count(1, 500).count(2).data({0x00, 0x00});
                     },
                     TPW_SUCCESS, 501, 2},
        // Other failed polls count towards the limit; a gone device ends it at once.
        ExchangeCase{"DeviceGoneEndsTheExchangeAtOnce", 1000,
                     [](FakeAdapter& f) { f.out().count(1, 2).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0); },
                     LIBUSB_ERROR_NO_DEVICE, 3, -1},
        ExchangeCase{"TimeoutZeroEndsOnAFailedPoll", 0,
                     [](FakeAdapter& f) { f.out(LIBUSB_ERROR_NO_DEVICE).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0); },
                     LIBUSB_ERROR_NO_DEVICE, 1, -1}),
    [](const ::testing::TestParamInfo<ExchangeCase>& param) { return std::string(param.param.name); });

TEST(IicWriteRefusals, BadArgumentsSendNothing)
{
    FakeAdapter fake; // no script: any transfer fails the test
    const Bytes big(LUMO_IIC_MAX_WRITE_BYTES + 1, 0x00);
    for (const std::int32_t bits : {0, 8, -7, 11}) {
        EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, bits, kData.data(), 3, 1), TPW_ERROR_INVALID_PARAM)
            << bits;
    }
    EXPECT_EQ(lumo_iic_send_bytes(nullptr, 0x50, 7, kData.data(), 3, 1), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 7, nullptr, 0, 1), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 10, big.data(), LUMO_IIC_MAX_WRITE_BYTES + 1, 1),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_send_bytes(fake.handle(), 0x50, 7, big.data(), UINT32_MAX, 1),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

} // namespace
