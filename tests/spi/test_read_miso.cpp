// lumo_spi_read_miso: the read-back exchange as the SPI library runs it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "orv_lumo_spi.h"
#include "tests/support/fake_usb.hpp"

namespace orv::test {
namespace {

TEST(SpiReadMiso, ReadyOnFirstPoll)
{
    FakeAdapter fake;
    fake.count(3).data({7, 8, 9});
    std::vector<std::uint8_t> read(3);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 3, read.data(), 44), 0);
    EXPECT_EQ(read, (Bytes{7, 8, 9}));
    ASSERT_EQ(fake.log().size(), 2u);
    EXPECT_EQ(fake.log()[0].endpoint, EP_READBACK_COUNT_IN);
    EXPECT_EQ(fake.log()[0].length, 4);
    EXPECT_EQ(fake.log()[1].endpoint, EP_READBACK_DATA_IN);
    EXPECT_EQ(fake.log()[1].length, 3);
    EXPECT_EQ(fake.log()[1].timeout, 44u);
}

TEST(SpiReadMisoPollLimit, Timeout2GivesUpAfter21PollsAndDrainsIntoReadBuf)
{
    FakeAdapter fake;
    fake.count(2, 21).data({0xA1, 0xA2});
    std::vector<std::uint8_t> read(4, 0xEE);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 4, read.data(), 2), TPW_ERROR_TIMEOUT);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 21u);
    ASSERT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 1u);
    EXPECT_EQ(fake.log().back().length, 2); // the drain asks for what was there
    EXPECT_EQ(read, (Bytes{0xA1, 0xA2, 0xEE, 0xEE}));
    EXPECT_TRUE(fake.script_done());
}

TEST(SpiReadMisoPollLimit, ReadyOnTheLastAllowedPollSucceeds)
{
    FakeAdapter fake;
    fake.count(2, 20).count(4).data({1, 2, 3, 4});
    std::vector<std::uint8_t> read(4);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 4, read.data(), 2), 0);
    EXPECT_EQ(read, (Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(fake.script_done());
}

TEST(SpiReadMisoPollLimit, Timeout0NeverGivesUp)
{
    FakeAdapter fake;
    fake.count(0, 5000).count(1, 5000).count(2).data({5, 6});
    std::vector<std::uint8_t> read(2);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 2, read.data(), 0), 0);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 10001u);
    EXPECT_EQ(read, (Bytes{5, 6}));
}

TEST(SpiReadMisoSurplus, MoreReadyThanAskedNeverWritesPastTheBuffer)
{
    // An exact-size heap buffer: AddressSanitizer catches any byte past it.
    FakeAdapter fake;
    fake.count(10).data({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    auto read = std::make_unique<std::uint8_t[]>(4);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 4, read.get(), 0), 0);
    EXPECT_EQ(fake.log().back().length, 10);
    EXPECT_EQ(Bytes(read.get(), read.get() + 4), (Bytes{1, 2, 3, 4}));
}

TEST(SpiReadMisoSurplus, HugeReportedCountIsATransferError)
{
    FakeAdapter fake;
    fake.count(0xFFFFFFFF);
    std::vector<std::uint8_t> read(4, 0x11);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 4, read.data(), 0), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(read, Bytes(4, 0x11));
    EXPECT_TRUE(fake.script_done());
}

TEST(SpiReadMisoFailures, PollAndDataReadFailures)
{
    std::vector<std::uint8_t> read(4);

    FakeAdapter poll_error;
    poll_error.poll(LIBUSB_ERROR_TIMEOUT, 0, 0);
    EXPECT_EQ(lumo_spi_read_miso(poll_error.handle(), 4, read.data(), 3), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(poll_error.log().size(), 1u);

    FakeAdapter short_poll;
    short_poll.poll(0, 3, 4);
    EXPECT_EQ(lumo_spi_read_miso(short_poll.handle(), 4, read.data(), 3), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(short_poll.log().size(), 1u);

    FakeAdapter data_error;
    data_error.count(4).data({}, LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(lumo_spi_read_miso(data_error.handle(), 4, read.data(), 3), LIBUSB_ERROR_OVERFLOW);

    FakeAdapter short_data;
    short_data.count(4).data({1, 2});
    EXPECT_EQ(lumo_spi_read_miso(short_data.handle(), 4, read.data(), 3), TPW_ERROR_USBTRANS_ERR);
}

TEST(SpiReadMisoRefusals, NullHandleOrMissingBuffer)
{
    FakeAdapter fake;
    std::uint8_t byte = 0;
    EXPECT_EQ(lumo_spi_read_miso(nullptr, 1, &byte, 0), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 1, nullptr, 0), TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

TEST(SpiReadMisoRefusals, NothingExpectedWithoutBufferStillTakesTheReadyBytes)
{
    FakeAdapter fake;
    fake.count(2).data({1, 2});
    EXPECT_EQ(lumo_spi_read_miso(fake.handle(), 0, nullptr, 0), 0);
    EXPECT_TRUE(fake.script_done());
}

} // namespace
} // namespace orv::test
