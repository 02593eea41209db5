// Opcodes of the adapter's command stream. The adapter executes a stream of
// one-byte opcodes, each followed by a fixed number of argument bytes (and, for
// the byte-shift commands, their data). Nothing else in the libraries spells an
// opcode as a number.
#pragma once

#include <cstdint>

namespace orv {

// Pin direction/level, pins 0..7 and the second pin group.
inline constexpr std::uint8_t OP_SET_IO_LOW = 0x20;
inline constexpr std::uint8_t OP_SET_IO_HIGH = 0x21;
// n TCK clocks with TMS from a pattern; bit 7 of the pattern is TDI.
inline constexpr std::uint8_t OP_TMS_OUT = 0x5B;
inline constexpr std::uint8_t OP_TMS_IO = 0x5C;
// 1..8 bits of one data byte.
inline constexpr std::uint8_t OP_BITS_OUT_LSB = 0x6B;
inline constexpr std::uint8_t OP_BITS_IO_LSB = 0x6C;
inline constexpr std::uint8_t OP_BITS_OUT_MSB = 0x6D;
inline constexpr std::uint8_t OP_BITS_IO_MSB = 0x6E;
// 1..256 whole bytes.
inline constexpr std::uint8_t OP_BYTES_OUT_LSB = 0x7B;
inline constexpr std::uint8_t OP_BYTES_IO_LSB = 0x7C;
inline constexpr std::uint8_t OP_BYTES_OUT_MSB = 0x7D;
inline constexpr std::uint8_t OP_BYTES_IO_MSB = 0x7E;
// Completes the read-back byte in progress.
inline constexpr std::uint8_t OP_FLUSH = 0x8B;
// Clock cycles with a two-byte count: no data, sampling, sampling MSB-first.
inline constexpr std::uint8_t OP_CLOCKS = 0x9B;
inline constexpr std::uint8_t OP_CLOCKS_READ = 0x9C;
inline constexpr std::uint8_t OP_CLOCKS_READ_MSB = 0x9D;
// Clock divisor; the fast form is chosen above 240.
inline constexpr std::uint8_t OP_SET_CLOCK_FAST = 0xAB;
inline constexpr std::uint8_t OP_SET_CLOCK_SLOW = 0xAC;
// Mode set-up values: clock idle level and bit order.
inline constexpr std::uint8_t OP_SET_CLOCK_POLARITY = 0xCB;
inline constexpr std::uint8_t OP_SET_BIT_ORDER = 0xDB;

// Arguments of OP_SET_CLOCK_POLARITY and OP_SET_BIT_ORDER.
inline constexpr std::uint8_t MODE_CLOCK_IDLE_LOW = 0x11;
inline constexpr std::uint8_t MODE_CLOCK_IDLE_HIGH = 0xFF;
inline constexpr std::uint8_t MODE_LSB_FIRST = 0x11;
inline constexpr std::uint8_t MODE_MSB_FIRST = 0xFF;

// Command limits.
inline constexpr unsigned MAX_TMS_CLOCKS = 7;
inline constexpr unsigned MAX_BITS_PER_COMMAND = 8;
inline constexpr unsigned MAX_BYTES_PER_COMMAND = 256;
inline constexpr unsigned MAX_CLOCKS_PER_COMMAND = 65535;

// Bit 7 of a TMS pattern byte is the TDI level held during the clocks.
inline constexpr std::uint8_t TMS_TDI_BIT = 0x80;

// Bulk endpoints.
inline constexpr unsigned char EP_COMMAND_OUT = 0x02;
inline constexpr unsigned char EP_READBACK_DATA_IN = 0x81;
inline constexpr unsigned char EP_READBACK_COUNT_IN = 0x83;

} // namespace orv
