// Failures of orvtool commands. A command throws ToolError; main() prints it
// (and, with --json, a JSON error object) and exits with its status.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvtool {

// Exit statuses, documented in orvtool(1).
enum class Exit : int {
    ok = 0,
    failed = 1,     // the bus operation failed (no acknowledge, verify mismatch, adapter error)
    usage = 2,      // bad command line
    no_adapter = 3, // the adapter could not be opened (not found, permission, busy, no umockdev)
};

// What a command that makes many steps had done when one of them failed, so
// that the user knows what changed and where to take up. Rendered with the
// error, in text as "programmed 2048 of 4096 bytes (8 of 16 pages) from
// 0x000000, stopped at 0x000800" and in JSON as an object of the counts.
struct Done {
    struct Count {
        std::string unit; // plural: "bytes", "pages", "sectors", "addresses", "IR bits"
        std::uint64_t done = 0;
        std::optional<std::uint64_t> total; // when the command knew how many it had to do
    };
    std::string action;                      // in the past tense: "programmed", "erased", "read"
    std::vector<Count> counts;               // the first leads; the others follow in brackets
    std::optional<std::uint64_t> from;       // the first address or offset the action worked on
    std::optional<std::uint64_t> stopped_at; // where the step that failed started
    int address_digits = 6;                  // hex digits of from and stopped_at in text
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
    // What the command had done before it failed, earliest first.
    const std::vector<Done>& done() const { return done_; }
    // Puts `done` before what is already there (from inner steps).
    void add_done(const std::vector<Done>& done) { done_.insert(done_.begin(), done.begin(), done.end()); }
    // What the library said, when the message says it in the user's terms
    // ("reading from 0x51: tapwire other error (code -17)").
    const std::string& detail() const { return detail_; }
    void append_to_message(const std::string& more)
    {
        static_cast<std::runtime_error&>(*this) = std::runtime_error(std::string(what()) + more);
    }
    // A file the failed operation saved data it could not put back in.
    const std::string& recovery_file() const { return recovery_file_; }
    void set_recovery_file(std::string path) { recovery_file_ = std::move(path); }
    // Whether the adapter's read-back was already emptied after the failure.
    bool readback_emptied() const { return readback_emptied_; }
    void set_readback_emptied(bool emptied) { readback_emptied_ = emptied; }

private:
    Exit exit_;
    std::string hint_;
    std::optional<std::int32_t> code_;
    std::vector<Done> done_;
    std::string detail_;
    std::string recovery_file_;
    bool readback_emptied_ = false;
};

[[noreturn]] inline void usage_error(std::string message, std::string hint = {})
{
    throw ToolError(Exit::usage, std::move(message), std::move(hint));
}

// What the user can do about a bus result code, in general terms (the device
// library's table, orvdev_hint()); the commands pass a more precise hint
// where they know better.
std::string hint_for_result(std::int32_t code);

// Throws ToolError(Exit::failed) for a non-zero library result: "<doing>:
// <library text> (code N)". `hint` replaces the generic one when not empty.
void check_result(std::int32_t code, const std::string& doing, const std::string& hint = {});

// "<doing>: <library text> (code N)"
std::string result_text(std::int32_t code, const std::string& doing);

} // namespace orvtool
