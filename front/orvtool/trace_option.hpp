// --trace FILE: the session's waveform as a VCD file.
//
// On orvtool's own virtual adapter the emulator records its board's lines
// (every part's inputs exact). On a real adapter, and on orvsim-run's (which
// runs in another process), the waveform is reconstructed on the host from
// every transfer of the session (transfer_tap.hpp): the adapter's outputs
// exact, its inputs unknown except at their sample points. Developers force
// the reconstruction on orvtool's own virtual adapter, with the emulator's
// trace off, with ORVTOOL_TRACE_FROM_HOST=1 (how the two are compared).
#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <libusb.h>

namespace orv::emu {
class AdapterModel;
}

namespace orvtool {

class Result;

struct TraceSummary {
    std::string path;
    std::uint64_t bytes = 0;
    std::uint64_t changes = 0;
    std::uint64_t duration_ns = 0;
};

class SessionTrace {
public:
    enum class Kind { board, host };

    // The kind a session gets: the board's own lines when orvtool runs the
    // virtual adapter itself (`own_sim`), else reconstructed on the host.
    static Kind kind_for(bool own_sim);

    // Creates the file and writes its header (the command line and the board
    // or the adapter in $comment lines). Throws ToolError(Exit::usage) when
    // it cannot be written, before anything is sent. Throws
    // ToolError(Exit::usage) too when this orvtool was built without the
    // adapter model.
    static std::unique_ptr<SessionTrace> create(const std::string& path, Kind kind,
                                                const std::vector<std::string>& comments);
    ~SessionTrace();
    SessionTrace(const SessionTrace&) = delete;
    SessionTrace& operator=(const SessionTrace&) = delete;

    // Starts recording: the board kind from `model` (the virtual adapter's,
    // touched only while no transfer is in flight), the host kind from the
    // transfers on `handle`.
    void start(orv::emu::AdapterModel* model, libusb_device_handle* handle);
    // Stops recording and closes the file. Throws ToolError(Exit::failed)
    // when it could not all be written.
    TraceSummary finish();

    [[nodiscard]] Kind kind() const noexcept { return kind_; }

private:
    struct Recorder;
    SessionTrace(Kind kind, std::string path);

    Kind kind_;
    std::string path_;
    std::unique_ptr<Recorder> recorder_;
};

// "command: orvtool ...": the command line for the trace's header.
std::string trace_command(int argc, char** argv);
// "board: FILE": the virtual adapter's board for the trace's header.
std::string trace_board(const std::string& board);

// The summary line ("trace: FILE, 1.3 MiB: 48213 level changes in 2.150 ms
// of bus time") on `err`, and the JSON member "trace".
void add_trace_summary(Result& result, const TraceSummary& summary, std::ostream& err = std::cerr);

} // namespace orvtool
