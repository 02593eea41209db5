// Boards from board files, and the parts they bring, driven by the libraries
// in-process: a SPI flash of any size (4-byte addressing, SFDP, block
// protection, real-time busy), EEPROMs from 24C01 to 24C512, a chain with a
// TAP without IDCODE.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "lib/wire/spi_nor.hpp"
#include "orv_lumo_iic.h"
#include "orv_lumo_spi.h"
#include "orv_tapwire.h"
#include "sim/emulator/board_file.hpp"
#include "sim/emulator/inproc_usb.hpp"
#include "tests/emulator/emu_test_util.hpp"

namespace orv::emu::test {
namespace {

namespace fs = std::filesystem;
constexpr std::uint32_t TIMEOUT = 5;
constexpr std::size_t MIB = 1024 * 1024;

// A fresh directory for one test's board and image files.
fs::path scratch_dir(const std::string& name)
{
    const fs::path dir = fs::path(::testing::TempDir()) / ("orv_boards_" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void write_file(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- board files ----------------------------------------------------------

TEST(BoardFile, ShippedBoardsParseAndTheDefaultIsTheBuiltInOne)
{
    const fs::path dir = ORV_BOARD_SOURCE_DIR;
    EXPECT_EQ(load_board_file(dir / "default.json"), default_board_config());
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".json") {
            EXPECT_NO_THROW((void)load_board_file(entry.path())) << entry.path();
        }
    }
    EXPECT_EQ(find_board("default"), dir / "default.json");
    EXPECT_EQ(find_board("w25q256.json"), dir / "w25q256.json");
    EXPECT_EQ(find_board("./no-such-board.json"), fs::path("./no-such-board.json")); // a path as given
    EXPECT_EQ(find_board("no-such-board"), std::nullopt);
    EXPECT_EQ(load_board(""), default_board_config());
}

TEST(BoardFile, EveryKeyIsRead)
{
    const fs::path dir = scratch_dir("every_key");
    write_file(dir / "flash.bin", "");
    const BoardConfig board = parse_board(R"({
      "description": "all of it",
      "jtag": [
        {"name": "dap", "idcode": "0x4ba00477", "ir_length": 4,
         "instructions": {"IDCODE": "0xe", "USER": "0x8", "BYPASS": "0xf"}, "user_length": 40},
        {"ir_length": 8}
      ],
      "spi_flash": {"jedec_id": "c2 20 19", "size": 33554432, "page_size": 512,
                    "erase": {"0xd8": 65536, "0x20": 4096}, "sfdp": true, "status": "0x9c",
                    "program_us": 700, "erase_us": 45000, "image": "flash.bin", "persist": true},
      "i2c": [
        {"address": "0x50", "type": "eeprom", "size": 4096, "page_size": 32, "address_bytes": 2,
         "image": "eeprom.bin", "persist": true},
        {"address": 104, "type": "registers", "reset": {"0x75": "0x68", "0x6b": 64}, "read_only": ["0x75"]},
        {"address": "0x2a5", "ten_bit": true, "type": "memory", "size": 1024}
      ]})",
                                          dir / "board.json");
    ASSERT_EQ(board.jtag.size(), 2u);
    EXPECT_EQ(board.jtag[0], (TapConfig{"dap", 0x4BA00477, 4, 0xE, 0x8, 0xF, 40, 0, true}));
    // No IDCODE; BYPASS all ones, the other codes their defaults.
    EXPECT_EQ(board.jtag[1], (TapConfig{"tap1", 0, 8, 0x1, 0x2, 0xFF, 32, 0, false}));

    SpiFlashConfig flash;
    flash.jedec_id = {0xC2, 0x20, 0x19};
    flash.size = 32 * MIB;
    flash.page_size = 512;
    flash.erase = {{0x20, 4096}, {0xD8, 65536}};
    flash.sfdp = true;
    flash.status = 0x9C;
    flash.program_us = 700;
    flash.erase_us = 45000;
    EXPECT_EQ(board.spi_flash, flash);
    EXPECT_EQ(board.spi_flash_image, (ImageFile{dir / "flash.bin", true}));

    using Type = I2cDeviceConfig::Type;
    ASSERT_EQ(board.i2c.size(), 3u);
    EXPECT_EQ(
        board.i2c[0],
        (I2cDeviceConfig{Type::eeprom, 0x50, false, 4096, 32, 2, {}, ImageFile{dir / "eeprom.bin", true}}));
    EXPECT_EQ(board.i2c[1],
              (I2cDeviceConfig{
                  Type::registers, 0x68, false, 256, 256, 1, {{0x6B, 0x40, false}, {0x75, 0x68, true}}}));
    EXPECT_EQ(board.i2c[2], (I2cDeviceConfig{Type::memory, 0x2A5, true, 1024, 1024, 2}));
}

struct Refusal {
    const char* json;
    const char* where;    // the JSON path in the message
    const char* expected; // a part of what the message says was expected
};

TEST(BoardFile, BadBoardsAreRefusedWithWhereAndWhat)
{
    const fs::path dir = scratch_dir("refusals");
    write_file(dir / "big.bin", std::string(300, 'x'));
    write_file(dir / "small.bin", "x");
    const Refusal refusals[] = {
        {R"({"jtag": [})", "line 1, column 11", "JSON"},
        {R"([1, 2])", "top level", "an object"},
        {R"({"jtga": []})", "jtga", "expected one of description, jtag, spi_flash, i2c"},
        {R"({"jtag": {}})", "jtag", "a list of at most 32 TAPs"},
        {R"({"jtag": [{"idcode": "0x4ba00477"}]})", "jtag[0].ir_length", "missing"},
        {R"({"jtag": [{"ir_length": 1}]})", "jtag[0].ir_length", "from 2 to 32"},
        {R"({"jtag": [{"ir_length": "four"}]})", "jtag[0].ir_length", "got \"four\""},
        {R"({"jtag": [{"ir_length": 4, "irlen": 4}]})", "jtag[0].irlen", "expected one of name, idcode"},
        {R"({"jtag": [{"ir_length": 4, "idcode": "0x4ba00476"}]})", "jtag[0].idcode", "bit 0 set"},
        {R"({"jtag": [{"ir_length": 4, "idcode": "0x1ffffffff"}]})", "jtag[0].idcode", "a 32-bit IDCODE"},
        {R"({"jtag": [{"ir_length": 4, "idcode": 1, "instructions": {"USER": "0x1f"}}]})",
         "jtag[0].instructions.USER", "0 to 0xf"},
        {R"({"jtag": [{"ir_length": 4, "instructions": {"IDCODE": 1}}]})", "jtag[0].instructions.IDCODE",
         "without \"idcode\""},
        {R"({"jtag": [{"ir_length": 4, "instructions": {"USER": 15}}]})", "jtag[0].instructions", "differ"},
        {R"({"jtag": [{"ir_length": 4, "user_length": 65}]})", "jtag[0].user_length", "from 1 to 64"},
        {R"({"spi_flash": []})", "spi_flash", "an object"},
        {R"({"spi_flash": {"jedec_id": "ef40"}})", "spi_flash.jedec_id", "3 bytes in hex"},
        {R"({"spi_flash": {"size": 0}})", "spi_flash.size", "from 1 to 268435456"},
        {R"({"spi_flash": {"size": 536870912}})", "spi_flash.size", "from 1 to 268435456"},
        {R"({"spi_flash": {"size": -4}})", "spi_flash.size", "got -4"},
        {R"({"spi_flash": {"page_size": 300}})", "spi_flash.page_size", "a power of two"},
        {R"({"spi_flash": {"size": 1000}})", "spi_flash.size", "a multiple of the page size"},
        {R"({"spi_flash": {"erase": {"0x21": 4096}}})", "spi_flash.erase.0x21", "0x20, 0x52 and 0xd8"},
        {R"({"spi_flash": {"erase": {"0x20": 4000}}})", "spi_flash.erase.0x20", "a power of two"},
        {R"({"spi_flash": {"size": 65536, "erase": {"0xd8": 131072}}})", "spi_flash.erase.0xd8",
         "a power of two from 1 to 65536"},
        {R"({"spi_flash": {"sfdp": "yes"}})", "spi_flash.sfdp", "true or false"},
        {R"({"spi_flash": {"status": "0x02"}})", "spi_flash.status", "WIP and WEL"},
        {R"({"spi_flash": {"erase_us": 60000000}})", "spi_flash.erase_us", "up to 10000000"},
        {R"({"spi_flash": {"persist": true}})", "spi_flash.persist", "an image to persist to"},
        {R"({"spi_flash": {"image": "missing.bin"}})", "spi_flash.image", "does not exist"},
        {R"({"spi_flash": {"image": "nodir/flash.bin", "persist": true}})", "spi_flash.image",
         "an existing directory"},
        {R"({"spi_flash": {"size": 256, "erase": {}, "image": "big.bin"}})", "spi_flash.image",
         "at most 256 bytes"},
        {R"({"i2c": {}})", "i2c", "a list of I2C devices"},
        {R"({"i2c": [{"address": "0x50"}]})", "i2c[0].type", "missing"},
        {R"({"i2c": [{"address": "0x50", "type": "rom"}]})", "i2c[0].type", "eeprom, registers or memory"},
        {R"({"i2c": [{"type": "memory"}]})", "i2c[0].address", "missing"},
        {R"({"i2c": [{"address": "0x05", "type": "memory"}]})", "i2c[0].address", "from 0x08 to 0x77"},
        {R"({"i2c": [{"address": "0x2a5", "type": "memory"}]})", "i2c[0].address", "\"ten_bit\": true"},
        {R"({"i2c": [{"address": "0x400", "ten_bit": true, "type": "memory"}]})", "i2c[0].address",
         "0 to 0x3ff"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom"}]})", "i2c[0].size", "missing"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 131072}]})", "i2c[0].size",
         "from 128 to 65536"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 256, "page_size": 512}]})",
         "i2c[0].page_size", "from 1 to 256"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 4096, "address_bytes": 1}]})",
         "i2c[0].address_bytes", "2 for more than 2048 bytes"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 256, "address_bytes": 3}]})",
         "i2c[0].address_bytes", "1 or 2"},
        {R"({"i2c": [{"address": "0x51", "type": "eeprom", "size": 2048}]})", "i2c[0].address",
         "a multiple of 8"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 256}, {"address": 80, "type": "memory"}]})",
         "i2c[1].address", "0x50 is taken by i2c[0]"},
        {R"({"i2c": [{"address": "0x50", "type": "eeprom", "size": 2048}, {"address": "0x53", "type": "registers"}]})",
         "i2c[1].address", "0x53 is taken by i2c[0]"},
        {R"({"i2c": [{"address": "0x68", "type": "registers", "size": 256}]})", "i2c[0].size",
         "expected one of address, ten_bit, type, reset, read_only"},
        {R"({"i2c": [{"address": "0x68", "type": "registers", "reset": {"0x100": 1}}]})",
         "i2c[0].reset.0x100", "a register number"},
        {R"({"i2c": [{"address": "0x68", "type": "registers", "reset": {"0x10": "0x100"}}]})",
         "i2c[0].reset.0x10", "a byte"},
        {R"({"i2c": [{"address": "0x68", "type": "registers", "read_only": "0x75"}]})", "i2c[0].read_only",
         "a list of register numbers"},
        {R"({"spi_flash": {"image": "small.bin"}, "i2c": [{"address": "0x50", "type": "memory", "image": "small.bin"}]})",
         "i2c[0].image", "already spi_flash.image"},
        // Images stay beside the board file (unless the user allows others).
        {R"({"spi_flash": {"image": "../small.bin"}})", "spi_flash.image", "in the board file's directory"},
        {R"({"spi_flash": {"image": "sub/../../x.bin", "persist": true}})", "spi_flash.image",
         "--allow-outside-images"},
        {R"({"i2c": [{"address": "0x50", "type": "memory", "image": "/etc/passwd"}]})", "i2c[0].image",
         "got \"/etc/passwd\""},
        // A key comes once; the parser would keep the last one silently.
        {R"({"jtag": [], "spi_flash": {}, "jtag": [{"ir_length": 4}]})", "jtag", "\"jtag\" comes twice"},
        {R"({"i2c": [{}, {"address": "0x50", "type": "memory", "address": "0x51"}]})", "i2c[1].address",
         "each key once"},
        {R"({"spi_flash": {"erase": {"0x20": 4096, "0x20": 8192}}})", "spi_flash.erase.0x20", "comes twice"},
    };
    for (const Refusal& r : refusals) {
        try {
            (void)parse_board(r.json, dir / "bad.json");
            ADD_FAILURE() << "accepted: " << r.json;
        } catch (const BoardFileError& e) {
            EXPECT_EQ(e.file(), (dir / "bad.json").string()) << r.json;
            EXPECT_EQ(e.where(), r.where) << r.json << "\n" << e.what();
            EXPECT_NE(e.expected().find(r.expected), std::string::npos) << r.json << "\n" << e.what();
            EXPECT_EQ(std::string(e.what()), e.file() + ": " + e.where() + ": " + e.expected());
        }
    }
    EXPECT_THROW((void)load_board_file(dir / "no-such-board.json"), BoardFileError);
}

// Nesting and size are bounded before the parser would exhaust anything: a
// list nested 200000 deep is refused at the first level too many, with the
// path to it; an endless device is read no further than the bound.
TEST(BoardFile, DepthAndSizeAreBounded)
{
    const fs::path dir = scratch_dir("bounds");
    std::string deep = R"({"description": )";
    std::string where = "description";
    for (std::size_t level = 0; level < 200000; ++level) {
        deep += "[";
        if (level + 1 < MAX_BOARD_FILE_DEPTH) {
            where += "[0]";
        }
    }
    try {
        (void)parse_board(deep, dir / "deep.json");
        ADD_FAILURE() << "a board nested 200000 deep was read";
    } catch (const BoardFileError& e) {
        EXPECT_EQ(e.where(), where);
        EXPECT_NE(e.expected().find("at most 64 levels"), std::string::npos) << e.what();
    }
    std::string nested = "{\"description\": \"x\", \"jtag\": " + std::string(MAX_BOARD_FILE_DEPTH - 1, '[') +
                         std::string(MAX_BOARD_FILE_DEPTH - 1, ']') + "}";
    try {
        (void)parse_board(nested, dir / "nested.json"); // deep enough, but not a list of TAPs
    } catch (const BoardFileError& e) {
        EXPECT_EQ(e.where(), "jtag[0]") << e.what();
    }

    for (const fs::path& endless : {fs::path("/dev/zero"), dir}) {
        try {
            (void)load_board_file(endless);
            ADD_FAILURE() << endless;
        } catch (const BoardFileError& e) {
            EXPECT_EQ(e.where(), "the file");
            EXPECT_NE(e.expected().find(endless == dir ? "not a directory" : "at most 4 MiB"),
                      std::string::npos)
                << e.what();
        }
    }
    write_file(dir / "big.json", "{\"description\": \"" + std::string(MAX_BOARD_FILE_BYTES, 'x') + "\"}");
    EXPECT_THROW((void)load_board_file(dir / "big.json"), BoardFileError);
}

// What the user decides is not the file's: images outside its directory only
// with the option. A flash size that its JEDEC capacity byte contradicts is
// told, not refused.
TEST(BoardFile, OptionsAllowOutsideImagesAndWarningsTellOddSizes)
{
    const fs::path dir = scratch_dir("options");
    fs::create_directory(dir / "boards");
    write_file(dir / "shared.bin", "abc");
    std::vector<std::string> warnings;
    BoardFileOptions options;
    options.images_anywhere = true;
    options.warn = [&warnings](const std::string& text) { warnings.push_back(text); };
    const BoardConfig board =
        parse_board(R"({"spi_flash": {"jedec_id": "ef4016", "size": 8388608, "image": "../shared.bin"}})",
                    dir / "boards/board.json", options);
    EXPECT_EQ(board.spi_flash_image->path, dir / "boards/../shared.bin");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], (dir / "boards/board.json").string() +
                               ": spi_flash.size: 8388608 bytes, but the JEDEC ID's capacity byte 0x16 says "
                               "4194304 bytes: software that sizes the part from its ID sees that");
    warnings.clear();
    (void)parse_board(R"({"spi_flash": {"jedec_id": "ef4017", "size": 8388608}})", dir / "board.json",
                      options);
    EXPECT_TRUE(warnings.empty());
    // A board file named without a directory finds its persisted image beside it.
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    EXPECT_NO_THROW(
        (void)parse_board(R"({"spi_flash": {"image": "new.bin", "persist": true}})", "board.json"));
    fs::current_path(here);
}

// One chip-select window of MSB-first bytes to the flash model.
void transact(SpiFlash& flash, const Bytes& bytes)
{
    flash.select();
    for (const std::uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            (void)flash.clock(((byte >> bit) & 1) != 0, BitOrder::msb_first);
        }
    }
    flash.deselect();
}

TEST(BoardFile, ImagesArePaddedAndPersistedWhenChanged)
{
    const fs::path dir = scratch_dir("images");
    fs::create_directory(dir / "sub");
    write_file(dir / "flash.bin", "\x01\x02\x03");
    write_file(dir / "rom.bin", "abc");
    const BoardConfig config = parse_board(R"({
      "spi_flash": {"size": 65536, "erase": {"0x20": 4096}, "image": "flash.bin", "persist": true},
      "i2c": [{"address": "0x50", "type": "eeprom", "size": 256, "image": "sub/eeprom.bin", "persist": true},
              {"address": "0x51", "type": "memory", "size": 16, "image": "rom.bin"}]})",
                                           dir / "board.json");
    Board board = build_board(config);
    EXPECT_EQ(Bytes(board.flash->memory().begin(), board.flash->memory().begin() + 4), hex("01 02 03 FF"));
    auto* rom = dynamic_cast<I2cMemory*>(board.i2c.find(0x51, false));
    auto* eeprom = dynamic_cast<I2cMemory*>(board.i2c.find(0x50, false));
    ASSERT_TRUE(rom != nullptr && eeprom != nullptr);
    EXPECT_EQ(Bytes(rom->memory().begin(), rom->memory().begin() + 4), hex("61 62 63 FF"));
    EXPECT_EQ(eeprom->memory()[0], 0xFF); // its image did not exist: made empty, to lock it

    // Nothing changed: nothing written, the EEPROM image empty.
    EXPECT_TRUE(save_images(board).empty());
    EXPECT_EQ(read_file(dir / "sub/eeprom.bin"), "");
    EXPECT_EQ(read_file(dir / "flash.bin"), "\x01\x02\x03");

    // A change is written back whole, only for persisted images, without
    // temporary files left behind.
    transact(*board.flash, {nor::CMD_WRITE_ENABLE});
    transact(*board.flash, hex("20 00 00 00"));
    EXPECT_EQ(board.flash->erases(), 1u);
    rom->begin(0x51, false);
    (void)rom->write(0x00);
    (void)rom->write(0x7A);
    EXPECT_TRUE(save_images(board).empty());
    EXPECT_EQ(read_file(dir / "flash.bin"), std::string(65536, '\xFF'));
    EXPECT_EQ(read_file(dir / "rom.bin"), "abc");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);

    // An image that cannot be written is reported and stays due.
    eeprom->begin(0x50, false);
    (void)eeprom->write(0x00);
    (void)eeprom->write(0x42);
    fs::remove_all(dir / "sub");
    const auto failures = save_images(board);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("eeprom.bin"), std::string::npos) << failures[0];
    fs::create_directory(dir / "sub");
    EXPECT_TRUE(save_images(board).empty());
    EXPECT_EQ(read_file(dir / "sub/eeprom.bin").substr(0, 2), "\x42\xFF");
}

// A persisted image is one board's while it is loaded; it is written back
// over the file a link leads to, with that file's mode; an image made only to
// be locked goes again when nothing was saved to it.
TEST(BoardFile, PersistedImagesAreLockedAndWrittenThroughLinksKeepingTheirMode)
{
    const fs::path dir = scratch_dir("image_locks");
    fs::create_directory(dir / "store");
    write_file(dir / "store/flash.bin", "\x01\x02");
    fs::permissions(dir / "store/flash.bin", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("store/flash.bin", dir / "flash.bin");
    const BoardConfig config = parse_board(R"({
      "spi_flash": {"size": 65536, "erase": {"0x20": 4096}, "image": "flash.bin", "persist": true},
      "i2c": [{"address": "0x50", "type": "eeprom", "size": 256, "image": "eeprom.bin", "persist": true}]})",
                                           dir / "board.json");
    {
        Board board = build_board(config);
        EXPECT_THROW((void)build_board(config), ImageBusy);
        transact(*board.flash, {nor::CMD_WRITE_ENABLE});
        transact(*board.flash, hex("20 00 00 00"));
        EXPECT_TRUE(save_images(board).empty());
        EXPECT_THROW((void)build_board(config), ImageBusy); // the new file is locked too
        EXPECT_TRUE(fs::is_symlink(dir / "flash.bin"));
        EXPECT_EQ(read_file(dir / "store/flash.bin"), std::string(65536, '\xFF'));
        EXPECT_EQ(fs::status(dir / "store/flash.bin").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_TRUE(fs::exists(dir / "eeprom.bin"));
    }
    EXPECT_FALSE(fs::exists(dir / "eeprom.bin"));
    Board again = build_board(config); // free again
    EXPECT_EQ(again.flash->memory()[0], 0xFF);
}

// ---- parts through the libraries -------------------------------------------

class Part : public ::testing::Test {
protected:
    void use(const BoardConfig& board)
    {
        adapter = make_board(board);
        usb = std::make_unique<InprocUsb>(*adapter);
        handle = usb->handle();
    }
    void use_flash(const SpiFlashConfig& flash)
    {
        BoardConfig board;
        board.spi_flash = flash;
        use(board);
        config.clock_freq = 30000;
        config.cmd_enable = 1;
        ASSERT_EQ(lumo_spi_set_config(handle, &config, TIMEOUT), 0);
    }

    std::int32_t spi(std::uint8_t cmd, std::uint8_t addr_bytes, std::uint32_t addr, const Bytes& write)
    {
        lumo_spi_config c = config;
        c.addr_bytes = addr_bytes;
        return lumo_spi_read_write_bytes(handle, static_cast<std::uint32_t>(write.size()),
                                         write.empty() ? nullptr : write.data(), nullptr, addr, cmd, 0, &c,
                                         TIMEOUT);
    }
    Bytes read(std::uint8_t cmd, std::uint8_t addr_bytes, std::uint32_t addr, std::uint32_t len,
               std::uint32_t dummy = 0)
    {
        lumo_spi_config c = config;
        c.addr_bytes = addr_bytes;
        Bytes out(len, 0xEE);
        EXPECT_EQ(lumo_spi_read_write_bytes(handle, len, nullptr, out.data(), addr, cmd, dummy, &c, TIMEOUT),
                  0);
        return out;
    }
    std::uint8_t status(std::uint8_t cmd = nor::CMD_READ_STATUS) { return read(cmd, 0, 0, 1)[0]; }
    void write_enable() { ASSERT_EQ(spi(nor::CMD_WRITE_ENABLE, 0, 0, {}), 0); }
    void wait_ready()
    {
        for (int i = 0; i < 50 && (status() & nor::STATUS_BUSY) != 0; ++i) {
        }
        EXPECT_EQ(status() & nor::STATUS_BUSY, 0) << "flash stays busy";
    }

    std::unique_ptr<Adapter> adapter;
    std::unique_ptr<InprocUsb> usb;
    libusb_device_handle* handle = nullptr;
    lumo_spi_config config{};
};

SpiFlashConfig flash_of(std::size_t size, std::uint8_t status = 0)
{
    SpiFlashConfig flash;
    flash.size = size;
    flash.status = status;
    return flash;
}

TEST_F(Part, FlashAbove16MiBTakesFourByteAddresses)
{
    use_flash(flash_of(32 * MIB));
    auto mem = adapter->flash_memory();
    mem[0x123456] = 0x11;
    mem[0x1123456] = 0x22;
    // Three address bytes reach the low 16 MiB; the 4-byte opcodes reach all.
    EXPECT_EQ(read(nor::CMD_READ, 3, 0x123456, 1), Bytes{0x11});
    EXPECT_EQ(read(nor::CMD_READ_4B, 4, 0x1123456, 1), Bytes{0x22});
    EXPECT_EQ(read(nor::CMD_FAST_READ_4B, 4, 0x1123456, 1, 8), Bytes{0x22});
    write_enable();
    ASSERT_EQ(spi(nor::CMD_PAGE_PROGRAM_4B, 4, 0x1FFFFFE, hex("A1 A2 A3")), 0); // wraps in its page
    wait_ready();
    EXPECT_EQ(read(nor::CMD_READ_4B, 4, 0x1FFFFFE, 2), hex("A1 A2"));
    EXPECT_EQ(mem[0x1FFFF00], 0xA3);
    std::fill(mem.begin() + 0x1FE0000, mem.end(), std::uint8_t{0});
    write_enable();
    ASSERT_EQ(spi(nor::CMD_SECTOR_ERASE_4B, 4, 0x1FFF123, {}), 0);
    wait_ready();
    EXPECT_EQ(mem[0x1FFF000], 0xFF);
    EXPECT_EQ(mem[0x1FFEFFF], 0x00);
    write_enable();
    ASSERT_EQ(spi(nor::CMD_BLOCK_ERASE_64K_4B, 4, 0x1FE0000, {}), 0);
    wait_ready();
    EXPECT_EQ(mem[0x1FE0000], 0xFF);

    // In 4-byte mode the usual opcodes take four address bytes.
    ASSERT_EQ(spi(nor::CMD_ENTER_4BYTE, 0, 0, {}), 0);
    EXPECT_TRUE(adapter->flash().four_byte_mode());
    EXPECT_EQ(read(nor::CMD_READ, 4, 0x1123456, 1), Bytes{0x22});
    EXPECT_EQ(read(nor::CMD_FAST_READ, 4, 0x1123456, 1, 8), Bytes{0x22});
    write_enable();
    ASSERT_EQ(spi(nor::CMD_PAGE_PROGRAM, 4, 0x1800000, hex("5A")), 0);
    wait_ready();
    EXPECT_EQ(mem[0x1800000], 0x5A);
    write_enable();
    ASSERT_EQ(spi(nor::CMD_SECTOR_ERASE, 4, 0x1800000, {}), 0);
    wait_ready();
    EXPECT_EQ(mem[0x1800000], 0xFF);
    ASSERT_EQ(spi(nor::CMD_EXIT_4BYTE, 0, 0, {}), 0);
    EXPECT_FALSE(adapter->flash().four_byte_mode());
    EXPECT_EQ(read(nor::CMD_READ, 3, 0x123456, 1), Bytes{0x11});

    // A 16 MiB part knows none of it.
    use_flash(flash_of(16 * MIB));
    adapter->flash_memory()[0] = 0x33;
    ASSERT_EQ(spi(nor::CMD_ENTER_4BYTE, 0, 0, {}), 0);
    EXPECT_FALSE(adapter->flash().four_byte_mode());
    EXPECT_EQ(read(nor::CMD_READ_4B, 4, 0, 1), Bytes{0xFF});
    EXPECT_EQ(read(nor::CMD_READ, 3, 0, 1), Bytes{0x33});
}

std::uint32_t dword(const Bytes& sfdp, std::size_t table, unsigned n)
{
    std::uint32_t value = 0;
    for (unsigned i = 0; i < 4; ++i) {
        value |= std::uint32_t{sfdp.at(table + 4 * (n - 1) + i)} << (8 * i);
    }
    return value;
}

TEST_F(Part, SfdpDescribesTheConfiguredPart)
{
    struct Case {
        SpiFlashConfig flash;
        std::array<std::uint32_t, 16> dwords; // the basic flash parameter table
    };
    SpiFlashConfig big = flash_of(32 * MIB);
    big.page_size = 512;
    big.erase = {{nor::CMD_BLOCK_ERASE_64K, 65536}};
    big.program_us = 700;
    big.erase_us = 45000;
    const Case cases[] = {
        // The default W25Q32-like part: 4 KiB erase by 0x20, 32 Mbit, erase
        // types 4/32/64 KiB, 256-byte pages, three address bytes.
        {flash_of(4 * MIB),
         {0xFF8020E5, 0x01FFFFFF, 0, 0, 0xFFFFFFEE, 0x0000FFFF, 0x0000FFFF, 0x520F200C, 0x0000D810, 0,
          0x00000080, 0x80000000, 0, 0x80000007, 0, 0x00000081}},
        // 256 Mbit, no 4 KiB erase, 512-byte pages, 3 or 4 address bytes
        // (0xB7 / 0xE9), erase 3 x 16 ms, program 11 x 64 us, chip erase
        // 3 x 16 ms.
        {big,
         {0xFF82FFE7, 0x0FFFFFFF, 0, 0, 0xFFFFFFEE, 0x0000FFFF, 0x0000FFFF, 0x0000D810, 0, 0x00000220,
          0x02002A90, 0x80000000, 0, 0x80000007, 0, 0x01004081}},
    };
    for (const Case& c : cases) {
        SpiFlashConfig flash = c.flash;
        flash.sfdp = true;
        use_flash(flash);
        const Bytes sfdp = read(nor::CMD_READ_SFDP, 3, 0, 96, nor::SFDP_DUMMY_CLOCKS);
        EXPECT_EQ(Bytes(sfdp.begin(), sfdp.begin() + 8),
                  hex("53 46 44 50 06 01 00 FF")); // "SFDP" 1.6, 1 header
        EXPECT_EQ(Bytes(sfdp.begin() + 8, sfdp.begin() + 16),
                  hex("00 06 01 10 10 00 00 FF")); // 16 DWORDs at 0x10
        for (unsigned n = 1; n <= 16; ++n) {
            EXPECT_EQ(dword(sfdp, 0x10, n), c.dwords[n - 1])
                << "DWORD " << n << " of a " << flash.size << "-byte part";
        }
        EXPECT_EQ(Bytes(sfdp.begin() + 80, sfdp.end()), Bytes(16, 0xFF)); // past the table
        // Read SFDP keeps three address bytes in 4-byte mode.
        ASSERT_EQ(spi(nor::CMD_ENTER_4BYTE, 0, 0, {}), 0);
        EXPECT_EQ(read(nor::CMD_READ_SFDP, 3, 4, 2, nor::SFDP_DUMMY_CLOCKS), hex("06 01"));
    }
    use_flash(flash_of(4 * MIB)); // without "sfdp"
    EXPECT_EQ(read(nor::CMD_READ_SFDP, 3, 0, 4, nor::SFDP_DUMMY_CLOCKS), hex("FF FF FF FF"));
}

TEST_F(Part, BlockProtectionRefusesProgramAndErase)
{
    struct Case {
        std::size_t size;
        std::uint8_t status;
        std::uint32_t address;
        bool guarded;
    };
    const std::uint8_t bp1 = 1 << nor::STATUS_BP_SHIFT;
    const std::uint8_t bp6 = 6 << nor::STATUS_BP_SHIFT;
    const Case cases[] = {
        {4 * MIB, 0, 0x3FF000, false},
        {4 * MIB, bp1, 0x3F0000, true}, // the top 64 KiB
        {4 * MIB, bp1, 0x3EF000, false},
        {4 * MIB, bp1 | nor::STATUS_TB, 0x00F000, true}, // the bottom 64 KiB
        {4 * MIB, bp1 | nor::STATUS_TB, 0x3FF000, false},
        {4 * MIB, bp6, 0x200000, true}, // the top half
        {4 * MIB, bp6, 0x1FF000, false},
        {4 * MIB, nor::STATUS_BP_MASK, 0x000000, true}, // all
        {32 * MIB, bp1, 32 * MIB - 512 * 1024, true},   // 1/64 of a larger part
        {32 * MIB, bp1, 32 * MIB - 512 * 1024 - 4096, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.size << " bytes, status " << int{c.status} << ", at " << c.address);
        use_flash(flash_of(c.size, c.status));
        auto mem = adapter->flash_memory();
        const std::uint8_t ab = c.size > 16 * MIB ? 4 : 3;
        const std::uint8_t program = ab == 4 ? nor::CMD_PAGE_PROGRAM_4B : nor::CMD_PAGE_PROGRAM;
        const std::uint8_t erase = ab == 4 ? nor::CMD_SECTOR_ERASE_4B : nor::CMD_SECTOR_ERASE;
        write_enable();
        ASSERT_EQ(spi(program, ab, c.address, hex("00")), 0);
        EXPECT_EQ(status() & (nor::STATUS_WEL | nor::STATUS_BUSY), c.guarded ? 0 : nor::STATUS_BUSY);
        wait_ready();
        EXPECT_EQ(mem[c.address], c.guarded ? 0xFF : 0x00);
        std::fill_n(mem.begin() + c.address, 4096, std::uint8_t{0});
        write_enable();
        ASSERT_EQ(spi(erase, ab, c.address, {}), 0);
        wait_ready();
        EXPECT_EQ(mem[c.address + 4095], c.guarded ? 0x00 : 0xFF);
        // A chip erase is refused while any block is protected.
        mem[0] = 0;
        write_enable();
        ASSERT_EQ(spi(nor::CMD_CHIP_ERASE, 0, 0, {}), 0);
        wait_ready();
        EXPECT_EQ(mem[0], c.status == 0 ? 0xFF : 0x00);
    }

    // Write status needs WEL, keeps SR1 bits 2..7, takes SR2 as a second byte.
    use_flash(flash_of(4 * MIB));
    ASSERT_EQ(spi(nor::CMD_WRITE_STATUS, 0, 0, hex("FC")), 0);
    EXPECT_EQ(status(), 0x00);
    write_enable();
    ASSERT_EQ(spi(nor::CMD_WRITE_STATUS, 0, 0, hex("FF 02")), 0);
    wait_ready();
    EXPECT_EQ(status(), 0xFC);
    EXPECT_EQ(status(nor::CMD_READ_STATUS_2), 0x02);
    EXPECT_EQ(adapter->flash().protected_range(), std::make_pair(std::size_t{0}, 4 * MIB));
}

TEST_F(Part, FlashIsBusyForItsProgramTime)
{
    SpiFlashConfig flash = flash_of(4 * MIB);
    flash.program_us = 200000;
    use_flash(flash);
    const auto start = std::chrono::steady_clock::now();
    write_enable();
    ASSERT_EQ(spi(nor::CMD_PAGE_PROGRAM, 3, 0x100, hex("12")), 0);
    EXPECT_EQ(status() & nor::STATUS_BUSY, nor::STATUS_BUSY);
    EXPECT_EQ(read(nor::CMD_READ, 3, 0x100, 1), Bytes{0xFF}); // ignored while busy
    EXPECT_EQ(status() & nor::STATUS_BUSY, nor::STATUS_BUSY); // status reads do not shorten it
    std::this_thread::sleep_until(start + std::chrono::milliseconds(250));
    EXPECT_EQ(status() & nor::STATUS_BUSY, 0);
    EXPECT_EQ(read(nor::CMD_READ, 3, 0x100, 1), Bytes{0x12});
}

TEST_F(Part, BoardWithoutFlashOrTapsReadsPullUps)
{
    use(BoardConfig{});
    EXPECT_TRUE(adapter->flash_memory().empty());
    lumo_spi_config c{};
    c.clock_freq = 30000;
    c.cmd_enable = 1;
    ASSERT_EQ(lumo_spi_set_config(handle, &c, TIMEOUT), 0);
    Bytes id(3, 0);
    ASSERT_EQ(
        lumo_spi_read_write_bytes(handle, 3, nullptr, id.data(), 0, nor::CMD_READ_JEDEC_ID, 0, &c, TIMEOUT),
        0);
    EXPECT_EQ(id, hex("FF FF FF"));
    std::int32_t state = -1;
    ASSERT_EQ(tapwire_reset(handle, &state, TIMEOUT), 0);
    Bytes tdo(2, 0);
    ASSERT_EQ(tapwire_shift_dr(handle, &state, 16, hex("00 00").data(), tdo.data(), 0, TIMEOUT), 0);
    EXPECT_EQ(tdo, hex("FF FF"));
}

TEST_F(Part, TapWithoutIdcodeIsInBypassAfterReset)
{
    use(load_board_file(fs::path(ORV_BOARD_SOURCE_DIR) / "three-taps.json"));
    std::int32_t state = -1;
    ASSERT_EQ(tapwire_reset(handle, &state, TIMEOUT), 0);
    // TAP 0's IDCODE, TAP 1's one BYPASS bit (0), TAP 2's IDCODE.
    Bytes tdo(9, 0xEE);
    ASSERT_EQ(tapwire_shift_dr(handle, &state, 65, Bytes(9, 0).data(), tdo.data(), 0, TIMEOUT), 0);
    const std::uint64_t low = 0x4BA00477 | (std::uint64_t{0x03727093} << 33);
    Bytes want;
    for (int i = 0; i < 8; ++i) {
        want.push_back(static_cast<std::uint8_t>(low >> (8 * i)));
    }
    want.push_back(0x03727093 >> 31);
    EXPECT_EQ(tdo, want);
    EXPECT_EQ(adapter->jtag().tap(1).instruction(), 0xFFu);
}

TEST_F(Part, EepromsFrom24C01To24C512)
{
    struct Case {
        const char* name;
        std::size_t size, page;
        unsigned address_bytes;
    };
    const Case cases[] = {
        {"24C01", 128, 8, 1}, {"24C16", 2048, 16, 1}, {"24C32", 4096, 32, 2}, {"24C512", 65536, 128, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoardConfig board;
        board.i2c.push_back(
            I2cDeviceConfig{I2cDeviceConfig::Type::eeprom, 0x50, false, c.size, c.page, c.address_bytes});
        use(board);
        ASSERT_EQ(lumo_iic_init(handle, 400, TIMEOUT), 0);
        // Where the pointer goes: device address (with a 24C16's block bits)
        // and the address bytes.
        const auto at = [&](std::size_t pointer, Bytes data) {
            Bytes out;
            if (c.address_bytes == 2) {
                out = {static_cast<std::uint8_t>(pointer >> 8), static_cast<std::uint8_t>(pointer)};
            } else {
                out = {static_cast<std::uint8_t>(pointer)};
            }
            out.insert(out.end(), data.begin(), data.end());
            const auto device = static_cast<std::uint32_t>(0x50 + (c.address_bytes == 1 ? pointer / 256 : 0));
            return std::make_pair(device, out);
        };
        // Four bytes from two before the last page's end: two wrap to its start.
        const std::size_t last_page = c.size - c.page;
        const auto [device, write] = at(last_page + c.page - 2, hex("11 22 33 44"));
        ASSERT_EQ(lumo_iic_send_bytes(handle, device, 7, write.data(),
                                      static_cast<std::uint32_t>(write.size()), TIMEOUT),
                  0);
        const auto mem = adapter->i2c_memory(0x50);
        ASSERT_EQ(mem.size(), c.size);
        EXPECT_EQ(Bytes(mem.end() - 2, mem.end()), hex("11 22"));
        EXPECT_EQ(Bytes(mem.begin() + last_page, mem.begin() + last_page + 2), hex("33 44"));
        // A read from the same place runs on past the end to the start.
        const auto [again, pointer] = at(c.size - 2, {});
        ASSERT_EQ(lumo_iic_send_bytes(handle, again, 7, pointer.data(),
                                      static_cast<std::uint32_t>(pointer.size()), TIMEOUT),
                  0);
        Bytes back(4, 0xEE);
        ASSERT_EQ(lumo_iic_read_bytes(handle, again, 7, back.data(), 4, TIMEOUT), 0);
        EXPECT_EQ(back, hex("11 22 FF FF"));
        // One device address per 256 bytes with one address byte.
        const std::uint8_t none = 0;
        const auto span =
            static_cast<std::uint32_t>(c.address_bytes == 1 ? std::max<std::size_t>(c.size / 256, 1) : 1);
        EXPECT_EQ(lumo_iic_send_bytes(handle, 0x50 + span - 1, 7, &none, 0, TIMEOUT), 0);
        EXPECT_EQ(lumo_iic_send_bytes(handle, 0x50 + span, 7, &none, 0, TIMEOUT), TPW_ERROR_OTHER);
    }
}

} // namespace
} // namespace orv::emu::test
