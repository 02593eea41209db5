// ORV_VUSB_TRACE=1 in the environment logs every ioctl, stream and answer of
// the virtual device to standard error, each line tagged with the serving
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace orv::sim {

inline bool trace_enabled()
{
    static const bool enabled = std::getenv("ORV_VUSB_TRACE") != nullptr;
    return enabled;
}

template <typename... Args> void trace(const char* format, Args... args)
{
    if (trace_enabled()) {
        std::fprintf(stderr, "[vusb %ld] ", static_cast<long>(gettid()));
        std::fprintf(stderr, format, args...);
        std::fputc('\n', stderr);
    }
}

inline std::string hex_string(const std::uint8_t* data, std::size_t size)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(DIGITS[data[i] >> 4]);
        out.push_back(DIGITS[data[i] & 0x0F]);
    }
    return out;
}

} // namespace orv::sim
