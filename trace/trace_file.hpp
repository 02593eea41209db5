// A VCD file of the adapter's connectors: one top scope, a scope per
// connector (jtag, spi, i2c) with its lines (lines.hpp), times in
// nanoseconds. It takes a LineTrace's changes as they come.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/adapter/line_trace.hpp"
#include "trace/vcd_writer.hpp"

namespace orv::emu {

// What a finished trace holds.
struct TraceSummary {
    std::uint64_t bytes = 0;       // the file's size
    std::uint64_t changes = 0;     // level changes, the initial levels included
    std::uint64_t duration_ns = 0; // bus time from the start to the last command's end
};

// "command: PROGRAM ARGS...", the command line that made a trace, for its
// header (arguments with spaces or quotes in single quotes).
[[nodiscard]] std::string command_comment(int argc, const char* const* argv);

class TraceFile final : public LineSink {
public:
    // The VCD's top scope.
    static constexpr const char* TOP_SCOPE = "orv";

    // Creates `path` and writes the header: `version` (the program that
    // records) and one $comment per entry of `comments`. Nullptr and a
    // message in *error when the file cannot be written.
    static std::unique_ptr<TraceFile> create(const std::string& path, const std::string& version,
                                             const std::vector<std::string>& comments, std::string* error);

    void change(std::uint64_t tick, Line line, Level level) override
    {
        writer_->change(ticks_to_ns(tick), index_of(line), level);
    }
    // A file cannot wait for a sample to be read back: such a level is
    // unknown here (HostTrace puts a SampleResolver in front).
    void sampled(std::uint64_t tick, Line line, ReadbackSlot /*slot*/) override
    {
        change(tick, line, Level::unknown);
    }

    // Closes the file with the trace ending at `end_tick`. False with a
    // message when anything could not be written.
    bool finish(std::uint64_t end_tick, std::string* error);
    [[nodiscard]] TraceSummary summary() const noexcept { return summary_; }
    [[nodiscard]] std::uint64_t bytes() const noexcept { return writer_->bytes(); }

private:
    explicit TraceFile(std::unique_ptr<VcdWriter> writer) noexcept : writer_(std::move(writer)) {}

    std::unique_ptr<VcdWriter> writer_;
    TraceSummary summary_;
};

} // namespace orv::emu
