#include "jtag_commands.hpp"

#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "command.hpp"
#include "errors.hpp"

namespace orvtool::jtag {

namespace {

// "0x000b:0x0008", as --pins takes it.
std::string default_pins()
{
    return hex(orv::JTAG_DEFAULT_DIRECTION, 4) + ":" + hex(orv::JTAG_DEFAULT_LEVEL, 4);
}

// jtag [--tck KHZ] [--pins DIR:LEVEL]
struct GroupArgs {
    std::string tck = std::to_string(Options{}.tck_khz);
    std::string pins;

    Options check() const
    {
        Options options;
        options.tck_khz = khz_arg(tck, "--tck");
        if (!pins.empty()) {
            auto colon = pins.find(':');
            if (colon == std::string::npos) {
                usage_error("bad --pins '" + pins + "'", "give DIR:LEVEL, for example " + default_pins());
            }
            options.direction =
                static_cast<std::uint16_t>(number_arg(pins.substr(0, colon), "--pins direction", 0xFFFF));
            options.level =
                static_cast<std::uint16_t>(number_arg(pins.substr(colon + 1), "--pins level", 0xFFFF));
        }
        return options;
    }
};

Bytes scan_bits(const std::string& text, unsigned bits, const char* what)
{
    auto value = parse_hex_bits(text, bits);
    if (!value) {
        usage_error("'" + text + "' is not a hex value of at most " + std::to_string(bits) + " bits",
                    std::string("give ") + what + " as one hex number, bit 0 first out (for example 0x3f8)");
    }
    return *value;
}

// jtag ir|dr --len N TDI [--no-reset] [--ir HEX --ir-len M]
struct RawScanArgs {
    RawScan scan;
    bool no_reset = false;
};

} // namespace

Scan parse_raw_scan(const RawScan& scan)
{
    Scan bits;
    bits.instruction_register = scan.instruction;
    bits.bits = scan.bits;
    bits.tdi = scan_bits(scan.tdi_hex, scan.bits, "TDI");
    bits.reset = scan.reset;
    if (scan.ir_bits != 0) {
        bits.instruction_first =
            Scan::Instruction{scan.ir_bits, scan_bits(scan.ir_hex, scan.ir_bits, "the instruction")};
    }
    return bits;
}

namespace {

std::string tck_text(const Options& options)
{
    std::uint32_t set = clock_set_khz(options.tck_khz);
    return std::to_string(set) + " kHz" +
           (set != options.tck_khz
                ? " (" + std::to_string(options.tck_khz) + " asked: the clock divisor rounds)"
                : "");
}

std::vector<std::string> openocd_taps(const Chain& chain)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < chain.devices.size(); ++i) {
        const Device& d = chain.devices[i];
        std::string line = "jtag newtap auto" + std::to_string(i) + " tap -irlen " +
                           (d.ir_length ? std::to_string(*d.ir_length) : "N");
        if (d.idcode) {
            line += " -expected-id " + hex(d.idcode->raw, 8);
        }
        // An IR length the capture pattern could not tell stays for the user
        // to fill in: the line is a comment until then.
        lines.push_back(d.ir_length ? line : "# " + line + "  (IR length unknown)");
    }
    return lines;
}

} // namespace

Result cmd_scan(const Context& ctx, const Options& options)
{
    setup(ctx, options);
    Chain chain = scan_chain(ctx);

    Result result;
    result.field("tck_khz", clock_set_khz(options.tck_khz))
        .field("tck_khz_asked", options.tck_khz)
        .field("ir_total", chain.ir_total);
    std::size_t count = chain.devices.size();
    result.line("JTAG chain: " + count_text(count, "device") + ", " + std::to_string(chain.ir_total) +
                " IR bits in all (device 0 is nearest TDO), TCK " + tck_text(options));
    Table table{
        {{"#", 3, 1}, {"IDCODE", 10, 2}, {"MANUFACTURER", 36, 1}, {"PART", 6, 2}, {"VERSION", 7, 2}, {"IR"}},
        {}};
    for (std::size_t i = 0; i < count; ++i) {
        const Device& d = chain.devices[i];
        std::string ir = d.ir_length ? std::to_string(*d.ir_length) : "?";
        if (!d.idcode) {
            table.rows.push_back(
                {Value::object({{"index", i}, {"idcode", Value()}, {"ir_length", d.ir_length}}),
                 {std::to_string(i), "-", "(no IDCODE: BYPASS after reset)", "-", "-", ir}});
            continue;
        }
        const Idcode& id = *d.idcode;
        std::string maker =
            hex(id.manufacturer, 3) + " bank " + std::to_string(id.bank) + " id " + hex(id.jep106_id, 2);
        maker += id.vendor != nullptr ? std::string(" (") + id.vendor + ")" : " (not in JEP106)";
        table.rows.push_back(
            {Value::object({{"index", i},
                            {"idcode", hex(id.raw, 8)},
                            {"manufacturer", hex(id.manufacturer, 3)},
                            {"jep106_bank", id.bank},
                            {"jep106_id", hex(id.jep106_id, 2)},
                            {"vendor", id.vendor},
                            {"part", hex(id.part, 4)},
                            {"version", static_cast<unsigned>(id.version)},
                            {"ir_length", d.ir_length}}),
             {std::to_string(i), hex(id.raw, 8), maker, hex(id.part, 4), std::to_string(id.version), ir}});
    }
    result.table("devices", std::move(table));

    std::vector<std::string> taps = openocd_taps(chain);
    Value::List json_taps(taps.begin(), taps.end());
    std::string text = "OpenOCD TAP declarations (nearest TDO first):\n";
    for (const auto& t : taps) {
        text += t + "\n";
    }
    return result.field("openocd", Value::list(std::move(json_taps))).text(text);
}

Result cmd_raw_scan(const Context& ctx, const Options& options, const Scan& scan)
{
    setup(ctx, options);
    Bytes tdo = raw_scan(ctx, scan);
    return Result()
        .field("register", scan.instruction_register ? "ir" : "dr")
        .field("bits", scan.bits)
        .labelled("tck_khz", clock_set_khz(options.tck_khz), "tck", tck_text(options))
        .labelled("tdi", bits_to_hex(scan.tdi, scan.bits), "tdi")
        .labelled("tdo", bits_to_hex(tdo, scan.bits), "tdo");
}

} // namespace orvtool::jtag

namespace orvtool {

void register_jtag(CLI::App& app, Chosen& chosen)
{
    using namespace jtag;
    auto group = std::make_shared<GroupArgs>();
    auto* jtag = add_group(app, "jtag", "JTAG chain");
    add_clock_option(jtag, "--tck", group->tck, "TCK frequency");
    jtag->add_option("--pins", group->pins, "pin direction and level (default " + default_pins() + ")")
        ->type_name("DIR:LEVEL");

    add_plain_command(jtag, chosen, group, "scan", "count the devices, their IR lengths and IDCODEs",
                      cmd_scan);

    for (bool instruction : {true, false}) {
        auto args = std::make_shared<RawScanArgs>();
        args->scan.instruction = instruction;
        auto* raw = jtag->add_subcommand(instruction ? "ir" : "dr",
                                         instruction ? "raw instruction-register scan, TDO printed in hex"
                                                     : "raw data-register scan, TDO printed in hex");
        raw->add_option("--len", args->scan.bits, "number of bits")
            ->required()
            ->check(CLI::Range(1u, 32768u));
        raw->add_option("TDI", args->scan.tdi_hex, "bits to shift in, as one hex number (bit 0 first out)")
            ->required();
        raw->add_flag("--no-reset", args->no_reset,
                      "do not reset the TAPs first: they must be in Run-Test/Idle (where every orvtool scan "
                      "leaves them) or in Test-Logic-Reset (after power-up); one TCK with TMS low takes them "
                      "from either to Run-Test/Idle, keeping their instructions");
        if (!instruction) {
            raw->add_option("--ir", args->scan.ir_hex,
                            "load this instruction first: every TAP's instruction in one number, device 0's "
                            "(nearest TDO) in the low bits")
                ->type_name("HEX");
            raw->add_option("--ir-len", args->scan.ir_bits,
                            "length of --ir in bits: the whole chain's IR length, the sum of every TAP's "
                            "(jtag scan prints it as 'IR bits in all')")
                ->check(CLI::Range(1u, 32768u));
        }
        on_chosen(raw, chosen, [group, args] {
            Options options = group->check();
            RawScan scan = args->scan;
            if (scan.ir_hex.empty() != (scan.ir_bits == 0)) {
                usage_error("--ir and --ir-len go together");
            }
            scan.reset = !args->no_reset;
            return Action([options, bits = parse_raw_scan(scan)](const Context& ctx) {
                return cmd_raw_scan(ctx, options, bits);
            });
        });
    }
}

} // namespace orvtool
