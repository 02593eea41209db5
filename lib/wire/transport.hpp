// The bulk transport every operation uses: one OUT transfer of a whole
// command buffer, then, for operations that sample input, the read-back
// exchange that polls the adapter's count endpoint and fetches the bytes.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>

#include <libusb.h>

#include "lib/wire/readback_policy.hpp"

namespace orv {

// libusb takes transfer lengths as int.
inline constexpr std::size_t MAX_TRANSFER_LENGTH = INT_MAX;

// The adapter's read-back buffer holds a few KiB. A count that claims far more
// than the operation produced is not believed: sizing a scratch buffer from it
// would let a faulty or hostile device make the host allocate gigabytes.
inline constexpr std::size_t MAX_READBACK_SURPLUS = std::size_t{1} << 20;

// Sends the whole command buffer in one bulk OUT transfer on EP_COMMAND_OUT.
// Returns libusb's code when the transfer fails, RESULT_SHORT_TRANSFER when it
// moved another number of bytes than the buffer holds, RESULT_INVALID_PARAM for
// a buffer longer than one transfer can carry (nothing sent), otherwise 0.
[[nodiscard]] std::int32_t send(libusb_device_handle* handle, std::span<const std::uint8_t> stream,
                                std::uint32_t timeout) noexcept;

// Runs the exchange with E = destination.size() under `policy`. The data read asks for the
// reported count; bytes beyond E are read through a scratch buffer and dropped,
// so nothing is ever written past the destination. On success the destination
// holds E bytes. Returns 0, libusb's code of a failed poll or data read,
// RESULT_SHORT_TRANSFER for a poll of other than 4 bytes or a data read of
// other than the count, or a count no transfer can carry or more than
// MAX_READBACK_SURPLUS beyond E (no data read is made then), RESULT_TIMEOUT at
// the poll limit, RESULT_NO_MEMORY when a scratch buffer cannot be allocated.
// With timeout 0 there is no poll limit. Polls follow each other at once.
[[nodiscard]] std::int32_t read_back(libusb_device_handle* handle, std::span<std::uint8_t> destination,
                                     std::uint32_t timeout, const ReadBackPolicy& policy) noexcept;

} // namespace orv
