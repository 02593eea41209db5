// What crosses the wire between the host and the adapter, in one place: the
// bulk endpoints, the read-back count, every opcode with its length beside it,
// the command limits, and the pin map of each connector. The libraries, the
// emulator, the virtual USB device, orvtool, the benchmarks and the tests all
// take these facts from here; nothing else spells them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace orv {

// ---------------------------------------------------------------------------
// Bulk endpoints.
inline constexpr unsigned char EP_COMMAND_OUT = 0x02;       // the command stream
inline constexpr unsigned char EP_READBACK_DATA_IN = 0x81;  // the read-back bytes
inline constexpr unsigned char EP_READBACK_COUNT_IN = 0x83; // how many are ready

// Largest packet of each bulk endpoint (USB 2.0 high speed). An IN transfer
// asked for a whole number of packets never overflows: the adapter ends it
// with a short packet when it holds less.
inline constexpr std::uint16_t BULK_PACKET_SIZE = 512;

// The count on EP_READBACK_COUNT_IN: unsigned 32-bit, little endian.
inline constexpr std::size_t READBACK_COUNT_LENGTH = 4;
using CountBytes = std::array<std::uint8_t, READBACK_COUNT_LENGTH>;

[[nodiscard]] constexpr CountBytes encode_count(std::uint32_t count) noexcept
{
    return {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8),
            static_cast<std::uint8_t>(count >> 16), static_cast<std::uint8_t>(count >> 24)};
}

// The unsigned 32-bit little-endian value at the start of `bytes` (at least
// four bytes): the read-back count, and the 32-bit fields of the protocols
// around the adapter (SFDP DWORDs, XVC lengths).
[[nodiscard]] constexpr std::uint32_t load_le32(std::span<const std::uint8_t> bytes) noexcept
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// `bytes` holds at least READBACK_COUNT_LENGTH bytes.
[[nodiscard]] constexpr std::uint32_t decode_count(std::span<const std::uint8_t> bytes) noexcept
{
    return load_le32(bytes);
}

// ---------------------------------------------------------------------------
// Opcodes, each with the length of its command. A command is its opcode and a
// fixed number of argument bytes; the byte-shift commands add their data.

// Pin direction and level: opcode, direction mask, level.
inline constexpr std::uint8_t OP_SET_IO_LOW = 0x20;  // pins 0..7
inline constexpr std::uint8_t OP_SET_IO_HIGH = 0x21; // the second group
inline constexpr std::size_t SET_IO_LENGTH = 3;

// TMS clocks: opcode, n - 1, pattern (bit k TMS of clock k, bit 7 TDI).
inline constexpr std::uint8_t OP_TMS_OUT = 0x5B;
inline constexpr std::uint8_t OP_TMS_IO = 0x5C;
inline constexpr std::size_t TMS_LENGTH = 3;

// 1..8 bits of one data byte: opcode, n - 1, data.
inline constexpr std::uint8_t OP_BITS_OUT_LSB = 0x6B;
inline constexpr std::uint8_t OP_BITS_IO_LSB = 0x6C;
inline constexpr std::uint8_t OP_BITS_OUT_MSB = 0x6D;
inline constexpr std::uint8_t OP_BITS_IO_MSB = 0x6E;
inline constexpr std::size_t BITS_LENGTH = 3;

// 1..256 whole bytes: opcode, n - 1, then the n data bytes.
inline constexpr std::uint8_t OP_BYTES_OUT_LSB = 0x7B;
inline constexpr std::uint8_t OP_BYTES_IO_LSB = 0x7C;
inline constexpr std::uint8_t OP_BYTES_OUT_MSB = 0x7D;
inline constexpr std::uint8_t OP_BYTES_IO_MSB = 0x7E;
inline constexpr std::size_t BYTES_HEAD_LENGTH = 2;

// Completes the read-back byte in progress.
inline constexpr std::uint8_t OP_FLUSH = 0x8B;
inline constexpr std::size_t FLUSH_LENGTH = 1;

// Clock cycles with a two-byte count: no data, sampling, sampling MSB first.
inline constexpr std::uint8_t OP_CLOCKS = 0x9B;
inline constexpr std::uint8_t OP_CLOCKS_READ = 0x9C;
inline constexpr std::uint8_t OP_CLOCKS_READ_MSB = 0x9D;
inline constexpr std::size_t CLOCKS_LENGTH = 3;

// Clock divisor; the fast form is chosen above 240.
inline constexpr std::uint8_t OP_SET_CLOCK_FAST = 0xAB;
inline constexpr std::uint8_t OP_SET_CLOCK_SLOW = 0xAC;
inline constexpr std::size_t CLOCK_DIVISOR_LENGTH = 2;

// Mode set-up values: clock idle level and bit order. Opcode and value.
inline constexpr std::uint8_t OP_SET_CLOCK_POLARITY = 0xCB;
inline constexpr std::uint8_t OP_SET_BIT_ORDER = 0xDB;
inline constexpr std::size_t MODE_LENGTH = 2;

inline constexpr std::uint8_t MODE_CLOCK_IDLE_LOW = 0x11;
inline constexpr std::uint8_t MODE_CLOCK_IDLE_HIGH = 0xFF;
inline constexpr std::uint8_t MODE_LSB_FIRST = 0x11;
inline constexpr std::uint8_t MODE_MSB_FIRST = 0xFF;

// Argument bytes after an opcode (the byte-shift commands: their count byte,
// the data follows); -1 for an opcode the adapter does not know. The
// emulator's decoder reads the stream with this.
[[nodiscard]] constexpr int argument_bytes(std::uint8_t opcode) noexcept
{
    constexpr auto after_opcode = [](std::size_t length) { return static_cast<int>(length) - 1; };
    switch (opcode) {
    case OP_SET_IO_LOW:
    case OP_SET_IO_HIGH:
        return after_opcode(SET_IO_LENGTH);
    case OP_TMS_OUT:
    case OP_TMS_IO:
        return after_opcode(TMS_LENGTH);
    case OP_BITS_OUT_LSB:
    case OP_BITS_IO_LSB:
    case OP_BITS_OUT_MSB:
    case OP_BITS_IO_MSB:
        return after_opcode(BITS_LENGTH);
    case OP_CLOCKS:
    case OP_CLOCKS_READ:
    case OP_CLOCKS_READ_MSB:
        return after_opcode(CLOCKS_LENGTH);
    case OP_BYTES_OUT_LSB:
    case OP_BYTES_IO_LSB:
    case OP_BYTES_OUT_MSB:
    case OP_BYTES_IO_MSB:
        return after_opcode(BYTES_HEAD_LENGTH);
    case OP_SET_CLOCK_FAST:
    case OP_SET_CLOCK_SLOW:
        return after_opcode(CLOCK_DIVISOR_LENGTH);
    case OP_SET_CLOCK_POLARITY:
    case OP_SET_BIT_ORDER:
        return after_opcode(MODE_LENGTH);
    case OP_FLUSH:
        return after_opcode(FLUSH_LENGTH);
    default:
        return -1;
    }
}

// The byte-shift commands: their count byte (n - 1) is followed by n data
// bytes, so the whole command is 1 + argument_bytes + n long.
[[nodiscard]] constexpr bool carries_data(std::uint8_t opcode) noexcept
{
    return opcode == OP_BYTES_OUT_LSB || opcode == OP_BYTES_IO_LSB || opcode == OP_BYTES_OUT_MSB ||
           opcode == OP_BYTES_IO_MSB;
}

// ---------------------------------------------------------------------------
// Command limits.
inline constexpr unsigned MAX_TMS_CLOCKS = 7;
inline constexpr unsigned MAX_BITS_PER_COMMAND = 8;
inline constexpr unsigned MAX_BYTES_PER_COMMAND = 256;
inline constexpr unsigned MAX_CLOCKS_PER_COMMAND = 65535;
// OP_CLOCKS_READ_MSB carries no high count byte (it is always 0).
inline constexpr unsigned MAX_CLOCKS_READ_MSB = 256;

// Bit 7 of a TMS pattern byte is the TDI level held during the clocks.
inline constexpr std::uint8_t TMS_TDI_BIT = 0x80;

// The clock divisor: 60000 / f for a requested f (kHz of a 60 MHz base).
inline constexpr std::uint32_t CLOCK_BASE_KHZ = 60000;
inline constexpr std::uint32_t CLOCK_FAST_ABOVE = 240;
// The divisor travels in one byte: a frequency whose divisor exceeds it wraps.
inline constexpr std::uint32_t CLOCK_DIVISOR_MAX = 0xFF;

// ---------------------------------------------------------------------------
// Pin maps of the connectors (low pin group, one bit per pin).

// JTAG, as orvtool wires it: TCK and TDI out low, TDO in, TMS out high (keeps
// the TAP in Test-Logic-Reset until it is driven).
inline constexpr std::uint16_t JTAG_PIN_TCK = 1U << 0;
inline constexpr std::uint16_t JTAG_PIN_TDI = 1U << 1;
inline constexpr std::uint16_t JTAG_PIN_TDO = 1U << 2;
inline constexpr std::uint16_t JTAG_PIN_TMS = 1U << 3;
inline constexpr std::uint16_t JTAG_DEFAULT_DIRECTION = JTAG_PIN_TCK | JTAG_PIN_TDI | JTAG_PIN_TMS;
inline constexpr std::uint16_t JTAG_DEFAULT_LEVEL = JTAG_PIN_TMS;

// SPI: clock and chip select driven, MISO the one input. The direction mask
// of every SPI pin command is also how the adapter's SPI connector is chosen.
inline constexpr std::uint8_t SPI_PIN_CLOCK = 0x01;       // pin 0
inline constexpr std::uint8_t SPI_PIN_CHIP_SELECT = 0x02; // pin 1
inline constexpr std::uint8_t SPI_PIN_MISO = 0x08;        // pin 3
inline constexpr std::uint8_t SPI_DIRECTION = static_cast<std::uint8_t>(~SPI_PIN_MISO);

// I2C: SCL always driven by the master; SDA released while the target drives
// it. Both direction masks choose the I2C connector.
inline constexpr std::uint8_t I2C_PIN_SCL = 0x01; // pin 0
inline constexpr std::uint8_t I2C_PIN_SDA = 0x04; // pin 2
inline constexpr std::uint8_t I2C_DIRECTION_DRIVEN = 0xFF;
inline constexpr std::uint8_t I2C_DIRECTION_SDA_RELEASED = static_cast<std::uint8_t>(~I2C_PIN_SDA);

// The first byte of a 10-bit I2C address: 11110, address bits 9 and 8, R/W.
inline constexpr std::uint8_t I2C_TEN_BIT_HEADER = 0xF0;
inline constexpr std::uint8_t I2C_TEN_BIT_HEADER_MASK = 0xF8;

// JTAG test reset, as `jtag svf` drives it (TRST statements): pin 4, active
// low; released (direction bit clear) it is pulled up, inactive.
inline constexpr std::uint16_t JTAG_PIN_TRST = 1U << 4;

} // namespace orv
