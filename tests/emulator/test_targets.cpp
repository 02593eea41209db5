// The board's targets driven by raw command streams: the byte sequences the
// libraries send, and the edge behaviour of each target model.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/emulator/emu_test_util.hpp"

namespace orv::emu::test {
namespace {

// ---- JTAG chain -----------------------------------------------------------

const Bytes RESET = hex("5B 06 7F");
// From Test-Logic-Reset, a 64-bit DR scan with read.
const Bytes IDCODE_SCAN = hex("5B 03 02 7C 06 00 00 00 00 00 00 00 6C 06 00 5C 00 01 5B 01 01 8B");

TEST(JtagChain, ResetThenBothIdcodesTap0First)
{
    auto adapter = make_default_board();
    adapter->write_commands(concat({RESET, IDCODE_SCAN}));
    EXPECT_EQ(drain(*adapter), hex("77 04 A0 4B 93 70 72 03"));
    EXPECT_EQ(adapter->jtag().tap(0).state(), TapState::run_test_idle);
    EXPECT_EQ(adapter->jtag().tap(1).state(), TapState::run_test_idle);
    EXPECT_TRUE(adapter->diagnostics().empty());
}

// Only the pins the last JTAG pin command drives reach the chain: released TCK
// makes no edge, released TMS reads high (the TAPs stay in Test-Logic-Reset),
// released TDI reads high (harmless to an IDCODE read). Pin commands for the
// other connectors do not change it.
TEST(JtagChain, OnlyDrivenPinsReachTheChain)
{
    const Bytes idcodes = hex("77 04 A0 4B 93 70 72 03");
    const Bytes nothing(8, 0xFF);
    struct Case {
        const char* pins; // 0x20 direction, level
        const Bytes& read;
    };
    for (const Case& c :
         {Case{"20 0B 08", idcodes}, Case{"20 00 00", nothing}, Case{"20 0A 08", nothing},
          Case{"20 03 00", nothing}, Case{"20 09 08", idcodes}, Case{"20 0B 08 20 F7 02", idcodes}}) {
        auto adapter = make_default_board();
        adapter->write_commands(concat({hex(c.pins), RESET, IDCODE_SCAN}));
        EXPECT_EQ(drain(*adapter), c.read) << c.pins;
    }
}

TEST(JtagChain, WorkedDrScanWithIdleClocks)
{
    // n = 12, TDI A5 03, read, 200 idle clocks, from Run-Test/Idle: IDCODE is
    // selected, so the low 12 bits of TAP0's IDCODE come back.
    auto adapter = make_default_board();
    adapter->write_commands(concat({RESET, hex("5B 00 00")}));
    const auto before = adapter->jtag().tap(0).tck_count();
    adapter->write_commands(hex("5B 02 01 7C 00 A5 6C 02 03 5C 00 01 5B 01 01 9B C7 01 8B"));
    EXPECT_EQ(drain(*adapter), hex("77 04"));
    EXPECT_EQ(adapter->jtag().tap(0).tck_count() - before, 3u + 8u + 3u + 1u + 2u + 200u);
}

TEST(JtagChain, IrCaptureAndBypassDelay)
{
    auto adapter = make_default_board();
    adapter->write_commands(concat({RESET, hex("5B 00 00")}));
    // 10-bit IR scan of all ones (both BYPASS): captures ...01 in each IR.
    adapter->write_commands(hex("5B 03 03 7C 00 FF 6C 00 03 5C 00 81 5B 01 01 8B"));
    EXPECT_EQ(drain(*adapter), hex("11 00"));
    EXPECT_EQ(adapter->jtag().tap(0).instruction(), 0xFu);
    EXPECT_EQ(adapter->jtag().tap(1).instruction(), 0x3Fu);
    // 10-bit DR scan through two bypass bits: the data comes out two late.
    adapter->write_commands(hex("5B 02 01 7C 00 A5 6C 00 00 5C 00 01 5B 01 01 8B"));
    EXPECT_EQ(drain(*adapter), hex("94 02"));
}

TEST(JtagChain, UserRegisterKeepsWhatUpdateDrWrote)
{
    auto adapter = make_default_board();
    adapter->write_commands(concat({RESET, hex("5B 00 00")}));
    // IR: TAP0 USER (0x8), TAP1 BYPASS: bits 0x3F8.
    adapter->write_commands(hex("5B 03 03 7B 00 F8 6B 00 03 5B 00 81 5B 01 01"));
    // 33-bit DR scan writing 0xDEADBEEF into TAP0's USER register.
    adapter->write_commands(hex("5B 02 01 7B 03 EF BE AD DE 5B 00 01 5B 01 01"));
    EXPECT_EQ(adapter->jtag().tap(0).user(), 0xDEADBEEFu);
    // Reading it back shifts the next value in: Capture-DR, then Update-DR.
    adapter->write_commands(hex("5B 02 01 7C 03 78 56 34 12 5C 00 01 5B 01 01 8B"));
    EXPECT_EQ(drain(*adapter), hex("EF BE AD DE 00"));
    EXPECT_EQ(adapter->jtag().tap(0).user(), 0x12345678u);
    // Test-Logic-Reset selects IDCODE again but keeps the register.
    adapter->write_commands(concat({RESET, IDCODE_SCAN}));
    EXPECT_EQ(drain(*adapter), hex("77 04 A0 4B 93 70 72 03"));
    EXPECT_EQ(adapter->jtag().tap(0).user(), 0x12345678u);
}

TEST(JtagChain, UnknownInstructionSelectsBypass)
{
    auto adapter = make_default_board();
    adapter->write_commands(concat({RESET, hex("5B 00 00")}));
    // TAP0 gets 0x3 (unknown), TAP1 IDCODE (0x09): bits 0x093.
    adapter->write_commands(hex("5B 03 03 7B 00 93 6B 00 00 5B 00 01 5B 01 01"));
    adapter->write_commands(hex("5B 02 01 7C 03 00 00 00 00 5C 00 01 5B 01 01 8B"));
    // One bypass bit (0), then TAP1's IDCODE shifted up by one.
    const std::uint64_t expected = std::uint64_t{0x03727093} << 1;
    Bytes want;
    for (int i = 0; i < 5; ++i) {
        want.push_back(static_cast<std::uint8_t>(expected >> (8 * i)));
    }
    want.back() &= 0x01;
    EXPECT_EQ(drain(*adapter), want);
}

TEST(JtagChain, ShiftsGoToTheChainAfterTms)
{
    // A SPI pin command in between moves the shift engine away; the next TMS
    // command brings it back.
    auto adapter = make_default_board();
    adapter->write_commands(hex("20 F7 02"));
    EXPECT_EQ(adapter->active_connector(), Connector::spi);
    adapter->write_commands(concat({RESET, IDCODE_SCAN}));
    EXPECT_EQ(adapter->active_connector(), Connector::jtag);
    EXPECT_EQ(drain(*adapter), hex("77 04 A0 4B 93 70 72 03"));
}

TEST(JtagChain, TrstHoldsEveryTapInResetUntilReleased)
{
    auto adapter = make_default_board();
    const auto taps_in = [&](TapState state) {
        return adapter->jtag().tap(0).state() == state && adapter->jtag().tap(1).state() == state;
    };
    adapter->write_commands(concat({RESET, hex("5B 00 00")}));
    ASSERT_TRUE(taps_in(TapState::run_test_idle));
    // Pin 4 driven low by a SPI pin command is no TRST.
    adapter->write_commands(hex("20 F7 00"));
    EXPECT_FALSE(adapter->jtag().trst());
    // JTAG pins with pin 4 driven low: every TAP reset, and held there.
    adapter->write_commands(hex("20 1B 08 5B 02 00"));
    EXPECT_TRUE(adapter->jtag().trst());
    EXPECT_TRUE(taps_in(TapState::test_logic_reset));
    adapter->write_commands(IDCODE_SCAN);
    EXPECT_EQ(drain(*adapter), hex("FF FF FF FF FF FF FF FF"));
    EXPECT_TRUE(taps_in(TapState::test_logic_reset));
    // Released (direction bit clear, pulled up): the TAPs move again.
    adapter->write_commands(hex("20 0B 08"));
    EXPECT_FALSE(adapter->jtag().trst());
    adapter->write_commands(IDCODE_SCAN);
    EXPECT_EQ(Bytes(drain(*adapter)).at(0), 0x77); // TAP0's IDCODE, selected by the reset
    // Driven high is inactive; leaving the JTAG connector releases the line.
    adapter->write_commands(hex("20 1B 18"));
    EXPECT_FALSE(adapter->jtag().trst());
    adapter->write_commands(hex("20 1B 08"));
    EXPECT_TRUE(adapter->jtag().trst());
    adapter->write_commands(hex("20 FF 00"));
    EXPECT_FALSE(adapter->jtag().trst());
    EXPECT_TRUE(adapter->diagnostics().empty());
}

// ---- SPI flash ------------------------------------------------------------

const Bytes SPI_SETUP_MODE0_MSB = hex("AB 3C CB 11 DB FF 20 F7 02");
const Bytes SPI_SETUP_MODE3_LSB_CS_HIGH = hex("AB 3C CB FF DB 11 20 F7 01");

TEST(SpiFlash, JedecIdMsbFirst)
{
    auto adapter = make_default_board();
    adapter->write_commands(concat({SPI_SETUP_MODE0_MSB, hex("20 F7 00 7D 00 9F 9C 17 00 20 F7 02 8B")}));
    EXPECT_EQ(drain(*adapter), hex("EF 40 16"));
}

TEST(SpiFlash, WorkedFastReadBothBitOrders)
{
    auto adapter = make_default_board();
    const Bytes data = hex("DE AD BE EF");
    std::copy(data.begin(), data.end(), adapter->flash_memory().begin() + 0x123456);
    adapter->write_commands(
        concat({SPI_SETUP_MODE0_MSB, hex("20 F7 00 7D 00 0B 7D 02 12 34 56 9B 07 00 9C 1F 00 20 F7 02 8B")}));
    EXPECT_EQ(drain(*adapter), data);
    // LSB first, clock idling high, chip select active high: the address goes
    // low byte first.
    adapter->write_commands(concat({SPI_SETUP_MODE3_LSB_CS_HIGH,
                                    hex("20 F7 03 7B 00 0B 7B 02 56 34 12 9B 07 00 9C 1F 00 20 F7 01 8B")}));
    EXPECT_FALSE(adapter->spi_cs_inactive_level());
    EXPECT_EQ(drain(*adapter), data);
    // Full duplex in LSB order: the bytes sent out are ignored by a read.
    adapter->write_commands(hex("20 F7 03 7B 00 03 7B 02 56 34 12 7C 01 00 00 20 F7 01 8B"));
    EXPECT_EQ(drain(*adapter), hex("DE AD"));
}

// Polls the status register until WIP clears; returns the number of status
// bytes that still showed it set.
unsigned wait_ready(Adapter& adapter)
{
    unsigned busy = 0;
    for (int i = 0; i < 20; ++i) {
        adapter.write_commands(hex("20 F7 00 7D 00 05 9C 07 00 20 F7 02 8B"));
        const Bytes status = drain(adapter);
        if (status.size() != 1 || (status[0] & SpiFlash::STATUS_WIP) == 0) {
            return busy;
        }
        ++busy;
    }
    return busy;
}

TEST(SpiFlash, ProgramNeedsWriteEnableWrapsInPageAndSetsBusy)
{
    auto adapter = make_default_board();
    adapter->write_commands(SPI_SETUP_MODE0_MSB);
    // Without write enable nothing is programmed.
    adapter->write_commands(hex("20 F7 00 7D 00 02 7D 02 00 01 FE 7D 03 11 22 33 44 20 F7 02"));
    EXPECT_EQ(adapter->flash().programs(), 0u);
    // Write enable, then four bytes at 0x0001FE: the last two wrap to 0x000100.
    adapter->write_commands(hex("20 F7 00 7D 00 06 20 F7 02"));
    EXPECT_EQ(adapter->flash().status() & SpiFlash::STATUS_WEL, SpiFlash::STATUS_WEL);
    adapter->write_commands(hex("20 F7 00 7D 00 02 7D 02 00 01 FE 7D 03 11 22 33 44 20 F7 02"));
    EXPECT_EQ(adapter->flash().programs(), 1u);
    EXPECT_EQ(adapter->flash().status() & SpiFlash::STATUS_WEL, 0);
    const auto mem = adapter->flash_memory();
    EXPECT_EQ(mem[0x1FE], 0x11);
    EXPECT_EQ(mem[0x1FF], 0x22);
    EXPECT_EQ(mem[0x100], 0x33);
    EXPECT_EQ(mem[0x101], 0x44);
    EXPECT_EQ(mem[0x200], 0xFF);
    // Busy for a few status reads; reads are ignored meanwhile.
    adapter->write_commands(hex("20 F7 00 7D 00 03 7D 02 00 01 00 9C 0F 00 20 F7 02 8B"));
    EXPECT_EQ(drain(*adapter), hex("FF FF"));
    EXPECT_EQ(wait_ready(*adapter), adapter->flash().config().busy_reads_after_program);
    adapter->write_commands(hex("20 F7 00 7D 00 03 7D 02 00 01 00 9C 0F 00 20 F7 02 8B"));
    EXPECT_EQ(drain(*adapter), hex("33 44"));
}

// A part busy for status reads is ready once its time is up however seldom
// it was polled, as a real part is: a host on a loaded machine whose polls
// each take longer than the part's whole busy time sees it ready.
TEST(SpiFlash, BusyReadsEndWithTheirTime)
{
    for (const unsigned within_us : {2000u, 0u}) {
        SCOPED_TRACE(within_us);
        BoardConfig board = default_board_config();
        board.spi_flash->busy_reads_after_program = 10;
        board.spi_flash->busy_reads_within_us = within_us;
        auto adapter = make_board(board);
        adapter->write_commands(SPI_SETUP_MODE0_MSB);
        adapter->write_commands(
            hex("20 F7 00 7D 00 06 20 F7 02 20 F7 00 7D 00 02 7D 02 00 00 10 7D 00 3C 20 F7 02"));
        ASSERT_EQ(adapter->flash().programs(), 1u);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // 0: never, the ten busy reads stand.
        EXPECT_EQ(wait_ready(*adapter), within_us == 0 ? 10u : 0u);
    }
}

TEST(SpiFlash, ProgrammingOnlyClearsBits)
{
    auto adapter = make_default_board();
    adapter->write_commands(SPI_SETUP_MODE0_MSB);
    adapter->flash_memory()[0x10] = 0xF0;
    adapter->write_commands(
        hex("20 F7 00 7D 00 06 20 F7 02 20 F7 00 7D 00 02 7D 02 00 00 10 7D 00 3C 20 F7 02"));
    EXPECT_EQ(adapter->flash_memory()[0x10], 0x30);
}

TEST(SpiFlash, SectorAndChipErase)
{
    auto adapter = make_default_board();
    adapter->write_commands(SPI_SETUP_MODE0_MSB);
    auto mem = adapter->flash_memory();
    std::fill(mem.begin(), mem.begin() + 0x3000, std::uint8_t{0});
    adapter->write_commands(hex("20 F7 00 7D 00 06 20 F7 02 20 F7 00 7D 00 20 7D 02 00 1A BC 20 F7 02"));
    EXPECT_EQ(adapter->flash().erases(), 1u);
    EXPECT_EQ(mem[0x0FFF], 0x00);
    EXPECT_TRUE(std::all_of(mem.begin() + 0x1000, mem.begin() + 0x2000, [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(mem[0x2000], 0x00);
    EXPECT_EQ(wait_ready(*adapter), adapter->flash().config().busy_reads_after_erase);
    adapter->write_commands(hex("20 F7 00 7D 00 06 20 F7 02 20 F7 00 7D 00 C7 20 F7 02"));
    EXPECT_TRUE(std::all_of(mem.begin(), mem.end(), [](auto b) { return b == 0xFF; }));
}

TEST(SpiFlash, ChipSelectIdleLevelComesFromSetUp)
{
    auto adapter = make_default_board();
    EXPECT_TRUE(adapter->spi_cs_inactive_level()); // active low by default
    adapter->write_commands(SPI_SETUP_MODE3_LSB_CS_HIGH);
    EXPECT_FALSE(adapter->spi_cs_inactive_level());
    adapter->write_commands(hex("20 F7 03"));
    EXPECT_TRUE(adapter->flash().selected());
    adapter->write_commands(hex("20 F7 01"));
    EXPECT_FALSE(adapter->flash().selected());
    // A select after other commands is not mistaken for an idle level.
    adapter->write_commands(concat({SPI_SETUP_MODE0_MSB, hex("5B 00 00 20 F7 00")}));
    EXPECT_TRUE(adapter->spi_cs_inactive_level());
    EXPECT_TRUE(adapter->flash().selected());
    // Nor is a select in the buffer after a set-up that ended with the modes
    // (as the JTAG set-up does).
    adapter->write_commands(hex("20 F7 02 20 F7 02 CB 11 DB 11"));
    adapter->write_commands(hex("20 F7 00"));
    EXPECT_TRUE(adapter->spi_cs_inactive_level());
    EXPECT_TRUE(adapter->flash().selected());
    // Leaving the SPI connector deselects the flash.
    adapter->write_commands(hex("20 FF 05"));
    EXPECT_FALSE(adapter->flash().selected());
}

// ---- I2C bus --------------------------------------------------------------

const Bytes I2C_INIT = hex("AB 96 CB 11 DB FF 20 FF 05");

TEST(I2cBus, WorkedEepromWriteThenRead)
{
    auto adapter = make_default_board();
    adapter->write_commands(I2C_INIT);
    // Write A1 B2 C3 to 0x50: pointer A1, then B2 C3.
    adapter->write_commands(
        hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 6D 07 A0 20 FB 00 9D 00 00 8B"
            "20 FF 00 6D 07 A1 20 FB 00 9D 00 00 20 FF 00 6D 07 B2 20 FB 00 9D 00 00"
            "20 FF 00 6D 07 C3 20 FB 00 9D 00 00 8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 00"));
    EXPECT_EQ(adapter->eeprom_memory()[0xA1], 0xB2);
    EXPECT_EQ(adapter->eeprom_memory()[0xA2], 0xC3);
    EXPECT_EQ(adapter->i2c().starts(), 1u);
    EXPECT_EQ(adapter->i2c().stops(), 1u);
    // Set the pointer back (a one-byte write), then the worked 3-byte read.
    adapter->write_commands(
        hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 6D 07 A0 20 FB 00 9D 00 00 8B"
            "20 FF 00 6D 07 A1 20 FB 00 9D 00 00 8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 00"));
    adapter->eeprom_memory()[0xA3] = 0x5A;
    adapter->write_commands(hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 6D 07 A1 20 FB 00 9D 00 00 8B"
                                "20 FB 00 9D 07 00 20 FF 00 6B 00 00 20 FB 00 9D 07 00 20 FF 00 6B 00 00"
                                "20 FB 00 9D 07 00 20 FF 00 6B 00 01 8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 B2 C3 5A"));
    EXPECT_TRUE(adapter->diagnostics().empty());
}

TEST(I2cBus, AbsentAddressIsNotAcknowledged)
{
    auto adapter = make_default_board();
    adapter->write_commands(I2C_INIT);
    // Presence probe of 0x51 (nobody) and of 0x68.
    adapter->write_commands(
        hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 6D 07 A2 20 FB 00 9D 00 00 8B"
            "8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("80"));
    adapter->write_commands(
        hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 6D 07 D0 20 FB 00 9D 00 00 8B"
            "8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00"));
}

TEST(I2cBus, EepromPageWrapsAtEightBytes)
{
    auto adapter = make_default_board();
    adapter->write_commands(I2C_INIT);
    Bytes stream = hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 6D 07 A0 20 FB 00 9D 00 00 8B"
                       "20 FF 00 6D 07 06 20 FB 00 9D 00 00");
    for (std::uint8_t v = 1; v <= 4; ++v) {
        stream = concat({stream, hex("20 FF 00 6D 07"), Bytes{v}, hex("20 FB 00 9D 00 00")});
    }
    stream = concat({stream, hex("8B 20 FF 00 20 FF 01 20 FF 05")});
    adapter->write_commands(stream);
    EXPECT_EQ(drain(*adapter), hex("00 00"));
    const auto mem = adapter->eeprom_memory();
    EXPECT_EQ(mem[6], 1);
    EXPECT_EQ(mem[7], 2);
    EXPECT_EQ(mem[0], 3); // wrapped to the page start
    EXPECT_EQ(mem[1], 4);
    EXPECT_EQ(mem[8], 0xFF);
}

TEST(I2cBus, ReadOnlyRegisterRefusesData)
{
    auto adapter = make_default_board();
    adapter->write_commands(I2C_INIT);
    // Write 0x75 (pointer), then 0x12 into the read-only identity register.
    adapter->write_commands(
        hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00 6D 07 D0 20 FB 00 9D 00 00 8B"
            "20 FF 00 6D 07 75 20 FB 00 9D 00 00 20 FF 00 6D 07 12 20 FB 00 9D 00 00 8B"
            "20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 40")); // the second data bit was not acknowledged
    // The register kept its value.
    auto* regs = dynamic_cast<I2cRegisterFile*>(adapter->i2c().find(0x68, false));
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(regs->registers()[0x75], 0x68);
    EXPECT_EQ(regs->registers()[0x6B], 0x40);
}

TEST(I2cBus, TenBitWriteAndReadWithRepeatedStart)
{
    auto adapter = make_default_board();
    adapter->write_commands(I2C_INIT);
    // 10-bit write of pointer 0x10, data 0xAB 0xCD to 0x2A5.
    adapter->write_commands(hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00"
                                "6D 07 F4 20 FB 00 9D 00 00 20 FF 00 6D 07 A5 20 FB 00 9D 00 00 8B"
                                "20 FF 00 6D 07 10 20 FB 00 9D 00 00 20 FF 00 6D 07 AB 20 FB 00 9D 00 00"
                                "20 FF 00 6D 07 CD 20 FB 00 9D 00 00 8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 00"));
    const auto mem = adapter->i2c_memory(0x2A5, true);
    ASSERT_EQ(mem.size(), 256u);
    EXPECT_EQ(mem[0x10], 0xAB);
    EXPECT_EQ(mem[0x11], 0xCD);
    // Set the pointer back with a one-byte write, then the 10-bit read: header
    // and low byte in the write direction, repeated START, header read.
    adapter->write_commands(hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 20 FF 00"
                                "6D 07 F4 20 FB 00 9D 00 00 20 FF 00 6D 07 A5 20 FB 00 9D 00 00 8B"
                                "20 FF 00 6D 07 10 20 FB 00 9D 00 00 8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 00"));
    adapter->write_commands(hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00"
                                "6D 07 F4 20 FB 00 9D 00 00 20 FF 00 6D 07 A5 20 FB 00 9D 00 00"
                                "20 FF 00 20 FF 00 20 FF 04 20 FF 04 20 FF 05 20 FF 05 20 FF 01 20 FF 01"
                                "20 FF 00 20 FF 00 6D 07 F5 20 FB 00 9D 00 00 8B"
                                "20 FB 00 9D 07 00 20 FF 00 6B 00 00 20 FB 00 9D 07 00 20 FF 00 6B 00 01 8B"
                                "20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("00 AB CD"));
    EXPECT_EQ(adapter->i2c().starts(), 4u);
}

TEST(I2cBus, TenBitReadWithoutAddressingFirstIsRefused)
{
    auto adapter = make_default_board();
    adapter->write_commands(I2C_INIT);
    adapter->write_commands(hex("20 FF 05 20 FF 05 20 FF 01 20 FF 01 20 FF 00 6D 07 F5 20 FB 00 9D 00 00 8B"
                                "20 FB 00 9D 07 00 20 FF 00 6B 00 01 8B 20 FF 00 20 FF 01 20 FF 05"));
    EXPECT_EQ(drain(*adapter), hex("80 FF"));
}

} // namespace
} // namespace orv::emu::test
