#include "readback_purge.hpp"

#include <algorithm>
#include <vector>

#include "result.hpp"
#include "wire.hpp"

namespace orv {

namespace {

// The most a purge reads in one go; the adapter's read-back is a few KiB.
constexpr std::uint32_t PURGE_CHUNK = 1U << 16;
// Consecutive polls that must read 0 before the read-back counts as empty: a
// count may show newly arrived bytes only over a few polls.
constexpr unsigned EMPTY_POLLS = 2;

} // namespace

std::int32_t purge_readback(libusb_device_handle* handle, std::uint32_t timeout_ms, std::uint64_t& purged,
                            unsigned rounds)
{
    purged = 0;
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
        const std::uint32_t count = std::min(decode_count(raw), PURGE_CHUNK);
        if (count == 0) {
            if (++empty == EMPTY_POLLS) {
                return RESULT_OK;
            }
            continue;
        }
        empty = 0;
        scratch.resize(count);
        rc = libusb_bulk_transfer(handle, EP_READBACK_DATA_IN, scratch.data(), static_cast<int>(count),
                                  &moved, timeout_ms);
        if (rc != 0) {
            return rc;
        }
        purged += static_cast<std::uint64_t>(std::max(moved, 0));
    }
    return RESULT_TIMEOUT;
}

} // namespace orv
