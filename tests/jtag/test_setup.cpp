// Adapter set-up commands: golden bytes, refusals, the TAP state on failure.
#include <gtest/gtest.h>

#include "orv_tapwire.h"
#include "tests/support/fake_usb.hpp"

namespace {

using orv::test::FakeAdapter;
using orv::test::hex;

TEST(TckSet, DivisorCommandBytes)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {240, "AC FA"}, {241, "AB F8"}, {60000, "AB 01"}, {100, "AC 58"}, {60001, "AB 00"}, {1, "AC 60"},
    };
    for (const auto& [freq, bytes] : cases) {
        FakeAdapter fake;
        fake.out();
        EXPECT_EQ(tapwire_tckset(fake.handle(), freq, 100), TPW_SUCCESS);
        EXPECT_EQ(fake.sent(), hex(bytes)) << freq;
        EXPECT_EQ(fake.log()[0].timeout, 100u);
    }
}

TEST(TckSet, ZeroFrequencyIsRefusedAndNothingSent)
{
    FakeAdapter fake;
    EXPECT_EQ(tapwire_tckset(fake.handle(), 0, 100), TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
    EXPECT_EQ(tapwire_tckset(nullptr, 1000, 100), TPW_ERROR_INVALID_PARAM);
}

TEST(IoSet, PinGroupsShiftBySeven)
{
    FakeAdapter fake;
    fake.out(0, std::nullopt, 2);
    EXPECT_EQ(tapwire_ioset(fake.handle(), 0x00FF, 0x0080, 0), TPW_SUCCESS);
    EXPECT_EQ(tapwire_ioset(fake.handle(), 0xFFFF, 0x8000, 0), TPW_SUCCESS);
    EXPECT_EQ(fake.sent(0), hex("20 FF 80 21 01 01 CB 11 DB 11"));
    EXPECT_EQ(fake.sent(1), hex("20 FF 00 21 FF 00 CB 11 DB 11"));
}

TEST(IoSet, TransferFailures)
{
    FakeAdapter fake;
    fake.out(LIBUSB_ERROR_NO_DEVICE).out(0, 9);
    EXPECT_EQ(tapwire_ioset(fake.handle(), 0x0B, 0x08, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(tapwire_ioset(fake.handle(), 0x0B, 0x08, 0), TPW_ERROR_USBTRANS_ERR);
}

TEST(Reset, SevenTmsHighClocksAndStateAnyPriorValue)
{
    for (std::int32_t before : {0, 4, 11, 16, -5}) {
        FakeAdapter fake;
        fake.out();
        std::int32_t state = before;
        EXPECT_EQ(tapwire_reset(fake.handle(), &state, 5), TPW_SUCCESS);
        EXPECT_EQ(state, TPW_TAP_TEST_LOGIC_RESET);
        EXPECT_EQ(fake.sent(), hex("5B 06 7F"));
    }
}

TEST(Reset, FailureLeavesStateUnchanged)
{
    FakeAdapter fake;
    fake.out(LIBUSB_ERROR_TIMEOUT).out(0, 2);
    std::int32_t state = TPW_TAP_SHIFT_DR;
    EXPECT_EQ(tapwire_reset(fake.handle(), &state, 5), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(state, TPW_TAP_SHIFT_DR);
    EXPECT_EQ(tapwire_reset(fake.handle(), &state, 5), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(state, TPW_TAP_SHIFT_DR);
    EXPECT_EQ(tapwire_reset(fake.handle(), nullptr, 5), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(fake.log().size(), 2u);
}

} // namespace
