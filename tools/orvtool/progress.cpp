#include <cstdio>

#include "context.hpp"

namespace orvtool {

namespace {

constexpr int BAR_WIDTH = 40;

// Back to the start of the line and erase it.
void clear_line(std::ostream& out)
{
    out << "\r\033[K" << std::flush;
}

} // namespace

Progress::Progress(const Context& ctx, std::string label, std::uint64_t total)
    : out_(ctx.progress ? ctx.err : nullptr), label_(std::move(label)), total_(total)
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
    if (out_ == nullptr || finished_) {
        return;
    }
    int percent = total_ == 0 ? 100 : static_cast<int>(done * 100 / total_);
    if (percent == shown_) {
        return;
    }
    shown_ = percent;
    int filled = percent * BAR_WIDTH / 100;
    char counts[64];
    std::snprintf(counts, sizeof counts, "] %3d%% %llu/%llu", percent, static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total_));
    *out_ << '\r' << label_ << " [" << std::string(static_cast<std::size_t>(filled), '#')
          << std::string(static_cast<std::size_t>(BAR_WIDTH - filled), '.') << counts
          << (note_.empty() ? "" : " " + note_) << std::flush;
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
