// What every command gets: the opened adapter and where to show progress.
// Results do not go through here: a command returns them and main renders
// them.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "link.hpp"

namespace orvtool {

struct Context : Link {
    std::ostream* err = nullptr; // progress and notes (stderr)
    bool progress = false;       // draw progress bars on err (a terminal, and not --json)
};

// A progress bar for long operations, drawn in place on a terminal; silent
// otherwise. Redraws only when the shown percentage changes.
class Progress {
public:
    Progress(const Context& ctx, std::string label, std::uint64_t total);
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
    std::ostream* out_ = nullptr;
    std::string label_;
    std::uint64_t total_;
    std::string note_;
    int shown_ = -1;
    bool finished_ = false;
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
