// A SPI flash and an I2C EEPROM through the pins of a boundary-scan device, through the device
// library on the emulated adapter in-process (a transaction through pins is
// some million TCK clocks: the virtual USB device's sockets would make the
// test minutes long): the same flash tests
// on the adapter's own SPI connector (the default board) and on the pins of
// the STM32F301 of bscan-flash, in modes 0 and 3; the refusals, each before
// anything is driven; and the net faults (an open MISO, a stuck SCK), each
// an error naming the line, never data. The same for the I2C bus: the
// EEPROM tests on the I2C connector and on PB6/PB7, the refusals, a stuck
// SDA and an open SDA.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <orv_devices.h>

#include <gtest/gtest.h>

#include "sim/emulator/adapter.hpp"
#include "sim/emulator/board_file.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path BOARDS = ORV_BOARD_FILES;
constexpr std::uint32_t U1 = 1; // the STM32's boundary-scan TAP; 0 is its debug TAP

enum class Fault { none, open_miso, stuck_sck, stuck_sda, open_sda, stretching_eeprom };

orv::emu::BoardConfig pin_board(Fault fault)
{
    orv::emu::BoardConfig config = orv::emu::load_board_file(*orv::emu::find_board("bscan-flash"));
    const auto net = [&](const std::string& name) {
        for (std::size_t n = 0; n < config.network.nets.size(); ++n) {
            if (config.network.nets[n].name == name) {
                return n;
            }
        }
        ADD_FAILURE() << "no net " << name;
        return std::size_t{0};
    };
    if (fault == Fault::open_miso) {
        config.network.open.push_back(config.network.nets[net("FLASH_MISO")].pins.at(0));
    } else if (fault == Fault::stuck_sck) {
        config.network.stuck.push_back({net("FLASH_SCK"), false});
    } else if (fault == Fault::stuck_sda) {
        config.network.stuck.push_back({net("I2C_SDA"), false});
    } else if (fault == Fault::open_sda) {
        config.network.open.push_back(config.network.nets[net("I2C_SDA")].pins.at(0));
    } else if (fault == Fault::stretching_eeprom) {
        config.i2c.at(0).stretch_tck = 2000; // the 24C32: about 14 scans after each acknowledge
    }
    return config;
}

// Adapter 0: the default board (a flash on the SPI connector); adapter 1:
// bscan-flash, with `fault_` put in.
class PinBus : public ::testing::Test {
protected:
    static constexpr std::size_t ADAPTERS = 2;

    libusb_device_handle* handle(std::size_t a) { return usbs[a]->handle(); }

    void SetUp() override
    {
        for (std::size_t a = 0; a < ADAPTERS; ++a) {
            adapters.push_back(
                orv::emu::make_board(a == 0 ? orv::emu::default_board_config() : pin_board(fault_)));
            usbs.push_back(std::make_unique<orv::emu::InprocUsb>(*adapters.back()));
        }
        for (std::size_t a = 0; a < ADAPTERS; ++a) {
            orvdev_session* s = nullptr;
            ASSERT_EQ(orvdev_session_open(handle(a), nullptr, &s, &report), 0) << report.message;
            sessions.push_back(s);
        }
        // The emulated adapter takes the time its TCK would: the fastest.
        orvdev_jtag_options o{};
        orvdev_jtag_options_init(&o);
        o.tck_khz = 30000;
        ASSERT_EQ(orvdev_jtag_open(sessions[1], &o, &jtag, &report), 0) << report.message;
        ASSERT_EQ(orvdev_chain_scan(jtag, &chain, &report), 0) << report.message;
        ASSERT_EQ(chain.count, 2u);
    }

    void TearDown() override
    {
        orvdev_i2c_close(i2c);
        orvdev_flash_close(flash);
        orvdev_bscan_close(bscan);
        orvdev_jtag_close(jtag);
        for (orvdev_bsdl* f : files) {
            orvdev_bsdl_free(f);
        }
        for (orvdev_session* s : sessions) {
            orvdev_session_close(s);
        }
    }

    // The chain's handle with the STM32's file (or `u1_file`) on TAP 1.
    void open_bscan(const fs::path& u1_file = BOARDS / "STM32F301_F302_UFQFPN32.bsd")
    {
        for (const fs::path& path : {BOARDS / "CortexMx.bsd", u1_file}) {
            orvdev_bsdl* f = nullptr;
            ASSERT_EQ(orvdev_bsdl_load(path.c_str(), &f, nullptr, &report), 0) << report.message;
            files.push_back(f);
        }
        const orvdev_bsdl* taps[2] = {files[0], files[1]};
        ASSERT_EQ(orvdev_bscan_open(jtag, &chain, taps, &bscan, &report), 0) << report.message;
    }

    std::int32_t open_pins(orvdev_spi_pins pins, std::uint32_t tap = U1)
    {
        return orvdev_flash_open_bscan(bscan, tap, &pins, nullptr, &flash, &report);
    }

    Fault fault_ = Fault::none;
    std::vector<std::unique_ptr<orv::emu::Adapter>> adapters;
    std::vector<std::unique_ptr<orv::emu::InprocUsb>> usbs;
    std::vector<orvdev_session*> sessions;
    orvdev_jtag* jtag = nullptr;
    orvdev_chain chain{};
    std::vector<orvdev_bsdl*> files;
    orvdev_bscan* bscan = nullptr;
    orvdev_flash* flash = nullptr;
    orvdev_i2c* i2c = nullptr;
    orvdev_report report{};
};

const orvdev_spi_pins PINS{"PA4", "PA5", "PA7", "PA6", 0};

// ---- the same flash tests on either bus ---------------------------------

struct BusCase {
    const char* name;
    bool pins;
    int mode;
    std::uint8_t jedec[3];
    std::uint64_t size;
    bool writes; // the write, verify and erase steps too (mode 3 reads alone: pins are slow to emulate)
};

class EitherBus : public PinBus, public testing::WithParamInterface<BusCase> {
protected:
    void SetUp() override
    {
        PinBus::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        if (GetParam().pins) {
            open_bscan();
            if (HasFatalFailure()) {
                return;
            }
            orvdev_spi_pins pins = PINS;
            pins.mode = GetParam().mode;
            ASSERT_EQ(open_pins(pins), 0) << report.message;
        } else {
            ASSERT_EQ(orvdev_flash_open(sessions[0], nullptr, &flash, &report), 0) << report.message;
        }
    }
};

TEST_P(EitherBus, IdentifiesReadsWritesVerifiesAndErases)
{
    orvdev_flash_info info{};
    orvdev_flash_get_info(flash, &info);
    EXPECT_TRUE(std::equal(std::begin(info.jedec_id), std::end(info.jedec_id), GetParam().jedec));
    EXPECT_EQ(info.size, GetParam().size);
    EXPECT_EQ(info.source, ORVDEV_SOURCE_SFDP);
    if (!GetParam().writes) {
        std::vector<std::uint8_t> blank(40, 0);
        ASSERT_EQ(orvdev_flash_read(flash, 0x2000, blank.data(), blank.size(), &report), 0) << report.message;
        EXPECT_TRUE(std::all_of(blank.begin(), blank.end(), [](std::uint8_t b) { return b == 0xFF; }));
        return;
    }

    // Across a block and a page boundary: programmed without an erase on
    // the blank part; one byte changed erases its block alone; the same
    // image again costs nothing.
    constexpr std::uint64_t ADDR = 0x0FC0;
    std::vector<std::uint8_t> image(160);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    orvdev_write_report written{};
    ASSERT_EQ(orvdev_flash_write(flash, ADDR, image.data(), image.size(), nullptr, &written, &report), 0)
        << report.message;
    EXPECT_EQ(written.erased_count, 0u);
    EXPECT_EQ(written.pages_programmed, 2u);
    image[100] ^= 0x40; // a bit set: the block must be erased
    ASSERT_EQ(orvdev_flash_write(flash, ADDR, image.data(), image.size(), nullptr, &written, &report), 0)
        << report.message;
    ASSERT_EQ(written.erased_count, 1u);
    EXPECT_EQ(written.erased[0].count, 1u);

    std::vector<std::uint8_t> back(image.size() + 2, 0xA5);
    ASSERT_EQ(orvdev_flash_read(flash, ADDR - 1, back.data(), back.size(), &report), 0) << report.message;
    EXPECT_EQ(back.front(), 0xFF);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), back.begin() + 1));
    EXPECT_EQ(back.back(), 0xFF);

    ASSERT_EQ(orvdev_flash_write(flash, ADDR, image.data(), image.size(), nullptr, &written, &report), 0);
    EXPECT_EQ(written.erased_count, 0u);
    EXPECT_EQ(written.pages_programmed, 0u);
    EXPECT_EQ(orvdev_flash_verify(flash, ADDR, image.data(), image.size(), nullptr, &report), 0);
    image[70] ^= 0x01;
    orvdev_mismatch mismatch{};
    EXPECT_EQ(orvdev_flash_verify(flash, ADDR, image.data(), image.size(), &mismatch, &report),
              ORVDEV_ERROR_MISMATCH);
    EXPECT_EQ(mismatch.addr, ADDR + 70);

    orvdev_erase_report erased{};
    ASSERT_EQ(orvdev_flash_erase(flash, 0x1000, 0x1000, 0, &erased, &report), 0) << report.message;
    std::vector<std::uint8_t> blank(16, 0);
    ASSERT_EQ(orvdev_flash_read(flash, 0x1000, blank.data(), blank.size(), &report), 0);
    EXPECT_TRUE(std::all_of(blank.begin(), blank.end(), [](std::uint8_t b) { return b == 0xFF; }));
    ASSERT_EQ(orvdev_flash_read(flash, ADDR, back.data(), 16, &report), 0);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 16, back.begin()));
}

INSTANTIATE_TEST_SUITE_P(Flash, EitherBus,
                         testing::Values(BusCase{"connector", false, 0, {0xEF, 0x40, 0x16}, 4u << 20, true},
                                         BusCase{"pins_mode0", true, 0, {0xEF, 0x40, 0x14}, 1u << 20, true},
                                         BusCase{"pins_mode3", true, 3, {0xEF, 0x40, 0x14}, 1u << 20, true}),
                         [](const testing::TestParamInfo<BusCase>& p) { return std::string(p.param.name); });

// ---- refusals ----------------------------------------------------------------

// A copy of the STM32's file with `from` replaced by `to`.
fs::path write_changed_file(const char* name, const std::string& from, const std::string& to)
{
    std::ifstream in(BOARDS / "STM32F301_F302_UFQFPN32.bsd");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    const fs::path path = fs::path(testing::TempDir()) / name;
    std::ofstream(path) << text;
    return path;
}

// The instruction list without EXTEST.
fs::path write_file_without_extest()
{
    return write_changed_file("stm32_no_extest.bsd", "\"EXTEST  (00000),\" &", "");
}

TEST_F(PinBus, BadPinsAndTapsAreRefusedBeforeAnythingIsDriven)
{
    open_bscan();
    struct Case {
        const char* what;
        orvdev_spi_pins pins;
        std::uint32_t tap;
        std::int32_t code;
        const char* says;
    };
    const Case cases[] = {
        {"unknown pin", {"PA4", "PA5", "PZ9", "PA6", 0}, U1, ORVDEV_ERROR_UNKNOWN_PIN, "PZ9"},
        {"input-only CS",
         {"BOOT0", "PA5", "PA7", "PA6", 0},
         U1,
         ORVDEV_ERROR_INVALID_ARGUMENT,
         "cannot drive"},
        {"pin given twice", {"PA4", "PA5", "PA5", "PA6", 0}, U1, ORVDEV_ERROR_INVALID_ARGUMENT, "already"},
        {"mode 1", {"PA4", "PA5", "PA7", "PA6", 1}, U1, ORVDEV_ERROR_INVALID_ARGUMENT, "mode"},
        {"no pin named", {"PA4", "", "PA7", "PA6", 0}, U1, ORVDEV_ERROR_INVALID_ARGUMENT, "named"},
        {"TAP past the chain", PINS, 5, ORVDEV_ERROR_INVALID_ARGUMENT, "TAP 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(open_pins(c.pins, c.tap), c.code);
        EXPECT_NE(std::string(report.message).find(c.says), std::string::npos) << report.message;
        EXPECT_EQ(flash, nullptr);
    }
    // Nothing was driven: the STM32 still samples its pins in its normal
    // function, CS still pulled up.
    std::vector<orvdev_bscan_pin> pins(100);
    ASSERT_EQ(orvdev_bscan_sample(bscan, U1, pins.data(), 100, &report), 0) << report.message;
}

TEST_F(PinBus, AFileWithoutExtestIsRefusedWithTheReason)
{
    open_bscan(write_file_without_extest());
    EXPECT_EQ(open_pins(PINS), ORVDEV_ERROR_BSCAN_UNSUPPORTED);
    EXPECT_NE(std::string(report.message).find("EXTEST"), std::string::npos) << report.message;
}

// ---- net faults --------------------------------------------------------------

// The board with a fault put in, and what the bus must answer: the code
// and a text naming the line.
struct FaultCase {
    const char* name;
    Fault fault;
    std::int32_t code;
    const char* says;
};

class NetFault : public PinBus, public testing::WithParamInterface<FaultCase> {
protected:
    void SetUp() override
    {
        fault_ = GetParam().fault;
        PinBus::SetUp();
    }
};

std::string fault_name(const testing::TestParamInfo<FaultCase>& p)
{
    return p.param.name;
}

// An open MISO or a stuck SCK fails the open, naming the line: no flash,
// never data.
class SpiNetFault : public NetFault {};
TEST_P(SpiNetFault, NamesTheLineAndGivesNoData)
{
    open_bscan();
    EXPECT_EQ(open_pins(PINS), GetParam().code);
    EXPECT_NE(std::string(report.message).find(GetParam().says), std::string::npos) << report.message;
    EXPECT_EQ(flash, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Spi, SpiNetFault,
    testing::Values(FaultCase{"open_miso", Fault::open_miso, ORVDEV_ERROR_NO_FLASH, "MISO (PA6)"},
                    FaultCase{"stuck_sck", Fault::stuck_sck, ORVDEV_ERROR_NO_FLASH, "SCK (PA5)"}),
    fault_name);

// ---- I2C: the same EEPROM tests on either bus ----------------------------------

struct I2cCase {
    const char* name;
    bool pins;
    int offset_bytes;       // the EEPROM's address bytes
    std::uint32_t page;     // its page size
    std::uint32_t capacity; // its size
};

class EitherI2cBus : public PinBus, public testing::WithParamInterface<I2cCase> {
protected:
    void SetUp() override
    {
        PinBus::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        if (GetParam().pins) {
            open_bscan();
            if (HasFatalFailure()) {
                return;
            }
            const orvdev_i2c_pins pins{"PB6", "PB7", 0};
            ASSERT_EQ(orvdev_i2c_open_bscan(bscan, U1, &pins, nullptr, &i2c, &report), 0) << report.message;
        } else {
            ASSERT_EQ(orvdev_i2c_open(sessions[0], nullptr, &i2c, &report), 0) << report.message;
        }
    }
};

TEST_P(EitherI2cBus, DetectsWritesReadsAndTransfers)
{
    const I2cCase& c = GetParam();
    constexpr std::uint32_t EEPROM = 0x50;
    // Probes as i2cdetect makes them: the EEPROM answers, nothing else in
    // its neighbourhood does.
    std::uint8_t present[8] = {};
    ASSERT_EQ(orvdev_i2c_detect(i2c, 0x4C, 0x53, ORVDEV_PROBE_AUTO, present, &report), 0) << report.message;
    for (std::uint32_t a = 0x4C; a <= 0x53; ++a) {
        EXPECT_EQ(present[a - 0x4C], a == EEPROM ? 1 : 0) << "address " << a;
    }

    // Page writes across a page boundary, read back as a register read and
    // as one combined transfer with a repeated START.
    const std::uint32_t offset = c.page - 3;
    std::vector<std::uint8_t> data(c.page + 5);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0x30 + 11 * i);
    }
    ASSERT_EQ(orvdev_i2c_eeprom_write(i2c, EEPROM, offset, c.offset_bytes, c.page, data.data(),
                                      static_cast<std::uint32_t>(data.size()), 0, &report),
              0)
        << report.message;
    std::vector<std::uint8_t> back(data.size() + 2, 0xA5);
    ASSERT_EQ(orvdev_i2c_read_reg(i2c, EEPROM, offset - 1, c.offset_bytes, back.data(),
                                  static_cast<std::uint32_t>(back.size()), &report),
              0)
        << report.message;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 1));

    std::uint8_t select[2] = {};
    if (c.offset_bytes == 2) {
        select[0] = static_cast<std::uint8_t>(offset >> 8);
    }
    select[c.offset_bytes - 1] = static_cast<std::uint8_t>(offset);
    std::vector<std::uint8_t> joined(6, 0);
    orvdev_i2c_message messages[2] = {{EEPROM, 0, static_cast<std::uint32_t>(c.offset_bytes), select},
                                      {EEPROM, 1, static_cast<std::uint32_t>(joined.size()), joined.data()}};
    ASSERT_EQ(orvdev_i2c_transfer(i2c, messages, 2, &report), 0) << report.message;
    EXPECT_TRUE(std::equal(joined.begin(), joined.end(), data.begin()));

    // A plain read goes on from the EEPROM's pointer; more than one
    // transaction holds: split, the pointer carrying on.
    std::vector<std::uint8_t> whole(std::min<std::uint32_t>(c.capacity, 600), 0);
    ASSERT_EQ(orvdev_i2c_read_reg(i2c, EEPROM, 0, c.offset_bytes, whole.data(),
                                  static_cast<std::uint32_t>(whole.size()), &report),
              0)
        << report.message;
    EXPECT_TRUE(std::equal(data.begin(), data.end(), whole.begin() + offset));

    // Nobody at 0x51: refused as i2cset is, the caller's buffer untouched.
    const std::uint8_t byte = 0x12;
    EXPECT_EQ(orvdev_i2c_write(i2c, 0x51, &byte, 1, &report), ORVDEV_ERROR_I2C_NO_ACK);
    std::uint8_t untouched[4] = {1, 2, 3, 4};
    EXPECT_EQ(orvdev_i2c_read(i2c, 0x51, untouched, 4, &report), ORVDEV_ERROR_I2C_NO_ACK);
    EXPECT_EQ(untouched[0], 1);
    EXPECT_EQ(untouched[3], 4);
    std::vector<std::uint8_t> kept(4, 0x77);
    orvdev_i2c_message missing[2] = {{EEPROM, 0, static_cast<std::uint32_t>(c.offset_bytes), select},
                                     {0x51, 1, 4, kept.data()}};
    EXPECT_EQ(orvdev_i2c_transfer(i2c, missing, 2, &report), ORVDEV_ERROR_I2C_NO_ACK);
    EXPECT_EQ(report.message_index, 1);
    EXPECT_EQ(kept, std::vector<std::uint8_t>(4, 0x77));
}

INSTANTIATE_TEST_SUITE_P(I2c, EitherI2cBus,
                         testing::Values(I2cCase{"connector", false, 1, 8, 256},
                                         I2cCase{"pins", true, 2, 32, 4096}),
                         [](const testing::TestParamInfo<I2cCase>& p) { return std::string(p.param.name); });

TEST_F(PinBus, BadI2cPinsAreRefusedBeforeAnythingIsDriven)
{
    open_bscan(write_changed_file("stm32_pb6_two_state.bsd", "(BC_1,\tPB6,\t\tOUTPUT3,\tX,\t12,\t1,\tZ)",
                                  "(BC_1,\tPB6,\t\tOUTPUT2,\tX)"));
    struct Case {
        const char* what;
        orvdev_i2c_pins pins;
        std::int32_t code;
        const char* says;
    };
    const Case cases[] = {
        {"unknown pin", {"PA5", "PZ9", 0}, ORVDEV_ERROR_UNKNOWN_PIN, "PZ9"},
        {"input-only SCL", {"BOOT0", "PB7", 0}, ORVDEV_ERROR_INVALID_ARGUMENT, "cannot pull it low"},
        {"no control cell", {"PB6", "PB7", 0}, ORVDEV_ERROR_INVALID_ARGUMENT, "no control cell"},
        {"one pin for both", {"PB7", "PB7", 0}, ORVDEV_ERROR_INVALID_ARGUMENT, "already"},
        {"no pin named", {"PB6", "", 0}, ORVDEV_ERROR_INVALID_ARGUMENT, "named"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(orvdev_i2c_open_bscan(bscan, U1, &c.pins, nullptr, &i2c, &report), c.code);
        EXPECT_NE(std::string(report.message).find(c.says), std::string::npos) << report.message;
        EXPECT_EQ(i2c, nullptr);
    }
}

TEST_F(PinBus, AnI2cBusOnAFileWithoutExtestIsRefused)
{
    open_bscan(write_file_without_extest());
    const orvdev_i2c_pins pins{"PB6", "PB7", 0};
    EXPECT_EQ(orvdev_i2c_open_bscan(bscan, U1, &pins, nullptr, &i2c, &report),
              ORVDEV_ERROR_BSCAN_UNSUPPORTED);
    EXPECT_NE(std::string(report.message).find("EXTEST"), std::string::npos) << report.message;
}

class I2cNetFault : public NetFault {};

// A stuck SDA fails the open, naming the line; an open SDA (the pin off
// its net: the EEPROM never seen) opens, and every transaction fails
// unacknowledged, never with data.
TEST_P(I2cNetFault, GivesAnErrorNamingTheLineNeverData)
{
    open_bscan();
    const orvdev_i2c_pins pins{"PB6", "PB7", 0};
    const std::int32_t rc = orvdev_i2c_open_bscan(bscan, U1, &pins, nullptr, &i2c, &report);
    if (rc == 0) {
        std::uint8_t buf[4] = {9, 9, 9, 9};
        EXPECT_EQ(orvdev_i2c_read_reg(i2c, 0x50, 0, 2, buf, 4, &report), GetParam().code);
        EXPECT_EQ(buf[0], 9);
    } else {
        EXPECT_EQ(rc, GetParam().code);
        EXPECT_EQ(i2c, nullptr);
    }
    EXPECT_NE(std::string(report.message).find(GetParam().says), std::string::npos) << report.message;
}

INSTANTIATE_TEST_SUITE_P(
    I2c, I2cNetFault,
    testing::Values(FaultCase{"stuck_sda", Fault::stuck_sda, ORVDEV_ERROR_I2C_LINE_HELD, "SDA (PB7)"},
                    FaultCase{"open_sda", Fault::open_sda, ORVDEV_ERROR_I2C_NO_ACK, "0x50"}),
    fault_name);

class StretchingEeprom : public PinBus {
protected:
    void SetUp() override
    {
        fault_ = Fault::stretching_eeprom;
        PinBus::SetUp();
    }
};

// A 24C32 that holds SCL low after each acknowledge: a bus that does not
// wait sees SCL low and fails, never with data; one that waits for SCL
// writes and reads it as any other.
TEST_F(StretchingEeprom, IsWaitedForWhenAskedAndRefusedOtherwise)
{
    open_bscan();
    orvdev_i2c_pins pins{"PB6", "PB7", 0};
    ASSERT_EQ(orvdev_i2c_open_bscan(bscan, U1, &pins, nullptr, &i2c, &report), 0) << report.message;
    std::uint8_t untouched[4] = {9, 9, 9, 9};
    EXPECT_EQ(orvdev_i2c_read_reg(i2c, 0x50, 0, 2, untouched, 4, &report), ORVDEV_ERROR_I2C_LINE_HELD);
    EXPECT_NE(std::string(report.message).find("SCL (PB6)"), std::string::npos) << report.message;
    EXPECT_NE(std::string(report.message).find("--stretch"), std::string::npos) << report.message;
    EXPECT_EQ(untouched[0], 9);
    orvdev_i2c_close(i2c);
    i2c = nullptr;

    pins.stretch = 1;
    ASSERT_EQ(orvdev_i2c_open_bscan(bscan, U1, &pins, nullptr, &i2c, &report), 0) << report.message;
    std::vector<std::uint8_t> data(40);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(0xC3 ^ i);
    }
    ASSERT_EQ(orvdev_i2c_eeprom_write(i2c, 0x50, 0x7F0, 2, 32, data.data(), 40, 0, &report), 0)
        << report.message;
    std::vector<std::uint8_t> back(40, 0);
    ASSERT_EQ(orvdev_i2c_read_reg(i2c, 0x50, 0x7F0, 2, back.data(), 40, &report), 0) << report.message;
    EXPECT_EQ(back, data);
}

} // namespace
