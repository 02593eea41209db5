// A flash and an EEPROM behind boundary-scan pins (the example board
// bscan-flash, in process): what a read and a smart write of SIZE bytes
// (default 64 KiB) of the flash, and a read and a write of the whole 24C32,
// cost on the wire, beside what the one-round-trip-per-scan way would make
// for the same work (an OUT transfer and a read-back exchange per DR scan).
//
//   orv_bench_pin_bus [SIZE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <orv_devices.h>

#include "lib/devices/bscan/pin_bus.hpp"
#include "lib/devices/flash/flash_handle.hpp"
#include "lib/devices/i2c/i2c_handle.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/board_file.hpp"
#include "sim/emulator/inproc_usb.hpp"

namespace {

using orv::dev::bscan::PinBusStats;

void row(const char* what, const PinBusStats& s, double seconds)
{
    // One round trip per scan: an OUT transfer per scan, and a read-back
    // exchange (count poll, data read) per scan that reads.
    const std::uint64_t naive = s.scans * 2;
    const std::uint64_t ours = s.wire.out_transfers + 2 * s.wire.exchanges;
    std::printf("%-24s %9llu %12llu %10llu %10llu %10llu %12llu %8.0fx %8.1f\n", what,
                static_cast<unsigned long long>(s.spi_clocks), static_cast<unsigned long long>(s.wire.clocks),
                static_cast<unsigned long long>(s.wire.readback_bytes),
                static_cast<unsigned long long>(s.wire.out_transfers),
                static_cast<unsigned long long>(s.wire.exchanges), static_cast<unsigned long long>(naive),
                ours != 0 ? static_cast<double>(naive) / static_cast<double>(ours) : 0.0, seconds);
}

PinBusStats minus(const PinBusStats& a, const PinBusStats& b)
{
    return PinBusStats{a.scans - b.scans, a.spi_clocks - b.spi_clocks, a.wire - b.wire};
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 64 * 1024;
    auto adapter = orv::emu::make_board(orv::emu::load_board_file(*orv::emu::find_board("bscan-flash")));
    orv::emu::InprocUsb usb(*adapter);
    orvdev_report report{};
    orvdev_session* session = nullptr;
    orvdev_jtag* jtag = nullptr;
    orvdev_chain chain{};
    orvdev_bsdl* files[2] = {};
    orvdev_bscan* bscan = nullptr;
    orvdev_flash* flash = nullptr;
    orvdev_jtag_options o{};
    orvdev_jtag_options_init(&o);
    o.tck_khz = 30000;
    const char* paths[2] = {ORV_BOARD_FILES "/CortexMx.bsd", ORV_BOARD_FILES "/STM32F301_F302_UFQFPN32.bsd"};
    const orvdev_spi_pins pins{"PA4", "PA5", "PA7", "PA6", 0};
    if (orvdev_session_open(usb.handle(), nullptr, &session, &report) != 0 ||
        orvdev_jtag_open(session, &o, &jtag, &report) != 0 || orvdev_chain_scan(jtag, &chain, &report) != 0 ||
        orvdev_bsdl_load(paths[0], &files[0], nullptr, &report) != 0 ||
        orvdev_bsdl_load(paths[1], &files[1], nullptr, &report) != 0) {
        std::fprintf(stderr, "set-up: %s\n", report.message);
        return 1;
    }
    const orvdev_bsdl* taps[2] = {files[0], files[1]};
    if (orvdev_bscan_open(jtag, &chain, taps, &bscan, &report) != 0 ||
        orvdev_flash_open_bscan(bscan, 1, &pins, nullptr, &flash, &report) != 0) {
        std::fprintf(stderr, "open: %s\n", report.message);
        return 1;
    }
    const auto& bus = dynamic_cast<const orv::dev::bscan::PinSpiBus&>(flash->flash.bus());
    std::printf(
        "TCK clocks per SPI clock: %llu (DR length in EXTEST with the debug TAP in BYPASS, plus 4 TMS "
        "clocks, twice)\n\n",
        static_cast<unsigned long long>(bus.clocks_per_spi_clock()));
    std::printf("%-24s %9s %12s %10s %10s %10s %12s %9s %8s\n", "operation", "bus clks", "TCK clocks",
                "read-back", "OUT xfers", "exchanges", "per-scan xfr", "fewer", "seconds");

    std::vector<std::uint8_t> data(size);
    // Runs `op` and prints what it cost on the bus whose statistics `of` gives.
    const auto timed_on = [&](const auto& of, const char* what, auto&& op) {
        const PinBusStats before = of.stats();
        const auto t0 = std::chrono::steady_clock::now();
        if (op() != 0) {
            std::fprintf(stderr, "%s: %s\n", what, report.message);
            std::exit(1);
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        row(what, minus(of.stats(), before), s);
    };
    const auto timed = [&](const char* what, auto&& op) { timed_on(bus, what, op); };
    timed("read", [&] { return orvdev_flash_read(flash, 0, data.data(), size, &report); });
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    orvdev_write_report written{};
    timed("smart write (blank)",
          [&] { return orvdev_flash_write(flash, 0, data.data(), size, nullptr, &written, &report); });
    timed("smart write (unchanged)",
          [&] { return orvdev_flash_write(flash, 0, data.data(), size, nullptr, &written, &report); });
    std::printf("\nunchanged write: %u erase sizes used, %llu pages programmed\n", written.erased_count,
                static_cast<unsigned long long>(written.pages_programmed));
    orvdev_flash_close(flash);

    // The 24C32 on PB6/PB7: a bus clock is an I2C bit (two or three scans).
    const orvdev_i2c_pins i2c_pins{"PB6", "PB7", 0};
    orvdev_i2c* i2c = nullptr;
    if (orvdev_i2c_open_bscan(bscan, 1, &i2c_pins, nullptr, &i2c, &report) != 0) {
        std::fprintf(stderr, "open: %s\n", report.message);
        return 1;
    }
    const auto& link = dynamic_cast<const orv::dev::bscan::PinI2cLink&>(i2c->bus.link());
    constexpr std::uint32_t EEPROM = 4096;
    std::vector<std::uint8_t> eeprom(EEPROM);
    const auto timed_i2c = [&](const char* what, auto&& op) { timed_on(link, what, op); };
    std::printf("\n");
    timed_i2c("24C32 read (4 KiB)",
              [&] { return orvdev_i2c_read_reg(i2c, 0x50, 0, 2, eeprom.data(), EEPROM, &report); });
    timed_i2c("24C32 write (4 KiB)",
              [&] { return orvdev_i2c_eeprom_write(i2c, 0x50, 0, 2, 32, data.data(), EEPROM, 0, &report); });
    orvdev_i2c_close(i2c);
    orvdev_bscan_close(bscan);
    orvdev_bsdl_free(files[0]);
    orvdev_bsdl_free(files[1]);
    orvdev_jtag_close(jtag);
    orvdev_session_close(session);
    return 0;
}
