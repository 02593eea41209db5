// The TAP state machine: every pair of states against a breadth-first search
// over the IEEE 1149.1 diagram, the worked paths, refusals and the printers.
#include <gtest/gtest.h>

#include <array>
#include <queue>
#include <string>

#include "lib/wire/tap_state.hpp"
#include "orv_tapwire.h"

namespace {

// The diagram written out independently of the library's table.
constexpr int next_of(int state, int tms)
{
    constexpr int on0[16] = {1, 1, 3, 4, 4, 6, 6, 4, 1, 10, 11, 11, 13, 13, 11, 1};
    constexpr int on1[16] = {0, 2, 9, 5, 5, 8, 7, 8, 2, 0, 12, 12, 15, 14, 15, 2};
    return tms != 0 ? on1[state] : on0[state];
}

std::array<int, 16> distances_from(int from)
{
    std::array<int, 16> dist{};
    dist.fill(-1);
    dist[static_cast<std::size_t>(from)] = 0;
    std::queue<int> todo;
    todo.push(from);
    while (!todo.empty()) {
        const int s = todo.front();
        todo.pop();
        for (int tms : {0, 1}) {
            const int n = next_of(s, tms);
            if (dist[static_cast<std::size_t>(n)] < 0) {
                dist[static_cast<std::size_t>(n)] = dist[static_cast<std::size_t>(s)] + 1;
                todo.push(n);
            }
        }
    }
    return dist;
}

TEST(TapTransitions, TableMatchesTheStandardDiagram)
{
    for (int s = 0; s < 16; ++s) {
        for (int tms : {0, 1}) {
            std::int32_t state = s;
            ASSERT_EQ(jtag_update_state_onestep(&state, tms), TPW_SUCCESS);
            EXPECT_EQ(state, next_of(s, tms)) << "from " << s << " tms " << tms;
        }
    }
}

TEST(TmsPath, AllPairsShortestCorrectEndAndCleanPattern)
{
    for (int from = 0; from < 16; ++from) {
        const auto dist = distances_from(from);
        for (int to = 0; to < 16; ++to) {
            std::int32_t state = from;
            std::int32_t count = 1234;
            std::uint32_t pattern = 0xDEADBEEF;
            ASSERT_EQ(jtag_generate_tms_array(&state, to, &count, &pattern), TPW_SUCCESS);
            const int clocks = count + 1;
            EXPECT_EQ(clocks, dist[static_cast<std::size_t>(to)]) << from << " -> " << to;
            EXPECT_EQ(state, to);
            EXPECT_LE(clocks, 8);
            if (clocks < 32) {
                EXPECT_EQ(pattern >> clocks, 0u) << "bits above the path must be clear";
            }
            // Replaying the pattern walks the diagram to the target.
            std::int32_t replay = from;
            ASSERT_EQ(jtag_update_state(&replay, clocks, pattern), TPW_SUCCESS);
            EXPECT_EQ(replay, to) << from << " -> " << to;
            if (to == TPW_TAP_RUN_TEST_IDLE) {
                EXPECT_LE(clocks, 3);
            } else if (to == TPW_TAP_SHIFT_DR) {
                EXPECT_LE(clocks, 5);
            } else if (to == TPW_TAP_SHIFT_IR) {
                EXPECT_LE(clocks, 6);
            }
        }
    }
}

TEST(TmsPath, WorkedExamples)
{
    struct Case {
        int from, to, count;
        std::uint32_t pattern;
    };
    const Case cases[] = {
        {1, 4, 2, 0x01}, {1, 11, 3, 0x03}, {0, 1, 0, 0x00},  {0, 11, 4, 0x06},
        {4, 5, 0, 0x01}, {5, 1, 1, 0x01},  {12, 1, 1, 0x01}, {4, 0, 4, 0x1F},
        {1, 0, 2, 0x07}, {2, 1, 2, 0x03},  {9, 4, 4, 0x05},  {13, 4, 4, 0x07},
        {6, 4, 1, 0x01}, {9, 0, 0, 0x01},  {9, 1, 1, 0x01},  {7, 7, -1, 0x00},
    };
    for (const auto& c : cases) {
        std::int32_t state = c.from;
        std::int32_t count = 0;
        std::uint32_t pattern = 0xFF;
        ASSERT_EQ(jtag_generate_tms_array(&state, c.to, &count, &pattern), TPW_SUCCESS);
        EXPECT_EQ(count, c.count) << c.from << " -> " << c.to;
        EXPECT_EQ(pattern, c.pattern) << c.from << " -> " << c.to;
    }
}

TEST(TmsPath, OutOfRangeStatesAreRefusedAndNothingChanges)
{
    for (std::int32_t bad : {-1, 16, 17, INT32_MIN, INT32_MAX}) {
        std::int32_t state = bad;
        std::int32_t count = 77;
        std::uint32_t pattern = 0x55;
        EXPECT_EQ(jtag_generate_tms_array(&state, 1, &count, &pattern), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(state, bad);
        EXPECT_EQ(count, 77);
        EXPECT_EQ(pattern, 0x55u);
        state = TPW_TAP_RUN_TEST_IDLE;
        EXPECT_EQ(jtag_generate_tms_array(&state, bad, &count, &pattern), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
        EXPECT_EQ(count, 77);
        std::int32_t stepped = bad;
        EXPECT_EQ(jtag_update_state_onestep(&stepped, 1), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(jtag_update_state(&stepped, 5, 0x1F), TPW_ERROR_INVALID_PARAM);
        EXPECT_EQ(stepped, bad);
    }
    std::int32_t state = 1;
    std::int32_t count = 0;
    EXPECT_EQ(jtag_generate_tms_array(&state, 4, &count, nullptr), TPW_ERROR_INVALID_PARAM);
    EXPECT_EQ(state, 1);
}

TEST(UpdateState, MultiClockRules)
{
    for (std::int32_t s = 0; s < 16; ++s) {
        std::int32_t state = s;
        EXPECT_EQ(jtag_update_state(&state, 5, 0x1F), TPW_SUCCESS);
        EXPECT_EQ(state, TPW_TAP_TEST_LOGIC_RESET);
        state = s;
        EXPECT_EQ(jtag_update_state(&state, 0, 0xFFFFFFFF), TPW_SUCCESS);
        EXPECT_EQ(state, s);
        EXPECT_EQ(jtag_update_state(&state, -3, 0xFFFFFFFF), TPW_SUCCESS);
        EXPECT_EQ(state, s);
    }
    // From the 33rd clock on TMS is 0: 32 ones reach Test-Logic-Reset, then one
    // more clock with TMS 0 goes to Run-Test/Idle.
    std::int32_t state = TPW_TAP_SHIFT_DR;
    EXPECT_EQ(jtag_update_state(&state, 33, 0xFFFFFFFF), TPW_SUCCESS);
    EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
    state = TPW_TAP_RUN_TEST_IDLE;
    EXPECT_EQ(jtag_update_state_onestep(&state, 2), TPW_SUCCESS);
    EXPECT_EQ(state, TPW_TAP_SELECT_DR_SCAN);
}

TEST(StateNames, NamesAndDiagnostic)
{
    testing::internal::CaptureStdout();
    EXPECT_STREQ(jtag_get_state_str(11), "shift ir");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "state code local: 0b  ");
    for (std::int32_t bad : {16, -1, INT32_MIN}) {
        testing::internal::CaptureStdout();
        EXPECT_STREQ(jtag_get_state_str(bad), "state error");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "state code local: 10  ");
    }
    testing::internal::CaptureStdout();
    EXPECT_STREQ(jtag_get_state_str(0), "test logic reset");
    EXPECT_STREQ(jtag_get_state_str(15), "update ir");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "state code local: 00  state code local: 0f  ");
}

TEST(BitPrinter, LowBitFirst)
{
    testing::internal::CaptureStdout();
    print_binary_low2hi(6, 4);
    print_binary_low2hi(-1, 0);
    print_binary_low2hi(-1, 40);
    std::string expected = "0 1 1 0 \n\n";
    for (int i = 0; i < 32; ++i) {
        expected += "1 ";
    }
    expected += "\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
}

TEST(ErrorTexts, ExportedLookup)
{
    EXPECT_STREQ(tapwire_get_err_info(0), "sucess");
    EXPECT_STREQ(tapwire_get_err_info(-3), "usb access denied (insufficient permissions)");
    EXPECT_STREQ(tapwire_get_err_info(-15), "tapwire timeout");
    EXPECT_STREQ(tapwire_get_err_info(-17), "tapwire other error");
    EXPECT_STREQ(tapwire_get_err_info(-99), "tapwire other error");
    EXPECT_STREQ(tapwire_get_err_info(5), "tapwire other error");
}

} // namespace
