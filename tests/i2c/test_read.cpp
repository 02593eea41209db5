// lumo_iic_read_bytes: the read stream, the repeated START of a 10-bit read,
// and a caller buffer written only on success.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "orv_lumo_iic.h"
#include "tests/support/fake_usb.hpp"

namespace {

using orv::EP_READBACK_COUNT_IN;
using orv::EP_READBACK_DATA_IN;
using orv::test::Bytes;
using orv::test::FakeAdapter;
using orv::test::hex;
using orv::test::to_hex;

const std::string kStart = "20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 ";
const std::string kByteInAck = "20 FB 00 9D 07 00 20 FF 00 6B 00 00 ";
const std::string kByteInNack = "20 FB 00 9D 07 00 20 FF 00 6B 00 01 ";
const std::string kStop = "8B 20 FF 00 20 FF 01 20 FF 05";

const std::string kRead7Bit = "20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 6D 07 A1 20 FB 00 9D 00 00 8B "
                              "20 FB 00 9D 07 00 20 FF 00 6B 00 00 20 FB 00 9D 07 00 20 FF 00 6B 00 00 "
                              "20 FB 00 9D 07 00 20 FF 00 6B 00 01 8B 20 FF 00 20 FF 01 20 FF 05";

const std::string kRead10BitAddress = "6D 07 F4 20 FB 00 9D 00 00 20 FF 00 6D 07 A5 20 FB 00 9D 00 00 "
                                      "20 FF 00 20 FF 00 20 FF 04 20 FF 04 20 FF 05 20 FF 05 "
                                      "20 FF 01 20 FF 01 20 FF 00 20 FF 00 "
                                      "6D 07 F5 20 FB 00 9D 00 00 8B ";

// A caller buffer with guard bytes behind the `len` bytes the library may use.
struct CallerBuffer {
    explicit CallerBuffer(std::size_t len) : bytes(len + 8, 0xC7) {}
    std::uint8_t* data() { return bytes.data(); }
    [[nodiscard]] bool untouched() const
    {
        return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xC7; });
    }
    [[nodiscard]] Bytes first(std::size_t n) const { return {bytes.begin(), bytes.begin() + n}; }
    [[nodiscard]] bool guard_intact(std::size_t len) const
    {
        return std::all_of(bytes.begin() + len, bytes.end(), [](std::uint8_t b) { return b == 0xC7; });
    }
    Bytes bytes;
};

void script_answer(FakeAdapter& fake, const Bytes& readback)
{
    fake.out().count(static_cast<std::uint32_t>(readback.size())).data(readback);
}

TEST(IicReadStream, ThreeBytesFrom7BitAddress)
{
    FakeAdapter fake;
    script_answer(fake, {0x00, 0x11, 0x22, 0x33});
    CallerBuffer buf(3);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, 7, buf.data(), 3, 30), TPW_SUCCESS);
    EXPECT_EQ(fake.sent().size(), 71u);
    EXPECT_EQ(to_hex(fake.sent()), to_hex(hex(kRead7Bit)));
    EXPECT_EQ(buf.first(3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_TRUE(buf.guard_intact(3));
    EXPECT_EQ(fake.log().back().length, 4);
    for (const auto& t : fake.log()) {
        EXPECT_EQ(t.timeout, 30u);
    }
    EXPECT_TRUE(fake.script_done());
}

TEST(IicReadStream, ThreeBytesFrom10BitAddressUseARepeatedStart)
{
    FakeAdapter fake;
    script_answer(fake, {0x00, 0x80, 0x01, 0xFF});
    CallerBuffer buf(3);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x2A5, 10, buf.data(), 3, 30), TPW_SUCCESS);
    const std::string expected = kStart + kRead10BitAddress + kByteInAck + kByteInAck + kByteInNack + kStop;
    EXPECT_EQ(fake.sent().size(), 122u);
    EXPECT_EQ(to_hex(fake.sent()), to_hex(hex(expected)));
    EXPECT_EQ(buf.first(3), (Bytes{0x80, 0x01, 0xFF})); // passed on unchanged
}

TEST(IicReadStream, ZeroLengthAnswersFromTheAddressAcknowledgeAlone)
{
    FakeAdapter present;
    script_answer(present, {0x00});
    CallerBuffer buf(0);
    EXPECT_EQ(lumo_iic_read_bytes(present.handle(), 0x50, 7, buf.data(), 0, 1), TPW_SUCCESS);
    EXPECT_EQ(to_hex(present.sent()), to_hex(hex(kStart + "6D 07 A1 20 FB 00 9D 00 00 8B " + kStop)));
    EXPECT_EQ(present.sent().size(), 35u);
    EXPECT_EQ(present.log().back().length, 1);
    EXPECT_TRUE(buf.untouched());

    FakeAdapter absent;
    script_answer(absent, {0x01});
    EXPECT_EQ(lumo_iic_read_bytes(absent.handle(), 0x50, 7, buf.data(), 0, 1), TPW_ERROR_OTHER);
}

TEST(IicReadStream, LongestRead)
{
    std::string expected = kStart + "6D 07 A1 20 FB 00 9D 00 00 8B ";
    for (unsigned k = 0; k + 1 < LUMO_IIC_MAX_READ_BYTES; ++k) {
        expected += kByteInAck;
    }
    expected += kByteInNack + kStop;
    Bytes readback(LUMO_IIC_MAX_READ_BYTES + 1);
    for (std::size_t i = 1; i < readback.size(); ++i) {
        readback[i] = static_cast<std::uint8_t>(i * 7);
    }
    FakeAdapter fake;
    script_answer(fake, readback);
    CallerBuffer buf(LUMO_IIC_MAX_READ_BYTES);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, 7, buf.data(), LUMO_IIC_MAX_READ_BYTES, 1),
              TPW_SUCCESS);
    EXPECT_EQ(fake.sent().size(), 6167u);
    EXPECT_EQ(fake.sent(), hex(expected));
    EXPECT_EQ(fake.log().back().length, 512);
    EXPECT_EQ(buf.first(LUMO_IIC_MAX_READ_BYTES), Bytes(readback.begin() + 1, readback.end()));
    EXPECT_TRUE(buf.guard_intact(LUMO_IIC_MAX_READ_BYTES));
}

// Every failing exchange leaves the caller's buffer as it was.
struct FailureCase {
    const char* name;
    std::int32_t addr_bits;
    std::uint32_t timeout;
    void (*script)(FakeAdapter&);
    std::int32_t result;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class IicReadFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(IicReadFailure, LeavesTheReadBufferUntouched)
{
    FakeAdapter fake;
    GetParam().script(fake);
    CallerBuffer buf(2);
    const std::uint32_t addr = GetParam().addr_bits == 7 ? 0x50 : 0x2A5;
    EXPECT_EQ(
        lumo_iic_read_bytes(fake.handle(), addr, GetParam().addr_bits, buf.data(), 2, GetParam().timeout),
        GetParam().result);
    EXPECT_TRUE(buf.untouched());
    EXPECT_TRUE(fake.script_done());
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, IicReadFailure,
    ::testing::Values(
        FailureCase{"AddressNak7Bit", 7, 1,
                    [](FakeAdapter& f) {
                        script_answer(f, {0x01, 0xAA, 0xBB});
                    },
                    TPW_ERROR_OTHER},
        FailureCase{"ReadHeaderNak10Bit", 10, 1,
                    [](FakeAdapter& f) {
                        script_answer(f, {0x04, 0xAA, 0xBB});
                    },
                    TPW_ERROR_OTHER},
        FailureCase{"ShortDataRead", 7, 1,
                    [](FakeAdapter& f) {
                        f.out().count(3).data({0x00, 0xAA});
                    },
                    TPW_ERROR_USBTRANS_ERR},
        FailureCase{"DataReadFails", 7, 1,
                    [](FakeAdapter& f) {
                        f.out().count(3).data({0x00, 0xAA, 0xBB}, LIBUSB_ERROR_IO);
                    },
                    LIBUSB_ERROR_IO},
        FailureCase{"PollLimitDrainsIntoOwnBuffer", 7, 2,
                    [](FakeAdapter& f) {
                        f.out().count(2, 20).data({0x00, 0xAA});
                    },
                    TPW_ERROR_TIMEOUT},
        FailureCase{"PollLimitDrainsLargerCount", 7, 1,
                    [](FakeAdapter& f) { f.out().count(600, 10).data(Bytes(600, 0x5A)); }, TPW_ERROR_TIMEOUT},
        FailureCase{"FailedCommandTransfer", 7, 1,
                    [](FakeAdapter& f) { f.out(LIBUSB_ERROR_TIMEOUT).count(0, 10).data({}); },
                    TPW_ERROR_TIMEOUT},
        FailureCase{"DeviceGoneEndsTheExchangeAtOnce", 7, 1000,
                    [](FakeAdapter& f) { f.out().count(0, 3).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0); },
                    LIBUSB_ERROR_NO_DEVICE},
        FailureCase{"PollFailsWithNoTimeout", 7, 0,
                    [](FakeAdapter& f) { f.out().poll(LIBUSB_ERROR_NO_DEVICE, 0, 0); },
                    LIBUSB_ERROR_NO_DEVICE}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST(IicReadReadBack, ExactPollLimitThenDrainOfTheLastCount)
{
    FakeAdapter fake;
    fake.out().count(0, 5).count(5, 25).data(Bytes(5, 0x00));
    CallerBuffer buf(3);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, 7, buf.data(), 3, 3), TPW_ERROR_TIMEOUT);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 30u);
    ASSERT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 1u);
    EXPECT_EQ(fake.log().back().length, 5);
    EXPECT_TRUE(fake.script_done());
    EXPECT_TRUE(buf.untouched());
}

TEST(IicReadRefusals, BadArgumentsSendNothingAndLeaveTheBuffer)
{
    FakeAdapter fake; // no script: any transfer fails the test
    CallerBuffer buf(LUMO_IIC_MAX_READ_BYTES + 1);
    for (const std::int32_t bits : {0, 8, -10, 16}) {
        EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, bits, buf.data(), 1, 1), TPW_ERROR_INVALID_PARAM);
    }
    EXPECT_EQ(lumo_iic_read_bytes(nullptr, 0x50, 7, buf.data(), 1, 1), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, 7, nullptr, 0, 1), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, 7, buf.data(), LUMO_IIC_MAX_READ_BYTES + 1, 1),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_read_bytes(fake.handle(), 0x50, 10, buf.data(), UINT32_MAX, 1),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
    EXPECT_TRUE(buf.untouched());
}

} // namespace
