#include "bench/instant_usb.hpp"

#include <algorithm>

#include "lib/wire/wire.hpp"

namespace orv::bench {

seam::Outcome InstantAdapter::out(std::span<const std::uint8_t> stream, unsigned /*timeout*/) noexcept
{
    last_out = static_cast<int>(stream.size());
    return {0, last_out};
}

seam::CountOutcome InstantAdapter::poll_count(std::size_t /*length*/, unsigned /*timeout*/) noexcept
{
    return {0, static_cast<int>(READBACK_COUNT_LENGTH), ready};
}

seam::Outcome InstantAdapter::read_data(std::span<std::uint8_t> buffer, unsigned /*timeout*/) noexcept
{
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    last_in = static_cast<int>(buffer.size());
    return {0, last_in};
}

} // namespace orv::bench
