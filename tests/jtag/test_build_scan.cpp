// The pre-built DR scan: the same bytes as the sent scan, capacity accounting,
// batching, refusals that write nothing.
#include <gtest/gtest.h>

#include <vector>

#include "orv_tapwire.h"
#include "tests/support/fake_usb.hpp"

namespace {

using orv::test::Bytes;
using orv::test::FakeAdapter;
using orv::test::hex;
using orv::test::to_hex;

TEST(BuildScan, WorkedExampleWithAndWithoutRead)
{
    std::vector<std::uint8_t> out(64, 0xEE);
    const Bytes tdi = hex("A5 03");
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    std::int32_t capacity = 64;
    std::int32_t written = -1;
    ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, 12, tdi.data(), 200, 1, out.data(), &capacity, &written),
              TPW_SUCCESS);
    EXPECT_EQ(written, 19);
    EXPECT_EQ(capacity, 45);
    EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
    EXPECT_EQ(to_hex(Bytes(out.begin(), out.begin() + 19)),
              "5B 02 01 7C 00 A5 6C 02 03 5C 00 01 5B 01 01 9B C7 01 8B");
    EXPECT_EQ(out[19], 0xEE);

    capacity = 18;
    ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, 12, tdi.data(), 200, 0, out.data(), &capacity, &written),
              TPW_SUCCESS);
    EXPECT_EQ(written, 18);
    EXPECT_EQ(capacity, 0);
    EXPECT_EQ(to_hex(Bytes(out.begin(), out.begin() + 18)),
              "5B 02 01 7B 00 A5 6B 02 03 5B 00 01 5B 01 01 9B C7 01");
}

TEST(BuildScan, SameBytesAsTheSentScan)
{
    for (std::int32_t bits : {1, 7, 8, 9, 16, 33, 2056, 2057, 5000}) {
        for (std::int32_t from : {0, 1, 4, 6, 11, 13}) {
            for (bool read : {false, true}) {
                std::vector<std::uint8_t> tdi((static_cast<std::size_t>(bits) + 7) / 8);
                for (std::size_t i = 0; i < tdi.size(); ++i) {
                    tdi[i] = static_cast<std::uint8_t>(i * 31 + static_cast<std::size_t>(bits));
                }
                FakeAdapter fake;
                fake.out();
                std::vector<std::uint8_t> tdo(tdi.size());
                if (read) {
                    fake.count(static_cast<std::uint32_t>(tdo.size())).data(Bytes(tdo.size()));
                }
                std::int32_t sent_state = from;
                ASSERT_EQ(tapwire_shift_dr(fake.handle(), &sent_state, bits, tdi.data(),
                                           read ? tdo.data() : nullptr, 77, 0),
                          TPW_SUCCESS);
                std::vector<std::uint8_t> out(tdi.size() + 64);
                std::int32_t state = from;
                auto capacity = static_cast<std::int32_t>(out.size());
                std::int32_t written = 0;
                ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, bits, tdi.data(), 77, read ? 1 : 0, out.data(),
                                                     &capacity, &written),
                          TPW_SUCCESS);
                EXPECT_EQ(Bytes(out.begin(), out.begin() + written), fake.sent())
                    << bits << " bits from " << from << (read ? " read" : "");
                EXPECT_EQ(capacity + written, static_cast<std::int32_t>(out.size()));
            }
        }
    }
}

TEST(BuildScan, CapacityExactlyNeededPassesOneLessIsRefused)
{
    const Bytes tdi = hex("01");
    for (std::uint8_t read : {std::uint8_t{0}, std::uint8_t{1}}) {
        const std::int32_t needed = 1 + 16 + read;
        std::vector<std::uint8_t> out(static_cast<std::size_t>(needed), 0xEE);
        std::int32_t state = TPW_TAP_SHIFT_DR;
        std::int32_t capacity = needed - 1;
        std::int32_t written = -7;
        EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 1, tdi.data(), 0, read, out.data(), &capacity, &written),
                  -11);
        EXPECT_EQ(state, TPW_TAP_SHIFT_DR);
        EXPECT_EQ(capacity, needed - 1);
        EXPECT_EQ(written, -7);
        EXPECT_EQ(out, Bytes(out.size(), 0xEE));
        capacity = -5;
        EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 1, tdi.data(), 0, read, out.data(), &capacity, &written),
                  -11);

        // The check uses the needed length although this sequence is much
        // shorter: already in Shift-DR, one bit, no idle clocks.
        capacity = needed;
        ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, 1, tdi.data(), 0, read, out.data(), &capacity, &written),
                  TPW_SUCCESS);
        EXPECT_EQ(written, read ? 7 : 6);
        EXPECT_EQ(capacity, needed - written);
        EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
        EXPECT_EQ(to_hex(Bytes(out.begin(), out.begin() + written)),
                  read ? "5C 00 81 5B 01 01 8B" : "5B 00 81 5B 01 01");
    }
}

TEST(BuildScan, ConsecutiveScansFillTheBufferWithoutGaps)
{
    const Bytes tdi = hex("5A");
    std::vector<std::uint8_t> out(100, 0xEE);
    std::int32_t state = TPW_TAP_TEST_LOGIC_RESET;
    std::int32_t capacity = 100;
    std::size_t pos = 0;
    std::string expected;
    for (int i = 0; i < 4; ++i) {
        std::int32_t written = 0;
        ASSERT_EQ(
            tapwire_build_shift_dr_cmd(&state, 8, tdi.data(), 0, 0, out.data() + pos, &capacity, &written),
            TPW_SUCCESS);
        pos += static_cast<std::size_t>(written);
        expected += std::string(i == 0 ? "5B 03 02" : " 5B 02 01") + " 6B 06 5A 5B 00 01 5B 01 01";
    }
    EXPECT_EQ(to_hex(Bytes(out.begin(), out.begin() + static_cast<long>(pos))), expected);
    EXPECT_EQ(capacity, 100 - static_cast<std::int32_t>(pos));
    EXPECT_EQ(out[pos], 0xEE);
    std::int32_t written = 0;
    EXPECT_EQ(
        tapwire_build_shift_dr_cmd(&state, 8, tdi.data(), 65535, 0, out.data() + pos, &capacity, &written),
        TPW_SUCCESS);
    EXPECT_EQ(to_hex(Bytes(out.begin() + static_cast<long>(pos + 12),
                           out.begin() + static_cast<long>(pos) + written)),
              "9B FE FF");
}

TEST(BuildScan, RefusalsWriteNothing)
{
    const Bytes tdi = hex("FF");
    std::vector<std::uint8_t> out(32, 0xEE);
    std::int32_t capacity = 32;
    std::int32_t written = -3;
    for (std::int32_t bad_state : {16, -1}) {
        std::int32_t state = bad_state;
        EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 8, tdi.data(), 0, 0, out.data(), &capacity, &written),
                  TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(state, bad_state);
    }
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 0, tdi.data(), 0, 0, out.data(), &capacity, &written),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, -1, tdi.data(), 0, 0, out.data(), &capacity, &written),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 8, nullptr, 0, 0, out.data(), &capacity, &written),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 8, tdi.data(), 0, 0, nullptr, &capacity, &written),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 8, tdi.data(), 0, 0, out.data(), nullptr, &written),
              TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(capacity, 32);
    EXPECT_EQ(written, -3);
    EXPECT_EQ(out, Bytes(32, 0xEE));
}

TEST(BuildScan, LongScanNeedsRoomForEveryByteCommand)
{
    // 4096 bits: 511 whole bytes in two commands, so 2 more bytes than B + 16.
    std::vector<std::uint8_t> tdi(512, 0x0F);
    const std::int32_t needed = 512 + 16 + 2;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(needed));
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    std::int32_t capacity = needed - 1;
    std::int32_t written = 0;
    EXPECT_EQ(tapwire_build_shift_dr_cmd(&state, 4096, tdi.data(), 1, 0, out.data(), &capacity, &written),
              -11);
    capacity = needed;
    ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, 4096, tdi.data(), 1, 0, out.data(), &capacity, &written),
              TPW_SUCCESS);
    EXPECT_EQ(written, needed);
    EXPECT_EQ(capacity, 0);
}

} // namespace
