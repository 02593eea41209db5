// Throwing away a read-back that nobody will collect.
//
// The libraries make one OUT transfer and at most one read-back exchange per
// operation and track nothing between calls. After an exchange that failed (a
// failed or short data read, the poll limit) the adapter may still hold bytes;
// the next exchange would take them as its own. A program that goes on after
// a failure purges first. Not part of the libraries' exports: the tools use it.
#pragma once

#include <cstdint>

#include <libusb.h>

namespace orv {

// Empties the adapter's read-back: polls the count and reads what is there
// until the count reads 0, at most `rounds` times. A read-back left behind by
// a failed exchange would otherwise be taken by the next one as its own.
// Returns 0 and the bytes thrown away in `purged`, or the failing transfer's
// code (TPW_ERROR_TIMEOUT when the count never reached 0).
[[nodiscard]] std::int32_t purge_readback(libusb_device_handle* handle, std::uint32_t timeout_ms,
                                          std::uint64_t& purged, unsigned rounds = 16);

} // namespace orv
