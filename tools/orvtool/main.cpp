// orvtool: JTAG, SPI flash and I2C from the command line through the ORV USB
// bridge adapter, or through the virtual adapter with --sim.
#include <unistd.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include <orv_tapwire.h>

#include "device.hpp"
#include "errors.hpp"
#include "format.hpp"
#include "i2c.hpp"
#include "jtag.hpp"
#include "spi.hpp"

namespace {

using namespace orvtool;

// The frequency argument of all three libraries gives the adapter's divisor as
// 60000 / f: f in kHz of a 60 MHz base clock. Below 235 the divisor no longer
// fits its byte and would wrap, so the tool refuses such values.
constexpr std::uint64_t MIN_KHZ = 235;
constexpr std::uint64_t MAX_KHZ = 60000;

std::uint32_t khz_arg(const std::string& text, const char* what)
{
    auto v = parse_number(text, MAX_KHZ);
    if (!v || *v < MIN_KHZ) {
        usage_error(std::string("bad ") + what + " '" + text + "'", "give a frequency in kHz from " +
                                                                        std::to_string(MIN_KHZ) + " to " +
                                                                        std::to_string(MAX_KHZ));
    }
    return static_cast<std::uint32_t>(*v);
}

struct Args {
    std::string usb;
    bool sim = false;
    std::string sim_fault = "none";
    bool json = false;
    std::string timeout = "1000";

    std::string tck = "1000";
    std::string pins;
    std::string spi_clock = "6000";
    std::string i2c_clock = "400";
    bool ten_bit = false;

    // jtag ir / dr
    unsigned scan_len = 0;
    std::string scan_tdi;
    bool no_reset = false;
    unsigned ir_len = 0;
    std::string ir_value;

    // spi
    std::string spi_addr;
    std::string spi_len;
    std::string spi_file;
    std::string out_file;
    bool no_verify = false;
    std::string sector;
    std::string sector_count = "1";
    bool chip = false;

    // i2c
    std::string i2c_addr;
    std::vector<std::string> i2c_args;
    std::vector<std::string> i2c_bytes;
};

void print_error(const ToolError& e, bool json)
{
    std::cerr << "orvtool: " << e.what() << "\n";
    if (!e.hint().empty()) {
        std::cerr << "  " << e.hint() << "\n";
    }
    if (json) {
        JsonWriter j(std::cout);
        j.begin_object().key("error").value(e.what()).key("hint").value(e.hint()).key("code");
        e.code() ? j.value(static_cast<std::int64_t>(*e.code())) : j.null();
        j.key("exit").value(static_cast<int>(e.exit())).end_object().finish();
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"orvtool: JTAG, SPI flash and I2C through the ORV USB bridge adapter"};
    app.fallthrough();
    app.require_subcommand(1);
    app.footer("Numbers are decimal or 0x... hex. Exit status: 0 ok, 1 operation failed, 2 bad arguments, "
               "3 adapter not available. See orvtool(1).");
    Args a;

    auto* usb = app.add_option("--usb", a.usb, "open the adapter with this USB id (hex, as lsusb shows it)")
                    ->type_name("VID:PID[:BUS:ADDR]");
    auto* sim = app.add_flag("--sim", a.sim, "use the virtual adapter and its default board (umockdev)");
    usb->excludes(sim);
    app.add_option("--sim-fault", a.sim_fault, "fault for the virtual adapter")->group("");
    app.add_flag("--json", a.json, "print results as one JSON object");
    app.add_option("--timeout", a.timeout, "USB timeout per transfer in milliseconds (default 1000)")
        ->type_name("MS");

    // jtag
    auto* jtag = app.add_subcommand("jtag", "JTAG chain");
    jtag->require_subcommand(1);
    jtag->add_option("--tck", a.tck, "TCK frequency in kHz (default 1000)")->type_name("KHZ");
    jtag->add_option("--pins", a.pins, "pin direction and level (default 0x000b:0x0008)")
        ->type_name("DIR:LEVEL");
    auto* jscan = jtag->add_subcommand("scan", "count the devices, their IR lengths and IDCODEs");
    auto* jir = jtag->add_subcommand("ir", "raw instruction-register scan, TDO printed in hex");
    auto* jdr = jtag->add_subcommand("dr", "raw data-register scan, TDO printed in hex");
    for (auto* s : {jir, jdr}) {
        s->add_option("--len", a.scan_len, "number of bits")->required()->check(CLI::Range(1u, 32768u));
        s->add_option("TDI", a.scan_tdi, "bits to shift in, as one hex number (bit 0 first out)")->required();
        s->add_flag("--no-reset", a.no_reset, "do not reset the TAP first (it is assumed in Run-Test/Idle)");
    }
    jdr->add_option("--ir", a.ir_value, "load this instruction first")->type_name("HEX");
    jdr->add_option("--ir-len", a.ir_len, "length of --ir in bits")->check(CLI::Range(1u, 32768u));

    // spi
    auto* spi = app.add_subcommand("spi", "SPI NOR flash");
    spi->require_subcommand(1);
    spi->add_option("--clock", a.spi_clock, "SPI clock in kHz (default 6000)")->type_name("KHZ");
    auto* sid = spi->add_subcommand("id", "read the JEDEC ID and the size it implies");
    auto* sread = spi->add_subcommand("read", "read LEN bytes at ADDR (hex dump, or -o FILE)");
    sread->add_option("ADDR", a.spi_addr, "flash address")->type_name("")->required();
    sread->add_option("LEN", a.spi_len, "number of bytes")->type_name("")->required();
    sread->add_option("-o,--output", a.out_file, "write the bytes to FILE")->type_name("FILE");
    auto* swrite = spi->add_subcommand("write", "program FILE at ADDR, then read back and verify");
    swrite->add_option("ADDR", a.spi_addr, "flash address")->type_name("")->required();
    swrite->add_option("FILE", a.spi_file, "bytes to program")->type_name("")->required();
    swrite->add_flag("--no-verify", a.no_verify, "skip the read-back");
    auto* serase = spi->add_subcommand("erase", "erase 4 KiB sectors or the whole chip");
    auto* sector =
        serase->add_option("--sector", a.sector, "first sector's address (4 KiB aligned)")->type_name("ADDR");
    serase->add_option("--count", a.sector_count, "number of sectors (default 1)")
        ->type_name("N")
        ->needs(sector);
    auto* chip = serase->add_flag("--chip", a.chip, "erase the whole chip");
    sector->excludes(chip);

    // i2c
    auto* i2c = app.add_subcommand("i2c", "I2C bus");
    i2c->require_subcommand(1);
    i2c->add_option("--clock", a.i2c_clock, "bus clock in kHz (default 400)")->type_name("KHZ");
    i2c->add_flag("--ten-bit", a.ten_bit, "10-bit addresses");
    auto* idetect = i2c->add_subcommand("detect", "probe addresses 0x08-0x77 (with --ten-bit: 0x000-0x3ff)");
    auto* iread = i2c->add_subcommand("read", "read LEN bytes, after writing register REG when given");
    iread->add_option("ARGS", a.i2c_args, "address, optional register, byte count")
        ->type_name("ADDR [REG] LEN")
        ->required()
        ->expected(2, 3);
    auto* iwrite = i2c->add_subcommand("write", "write BYTES to ADDR in one transaction");
    iwrite->add_option("ADDR", a.i2c_addr, "device address")->type_name("")->required();
    iwrite->add_option("BYTES", a.i2c_bytes, "bytes to write (0x41 or 65)")->type_name("")->required();
    auto* idump = i2c->add_subcommand("dump", "read 256 bytes from offset 0 (EEPROM, register file)");
    idump->add_option("ADDR", a.i2c_addr, "device address")->type_name("")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : static_cast<int>(Exit::usage);
    }

    try {
        if (!a.sim && a.usb.empty()) {
            usage_error("no adapter chosen",
                        "give --usb VID:PID for a real adapter, or --sim for the virtual one");
        }
        Context ctx;
        ctx.out = &std::cout;
        ctx.err = &std::cerr;
        ctx.json = a.json;
        ctx.progress = !a.json && isatty(STDERR_FILENO) == 1;
        ctx.timeout_ms = static_cast<std::uint32_t>(number_arg(a.timeout, "--timeout", 600000));

        // Check every argument before touching the adapter.
        jtag::Options jopt;
        spi::Options sopt;
        i2c::Options iopt;
        std::uint64_t spi_addr = 0, spi_len = 0, sector_count = 1;
        std::optional<std::uint64_t> sector_addr;
        std::uint32_t i2c_addr = 0, i2c_len = 0;
        std::optional<std::uint8_t> i2c_reg;
        Bytes i2c_bytes;
        jtag::RawScan raw;
        if (jtag->parsed()) {
            jopt.tck_khz = khz_arg(a.tck, "--tck");
            if (!a.pins.empty()) {
                auto colon = a.pins.find(':');
                if (colon == std::string::npos) {
                    usage_error("bad --pins '" + a.pins + "'", "give DIR:LEVEL, for example 0x000b:0x0008");
                }
                jopt.direction = static_cast<std::uint16_t>(
                    number_arg(a.pins.substr(0, colon), "--pins direction", 0xFFFF));
                jopt.level =
                    static_cast<std::uint16_t>(number_arg(a.pins.substr(colon + 1), "--pins level", 0xFFFF));
            }
            if (jdr->parsed() && (a.ir_value.empty() != (a.ir_len == 0))) {
                usage_error("--ir and --ir-len go together");
            }
            if (jir->parsed() || jdr->parsed()) {
                raw.instruction = jir->parsed();
                raw.bits = a.scan_len;
                raw.tdi_hex = a.scan_tdi;
                raw.reset = !a.no_reset;
                raw.ir_bits = a.ir_len;
                raw.ir_hex = a.ir_value;
                jtag::check_raw_scan(raw);
            }
        }
        if (spi->parsed()) {
            sopt.clock_khz = khz_arg(a.spi_clock, "--clock");
            if (sread->parsed() || swrite->parsed()) {
                spi_addr = number_arg(a.spi_addr, "ADDR", spi::ADDRESS_SPACE - 1);
            }
            if (sread->parsed()) {
                spi_len = number_arg(a.spi_len, "LEN", spi::ADDRESS_SPACE);
            }
            if (serase->parsed()) {
                if (a.sector.empty() && !a.chip) {
                    usage_error("spi erase needs --sector ADDR or --chip");
                }
                if (!a.sector.empty()) {
                    sector_addr = number_arg(a.sector, "--sector", spi::ADDRESS_SPACE - 1);
                }
                sector_count = number_arg(a.sector_count, "--count", spi::ADDRESS_SPACE / spi::SECTOR_SIZE);
            }
        }
        if (i2c->parsed()) {
            iopt.clock_khz = khz_arg(a.i2c_clock, "--clock");
            iopt.ten_bit = a.ten_bit;
            if (iread->parsed()) {
                i2c_addr = i2c::address_arg(a.i2c_args[0], a.ten_bit);
                if (a.i2c_args.size() == 3) {
                    i2c_reg = static_cast<std::uint8_t>(number_arg(a.i2c_args[1], "REG", 0xFF));
                }
                i2c_len = static_cast<std::uint32_t>(number_arg(a.i2c_args.back(), "LEN", i2c::MAX_READ));
            }
            if (iwrite->parsed() || idump->parsed()) {
                i2c_addr = i2c::address_arg(a.i2c_addr, a.ten_bit);
            }
            for (const auto& b : a.i2c_bytes) {
                i2c_bytes.push_back(static_cast<std::uint8_t>(number_arg(b, "byte", 0xFF)));
            }
        }

        std::unique_ptr<Adapter> adapter;
        if (a.sim) {
            adapter = Adapter::open_sim(argc, argv, SimOptions{a.sim_fault});
        } else {
            auto selector = parse_usb_selector(a.usb);
            if (!selector) {
                usage_error(
                    "bad --usb '" + a.usb + "'",
                    "give VID:PID in hex (1209:4f52), optionally with :BUS:ADDR in decimal (1209:4f52:1:5)");
            }
            adapter = Adapter::open_usb(*selector);
        }
        ctx.handle = adapter->handle();

        if (jscan->parsed()) {
            jtag::cmd_scan(ctx, jopt);
        } else if (jir->parsed() || jdr->parsed()) {
            jtag::cmd_raw_scan(ctx, jopt, raw);
        } else if (sid->parsed()) {
            spi::cmd_id(ctx, sopt);
        } else if (sread->parsed()) {
            spi::cmd_read(ctx, sopt, spi_addr, spi_len, a.out_file);
        } else if (swrite->parsed()) {
            spi::cmd_write(ctx, sopt, spi_addr, a.spi_file, !a.no_verify);
        } else if (serase->parsed()) {
            spi::cmd_erase(ctx, sopt, sector_addr, sector_count, a.chip);
        } else if (idetect->parsed()) {
            i2c::cmd_detect(ctx, iopt);
        } else if (iread->parsed()) {
            i2c::cmd_read(ctx, iopt, i2c_addr, i2c_reg, i2c_len);
        } else if (iwrite->parsed()) {
            i2c::cmd_write(ctx, iopt, i2c_addr, i2c_bytes);
        } else if (idump->parsed()) {
            i2c::cmd_dump(ctx, iopt, i2c_addr);
        }
        std::cout.flush();
        return static_cast<int>(Exit::ok);
    } catch (const ToolError& e) {
        std::cout.flush();
        print_error(e, a.json);
        return static_cast<int>(e.exit());
    } catch (const std::exception& e) {
        std::cerr << "orvtool: internal error: " << e.what() << "\n";
        return static_cast<int>(Exit::failed);
    }
}
