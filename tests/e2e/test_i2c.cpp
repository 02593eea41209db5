// orv_lumo_iic against the default board's I2C bus, through libusb: the
// 24C02-style EEPROM at 0x50, the register file at 0x68 and the 10-bit
// memory at 0x2A5.
#include "orv_lumo_iic.h"
#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

constexpr std::uint32_t EEPROM = 0x50;
constexpr std::uint32_t REGISTERS = 0x68;
constexpr std::uint32_t TEN_BIT = 0x2A5;

class I2cTest : public VirtualAdapterTest {
protected:
    void SetUp() override
    {
        VirtualAdapterTest::SetUp();
        ASSERT_EQ(lumo_iic_init(handle(), 100, TIMEOUT_MS), 0);
    }

    // Writes `data` at memory offset `pointer` (first byte sets the pointer).
    int32_t write_at(std::uint32_t address, int32_t bits, std::uint8_t pointer, const Bytes& data)
    {
        Bytes message{pointer};
        message.insert(message.end(), data.begin(), data.end());
        return lumo_iic_send_bytes(handle(), address, bits, message.data(),
                                   static_cast<std::uint32_t>(message.size()), TIMEOUT_MS);
    }

    Bytes read_at(std::uint32_t address, int32_t bits, std::uint8_t pointer, std::uint32_t length)
    {
        EXPECT_EQ(lumo_iic_send_bytes(handle(), address, bits, &pointer, 1, TIMEOUT_MS), 0);
        Bytes out(length, 0xEE);
        EXPECT_EQ(lumo_iic_read_bytes(handle(), address, bits, out.data(), length, TIMEOUT_MS), 0);
        return out;
    }
};

TEST_F(I2cTest, EepromWriteThenReadBack)
{
    const Bytes data = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    ASSERT_EQ(write_at(EEPROM, 7, 0x10, data), 0);
    EXPECT_EQ(read_at(EEPROM, 7, 0x10, 8), data);
    const auto memory = model().eeprom_memory();
    EXPECT_EQ(Bytes(memory.begin() + 0x10, memory.begin() + 0x18), data);

    // The pointer moves on: a read without setting it continues after the
    // eight bytes just read.
    ASSERT_EQ(write_at(EEPROM, 7, 0x18, {0x55, 0x66}), 0);
    ASSERT_EQ(lumo_iic_send_bytes(handle(), EEPROM, 7, data.data(), 0, TIMEOUT_MS), 0);
    EXPECT_EQ(read_at(EEPROM, 7, 0x17, 3), (Bytes{0x04, 0x55, 0x66}));
    EXPECT_TRUE(model().diagnostics().empty());
}

TEST_F(I2cTest, EepromPageWriteWrapsWithinItsEightBytePage)
{
    ASSERT_EQ(write_at(EEPROM, 7, 0x06, {0xA1, 0xA2, 0xA3, 0xA4}), 0);
    const auto memory = model().eeprom_memory();
    EXPECT_EQ(memory[0x06], 0xA1);
    EXPECT_EQ(memory[0x07], 0xA2);
    EXPECT_EQ(memory[0x00], 0xA3) << "the page address wraps";
    EXPECT_EQ(memory[0x01], 0xA4);
    EXPECT_NE(memory[0x08], 0xA3);
}

TEST_F(I2cTest, ProbeFindsPresentAddressesOnly)
{
    const std::uint8_t unused = 0;
    EXPECT_EQ(lumo_iic_send_bytes(handle(), EEPROM, 7, &unused, 0, TIMEOUT_MS), 0);
    EXPECT_EQ(lumo_iic_send_bytes(handle(), REGISTERS, 7, &unused, 0, TIMEOUT_MS), 0);
    EXPECT_EQ(lumo_iic_send_bytes(handle(), 0x51, 7, &unused, 0, TIMEOUT_MS), TPW_ERROR_OTHER);
    EXPECT_EQ(lumo_iic_send_bytes(handle(), 0x2A6, 10, &unused, 0, TIMEOUT_MS), TPW_ERROR_OTHER);
    EXPECT_EQ(lumo_iic_send_bytes(handle(), TEN_BIT, 10, &unused, 0, TIMEOUT_MS), 0);

    std::uint8_t buffer[2] = {0xEE, 0xEE};
    EXPECT_EQ(lumo_iic_read_bytes(handle(), 0x51, 7, buffer, 2, TIMEOUT_MS), TPW_ERROR_OTHER);
    EXPECT_EQ(buffer[0], 0xEE) << "read buffer untouched when the address is not acknowledged";
    EXPECT_EQ(buffer[1], 0xEE);
}

TEST_F(I2cTest, RegisterFileReadsResetValuesAndRefusesReadOnlyWrite)
{
    EXPECT_EQ(read_at(REGISTERS, 7, 0x75, 1), Bytes{0x68});
    EXPECT_EQ(read_at(REGISTERS, 7, 0x6B, 1), Bytes{0x40});
    // A data byte the target does not acknowledge is -13.
    EXPECT_EQ(write_at(REGISTERS, 7, 0x75, {0x00}), TPW_ERROR_USBTRANS_ERR);
    EXPECT_EQ(read_at(REGISTERS, 7, 0x75, 1), Bytes{0x68});
}

TEST_F(I2cTest, TenBitWriteThenRead)
{
    const Bytes data = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0};
    ASSERT_EQ(write_at(TEN_BIT, 10, 0x40, data), 0);
    EXPECT_EQ(read_at(TEN_BIT, 10, 0x40, static_cast<std::uint32_t>(data.size())), data);
    const auto memory = model().i2c_memory(TEN_BIT, true);
    ASSERT_FALSE(memory.empty());
    EXPECT_EQ(Bytes(memory.begin() + 0x40, memory.begin() + 0x4A), data);
    // The 7-bit EEPROM saw none of it.
    EXPECT_EQ(model().eeprom_memory()[0x40], model().eeprom_memory()[0x41]);
}

} // namespace
} // namespace orv::e2e
