#include "trace/vcd_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

namespace orv::emu {

namespace {

// Flushed to the file when less than a time block's worst case is left.
constexpr std::size_t BUFFER_SIZE = std::size_t{1} << 20;
constexpr std::size_t BLOCK_WORST_CASE = 32 + 4 * VcdWriter::MAX_SIGNALS;

// One character names each signal. Letters first; no '#' (a time stamp) or
// '$' (a keyword), which some readers take at the start of a token.
constexpr std::string_view IDENTIFIERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!%&*+-./:;<=";
static_assert(IDENTIFIERS.size() == VcdWriter::MAX_SIGNALS);

constexpr std::array<char, 3> LEVEL_CHARS{'0', '1', 'x'};

// "00" .. "99": two digits a step.
constexpr std::array<char, 200> DIGIT_PAIRS = [] {
    std::array<char, 200> pairs{};
    for (std::size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// '$' would end a $comment early, and a line break has no place in one.
std::string comment_text(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c == '$') {
            continue;
        }
        out += c == '\n' || c == '\r' ? ' ' : c;
    }
    return out;
}

std::string header_text(const VcdWriter::Header& header, std::span<const VcdWriter::Signal> signals)
{
    std::string out;
    if (!header.version.empty()) {
        out += "$version " + comment_text(header.version) + " $end\n";
    }
    for (const std::string& comment : header.comments) {
        out += "$comment " + comment_text(comment) + " $end\n";
    }
    out += "$timescale " + header.timescale + " $end\n";
    out += "$scope module " + header.top + " $end\n";
    std::string scope;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        if (signals[i].scope != scope) {
            if (!scope.empty()) {
                out += "$upscope $end\n";
            }
            scope = signals[i].scope;
            if (!scope.empty()) {
                out += "$scope module " + scope + " $end\n";
            }
        }
        out += "$var wire 1 ";
        out += IDENTIFIERS[i];
        out += " " + signals[i].name + " $end\n";
    }
    if (!scope.empty()) {
        out += "$upscope $end\n";
    }
    out += "$upscope $end\n$enddefinitions $end\n";
    return out;
}

} // namespace

VcdWriter::VcdWriter(int fd, std::size_t signals)
    : fd_(fd), signals_(signals), buffer_(new char[BUFFER_SIZE]), staged_(signals, Level::unknown),
      shown_(signals, Level::unknown)
{
}

VcdWriter::~VcdWriter()
{
    if (fd_ >= 0) {
        drain();
        ::close(fd_);
    }
}

std::unique_ptr<VcdWriter> VcdWriter::create(const std::string& path, const Header& header,
                                             std::span<const Signal> signals, std::string* error)
{
    const auto fail = [&](const std::string& why) -> std::unique_ptr<VcdWriter> {
        if (error != nullptr) {
            *error = why;
        }
        return nullptr;
    };
    if (signals.empty() || signals.size() > MAX_SIGNALS) {
        return fail("a trace holds 1 to " + std::to_string(MAX_SIGNALS) + " signals");
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail(path + ": " + std::strerror(errno));
    }
    std::unique_ptr<VcdWriter> writer(new VcdWriter(fd, signals.size()));
    struct stat st {};
    writer->path_ = path;
    writer->regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const std::string text = header_text(header, signals);
    writer->put(text.data(), text.size());
    writer->drain();
    if (writer->error_ != 0) {
        std::string why;
        (void)writer->finish(0, &why);
        return fail(path + ": " + why);
    }
    return writer;
}

void VcdWriter::put(const char* text, std::size_t length) noexcept
{
    while (length > 0) {
        if (used_ == BUFFER_SIZE) {
            drain();
        }
        const std::size_t n = std::min(length, BUFFER_SIZE - used_);
        std::memcpy(buffer_.get() + used_, text, n);
        used_ += n;
        text += n;
        length -= n;
    }
}

void VcdWriter::put_time(std::uint64_t time) noexcept
{
    // Digits from the right, two at a time, into a small scratch area.
    std::array<char, 24> digits{};
    std::size_t at = digits.size();
    while (time >= 100) {
        const std::size_t pair = static_cast<std::size_t>(time % 100) * 2;
        time /= 100;
        digits[--at] = DIGIT_PAIRS[pair + 1];
        digits[--at] = DIGIT_PAIRS[pair];
    }
    if (time >= 10) {
        digits[--at] = DIGIT_PAIRS[time * 2 + 1];
        digits[--at] = DIGIT_PAIRS[time * 2];
    } else {
        digits[--at] = static_cast<char>('0' + time);
    }
    digits[--at] = '#';
    std::memcpy(buffer_.get() + used_, digits.data() + at, digits.size() - at);
    used_ += digits.size() - at;
    buffer_[used_++] = '\n';
}

void VcdWriter::close_time_block() noexcept
{
    std::uint64_t changed = 0;
    for (std::uint64_t left = dirty_; left != 0; left &= left - 1) {
        const auto signal = static_cast<std::size_t>(std::countr_zero(left));
        if (staged_[signal] != shown_[signal] || first_block_) {
            changed |= std::uint64_t{1} << signal;
        }
    }
    dirty_ = 0;
    if (changed == 0) {
        return;
    }
    if (BUFFER_SIZE - used_ < BLOCK_WORST_CASE) {
        drain();
    }
    put_time(now_);
    if (first_block_) {
        static constexpr std::string_view DUMPVARS = "$dumpvars\n";
        std::memcpy(buffer_.get() + used_, DUMPVARS.data(), DUMPVARS.size());
        used_ += DUMPVARS.size();
    }
    char* out = buffer_.get() + used_;
    for (; changed != 0; changed &= changed - 1) {
        const auto signal = static_cast<std::size_t>(std::countr_zero(changed));
        const Level level = staged_[signal];
        shown_[signal] = level;
        *out++ = LEVEL_CHARS[static_cast<std::size_t>(level)];
        *out++ = IDENTIFIERS[signal];
        *out++ = '\n';
        ++changes_;
    }
    used_ = static_cast<std::size_t>(out - buffer_.get());
    if (first_block_) {
        static constexpr std::string_view END = "$end\n";
        std::memcpy(buffer_.get() + used_, END.data(), END.size());
        used_ += END.size();
        first_block_ = false;
    }
}

void VcdWriter::drain() noexcept
{
    std::size_t done = 0;
    while (done < used_ && error_ == 0) {
        const ssize_t n = ::write(fd_, buffer_.get() + done, used_ - done);
        if (n < 0) {
            if (errno != EINTR) {
                error_ = errno;
            }
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
    // After a failure the rest is dropped: the caller hears of it at finish.
    written_ += done;
    used_ = 0;
}

bool VcdWriter::finish(std::uint64_t end, std::string* error)
{
    if (fd_ < 0) {
        return error_ == 0;
    }
    close_time_block();
    if (end > now_ && !first_block_) {
        if (BUFFER_SIZE - used_ < BLOCK_WORST_CASE) {
            drain();
        }
        now_ = end;
        put_time(end);
    }
    drain();
    if (error_ != 0 && !regular_) {
        // A pipe or device cannot be taken back: its reader learns that the
        // trace ends early, if anything still goes through.
        const std::string cut =
            "\n$comment cut short here: " + std::string(std::strerror(error_)) + " $end\n";
        (void)!::write(fd_, cut.data(), cut.size());
    }
    if (::close(fd_) != 0 && error_ == 0) {
        error_ = errno;
    }
    fd_ = -1;
    if (error_ != 0) {
        std::string why = std::strerror(error_);
        // A file cut short (a full disk) would look like a trace that simply
        // ends: it goes.
        if (regular_) {
            why += ::unlink(path_.c_str()) == 0 ? "; the incomplete trace was removed"
                                                : "; the incomplete trace could not be removed either";
        } else {
            why += "; the trace was cut short";
        }
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    return true;
}

} // namespace orv::emu
