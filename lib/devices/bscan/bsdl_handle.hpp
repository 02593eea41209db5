// What an orvdev_bsdl handle is, for the C functions that take one, and the
// chain of orv_devices.h as the boundary-scan code takes it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "lib/devices/bscan/netlist.hpp"
#include "lib/devices/chain/jtag_chain.hpp"
#include "orv_devices.h"

struct orvdev_bsdl {
    orv::dev::bscan::BsdlFile file;
};

namespace orv::dev::bscan {

// A scanned chain as the caller holds it (orvdev_chain_scan()).
[[nodiscard]] inline chain::Chain chain_from_c(const orvdev_chain& c)
{
    chain::Chain out;
    out.ir_total = c.ir_total;
    for (std::uint32_t i = 0; i < std::min<std::uint32_t>(c.count, ORVDEV_JTAG_MAX_DEVICES); ++i) {
        const orvdev_tap& t = c.taps[i];
        chain::Device d;
        if (t.has_idcode != 0) {
            d.idcode = chain::decode_idcode(t.idcode);
        }
        if (t.ir_length_known != 0) {
            d.ir_length = t.ir_length;
        }
        out.devices.push_back(d);
    }
    return out;
}

} // namespace orv::dev::bscan
