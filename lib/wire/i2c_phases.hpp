// The I2C bus phases as adapter commands.
//
// The adapter has no I2C engine: every condition on the bus is a pin command on
// the low pin group, every byte a bit shift, every answer of the target a bit
// sampled into the read-back. Each phase below appends the commands of one bus
// step to a transaction's stream; the comment on each states the lines before
// and after it. SCL is always driven by the master; SDA is released while the
// target drives it (acknowledge bits, data bytes read). Pins: the I2C
// connector's map in wire.hpp.
//
// The phases are constexpr: the data-byte phases, repeated for every byte of a
// transaction, are built once at compile time and stamped (transaction.hpp).
#pragma once

#include <cstdint>

#include "lib/wire/command_stream.hpp"

namespace orv::i2c {

inline constexpr std::uint8_t LINES_IDLE = I2C_PIN_SCL | I2C_PIN_SDA;
inline constexpr std::uint8_t LINES_SCL_HIGH_SDA_LOW = I2C_PIN_SCL;
inline constexpr std::uint8_t LINES_SCL_LOW_SDA_HIGH = I2C_PIN_SDA;
inline constexpr std::uint8_t LINES_BOTH_LOW = 0x00;

// The master's acknowledge bit, sent with a one-bit LSB-first shift: SDA low
// acknowledges, high does not.
inline constexpr std::uint8_t MASTER_ACK = 0x00;
inline constexpr std::uint8_t MASTER_NACK = 0x01;

// The R/W bit, the last bit of an address byte.
enum class Direction : std::uint8_t { write = 0, read = 1 };

// How many pin commands SCL is held low for at the end of a START. The write
// holds it for two, the read for one; the repeated START for two.
enum class StartHold : unsigned { one = 1, two = 2 };

// Both lines driven to `levels`, every other pin of the group low.
constexpr void drive(CommandStream& stream, std::uint8_t levels) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, I2C_DIRECTION_DRIVEN, levels);
}

// SCL driven low, SDA left to the target.
constexpr void release_sda(CommandStream& stream) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, I2C_DIRECTION_SDA_RELEASED, LINES_BOTH_LOW);
}

// Both lines driven high for one pin command: the bus at rest.
// assert before: anything; after: SCL high, SDA high.
constexpr void bus_idle(CommandStream& stream) noexcept
{
    drive(stream, LINES_IDLE);
}

// The idle bus for two pin commands, so a START finds it settled.
// assert before: anything; after: SCL high, SDA high.
constexpr void idle_before_start(CommandStream& stream) noexcept
{
    bus_idle(stream);
    bus_idle(stream);
}

// SDA falls while SCL is high, then SCL falls.
// assert before: SCL high, SDA high; after: SCL low, SDA driven low.
constexpr void start(CommandStream& stream, StartHold hold) noexcept
{
    drive(stream, LINES_SCL_HIGH_SDA_LOW);
    drive(stream, LINES_SCL_HIGH_SDA_LOW);
    for (unsigned i = 0; i < static_cast<unsigned>(hold); ++i) {
        drive(stream, LINES_BOTH_LOW);
    }
}

// Repeated START in the middle of a transaction: SDA up while SCL is low, SCL
// up, SDA falls while SCL is high, SCL falls.
// assert before: SCL low, SDA released; after: SCL low, SDA driven low.
constexpr void repeated_start(CommandStream& stream) noexcept
{
    drive(stream, LINES_BOTH_LOW);
    drive(stream, LINES_BOTH_LOW);
    drive(stream, LINES_SCL_LOW_SDA_HIGH);
    drive(stream, LINES_SCL_LOW_SDA_HIGH);
    drive(stream, LINES_IDLE);
    drive(stream, LINES_IDLE);
    start(stream, StartHold::two);
}

// Eight clocks shifting `byte` out most significant bit first.
// assert before: SCL low, SDA driven; after: SCL low, SDA driven (last bit).
constexpr void shift_out(CommandStream& stream, std::uint8_t byte) noexcept
{
    append_bits(stream, BitOrder::msb_first, false, 8, byte);
}

// Releases SDA and samples the target's acknowledge bit into the read-back.
// assert before: SCL low, SDA driven; after: SCL low, SDA released.
constexpr void sample_ack(CommandStream& stream) noexcept
{
    release_sda(stream);
    append_clocks_read_msb(stream, 1);
}

// The master takes SDA back after the target has driven it.
// assert before: SCL low, SDA released; after: SCL low, SDA driven low.
constexpr void take_sda(CommandStream& stream) noexcept
{
    drive(stream, LINES_BOTH_LOW);
}

// The first byte after a START: shifted out, its acknowledge sampled.
// assert before: SCL low, SDA driven low; after: SCL low, SDA released.
constexpr void byte_after_start(CommandStream& stream, std::uint8_t byte) noexcept
{
    shift_out(stream, byte);
    sample_ack(stream);
}

// A byte after an acknowledge bit (second address byte, data byte of a write).
// assert before: SCL low, SDA released; after: SCL low, SDA released.
constexpr void byte_out(CommandStream& stream, std::uint8_t byte) noexcept
{
    take_sda(stream);
    shift_out(stream, byte);
    sample_ack(stream);
}

// A data byte clocked in from the target, then the master's acknowledge bit:
// acknowledged unless it is the last byte of the read.
// assert before: SCL low, SDA either; after: SCL low, SDA driven (ack level).
constexpr void byte_in(CommandStream& stream, bool last) noexcept
{
    release_sda(stream);
    append_clocks_read_msb(stream, 8);
    take_sda(stream);
    append_bits(stream, BitOrder::lsb_first, false, 1, last ? MASTER_NACK : MASTER_ACK);
}

// Closes the read-back byte in progress; adds nothing when no bit is pending.
// Lines unchanged.
constexpr void close_readback_byte(CommandStream& stream) noexcept
{
    append_flush(stream);
}

// SDA rises while SCL is high.
// assert before: SCL low; after: SCL high, SDA high (idle bus).
constexpr void stop(CommandStream& stream) noexcept
{
    drive(stream, LINES_BOTH_LOW);
    drive(stream, LINES_SCL_HIGH_SDA_LOW);
    drive(stream, LINES_IDLE);
}

} // namespace orv::i2c
