// Cuts a command buffer (one bulk OUT transfer on endpoint 0x02) into whole
// commands and names their argument bytes.
//
// Every opcode has a fixed number of argument bytes (argument_bytes in
// wire.hpp); the byte shifts 0x7B..0x7E add count + 1 data bytes. An unknown
// opcode, or a command cut off by the end of the buffer, ends the decoding:
// next() returns nothing from then on and error() says what was found where.
// Commands never continue across buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace orv::emu {

// One decoded command. Only the fields of its opcode's family are set; the
// others stay 0 (or empty).
struct Command {
    std::uint8_t opcode = 0;
    std::size_t offset = 0;              // where it starts in its buffer
    std::span<const std::uint8_t> bytes; // the whole command as it was sent

    std::uint8_t direction = 0;  // 0x20, 0x21: pins driven by the adapter (bit set)
    std::uint8_t level = 0;      // 0x20, 0x21: levels of the driven pins
    std::uint8_t count = 0;      // TMS, bit and byte shifts: n - 1; two-byte clocks: the low count byte
    std::uint8_t count_high = 0; // two-byte clocks (0x9B..0x9D): the high count byte
    std::uint8_t pattern = 0;    // TMS (0x5B, 0x5C): bit k is TMS of clock k, bit 7 TDI
    std::uint8_t data_byte = 0;  // bit shifts (0x6B..0x6E): the byte whose bits go out
    std::span<const std::uint8_t> data; // byte shifts (0x7B..0x7E): the count + 1 data bytes
    std::uint8_t divisor = 0;           // 0xAB, 0xAC: the clock divisor
    std::uint8_t mode = 0;              // 0xCB, 0xDB: the mode value

    // The two-byte clock count n. The low byte is (n - 1) mod 256 in both
    // forms the libraries send. The SPI form's high byte is bits 8..15 of n.
    // The JTAG form's high byte is bits 7..14 of n, so bit 7 of n stands in
    // both bytes and n is known modulo 32768 only (the smaller value is
    // taken; extra clocks in Run-Test/Idle change nothing on the chain).
    [[nodiscard]] unsigned clocks_spi_form() const noexcept;
    [[nodiscard]] unsigned clocks_jtag_form() const noexcept;
    // The JTAG form's two count bytes agree on bit 7 of n.
    [[nodiscard]] bool jtag_form_consistent() const noexcept;
};

class CommandDecoder {
public:
    explicit CommandDecoder(std::span<const std::uint8_t> buffer) noexcept : buffer_(buffer) {}

    // The next whole command; nothing at the end of the buffer or at a
    // command that cannot be decoded (error() then tells which).
    [[nodiscard]] std::optional<Command> next();
    // Empty while the buffer decodes cleanly.
    [[nodiscard]] const std::string& error() const noexcept { return error_; }

private:
    std::span<const std::uint8_t> buffer_;
    std::size_t position_ = 0;
    std::string error_;
};

} // namespace orv::emu
