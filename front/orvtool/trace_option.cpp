#include "front/orvtool/trace_option.hpp"

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string_view>
#include <utility>

#include "front/orvtool/command_result.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/transfer_tap.hpp"

#ifdef ORVTOOL_HAVE_TRACE
#include "trace/session_trace.hpp"
#endif
#ifdef ORVTOOL_HAVE_VUSB
#include "sim/emulator/board_file.hpp"
#endif

#ifndef ORVTOOL_VERSION
#define ORVTOOL_VERSION "unknown"
#endif

namespace orvtool {

namespace {

// Developers' switch: the host's reconstruction on orvtool's own virtual
// adapter too (the emulator's own trace off), to compare the two.
constexpr const char* FROM_HOST_VARIABLE = "ORVTOOL_TRACE_FROM_HOST";

std::string size_in_units(std::uint64_t bytes)
{
    char text[32];
    if (bytes < 1024) {
        return count_text(bytes, "byte");
    } else if (bytes < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    } else if (bytes < 1024ULL * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024));
    } else {
        std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    }
    return text;
}

std::string bus_time(std::uint64_t ns)
{
    char text[32];
    if (ns >= 1'000'000'000) {
        std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ns) / 1e9);
    } else if (ns >= 1'000'000) {
        std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(ns) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.3f us", static_cast<double>(ns) / 1e3);
    }
    return text;
}

} // namespace

#ifdef ORVTOOL_HAVE_TRACE

std::string trace_command(int argc, char** argv)
{
    return orv::emu::command_comment(argc, argv);
}

std::string trace_board(const std::string& board)
{
#ifdef ORVTOOL_HAVE_VUSB
    return orv::emu::board_comment(board);
#else
    return "board: " + board;
#endif
}

struct SessionTrace::Recorder final : TransferObserver {
    std::unique_ptr<orv::emu::TraceFile> file; // until recording starts
    std::unique_ptr<orv::emu::BoardTrace> board;
    std::unique_ptr<orv::emu::HostTrace> host;
    bool finished = false;

    void sent(std::span<const std::uint8_t> stream) override { host->sent(stream); }
    void read_back(std::span<const std::uint8_t> bytes) override { host->read_back(bytes); }

    // Stops recording and closes the file; false with *error when it failed.
    bool stop(std::string* error)
    {
        if (host != nullptr) {
            tap_transfers(nullptr, nullptr);
        }
        finished = true;
        if (board != nullptr) {
            return board->finish(error);
        }
        if (host != nullptr) {
            return host->finish(error);
        }
        return file->finish(0, error);
    }
    [[nodiscard]] orv::emu::TraceSummary summary() const
    {
        return board != nullptr ? board->summary() : host != nullptr ? host->summary() : file->summary();
    }
};

SessionTrace::Kind SessionTrace::kind_for(bool own_sim)
{
    const char* from_host = std::getenv(FROM_HOST_VARIABLE);
    const bool forced = from_host != nullptr && *from_host != '\0' && std::string_view(from_host) != "0";
    return own_sim && !forced ? Kind::board : Kind::host;
}

SessionTrace::SessionTrace(Kind kind, std::string path) : kind_(kind), path_(std::move(path)) {}

std::unique_ptr<SessionTrace> SessionTrace::create(const std::string& path, Kind kind,
                                                   const std::vector<std::string>& comments)
{
    std::string error;
    auto file = orv::emu::TraceFile::create(path, "orvtool " ORVTOOL_VERSION, comments, &error);
    if (file == nullptr) {
        usage_error("cannot write the trace: " + error,
                    "give --trace a file in a directory you can write to");
    }
    std::unique_ptr<SessionTrace> trace(new SessionTrace(kind, path));
    trace->recorder_ = std::make_unique<Recorder>();
    trace->recorder_->file = std::move(file);
    return trace;
}

SessionTrace::~SessionTrace()
{
    if (recorder_ != nullptr && !recorder_->finished) {
        recorder_->stop(nullptr);
    }
}

void SessionTrace::start(orv::emu::AdapterModel* model, libusb_device_handle* handle)
{
    Recorder& r = *recorder_;
    if (kind_ == Kind::board && model != nullptr) {
        r.board = std::make_unique<orv::emu::BoardTrace>(*model, std::move(r.file));
    } else {
        r.host = std::make_unique<orv::emu::HostTrace>(std::move(r.file));
        tap_transfers(handle, &r);
    }
}

TraceSummary SessionTrace::finish()
{
    std::string error;
    if (!recorder_->finished && !recorder_->stop(&error)) {
        throw ToolError(Exit::failed, "the trace " + path_ + " could not be written: " + error,
                        "check the free space where it goes");
    }
    const orv::emu::TraceSummary s = recorder_->summary();
    return {path_, s.bytes, s.changes, s.duration_ns};
}

#else

std::string trace_command(int /*argc*/, char** /*argv*/)
{
    return {};
}

std::string trace_board(const std::string& /*board*/)
{
    return {};
}

struct SessionTrace::Recorder {};

SessionTrace::Kind SessionTrace::kind_for(bool /*own_sim*/)
{
    return Kind::host;
}

SessionTrace::SessionTrace(Kind kind, std::string path) : kind_(kind), path_(std::move(path)) {}

std::unique_ptr<SessionTrace> SessionTrace::create(const std::string& /*path*/, Kind /*kind*/,
                                                   const std::vector<std::string>& /*comments*/)
{
    usage_error("this orvtool was built without the adapter model that --trace needs",
                "rebuild with the emulator (ORV_BUILD_EMULATOR=ON)");
}

SessionTrace::~SessionTrace() = default;

void SessionTrace::start(orv::emu::AdapterModel* /*model*/, libusb_device_handle* /*handle*/) {}

TraceSummary SessionTrace::finish()
{
    return {path_, 0, 0, 0};
}

#endif

void add_trace_summary(Result& result, const TraceSummary& summary, std::ostream& err)
{
    // On standard error: standard output stays the command's own answer, so
    // that $(orvtool --trace t.vcd i2c get ...) is i2cget's one value.
    err << "trace: " << summary.path << ", " << size_in_units(summary.bytes) << ": "
        << count_text(summary.changes, "level change") << " in " << bus_time(summary.duration_ns)
        << " of bus time\n";
    result.field("trace", Value::object({{"file", summary.path},
                                         {"bytes", summary.bytes},
                                         {"changes", summary.changes},
                                         {"duration_ns", summary.duration_ns}}));
}

} // namespace orvtool
