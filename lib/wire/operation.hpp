// The steps every transfer operation of the three libraries runs, in order:
//
//   check     its arguments, before anything is allocated or sent
//             (TPW_ERROR_INVALID_PARAM);
//   size      its stream from the encoders' lengths (wire.hpp) and its data
//             length, overflow-checked (heap_buffer.hpp);
//   allocate  the stream's storage: on the heap when it grows with the data
//             (usb insufficient memory when that fails), a fixed array when
//             it cannot;
//   build     the stream phase by phase (each library's phase files);
//   send      it in one OUT transfer,
//   read back what it sampled, under the library's read-back policy
//             (readback_policy.hpp) — these two are `transact` below;
//   commit    caller state and staged output, only when all of it succeeded.
#pragma once

#include <cstdint>
#include <span>

#include <libusb.h>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/readback_policy.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/transport.hpp"

namespace orv {

// Whether the operation looks at its OUT transfer's result. The I2C
// transactions do not: the adapter answers them only through their read-back,
// so one that never reached it ends at the poll limit like one it lost.
enum class SendResult { returned, ignored };

// Which step of an operation failed (none: it succeeded).
enum class FailedStep { none, build, send, read_back };

struct Outcome {
    std::int32_t result = RESULT_OK;
    FailedStep failed_at = FailedStep::none;
};

// Sends a built stream in one OUT transfer and, when `sampled` is not empty,
// collects exactly its size of read-back bytes into it under `policy`. A
// faulted stream is an internal fault: nothing is sent, TPW_ERROR_CMD_ERR.
[[nodiscard]] inline Outcome transact(libusb_device_handle* handle, const CommandStream& stream,
                                      std::span<std::uint8_t> sampled, std::uint32_t timeout,
                                      const ReadBackPolicy& policy,
                                      SendResult send_result = SendResult::returned) noexcept
{
    if (stream.faulted()) {
        return {RESULT_CMD_ERR, FailedStep::build};
    }
    const std::int32_t sent = send(handle, stream.bytes(), timeout);
    if (sent != RESULT_OK && send_result == SendResult::returned) {
        return {sent, FailedStep::send};
    }
    if (sampled.empty()) {
        return {sent, sent == RESULT_OK ? FailedStep::none : FailedStep::send};
    }
    const std::int32_t read = read_back(handle, sampled, timeout, policy);
    return {read, read == RESULT_OK ? FailedStep::none : FailedStep::read_back};
}

// An operation that samples nothing: build, then one OUT transfer.
[[nodiscard]] inline std::int32_t transact(libusb_device_handle* handle, const CommandStream& stream,
                                           std::uint32_t timeout) noexcept
{
    if (stream.faulted()) {
        return RESULT_CMD_ERR;
    }
    return send(handle, stream.bytes(), timeout);
}

} // namespace orv
