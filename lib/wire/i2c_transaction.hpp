// The two I2C transactions as streams: the address forms, the frame around
// the data (START, address, ..., STOP), the data bytes, the exact stream
// lengths and the transaction's two buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/i2c_phases.hpp"

namespace orv::i2c {

enum class AddressForm { seven_bit, ten_bit };

inline constexpr std::uint32_t LAST_7_BIT_ADDRESS = 0x7F;
inline constexpr std::uint32_t LAST_10_BIT_ADDRESS = 0x3FF;

// addr_bits 7 or 10, with an address that fits the form; anything else is
// refused: the bits above the form would fall out of the address bytes, and
// another device than the one named would answer.
[[nodiscard]] constexpr std::optional<AddressForm> address_form(std::int32_t addr_bits,
                                                                std::uint32_t addr) noexcept
{
    switch (addr_bits) {
    case 7:
        return addr <= LAST_7_BIT_ADDRESS ? std::optional(AddressForm::seven_bit) : std::nullopt;
    case 10:
        return addr <= LAST_10_BIT_ADDRESS ? std::optional(AddressForm::ten_bit) : std::nullopt;
    default:
        return std::nullopt;
    }
}

// 7-bit address byte: address bits 6..0 then R/W.
[[nodiscard]] constexpr std::uint8_t seven_bit_address(std::uint32_t addr, Direction direction) noexcept
{
    return static_cast<std::uint8_t>(((addr << 1) & 0xFFU) | static_cast<std::uint8_t>(direction));
}

// 10-bit header byte: 11110, address bits 9 and 8, R/W.
[[nodiscard]] constexpr std::uint8_t ten_bit_header(std::uint32_t addr, Direction direction) noexcept
{
    return static_cast<std::uint8_t>(I2C_TEN_BIT_HEADER | ((addr >> 8) & 0x3U) << 1 |
                                     static_cast<std::uint8_t>(direction));
}

// 10-bit address, second byte: address bits 7..0.
[[nodiscard]] constexpr std::uint8_t ten_bit_low(std::uint32_t addr) noexcept
{
    return static_cast<std::uint8_t>(addr & 0xFFU);
}

// ---------------------------------------------------------------------------
// Write: START, the address in the write direction, the data bytes each with
// the target's acknowledge sampled, STOP. The address acknowledges fill
// read-back byte 0 on their own; the data acknowledges follow, eight to a byte.

// assert before: anything; after: SCL low, SDA released (address acknowledged
// or not), read-back byte 0 closed.
constexpr void write_head(CommandStream& stream, AddressForm form, std::uint32_t addr) noexcept
{
    idle_before_start(stream);
    start(stream, StartHold::two);
    if (form == AddressForm::seven_bit) {
        byte_after_start(stream, seven_bit_address(addr, Direction::write));
    } else {
        byte_after_start(stream, ten_bit_header(addr, Direction::write));
        byte_out(stream, ten_bit_low(addr));
    }
    close_readback_byte(stream);
}

// Read: START, the address in the read direction (a 10-bit address goes out in
// the write direction first, then a repeated START and the header in the read
// direction), the data bytes clocked in with the master's acknowledge after
// each but the last, STOP. The address acknowledges fill read-back byte 0;
// each data byte is one read-back byte after it.

// assert before: anything; after: SCL low, SDA released, read-back byte 0 closed.
constexpr void read_head(CommandStream& stream, AddressForm form, std::uint32_t addr) noexcept
{
    idle_before_start(stream);
    start(stream, StartHold::one);
    if (form == AddressForm::seven_bit) {
        byte_after_start(stream, seven_bit_address(addr, Direction::read));
    } else {
        byte_after_start(stream, ten_bit_header(addr, Direction::write));
        byte_out(stream, ten_bit_low(addr));
        repeated_start(stream);
        byte_after_start(stream, ten_bit_header(addr, Direction::read));
    }
    close_readback_byte(stream);
}

// Both transactions end alike: the last read-back byte closed, then STOP.
// assert before: SCL low; after: idle bus.
constexpr void transaction_tail(CommandStream& stream) noexcept
{
    close_readback_byte(stream);
    stop(stream);
}

// The data bytes, one byte_out (write) or byte_in (read) phase each. These
// repeat for every byte, so each is built once at compile time and stamped:
// a copy of the block and one store of the byte that varies.
template <std::size_t Length> struct StampedPhase {
    std::array<std::uint8_t, Length> block; // the phase for data byte 0 / an acknowledged byte
    std::size_t variable_at;                // the byte that carries the data / the master's acknowledge
};

inline constexpr std::size_t BYTE_OUT_LENGTH = built_length([](CommandStream& s) { byte_out(s, 0x00); });
inline constexpr StampedPhase<BYTE_OUT_LENGTH> BYTE_OUT_STAMP{
    prebuilt<BYTE_OUT_LENGTH>([](CommandStream& s) { byte_out(s, 0x00); }),
    single_difference(prebuilt<BYTE_OUT_LENGTH>([](CommandStream& s) { byte_out(s, 0x00); }),
                      prebuilt<BYTE_OUT_LENGTH>([](CommandStream& s) { byte_out(s, 0xFF); }))};

inline constexpr std::size_t BYTE_IN_LENGTH = built_length([](CommandStream& s) { byte_in(s, false); });
inline constexpr StampedPhase<BYTE_IN_LENGTH> BYTE_IN_STAMP{
    prebuilt<BYTE_IN_LENGTH>([](CommandStream& s) { byte_in(s, false); }),
    single_difference(prebuilt<BYTE_IN_LENGTH>([](CommandStream& s) { byte_in(s, false); }),
                      prebuilt<BYTE_IN_LENGTH>([](CommandStream& s) { byte_in(s, true); }))};
// What the last byte of a read carries at BYTE_IN_STAMP.variable_at.
inline constexpr std::uint8_t LAST_BYTE_IN_VARIABLE =
    prebuilt<BYTE_IN_LENGTH>([](CommandStream& s) { byte_in(s, true); })[BYTE_IN_STAMP.variable_at];

// byte_out for each data byte.
// assert before: SCL low, SDA released; after: SCL low, SDA released.
inline void data_bytes_out(CommandStream& stream, std::span<const std::uint8_t> data) noexcept
{
    const auto length = checked_mul(data.size(), BYTE_OUT_LENGTH);
    const std::span<std::uint8_t> run = length ? stream.claim(*length) : std::span<std::uint8_t>();
    if (!length) {
        stream.fault();
    }
    std::uint8_t* out = run.data();
    if (out == nullptr) {
        return; // nothing to stamp, or the stream is faulted
    }
    for (const std::uint8_t byte : data) {
        std::memcpy(out, BYTE_OUT_STAMP.block.data(), BYTE_OUT_LENGTH);
        out[BYTE_OUT_STAMP.variable_at] = byte;
        out += BYTE_OUT_LENGTH;
    }
}

// byte_in for `len` bytes, the last one not acknowledged.
// assert before: SCL low, SDA released; after: SCL low, SDA driven.
inline void data_bytes_in(CommandStream& stream, std::size_t len) noexcept
{
    const auto length = checked_mul(len, BYTE_IN_LENGTH);
    const std::span<std::uint8_t> run = length ? stream.claim(*length) : std::span<std::uint8_t>();
    if (!length) {
        stream.fault();
    }
    std::uint8_t* out = run.data();
    if (out == nullptr || len == 0) {
        return;
    }
    for (std::size_t k = 0; k < len; ++k) {
        std::memcpy(out + k * BYTE_IN_LENGTH, BYTE_IN_STAMP.block.data(), BYTE_IN_LENGTH);
    }
    out[(len - 1) * BYTE_IN_LENGTH + BYTE_IN_STAMP.variable_at] = LAST_BYTE_IN_VARIABLE;
}

// ---------------------------------------------------------------------------
// Exact stream lengths, from building the frames at compile time.

template <typename Head> constexpr std::size_t frame_length(Head head)
{
    return built_length(head) + built_length([](CommandStream& s) { transaction_tail(s); });
}

[[nodiscard]] constexpr std::size_t write_frame_length(AddressForm form) noexcept
{
    constexpr std::size_t seven =
        frame_length([](CommandStream& s) { write_head(s, AddressForm::seven_bit, 0); });
    constexpr std::size_t ten =
        frame_length([](CommandStream& s) { write_head(s, AddressForm::ten_bit, 0); });
    return form == AddressForm::seven_bit ? seven : ten;
}

[[nodiscard]] constexpr std::size_t read_frame_length(AddressForm form) noexcept
{
    constexpr std::size_t seven =
        frame_length([](CommandStream& s) { read_head(s, AddressForm::seven_bit, 0); });
    constexpr std::size_t ten = frame_length([](CommandStream& s) { read_head(s, AddressForm::ten_bit, 0); });
    return form == AddressForm::seven_bit ? seven : ten;
}

// The two heap buffers of one transaction, freed when it returns: the command
// stream and the staged read-back (its expected count), which reaches the
// caller only when the whole transaction succeeded.
struct TransactionBuffers {
    HeapBuffer commands;
    HeapBuffer readback;
};

// Allocates a stream of frame + len x per_byte bytes and a read-back of
// readback_bytes. False when a size does not fit a size_t or an allocation
// fails.
[[nodiscard]] bool allocate_transaction(TransactionBuffers& buffers, std::size_t frame, std::size_t len,
                                        std::size_t per_byte, std::size_t readback_bytes) noexcept;

} // namespace orv::i2c
