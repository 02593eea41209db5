// A combined I2C transaction: several messages between one START and one
// STOP, joined by repeated STARTs, as i2ctransfer sends them. The I2C library
// runs one message per transaction, so this builds the stream itself, from
// the library's own bus phases (START, repeated START, the address forms,
// data bytes out and in, STOP), and sends it with the common transport under
// the I2C read-back policy: one OUT transfer, one read-back exchange.
//
// Read-back layout: per message, one byte of address acknowledges, then for
// a write one byte per data byte (each acknowledge is closed into a byte of
// its own, so that a refused byte can be named), for a read the data bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <libusb.h>

#include "lib/devices/i2c/i2c_link.hpp"

namespace orv::dev::i2c {

// The read-back one transaction may fill.
inline constexpr std::size_t MAX_TRANSFER_READBACK = 512;

// The read-back bytes the messages need.
[[nodiscard]] std::size_t transfer_readback_bytes(std::span<const Message> messages) noexcept;

// Builds and runs the transaction; read messages' data is filled only when
// every acknowledge came. Returns the first fault (Kind::bus with the
// transport's result for a failed transfer). The messages must be checked
// first (transfer_readback_bytes within MAX_TRANSFER_READBACK, reads of at
// least one byte).
[[nodiscard]] std::optional<TransferFault> run_combined(libusb_device_handle* handle,
                                                        std::uint32_t timeout_ms, bool ten_bit,
                                                        std::span<const Message> messages);

} // namespace orv::dev::i2c
