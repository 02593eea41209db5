// Fuzz target: what orvtool parses. The first input byte picks one of:
//
//   a command line   words separated by NUL bytes, parsed by the same command
//                    groups as orvtool's (and its global options); the chosen
//                    command's checks run, its action does not. Every failure
//                    must be CLI11's parse error or orvtool's usage error.
//   a JTAG chain     1..8 TAPs (or none) with IR lengths and IDCODEs from the
//                    input, behind the emulated adapter: the device library's
//                    chain scan must find exactly that chain (count, IR
//                    lengths, IDCODEs), or fail saying there is no TAP.
//   scan captures    TDO bits handed to the capture parsers, and hex bit
//                    strings through parse_hex_bits and bits_to_hex: results
//                    stay within the capture and the round trip holds.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/orvtool/command.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/format.hpp"
#include "lib/devices/chain/jtag_chain.hpp"
#include "orv_devices.h"
#include "sim/emulator/adapter.hpp"
#include "sim/emulator/inproc_usb.hpp"
#include "tests/fuzz/input_reader.hpp"

namespace {

using orv::fuzz::InputReader;
using namespace orvtool;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// orvtool's command line as main() builds it, checked as main() checks it
// before it would open the adapter.
void command_line(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words{"orvtool"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 24; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else if (word.size() < 80) {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(word);

    CLI::App app{"orvtool"};
    app.fallthrough();
    app.require_subcommand(1);
    std::string usb, sim_fault = "none", timeout = "1000";
    bool sim = false, json = false;
    auto* usb_option = app.add_option("--usb", usb);
    auto* sim_flag = app.add_flag("--sim", sim);
    usb_option->excludes(sim_flag);
    app.add_option("--sim-fault", sim_fault);
    app.add_flag("--json", json);
    app.add_option("--timeout", timeout);
    Chosen chosen;
    register_jtag(app, chosen);
    register_spi(app, chosen);
    register_i2c(app, chosen);

    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError&) {
        return;
    }
    try {
        (void)timeout_arg(timeout);
        if (!usb.empty()) {
            orvdev_adapter_selector selector{};
            (void)orvdev_adapter_selector_parse(usb.c_str(), &selector, nullptr);
        }
        if (chosen.check) {
            Action action = chosen.check();
            require(static_cast<bool>(action));
        }
    } catch (const ToolError& e) {
        require(e.exit() == Exit::usage);
    }
}

// A chain built from the input behind the emulated adapter, scanned by
// orvtool.
void chain_scan(InputReader& in)
{
    const unsigned count = in.byte() % 9;
    std::vector<orv::emu::TapConfig> taps;
    unsigned ir_total = 0;
    for (unsigned i = 0; i < count; ++i) {
        orv::emu::TapConfig tap;
        tap.name = "tap" + std::to_string(i);
        tap.idcode = in.u32() | 1; // an IDCODE's first bit is 1
        tap.ir_length = 2 + in.byte() % 31;
        // All ones is BYPASS, as the scan relies on; IDCODE and USER are
        // other codes.
        const auto ones = static_cast<std::uint32_t>((1ULL << tap.ir_length) - 1);
        tap.bypass_instruction = ones;
        tap.idcode_instruction = in.u32() % ones;
        tap.user_instruction = tap.idcode_instruction == 0 ? 1 : 0;
        ir_total += tap.ir_length;
        taps.push_back(tap);
    }
    orv::emu::SpiFlashConfig flash;
    flash.size = 4096;
    orv::emu::Adapter adapter({}, orv::emu::Board{orv::emu::JtagChain(taps), orv::emu::SpiFlash(flash), {}});
    orv::emu::InprocUsb usb(adapter);
    orvdev_session_options options{};
    orvdev_session_options_init(&options);
    options.timeout_ms = 10;
    orvdev_session* session = nullptr;
    orvdev_report report{};
    require(orvdev_session_open(usb.handle(), &options, &session, &report) == 0);
    orvdev_jtag* jtag = nullptr;
    require(orvdev_jtag_open(session, nullptr, &jtag, &report) == 0);
    orvdev_chain chain{};
    const std::int32_t rc = orvdev_chain_scan(jtag, &chain, &report);
    if (rc == 0) {
        require(count > 0);
        require(chain.count == count && chain.ir_total == ir_total);
        for (unsigned i = 0; i < count; ++i) {
            const orvdev_tap& d = chain.taps[i];
            require(d.has_idcode != 0 && d.idcode == taps[i].idcode);
            require(d.ir_length_known != 0 && d.ir_length == taps[i].ir_length);
        }
    } else {
        require(count == 0 && rc == ORVDEV_ERROR_CHAIN_NO_TAP);
    }
    orvdev_jtag_close(jtag);
    orvdev_session_close(session);
}

void captures(InputReader& in, const std::uint8_t* data, std::size_t size)
{
    const unsigned total = in.u16() % 1100;
    const unsigned devices = in.byte() % 70;
    const std::vector<std::uint8_t> bits(data, data + size);
    const unsigned available = static_cast<unsigned>(std::min<std::size_t>(bits.size() * 8, 1U << 16));

    const auto lengths = orv::dev::chain::split_ir_lengths(bits, std::min(total, available), devices);
    require(lengths.size() == devices);
    unsigned sum = 0;
    bool all = true;
    for (const auto& l : lengths) {
        all = all && l.has_value();
        sum += l.value_or(0);
    }
    require(!all || devices == 0 || sum == std::min(total, available));

    const unsigned count = std::min(total, available);
    if (const auto ids = orv::dev::chain::parse_idcodes(bits, count, devices)) {
        require(ids->size() == devices);
        for (const auto& id : *ids) {
            require(!id || (id->raw & 1) == 1);
        }
    }
    const unsigned from = in.u16() % 1200;
    if (const auto at = orv::dev::chain::find_bit(bits, from, count, (in.byte() & 1) != 0)) {
        require(*at >= from && *at < count);
    }

    // Hex bit strings: what bits_to_hex prints, parse_hex_bits reads back.
    const unsigned n = 1 + in.u16() % 600;
    std::vector<std::uint8_t> value((n + 7) / 8);
    for (auto& b : value) {
        b = in.byte();
    }
    if (n % 8 != 0) {
        value.back() = static_cast<std::uint8_t>(value.back() & ((1U << (n % 8)) - 1));
    }
    const auto back = parse_hex_bits(bits_to_hex(value, n), n);
    require(back && *back == value);
    const std::string text(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 200));
    if (const auto parsed = parse_hex_bits(text, n)) {
        require(parsed->size() == (n + 7) / 8);
    }
    if (const auto number = parse_number(text, 1000000)) {
        require(*number <= 1000000);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    InputReader in({data + 1, size - 1});
    switch (data[0] % 3) {
    case 0:
        command_line(data + 1, size - 1);
        break;
    case 1:
        chain_scan(in);
        break;
    default:
        captures(in, data + 1, size - 1);
        break;
    }
    return 0;
}
