#include "lib/wire/transport.hpp"

#include <algorithm>
#include <cstring>

#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/wire.hpp"

namespace orv {

std::int32_t send(libusb_device_handle* handle, std::span<const std::uint8_t> stream,
                  std::uint32_t timeout) noexcept
{
    if (stream.size() > MAX_TRANSFER_LENGTH) {
        return RESULT_INVALID_PARAM;
    }
    // libusb never writes an OUT buffer; an empty stream still needs a valid pointer.
    std::uint8_t empty = 0;
    auto* data = stream.empty() ? &empty : const_cast<std::uint8_t*>(stream.data());
    const int length = static_cast<int>(stream.size());
    int transferred = 0;
    const int rc = libusb_bulk_transfer(handle, EP_COMMAND_OUT, data, length, &transferred, timeout);
    if (rc != 0) {
        return rc;
    }
    return transferred == length ? RESULT_OK : RESULT_SHORT_TRANSFER;
}

namespace {

struct Poll {
    int rc = 0;
    bool complete = false; // exactly four bytes arrived
    std::uint32_t count = 0;
};

Poll poll_count(libusb_device_handle* handle, std::uint32_t timeout) noexcept
{
    CountBytes raw{};
    int moved = 0;
    Poll poll;
    poll.rc = libusb_bulk_transfer(handle, EP_READBACK_COUNT_IN, raw.data(), static_cast<int>(raw.size()),
                                   &moved, timeout);
    poll.complete = poll.rc == 0 && moved == static_cast<int>(raw.size());
    poll.count = decode_count(raw);
    return poll;
}

bool count_satisfies(CountRule rule, std::uint32_t count, std::size_t expected) noexcept
{
    switch (rule) {
    case CountRule::at_least_signed:
        return expected <= INT32_MAX &&
               static_cast<std::int32_t>(count) >= static_cast<std::int32_t>(expected);
    case CountRule::at_least:
        return count >= expected;
    case CountRule::exactly:
        return count == expected;
    }
    return false;
}

bool limit_reached(const ReadBackPolicy& policy, std::uint64_t unsatisfied, std::uint32_t timeout) noexcept
{
    return unsatisfied >= std::uint64_t{POLLS_PER_TIMEOUT_MS} * timeout + policy.extra_polls;
}

bool implausible_surplus(std::uint32_t count, std::size_t expected) noexcept
{
    return count > expected && count - expected > MAX_READBACK_SURPLUS;
}

// Reads the reported count into the destination; a surplus beyond it goes
// through a scratch buffer and only the destination's bytes are kept.
std::int32_t read_data(libusb_device_handle* handle, std::span<std::uint8_t> destination, std::uint32_t count,
                       std::uint32_t timeout) noexcept
{
    if (count > MAX_TRANSFER_LENGTH || implausible_surplus(count, destination.size())) {
        return RESULT_SHORT_TRANSFER;
    }
    HeapBuffer scratch;
    std::uint8_t* target = destination.data();
    if (count > destination.size() || target == nullptr) {
        scratch = HeapBuffer::allocate(count);
        if (!scratch.ok()) {
            return RESULT_NO_MEMORY;
        }
        target = scratch.data();
    }
    int moved = 0;
    const int rc =
        libusb_bulk_transfer(handle, EP_READBACK_DATA_IN, target, static_cast<int>(count), &moved, timeout);
    if (rc != 0) {
        return rc;
    }
    if (moved != static_cast<int>(count)) {
        return RESULT_SHORT_TRANSFER;
    }
    if (scratch.ok() && !destination.empty()) {
        std::memcpy(destination.data(), scratch.data(), std::min<std::size_t>(destination.size(), count));
    }
    return RESULT_OK;
}

// Takes the partial read-back out of the adapter after the poll limit. Its
// outcome is not reported; only a failed scratch allocation may change the
// result, where the policy says so.
std::int32_t drain(libusb_device_handle* handle, std::span<std::uint8_t> destination, std::uint32_t count,
                   std::uint32_t timeout, const ReadBackPolicy& policy) noexcept
{
    if (count > MAX_TRANSFER_LENGTH || implausible_surplus(count, destination.size())) {
        return RESULT_TIMEOUT; // not a count to size a buffer from
    }
    const bool into_destination =
        policy.drain == DrainTarget::destination ||
        (policy.drain == DrainTarget::destination_or_scratch && count <= destination.size());
    HeapBuffer scratch;
    std::uint8_t* target = destination.data();
    if (!into_destination || target == nullptr) {
        scratch = HeapBuffer::allocate(count);
        if (!scratch.ok()) {
            return policy.drain_allocation_failure_reported ? RESULT_NO_MEMORY : RESULT_TIMEOUT;
        }
        target = scratch.data();
    }
    int moved = 0;
    (void)libusb_bulk_transfer(handle, EP_READBACK_DATA_IN, target, static_cast<int>(count), &moved, timeout);
    return RESULT_TIMEOUT;
}

} // namespace

std::int32_t read_back(libusb_device_handle* handle, std::span<std::uint8_t> destination,
                       std::uint32_t timeout, const ReadBackPolicy& policy) noexcept
{
    const std::size_t expected = destination.size();
    std::uint64_t unsatisfied = 0;
    std::uint32_t count = 0;
    for (;;) {
        const Poll poll = poll_count(handle, timeout);
        if (poll.rc == LIBUSB_ERROR_NO_DEVICE && policy.gone_device_ends_exchange) {
            return poll.rc;
        }
        if (policy.failed_poll == FailedPoll::ends_exchange || timeout == 0) {
            if (poll.rc != 0) {
                return poll.rc;
            }
            if (!poll.complete) {
                return RESULT_SHORT_TRANSFER;
            }
        }
        if (poll.complete) {
            count = poll.count;
            if (count_satisfies(policy.count_rule, count, expected)) {
                return read_data(handle, destination, count, timeout);
            }
        }
        ++unsatisfied;
        if (timeout != 0 && limit_reached(policy, unsatisfied, timeout)) {
            return drain(handle, destination, count, timeout, policy);
        }
    }
}

} // namespace orv
