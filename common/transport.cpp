#include "transport.hpp"

#include <algorithm>
#include <cstring>

#include "heap_buffer.hpp"
#include "result.hpp"
#include "wire.hpp"

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

bool count_satisfies(ReadBackVariant variant, std::uint32_t count, std::size_t expected) noexcept
{
    switch (variant) {
    case ReadBackVariant::jtag:
        // Both sides as signed 32-bit: a count with bit 31 set never satisfies.
        return expected <= INT32_MAX &&
               static_cast<std::int32_t>(count) >= static_cast<std::int32_t>(expected);
    case ReadBackVariant::spi:
        return count >= expected;
    case ReadBackVariant::i2c:
        return count == expected;
    }
    return false;
}

bool limit_reached(ReadBackVariant variant, std::uint64_t unsatisfied, std::uint32_t timeout) noexcept
{
    const std::uint64_t limit = 10ULL * timeout;
    return variant == ReadBackVariant::i2c ? unsatisfied >= limit : unsatisfied > limit;
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
// outcome is not reported; only a failed scratch allocation in the JTAG variant
// changes the result.
std::int32_t drain(libusb_device_handle* handle, std::span<std::uint8_t> destination, std::uint32_t count,
                   std::uint32_t timeout, ReadBackVariant variant) noexcept
{
    if (count > MAX_TRANSFER_LENGTH || implausible_surplus(count, destination.size())) {
        return RESULT_TIMEOUT; // not a count to size a buffer from
    }
    const bool into_destination =
        variant == ReadBackVariant::spi || (variant == ReadBackVariant::i2c && count <= destination.size());
    HeapBuffer scratch;
    std::uint8_t* target = destination.data();
    if (!into_destination || target == nullptr) {
        scratch = HeapBuffer::allocate(count);
        if (!scratch.ok()) {
            return variant == ReadBackVariant::jtag ? RESULT_NO_MEMORY : RESULT_TIMEOUT;
        }
        target = scratch.data();
    }
    int moved = 0;
    (void)libusb_bulk_transfer(handle, EP_READBACK_DATA_IN, target, static_cast<int>(count), &moved, timeout);
    return RESULT_TIMEOUT;
}

} // namespace

std::int32_t read_back(libusb_device_handle* handle, std::span<std::uint8_t> destination,
                       std::uint32_t timeout, ReadBackVariant variant) noexcept
{
    const std::size_t expected = destination.size();
    std::uint64_t unsatisfied = 0;
    std::uint32_t count = 0;
    for (;;) {
        const Poll poll = poll_count(handle, timeout);
        if (variant != ReadBackVariant::i2c || timeout == 0) {
            if (poll.rc != 0) {
                return poll.rc;
            }
            if (!poll.complete) {
                return RESULT_SHORT_TRANSFER;
            }
        }
        if (poll.complete) {
            count = poll.count;
            if (count_satisfies(variant, count, expected)) {
                return read_data(handle, destination, count, timeout);
            }
        }
        ++unsatisfied;
        if (timeout != 0 && limit_reached(variant, unsatisfied, timeout)) {
            return drain(handle, destination, count, timeout, variant);
        }
    }
}

} // namespace orv
