// The C functions of the JTAG chain.
#include <algorithm>
#include <cstring>

#include "lib/devices/chain/jtag_chain.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;

namespace {

orvdev_clock to_c(const orv::ClockChoice& c)
{
    return orvdev_clock{c.actual_hz, c.divisor, c.request_khz, c.raised ? 1 : 0};
}

void to_c(const chain::Idcode& id, orvdev_tap& tap)
{
    tap.has_idcode = 1;
    tap.idcode = id.raw;
    tap.manufacturer = id.manufacturer;
    tap.jep106_bank = id.bank;
    tap.jep106_id = id.jep106_id;
    tap.part = id.part;
    tap.version = id.version;
    tap.vendor = id.vendor;
}

std::size_t bytes_for(std::uint32_t bits)
{
    return (std::size_t{bits} + 7) / 8;
}

} // namespace

extern "C" {

void orvdev_jtag_options_init(orvdev_jtag_options* options)
{
    if (options != nullptr) {
        const chain::Options defaults;
        *options = orvdev_jtag_options{defaults.tck_khz, defaults.direction, defaults.level};
    }
}

int32_t orvdev_jtag_open(orvdev_session* session, const orvdev_jtag_options* options, orvdev_jtag** out,
                         orvdev_report* report)
{
    if (session == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no session, or nowhere to put the JTAG handle");
    }
    orvdev_jtag_options chosen{};
    orvdev_jtag_options_init(&chosen);
    if (options != nullptr) {
        chosen = *options;
    }
    if (chosen.tck_khz == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "a TCK of 0 kHz");
    }
    orvdev_jtag* jtag = nullptr;
    const std::int32_t rc = guarded(session, report, [&] {
        jtag = new orvdev_jtag{
            chain::Jtag(*session, chain::Options{chosen.tck_khz, chosen.direction, chosen.level})};
    });
    if (rc == 0) {
        *out = jtag;
    }
    return rc;
}

void orvdev_jtag_close(orvdev_jtag* jtag)
{
    delete jtag;
}

orvdev_clock orvdev_jtag_clock(const orvdev_jtag* jtag)
{
    return jtag != nullptr ? to_c(jtag->jtag.clock()) : orvdev_clock{};
}

void orvdev_idcode_decode(uint32_t idcode, orvdev_tap* tap)
{
    if (tap != nullptr) {
        std::memset(tap, 0, sizeof *tap);
        to_c(chain::decode_idcode(idcode), *tap);
    }
}

int32_t orvdev_chain_scan(orvdev_jtag* jtag, orvdev_chain* chain, orvdev_report* report)
{
    if (jtag == nullptr || chain == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG handle, or nowhere to put the chain");
    }
    return guarded(&jtag->jtag.session(), report, [&] {
        const chain::Chain found = chain::scan_chain(jtag->jtag);
        std::memset(chain, 0, sizeof *chain);
        chain->ir_total = found.ir_total;
        chain->count =
            static_cast<std::uint32_t>(std::min<std::size_t>(found.devices.size(), ORVDEV_JTAG_MAX_DEVICES));
        for (std::uint32_t i = 0; i < chain->count; ++i) {
            const chain::Device& d = found.devices[i];
            orvdev_tap& tap = chain->taps[i];
            if (d.idcode) {
                to_c(*d.idcode, tap);
            }
            tap.ir_length_known = d.ir_length.has_value() ? 1 : 0;
            tap.ir_length = d.ir_length.value_or(0);
        }
    });
}

int32_t orvdev_jtag_raw_scan(orvdev_jtag* jtag, const orvdev_raw_scan* scan, uint8_t* tdo,
                             orvdev_report* report)
{
    if (jtag == nullptr || scan == nullptr || tdo == nullptr || scan->tdi == nullptr || scan->bits == 0 ||
        (scan->reg != ORVDEV_JTAG_IR && scan->reg != ORVDEV_JTAG_DR) ||
        (scan->ir_bits != 0 && scan->ir == nullptr) || (scan->ir_bits != 0 && scan->reg != ORVDEV_JTAG_DR)) {
        return refuse(
            report, ORVDEV_ERROR_INVALID_ARGUMENT,
            "a raw scan needs a handle, bits, TDI and TDO buffers, and an instruction only before a "
            "data scan");
    }
    return guarded(&jtag->jtag.session(), report, [&] {
        chain::Scan s;
        s.instruction_register = scan->reg == ORVDEV_JTAG_IR;
        s.bits = scan->bits;
        s.tdi.assign(scan->tdi, scan->tdi + bytes_for(scan->bits));
        s.reset = scan->reset != 0;
        if (scan->ir_bits != 0) {
            s.instruction_first =
                chain::Scan::Instruction{scan->ir_bits, Bytes(scan->ir, scan->ir + bytes_for(scan->ir_bits))};
        }
        const Bytes out = chain::raw_scan(jtag->jtag, s);
        std::memcpy(tdo, out.data(), out.size());
    });
}

} // extern "C"
