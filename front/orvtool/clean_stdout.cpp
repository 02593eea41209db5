#include "front/orvtool/clean_stdout.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <span>
#include <streambuf>

#include "front/orvtool/interrupt.hpp"
#include "lib/hostfile/host_file.hpp"

namespace orvtool {

namespace {

// A buffered stream buffer on a file descriptor.
class FdOutBuf final : public std::streambuf {
public:
    void attach(int fd) noexcept
    {
        fd_ = fd;
        setp(buffer_, buffer_ + sizeof buffer_);
    }

protected:
    int_type overflow(int_type ch) override
    {
        if (sync() != 0) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }

    // A reader that takes nothing holds the write up until SIGINT or
    // SIGTERM; then the stream fails.
    int sync() override
    {
        const std::span<const std::uint8_t> pending(reinterpret_cast<const std::uint8_t*>(pbase()),
                                                    static_cast<std::size_t>(pptr() - pbase()));
        setp(buffer_, buffer_ + sizeof buffer_);
        try {
            orv::hostfile::write_descriptor(fd_, pending, "standard output",
                                            []() noexcept { return interrupting_signal() != 0; });
        } catch (const orv::hostfile::FileError&) {
            return -1;
        }
        return 0;
    }

private:
    int fd_ = -1;
    char buffer_[1 << 16];
};

FdOutBuf& results_buffer()
{
    // Never destroyed: std::cout flushes through it at exit, after every
    // static object of this program is gone.
    static FdOutBuf* const buffer = new FdOutBuf;
    return *buffer;
}

} // namespace

void keep_stdout_for_results()
{
    std::cout.flush();
    std::fflush(stdout);
    const int results = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (results < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        return; // keep the descriptors as they are: output still works, only mixed
    }
    results_buffer().attach(results);
    std::cout.rdbuf(&results_buffer());
}

} // namespace orvtool
