// orv_tapwire against the two-TAP chain of the default board, through libusb.
// Chain: TDI -> TAP1 (IR 6 bits) -> TAP0 (IR 4 bits) -> TDO, so TAP0's bits
// come out first and the first bits shifted in end up in TAP0.
#include <cstring>

#include "orv_tapwire.h"
#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

constexpr std::uint32_t TAP0_IDCODE = 0x4BA00477;
constexpr std::uint32_t TAP1_IDCODE = 0x03727093;
// IR bits 0..3 go to TAP0, 4..9 to TAP1.
constexpr std::uint32_t IR_BOTH_BYPASS = 0x3FF;
constexpr std::uint32_t IR_TAP0_USER_TAP1_BYPASS = 0x8 | 0x3F << 4;

std::uint32_t le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

Bytes le_bytes(std::uint64_t value, std::size_t count)
{
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return out;
}

class JtagTest : public VirtualAdapterTest {
protected:
    void SetUp() override
    {
        VirtualAdapterTest::SetUp();
        ASSERT_EQ(tapwire_tckset(handle(), 6000, TIMEOUT_MS), 0);
        ASSERT_EQ(tapwire_ioset(handle(), 0x000B, 0x0008, TIMEOUT_MS), 0);
        ASSERT_EQ(tapwire_reset(handle(), &state_, TIMEOUT_MS), 0);
        ASSERT_EQ(state_, TPW_TAP_TEST_LOGIC_RESET);
    }

    void shift_ir(std::uint32_t ir)
    {
        const Bytes tdi = le_bytes(ir, 2);
        ASSERT_EQ(tapwire_shift_ir(handle(), &state_, 10, tdi.data(), nullptr, 0, TIMEOUT_MS), 0);
    }

    int32_t state_ = TPW_TAP_RUN_TEST_IDLE;
};

TEST_F(JtagTest, ResetSelectsIdcodeInBothTaps)
{
    const Bytes tdi(8, 0);
    std::uint8_t tdo[8] = {};
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 64, tdi.data(), tdo, 0, TIMEOUT_MS), 0);
    EXPECT_EQ(state_, TPW_TAP_RUN_TEST_IDLE);
    EXPECT_EQ(le32(tdo), TAP0_IDCODE);
    EXPECT_EQ(le32(tdo + 4), TAP1_IDCODE);
    EXPECT_TRUE(model().diagnostics().empty());

    // Capture-DR reloads IDCODE: the same again from Run-Test/Idle.
    std::uint8_t again[8] = {};
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 64, tdi.data(), again, 5, TIMEOUT_MS), 0);
    EXPECT_EQ(Bytes(again, again + 8), Bytes(tdo, tdo + 8));
}

TEST_F(JtagTest, IrScanCapturesOneZeroInEachTapAndBypassDelaysByTwo)
{
    const Bytes ir = le_bytes(IR_BOTH_BYPASS, 2);
    std::uint8_t captured[2] = {0xEE, 0xEE};
    ASSERT_EQ(tapwire_shift_ir(handle(), &state_, 10, ir.data(), captured, 0, TIMEOUT_MS), 0);
    // TAP0's capture 0001 first, then TAP1's 000001; bits above 10 are 0.
    EXPECT_EQ(captured[0], 0x11);
    EXPECT_EQ(captured[1] & 0x03, 0x00);

    // Two one-bit bypass registers: the data comes out two clocks late,
    // behind their captured zeros.
    const Bytes tdi = {0xA5, 0x3C, 0x00};
    std::uint8_t tdo[3] = {};
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 18, tdi.data(), tdo, 0, TIMEOUT_MS), 0);
    const std::uint32_t got = static_cast<std::uint32_t>(tdo[0] | tdo[1] << 8 | (tdo[2] & 0x03) << 16);
    EXPECT_EQ(got, (0x3CA5u << 2) & 0x3FFFF);
    EXPECT_EQ(state_, TPW_TAP_RUN_TEST_IDLE);
}

TEST_F(JtagTest, UserRegisterKeepsWhatWasWritten)
{
    shift_ir(IR_TAP0_USER_TAP1_BYPASS);
    // 33 bits: TAP0's 32-bit USER register, then TAP1's bypass bit.
    const Bytes first = le_bytes(0x12345678, 5);
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 33, first.data(), nullptr, 0, TIMEOUT_MS), 0);
    const Bytes second = le_bytes(0xCAFEF00D, 5);
    std::uint8_t tdo[5] = {};
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 33, second.data(), tdo, 0, TIMEOUT_MS), 0);
    EXPECT_EQ(le32(tdo), 0x12345678u);
    EXPECT_EQ(tdo[4] & 1, 0);
}

TEST_F(JtagTest, BatchOfBuiltScansInOneTransfer)
{
    shift_ir(IR_TAP0_USER_TAP1_BYPASS);
    // Each scan captures the USER value the previous one wrote.
    const std::uint32_t values[] = {0x11111111, 0xA5A5A5A5, 0x0BADF00D, 0x76543210};
    std::uint8_t buffer[512];
    int32_t capacity = sizeof buffer;
    int32_t used = 0;
    int32_t batch_state = state_;
    for (std::uint32_t value : values) {
        const Bytes tdi = le_bytes(value, 5);
        int32_t written = 0;
        ASSERT_EQ(tapwire_build_shift_dr_cmd(&batch_state, 33, tdi.data(), 0, 1, buffer + used, &capacity,
                                             &written),
                  0);
        used += written;
    }
    EXPECT_EQ(capacity, static_cast<int32_t>(sizeof buffer) - used);
    EXPECT_EQ(model().counts().out, 4u) << "set-up and IR scan only: building sends nothing";

    int actual = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle(), EP_COMMAND_OUT, buffer, used, &actual, TIMEOUT_MS), 0);
    ASSERT_EQ(actual, used);
    // Every scan is flushed on its own: 5 bytes each.
    std::uint8_t tdo[4 * 5] = {};
    ASSERT_EQ(tapwire_readback_tdo(handle(), static_cast<int32_t>(sizeof tdo * 8), tdo, TIMEOUT_MS), 0);
    EXPECT_EQ(le32(tdo + 5), values[0]);
    EXPECT_EQ(le32(tdo + 10), values[1]);
    EXPECT_EQ(le32(tdo + 15), values[2]);
    EXPECT_TRUE(model().diagnostics().empty());

    // The last value is in the register.
    state_ = batch_state;
    const Bytes zero(5, 0);
    std::uint8_t last[5] = {};
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 33, zero.data(), last, 0, TIMEOUT_MS), 0);
    EXPECT_EQ(le32(last), values[3]);
}

TEST_F(JtagTest, GotoIdleWithIdleClocksKeepsIdcodeSelected)
{
    ASSERT_EQ(tapwire_goto_idle(handle(), &state_, 100, TIMEOUT_MS), 0);
    EXPECT_EQ(state_, TPW_TAP_RUN_TEST_IDLE);
    // Already in Run-Test/Idle with no clocks: an empty transfer, still 0.
    ASSERT_EQ(tapwire_goto_idle(handle(), &state_, 0, TIMEOUT_MS), 0);
    const Bytes tdi(8, 0);
    std::uint8_t tdo[8] = {};
    ASSERT_EQ(tapwire_shift_dr(handle(), &state_, 64, tdi.data(), tdo, 0, TIMEOUT_MS), 0);
    EXPECT_EQ(le32(tdo), TAP0_IDCODE) << "idle clocks leave IDCODE selected";
}

} // namespace
} // namespace orv::e2e
