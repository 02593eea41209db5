#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "errors.hpp"

namespace orvtool {

namespace {

std::string reason()
{
    return std::strerror(errno);
}

// "dir/" of "dir/name", "" of "name".
std::string directory_of(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The permissions a new file gets: 0666 less the umask.
mode_t new_file_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

Bytes read_input_file(const std::string& path, std::istream& std_in)
{
    Bytes data;
    if (path == "-") {
        data.assign(std::istreambuf_iterator<char>(std_in), std::istreambuf_iterator<char>());
    } else {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            usage_error("cannot open " + path + ": " + reason(), "check the file name");
        }
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            close(fd);
            usage_error(path + " is a directory", "give the file to write");
        }
        std::uint8_t buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                std::string why = reason();
                close(fd);
                usage_error("cannot read " + path + ": " + why);
            }
            if (n == 0) {
                break;
            }
            data.insert(data.end(), buf, buf + n);
        }
        close(fd);
    }
    if (data.empty()) {
        usage_error((path == "-" ? std::string("standard input") : path) + " is empty: nothing to write");
    }
    return data;
}

OutputFile::OutputFile(const std::string& path, std::ostream& std_out)
    : path_(path), to_stdout_(path == "-"), std_out_(std_out)
{
    if (to_stdout_) {
        return;
    }
    struct stat st {};
    mode_t mode = new_file_mode();
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            usage_error(path + " is a directory", "give a file name for the bytes");
        }
        mode = st.st_mode & 07777;
    }
    temp_ = directory_of(path) + "." + name_of(path) + ".orvtool-XXXXXX";
    fd_ = mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        usage_error("cannot create " + path + ": " + reason(),
                    "check that the directory exists and that you may write there");
    }
    fchmod(fd_, mode);
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0) {
        close(fd_);
    }
    if (!temp_.empty() && !committed_) {
        unlink(temp_.c_str());
    }
}

void OutputFile::write(std::span<const std::uint8_t> bytes)
{
    if (to_stdout_) {
        std_out_.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        std_out_.flush();
        if (!std_out_) {
            throw ToolError(Exit::failed, "cannot write the bytes to standard output");
        }
        return;
    }
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw ToolError(Exit::failed, "cannot write " + path_ + ": " + reason(),
                            "check the free space; " + path_ + " was left as it was");
        }
        done += static_cast<std::size_t>(n);
    }
}

void OutputFile::commit()
{
    if (to_stdout_ || committed_) {
        return;
    }
    int rc = close(fd_);
    fd_ = -1;
    if (rc != 0) {
        throw ToolError(Exit::failed, "cannot write " + path_ + ": " + reason(),
                        "check the free space; " + path_ + " was left as it was");
    }
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        throw ToolError(Exit::failed, "cannot replace " + path_ + ": " + reason());
    }
    committed_ = true;
}

} // namespace orvtool
