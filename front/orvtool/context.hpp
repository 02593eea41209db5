// What every command gets: the opened adapter and where to show progress.
// Results do not go through here: a command returns them and main renders
// them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <libusb.h>

#include "orv_devices.h"

namespace orvtool {

// Told how much of a long operation is done (bytes, statements).
using Progressed = std::function<void(std::uint64_t done)>;

// Where an operation's progress goes instead of a bar of its own: the stage
// ("programming"), what is done of the total, whether they count bytes, and
// the note after the counts.
struct ProgressState {
    std::string stage;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool bytes = true;
    std::string note;
};
using ProgressSink = std::function<void(const ProgressState&)>;

struct Context {
    // The opened adapter: the device library's session on it for the
    // commands of parts, the handle and the transfer time limit for those
    // that drive the bus libraries themselves (SVF playback, the bridges).
    orvdev_session* session = nullptr;
    libusb_device_handle* handle = nullptr;
    std::uint32_t timeout_ms = 1000;
    bool sim = false; // the adapter is the virtual one

    std::ostream* err = nullptr; // progress and notes (stderr)
    bool progress = false;       // draw progress bars on err (a terminal, and not --json)
    unsigned columns = 0;        // the terminal's width; 0: unknown (80 is assumed)
    // Raw data for standard output (spi read -o -); results go to err then.
    std::ostream* data_out = nullptr;
    // Opens the adapter again as it was chosen, after it went away (serve
    // outlives an unplugged adapter); the new handle, also in `handle`.
    // Throws ToolError while it is not there. Empty where nothing was opened.
    std::function<libusb_device_handle*()> reopen;
    // Results are printed as JSON (--json); for commands that print as they
    // go (jtag set --hold).
    bool json = false;

    // Under --each, where this adapter's progress goes (the tray's display,
    // one line per adapter); empty otherwise.
    ProgressSink progress_to;
    // Under --each, the adapter's name in file names (its serial number, or
    // its port when the serial is missing or shared), which %s stands for
    // in an output file's name; empty otherwise.
    std::string each_name;

    // The output file `path` names for this adapter: under --each "%s"
    // stands for each_name and "%%" for a "%"; otherwise `path` as it is.
    std::string output_path(const std::string& path) const
    {
        if (each_name.empty()) {
            return path;
        }
        std::string out;
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (path[i] == '%' && i + 1 < path.size() && (path[i + 1] == 's' || path[i + 1] == '%')) {
                out += path[++i] == 's' ? each_name : "%";
            } else {
                out += path[i];
            }
        }
        return out;
    }
};

// One line of a progress bar, at most `columns` - 1 characters wide: the
// label, a bar that takes the room left, the percentage, what is done of the
// total (bytes in KiB/MiB when `bytes`), the note ("12/42 statements"), the
// rate and the time left. On a narrow terminal the time left, the rate, the
// note, the counts and then the bar are left out, in that order.
std::string progress_line(const std::string& label, std::uint64_t done, std::uint64_t total, bool bytes,
                          double seconds, unsigned columns, const std::string& note = "");

// A progress bar for long operations, drawn in place on a terminal, or
// handed to ctx.progress_to; silent otherwise. Redraws when the shown percentage changes, and twice a second
// for the rate.
class Progress {
public:
    Progress(const Context& ctx, std::string label, std::uint64_t total, bool bytes = true);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void update(std::uint64_t done);
    // update() with a note after the counts ("12 statements").
    void update(std::uint64_t done, std::string note);
    // update() as a callback for the protocol modules.
    Progressed updates();
    // Clears the bar's line.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    std::ostream* out_ = nullptr;
    ProgressSink sink_; // draws instead of out_ (--each)
    unsigned columns_;
    std::string label_;
    std::uint64_t total_;
    bool bytes_;
    Clock::time_point started_;
    Clock::time_point drawn_at_;
    std::string note_;
    int shown_ = -1;
    bool finished_ = false;
};

// Bars for an operation in stages: each new stage clears the bar before it.
class StageBars {
public:
    explicit StageBars(const Context& ctx) : ctx_(ctx) {}
    // Starts a stage; the callback updates its bar.
    Progressed begin(const std::string& stage, std::uint64_t total, bool bytes);
    void finish();

private:
    const Context& ctx_;
    std::unique_ptr<Progress> bar_;
};

// A note on the terminal while a long step runs without a measure of its
// progress ("erasing the whole chip..."); clear() removes it. Silent where no
// progress bar would be drawn.
class Note {
public:
    Note(const Context& ctx, const std::string& text);
    void clear();

private:
    std::ostream* out_ = nullptr;
};

} // namespace orvtool
