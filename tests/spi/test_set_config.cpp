// lumo_spi_set_config: the nine set-up bytes and their one transfer.
#include <gtest/gtest.h>

#include "orv_lumo_spi.h"
#include "tests/spi/spi_test_support.hpp"
#include "tests/support/fake_usb.hpp"

namespace orv::test {
namespace {

Bytes sent_by(const lumo_spi_config& config)
{
    FakeAdapter fake;
    fake.out();
    EXPECT_EQ(lumo_spi_set_config(fake.handle(), &config, 100), 0);
    EXPECT_EQ(fake.log().size(), 1u);
    EXPECT_TRUE(fake.script_done());
    return fake.log().empty() ? Bytes{} : fake.sent();
}

TEST(SpiSetConfig, NineBytesInOneTransferWithTheTimeout)
{
    FakeAdapter fake;
    fake.out();
    const lumo_spi_config config = spi_config(1, 0, 0, 0, 0, 240);
    EXPECT_EQ(lumo_spi_set_config(fake.handle(), &config, 123), 0);
    ASSERT_EQ(fake.log().size(), 1u);
    EXPECT_EQ(fake.log()[0].endpoint, EP_COMMAND_OUT);
    EXPECT_EQ(fake.log()[0].timeout, 123u);
    EXPECT_EQ(to_hex(fake.sent()), "AC FA CB 11 DB 11 20 F7 02");
}

TEST(SpiSetConfig, ClockDivisorByFrequency)
{
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 0, 0, 241))), "AB F8 CB 11 DB 11 20 F7 02");
    // 600 does not fit the divisor byte: only its low eight bits go.
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 0, 0, 100))), "AC 58 CB 11 DB 11 20 F7 02");
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 0, 0, 60000))), "AB 01 CB 11 DB 11 20 F7 02");
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 0, 0, 60001))), "AB 00 CB 11 DB 11 20 F7 02");
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 0, 0, 0xFFFFFFFF))), "AB 00 CB 11 DB 11 20 F7 02");
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 0, 0, 1))), "AC 60 CB 11 DB 11 20 F7 02");
}

TEST(SpiSetConfig, ModesAndIdleLevels)
{
    // Only bit_order 1 is LSB first.
    EXPECT_EQ(to_hex(sent_by(spi_config(0, 0, 0, 0, 0, 240))), "AC FA CB 11 DB FF 20 F7 02");
    EXPECT_EQ(to_hex(sent_by(spi_config(2, 0, 0, 0, 0, 240))), "AC FA CB 11 DB FF 20 F7 02");
    EXPECT_EQ(to_hex(sent_by(spi_config(-1, 0, 0, 0, 0, 240))), "AC FA CB 11 DB FF 20 F7 02");
    // Clock idles high, chip select active high (so idles low).
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 1, 1, 0, 0, 240))), "AC FA CB FF DB 11 20 F7 01");
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 1, 0, 0, 0, 240))), "AC FA CB FF DB 11 20 F7 03");
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, -5, 0, 0, 240))), "AC FA CB 11 DB 11 20 F7 00");
    // The transaction fields play no part in the set-up.
    EXPECT_EQ(to_hex(sent_by(spi_config(1, 0, 0, 4, 1, 240))), "AC FA CB 11 DB 11 20 F7 02");
}

TEST(SpiSetConfig, TransferFailures)
{
    const lumo_spi_config config = spi_config(1);
    FakeAdapter short_one;
    short_one.out(0, 8);
    EXPECT_EQ(lumo_spi_set_config(short_one.handle(), &config, 0), TPW_ERROR_USBTRANS_ERR);
    FakeAdapter long_one;
    long_one.out(0, 10);
    EXPECT_EQ(lumo_spi_set_config(long_one.handle(), &config, 0), TPW_ERROR_USBTRANS_ERR);
    FakeAdapter timing_out;
    timing_out.out(LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(lumo_spi_set_config(timing_out.handle(), &config, 5), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(timing_out.log().size(), 1u);
}

TEST(SpiSetConfig, RefusalsSendNothing)
{
    FakeAdapter fake;
    const lumo_spi_config zero_freq = spi_config(1, 0, 0, 0, 0, 0);
    const lumo_spi_config good = spi_config(1);
    EXPECT_EQ(lumo_spi_set_config(fake.handle(), &zero_freq, 0), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_set_config(fake.handle(), nullptr, 0), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_spi_set_config(nullptr, &good, 0), TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

} // namespace
} // namespace orv::test
