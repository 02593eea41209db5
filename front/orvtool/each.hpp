// --each: one command on every adapter found (or on those named by repeated
// --usb), each in a worker thread of its own with its own adapter handle,
// session, inputs, output buffers and progress, all at once. The main thread
// only draws: one line per adapter as each finishes, then a summary (JSON
// lines with --json), and, on a terminal, every running adapter's progress on
// a line of its own. Nothing is shared on the data path: a slow, failing or
// unplugged adapter holds up no other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "front/orvtool/errors.hpp"

namespace CLI {
class App;
}

namespace orvtool {

struct Chosen;

struct EachOptions {
    std::vector<std::string> usb; // --usb, repeated; empty: every adapter on the buses
    bool json = false;
    std::uint32_t timeout_ms = 1000;
    bool display = false; // stderr is a terminal and not --json: live progress lines
    unsigned columns = 0;
};

// Why the command `app` chose cannot run with --each (it holds the adapter
// or the terminal until Ctrl-C, reads standard input, or writes one output
// file that every adapter would overwrite); nothing when it can.
std::optional<ToolError> each_refusal(const CLI::App& app);

// The adapter's name in output file names (%s): its serial number with every
// character but letters, digits, '-', '_' and '.' made '_' (the serial comes
// from the device), and never starting with '.'; its port ("1-1.3"), or
// "BUS-ADDR", when the serial is empty or `shared` with another adapter.
std::string file_name_for(const std::string& serial, const std::string& port, std::uint8_t bus,
                          std::uint8_t address, bool shared);

// Runs the chosen command with --each: refuses what cannot run so, checks the
// arguments once per adapter (each worker gets inputs of its own), opens
// every adapter in its worker, and reports. The exit status: 0 when every
// adapter succeeded, else the highest of theirs; 128 + the signal after
// Ctrl-C or SIGTERM. Throws ToolError for what stops it before any adapter
// is touched (bad arguments, no adapter at all).
int run_each(const CLI::App& app, Chosen& chosen, const EachOptions& options);

} // namespace orvtool
