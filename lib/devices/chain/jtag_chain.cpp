#include "lib/devices/chain/jtag_chain.hpp"

#include <string>

#include <orv_tapwire.h>

#include "lib/wire/value_text.hpp"

#include "lib/devices/jep106/jep106.hpp"
#include "lib/devices/session/failure.hpp"

namespace orv::dev::chain {

namespace {

constexpr unsigned IDCODE_BITS = 32;

using ShiftFunction = decltype(&tapwire_shift_dr);

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

[[noreturn]] void chain_fault(std::int32_t code, const std::string& message, const std::string& hint)
{
    throw Failure(code, message, hint);
}

void reset(const Session& session, std::int32_t& state)
{
    check_bus(tapwire_reset(session.handle(), &state, session.timeout_ms()), "resetting the TAP");
}

void shift(const Session& session, std::int32_t& state, ShiftFunction function, unsigned bits,
           const Bytes& tdi, Bytes* tdo, const char* doing)
{
    check_bus(function(session.handle(), &state, static_cast<std::int32_t>(bits), tdi.data(),
                       tdo != nullptr ? tdo->data() : nullptr, 0, session.timeout_ms()),
              doing);
}

// Shifts `length` zeros, then `length` ones, through the registers the TAPs
// have selected, and returns TDO. The first 1 comes out after as many clocks
// as those registers hold bits, and the registers end up all ones.
Bytes zeros_then_ones(const Session& session, std::int32_t& state, ShiftFunction function, unsigned length,
                      const char* doing)
{
    const unsigned bits = 2 * length;
    Bytes tdi((bits + 7) / 8, 0);
    for (unsigned i = length; i < bits; ++i) {
        tdi[i / 8] = static_cast<std::uint8_t>(tdi[i / 8] | (1u << (i % 8)));
    }
    Bytes tdo(tdi.size(), 0);
    shift(session, state, function, bits, tdi, &tdo, doing);
    return tdo;
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
    id.vendor = jep106::manufacturer(id.bank, id.jep106_id);
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

Jtag::Jtag(Session& session, const Options& options)
    : session_(session), clock_(clock_not_above_khz(options.tck_khz)),
      lease_(session, JtagSetup{clock_.request_khz, options.direction, options.level})
{
    claim_adapter();
}

namespace {

// The chain scan's steps; `measured` gets what each step found.
Chain measure_chain(Jtag& jtag, std::vector<Done>& measured)
{
    jtag.claim_adapter();
    const Session& session = jtag.session();
    // Three steps: the IR sum, the device count, the IDCODEs.
    Progress progress(session, "scan", 3, ORVDEV_UNIT_ITEMS);
    std::int32_t state = TPW_TAP_TEST_LOGIC_RESET;
    reset(session, state);

    // Summed IR length. The registers end up all ones, which is BYPASS on
    // every TAP. The first bits out are the capture values, kept to split the
    // sum per device.
    Bytes ir_tdo =
        zeros_then_ones(session, state, tapwire_shift_ir, MAX_IR_TOTAL, "scanning the instruction registers");
    if (!find_bit(ir_tdo, 0, 2 * MAX_IR_TOTAL, false)) {
        chain_fault(ORVDEV_ERROR_CHAIN_SILENT, "TDO stays high: no JTAG device answers",
                    "check the target's power and the TDO wire (a floating TDO reads high)");
    }
    auto ir_end = find_bit(ir_tdo, MAX_IR_TOTAL, 2 * MAX_IR_TOTAL, true);
    if (!ir_end) {
        chain_fault(
            ORVDEV_ERROR_CHAIN_BROKEN,
            "TDO stays low while ones are shifted in: the chain is broken or its instruction registers "
            "add up to more than " +
                std::to_string(MAX_IR_TOTAL) + " bits",
            "check the TDI/TDO wiring and the target's power");
    }
    unsigned ir_total = *ir_end - MAX_IR_TOTAL;
    if (ir_total == 0) {
        chain_fault(ORVDEV_ERROR_CHAIN_NO_TAP, "TDO follows TDI without delay: there is no TAP in the chain",
                    "check that the target is connected and powered (TDI may be wired straight to TDO)");
    }
    measured.push_back(Done{"measured", {{"IR bits", ir_total, {}}}, {}, {}});
    progress.update(1);

    // Device count: every TAP now has its one-bit BYPASS register selected.
    Bytes dr_tdo = zeros_then_ones(session, state, tapwire_shift_dr, MAX_DEVICES, "counting the devices");
    auto dr_end = find_bit(dr_tdo, MAX_DEVICES, 2 * MAX_DEVICES, true);
    if (!dr_end || *dr_end == MAX_DEVICES) {
        chain_fault(ORVDEV_ERROR_CHAIN_BROKEN,
                    "the BYPASS registers do not add up to a chain of 1 to " + std::to_string(MAX_DEVICES) +
                        " devices",
                    "check the wiring and lower the TCK; a device without a working BYPASS breaks the count");
    }
    unsigned count = *dr_end - MAX_DEVICES;
    measured.push_back(Done{"counted", {{"devices", count, {}}}, {}, {}});
    progress.update(2);

    // IDCODEs: Test-Logic-Reset selects IDCODE (or BYPASS where there is none).
    reset(session, state);
    unsigned id_bits = count * IDCODE_BITS;
    Bytes id_tdi((id_bits + 7) / 8, 0xFF);
    Bytes id_tdo(id_tdi.size(), 0);
    shift(session, state, tapwire_shift_dr, id_bits, id_tdi, &id_tdo, "reading the IDCODEs");
    auto ids = parse_idcodes(id_tdo, id_bits, count);
    if (!ids) {
        chain_fault(ORVDEV_ERROR_CHAIN_BROKEN, "the IDCODE chain is shorter than the device count",
                    "check the wiring and lower the TCK");
    }
    progress.update(3);

    Chain chain;
    chain.ir_total = ir_total;
    auto lengths = split_ir_lengths(ir_tdo, ir_total, count);
    for (unsigned d = 0; d < count; ++d) {
        chain.devices.push_back(Device{(*ids)[d], lengths[d]});
    }
    return chain;
}

} // namespace

Chain scan_chain(Jtag& jtag)
{
    // When a step fails, what the steps before it measured goes with the error.
    std::vector<Done> measured;
    return reporting_done([&] { return measure_chain(jtag, measured); }, [&] { return measured; });
}

Bytes raw_scan(Jtag& jtag, const Scan& scan)
{
    jtag.claim_adapter();
    const Session& session = jtag.session();
    std::int32_t state = TPW_TAP_RUN_TEST_IDLE;
    if (scan.reset) {
        reset(session, state);
    } else {
        // One clock with TMS low: stays in Run-Test/Idle, and leaves
        // Test-Logic-Reset (where a TAP is after power-up) for it, without
        // touching the instruction a TAP holds.
        check_bus(tapwire_goto_idle(session.handle(), &state, 1, session.timeout_ms()),
                  "moving the TAP to Run-Test/Idle");
    }
    if (scan.instruction_first) {
        shift(session, state, tapwire_shift_ir, scan.instruction_first->bits, scan.instruction_first->value,
              nullptr, "loading the instruction");
    }
    Bytes tdo(scan.tdi.size(), 0);
    shift(session, state, scan.instruction_register ? tapwire_shift_ir : tapwire_shift_dr, scan.bits,
          scan.tdi, &tdo,
          scan.instruction_register ? "scanning the instruction register" : "scanning the data register");
    return tdo;
}

} // namespace orv::dev::chain
