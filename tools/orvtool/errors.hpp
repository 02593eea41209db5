// Failures of orvtool commands. A command throws ToolError; main() prints it
// (and, with --json, a JSON error object) and exits with its status.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace orvtool {

// Exit statuses, documented in orvtool(1).
enum class Exit : int {
    ok = 0,
    failed = 1,     // the bus operation failed (no acknowledge, verify mismatch, adapter error)
    usage = 2,      // bad command line
    no_adapter = 3, // the adapter could not be opened (not found, permission, busy, no umockdev)
};

class ToolError : public std::runtime_error {
public:
    ToolError(Exit exit, std::string message, std::string hint = {}, std::optional<std::int32_t> code = {},
              std::string detail = {})
        : std::runtime_error(std::move(message)), exit_(exit), hint_(std::move(hint)), code_(code),
          detail_(std::move(detail))
    {
    }
    Exit exit() const { return exit_; }
    const std::string& hint() const { return hint_; }
    // The library result code behind the failure, when there is one.
    std::optional<std::int32_t> code() const { return code_; }
    // What the library said, when the message says it in the user's terms
    // ("reading from 0x51: tapwire other error (code -17)").
    const std::string& detail() const { return detail_; }

private:
    Exit exit_;
    std::string hint_;
    std::optional<std::int32_t> code_;
    std::string detail_;
};

[[noreturn]] inline void usage_error(std::string message, std::string hint = {})
{
    throw ToolError(Exit::usage, std::move(message), std::move(hint));
}

// What the user can do about a library result code, in general terms; the
// commands pass a more precise hint where they know better (an I2C address
// that was not acknowledged, for instance).
std::string hint_for_result(std::int32_t code);

// Throws ToolError(Exit::failed) for a non-zero library result: "<doing>:
// <library text> (code N)". `hint` replaces the generic one when not empty.
void check_result(std::int32_t code, const std::string& doing, const std::string& hint = {});

// "<doing>: <library text> (code N)"
std::string result_text(std::int32_t code, const std::string& doing);

} // namespace orvtool
