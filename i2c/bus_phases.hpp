// The I2C bus phases as adapter commands.
//
// The adapter has no I2C engine: every condition on the bus is a pin command on
// the low pin group, every byte a bit shift, every answer of the target a bit
// sampled into the read-back. Each phase below appends the commands of one bus
// step to a transaction's stream; the comment on each states the lines before
// and after it. SCL is always driven by the master; SDA is released while the
// target drives it (acknowledge bits, data bytes read).
#pragma once

#include <cstdint>

#include "command_stream.hpp"

namespace orv::i2c {

// Pin bits in the direction and level bytes of OP_SET_IO_LOW.
inline constexpr std::uint8_t PIN_SCL = 0x01; // pin 0
inline constexpr std::uint8_t PIN_SDA = 0x04; // pin 2

// Every pin of the group driven; the pins other than SCL and SDA always low.
inline constexpr std::uint8_t DIRECTION_ALL_DRIVEN = 0xFF;
// SDA an input, so the target can drive it.
inline constexpr std::uint8_t DIRECTION_SDA_RELEASED = DIRECTION_ALL_DRIVEN & ~PIN_SDA;

inline constexpr std::uint8_t LINES_IDLE = PIN_SCL | PIN_SDA;
inline constexpr std::uint8_t LINES_SCL_HIGH_SDA_LOW = PIN_SCL;
inline constexpr std::uint8_t LINES_SCL_LOW_SDA_HIGH = PIN_SDA;
inline constexpr std::uint8_t LINES_BOTH_LOW = 0x00;

// The R/W bit, the last bit of an address byte.
enum class Direction : std::uint8_t { write = 0, read = 1 };

// How many pin commands SCL is held low for at the end of a START. The write
// holds it for two, the read for one; the repeated START for two.
enum class StartHold : unsigned { one = 1, two = 2 };

// Both lines driven high for one pin command: the bus at rest.
// assert before: anything; after: SCL high, SDA high.
void bus_idle(CommandStream& stream) noexcept;

// The idle bus for two pin commands, so a START finds it settled.
// assert before: anything; after: SCL high, SDA high.
void idle_before_start(CommandStream& stream) noexcept;

// SDA falls while SCL is high, then SCL falls.
// assert before: SCL high, SDA high; after: SCL low, SDA driven low.
void start(CommandStream& stream, StartHold hold) noexcept;

// Repeated START in the middle of a transaction: SDA up while SCL is low, SCL
// up, SDA falls while SCL is high, SCL falls.
// assert before: SCL low, SDA released; after: SCL low, SDA driven low.
void repeated_start(CommandStream& stream) noexcept;

// Eight clocks shifting `byte` out most significant bit first.
// assert before: SCL low, SDA driven; after: SCL low, SDA driven (last bit).
void shift_out(CommandStream& stream, std::uint8_t byte) noexcept;

// Releases SDA and samples the target's acknowledge bit into the read-back.
// assert before: SCL low, SDA driven; after: SCL low, SDA released.
void sample_ack(CommandStream& stream) noexcept;

// The master takes SDA back after the target has driven it.
// assert before: SCL low, SDA released; after: SCL low, SDA driven low.
void take_sda(CommandStream& stream) noexcept;

// The first byte after a START: shifted out, its acknowledge sampled.
// assert before: SCL low, SDA driven low; after: SCL low, SDA released.
void byte_after_start(CommandStream& stream, std::uint8_t byte) noexcept;

// A byte after an acknowledge bit (second address byte, data byte of a write).
// assert before: SCL low, SDA released; after: SCL low, SDA released.
void byte_out(CommandStream& stream, std::uint8_t byte) noexcept;

// A data byte clocked in from the target, then the master's acknowledge bit:
// acknowledged unless it is the last byte of the read.
// assert before: SCL low, SDA either; after: SCL low, SDA driven (ack level).
void byte_in(CommandStream& stream, bool last) noexcept;

// Closes the read-back byte in progress; adds nothing when no bit is pending.
// Lines unchanged.
void close_readback_byte(CommandStream& stream) noexcept;

// SDA rises while SCL is high.
// assert before: SCL low; after: SCL high, SDA high (idle bus).
void stop(CommandStream& stream) noexcept;

} // namespace orv::i2c
