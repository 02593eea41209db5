// Navigation and IR/DR scans: golden streams, the read-back, the TAP state on
// every failure, refusals that send nothing, and the DR scan's diagnostics.
#include <gtest/gtest.h>

#include <vector>

#include "orv_tapwire.h"
#include "tests/support/fake_usb.hpp"

namespace {

using orv::EP_READBACK_COUNT_IN;
using orv::EP_READBACK_DATA_IN;
using orv::test::Bytes;
using orv::test::FakeAdapter;
using orv::test::hex;
using orv::test::to_hex;

TEST(GotoIdle, PathAndIdleClocks)
{
    struct Case {
        std::int32_t from;
        std::uint16_t idle;
        const char* bytes;
    };
    const Case cases[] = {
        {TPW_TAP_TEST_LOGIC_RESET, 0, "5B 00 00"},
        {TPW_TAP_SHIFT_DR, 200, "5B 02 03 9B C7 01"},
        {TPW_TAP_SELECT_IR_SCAN, 128, "5B 01 01 9B 7F 01"},
        {TPW_TAP_SELECT_DR_SCAN, 65535, "5B 02 03 9B FE FF"},
        {TPW_TAP_RUN_TEST_IDLE, 1, "9B 00 00"},
    };
    for (const auto& c : cases) {
        FakeAdapter fake;
        fake.out();
        std::int32_t state = c.from;
        EXPECT_EQ(tapwire_goto_idle(fake.handle(), &state, c.idle, 9), TPW_SUCCESS);
        EXPECT_EQ(to_hex(fake.sent()), to_hex(hex(c.bytes))) << c.from;
        EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
    }
}

TEST(GotoIdle, AlreadyIdleStillMakesAnEmptyTransfer)
{
    FakeAdapter fake;
    fake.out();
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    EXPECT_EQ(tapwire_goto_idle(fake.handle(), &state, 0, 0), TPW_SUCCESS);
    ASSERT_EQ(fake.log().size(), 1u);
    EXPECT_EQ(fake.log()[0].length, 0);
}

TEST(GotoIdle, FailuresKeepStateAndBadStateSendsNothing)
{
    FakeAdapter fake;
    fake.out(LIBUSB_ERROR_PIPE).out(0, 1);
    std::int32_t state = TPW_TAP_PAUSE_IR;
    EXPECT_EQ(tapwire_goto_idle(fake.handle(), &state, 10, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(tapwire_goto_idle(fake.handle(), &state, 10, 0), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(state, TPW_TAP_PAUSE_IR);
    state = 16;
    EXPECT_EQ(tapwire_goto_idle(fake.handle(), &state, 10, 0), TPW_ERROR_INVALID_PARAM);
    state = -1;
    EXPECT_EQ(tapwire_goto_idle(fake.handle(), &state, 10, 0), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(state, -1);
    EXPECT_EQ(fake.log().size(), 2u);
}

struct ScanCase {
    const char* name;
    bool ir;
    std::int32_t from;
    std::int32_t bits;
    const char* tdi;
    bool capture;
    std::uint16_t idle;
    const char* stream;
};

class ScanStream : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanStream, GoldenBytes)
{
    const ScanCase& c = GetParam();
    FakeAdapter fake;
    fake.out();
    const Bytes tdi = hex(c.tdi);
    const std::size_t tdo_bytes = (static_cast<std::size_t>(c.bits) + 7) / 8;
    std::vector<std::uint8_t> tdo(tdo_bytes, 0x55);
    Bytes answer(tdo_bytes);
    for (std::size_t i = 0; i < answer.size(); ++i) {
        answer[i] = static_cast<std::uint8_t>(0xC0 + i);
    }
    if (c.capture) {
        fake.count(static_cast<std::uint32_t>(tdo_bytes)).data(answer);
    }
    std::int32_t state = c.from;
    const auto scan = c.ir ? tapwire_shift_ir : tapwire_shift_dr;
    EXPECT_EQ(scan(fake.handle(), &state, c.bits, tdi.data(), c.capture ? tdo.data() : nullptr, c.idle, 30),
              TPW_SUCCESS);
    EXPECT_EQ(to_hex(fake.sent()), to_hex(hex(c.stream)));
    EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
    EXPECT_TRUE(fake.script_done());
    if (c.capture) {
        EXPECT_EQ(tdo, answer);
    }
    for (const auto& t : fake.log()) {
        EXPECT_EQ(t.timeout, 30u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Worked, ScanStream,
    testing::Values(
        ScanCase{"dr12", false, 1, 12, "A5 03", false, 0, "5B 02 01 7B 00 A5 6B 02 03 5B 00 01 5B 01 01"},
        ScanCase{"dr12_read_idle200", false, 1, 12, "A5 03", true, 200,
                 "5B 02 01 7C 00 A5 6C 02 03 5C 00 01 5B 01 01 9B C7 01 8B"},
        ScanCase{"ir4", true, 1, 4, "0E", false, 0, "5B 03 03 6B 02 0E 5B 00 81 5B 01 01"},
        ScanCase{"dr1", false, 1, 1, "01", false, 0, "5B 02 01 5B 00 81 5B 01 01"},
        ScanCase{"ir9_from_reset", true, 0, 9, "FF 01", false, 1,
                 "5B 04 06 7B 00 FF 5B 00 81 5B 01 01 9B 00 00"},
        ScanCase{"dr16_from_shift_dr", false, 4, 16, "34 12", true, 0,
                 "7C 00 34 6C 06 12 5C 00 01 5B 01 01 8B"},
        // n = 8: no byte command, 7 bits by the bit command, bit 7 on the exit clock.
        ScanCase{"dr8", false, 1, 8, "80", false, 0, "5B 02 01 6B 06 80 5B 00 81 5B 01 01"},
        // n = 9: one whole byte, no bit command, bit 0 of byte 1 on the exit clock.
        ScanCase{"dr9", false, 1, 9, "AA 00", false, 0, "5B 02 01 7B 00 AA 5B 00 01 5B 01 01"},
        // Bits of the last byte above the scan are not sent.
        ScanCase{"ir3_junk_above", true, 11, 3, "FA", false, 0, "6B 01 FA 5B 00 01 5B 01 01"},
        ScanCase{"ir_from_pause_ir", true, 13, 2, "02", false, 0, "5B 01 01 6B 00 02 5B 00 81 5B 01 01"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

std::vector<std::uint8_t> pattern_bytes(std::size_t n)
{
    std::vector<std::uint8_t> data(n);
    for (std::size_t i = 0; i < n; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return data;
}

TEST(ScanLength, TwoFiftySevenBytesUseTheLargestCount)
{
    FakeAdapter fake;
    fake.out();
    const auto tdi = pattern_bytes(257);
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    ASSERT_EQ(tapwire_shift_dr(fake.handle(), &state, 2056, tdi.data(), nullptr, 0, 0), TPW_SUCCESS);
    const Bytes out = fake.sent();
    ASSERT_EQ(out.size(), 3u + 2 + 256 + 3 + 3 + 3);
    EXPECT_EQ(out[3], 0x7B);
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_TRUE(std::equal(tdi.begin(), tdi.begin() + 256, out.begin() + 5));
    EXPECT_EQ(to_hex(Bytes(out.end() - 9, out.end())), "6B 06 " + to_hex({tdi[256]}) + " 5B 00 01 5B 01 01");
}

TEST(ScanLength, LongScansSplitWholeBytesIntoCommandsOf256)
{
    // 65536 bits: 8191 whole bytes = 31 commands of 256 and one of 255.
    const std::int32_t bits = 65536;
    const auto tdi = pattern_bytes(8192);
    FakeAdapter fake;
    fake.out().count(8192).data(Bytes(8192, 0x3C));
    std::vector<std::uint8_t> tdo(8192);
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    ASSERT_EQ(tapwire_shift_dr(fake.handle(), &state, bits, tdi.data(), tdo.data(), 0, 0), TPW_SUCCESS);
    const Bytes out = fake.sent();
    std::size_t pos = 3;
    std::size_t consumed = 0;
    while (consumed < 8191) {
        const std::size_t chunk = std::min<std::size_t>(256, 8191 - consumed);
        ASSERT_EQ(out[pos], 0x7C) << "at " << pos;
        ASSERT_EQ(out[pos + 1], chunk - 1);
        ASSERT_TRUE(std::equal(tdi.begin() + static_cast<long>(consumed),
                               tdi.begin() + static_cast<long>(consumed + chunk),
                               out.begin() + static_cast<long>(pos + 2)));
        pos += 2 + chunk;
        consumed += chunk;
    }
    EXPECT_EQ(to_hex(Bytes(out.begin() + static_cast<long>(pos), out.end())),
              "6C 06 " + to_hex({tdi[8191]}) + " 5C 00 " + (tdi[8191] & 0x80 ? "81" : "01") + " 5B 01 01 8B");
    EXPECT_EQ(fake.log()[1].length, 4);
    EXPECT_EQ(fake.log()[2].length, 8192);
    EXPECT_EQ(tdo, Bytes(8192, 0x3C));
}

TEST(ScanRefusals, NothingSentAndStateKept)
{
    FakeAdapter fake;
    const Bytes tdi = {0xFF, 0xFF};
    std::vector<std::uint8_t> tdo(2, 0x55);
    for (auto scan : {tapwire_shift_ir, tapwire_shift_dr}) {
        std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
        EXPECT_EQ(scan(fake.handle(), &state, 0, tdi.data(), tdo.data(), 0, 0), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(scan(fake.handle(), &state, -8, tdi.data(), nullptr, 0, 0), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(scan(fake.handle(), &state, 8, nullptr, nullptr, 0, 0), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(scan(nullptr, &state, 8, tdi.data(), nullptr, 0, 0), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(scan(fake.handle(), nullptr, 8, tdi.data(), nullptr, 0, 0), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
        for (std::int32_t bad : {16, -1, 1000}) {
            state = bad;
            EXPECT_EQ(scan(fake.handle(), &state, 8, tdi.data(), tdo.data(), 0, 0), TPW_ERROR_INVALID_PARAM);
            EXPECT_EQ(state, bad);
        }
    }
    EXPECT_TRUE(fake.log().empty());
    EXPECT_EQ(tdo, Bytes(2, 0x55));
}

TEST(ScanFailures, DrPrintsOutTransferErrorsIrDoesNot)
{
    const Bytes tdi = {0x12};
    FakeAdapter fake;
    fake.out(LIBUSB_ERROR_IO).out(0, 5).out(LIBUSB_ERROR_IO).out(0, 5);
    std::int32_t state = TPW_TAP_SHIFT_IR;

    testing::internal::CaptureStdout();
    EXPECT_EQ(tapwire_shift_dr(fake.handle(), &state, 8, tdi.data(), nullptr, 0, 0), LIBUSB_ERROR_IO);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "usb trans error: -1\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(tapwire_shift_dr(fake.handle(), &state, 8, tdi.data(), nullptr, 0, 0), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "TPW_ERROR_USBTRANS_ERR\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(tapwire_shift_ir(fake.handle(), &state, 8, tdi.data(), nullptr, 0, 0), LIBUSB_ERROR_IO);
    EXPECT_EQ(tapwire_shift_ir(fake.handle(), &state, 8, tdi.data(), nullptr, 0, 0), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(state, TPW_TAP_SHIFT_IR);
    EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 0u) << "no read-back after a failed command transfer";
}

TEST(ScanFailures, ReadBackFailureKeepsStateAndTdo)
{
    const Bytes tdi = {0x12, 0x34};
    for (auto scan : {tapwire_shift_ir, tapwire_shift_dr}) {
        FakeAdapter fake;
        fake.out().count(1, 11).data({0xAB});
        std::vector<std::uint8_t> tdo(2, 0x55);
        std::int32_t state = TPW_TAP_TEST_LOGIC_RESET;
        EXPECT_EQ(scan(fake.handle(), &state, 16, tdi.data(), tdo.data(), 0, 1), TPW_ERROR_TIMEOUT);
        EXPECT_EQ(state, TPW_TAP_TEST_LOGIC_RESET);
        EXPECT_EQ(tdo, Bytes(2, 0x55));
        EXPECT_TRUE(fake.script_done());
    }
}

// TDO is valid only on success. A data read of exactly the expected count
// goes straight into the caller's buffer, so one that fails can leave the
// bytes that arrived there, never more; every other failure leaves it alone.
TEST(ScanFailures, WhatAFailedReadBackLeavesInTdo)
{
    struct Case {
        const char* name;
        void (*script)(FakeAdapter&);
        std::int32_t result;
        Bytes tdo; // after the call, from 4 bytes of 0x55
    };
    const Case cases[] = {
        {"short read of the exact count",
         [](FakeAdapter& f) {
             f.out().count(4).data({1, 2});
         },
         TPW_ERROR_USBTRANS_ERR,
         {1, 2, 0x55, 0x55}},
        {"overflow after the exact count",
         [](FakeAdapter& f) {
             f.out().count(4).data({1, 2, 3, 4}, LIBUSB_ERROR_OVERFLOW);
         },
         LIBUSB_ERROR_OVERFLOW,
         {1, 2, 3, 4}},
        {"short read of a surplus",
         [](FakeAdapter& f) {
             f.out().count(6).data({1, 2, 3, 4, 5});
         },
         TPW_ERROR_USBTRANS_ERR, Bytes(4, 0x55)},
        {"failed poll", [](FakeAdapter& f) { f.out().count(2).poll(LIBUSB_ERROR_PIPE, 0, 0); },
         LIBUSB_ERROR_PIPE, Bytes(4, 0x55)},
        {"poll limit",
         [](FakeAdapter& f) {
             f.out().count(3, 11).data({1, 2, 3});
         },
         TPW_ERROR_TIMEOUT, Bytes(4, 0x55)},
    };
    const Bytes tdi(4, 0);
    for (const Case& c : cases) {
        FakeAdapter fake;
        c.script(fake);
        Bytes tdo(4, 0x55); // exact size: ASan flags any write past it
        std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
        EXPECT_EQ(tapwire_shift_dr(fake.handle(), &state, 32, tdi.data(), tdo.data(), 0, 1), c.result)
            << c.name;
        EXPECT_EQ(tdo, c.tdo) << c.name;
        EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
        EXPECT_TRUE(fake.script_done()) << c.name;
    }
}

TEST(ScanCapture, SurplusNeverWrittenPastTdo)
{
    FakeAdapter fake;
    fake.out().count(40).data(Bytes(40, 0x77));
    const Bytes tdi = {0x01};
    std::vector<std::uint8_t> tdo(1); // exact size
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    EXPECT_EQ(tapwire_shift_dr(fake.handle(), &state, 3, tdi.data(), tdo.data(), 0, 0), TPW_SUCCESS);
    EXPECT_EQ(tdo[0], 0x77);
    EXPECT_EQ(fake.log().back().length, 40);
}

TEST(ReadbackTdo, ExpectedCountsAndRefusals)
{
    const std::pair<std::int32_t, std::uint32_t> cases[] = {{1, 1}, {8, 1}, {9, 2}, {2048, 256}};
    for (const auto& [bits, expected] : cases) {
        FakeAdapter fake;
        fake.count(expected - 1).count(expected).data(Bytes(expected, 0x11));
        std::vector<std::uint8_t> tdo(expected);
        EXPECT_EQ(tapwire_readback_tdo(fake.handle(), bits, tdo.data(), 3), TPW_SUCCESS);
        EXPECT_EQ(fake.transfers_on(EP_READBACK_COUNT_IN), 2u);
        EXPECT_EQ(fake.transfers_on(EP_READBACK_DATA_IN), 1u);
    }
    FakeAdapter fake;
    std::uint8_t tdo = 0;
    EXPECT_EQ(tapwire_readback_tdo(fake.handle(), 0, &tdo, 3), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(tapwire_readback_tdo(fake.handle(), -1, &tdo, 3), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(tapwire_readback_tdo(fake.handle(), 8, nullptr, 3), TPW_ERROR_INVALID_PARAM);
    EXPECT_TRUE(fake.log().empty());
}

} // namespace
