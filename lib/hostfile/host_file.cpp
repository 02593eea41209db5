#include "lib/hostfile/host_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h> // renameat2
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace orv::hostfile {

namespace {

// Links followed at most, as the kernel does for a path (MAXSYMLINKS).
constexpr int MAX_LINKS = 40;
// Bytes of the file's own name kept in a temporary name: with the dot, the
// separator and mkstemp's six characters the name stays far below NAME_MAX
// (255) for any target name.
constexpr std::size_t NAME_IN_TEMPORARY = 32;
constexpr std::size_t READ_CHUNK = 65536;

std::string reason(int error)
{
    return std::strerror(error);
}

FileError system_error(const std::string& path, const std::string& doing, int error)
{
    return FileError(FileError::Kind::system, path, doing + " " + path + ": " + reason(error), error);
}

// "dir/" of "dir/name", "" of "name".
std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The permissions a new file gets: 0666 less the umask.
mode_t new_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A descriptor closed on every path.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

FileError interrupted(const std::string& path, const std::string& waiting_for)
{
    return FileError(FileError::Kind::interrupted, path, "gave up waiting for " + waiting_for);
}

// Waits until `fd` is ready for `events`, looking at `stop` whenever a
// slice passes or a signal comes; false when it says stop. What is ready is
// never refused: output after a stop still goes out while it can.
bool wait_ready(int fd, short events, StopAsked stop)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, WAIT_SLICE_MS);
        if (n > 0 || (n < 0 && errno != EINTR)) {
            return true; // ready, or the call after says what is wrong
        }
        if (stop()) {
            return false;
        }
    }
}

// Opens a FIFO, device or socket for writing; a FIFO only once a reader has
// it open, which the call waits for as long as `stop` lets it. The
// descriptor does not block: writes wait in wait_ready.
int open_for_writing(const std::string& path, StopAsked stop)
{
    for (;;) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 || errno != ENXIO) {
            return fd; // ENXIO: a FIFO nobody reads yet
        }
        if (stop()) {
            throw interrupted(path, "a reader of " + path);
        }
        (void)::poll(nullptr, 0, WAIT_SLICE_MS);
    }
}

void write_waiting(int fd, std::span<const std::uint8_t> bytes, const std::string& name, StopAsked stop)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (errno != EINTR && errno != EAGAIN) {
            throw system_error(name, "cannot write", errno);
        }
        if (!wait_ready(fd, POLLOUT, stop)) {
            throw interrupted(name, name + " to take more");
        }
    }
}

} // namespace

FileError::FileError(Kind kind, std::string path, const std::string& text, int error_number)
    : std::runtime_error(text), kind_(kind), path_(std::move(path)), errno_(error_number)
{
}

std::string follow_links(const std::string& path)
{
    std::string at = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return at;
        }
        if (hops == MAX_LINKS) {
            throw system_error(path, "cannot follow the links of", ELOOP);
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
        if (n < 0) {
            throw system_error(at, "cannot read the link", errno);
        }
        target.resize(static_cast<std::size_t>(n));
        at = !target.empty() && target.front() == '/' ? target : directory_of(at) + target;
    }
}

std::vector<std::uint8_t> read_descriptor(int fd, const std::string& name, std::uint64_t max_bytes)
{
    const auto too_large = [&] {
        return FileError(FileError::Kind::too_large, name,
                         name + " holds more than " + std::to_string(max_bytes) + " bytes");
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw system_error(name, "cannot read", errno);
    }
    if (S_ISDIR(st.st_mode)) {
        throw FileError(FileError::Kind::not_a_file, name, name + " is a directory");
    }
    std::vector<std::uint8_t> data;
    if (S_ISREG(st.st_mode)) {
        if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
            throw too_large();
        }
        data.reserve(static_cast<std::size_t>(st.st_size));
    }
    std::vector<std::uint8_t> chunk(READ_CHUNK);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw system_error(name, "cannot read", errno);
        }
        if (n == 0) {
            return data;
        }
        if (data.size() + static_cast<std::size_t>(n) > max_bytes) {
            throw too_large(); // a pipe or device that goes on, or a file that grew
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + n);
    }
}

std::vector<std::uint8_t> read_descriptor(int fd, const std::string& name, std::uint64_t max_bytes,
                                          StopAsked stop)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throw system_error(name, "cannot read", errno);
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || stop == nullptr) {
        return read_descriptor(fd, name, max_bytes); // nothing to wait for
    }
    const auto too_large = [&] {
        return FileError(FileError::Kind::too_large, name,
                         name + " holds more than " + std::to_string(max_bytes) + " bytes");
    };
    // Each read only once poll says there is something (or the end): a FIFO
    // opened without waiting reads as ended until its writer comes.
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> chunk(READ_CHUNK);
    for (;;) {
        if (!wait_ready(fd, POLLIN, stop)) {
            throw interrupted(name, "input from " + name);
        }
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n < 0) {
            throw system_error(name, "cannot read", errno);
        }
        if (n == 0) {
            return data;
        }
        if (data.size() + static_cast<std::size_t>(n) > max_bytes) {
            throw too_large();
        }
        data.insert(data.end(), chunk.begin(), chunk.begin() + n);
    }
}

std::vector<std::uint8_t> read_file(const std::string& path, std::uint64_t max_bytes, StopAsked stop)
{
    // Without waiting: a FIFO has no writer yet, a terminal may be slow.
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        throw system_error(path, "cannot open", errno);
    }
    return read_descriptor(fd.get(), path, max_bytes, stop);
}

void write_descriptor(int fd, std::span<const std::uint8_t> bytes, const std::string& name, StopAsked stop)
{
    // The descriptor is shared with whoever started us: it stays blocking,
    // so a write goes out only when poll says there is room, and at most a
    // pipe's atomic size at a time, which a pipe with room takes whole.
    constexpr std::size_t PIECE = PIPE_BUF;
    for (std::size_t done = 0; done < bytes.size();) {
        if (!wait_ready(fd, POLLOUT, stop)) {
            throw interrupted(name, name + " to take more");
        }
        const ssize_t n = ::write(fd, bytes.data() + done, std::min(PIECE, bytes.size() - done));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n < 0) {
            throw system_error(name, "cannot write", errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> read_file(const std::string& path, std::uint64_t max_bytes)
{
    const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        throw system_error(path, "cannot open", errno);
    }
    return read_descriptor(fd.get(), path, max_bytes);
}

// ---------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& path) : OutputFile(path, nullptr) {}

void OutputFile::check(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        if (::access(path.c_str(), W_OK) != 0) {
            throw system_error(path, "cannot open", errno);
        }
        return;
    }
    OutputFile probe(path); // a temporary file beside it, removed again at once
}

OutputFile::OutputFile(const std::string& path, StopAsked stop) : stop_(stop)
{
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        throw system_error(path, "cannot write", errno);
    }
    if (exists && S_ISDIR(st.st_mode)) {
        throw FileError(FileError::Kind::not_a_file, path, path + " is a directory");
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // A device, FIFO or socket: the node stays, the bytes go to it. Opened
        // by the name given, so that the kernel follows the links (/dev/stdout
        // leads to a pipe that no path names).
        target_ = path;
        fd_ = stop != nullptr ? open_for_writing(path, stop)
                              : ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) {
            throw system_error(path, "cannot open", errno);
        }
        return;
    }
    // A regular file, or none yet (a dangling link: where it points): the
    // temporary file goes beside the file the links end at.
    target_ = follow_links(path);
    temporary_ = directory_of(target_) + "." + name_of(target_).substr(0, NAME_IN_TEMPORARY) + ".XXXXXX";
    fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        temporary_.clear();
        throw system_error(target_, "cannot create a temporary file beside", error);
    }
    if (exists) {
        // The owner where allowed (the group alone may be), then the mode,
        // which a change of owner may have cut.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
            ::fchown(fd_, st.st_uid, st.st_gid) != 0) {
            (void)::fchown(fd_, static_cast<uid_t>(-1), st.st_gid);
        }
        (void)::fchmod(fd_, st.st_mode & 07777);
    } else {
        (void)::fchmod(fd_, new_file_mode()); // mkstemp makes it private
    }
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_ && !temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
}

void OutputFile::write(std::span<const std::uint8_t> bytes)
{
    if (stop_ != nullptr && in_place()) {
        write_waiting(fd_, bytes, target_, stop_);
        return;
    }
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw system_error(target_, "cannot write", errno);
        }
        done += static_cast<std::size_t>(n);
    }
}

void OutputFile::commit()
{
    finish(nullptr);
}

void OutputFile::commit(FileLock& lock)
{
    finish(&lock);
}

void OutputFile::finish(FileLock* lock)
{
    if (committed_) {
        return;
    }
    if (in_place()) {
        const int rc = ::close(std::exchange(fd_, -1));
        if (rc != 0) {
            throw system_error(target_, "cannot write", errno);
        }
        committed_ = true;
        return;
    }
    if (::fsync(fd_) != 0) {
        throw system_error(target_, "cannot write", errno);
    }
    if (lock != nullptr && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        throw system_error(temporary_, "cannot lock", errno);
    }
    if (lock == nullptr && ::close(std::exchange(fd_, -1)) != 0) {
        throw system_error(target_, "cannot write", errno);
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        throw system_error(target_, "cannot replace", errno);
    }
    committed_ = true;
    if (lock != nullptr) {
        *lock = FileLock(std::exchange(fd_, -1));
    }
}

// ---------------------------------------------------------------------------

void write_new_file(const std::string& path, std::span<const std::uint8_t> bytes)
{
    std::string temporary = directory_of(path) + "." + name_of(path).substr(0, NAME_IN_TEMPORARY) + ".XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        throw system_error(path, "cannot create a temporary file beside", errno);
    }
    // Removes the temporary file on every way out but the one that names it.
    struct Remove {
        const std::string& path;
        bool keep = false;
        ~Remove()
        {
            if (!keep) {
                ::unlink(path.c_str());
            }
        }
    } remove{temporary};
    (void)::fchmod(fd.get(), new_file_mode()); // mkstemp makes it private
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw system_error(path, "cannot write", errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || ::close(fd.release()) != 0) {
        throw system_error(path, "cannot write", errno);
    }
    // The name is taken in one step that fails when it exists: a rename that
    // replaces nothing, or, on file systems without one, a second link.
    int rc = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        rc = ::link(temporary.c_str(), path.c_str());
    } else if (rc == 0) {
        remove.keep = true;
    }
    if (rc != 0 && errno == EEXIST) {
        throw FileError(FileError::Kind::exists, path, path + " exists already", EEXIST);
    }
    if (rc != 0) {
        throw system_error(path, "cannot create", errno);
    }
}

// ---------------------------------------------------------------------------

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void FileLock::release() noexcept
{
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1)); // closing the last descriptor of the open file drops the lock
    }
}

FileLock FileLock::acquire(const std::string& path, bool& created)
{
    const std::string target = follow_links(path);
    created = false;
    int raw = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (raw < 0 && errno == ENOENT) {
        raw = ::open(target.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, new_file_mode());
        created = raw >= 0;
        if (raw < 0 && errno == EEXIST) {
            raw = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY); // made by another process meanwhile
        }
    }
    if (raw < 0) {
        throw system_error(target, "cannot open", errno);
    }
    Descriptor fd(raw);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw FileError(FileError::Kind::locked, target, target + " is in use by another process");
        }
        throw system_error(target, "cannot lock", errno);
    }
    return FileLock(fd.release());
}

} // namespace orv::hostfile
