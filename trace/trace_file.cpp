#include "trace/trace_file.hpp"

#include <string_view>

namespace orv::emu {

std::unique_ptr<TraceFile> TraceFile::create(const std::string& path, const std::string& version,
                                             const std::vector<std::string>& comments, std::string* error)
{
    std::vector<VcdWriter::Signal> signals;
    signals.reserve(LINES.size());
    for (const LineInfo& line : LINES) {
        signals.push_back({line.connector, line.name});
    }
    VcdWriter::Header header;
    header.top = TOP_SCOPE;
    header.version = version;
    header.comments = comments;
    // A tick is 8.3 ns: whole nanoseconds keep every edge apart, and a finer
    // unit would only multiply the samples a logic analyser's import makes.
    header.timescale = "1 ns";
    auto writer = VcdWriter::create(path, header, signals, error);
    if (writer == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<TraceFile>(new TraceFile(std::move(writer)));
}

std::string command_comment(int argc, const char* const* argv)
{
    std::string text = "command:";
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool quote = arg.empty() || arg.find_first_of(" \t'\"") != std::string_view::npos;
        text += quote ? " '" + std::string(arg) + "'" : " " + std::string(arg);
    }
    return text;
}

bool TraceFile::finish(std::uint64_t end_tick, std::string* error)
{
    const bool ok = writer_->finish(ticks_to_ns(end_tick), error);
    summary_ = {writer_->bytes(), writer_->changes(), ticks_to_ns(end_tick)};
    return ok;
}

} // namespace orv::emu
