// What the write and the read share: the address forms, the buffer sizes and
// the one-transfer-then-read-back run of a transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <libusb.h>

#include "bus_phases.hpp"
#include "command_stream.hpp"
#include "heap_buffer.hpp"

namespace orv::i2c {

enum class AddressForm { seven_bit, ten_bit };

// addr_bits 7 or 10; anything else is refused.
[[nodiscard]] constexpr std::optional<AddressForm> address_form(std::int32_t addr_bits) noexcept
{
    switch (addr_bits) {
    case 7:
        return AddressForm::seven_bit;
    case 10:
        return AddressForm::ten_bit;
    default:
        return std::nullopt;
    }
}

// 11110xx: the first byte of a 10-bit address carries address bits 9 and 8.
inline constexpr std::uint8_t TEN_BIT_HEADER = 0xF0;

// 7-bit address byte: address bits 6..0 then R/W. Higher bits of `addr` fall
// out of the shift.
[[nodiscard]] constexpr std::uint8_t seven_bit_address(std::uint32_t addr, Direction direction) noexcept
{
    return static_cast<std::uint8_t>(((addr << 1) & 0xFFU) | static_cast<std::uint8_t>(direction));
}

// 10-bit header byte: 11110, address bits 9 and 8, R/W.
[[nodiscard]] constexpr std::uint8_t ten_bit_header(std::uint32_t addr, Direction direction) noexcept
{
    return static_cast<std::uint8_t>(TEN_BIT_HEADER | ((addr >> 8) & 0x3U) << 1 |
                                     static_cast<std::uint8_t>(direction));
}

// 10-bit address, second byte: address bits 7..0.
[[nodiscard]] constexpr std::uint8_t ten_bit_low(std::uint32_t addr) noexcept
{
    return static_cast<std::uint8_t>(addr & 0xFFU);
}

// Every transaction stream is a fixed frame plus twelve bytes (four commands)
// per data byte; the buffers leave headroom beyond the longest frame.
inline constexpr std::size_t STREAM_BYTES_PER_DATA_BYTE = 12;
inline constexpr std::size_t WRITE_FRAME_BUFFER = 64;
inline constexpr std::size_t READ_FRAME_BUFFER = 128;

// The two heap buffers of one transaction, freed when it returns: the command
// stream (frame + 12 x len bytes) and the read-back (its expected count).
struct TransactionBuffers {
    HeapBuffer commands;
    HeapBuffer readback;
};

// False when a size does not fit a size_t or an allocation fails; the
// buffers then own nothing.
[[nodiscard]] bool allocate_transaction(TransactionBuffers& buffers, std::size_t frame, std::size_t len,
                                        std::size_t readback_bytes) noexcept;

// Sends the whole transaction in one OUT transfer, then collects its read-back
// into `readback` (its size is the expected count). A faulted stream sends
// nothing and gives TPW_ERROR_CMD_ERR.
[[nodiscard]] std::int32_t run_transaction(libusb_device_handle* handle, const CommandStream& stream,
                                           std::span<std::uint8_t> readback, std::uint32_t timeout) noexcept;

} // namespace orv::i2c
