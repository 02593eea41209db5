#include <algorithm>
#include <cstdio>
#include <vector>

#include "front/orvtool/context.hpp"

namespace orvtool {

namespace {

constexpr unsigned DEFAULT_COLUMNS = 80;
constexpr std::size_t MIN_BAR = 10;
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(500);

// Back to the start of the line and erase it.
void clear_line(std::ostream& out)
{
    out << "\r\033[K" << std::flush;
}

std::string format(const char* fmt, double a)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

// "512 B", "12.5 KiB", "3.9 MiB"
std::string amount(double bytes)
{
    if (bytes >= 1024.0 * 1024.0) {
        return format("%.1f MiB", bytes / (1024.0 * 1024.0));
    }
    if (bytes >= 1024.0) {
        return format("%.1f KiB", bytes / 1024.0);
    }
    return format("%.0f B", bytes);
}

std::string duration(double seconds)
{
    auto s = static_cast<unsigned long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lu:%02lu", s / 60, s % 60);
    }
    return buf;
}

} // namespace

std::string progress_line(const std::string& label, std::uint64_t done, std::uint64_t total, bool bytes,
                          double seconds, unsigned columns, const std::string& note)
{
    const std::size_t room = (columns == 0 ? DEFAULT_COLUMNS : std::max(columns, 2u)) - 1;
    const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(std::min(done, total) * 100 / total);

    std::vector<std::string> pieces; // after the bar, each with its leading space
    char buf[64];
    std::snprintf(buf, sizeof buf, " %3u%%", percent);
    pieces.emplace_back(buf);
    // What is done takes the width of the total, so that the line keeps its
    // layout as the numbers grow.
    std::string of = bytes ? amount(static_cast<double>(total)) : std::to_string(total);
    std::string so_far = bytes ? amount(static_cast<double>(done)) : std::to_string(done);
    pieces.push_back(" " + std::string(of.size() > so_far.size() ? of.size() - so_far.size() : 0, ' ') +
                     so_far + "/" + of);
    if (!note.empty()) {
        pieces.push_back(" " + note);
    }
    if (seconds >= 0.5 && done > 0) {
        double rate = static_cast<double>(done) / seconds;
        pieces.push_back(" " + (bytes ? amount(rate) : format("%.1f", rate)) + "/s");
        if (done < total) {
            pieces.push_back(" " + duration(static_cast<double>(total - done) / rate) + " left");
        }
    }

    for (;;) {
        std::string tail;
        for (const auto& p : pieces) {
            tail += p;
        }
        std::size_t fixed = label.size() + 3 + tail.size(); // "label [" ... "]"
        if (fixed + MIN_BAR <= room) {
            std::size_t width = room - fixed;
            std::size_t filled = width * percent / 100;
            return label + " [" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + tail;
        }
        if (pieces.size() == 1) {
            return (label + tail).substr(0, room);
        }
        pieces.pop_back();
    }
}

Progress::Progress(const Context& ctx, std::string label, std::uint64_t total, bool bytes)
    : out_(ctx.progress ? ctx.err : nullptr), sink_(ctx.progress_to), columns_(ctx.columns),
      label_(std::move(label)), total_(total), bytes_(bytes), started_(Clock::now())
{
    update(0);
}

Progress::~Progress()
{
    finish();
}

void Progress::update(std::uint64_t done, std::string note)
{
    note_ = std::move(note);
    update(done);
}

void Progress::update(std::uint64_t done)
{
    if ((out_ == nullptr && !sink_) || finished_) {
        return;
    }
    int percent = total_ == 0 ? 100 : static_cast<int>(std::min(done, total_) * 100 / total_);
    auto now = Clock::now();
    if (percent == shown_ && now - drawn_at_ < REDRAW_INTERVAL) {
        return;
    }
    shown_ = percent;
    drawn_at_ = now;
    if (sink_) {
        sink_(ProgressState{label_, done, total_, bytes_, note_});
        return;
    }
    double seconds = std::chrono::duration<double>(now - started_).count();
    *out_ << "\r\033[K" << progress_line(label_, done, total_, bytes_, seconds, columns_, note_)
          << std::flush;
}

Progressed Progress::updates()
{
    return [this](std::uint64_t done) { update(done); };
}

void Progress::finish()
{
    if (out_ == nullptr || finished_) {
        return;
    }
    finished_ = true;
    clear_line(*out_);
}

Progressed StageBars::begin(const std::string& stage, std::uint64_t total, bool bytes)
{
    bar_.reset(); // clears the previous stage's line
    bar_ = std::make_unique<Progress>(ctx_, stage, total, bytes);
    return bar_->updates();
}

void StageBars::finish()
{
    bar_.reset();
}

Note::Note(const Context& ctx, const std::string& text) : out_(ctx.progress ? ctx.err : nullptr)
{
    if (out_ != nullptr) {
        *out_ << text << std::flush;
    }
}

void Note::clear()
{
    if (out_ != nullptr) {
        clear_line(*out_);
    }
}

} // namespace orvtool
