// What every command gets: the adapter handle, the USB timeout and where and
// how to print.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <libusb.h>

namespace orvtool {

struct Context {
    libusb_device_handle* handle = nullptr;
    std::uint32_t timeout_ms = 1000;
    std::ostream* out = nullptr; // results (stdout)
    std::ostream* err = nullptr; // progress and notes (stderr)
    bool json = false;
    bool progress = false; // draw progress bars on err (a terminal, and not --json)
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
    // Clears the bar's line.
    void finish();

private:
    std::ostream* out_ = nullptr;
    std::string label_;
    std::uint64_t total_;
    int shown_ = -1;
    bool finished_ = false;
};

} // namespace orvtool
