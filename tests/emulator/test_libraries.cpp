// The three libraries driving the default board in-process: what each bus
// operation does on the targets, not just the bytes it sends.
#include <gtest/gtest.h>

#include <array>
#include <numeric>

#include "lib/wire/wire.hpp"
#include "orv_lumo_iic.h"
#include "orv_lumo_spi.h"
#include "orv_tapwire.h"
#include "sim/emulator/inproc_usb.hpp"
#include "tests/emulator/emu_test_util.hpp"

namespace orv::emu::test {
namespace {

constexpr std::uint32_t TIMEOUT = 5;

class Board : public ::testing::Test {
protected:
    std::unique_ptr<Adapter> adapter = make_default_board();
    InprocUsb usb{*adapter};
    libusb_device_handle* handle = usb.handle();

    void TearDown() override
    {
        EXPECT_TRUE(adapter->diagnostics().empty()) << adapter->diagnostics().front();
        EXPECT_EQ(adapter->readback_size(), 0u) << "read-back bytes left behind";
    }
};

// ---- JTAG -----------------------------------------------------------------

class Jtag : public Board {
protected:
    std::int32_t state = -1;

    void SetUp() override
    {
        ASSERT_EQ(tapwire_tckset(handle, 6000, TIMEOUT), 0);
        ASSERT_EQ(tapwire_ioset(handle, 0x000B, 0x0008, TIMEOUT), 0);
        ASSERT_EQ(tapwire_reset(handle, &state, TIMEOUT), 0);
        ASSERT_EQ(state, TPW_TAP_TEST_LOGIC_RESET);
    }

    Bytes scan_dr(const Bytes& tdi, std::int32_t bits)
    {
        Bytes tdo(tdi.size(), 0xEE);
        EXPECT_EQ(tapwire_shift_dr(handle, &state, bits, tdi.data(), tdo.data(), 0, TIMEOUT), 0);
        return tdo;
    }
    Bytes scan_ir(const Bytes& tdi, std::int32_t bits)
    {
        Bytes tdo(tdi.size(), 0xEE);
        EXPECT_EQ(tapwire_shift_ir(handle, &state, bits, tdi.data(), tdo.data(), 0, TIMEOUT), 0);
        return tdo;
    }
};

TEST_F(Jtag, ResetReadsBothIdcodes)
{
    EXPECT_EQ(adapter->jtag().tap(0).state(), TapState::test_logic_reset);
    EXPECT_EQ(scan_dr(Bytes(8, 0), 64), hex("77 04 A0 4B 93 70 72 03"));
    EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
    EXPECT_EQ(adapter->jtag().tap(1).state(), TapState::run_test_idle);
}

TEST_F(Jtag, IrAndDrScansThroughBypass)
{
    EXPECT_EQ(scan_ir(hex("FF 03"), 10), hex("11 00")); // both IRs capture ...01
    EXPECT_EQ(adapter->jtag().tap(0).instruction(), 0xFu);
    EXPECT_EQ(adapter->jtag().tap(1).instruction(), 0x3Fu);
    // Two bypass bits delay the data by two.
    EXPECT_EQ(scan_dr(hex("A5 00"), 10), hex("94 02"));
    EXPECT_EQ(scan_dr(hex("01 00 00 00 00 00 00 00 00 00 00 00"), 96),
              hex("04 00 00 00 00 00 00 00 00 00 00 00"));
}

TEST_F(Jtag, UserRegisterWriteThenRead)
{
    // TAP0 USER (0x8), TAP1 USER (0x02): IR bits 0x028.
    scan_ir(hex("28 00"), 10);
    // 64 bits: TAP0's register gets the first 32, TAP1's the last 32.
    scan_dr(hex("EF BE AD DE 78 56 34 12"), 64);
    EXPECT_EQ(adapter->jtag().tap(0).user(), 0xDEADBEEFu);
    EXPECT_EQ(adapter->jtag().tap(1).user(), 0x12345678u);
    EXPECT_EQ(scan_dr(Bytes(8, 0), 64), hex("EF BE AD DE 78 56 34 12"));
    // Without capture and with idle clocks.
    const Bytes tdi = hex("01 02 03 04 05 06 07 08");
    EXPECT_EQ(tapwire_shift_dr(handle, &state, 64, tdi.data(), nullptr, 300, TIMEOUT), 0);
    EXPECT_EQ(adapter->jtag().tap(0).user(), 0x04030201u);
    EXPECT_EQ(tapwire_goto_idle(handle, &state, 10, TIMEOUT), 0);
    EXPECT_EQ(state, TPW_TAP_RUN_TEST_IDLE);
}

TEST_F(Jtag, BatchOfPrebuiltScansInOneTransfer)
{
    ASSERT_EQ(tapwire_goto_idle(handle, &state, 0, TIMEOUT), 0);
    std::array<std::uint8_t, 128> buffer{};
    std::int32_t capacity = static_cast<std::int32_t>(buffer.size());
    std::int32_t used = 0;
    const Bytes zero(8, 0);
    for (int i = 0; i < 3; ++i) {
        std::int32_t written = 0;
        ASSERT_EQ(tapwire_build_shift_dr_cmd(&state, 64, zero.data(), 0, 1, buffer.data() + used, &capacity,
                                             &written),
                  0);
        used += written;
    }
    int transferred = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, orv::EP_COMMAND_OUT, buffer.data(), used, &transferred, TIMEOUT),
              0);
    EXPECT_EQ(transferred, used);
    Bytes tdo(24, 0xEE);
    ASSERT_EQ(tapwire_readback_tdo(handle, 192, tdo.data(), TIMEOUT), 0);
    const Bytes ids = hex("77 04 A0 4B 93 70 72 03");
    EXPECT_EQ(tdo, concat({ids, ids, ids}));
}

TEST_F(Jtag, LongScanSplitOverSeveralByteCommands)
{
    // 3000 bits through the two 32-bit IDCODE registers: the IDCODEs first,
    // then the data 64 bits late.
    Bytes tdi(375);
    for (std::size_t i = 0; i < tdi.size(); ++i) {
        tdi[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    const Bytes tdo = scan_dr(tdi, 3000);
    ASSERT_EQ(tdo.size(), 375u);
    EXPECT_EQ(Bytes(tdo.begin(), tdo.begin() + 8), hex("77 04 A0 4B 93 70 72 03"));
    EXPECT_EQ(Bytes(tdo.begin() + 8, tdo.end()), Bytes(tdi.begin(), tdi.end() - 8));
}

TEST_F(Jtag, ScanFromAnyDrColumnState)
{
    // Put the chain in each state of the DR column (and Select-IR-Scan) with
    // a TMS stream of our own; the scan's own path must reach Shift-DR and
    // still find the IDCODEs there.
    for (std::int32_t start = TPW_TAP_TEST_LOGIC_RESET; start <= TPW_TAP_SELECT_IR_SCAN; ++start) {
        ASSERT_EQ(tapwire_reset(handle, &state, TIMEOUT), 0);
        std::int32_t walk = TPW_TAP_TEST_LOGIC_RESET;
        std::int32_t count = -1;
        std::uint32_t pattern = 0;
        ASSERT_EQ(jtag_generate_tms_array(&walk, start, &count, &pattern), 0);
        if (count >= 0) {
            const Bytes move{0x5B, static_cast<std::uint8_t>(count),
                             static_cast<std::uint8_t>(pattern & 0x7F)};
            adapter->write_commands(move);
        }
        ASSERT_EQ(static_cast<std::int32_t>(adapter->jtag().tap(0).state()), start);
        state = start;
        EXPECT_EQ(scan_dr(Bytes(8, 0), 64), hex("77 04 A0 4B 93 70 72 03")) << "from state " << start;
        EXPECT_EQ(adapter->jtag().tap(1).state(), TapState::run_test_idle);
    }
}

TEST_F(Jtag, RandomScansThroughBypassAreADelayLine)
{
    scan_ir(hex("FF 03"), 10);
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int round = 0; round < 60; ++round) {
        const std::int32_t bits = static_cast<std::int32_t>(1 + next() % 2500);
        const std::size_t bytes = (static_cast<std::size_t>(bits) + 7) / 8;
        Bytes tdi(bytes);
        for (auto& b : tdi) {
            b = static_cast<std::uint8_t>(next());
        }
        const auto idle = static_cast<std::uint16_t>(next() % 3 == 0 ? next() % 1000 : 0);
        Bytes tdo(bytes, 0xEE);
        ASSERT_EQ(tapwire_shift_dr(handle, &state, bits, tdi.data(), tdo.data(), idle, TIMEOUT), 0);
        for (std::int32_t i = 0; i < bits; ++i) {
            const bool got = ((tdo[i / 8] >> (i % 8)) & 1) != 0;
            const bool want = i >= 2 && ((tdi[(i - 2) / 8] >> ((i - 2) % 8)) & 1) != 0;
            ASSERT_EQ(got, want) << "bits " << bits << " bit " << i;
        }
        // The bits of the last byte above the scan read 0.
        if (bits % 8 != 0) {
            EXPECT_EQ(tdo.back() >> (bits % 8), 0) << bits;
        }
    }
}

// ---- in-process transfer stand-in ---------------------------------------

TEST_F(Board, StandInRoutesEndpoints)
{
    std::uint8_t commands[] = {0x7C, 0x00, 0x00, 0x8B}; // one byte of TDO (the chain idles in reset)
    int transferred = -1;
    ASSERT_EQ(libusb_bulk_transfer(handle, orv::EP_COMMAND_OUT, commands, 4, &transferred, 0), 0);
    EXPECT_EQ(transferred, 4);
    std::uint8_t count[4] = {};
    for (unsigned polls = 0; polls < adapter->config().latency_polls; ++polls) {
        ASSERT_EQ(libusb_bulk_transfer(handle, orv::EP_READBACK_COUNT_IN, count, 4, &transferred, 0), 0);
        EXPECT_EQ(transferred, 4);
    }
    EXPECT_EQ(Bytes(count, count + 4), hex("01 00 00 00"));
    // A poll buffer too small for the 4-byte count overflows.
    EXPECT_EQ(libusb_bulk_transfer(handle, orv::EP_READBACK_COUNT_IN, count, 3, &transferred, 0),
              LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(transferred, 0);
    std::uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(libusb_bulk_transfer(handle, orv::EP_READBACK_DATA_IN, data, 4, &transferred, 0), 0);
    EXPECT_EQ(transferred, 1);
    EXPECT_EQ(Bytes(data, data + 4), hex("FF EE EE EE"));
    EXPECT_EQ(libusb_bulk_transfer(handle, 0x05, data, 4, &transferred, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_bulk_transfer(nullptr, orv::EP_COMMAND_OUT, commands, 4, &transferred, 0),
              LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(adapter->counts().out, 1u);
    EXPECT_EQ(adapter->counts().out_bytes, 4u);
    EXPECT_EQ(adapter->counts().data_reads, 1u);
}

TEST_F(Board, ReadBackThatNeverFillsTimesOut)
{
    // A FIFO of one byte cannot hold a two-byte scan: the library gives up at
    // its poll limit and leaves the caller's state alone.
    auto small = make_default_board(AdapterConfig{1, 2});
    InprocUsb small_usb{*small};
    std::int32_t state = 0;
    ASSERT_EQ(tapwire_reset(small_usb.handle(), &state, 1), 0);
    const Bytes tdi(2, 0);
    Bytes tdo(2, 0xEE);
    state = TPW_TAP_TEST_LOGIC_RESET;
    EXPECT_EQ(tapwire_shift_dr(small_usb.handle(), &state, 16, tdi.data(), tdo.data(), 0, 1),
              TPW_ERROR_TIMEOUT);
    EXPECT_EQ(state, TPW_TAP_TEST_LOGIC_RESET);
    EXPECT_EQ(tdo, hex("EE EE"));
    EXPECT_EQ(small->counts().polls, 11u);
    EXPECT_FALSE(small->diagnostics().empty()); // the overflow
}

// ---- SPI ------------------------------------------------------------------

struct SpiMode {
    const char* name;
    std::int32_t bit_order;
    std::int32_t clock_polarity;
    std::int32_t cs_polarity;
};

class Spi : public Board, public ::testing::WithParamInterface<SpiMode> {
protected:
    lumo_spi_config config{};

    void SetUp() override
    {
        config.clock_freq = 30000;
        config.bit_order = GetParam().bit_order;
        config.clock_polarity = GetParam().clock_polarity;
        config.cs_polarity = GetParam().cs_polarity;
        ASSERT_EQ(lumo_spi_set_config(handle, &config, TIMEOUT), 0);
    }

    std::int32_t command(std::uint8_t cmd, std::uint8_t addr_bytes, std::uint32_t addr, std::uint32_t len,
                         const std::uint8_t* write, std::uint8_t* read, std::uint32_t dummy = 0)
    {
        lumo_spi_config c = config;
        c.cmd_enable = 1;
        c.addr_bytes = addr_bytes;
        return lumo_spi_read_write_bytes(handle, len, write, read, addr, cmd, dummy, &c, TIMEOUT);
    }

    unsigned wait_ready()
    {
        for (unsigned polls = 0; polls < 50; ++polls) {
            std::uint8_t status = 0xEE;
            EXPECT_EQ(command(0x05, 0, 0, 1, nullptr, &status), 0);
            if ((status & SpiFlash::STATUS_WIP) == 0) {
                return polls;
            }
        }
        ADD_FAILURE() << "flash stays busy";
        return 0;
    }
};

TEST_P(Spi, JedecId)
{
    Bytes id(3, 0xEE);
    ASSERT_EQ(command(0x9F, 0, 0, 3, nullptr, id.data()), 0);
    EXPECT_EQ(id, hex("EF 40 16"));
    // Full duplex: whatever goes out, the ID comes back.
    const Bytes out = hex("AA 55 AA");
    ASSERT_EQ(command(0x9F, 0, 0, 3, out.data(), id.data()), 0);
    EXPECT_EQ(id, hex("EF 40 16"));
}

TEST_P(Spi, JedecIdAsBits)
{
    lumo_spi_config c = config;
    c.cmd_enable = 1;
    Bytes id(3, 0xEE);
    ASSERT_EQ(lumo_spi_read_write_bits(handle, 24, nullptr, id.data(), 0, 0x9F, 0, &c, TIMEOUT), 0);
    EXPECT_EQ(id, hex("EF 40 16"));
}

TEST_P(Spi, PageProgramReadAndErase)
{
    Bytes page(256);
    std::iota(page.begin(), page.end(), std::uint8_t{0x30});
    const std::uint32_t address = 0x012300;

    ASSERT_EQ(command(0x06, 0, 0, 0, nullptr, nullptr), 0);
    ASSERT_EQ(command(0x02, 3, address, 256, page.data(), nullptr), 0);
    EXPECT_EQ(adapter->flash().programs(), 1u);
    EXPECT_EQ(wait_ready(), adapter->flash().config().busy_reads_after_program);

    Bytes back(256, 0xEE);
    ASSERT_EQ(command(0x03, 3, address, 256, nullptr, back.data()), 0);
    EXPECT_EQ(back, page);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), adapter->flash_memory().begin() + address));
    Bytes fast(16, 0xEE);
    ASSERT_EQ(command(0x0B, 3, address + 0x10, 16, nullptr, fast.data(), 8), 0);
    EXPECT_EQ(fast, Bytes(page.begin() + 0x10, page.begin() + 0x20));

    // A program past the page end wraps to its start.
    const Bytes tail = hex("00 00 00 00");
    ASSERT_EQ(command(0x06, 0, 0, 0, nullptr, nullptr), 0);
    ASSERT_EQ(command(0x02, 3, address + 0xFE, 4, tail.data(), nullptr), 0);
    wait_ready();
    EXPECT_EQ(adapter->flash_memory()[address + 0xFF], 0);
    EXPECT_EQ(adapter->flash_memory()[address], 0);
    EXPECT_EQ(adapter->flash_memory()[address + 2], 0x32);

    ASSERT_EQ(command(0x06, 0, 0, 0, nullptr, nullptr), 0);
    ASSERT_EQ(command(0x20, 3, address + 0x80, 0, nullptr, nullptr), 0);
    EXPECT_EQ(wait_ready(), adapter->flash().config().busy_reads_after_erase);
    ASSERT_EQ(command(0x03, 3, address, 256, nullptr, back.data()), 0);
    EXPECT_EQ(back, Bytes(256, 0xFF));
}

TEST_P(Spi, LongTransfersInChunks)
{
    // 300 bytes programmed in one transaction wrap around their page; a
    // 512-byte read takes two clock commands of 256 bytes.
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    }
    ASSERT_EQ(command(0x06, 0, 0, 0, nullptr, nullptr), 0);
    ASSERT_EQ(command(0x02, 3, 0x4000, 300, data.data(), nullptr), 0);
    wait_ready();
    const auto mem = adapter->flash_memory();
    EXPECT_EQ(mem[0x4000], data[256]); // the last 44 bytes overwrote the page start
    EXPECT_EQ(mem[0x4000 + 43], data[299]);
    EXPECT_EQ(mem[0x4000 + 44], data[44]);
    EXPECT_EQ(mem[0x4000 + 255], data[255]);
    Bytes back(512, 0xEE);
    ASSERT_EQ(command(0x03, 3, 0x3F00, 512, nullptr, back.data()), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), mem.begin() + 0x3F00));
}

TEST_P(Spi, BitTransfersFullDuplex)
{
    // 20 bits: the command byte 0x9F as data, then 12 bits of the ID, in the
    // configured bit order. What comes back is the flash's ID bits.
    lumo_spi_config c = config;
    c.cmd_enable = 1;
    Bytes out = hex("00 00 00");
    Bytes in(3, 0xEE);
    ASSERT_EQ(lumo_spi_read_write_bits(handle, 16, out.data(), in.data(), 0, 0x9F, 0, &c, TIMEOUT), 0);
    EXPECT_EQ(Bytes(in.begin(), in.begin() + 2), hex("EF 40"));
}

INSTANTIATE_TEST_SUITE_P(Modes, Spi,
                         ::testing::Values(SpiMode{"msb_mode0", 0, 0, 0}, SpiMode{"lsb_mode0", 1, 0, 0},
                                           SpiMode{"msb_mode3_cs_high", 0, 1, 1},
                                           SpiMode{"lsb_mode3_cs_high", 1, 1, 1}),
                         [](const ::testing::TestParamInfo<SpiMode>& mode_info) {
                             return std::string(mode_info.param.name);
                         });

// ---- I2C ------------------------------------------------------------------

class I2c : public Board {
protected:
    void SetUp() override { ASSERT_EQ(lumo_iic_init(handle, 400, TIMEOUT), 0); }
};

TEST_F(I2c, EepromWriteThenRead)
{
    const Bytes write = hex("20 01 02 03 04 05 06 07 08"); // pointer 0x20, one page
    ASSERT_EQ(
        lumo_iic_send_bytes(handle, 0x50, 7, write.data(), static_cast<std::uint32_t>(write.size()), TIMEOUT),
        0);
    EXPECT_EQ(Bytes(adapter->eeprom_memory().begin() + 0x20, adapter->eeprom_memory().begin() + 0x28),
              Bytes(write.begin() + 1, write.end()));
    const std::uint8_t pointer = 0x20;
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x50, 7, &pointer, 1, TIMEOUT), 0);
    Bytes back(8, 0xEE);
    ASSERT_EQ(lumo_iic_read_bytes(handle, 0x50, 7, back.data(), 8, TIMEOUT), 0);
    EXPECT_EQ(back, Bytes(write.begin() + 1, write.end()));
}

TEST_F(I2c, PresenceProbe)
{
    const std::uint8_t none = 0;
    EXPECT_EQ(lumo_iic_send_bytes(handle, 0x50, 7, &none, 0, TIMEOUT), 0);
    EXPECT_EQ(lumo_iic_send_bytes(handle, 0x68, 7, &none, 0, TIMEOUT), 0);
    EXPECT_EQ(lumo_iic_send_bytes(handle, 0x51, 7, &none, 0, TIMEOUT), TPW_ERROR_OTHER);
    Bytes buf(2, 0xEE);
    EXPECT_EQ(lumo_iic_read_bytes(handle, 0x51, 7, buf.data(), 2, TIMEOUT), TPW_ERROR_OTHER);
    EXPECT_EQ(buf, hex("EE EE"));
    EXPECT_EQ(lumo_iic_send_bytes(handle, 0x2A6, 10, &none, 0, TIMEOUT), TPW_ERROR_OTHER);
    EXPECT_EQ(lumo_iic_send_bytes(handle, 0x2A5, 10, &none, 0, TIMEOUT), 0);
}

TEST_F(I2c, RegisterFileAndDataNak)
{
    const std::uint8_t identity = 0x75;
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x68, 7, &identity, 1, TIMEOUT), 0);
    std::uint8_t value = 0;
    ASSERT_EQ(lumo_iic_read_bytes(handle, 0x68, 7, &value, 1, TIMEOUT), 0);
    EXPECT_EQ(value, 0x68);
    // The identity register refuses data: a missing data acknowledge.
    const Bytes write = hex("75 12");
    EXPECT_EQ(lumo_iic_send_bytes(handle, 0x68, 7, write.data(), 2, TIMEOUT), TPW_ERROR_USBTRANS_ERR);
    const Bytes power = hex("6B 00 11 22");
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x68, 7, power.data(), 4, TIMEOUT), 0);
    auto* regs = dynamic_cast<I2cRegisterFile*>(adapter->i2c().find(0x68, false));
    ASSERT_NE(regs, nullptr);
    EXPECT_EQ(regs->registers()[0x6B], 0x00);
    EXPECT_EQ(regs->registers()[0x6C], 0x11);
    EXPECT_EQ(regs->registers()[0x6D], 0x22);
}

TEST_F(I2c, TenBitWriteThenRead)
{
    Bytes write(17);
    write[0] = 0x40;
    std::iota(write.begin() + 1, write.end(), std::uint8_t{0xA0});
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x2A5, 10, write.data(), 17, TIMEOUT), 0);
    const std::uint8_t pointer = 0x40;
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x2A5, 10, &pointer, 1, TIMEOUT), 0);
    Bytes back(16, 0xEE);
    ASSERT_EQ(lumo_iic_read_bytes(handle, 0x2A5, 10, back.data(), 16, TIMEOUT), 0);
    EXPECT_EQ(back, Bytes(write.begin() + 1, write.end()));
}

TEST_F(I2c, LongWriteAndReadAcrossPages)
{
    // 100 bytes from pointer 0x00: each page of 8 keeps its last write.
    Bytes write(101);
    write[0] = 0x00;
    for (std::size_t i = 1; i < write.size(); ++i) {
        write[i] = static_cast<std::uint8_t>(i);
    }
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x50, 7, write.data(), 101, TIMEOUT), 0);
    // Every byte went into page 0: 100 writes into 8 cells, the last wins.
    const auto mem = adapter->eeprom_memory();
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(mem[i], write[1 + 96 + i - (i < 4 ? 0 : 8)]) << i;
    }
    // A 511-byte read wraps around the 256-byte memory.
    std::iota(mem.begin(), mem.end(), std::uint8_t{0});
    const std::uint8_t pointer = 0x10;
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x50, 7, &pointer, 1, TIMEOUT), 0);
    Bytes back(511, 0xEE);
    ASSERT_EQ(lumo_iic_read_bytes(handle, 0x50, 7, back.data(), 511, TIMEOUT), 0);
    for (std::size_t i = 0; i < back.size(); ++i) {
        ASSERT_EQ(back[i], static_cast<std::uint8_t>(0x10 + i)) << i;
    }
}

TEST_F(I2c, ZeroLengthReadsAnswerTheAddressAlone)
{
    std::uint8_t none = 0xEE;
    EXPECT_EQ(lumo_iic_read_bytes(handle, 0x50, 7, &none, 0, TIMEOUT), 0);
    EXPECT_EQ(lumo_iic_read_bytes(handle, 0x52, 7, &none, 0, TIMEOUT), TPW_ERROR_OTHER);
    const std::uint8_t pointer = 0;
    ASSERT_EQ(lumo_iic_send_bytes(handle, 0x2A5, 10, &pointer, 1, TIMEOUT), 0);
    EXPECT_EQ(lumo_iic_read_bytes(handle, 0x2A5, 10, &none, 0, TIMEOUT), 0);
    EXPECT_EQ(lumo_iic_read_bytes(handle, 0x1A5, 10, &none, 0, TIMEOUT), TPW_ERROR_OTHER);
    EXPECT_EQ(none, 0xEE);
}

// ---- all three on one board -----------------------------------------------

TEST_F(Board, LibrariesInAnyOrder)
{
    lumo_spi_config spi{};
    spi.clock_freq = 30000;
    spi.bit_order = 1;
    spi.cmd_enable = 1;
    std::int32_t state = 0;
    const Bytes zero(8, 0);
    const Bytes ids = hex("77 04 A0 4B 93 70 72 03");
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(lumo_iic_init(handle, 100, TIMEOUT), 0);
        const Bytes eeprom = hex("00 5A");
        ASSERT_EQ(lumo_iic_send_bytes(handle, 0x50, 7, eeprom.data(), 2, TIMEOUT), 0);

        ASSERT_EQ(tapwire_ioset(handle, 0x00FF, 0x0080, TIMEOUT), 0);
        ASSERT_EQ(tapwire_reset(handle, &state, TIMEOUT), 0);
        Bytes tdo(8, 0xEE);
        ASSERT_EQ(tapwire_shift_dr(handle, &state, 64, zero.data(), tdo.data(), 0, TIMEOUT), 0);
        EXPECT_EQ(tdo, ids);

        ASSERT_EQ(lumo_spi_set_config(handle, &spi, TIMEOUT), 0);
        Bytes id(3, 0xEE);
        ASSERT_EQ(lumo_spi_read_write_bytes(handle, 3, nullptr, id.data(), 0, 0x9F, 0, &spi, TIMEOUT), 0);
        EXPECT_EQ(id, hex("EF 40 16"));

        std::uint8_t back = 0;
        ASSERT_EQ(lumo_iic_send_bytes(handle, 0x50, 7, eeprom.data(), 1, TIMEOUT), 0);
        ASSERT_EQ(lumo_iic_read_bytes(handle, 0x50, 7, &back, 1, TIMEOUT), 0);
        EXPECT_EQ(back, 0x5A);
        spi.bit_order = 0;
    }
    EXPECT_EQ(adapter->i2c().starts(), 6u); // no START or STOP but the library's own
    EXPECT_EQ(adapter->i2c().stops(), 6u);
}

} // namespace
} // namespace orv::emu::test
