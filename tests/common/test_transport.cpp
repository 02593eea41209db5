// The send rule and the three read-back variants against the scripted adapter.
#include <gtest/gtest.h>

#include <vector>

#include "lib/wire/result_codes.hpp"
#include "lib/wire/transport.hpp"
#include "tests/support/fake_usb.hpp"

namespace orv {
namespace {

using test::Bytes;
using test::FakeAdapter;

TEST(Send, WholeBufferOnCommandEndpointWithTimeout)
{
    FakeAdapter fake;
    fake.out();
    const Bytes stream = {1, 2, 3};
    EXPECT_EQ(send(fake.handle(), stream, 250), RESULT_OK);
    ASSERT_EQ(fake.log().size(), 1u);
    EXPECT_EQ(fake.log()[0].endpoint, EP_COMMAND_OUT);
    EXPECT_EQ(fake.log()[0].timeout, 250u);
    EXPECT_EQ(fake.sent(), stream);
}

TEST(Send, LibusbErrorPassesThroughAndShortTransferIsUsbTransErr)
{
    const Bytes stream = {1, 2, 3};
    FakeAdapter failing;
    failing.out(LIBUSB_ERROR_PIPE);
    EXPECT_EQ(send(failing.handle(), stream, 0), LIBUSB_ERROR_PIPE);
    FakeAdapter short_one;
    short_one.out(0, 2);
    EXPECT_EQ(send(short_one.handle(), stream, 0), TPW_ERROR_USBTRANS_ERR);
    FakeAdapter long_one;
    long_one.out(0, 4);
    EXPECT_EQ(send(long_one.handle(), stream, 0), TPW_ERROR_USBTRANS_ERR);
}

TEST(Send, EmptyStreamIsStillOneTransfer)
{
    FakeAdapter fake;
    fake.out();
    EXPECT_EQ(send(fake.handle(), {}, 0), RESULT_OK);
    EXPECT_EQ(fake.transfers_on(EP_COMMAND_OUT), 1u);
    EXPECT_EQ(fake.log()[0].length, 0);
}

struct VariantCase {
    ReadBackPolicy variant;
    const char* name;
};

class ReadBackAllVariants : public ::testing::TestWithParam<VariantCase> {};

TEST_P(ReadBackAllVariants, CountReadyOnFirstPollMeansOnePollAndOneRead)
{
    FakeAdapter fake;
    fake.count(4).data({0xDE, 0xAD, 0xBE, 0xEF});
    std::vector<std::uint8_t> dest(4);
    EXPECT_EQ(read_back(fake.handle(), dest, 7, GetParam().variant), RESULT_OK);
    EXPECT_EQ(dest, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    ASSERT_EQ(fake.log().size(), 2u);
    EXPECT_EQ(fake.log()[0].length, 4);
    EXPECT_EQ(fake.log()[1].length, 4);
    for (const auto& t : fake.log()) {
        EXPECT_EQ(t.timeout, 7u);
    }
    EXPECT_TRUE(fake.script_done());
}

TEST_P(ReadBackAllVariants, CountGrowingOverPolls)
{
    FakeAdapter fake;
    fake.count(0).count(1).count(2).count(3).data({1, 2, 3});
    std::vector<std::uint8_t> dest(3);
    EXPECT_EQ(read_back(fake.handle(), dest, 1, GetParam().variant), RESULT_OK);
    EXPECT_EQ(dest, (Bytes{1, 2, 3}));
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 4u);
}

TEST_P(ReadBackAllVariants, DataReadErrorsAndShortReads)
{
    std::vector<std::uint8_t> dest(2, 0x55);
    FakeAdapter failing;
    failing.count(2).data({}, LIBUSB_ERROR_IO);
    EXPECT_EQ(read_back(failing.handle(), dest, 1, GetParam().variant), LIBUSB_ERROR_IO);
    FakeAdapter short_read;
    short_read.count(2).data({9});
    EXPECT_EQ(read_back(short_read.handle(), dest, 1, GetParam().variant), TPW_ERROR_USBTRANS_ERR);
}

TEST_P(ReadBackAllVariants, TimeoutZeroNeverGivesUp)
{
    FakeAdapter fake;
    fake.count(1, 5000).count(2).data({7, 8});
    std::vector<std::uint8_t> dest(2);
    EXPECT_EQ(read_back(fake.handle(), dest, 0, GetParam().variant), RESULT_OK);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 5001u);
}

INSTANTIATE_TEST_SUITE_P(Variants, ReadBackAllVariants,
                         ::testing::Values(VariantCase{JTAG_READBACK, "jtag"},
                                           VariantCase{SPI_READBACK, "spi"},
                                           VariantCase{I2C_READBACK, "i2c"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The poll limit counts polls, not time: 10 x timeout + 1 unsatisfied polls
// for JTAG and SPI, 10 x timeout for I2C, then one drain read of the last count.
struct LimitCase {
    ReadBackPolicy variant;
    std::uint32_t timeout;
    std::size_t polls;
};

class ReadBackPollLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ReadBackPollLimit, GivesUpAfterExactlyTheLimitAndDrainsTheLastCount)
{
    const auto [variant, timeout, polls] = GetParam();
    FakeAdapter fake;
    fake.count(0, static_cast<int>(polls) - 1).count(2).data({0xA1, 0xA2});
    std::vector<std::uint8_t> dest(4, 0x55);
    EXPECT_EQ(read_back(fake.handle(), dest, timeout, variant), RESULT_TIMEOUT);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), polls);
    ASSERT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 1u);
    EXPECT_EQ(fake.log().back().length, 2) << "drain asks for the last reported count";
    EXPECT_TRUE(fake.script_done());
    if (variant == JTAG_READBACK) {
        EXPECT_EQ(dest, Bytes(4, 0x55)) << "JTAG drains through scratch: destination untouched";
    } else {
        // SPI drains into the caller's buffer, I2C into the library's own buffer.
        EXPECT_EQ(dest, (Bytes{0xA1, 0xA2, 0x55, 0x55}));
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, ReadBackPollLimit,
                         ::testing::Values(LimitCase{JTAG_READBACK, 1, 11}, LimitCase{JTAG_READBACK, 3, 31},
                                           LimitCase{SPI_READBACK, 1, 11}, LimitCase{SPI_READBACK, 2, 21},
                                           LimitCase{I2C_READBACK, 1, 10}, LimitCase{I2C_READBACK, 3, 30}));

TEST(ReadBack, DrainOfZeroCountIsStillMade)
{
    for (auto variant : {JTAG_READBACK, SPI_READBACK, I2C_READBACK}) {
        FakeAdapter fake;
        fake.count(0, variant == I2C_READBACK ? 10 : 11).data({});
        std::vector<std::uint8_t> dest(1);
        const std::int32_t rc = read_back(fake.handle(), dest, 1, variant);
        EXPECT_EQ(rc, RESULT_TIMEOUT);
        EXPECT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 1u);
        EXPECT_EQ(fake.log().back().length, 0);
    }
}

TEST(ReadBack, JtagAndSpiReturnPollErrorsAndShortPolls)
{
    for (auto variant : {JTAG_READBACK, SPI_READBACK}) {
        std::vector<std::uint8_t> dest(1, 0x55);
        FakeAdapter failing;
        failing.count(0).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0);
        EXPECT_EQ(read_back(failing.handle(), dest, 5, variant), LIBUSB_ERROR_NO_DEVICE);
        FakeAdapter three_bytes;
        three_bytes.poll(0, 3, 1);
        EXPECT_EQ(read_back(three_bytes.handle(), dest, 5, variant), TPW_ERROR_USBTRANS_ERR);
        EXPECT_EQ(dest[0], 0x55);
    }
}

TEST(ReadBack, SurplusIsReadWholeButOnlyTheExpectedBytesKept)
{
    for (auto variant : {JTAG_READBACK, SPI_READBACK}) {
        FakeAdapter fake;
        fake.count(6).data({1, 2, 3, 4, 5, 6});
        std::vector<std::uint8_t> dest(2); // exact size: ASan flags any write past it
        EXPECT_EQ(read_back(fake.handle(), dest, 1, variant), RESULT_OK);
        EXPECT_EQ(dest, (Bytes{1, 2}));
        EXPECT_EQ(fake.log().back().length, 6) << "the data read asks for the reported count";
    }
}

TEST(ReadBack, ImplausibleSurplusIsRefusedWithoutAllocatingForIt)
{
    const std::uint32_t huge = 2 + MAX_READBACK_SURPLUS + 1;
    for (auto variant : {JTAG_READBACK, SPI_READBACK}) {
        FakeAdapter fake;
        fake.count(huge);
        std::vector<std::uint8_t> dest(2, 0x55);
        EXPECT_EQ(read_back(fake.handle(), dest, 1, variant), TPW_ERROR_USBTRANS_ERR);
        EXPECT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 0u);
        EXPECT_EQ(dest, Bytes(2, 0x55));
    }
    // The largest believable surplus is still read whole.
    FakeAdapter fake;
    fake.count(static_cast<std::uint32_t>(2 + MAX_READBACK_SURPLUS))
        .data(Bytes(2 + MAX_READBACK_SURPLUS, 0x01));
    std::vector<std::uint8_t> dest(2);
    EXPECT_EQ(read_back(fake.handle(), dest, 1, SPI_READBACK), RESULT_OK);
    // I2C never reads a count above E; at the limit such a count is not drained.
    FakeAdapter i2c;
    i2c.count(huge, 10);
    EXPECT_EQ(read_back(i2c.handle(), dest, 1, I2C_READBACK), RESULT_TIMEOUT);
    EXPECT_EQ(i2c.transfers_on(EP_READBACK_DATA_IN), 0u);
}

TEST(ReadBack, JtagComparesSigned)
{
    FakeAdapter fake;
    fake.count(0x80000000u, 11); // negative as signed: never enough; too large to drain
    std::vector<std::uint8_t> dest(1, 0x55);
    EXPECT_EQ(read_back(fake.handle(), dest, 1, JTAG_READBACK), RESULT_TIMEOUT);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 0u);
    EXPECT_EQ(dest[0], 0x55);
}

TEST(ReadBack, I2cIgnoresFailedPollsWhileTimeoutBounds)
{
    FakeAdapter fake;
    fake.count(1).poll(LIBUSB_ERROR_IO, 0, 0, 3).poll(0, 2, 0).count(2).data({0, 0});
    std::vector<std::uint8_t> dest(2, 0x55);
    EXPECT_EQ(read_back(fake.handle(), dest, 1, I2C_READBACK), RESULT_OK);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 6u);
}

TEST(ReadBack, I2cFailedPollsCountTowardsTheLimitAndKeepTheLastCount)
{
    FakeAdapter fake;
    fake.count(1).poll(LIBUSB_ERROR_IO, 0, 0, 9).data({0x00});
    std::vector<std::uint8_t> dest(2, 0x55);
    EXPECT_EQ(read_back(fake.handle(), dest, 1, I2C_READBACK), RESULT_TIMEOUT);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 10u);
    EXPECT_EQ(fake.log().back().length, 1) << "drain asks for the last count that arrived";
}

TEST(ReadBack, AGoneDeviceEndsEveryVariantAtItsFirstFailedPoll)
{
    for (auto variant : {JTAG_READBACK, SPI_READBACK, I2C_READBACK}) {
        for (std::uint32_t timeout : {0u, 1u, 1000u}) {
            FakeAdapter fake;
            fake.count(1).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0);
            std::vector<std::uint8_t> dest(2, 0x55);
            EXPECT_EQ(read_back(fake.handle(), dest, timeout, variant), LIBUSB_ERROR_NO_DEVICE);
            EXPECT_TRUE(fake.script_done()) << "no poll after the device went, no drain";
            EXPECT_EQ(dest, Bytes(2, 0x55));
        }
    }
}

TEST(ReadBack, I2cWithTimeoutZeroEndsOnAFailedPoll)
{
    FakeAdapter fake;
    fake.count(0, 3).poll(LIBUSB_ERROR_NO_DEVICE, 0, 0);
    std::vector<std::uint8_t> dest(1);
    EXPECT_EQ(read_back(fake.handle(), dest, 0, I2C_READBACK), LIBUSB_ERROR_NO_DEVICE);
}

TEST(ReadBack, I2cNeedsTheExactCountAndDrainsSurplusThroughScratch)
{
    FakeAdapter fake;
    fake.count(5, 10).data({1, 2, 3, 4, 5});
    std::vector<std::uint8_t> dest(2, 0x55);
    EXPECT_EQ(read_back(fake.handle(), dest, 1, I2C_READBACK), RESULT_TIMEOUT);
    EXPECT_EQ(fake.log().back().length, 5);
    EXPECT_EQ(dest, Bytes(2, 0x55));
}

TEST(ResultText, TableAndFallback)
{
    EXPECT_STREQ(result_text(0), "sucess");
    EXPECT_STREQ(result_text(-7), "usb operation time out");
    EXPECT_STREQ(result_text(-13), "tapwire usb trans error");
    EXPECT_STREQ(result_text(-16), "tapwire cmd error");
    for (std::int32_t code : {-17, -99, 5, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(result_text(code), "tapwire other error") << code;
    }
}

} // namespace
} // namespace orv
