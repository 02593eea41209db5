// What the adapter model reports about the streams it is given: malformed or
// cut commands, odd argument values, FIFO overflow. Bounded, so that a
// runaway stream cannot grow it without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace orv::emu {

class DiagnosticLog {
public:
    static constexpr std::size_t MAX_ENTRIES = 256;

    void report(std::string message)
    {
        if (entries_.size() < MAX_ENTRIES) {
            entries_.push_back(std::move(message));
        } else {
            ++dropped_;
        }
    }
    void clear() noexcept
    {
        entries_.clear();
        dropped_ = 0;
    }
    [[nodiscard]] const std::vector<std::string>& entries() const noexcept { return entries_; }
    [[nodiscard]] std::size_t dropped() const noexcept { return dropped_; }

private:
    std::vector<std::string> entries_;
    std::size_t dropped_ = 0;
};

// "0x5B": how the reports name a byte of the stream.
inline std::string hex_byte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

} // namespace orv::emu
