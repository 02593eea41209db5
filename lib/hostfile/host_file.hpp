// Files on the host, as orvtool and the virtual board use them: inputs read
// whole within a bound of what they can be, outputs that replace a file only
// once complete (or are written in place where replacing would be wrong), and
// a lock held for as long as a process owns a file; and new files that never
// take the place of another.
//
// Outputs: a regular file, or a path where nothing is yet, is written to a
// temporary file beside it and renamed over it on commit, so that a reader
// sees the old or the new content, never a mix; the new file keeps the old
// one's mode and, where the system allows it (root, or a group the process is
// in), its owner. A device, a FIFO or a socket is written in place: renaming
// over it would replace the node (-o /dev/null as root would replace
// /dev/null). Symbolic links are followed: the file they lead to is written
// and the link stays.
//
// Not part of the libraries: orvtool and the emulator link it.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv::hostfile {

class FileError : public std::runtime_error {
public:
    enum class Kind {
        system,      // the call failed: errno() says why
        not_a_file,  // a directory, or another node that cannot be read or written whole
        too_large,   // more bytes than the bound
        locked,      // another process holds the lock
        exists,      // something already has the name
        interrupted, // a wait for a FIFO's other end, or for a pipe, given up (StopAsked)
    };
    FileError(Kind kind, std::string path, const std::string& text, int error_number = 0);
    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] int error_number() const noexcept { return errno_; }

private:
    Kind kind_;
    std::string path_;
    int errno_;
};

// The path a chain of symbolic links ends at (where a dangling link points);
// `path` itself when it is no link. Throws FileError (system, ELOOP) after 40
// links.
[[nodiscard]] std::string follow_links(const std::string& path);

// The whole file at `path`, at most `max_bytes` of it. A regular file's size
// is known before reading: a larger one is refused at once. Anything else (a
// pipe, a device) is read until its end, and refused at `max_bytes` + 1.
// Throws FileError: system (opening or reading), not_a_file (a directory),
// too_large.
[[nodiscard]] std::vector<std::uint8_t> read_file(const std::string& path, std::uint64_t max_bytes);
// The same from an open descriptor (standard input); `name` names it in errors.
[[nodiscard]] std::vector<std::uint8_t> read_descriptor(int fd, const std::string& name,
                                                        std::uint64_t max_bytes);

// A new file at `path` that holds `bytes`, whole or not at all: written to a
// temporary file beside it, flushed, then given the name only while nothing
// has it (two processes that choose one name never share the file, and
// nothing there is replaced: not a file, a link nor a device). Throws
// FileError: exists when the name is taken, system otherwise; no temporary
// file is left.
void write_new_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Asked while a read or a write waits: for the other end of a FIFO, or on a
// pipe, a terminal or a socket that has nothing to give or no room (every
// WAIT_SLICE_MS, and at once when a signal interrupts the wait). True gives
// the wait up with FileError (interrupted), whose text says what was awaited.
// Regular files never wait.
using StopAsked = bool (*)() noexcept;
inline constexpr int WAIT_SLICE_MS = 100;

// read_file and read_descriptor whose waits end when `stop` says so. A FIFO
// is opened without waiting for its writer: the read waits for one instead.
[[nodiscard]] std::vector<std::uint8_t> read_file(const std::string& path, std::uint64_t max_bytes,
                                                  StopAsked stop);
[[nodiscard]] std::vector<std::uint8_t> read_descriptor(int fd, const std::string& name,
                                                        std::uint64_t max_bytes, StopAsked stop);
// All of `bytes` to a descriptor the caller has open (standard output),
// waiting for room as long as `stop` lets it. Throws FileError: system,
// interrupted.
void write_descriptor(int fd, std::span<const std::uint8_t> bytes, const std::string& name, StopAsked stop);

class FileLock;

// An output as described above. The constructor opens what will be written,
// so a bad path fails before any work; without commit() a temporary file is
// removed and an existing file stays as it was (a device or FIFO has had
// what was written to it).
class OutputFile {
public:
    // Throws FileError: system (the directory, permissions), not_a_file (a
    // directory).
    explicit OutputFile(const std::string& path);
    // The same, with its waits ended by `stop` (FileError interrupted): the
    // open of a FIFO, until a reader opens it, and writes to it, until the
    // reader takes them.
    OutputFile(const std::string& path, StopAsked stop);

    // Whether an output could be made at `path`, before any work: as the
    // constructor checks it, but a device, FIFO or socket is only checked
    // for write permission, never opened (a reader of a FIFO would see its
    // end). Throws what the constructor throws.
    static void check(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Throws FileError (system).
    void write(std::span<const std::uint8_t> bytes);
    // Makes the content the file's: closes it, for a replacement after fsync
    // and the rename. Throws FileError (system); nothing was replaced then.
    void commit();
    // commit(), and `lock` then holds an exclusive lock on the file as it is
    // now named (taken on the temporary file before it is renamed, so no
    // other process can take it first); the lock it held before is released.
    void commit(FileLock& lock);

    // The file that is written, links followed.
    [[nodiscard]] const std::string& target() const noexcept { return target_; }
    // The temporary file, while there is one (empty when written in place).
    [[nodiscard]] const std::string& temporary() const noexcept { return temporary_; }
    [[nodiscard]] bool in_place() const noexcept { return temporary_.empty(); }

private:
    void finish(FileLock* lock);

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
    StopAsked stop_ = nullptr;
};

// An exclusive lock (flock) on a file, held until destruction or release.
class FileLock {
public:
    FileLock() = default;
    FileLock(FileLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    // Locks the file at `path` (links followed) without waiting, creating it
    // empty when it does not exist; `created` says whether it did. Throws
    // FileError: locked when another open file holds the lock, system
    // otherwise.
    [[nodiscard]] static FileLock acquire(const std::string& path, bool& created);

    [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }
    void release() noexcept;

private:
    friend class OutputFile;
    explicit FileLock(int fd) noexcept : fd_(fd) {}
    int fd_ = -1;
};

} // namespace orv::hostfile
