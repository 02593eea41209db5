// lumo_iic_init: the nine-byte set-up stream and its send rule.
#include <gtest/gtest.h>

#include <utility>

#include "orv_lumo_iic.h"
#include "tests/support/fake_usb.hpp"

namespace {

using orv::test::Bytes;
using orv::test::FakeAdapter;
using orv::test::hex;
using orv::test::to_hex;

TEST(IicInit, SendsDivisorModesAndIdleBus)
{
    FakeAdapter fake;
    fake.out().out();
    EXPECT_EQ(lumo_iic_init(fake.handle(), 400, 25), TPW_SUCCESS);
    EXPECT_EQ(lumo_iic_init(fake.handle(), 100, 25), TPW_SUCCESS);
    EXPECT_EQ(to_hex(fake.sent(0)), "AB 96 CB 11 DB FF 20 FF 05");
    EXPECT_EQ(to_hex(fake.sent(1)), "AC 58 CB 11 DB FF 20 FF 05"); // 600 cut to its low byte
    EXPECT_EQ(fake.log()[0].timeout, 25u);
    EXPECT_TRUE(fake.script_done());
}

TEST(IicInit, DivisorCommandAroundTheSlowFastBoundary)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {240, "AC FA"}, {241, "AB F8"}, {235, "AC FF"}, {60000, "AB 01"}, {60001, "AB 00"}, {1, "AC 60"},
    };
    for (const auto& [freq, head] : cases) {
        FakeAdapter fake;
        fake.out();
        ASSERT_EQ(lumo_iic_init(fake.handle(), freq, 0), TPW_SUCCESS) << freq;
        const Bytes sent = fake.sent();
        ASSERT_EQ(sent.size(), 9u);
        EXPECT_EQ(to_hex({sent.begin(), sent.begin() + 2}), head) << freq;
    }
}

TEST(IicInit, RefusesZeroFrequencyAndNullHandleSendingNothing)
{
    FakeAdapter fake; // no script: any transfer fails the test
    EXPECT_EQ(lumo_iic_init(fake.handle(), 0, 10), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(lumo_iic_init(nullptr, 400, 10), TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

TEST(IicInit, TransferFailurePassesThroughAndShortTransferIsUsbTransErr)
{
    FakeAdapter failing;
    failing.out(LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(lumo_iic_init(failing.handle(), 400, 0), LIBUSB_ERROR_NO_DEVICE);
    FakeAdapter short_one;
    short_one.out(0, 8);
    EXPECT_EQ(lumo_iic_init(short_one.handle(), 400, 0), TPW_ERROR_USBTRANS_ERR);
    // Init reads nothing back.
    EXPECT_EQ(short_one.log().size(), 1u);
}

} // namespace
