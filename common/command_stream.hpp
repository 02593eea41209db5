// A command buffer under construction and the encoders that append one
// command each.
//
// The caller sizes the storage up front from its data length. Each encoder
// appends exactly the bytes of its command. An encoder handed a count outside
// its command's range, or a command that would not fit the storage, appends
// nothing and marks the stream faulted: the adapter has no framing, so one bad
// count would make it misread everything after it. An operation whose stream is
// faulted sends nothing and returns TPW_ERROR_CMD_ERR.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace orv {

enum class BitOrder { lsb_first, msb_first };

// How the second count byte of OP_CLOCKS is formed. The JTAG library sends
// (n >> 7), the SPI library (n >> 8); the adapter's firmware expects each
// library's own form.
enum class ClockCountForm { jtag_shift7, spi_shift8 };

class CommandStream {
public:
    explicit CommandStream(std::span<std::uint8_t> storage) noexcept : storage_(storage) {}

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] std::size_t capacity() const noexcept { return storage_.size(); }
    [[nodiscard]] bool faulted() const noexcept { return faulted_; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return storage_.first(size_); }

    // Appends the bytes as one unit: all of them or, when they do not fit,
    // none (and the stream is faulted).
    void put(std::span<const std::uint8_t> bytes) noexcept;
    void put(std::initializer_list<std::uint8_t> bytes) noexcept
    {
        put(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }
    // Appends an opcode, its argument bytes and a data run as one unit.
    void put_with_data(std::span<const std::uint8_t> head, std::span<const std::uint8_t> data) noexcept;
    void fault() noexcept { faulted_ = true; }

private:
    std::span<std::uint8_t> storage_;
    std::size_t size_ = 0;
    bool faulted_ = false;
};

// OP_SET_IO_LOW / OP_SET_IO_HIGH: opcode, direction mask, level.
void append_set_io(CommandStream& stream, std::uint8_t opcode, std::uint8_t direction,
                   std::uint8_t level) noexcept;

// OP_TMS_OUT / OP_TMS_IO: `clocks` (1..7) TCK clocks; bit k of `pattern` is TMS
// of clock k, bit 7 the TDI level held throughout.
void append_tms(CommandStream& stream, std::uint8_t pattern, unsigned clocks, bool read) noexcept;

// OP_BITS_*: `count` (1..8) bits of `data`; LSB-first shifts the low bits from
// bit 0 up, MSB-first the top bits from bit 7 down.
void append_bits(CommandStream& stream, BitOrder order, bool read, unsigned count,
                 std::uint8_t data) noexcept;

// OP_BYTES_*: 1..256 bytes in buffer order.
void append_bytes(CommandStream& stream, BitOrder order, bool read,
                  std::span<const std::uint8_t> data) noexcept;

// OP_CLOCKS / OP_CLOCKS_READ / OP_CLOCKS_READ_MSB: `cycles` (1..65535) clocks.
// First count byte (n - 1) mod 256. Second: OP_CLOCKS by `form`;
// OP_CLOCKS_READ always (n >> 8); OP_CLOCKS_READ_MSB always 0 (the library that
// emits it never asks for more than 8 cycles).
void append_clocks(CommandStream& stream, std::uint8_t opcode, unsigned cycles, ClockCountForm form) noexcept;

// OP_FLUSH.
void append_flush(CommandStream& stream) noexcept;

// The two bytes of the clock divisor command for a requested frequency
// (`freq` >= 1): OP_SET_CLOCK_FAST above 240, else OP_SET_CLOCK_SLOW, then the
// low eight bits of 60000 / freq. No clamping: the adapter takes the byte as is.
[[nodiscard]] std::array<std::uint8_t, 2> clock_divisor_command(std::uint32_t freq) noexcept;

} // namespace orv
