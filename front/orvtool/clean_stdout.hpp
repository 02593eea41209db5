// orvtool's standard output carries only its results: one JSON object with
// --json, the raw bytes of spi read -o -. The JTAG library writes its
// diagnostics to the process's standard output (as its callers may rely on),
// so orvtool moves its own output to a descriptor of its own and points
// descriptor 1 at standard error for the rest of the process.
#pragma once

#include <ostream>

namespace orvtool {

// Gives std::cout the original standard output and sends what the libraries
// print on descriptor 1 to standard error. Call once, before the first
// operation and after anything that may execute another program.
void keep_stdout_for_results();

} // namespace orvtool
