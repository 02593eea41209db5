// orvtool's command logic against the in-process emulator and its default
// board: what each command prints, what it leaves on the board, and how it
// fails.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/i2c_commands.hpp"
#include "front/orvtool/jtag_commands.hpp"
#include "front/orvtool/render.hpp"
#include "front/orvtool/spi_commands.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"

using namespace orvtool;

namespace {

jtag::RawScan raw(bool instruction, unsigned bits, std::string tdi, bool reset = true, unsigned ir_bits = 0,
                  std::string ir = {})
{
    jtag::RawScan scan;
    scan.instruction = instruction;
    scan.bits = bits;
    scan.tdi_hex = std::move(tdi);
    scan.reset = reset;
    scan.ir_bits = ir_bits;
    scan.ir_hex = std::move(ir);
    return scan;
}

class Board : public ::testing::Test {
protected:
    Board() : adapter(orv::emu::make_default_board()), usb(*adapter)
    {
        ctx.handle = usb.handle();
        ctx.timeout_ms = 50;
        ctx.err = &err;
        session = open_session(ctx.handle, ctx.timeout_ms);
        ctx.session = session.get();
    }

    // Prints a command's result as orvtool does.
    void show(const Result& result) { render(out, result, json ? Style::json : Style::text); }

    // Runs a command and returns the ToolError it throws.
    template <typename F> ToolError failure(F&& command)
    {
        try {
            command();
        } catch (const ToolError& e) {
            return e;
        }
        ADD_FAILURE() << "the command did not fail";
        return ToolError(Exit::ok, "");
    }

    std::string temp_file(const std::string& name, const Bytes& data)
    {
        std::string path = ::testing::TempDir() + "orvtool_" + name;
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return path;
    }

    std::unique_ptr<orv::emu::Adapter> adapter;
    orv::emu::InprocUsb usb;
    SessionHandle session;
    std::ostringstream out, err;
    Context ctx;
    bool json = false;
};

// The chain as the device library scans it.
orvdev_chain scan_chain(orvdev_session* session)
{
    orvdev_jtag* jtag = nullptr;
    orvdev_report report{};
    EXPECT_EQ(orvdev_jtag_open(session, nullptr, &jtag, &report), 0) << report.message;
    orvdev_chain chain{};
    EXPECT_EQ(orvdev_chain_scan(jtag, &chain, &report), 0) << report.message;
    orvdev_jtag_close(jtag);
    return chain;
}

// ---- JTAG ----------------------------------------------------------------

TEST_F(Board, JtagScanFindsBothTapsWithTheirIrLengths)
{
    const orvdev_chain chain = scan_chain(ctx.session);
    EXPECT_EQ(chain.ir_total, 10u);
    ASSERT_EQ(chain.count, 2u);
    ASSERT_TRUE(chain.taps[0].has_idcode);
    EXPECT_EQ(chain.taps[0].idcode, 0x4BA00477u);
    EXPECT_EQ(chain.taps[0].ir_length, 4u);
    ASSERT_TRUE(chain.taps[1].has_idcode);
    EXPECT_EQ(chain.taps[1].idcode, 0x03727093u);
    EXPECT_EQ(chain.taps[1].ir_length, 6u);
    EXPECT_TRUE(adapter->diagnostics().empty());
}

TEST_F(Board, JtagScanJsonListsTheDevices)
{
    json = true;
    show(jtag::cmd_scan(ctx, jtag::Options{}));
    std::string s = out.str();
    EXPECT_EQ(s.find("{\"tck_khz\":1000,\"tck_khz_asked\":1000,\"ir_total\":10,\"devices\":[{\"index\":0,"
                     "\"idcode\":1268778103,\"idcode_hex\":\"0x4ba00477\""),
              0u)
        << s;
    EXPECT_NE(
        s.find("\"ir_length\":6}],\"openocd\":[\"jtag newtap auto0 tap -irlen 4 -expected-id 0x4ba00477\","
               "\"jtag newtap auto1 tap -irlen 6 -expected-id 0x03727093\"]}\n"),
        std::string::npos)
        << s;
}

TEST_F(Board, JtagScanSetsTheClockAndPinsAndSaysWhatTheDivisorMade)
{
    jtag::Options o;
    o.tck_khz = 7000;
    show(jtag::cmd_scan(ctx, o));
    // Never faster than asked: divisor 9 (6666.7 kHz), not 8 (7500 kHz).
    EXPECT_EQ(adapter->clock_divisor(), 9);
    EXPECT_TRUE(adapter->clock_fast());
    EXPECT_EQ(adapter->low_pins().direction, orv::JTAG_DEFAULT_DIRECTION);
    EXPECT_NE(
        out.str().find("TCK 6666 kHz (7000 asked: the fastest clock the adapter makes at or below it)\n"),
        std::string::npos)
        << out.str();
}

// SPI and I2C say the clock they set when it is not the one asked, as the
// JTAG scan does; a clock the adapter makes exactly goes unsaid.
TEST_F(Board, SpiAndI2cSayTheClockSetWhenItDiffers)
{
    spi::Options s;
    s.clock_khz = 7000;
    show(spi::cmd_id(ctx, s));
    i2c::Options i;
    i.clock_khz = 700;
    show(i2c::cmd_detect(ctx, i, i2c::DetectArgs{}));
    s.clock_khz = 6000;
    show(spi::cmd_id(ctx, s));
    EXPECT_EQ(err.str(),
              "orvtool: SPI clock 6666 kHz (7000 asked: the fastest clock the adapter makes at or below it)\n"
              "orvtool: I2C clock 697 kHz (700 asked: the fastest clock the adapter makes at or below it)\n");
}

TEST_F(Board, RawIrScanReturnsTheCapturePattern)
{
    jtag::RawScan scan = raw(true, 10, "0x3ff");
    show(jtag::cmd_raw_scan(ctx, jtag::Options{}, jtag::parse_raw_scan(scan)));
    EXPECT_EQ(out.str(), "tck 1000 kHz\ntdi 0x3ff\ntdo 0x011\n");
}

TEST_F(Board, RawDrScanAfterResetReadsTheIdcodes)
{
    jtag::RawScan scan = raw(false, 64, "0");
    show(jtag::cmd_raw_scan(ctx, jtag::Options{}, jtag::parse_raw_scan(scan)));
    EXPECT_EQ(out.str(), "tck 1000 kHz\ntdi 0x0000000000000000\ntdo 0x037270934ba00477\n");
}

TEST_F(Board, RawScanWithoutResetWorksFromTestLogicReset)
{
    // A fresh board's TAPs are in Test-Logic-Reset with IDCODE selected: one
    // clock with TMS low reaches Run-Test/Idle without changing that.
    jtag::RawScan scan = raw(false, 64, "0", false);
    show(jtag::cmd_raw_scan(ctx, jtag::Options{}, jtag::parse_raw_scan(scan)));
    EXPECT_EQ(out.str(), "tck 1000 kHz\ntdi 0x0000000000000000\ntdo 0x037270934ba00477\n");
}

TEST_F(Board, RawDrScanWithInstructionWritesAndReadsUser)
{
    // TAP0 USER (0x8), TAP1 BYPASS (0x3F): 32 + 1 DR bits.
    jtag::RawScan write = raw(false, 33, "0x0cafef00d", true, 10, "0x3f8");
    show(jtag::cmd_raw_scan(ctx, jtag::Options{}, jtag::parse_raw_scan(write)));
    out.str("");
    jtag::RawScan read = raw(false, 33, "0", false, 10, "0x3f8");
    show(jtag::cmd_raw_scan(ctx, jtag::Options{}, jtag::parse_raw_scan(read)));
    EXPECT_EQ(out.str(), "tck 1000 kHz\ntdi 0x000000000\ntdo 0x0cafef00d\n");
}

TEST_F(Board, RawScanRefusesTdiWiderThanTheScanBeforeSending)
{
    jtag::RawScan scan = raw(true, 4, "0x1f");
    ToolError e =
        failure([&] { show(jtag::cmd_raw_scan(ctx, jtag::Options{}, jtag::parse_raw_scan(scan))); });
    EXPECT_EQ(e.exit(), Exit::usage);
    EXPECT_EQ(adapter->counts().out, 0u);
}

TEST(OtherBoards, JtagScanSplitsALongerChain)
{
    std::vector<orv::emu::TapConfig> taps;
    taps.push_back({"a", 0x10000001, 2, 0x1, 0x2, 0x3, 32, 0});
    taps.push_back({"b", 0x20000003, 8, 0x01, 0x02, 0xFF, 32, 0});
    taps.push_back({"c", 0x4BA00477, 5, 0x01, 0x02, 0x1F, 32, 0});
    orv::emu::Adapter adapter(
        orv::emu::AdapterConfig{},
        orv::emu::Board{orv::emu::JtagChain(std::move(taps)), orv::emu::SpiFlash{}, orv::emu::I2cBus{}});
    orv::emu::InprocUsb usb(adapter);
    std::ostringstream out;
    SessionHandle session = open_session(usb.handle(), 1000);
    const orvdev_chain chain = scan_chain(session.get());
    EXPECT_EQ(chain.ir_total, 15u);
    ASSERT_EQ(chain.count, 3u);
    // The model's TAP 0 ("a") is nearest TDO, so it is device 0.
    EXPECT_EQ(chain.taps[0].idcode, 0x10000001u);
    EXPECT_EQ(chain.taps[0].ir_length, 2u);
    EXPECT_EQ(chain.taps[1].idcode, 0x20000003u);
    EXPECT_EQ(chain.taps[1].ir_length, 8u);
    EXPECT_EQ(chain.taps[2].idcode, 0x4BA00477u);
    EXPECT_EQ(chain.taps[2].ir_length, 5u);
}

// A board with this flash and no JTAG chain, and a context on it.
struct FlashBoard {
    explicit FlashBoard(const orv::emu::SpiFlashConfig& flash)
        : adapter(orv::emu::AdapterConfig{},
                  orv::emu::Board{orv::emu::JtagChain({}), orv::emu::SpiFlash(flash), orv::emu::I2cBus{}}),
          usb(adapter), session(open_session(usb.handle(), 1000))
    {
        ctx.handle = usb.handle();
        ctx.err = &out;
        ctx.session = session.get();
    }
    orv::emu::Adapter adapter;
    orv::emu::InprocUsb usb;
    SessionHandle session;
    std::ostringstream out;
    Context ctx;
};

TEST(OtherBoards, SpiIdOfAnEmptyBusIsAnError)
{
    orv::emu::SpiFlashConfig none;
    none.jedec_id = {0xFF, 0xFF, 0xFF};
    FlashBoard board(none);
    std::ostringstream& out = board.out;
    try {
        render(out, spi::cmd_id(board.ctx, spi::Options{}), Style::text);
        FAIL() << "no error";
    } catch (const ToolError& e) {
        EXPECT_EQ(e.exit(), Exit::failed);
        EXPECT_EQ(std::string(e.what()), "no flash answers: the JEDEC ID reads ff ff ff");
    }
    EXPECT_EQ(out.str(), "");
}

TEST(OtherBoards, SpiWriteGivesUpOnAFlashThatStaysBusy)
{
    orv::emu::SpiFlashConfig stuck;
    stuck.busy_reads_after_program = UINT_MAX;
    stuck.busy_reads_within_us = 0;
    FlashBoard board(stuck);
    std::string path = ::testing::TempDir() + "orvtool_two_pages.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(512, 'x');
    try {
        spi::cmd_write(board.ctx, spi::Options{}, 0, path, spi::WriteArgs{});
        FAIL() << "no error";
    } catch (const ToolError& e) {
        EXPECT_EQ(e.exit(), Exit::failed);
        EXPECT_EQ(std::string(e.what()), "programming at 0x000000: the flash stays busy");
        ASSERT_EQ(e.done().size(), 2u);
        EXPECT_EQ(done_text(e.done()[0]), "erased 0 of 0 blocks");
        EXPECT_EQ(done_text(e.done()[1]),
                  "programmed 0 of 512 bytes (0 of 2 pages) from 0x000000, stopped at 0x000000");
    }
    EXPECT_EQ(board.adapter.flash().programs(), 1u); // the second page is not sent
}

TEST(OtherBoards, SpiChipEraseOfAPartOnlyItsCapacityByteDescribes)
{
    // 256 KiB, not in the built-in table: the size from the capacity byte, and
    // about a second (the shortest chip erase assumed) before the first poll.
    orv::emu::SpiFlashConfig small;
    small.jedec_id = {0x12, 0x34, 0x12};
    small.size = 256 * 1024;
    FlashBoard board(small);
    auto mem = board.adapter.flash_memory();
    mem[0] = 0;
    mem[mem.size() - 1] = 0;
    render(board.out, spi::cmd_erase(board.ctx, spi::Options{}, spi::EraseArgs{std::nullopt, 1, true}),
           Style::text);
    EXPECT_EQ(board.out.str(), "erased 0x000000..0x03ffff (256 KiB): the whole chip; read back as 0xff\n");
    EXPECT_EQ(mem[0], 0xFF);
    EXPECT_EQ(mem[mem.size() - 1], 0xFF);
}

TEST(OtherBoards, SpiWritesAcrossThe16MiBBoundaryOfA32MiBPart)
{
    orv::emu::SpiFlashConfig big;
    big.jedec_id = {0xEF, 0x40, 0x19};
    big.size = 32u << 20;
    big.sfdp = true;
    FlashBoard board(big);
    auto mem = board.adapter.flash_memory();
    std::fill(mem.begin() + 0xFFF000, mem.begin() + 0x1001000, 0x00); // needs an erase on both sides
    Bytes image(8 * 1024);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 5 + 1);
    }
    std::string path = ::testing::TempDir() + "orvtool_boundary.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

    render(board.out, spi::cmd_id(board.ctx, spi::Options{}), Style::text);
    EXPECT_NE(board.out.str().find("size:         32 MiB (33554432 bytes)\n"), std::string::npos)
        << board.out.str();
    EXPECT_NE(board.out.str().find("addressing:   4-byte mode (0xb7)\n"), std::string::npos)
        << board.out.str();
    render(board.out, spi::cmd_write(board.ctx, spi::Options{}, 0xFFF000, path, spi::WriteArgs{}),
           Style::text);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin() + 0xFFF000));
    EXPECT_EQ(board.adapter.flash().erases(), 2u);
    EXPECT_FALSE(board.adapter.flash().four_byte_mode()); // left as it was found
    std::ostringstream dump;
    render(dump, spi::cmd_read(board.ctx, spi::Options{}, 0x1000FF0, 16, ""), Style::text);
    EXPECT_EQ(dump.str().substr(0, 58), "01000ff0  b1 b6 bb c0 c5 ca cf d4  d9 de e3 e8 ed f2 f7 fc");
}

TEST(OtherBoards, SpiProtectionIsShownRespectedAndCleared)
{
    orv::emu::SpiFlashConfig locked;
    locked.sfdp = true;
    locked.status = 0x04; // BP 1: the top 64 KiB
    locked.program_us = 700;
    locked.erase_us = 45000; // real-time busy: the waits sleep
    FlashBoard board(locked);
    auto& flash = board.adapter.flash();
    auto mem = board.adapter.flash_memory();
    std::fill(mem.begin(), mem.end(), 0x00);
    std::string path = ::testing::TempDir() + "orvtool_protected.bin";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(4096, 'p');

    render(board.out, spi::cmd_status(board.ctx, spi::Options{}), Style::text);
    EXPECT_NE(
        board.out.str().find("block protect:     BP 1, TB 0, SEC 0: 0x3f0000..0x3fffff (64 KiB) protected\n"),
        std::string::npos)
        << board.out.str();
    try {
        spi::cmd_write(board.ctx, spi::Options{}, 0x3FF000, path, spi::WriteArgs{});
        FAIL() << "no error";
    } catch (const ToolError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "the range 0x3ff000 + 4096 bytes is write-protected: status register 1 "
                  "is 0x04 (BP 1) and protects 0x3f0000..0x3fffff");
    }
    EXPECT_EQ(flash.erases(), 0u);
    EXPECT_EQ(flash.programs(), 0u);

    board.out.str("");
    render(board.out, spi::cmd_unprotect(board.ctx, spi::Options{}), Style::text);
    EXPECT_EQ(board.out.str(), "block protection cleared: status register 1 0x04 -> 0x00\n");
    render(board.out, spi::cmd_write(board.ctx, spi::Options{}, 0x3FF000, path, spi::WriteArgs{}),
           Style::text);
    EXPECT_EQ(flash.erases(), 1u);
    EXPECT_EQ(flash.programs(), 16u);
    EXPECT_TRUE(std::all_of(mem.begin() + 0x3FF000, mem.end(), [](auto b) { return b == 'p'; }));
}

// ---- SPI -----------------------------------------------------------------

TEST_F(Board, SpiIdNamesTheFlashItsSizeAndWhereTheParametersCameFrom)
{
    show(spi::cmd_id(ctx, spi::Options{}));
    EXPECT_EQ(out.str(), "JEDEC ID:     ef 40 16\n"
                         "manufacturer: 0xef (Winbond, ex Nexcom)\n"
                         "memory type:  0x40\n"
                         "capacity:     0x16 = 4 MiB\n"
                         "part:         Winbond W25Q32\n"
                         "parameters:   SFDP\n"
                         "size:         4 MiB (4194304 bytes)\n"
                         "page size:    256 bytes\n"
                         "erase:        4 KiB (0x20), 32 KiB (0x52), 64 KiB (0xd8), chip (0xc7)\n"
                         "addressing:   3-byte\n"
                         "read:         fast read (0x0b)\n");
}

TEST_F(Board, SpiWriteProgramsAcrossPagesAndVerifies)
{
    Bytes data(700);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::string path = temp_file("write.bin", data);
    show(spi::cmd_write(ctx, spi::Options{}, 0x1F80, path, spi::WriteArgs{}));
    EXPECT_EQ(out.str(), "wrote 700 bytes at 0x001f80\n"
                         "unchanged:  3 bytes\n" // 0xff already: i * 7 + 3 is 0xff three times
                         "erased:     no block\n"
                         "programmed: 4 pages\n"
                         "verify:     ok, 700 bytes read back\n");
    auto mem = adapter->flash_memory();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), mem.begin() + 0x1F80));
    EXPECT_EQ(mem[0x1F7F], 0xFF);       // nothing before
    EXPECT_EQ(mem[0x1F80 + 700], 0xFF); // nothing after
    EXPECT_EQ(adapter->flash().programs(), 4u);
}

TEST_F(Board, SpiReadSplitsIntoTransactionsOfAtMost512Bytes)
{
    auto mem = adapter->flash_memory();
    for (std::size_t i = 0; i < 1100; ++i) {
        mem[0x100 + i] = static_cast<std::uint8_t>(i);
    }
    std::string path = ::testing::TempDir() + "orvtool_read.bin";
    std::remove(path.c_str());
    show(spi::cmd_read(ctx, spi::Options{}, 0x100, 1100, path));
    std::ifstream f(path, std::ios::binary);
    Bytes got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(got.size(), 1100u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), mem.begin() + 0x100));
    EXPECT_EQ(out.str(), "read 1100 bytes at 0x000100 into " + path + "\n");
}

TEST_F(Board, SpiReadHexDumpStartsAtTheAddress)
{
    auto mem = adapter->flash_memory();
    const char text[] = "orvtool";
    std::copy(text, text + 7, mem.begin() + 0x20);
    show(spi::cmd_read(ctx, spi::Options{}, 0x20, 8, ""));
    EXPECT_EQ(out.str(), "00000020  6f 72 76 74 6f 6f 6c ff                           |orvtool.|\n");
}

TEST_F(Board, SpiWriteErasesAndProgramsOnlyWhatDiffers)
{
    Bytes image(64 * 1024);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
    }
    std::string path = temp_file("image.bin", image);
    auto& flash = adapter->flash();
    auto mem = adapter->flash_memory();

    // Onto erased flash: programs only, one per page.
    show(spi::cmd_write(ctx, spi::Options{}, 0x10000, path, spi::WriteArgs{}));
    EXPECT_EQ(flash.erases(), 0u);
    EXPECT_EQ(flash.programs(), 256u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin() + 0x10000));

    // The same image again: nothing erased, nothing programmed.
    out.str("");
    json = true;
    show(spi::cmd_write(ctx, spi::Options{}, 0x10000, path, spi::WriteArgs{}));
    EXPECT_EQ(out.str(), "{\"addr\":65536,\"addr_hex\":\"0x010000\",\"len\":65536,\"unchanged_bytes\":65536,"
                         "\"chip_erased\":false,"
                         "\"erased\":[],\"pages_programmed\":0,\"verified\":true,\"verified_bytes\":0}\n");
    EXPECT_EQ(flash.erases(), 0u);
    EXPECT_EQ(flash.programs(), 256u);

    // One byte that must rise: its 4 KiB block is erased and its 16 pages
    // programmed back; the rest stays.
    mem[0x13456] = 0x00;
    mem[0x20000] = 0x00; // just past the image: not read, not touched
    out.str("");
    json = false;
    show(spi::cmd_write(ctx, spi::Options{}, 0x10000, path, spi::WriteArgs{}));
    EXPECT_EQ(flash.erases(), 1u);
    EXPECT_EQ(flash.programs(), 256u + 16u);
    EXPECT_NE(out.str().find("unchanged:  65535 bytes\nerased:     1 block of 4 KiB\nprogrammed: 16 pages\n"
                             "verify:     ok, 4096 bytes read back\n"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(mem[0x13456], image[0x3456]);
    EXPECT_EQ(mem[0x20000], 0x00);
}

TEST_F(Board, SpiWriteKeepsTheNeighboursOfAnUnalignedImage)
{
    auto mem = adapter->flash_memory();
    std::fill(mem.begin(), mem.begin() + 0x2000, 0x00); // programmed earlier
    std::string path = temp_file("five.bin", Bytes(5, 0xA5));
    show(spi::cmd_write(ctx, spi::Options{}, 0x1000 - 2, path, spi::WriteArgs{}));
    // Both 4 KiB blocks had to be erased (0xa5 has bits that rise over 0x00);
    // what was around the image is programmed back.
    EXPECT_EQ(adapter->flash().erases(), 2u);
    EXPECT_TRUE(std::all_of(mem.begin(), mem.begin() + 0x0FFE, [](auto b) { return b == 0x00; }));
    EXPECT_TRUE(std::all_of(mem.begin() + 0x0FFE, mem.begin() + 0x1003, [](auto b) { return b == 0xA5; }));
    EXPECT_TRUE(std::all_of(mem.begin() + 0x1003, mem.begin() + 0x2000, [](auto b) { return b == 0x00; }));
}

TEST_F(Board, SpiVerifyNamesTheFirstDifference)
{
    auto mem = adapter->flash_memory();
    std::string path = temp_file("verify.bin", Bytes(32, 0xFF));
    show(spi::cmd_verify(ctx, spi::Options{}, 0x40, path));
    EXPECT_EQ(out.str(), "verified 32 bytes at 0x000040: the flash holds " + path + "\n");
    mem[0x45] = 0x12;
    mem[0x50] = 0x00;
    ToolError e = failure([&] { show(spi::cmd_verify(ctx, spi::Options{}, 0x40, path)); });
    EXPECT_EQ(e.exit(), Exit::failed);
    EXPECT_EQ(std::string(e.what()), "the flash differs from " + path +
                                         " at 0x000045 (expected 0xff, read 0x12; 2 bytes differ in all)");
}

TEST_F(Board, SpiFilesFailBeforeAnythingIsSentAndKeepWhatWasThere)
{
    std::string dir = ::testing::TempDir();
    ToolError directory =
        failure([&] { show(spi::cmd_write(ctx, spi::Options{}, 0, dir, spi::WriteArgs{})); });
    EXPECT_EQ(directory.exit(), Exit::usage);
    EXPECT_NE(std::string(directory.what()).find("is a directory"), std::string::npos);
    ToolError missing =
        failure([&] { show(spi::cmd_read(ctx, spi::Options{}, 0, 16, "/nonexistent/dir/x.bin")); });
    EXPECT_EQ(missing.exit(), Exit::usage);
    EXPECT_EQ(std::string(missing.what()), "cannot create /nonexistent/dir/x.bin: No such file or directory");
    EXPECT_EQ(adapter->counts().out, 0u);

    // A read that fails after the output was opened leaves the old file.
    std::string kept = temp_file("kept.bin", Bytes{'o', 'l', 'd'});
    ToolError past = failure([&] { show(spi::cmd_read(ctx, spi::Options{}, (4u << 20) - 4, 8, kept)); });
    EXPECT_EQ(past.exit(), Exit::usage);
    std::ifstream f(kept, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "old");
}

TEST_F(Board, SpiEraseSectorsLeavesNeighboursAlone)
{
    auto mem = adapter->flash_memory();
    std::fill(mem.begin(), mem.begin() + 0x4000, 0x00);
    show(spi::cmd_erase(ctx, spi::Options{}, spi::EraseArgs{0x1000, 2, false}));
    EXPECT_EQ(out.str(), "erased 0x001000..0x002fff (8 KiB): 2 blocks of 4 KiB; read back as 0xff\n");
    EXPECT_EQ(mem[0x0FFF], 0x00);
    EXPECT_TRUE(std::all_of(mem.begin() + 0x1000, mem.begin() + 0x3000, [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(mem[0x3000], 0x00);
}

TEST_F(Board, SpiRefusesUnalignedSectorsAndRangesPastTheEndBeforeChangingAnything)
{
    ToolError unaligned = failure([&] {
        show(spi::cmd_erase(ctx, spi::Options{}, spi::EraseArgs{0x1001, 1, false}));
    });
    EXPECT_EQ(unaligned.exit(), Exit::usage);
    EXPECT_EQ(adapter->counts().out, 0u);

    ToolError past = failure([&] { show(spi::cmd_read(ctx, spi::Options{}, (4u << 20) - 4, 8, "")); });
    EXPECT_EQ(past.exit(), Exit::usage);
    EXPECT_EQ(adapter->flash().erases(), 0u);
    EXPECT_EQ(out.str(), "");
}

// ---- I2C -----------------------------------------------------------------

TEST_F(Board, I2cDetectFindsTheSevenBitDevices)
{
    json = true;
    show(i2c::cmd_detect(ctx, i2c::Options{}, i2c::DetectArgs{}));
    EXPECT_EQ(out.str(), "{\"addr_bits\":7,\"clock_khz\":400,\"mode\":\"auto\",\"first\":8,\"last\":119,"
                         "\"found\":[80,104],\"found_hex\":[\"0x50\",\"0x68\"]}\n");
    out.str("");
    show(i2c::cmd_detect(ctx, i2c::Options{}, i2c::DetectArgs{i2c::ProbeMode::read_byte, 0x50, 0x6F}));
    EXPECT_EQ(out.str(),
              "{\"addr_bits\":7,\"clock_khz\":400,\"mode\":\"read-byte\",\"first\":80,\"last\":111,"
              "\"found\":[80,104],\"found_hex\":[\"0x50\",\"0x68\"]}\n");
}

TEST_F(Board, I2cWriteThenReadRegister)
{
    show(i2c::cmd_write(ctx, i2c::Options{}, 0x50, Bytes{0x10, 'h', 'i'}));
    EXPECT_EQ(out.str(), "wrote 3 bytes to 0x50\n");
    EXPECT_EQ(adapter->eeprom_memory()[0x10], 'h');
    out.str("");
    show(i2c::cmd_read(ctx, i2c::Options{}, 0x50, std::uint8_t{0x10}, 2));
    EXPECT_EQ(out.str(), "00000010  68 69                                             |hi|\n");
}

TEST_F(Board, I2cReadRegisterFileIdentity)
{
    json = true;
    show(i2c::cmd_read(ctx, i2c::Options{}, 0x68, std::uint8_t{0x75}, 1));
    EXPECT_EQ(out.str(), "{\"addr\":104,\"addr_hex\":\"0x68\",\"addr_bits\":7,\"clock_khz\":400,\"reg\":117,"
                         "\"reg_hex\":\"0x75\",\"len\":1,\"data\":\"68\"}\n");
}

TEST_F(Board, I2cGetAndSetAsI2cgetAndI2cset)
{
    show(i2c::cmd_get(ctx, i2c::Options{}, 0x68, std::uint8_t{0x75}));
    EXPECT_EQ(out.str(), "0x68\n");
    out.str("");
    show(i2c::cmd_set(ctx, i2c::Options{}, 0x68, 0x10, Bytes{0x5A}, i2c::DataMode::byte, false));
    EXPECT_EQ(out.str(), ""); // i2cset says nothing
    show(i2c::cmd_get(ctx, i2c::Options{}, 0x68, std::uint8_t{0x10}));
    EXPECT_EQ(out.str(), "0x5a\n");
    out.str("");
    show(i2c::cmd_set(ctx, i2c::Options{}, 0x68, 0x11, Bytes{0xA5}, i2c::DataMode::byte, true));
    EXPECT_EQ(out.str(), "Value 0xa5 written, readback matched\n");
    ToolError e = failure([&] {
        show(i2c::cmd_set(ctx, i2c::Options{}, 0x68, 0x75, Bytes{0x00}, i2c::DataMode::byte, false));
    });
    EXPECT_EQ(e.code(), ORVDEV_ERROR_I2C_DATA_NACK); // read-only: the data byte is refused
}

// Every mode gives numbers in JSON (a block a list of them), each with the
// text as printed beside it; addresses and registers too.
TEST_F(Board, I2cJsonGivesNumbersWithTheirHex)
{
    show(i2c::cmd_set(ctx, i2c::Options{}, 0x68, 0x10, Bytes{0x12, 0x34, 0x56}, i2c::DataMode::block, false));
    json = true;
    const struct {
        i2c::DataMode mode;
        std::size_t length;
        const char* value;
    } cases[] = {
        {i2c::DataMode::byte, 1, "\"value\":18,\"value_hex\":\"0x12\""},
        {i2c::DataMode::word, 2, "\"value\":13330,\"value_hex\":\"0x3412\""},
        {i2c::DataMode::block, 3, "\"value\":[18,52,86],\"value_hex\":\"0x12 0x34 0x56\""},
    };
    for (const auto& c : cases) {
        out.str("");
        show(i2c::cmd_get(ctx, i2c::Options{}, 0x68, std::uint8_t{0x10}, c.mode, c.length));
        EXPECT_EQ(out.str(),
                  std::string("{\"addr\":104,\"addr_hex\":\"0x68\",\"addr_bits\":7,\"clock_khz\":400,"
                              "\"reg\":16,\"reg_hex\":\"0x10\",") +
                      c.value + "}\n");
    }
    out.str("");
    show(i2c::cmd_set(ctx, i2c::Options{}, 0x68, 0x11, Bytes{0xA5}, i2c::DataMode::byte, true));
    EXPECT_EQ(out.str(), "{\"addr\":104,\"addr_hex\":\"0x68\",\"addr_bits\":7,\"clock_khz\":400,\"reg\":17,"
                         "\"reg_hex\":\"0x11\",\"value\":165,\"value_hex\":\"0xa5\",\"readback\":165,"
                         "\"readback_hex\":\"0xa5\"}\n");
}

TEST_F(Board, I2cDumpOfTenBitDevice)
{
    auto mem = adapter->i2c_memory(0x2A5, true);
    ASSERT_EQ(mem.size(), 256u);
    for (std::size_t i = 0; i < mem.size(); ++i) {
        mem[i] = static_cast<std::uint8_t>(255 - i);
    }
    i2c::Options o;
    o.ten_bit = true;
    show(i2c::cmd_dump(ctx, o, 0x2A5, 0, 255));
    std::string s = out.str();
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 17);
    EXPECT_NE(s.find("\n00: ff fe fd fc fb fa f9 f8 f7 f6 f5 f4 f3 f2 f1 f0    .???????????????\n"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("\nb0: 4f 4e 4d 4c 4b 4a 49 48 47 46 45 44 43 42 41 40    ONMLKJIHGFEDCBA@\n"),
              std::string::npos)
        << s;
}

TEST_F(Board, I2cReadLongerThanOneTransactionContinuesThePointer)
{
    auto mem = adapter->eeprom_memory();
    for (std::size_t i = 0; i < mem.size(); ++i) {
        mem[i] = static_cast<std::uint8_t>(i);
    }
    json = true;
    show(i2c::cmd_read(ctx, i2c::Options{}, 0x50, std::uint8_t{0}, 600)); // 511 + 89, wraps at 256
    std::string s = out.str();
    auto at = s.find("\"data\":\"");
    ASSERT_NE(at, std::string::npos);
    std::string data = s.substr(at + 8, 1200);
    EXPECT_EQ(data.substr(0, 6), "000102");
    EXPECT_EQ(data.substr(2 * 511, 4), "ff00"); // byte 511 is 0xff, then 512 wraps to 0
}

TEST_F(Board, I2cMissingDeviceFailsWithTheLibraryTextAndAHint)
{
    ToolError e = failure([&] { show(i2c::cmd_read(ctx, i2c::Options{}, 0x51, std::nullopt, 4)); });
    EXPECT_EQ(e.exit(), Exit::failed);
    EXPECT_EQ(e.code(), -17);
    EXPECT_EQ(std::string(e.what()), "no device acknowledged address 0x51");
    EXPECT_EQ(e.detail(), "reading from 0x51: not acknowledged (code -17)");
    EXPECT_NE(e.hint().find("i2c detect"), std::string::npos);
    EXPECT_EQ(out.str(), "");
}

TEST_F(Board, I2cRefusedDataByteIsReported)
{
    // Register 0x75 of the register file is read-only: its data byte is refused.
    ToolError e = failure([&] { show(i2c::cmd_write(ctx, i2c::Options{}, 0x68, Bytes{0x75, 0x00})); });
    EXPECT_EQ(e.code(), ORVDEV_ERROR_I2C_DATA_NACK);
    EXPECT_EQ(std::string(e.what()), "the device at 0x68 refused data byte 1 (counted from 0)");
    EXPECT_EQ(e.detail(), "");
}

} // namespace
