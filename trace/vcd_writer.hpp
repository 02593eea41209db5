// A Value Change Dump (IEEE 1364 VCD) file of one-bit signals, written as it
// is produced.
//
// The header declares one top scope, a scope per group of signals inside it
// and a wire per signal; $comment lines carry what the caller says about the
// recording. Changes then arrive in time order. Changes at one time are
// gathered and written together when time moves on: a signal that changes
// twice at one time keeps the later level, and a change to the level a
// signal already has writes nothing. The first time block is the $dumpvars
// block: every signal's level at the start.
//
// Output goes through a large buffer straight to the file descriptor; times
// and identifiers are formatted by hand. Nothing is allocated per change, so
// a trace of 10^8 edges costs little more than writing its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/adapter/lines.hpp"

namespace orv::emu {

class VcdWriter {
public:
    struct Signal {
        std::string scope; // the group's scope inside the top scope
        std::string name;
    };
    struct Header {
        std::string top = "top";
        std::string version;
        std::vector<std::string> comments; // one $comment each; '$' and line breaks are left out
        std::string timescale = "1 ns";
    };

    static constexpr std::size_t MAX_SIGNALS = 64;

    // Creates (or truncates) `path` and writes the header. Nullptr and a
    // message in *error when the file cannot be created or written, or for
    // more than MAX_SIGNALS signals.
    static std::unique_ptr<VcdWriter> create(const std::string& path, const Header& header,
                                             std::span<const Signal> signals, std::string* error);
    ~VcdWriter();
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;

    // `signal` takes `level` at `time` (in timescale units). Times never go
    // back: an earlier one is taken as the current time.
    void change(std::uint64_t time, std::size_t signal, Level level) noexcept
    {
        if (time > now_) {
            close_time_block();
            now_ = time;
        }
        staged_[signal] = level;
        dirty_ |= std::uint64_t{1} << signal;
    }
    // Writes the pending changes and a last time stamp `end` (when later than
    // the last change, so viewers show the final levels for a while), and
    // closes the file. False with a message when anything could not be
    // written (the first failure's reason): a regular file is then removed,
    // since a trace cut short (a full disk) reads as one that simply ends; a
    // pipe or device gets a $comment saying it is cut short, if it takes it.
    bool finish(std::uint64_t end, std::string* error);

    // Bytes produced so far, written or still buffered.
    [[nodiscard]] std::uint64_t bytes() const noexcept { return written_ + used_; }
    // Value changes written so far (the initial levels included).
    [[nodiscard]] std::uint64_t changes() const noexcept { return changes_; }

private:
    VcdWriter(int fd, std::size_t signals);
    void close_time_block() noexcept;
    void put(const char* text, std::size_t length) noexcept;
    void put_time(std::uint64_t time) noexcept;
    void drain() noexcept;

    int fd_ = -1;
    std::string path_;
    bool regular_ = false; // a regular file: removed when it could not be written whole
    std::size_t signals_ = 0;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t changes_ = 0;
    int error_ = 0; // errno of the first failed write

    std::uint64_t now_ = 0;
    bool first_block_ = true;
    std::uint64_t dirty_ = 0;   // signals changed at now_
    std::vector<Level> staged_; // their levels at now_
    std::vector<Level> shown_;  // the levels last written
};

} // namespace orv::emu
