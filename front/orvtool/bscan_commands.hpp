// The boundary-scan commands of the jtag group: jtag bsdl (BSDL files
// matched to the chain), jtag pins (SAMPLE, once or --watch), jtag set
// (PRELOAD and EXTEST, --hold) and jtag connect-test (the interconnect test
// of a netlist). BSDL files come from --bsdl and ORV_BSDL_PATH, and are read
// whole before the adapter is opened.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/orvtool/command.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/jtag_commands.hpp"

namespace orvtool {

// Adds the commands to the jtag group; `group_options` checks the group's
// --tck and --pins.
void register_boundary_scan(CLI::App* jtag, Chosen& chosen, std::function<jtag::Options()> group_options);

// --via-bscan TAP:ROLE=PORT,...: pins of one device on the chain as a bus.
// The TAP is an index (0 nearest TDO) or the entity of its BSDL file.
struct ViaBscan {
    std::string tap;
    std::vector<std::pair<std::string, std::string>> pins; // role, port: in the order `roles` gives
};
// Parses the option's value; a usage error names what is wrong (nothing is
// sent: the adapter is not used yet).
[[nodiscard]] ViaBscan parse_via_bscan(const std::string& pins_value, const std::vector<std::string>& roles);

// The chain scanned and matched to the BSDL files (`bsdl`, then
// ORV_BSDL_PATH), the TAP chosen, its pins checked, and the boundary-scan
// handle open: what a bus of pins needs, kept together.
struct PinBusChain {
    std::shared_ptr<void> keep; // the files and the JTAG handle, for as long as `bscan` lives
    BscanHandle bscan;
    std::uint32_t tap = 0;
};
// `tck_khz`: the JTAG clock.
[[nodiscard]] PinBusChain open_pin_bus_chain(const Context& ctx, const ViaBscan& via,
                                             const std::vector<std::string>& bsdl, std::uint32_t tck_khz);

} // namespace orvtool
