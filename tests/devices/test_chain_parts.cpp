// The chain analysis, the JEP106 names and the I2C bus's time limits of the
// device library, without an adapter.
#include <gtest/gtest.h>

#include "lib/devices/chain/jtag_chain.hpp"
#include "lib/devices/i2c/i2c_bus.hpp"
#include "lib/devices/jep106/jep106.hpp"

using namespace orv::dev;
using Bytes = std::vector<std::uint8_t>;

namespace {

TEST(Idcode, FieldsOfTheBoardsTaps)
{
    auto arm = chain::decode_idcode(0x4BA00477);
    EXPECT_EQ(arm.manufacturer, 0x23B);
    EXPECT_EQ(arm.bank, 5u);
    EXPECT_EQ(arm.jep106_id, 0x3B);
    EXPECT_EQ(arm.part, 0xBA00);
    EXPECT_EQ(arm.version, 4);
    EXPECT_STREQ(arm.vendor, "ARM Ltd");
    auto xlx = chain::decode_idcode(0x06B5C093);
    EXPECT_EQ(xlx.manufacturer, 0x049);
    EXPECT_EQ(xlx.bank, 1u);
    EXPECT_EQ(xlx.part, 0x6B5C);
    EXPECT_EQ(xlx.version, 0);
    EXPECT_STREQ(xlx.vendor, "Xilinx");
    EXPECT_EQ(chain::decode_idcode(0x12345FFF).vendor, nullptr);
}

TEST(ChainAnalysis, IrLengthsFromTheCapturePattern)
{
    // Capture ...01 per TAP: 4-bit then 6-bit register, nearest TDO first.
    Bytes capture{0x11, 0x00}; // bits 0 and 4 set
    auto lengths = chain::split_ir_lengths(capture, 10, 2);
    ASSERT_EQ(lengths.size(), 2u);
    EXPECT_EQ(lengths[0], 4u);
    EXPECT_EQ(lengths[1], 6u);
    // One device: its length is the whole sum, whatever it captures.
    EXPECT_EQ(chain::split_ir_lengths(Bytes{0xFF}, 5, 1)[0], 5u);
    // A capture with other set bits is ambiguous: lengths stay unknown.
    auto unsure = chain::split_ir_lengths(Bytes{0x15, 0x00}, 10, 2); // 1s at 0, 2, 4
    EXPECT_FALSE(unsure[0]);
    EXPECT_FALSE(unsure[1]);
    // The first register must start at bit 0.
    EXPECT_FALSE(chain::split_ir_lengths(Bytes{0x12}, 8, 2)[0]);
}

TEST(ChainAnalysis, IdcodesAndBypassDevices)
{
    // TAP0 without IDCODE (one 0 bit), then an IDCODE 0x06B5C093.
    std::uint64_t chain = static_cast<std::uint64_t>(0x06B5C093) << 1;
    Bytes bits(5);
    for (int i = 0; i < 5; ++i) {
        bits[i] = static_cast<std::uint8_t>(chain >> (8 * i));
    }
    auto ids = chain::parse_idcodes(bits, 33, 2);
    ASSERT_TRUE(ids);
    EXPECT_FALSE((*ids)[0]);
    ASSERT_TRUE((*ids)[1]);
    EXPECT_EQ((*ids)[1]->raw, 0x06B5C093u);
    EXPECT_FALSE(chain::parse_idcodes(bits, 32, 2)); // bits run out
    EXPECT_EQ(chain::find_bit(bits, 0, 33, true), 1u);
    EXPECT_FALSE(chain::find_bit(Bytes{0x00}, 0, 8, true));
}

TEST(Jep106, EveryBankFromTheJedecList)
{
    EXPECT_GT(jep106::size(), 2000u);
    EXPECT_STREQ(jep106::manufacturer(1, 0x01), "AMD");
    EXPECT_STREQ(jep106::manufacturer(1, 0x49), "Xilinx");
    EXPECT_STREQ(jep106::manufacturer(2, 0x01), "Cirrus Logic");
    EXPECT_STREQ(jep106::manufacturer(5, 0x3B), "ARM Ltd");
    EXPECT_STREQ(jep106::manufacturer(10, 0x20), "XMC");
    EXPECT_NE(jep106::manufacturer(16, 0x01), nullptr);
    EXPECT_EQ(jep106::manufacturer(1, 0x00), nullptr);
    EXPECT_EQ(jep106::manufacturer(1, 0x7F), nullptr); // the continuation code
    EXPECT_EQ(jep106::manufacturer(0, 0x01), nullptr);
    EXPECT_EQ(jep106::manufacturer(99, 0x01), nullptr);
}

TEST(Timeout, I2cKeepsTheWorstWaitUnderTenSeconds)
{
    // 10 x T polls of up to T ms each, plus the command, data and drain transfers.
    const auto worst_ms = [](std::uint64_t t) { return 10 * t * t + 3 * t; };
    EXPECT_LE(worst_ms(i2c::MAX_BUS_TIMEOUT_MS), 10000u);
    EXPECT_GT(worst_ms(i2c::MAX_BUS_TIMEOUT_MS + 1), 10000u);
    EXPECT_EQ(i2c::bus_timeout(1000), i2c::MAX_BUS_TIMEOUT_MS);
    EXPECT_EQ(i2c::bus_timeout(5), 5u);
}

} // namespace
