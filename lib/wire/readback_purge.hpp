// Throwing away a read-back that nobody will collect.
//
// The libraries make one OUT transfer and at most one read-back exchange per
// operation and track nothing between calls. After an exchange that failed (a
// failed or short data read, a failed poll, the poll limit) the adapter may
// still hold bytes; the next exchange would take them as its own and report
// them as its data with success. A program that goes on after a failure, or
// that opens an adapter another program may have left so, purges first. Not
// part of the libraries' exports: the tools and the bridges use it.
#pragma once

#include <cstdint>

#include <libusb.h>

namespace orv {

// Consecutive polls that must read 0 before the read-back counts as empty. An
// adapter's count may lag behind the bytes it holds: right after a command
// buffer ran it can show them only over a few polls (and read 0 on the first
// ones when they are few). Covers a lag of up to PURGE_EMPTY_POLLS - 1 polls.
inline constexpr unsigned PURGE_EMPTY_POLLS = 4;

// Polls a purge makes at most, empty ones included.
inline constexpr unsigned PURGE_ROUNDS = 32;

// Empties the adapter's read-back: polls the count on EP_READBACK_COUNT_IN
// and reads what it shows from EP_READBACK_DATA_IN, asking for whole packets
// (so that bytes arriving meanwhile cannot overflow the read), until
// PURGE_EMPTY_POLLS polls in a row read 0; at most `rounds` polls.
// `timeout_ms` goes to every transfer; 0, which would let a transfer wait for
// ever, is refused. Returns 0 and the bytes thrown away in `purged` (also
// counted on failure), TPW_ERROR_INVALID_PARAM for timeout 0 or a null handle
// (nothing transferred), the code of a failed poll or data read,
// TPW_ERROR_USBTRANS_ERR for a poll of other than 4 bytes, TPW_ERROR_TIMEOUT
// when the count did not stay at 0 within `rounds` polls (an adapter that
// keeps producing, or keeps reporting bytes it does not deliver).
//
// A purge sends nothing: it cannot see bytes the adapter has not produced
// yet, such as those of a long command buffer still running when the purge
// starts.
[[nodiscard]] std::int32_t purge_readback(libusb_device_handle* handle, std::uint32_t timeout_ms,
                                          std::uint64_t& purged, unsigned rounds = PURGE_ROUNDS);

} // namespace orv
