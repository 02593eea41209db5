// The jtag commands: chain scan and raw IR/DR scans, their command line and
// their results.
#pragma once

#include <string>

#include "context.hpp"
#include "jtag_chain.hpp"
#include "result.hpp"

namespace orvtool::jtag {

// jtag ir|dr as given on the command line.
struct RawScan {
    bool instruction = false; // IR rather than DR
    unsigned bits = 0;
    std::string tdi_hex;
    bool reset = true; // reset the TAP first; without, the TAP is assumed in Run-Test/Idle
    // DR only: an instruction to load first
    unsigned ir_bits = 0;
    std::string ir_hex;
};
// The scan's bits, or a usage error when TDI (or the instruction) does not
// fit its length.
Scan parse_raw_scan(const RawScan& scan);

Result cmd_scan(const Context& ctx, const Options& options);
Result cmd_raw_scan(const Context& ctx, const Options& options, const Scan& scan);

} // namespace orvtool::jtag
