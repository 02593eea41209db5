// Traces of whole sessions, the two kinds the tools write:
//
// BoardTrace: the virtual board's lines, exactly as the emulated parts see
// them, recorded from an Adapter as it runs its command buffers.
//
// HostTrace: a real adapter's lines, reconstructed on the host from the
// command stream sent to it and the read-back bytes it returned. The stream
// runs through an adapter model with nothing connected, so everything the
// adapter drives is exact; the inputs are unknown (x) except at their
// sample points, whose levels come from the read-back bytes as they arrive.
//
// Both write their VCD file as they go; finish() closes it and says what it
// holds.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "sim/adapter/adapter_model.hpp"
#include "sim/adapter/targets.hpp"
#include "trace/sample_resolver.hpp"
#include "trace/trace_file.hpp"

namespace orv::emu {

class BoardTrace {
public:
    // Starts recording `adapter`'s lines (only while no command buffer runs).
    BoardTrace(AdapterModel& adapter, std::unique_ptr<TraceFile> file);
    ~BoardTrace();
    BoardTrace(const BoardTrace&) = delete;
    BoardTrace& operator=(const BoardTrace&) = delete;

    // Stops recording and closes the file (again: the same answer). False
    // with a message when it could not all be written.
    bool finish(std::string* error);
    [[nodiscard]] TraceSummary summary() const noexcept { return file_->summary(); }

private:
    AdapterModel* adapter_; // null once finished
    std::unique_ptr<TraceFile> file_;
    LineTrace lines_;
    bool ok_ = true;
    std::string error_;
};

class HostTrace {
public:
    explicit HostTrace(std::unique_ptr<TraceFile> file);
    ~HostTrace();
    HostTrace(const HostTrace&) = delete;
    HostTrace& operator=(const HostTrace&) = delete;

    // The bytes the adapter accepted on endpoint 0x02 (one command buffer).
    void sent(std::span<const std::uint8_t> stream);
    // Bytes read from endpoint 0x81, in order.
    void read_back(std::span<const std::uint8_t> bytes);

    bool finish(std::string* error);
    [[nodiscard]] TraceSummary summary() const noexcept { return file_->summary(); }

private:
    std::unique_ptr<TraceFile> file_;
    SampleResolver resolver_;
    LineTrace lines_;
    // Nothing behind the connectors: the model only says what the adapter
    // drives. Its inputs are not used (the trace shows them unknown).
    UnconnectedTargets nothing_connected_;
    std::unique_ptr<AdapterModel> model_;
    bool finished_ = false;
    bool ok_ = true;
    std::string error_;
};

} // namespace orv::emu
