// orvtool bsdl FILE: what a BSDL file says of its device, read without an
// adapter (its entity and standard, the instruction register, the IDCODE
// with its mask, each instruction's opcodes, the boundary register, each
// pin with its package pin, direction and cells, and what the reader
// skipped).
#pragma once

#include <CLI/CLI.hpp>

#include "front/orvtool/command.hpp"

namespace orvtool {

void register_bsdl(CLI::App& app, Chosen& chosen);

} // namespace orvtool
