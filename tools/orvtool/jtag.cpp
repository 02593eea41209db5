#include "jtag.hpp"

#include <array>
#include <cstdio>

#include <orv_tapwire.h>

#include "errors.hpp"

namespace orvtool::jtag {

namespace {

struct Vendor {
    unsigned bank;
    std::uint8_t id;
    const char* name;
};

// A few JEP106 manufacturers common on JTAG chains.
constexpr std::array<Vendor, 10> VENDORS{{
    {1, 0x01, "AMD"},
    {1, 0x09, "Intel"},
    {1, 0x0E, "Freescale"},
    {1, 0x15, "NXP"},
    {1, 0x17, "Texas Instruments"},
    {1, 0x1F, "Atmel"},
    {1, 0x20, "STMicroelectronics"},
    {1, 0x49, "Xilinx"},
    {1, 0x6E, "Altera"},
    {5, 0x3B, "ARM Ltd"},
}};

constexpr unsigned IDCODE_BITS = 32;

void fill_ones(Bytes& bytes, unsigned from_bit, unsigned to_bit)
{
    for (unsigned i = from_bit; i < to_bit; ++i) {
        bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | (1u << (i % 8)));
    }
}

std::uint32_t read_u32(std::span<const std::uint8_t> bits, unsigned from)
{
    std::uint32_t v = 0;
    for (unsigned b = 0; b < IDCODE_BITS; ++b) {
        if (bit_at(bits, from + b)) {
            v |= 1u << b;
        }
    }
    return v;
}

[[noreturn]] void chain_fault(const std::string& message, const std::string& hint)
{
    throw ToolError(Exit::failed, message, hint);
}

} // namespace

Idcode decode_idcode(std::uint32_t raw)
{
    Idcode id;
    id.raw = raw;
    id.manufacturer = static_cast<std::uint16_t>((raw >> 1) & 0x7FF);
    id.bank = ((id.manufacturer >> 7) & 0xF) + 1;
    id.jep106_id = static_cast<std::uint8_t>(id.manufacturer & 0x7F);
    id.part = static_cast<std::uint16_t>((raw >> 12) & 0xFFFF);
    id.version = static_cast<std::uint8_t>(raw >> 28);
    for (const auto& v : VENDORS) {
        if (v.bank == id.bank && v.id == id.jep106_id) {
            id.vendor = v.name;
        }
    }
    return id;
}

std::optional<unsigned> find_bit(std::span<const std::uint8_t> bits, unsigned from, unsigned count,
                                 bool value)
{
    for (unsigned i = from; i < count; ++i) {
        if (bit_at(bits, i) == value) {
            return i;
        }
    }
    return std::nullopt;
}

std::vector<std::optional<unsigned>> split_ir_lengths(std::span<const std::uint8_t> capture, unsigned total,
                                                      unsigned devices)
{
    std::vector<std::optional<unsigned>> lengths(devices);
    if (devices == 0) {
        return lengths;
    }
    if (devices == 1) {
        lengths[0] = total;
        return lengths;
    }
    // Candidate starts: a 1 followed by a 0. Only when there is exactly one per
    // device, the first at bit 0, are the boundaries certain.
    std::vector<unsigned> starts;
    for (unsigned i = 0; i + 1 < total; ++i) {
        if (bit_at(capture, i) && !bit_at(capture, i + 1)) {
            starts.push_back(i);
        }
    }
    if (starts.size() != devices || starts.front() != 0) {
        return lengths;
    }
    for (unsigned d = 0; d < devices; ++d) {
        unsigned end = d + 1 < devices ? starts[d + 1] : total;
        lengths[d] = end - starts[d];
    }
    return lengths;
}

std::optional<std::vector<std::optional<Idcode>>> parse_idcodes(std::span<const std::uint8_t> bits,
                                                                unsigned count, unsigned devices)
{
    std::vector<std::optional<Idcode>> ids;
    unsigned pos = 0;
    for (unsigned d = 0; d < devices; ++d) {
        if (pos >= count) {
            return std::nullopt;
        }
        if (!bit_at(bits, pos)) {
            ids.emplace_back(); // BYPASS: one bit, no IDCODE
            pos += 1;
            continue;
        }
        if (pos + IDCODE_BITS > count) {
            return std::nullopt;
        }
        ids.emplace_back(decode_idcode(read_u32(bits, pos)));
        pos += IDCODE_BITS;
    }
    return ids;
}

void setup(const Context& ctx, const Options& options)
{
    check_result(tapwire_tckset(ctx.handle, options.tck_khz, ctx.timeout_ms), "setting the TCK clock");
    check_result(tapwire_ioset(ctx.handle, options.direction, options.level, ctx.timeout_ms),
                 "setting the JTAG pins");
}

Chain scan_chain(const Context& ctx)
{
    std::int32_t state = TPW_TAP_TEST_LOGIC_RESET;
    check_result(tapwire_reset(ctx.handle, &state, ctx.timeout_ms), "resetting the TAP");

    // Summed IR length: shift zeros then ones through all instruction
    // registers; the first 1 arrives after as many clocks as there are IR bits.
    // The registers end up all ones, which is BYPASS on every TAP. The first
    // bits out are the capture values, kept to split the sum per device.
    constexpr unsigned IR_SCAN = 2 * MAX_IR_TOTAL;
    Bytes ir_tdi(IR_SCAN / 8, 0);
    fill_ones(ir_tdi, MAX_IR_TOTAL, IR_SCAN);
    Bytes ir_tdo(IR_SCAN / 8, 0);
    check_result(tapwire_shift_ir(ctx.handle, &state, static_cast<std::int32_t>(IR_SCAN), ir_tdi.data(),
                                  ir_tdo.data(), 0, ctx.timeout_ms),
                 "scanning the instruction registers");
    if (!find_bit(ir_tdo, 0, IR_SCAN, false)) {
        chain_fault("TDO stays high: no JTAG device answers",
                    "check the target's power and the TDO wire (a floating TDO reads high)");
    }
    auto ir_end = find_bit(ir_tdo, MAX_IR_TOTAL, IR_SCAN, true);
    if (!ir_end) {
        chain_fault(
            "TDO stays low while ones are shifted in: the chain is broken or its instruction registers "
            "add up to more than " +
                std::to_string(MAX_IR_TOTAL) + " bits",
            "check the TDI/TDO wiring and the target's power");
    }
    unsigned ir_total = *ir_end - MAX_IR_TOTAL;
    if (ir_total == 0) {
        chain_fault("TDO follows TDI without delay: there is no TAP in the chain",
                    "check that the target is connected and powered (TDI may be wired straight to TDO)");
    }

    // Device count: every TAP now has its one-bit BYPASS register selected.
    constexpr unsigned DR_SCAN = 2 * MAX_DEVICES;
    Bytes dr_tdi(DR_SCAN / 8, 0);
    fill_ones(dr_tdi, MAX_DEVICES, DR_SCAN);
    Bytes dr_tdo(DR_SCAN / 8, 0);
    check_result(tapwire_shift_dr(ctx.handle, &state, static_cast<std::int32_t>(DR_SCAN), dr_tdi.data(),
                                  dr_tdo.data(), 0, ctx.timeout_ms),
                 "counting the devices");
    auto dr_end = find_bit(dr_tdo, MAX_DEVICES, DR_SCAN, true);
    if (!dr_end || *dr_end == MAX_DEVICES) {
        chain_fault("the BYPASS registers do not add up to a chain of 1 to " + std::to_string(MAX_DEVICES) +
                        " devices",
                    "check the wiring and lower --tck; a device without a working BYPASS breaks the count");
    }
    unsigned count = *dr_end - MAX_DEVICES;

    // IDCODEs: Test-Logic-Reset selects IDCODE (or BYPASS where there is none).
    check_result(tapwire_reset(ctx.handle, &state, ctx.timeout_ms), "resetting the TAP");
    unsigned id_bits = count * IDCODE_BITS;
    Bytes id_tdi((id_bits + 7) / 8, 0xFF);
    Bytes id_tdo(id_tdi.size(), 0);
    check_result(tapwire_shift_dr(ctx.handle, &state, static_cast<std::int32_t>(id_bits), id_tdi.data(),
                                  id_tdo.data(), 0, ctx.timeout_ms),
                 "reading the IDCODEs");
    auto ids = parse_idcodes(id_tdo, id_bits, count);
    if (!ids) {
        chain_fault("the IDCODE chain is shorter than the device count", "check the wiring and lower --tck");
    }

    Chain chain;
    chain.ir_total = ir_total;
    auto lengths = split_ir_lengths(ir_tdo, ir_total, count);
    for (unsigned d = 0; d < count; ++d) {
        chain.devices.push_back(Device{(*ids)[d], lengths[d]});
    }
    return chain;
}

void cmd_scan(const Context& ctx, const Options& options)
{
    setup(ctx, options);
    Chain chain = scan_chain(ctx);
    std::ostream& out = *ctx.out;
    if (ctx.json) {
        JsonWriter j(out);
        j.begin_object().key("tck_khz").value(options.tck_khz).key("ir_total").value(chain.ir_total);
        j.key("devices").begin_array();
        for (std::size_t i = 0; i < chain.devices.size(); ++i) {
            const Device& d = chain.devices[i];
            j.begin_object().key("index").value(static_cast<std::uint64_t>(i));
            if (d.idcode) {
                const Idcode& id = *d.idcode;
                j.key("idcode").value(hex(id.raw, 8));
                j.key("manufacturer").value(hex(id.manufacturer, 3));
                j.key("jep106_bank").value(id.bank).key("jep106_id").value(hex(id.jep106_id, 2));
                j.key("vendor");
                id.vendor ? j.value(id.vendor) : j.null();
                j.key("part").value(hex(id.part, 4)).key("version").value(static_cast<unsigned>(id.version));
            } else {
                j.key("idcode").null();
            }
            j.key("ir_length");
            d.ir_length ? j.value(*d.ir_length) : j.null();
            j.end_object();
        }
        j.end_array().end_object().finish();
        return;
    }
    out << "JTAG chain: " << chain.devices.size() << (chain.devices.size() == 1 ? " device" : " devices")
        << ", " << chain.ir_total << " IR bits in all (device 0 is nearest TDO)\n";
    char line[160];
    std::snprintf(line, sizeof line, "%-3s %-10s  %-36s %-6s  %-7s  %s\n", "#", "IDCODE", "MANUFACTURER",
                  "PART", "VERSION", "IR");
    out << line;
    for (std::size_t i = 0; i < chain.devices.size(); ++i) {
        const Device& d = chain.devices[i];
        std::string ir = d.ir_length ? std::to_string(*d.ir_length) : "?";
        if (!d.idcode) {
            std::snprintf(line, sizeof line, "%-3zu %-10s  %-36s %-6s  %-7s  %s\n", i, "-",
                          "(no IDCODE: BYPASS after reset)", "-", "-", ir.c_str());
            out << line;
            continue;
        }
        const Idcode& id = *d.idcode;
        char maker[64];
        std::snprintf(maker, sizeof maker, "0x%03x bank %u id 0x%02x%s%s%s", id.manufacturer, id.bank,
                      id.jep106_id, id.vendor ? " (" : "", id.vendor ? id.vendor : "", id.vendor ? ")" : "");
        std::snprintf(line, sizeof line, "%-3zu 0x%08x  %-36s 0x%04x  %-7u  %s\n", i, id.raw, maker, id.part,
                      static_cast<unsigned>(id.version), ir.c_str());
        out << line;
    }
}

namespace {

Bytes scan_bits(const std::string& text, unsigned bits, const char* what)
{
    auto value = parse_hex_bits(text, bits);
    if (!value) {
        usage_error("'" + text + "' is not a hex value of at most " + std::to_string(bits) + " bits",
                    std::string("give ") + what + " as one hex number, bit 0 first out (for example 0x3f8)");
    }
    return *value;
}

} // namespace

void check_raw_scan(const RawScan& scan)
{
    scan_bits(scan.tdi_hex, scan.bits, "TDI");
    if (scan.ir_bits != 0) {
        scan_bits(scan.ir_hex, scan.ir_bits, "the instruction");
    }
}

void cmd_raw_scan(const Context& ctx, const Options& options, const RawScan& scan)
{
    std::optional<Bytes> tdi = scan_bits(scan.tdi_hex, scan.bits, "TDI");
    std::optional<Bytes> ir;
    if (scan.ir_bits != 0) {
        ir = scan_bits(scan.ir_hex, scan.ir_bits, "the instruction");
    }

    setup(ctx, options);
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE; // where every earlier scan left the TAP
    if (scan.reset) {
        check_result(tapwire_reset(ctx.handle, &state, ctx.timeout_ms), "resetting the TAP");
    }
    if (ir) {
        check_result(tapwire_shift_ir(ctx.handle, &state, static_cast<std::int32_t>(scan.ir_bits), ir->data(),
                                      nullptr, 0, ctx.timeout_ms),
                     "loading the instruction");
    }
    Bytes tdo(tdi->size(), 0);
    auto shift = scan.instruction ? tapwire_shift_ir : tapwire_shift_dr;
    check_result(shift(ctx.handle, &state, static_cast<std::int32_t>(scan.bits), tdi->data(), tdo.data(), 0,
                       ctx.timeout_ms),
                 scan.instruction ? "scanning the instruction register" : "scanning the data register");

    std::string tdi_text = bits_to_hex(*tdi, scan.bits);
    std::string tdo_text = bits_to_hex(tdo, scan.bits);
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("register").value(scan.instruction ? "ir" : "dr").key("bits").value(scan.bits);
        j.key("tdi").value(tdi_text).key("tdo").value(tdo_text).end_object().finish();
        return;
    }
    *ctx.out << "tdi " << tdi_text << "\ntdo " << tdo_text << "\n";
}

} // namespace orvtool::jtag
