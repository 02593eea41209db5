#include "lib/wire/readback_purge.hpp"

#include <algorithm>
#include <vector>

#include "lib/wire/result_codes.hpp"
#include "lib/wire/wire.hpp"

namespace orv {

namespace {

// The most a purge reads in one go, whole packets: the adapter's read-back is
// a few KiB, and a count above this is read over several rounds.
constexpr std::uint32_t PURGE_CHUNK = 1U << 16;
static_assert(PURGE_CHUNK % BULK_PACKET_SIZE == 0);

// The count rounded up to whole packets, at most PURGE_CHUNK.
std::uint32_t packets_for(std::uint32_t count) noexcept
{
    const std::uint32_t capped = std::min(count, PURGE_CHUNK);
    return (capped + BULK_PACKET_SIZE - 1) / BULK_PACKET_SIZE * BULK_PACKET_SIZE;
}

} // namespace

std::int32_t purge_readback(libusb_device_handle* handle, std::uint32_t timeout_ms, std::uint64_t& purged,
                            unsigned rounds)
{
    purged = 0;
    if (handle == nullptr || timeout_ms == 0) {
        return RESULT_INVALID_PARAM;
    }
    std::vector<std::uint8_t> scratch;
    unsigned empty = 0;
    for (unsigned round = 0; round < rounds; ++round) {
        CountBytes raw{};
        int moved = 0;
        int rc = libusb_bulk_transfer(handle, EP_READBACK_COUNT_IN, raw.data(), static_cast<int>(raw.size()),
                                      &moved, timeout_ms);
        if (rc != 0) {
            return rc;
        }
        if (moved != static_cast<int>(raw.size())) {
            return RESULT_SHORT_TRANSFER;
        }
        const std::uint32_t count = decode_count(raw);
        if (count == 0) {
            if (++empty == PURGE_EMPTY_POLLS) {
                return RESULT_OK;
            }
            continue;
        }
        empty = 0;
        scratch.resize(packets_for(count));
        moved = 0;
        rc = libusb_bulk_transfer(handle, EP_READBACK_DATA_IN, scratch.data(),
                                  static_cast<int>(scratch.size()), &moved, timeout_ms);
        purged += static_cast<std::uint64_t>(std::clamp(moved, 0, static_cast<int>(scratch.size())));
        // An overflow still took bytes out: the adapter sent more than whole
        // packets allow for, which is what a purge wants gone anyway.
        if (rc != 0 && rc != LIBUSB_ERROR_OVERFLOW) {
            return rc;
        }
    }
    return RESULT_TIMEOUT;
}

} // namespace orv
