// The boundary-scan commands of the jtag group: jtag bsdl (BSDL files
// matched to the chain), jtag pins (SAMPLE, once or --watch), jtag set
// (PRELOAD and EXTEST, --hold) and jtag connect-test (the interconnect test
// of a netlist). BSDL files come from --bsdl and ORV_BSDL_PATH, and are read
// whole before the adapter is opened.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

#include "front/orvtool/command.hpp"
#include "front/orvtool/jtag_commands.hpp"

namespace orvtool {

// Adds the commands to the jtag group; `group_options` checks the group's
// --tck and --pins.
void register_boundary_scan(CLI::App* jtag, Chosen& chosen, std::function<jtag::Options()> group_options);

} // namespace orvtool
