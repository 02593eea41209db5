// How an operation of the device library fails inside: it throws a Failure
// carrying the result code, the message in the user's terms, the bus code and
// text behind it, and what the operation had done (Done, added by each step
// on the way out). The C functions catch it and fill the caller's report; no
// exception crosses the C ABI.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orv::dev {

// What a step of a failed operation had done: "programmed 2048 of 4096 bytes
// (8 of 16 pages) from 0x000000, stopped at 0x000800".
struct Done {
    struct Count {
        std::string unit; // plural: "bytes", "pages", "blocks", "addresses", "IR bits"
        std::uint64_t done = 0;
        std::optional<std::uint64_t> total; // when the step knew how many it had to do
    };
    std::string action;                      // past tense: "programmed", "erased", "read"
    std::vector<Count> counts;               // the first leads; the others follow in brackets
    std::optional<std::uint64_t> from;       // the first address or offset the step worked on
    std::optional<std::uint64_t> stopped_at; // where the step that failed started
    int address_digits = 6;
};

class Failure : public std::runtime_error {
public:
    Failure(std::int32_t code, std::string message, std::string hint = {}, std::int32_t bus_code = 0,
            std::string detail = {})
        : std::runtime_error(std::move(message)), code_(code), bus_code_(bus_code), hint_(std::move(hint)),
          detail_(std::move(detail))
    {
    }
    [[nodiscard]] std::int32_t code() const noexcept { return code_; }
    // The bus library's result behind the failure; 0 when found above the wire.
    [[nodiscard]] std::int32_t bus_code() const noexcept { return bus_code_; }
    [[nodiscard]] const std::string& hint() const noexcept { return hint_; }
    [[nodiscard]] const std::string& detail() const noexcept { return detail_; }
    [[nodiscard]] const std::vector<Done>& done() const noexcept { return done_; }
    [[nodiscard]] int byte_index() const noexcept { return byte_index_; }
    [[nodiscard]] int message_index() const noexcept { return message_index_; }
    [[nodiscard]] const std::string& recovery_file() const noexcept { return recovery_file_; }

    // Puts `done` before what is already there (from inner steps).
    void add_done(const std::vector<Done>& done) { done_.insert(done_.begin(), done.begin(), done.end()); }
    Failure& with_byte_index(int index)
    {
        byte_index_ = index;
        return *this;
    }
    Failure& with_message_index(int index)
    {
        message_index_ = index;
        return *this;
    }
    void set_recovery_file(std::string path) { recovery_file_ = std::move(path); }
    void append_to_message(const std::string& more)
    {
        static_cast<std::runtime_error&>(*this) = std::runtime_error(std::string(what()) + more);
    }

private:
    std::int32_t code_;
    std::int32_t bus_code_;
    std::string hint_;
    std::string detail_;
    std::vector<Done> done_;
    int byte_index_ = -1;
    int message_index_ = -1;
    std::string recovery_file_;
};

// Runs `work` and returns what it returns. When it fails, `report()` (a
// std::vector<Done>) says what had been done by then, and the failure goes on
// with it. Nested calls list the outer steps first.
template <typename Work, typename Report>
auto reporting_done(Work&& work, Report&& report) -> decltype(work())
{
    try {
        return work();
    } catch (Failure& e) {
        e.add_done(report());
        throw;
    }
}

// What the user can do about a bus result code, in general terms.
[[nodiscard]] std::string hint_for_bus_code(std::int32_t code);

// "<doing>: <bus library text> (code N)"
[[nodiscard]] std::string bus_text(std::int32_t code, const std::string& doing);

// Throws Failure(code) for a non-zero bus result: "<doing>: <text> (code N)".
void check_bus(std::int32_t code, const std::string& doing);

} // namespace orv::dev
