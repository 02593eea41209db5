// A command buffer under construction and the encoders that append one
// command each.
//
// The caller sizes the storage up front from the encoders' lengths (wire.hpp
// keeps each command's length beside its opcode). Each encoder appends
// exactly the bytes of its command. An encoder handed a count outside its
// command's range, or a command that would not fit the storage, appends
// nothing and marks the stream faulted: the adapter has no framing, so one bad
// count would make it misread everything after it. An operation whose stream
// is faulted sends nothing and returns TPW_ERROR_CMD_ERR.
//
// Everything here is constexpr, so that a fixed phase can be built once at
// compile time and stamped into a stream (see the I2C data bytes).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <type_traits>

#include "lib/wire/wire.hpp"

namespace orv {

enum class BitOrder { lsb_first, msb_first };

// How OP_CLOCKS forms the second byte of its count: the count shifted right by
// seven, or by eight. The adapter's firmware expects each library's own form
// (the JTAG library shifts by seven, the SPI library by eight).
enum class ClockCountForm { shifted_by_7, shifted_by_8 };

// The form of each connector's clock commands: JTAG (the JTAG library, the
// sequence engine, SVF playback) shifts by seven, SPI by eight.
inline constexpr ClockCountForm JTAG_CLOCK_COUNT = ClockCountForm::shifted_by_7;
inline constexpr ClockCountForm SPI_CLOCK_COUNT = ClockCountForm::shifted_by_8;

class CommandStream {
public:
    constexpr explicit CommandStream(std::span<std::uint8_t> storage) noexcept : storage_(storage) {}

    [[nodiscard]] constexpr std::size_t size() const noexcept { return size_; }
    [[nodiscard]] constexpr bool faulted() const noexcept { return faulted_; }
    [[nodiscard]] constexpr std::span<const std::uint8_t> bytes() const noexcept
    {
        return storage_.first(size_);
    }

    // Appends the bytes as one unit: all of them or, when they do not fit,
    // none (and the stream is faulted).
    constexpr void put(std::span<const std::uint8_t> bytes) noexcept { put_with_data(bytes, {}); }
    constexpr void put(std::initializer_list<std::uint8_t> bytes) noexcept
    {
        put(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
    }
    // Appends an opcode, its argument bytes and a data run as one unit.
    constexpr void put_with_data(std::span<const std::uint8_t> head,
                                 std::span<const std::uint8_t> data) noexcept
    {
        if (faulted_ || !fits(head.size(), data.size())) {
            faulted_ = true;
            return;
        }
        copy_in(head);
        copy_in(data);
    }
    // Takes the next `length` bytes for the caller to fill (a run of
    // prebuilt commands); empty, and the stream faulted, when they do not fit.
    constexpr std::span<std::uint8_t> claim(std::size_t length) noexcept
    {
        if (faulted_ || !fits(length, 0)) {
            faulted_ = true;
            return {};
        }
        const auto run = storage_.subspan(size_, length);
        size_ += length;
        return run;
    }
    constexpr void fault() noexcept { faulted_ = true; }

private:
    [[nodiscard]] constexpr bool fits(std::size_t first, std::size_t second) const noexcept
    {
        const std::size_t room = storage_.size() - size_;
        return first <= room && second <= room - first;
    }
    constexpr void copy_in(std::span<const std::uint8_t> bytes) noexcept
    {
        if (bytes.empty()) {
            return;
        }
        if (std::is_constant_evaluated()) {
            std::copy(bytes.begin(), bytes.end(), storage_.begin() + static_cast<std::ptrdiff_t>(size_));
        } else {
            std::memcpy(storage_.data() + size_, bytes.data(), bytes.size());
        }
        size_ += bytes.size();
    }

    std::span<std::uint8_t> storage_;
    std::size_t size_ = 0;
    bool faulted_ = false;
};

namespace detail {

// Never defined: a compile-time build that reaches it does not compile.
void prebuilt_phase_is_wrong(const char* why) noexcept;

constexpr std::uint8_t low_byte(unsigned value) noexcept
{
    return static_cast<std::uint8_t>(value & 0xFFU);
}

} // namespace detail

// OP_SET_IO_LOW / OP_SET_IO_HIGH (SET_IO_LENGTH): opcode, direction mask, level.
constexpr void append_set_io(CommandStream& stream, std::uint8_t opcode, std::uint8_t direction,
                             std::uint8_t level) noexcept
{
    if (opcode != OP_SET_IO_LOW && opcode != OP_SET_IO_HIGH) {
        stream.fault();
        return;
    }
    stream.put({opcode, direction, level});
}

// OP_TMS_OUT / OP_TMS_IO (TMS_LENGTH): `clocks` (1..7) TCK clocks; bit k of
// `pattern` is TMS of clock k, bit 7 the TDI level held throughout.
constexpr void append_tms(CommandStream& stream, std::uint8_t pattern, unsigned clocks, bool read) noexcept
{
    if (clocks < 1 || clocks > MAX_TMS_CLOCKS) {
        stream.fault();
        return;
    }
    stream.put({read ? OP_TMS_IO : OP_TMS_OUT, detail::low_byte(clocks - 1), pattern});
}

// OP_BITS_* (BITS_LENGTH): `count` (1..8) bits of `data`; LSB-first shifts the
// low bits from bit 0 up, MSB-first the top bits from bit 7 down.
constexpr void append_bits(CommandStream& stream, BitOrder order, bool read, unsigned count,
                           std::uint8_t data) noexcept
{
    if (count < 1 || count > MAX_BITS_PER_COMMAND) {
        stream.fault();
        return;
    }
    const std::uint8_t opcode = order == BitOrder::lsb_first ? (read ? OP_BITS_IO_LSB : OP_BITS_OUT_LSB)
                                                             : (read ? OP_BITS_IO_MSB : OP_BITS_OUT_MSB);
    stream.put({opcode, detail::low_byte(count - 1), data});
}

// OP_BYTES_* (BYTES_HEAD_LENGTH + n): 1..256 bytes in buffer order.
constexpr void append_bytes(CommandStream& stream, BitOrder order, bool read,
                            std::span<const std::uint8_t> data) noexcept
{
    if (data.empty() || data.size() > MAX_BYTES_PER_COMMAND) {
        stream.fault();
        return;
    }
    const std::uint8_t opcode = order == BitOrder::lsb_first ? (read ? OP_BYTES_IO_LSB : OP_BYTES_OUT_LSB)
                                                             : (read ? OP_BYTES_IO_MSB : OP_BYTES_OUT_MSB);
    const std::uint8_t head[BYTES_HEAD_LENGTH] = {opcode,
                                                  detail::low_byte(static_cast<unsigned>(data.size() - 1))};
    stream.put_with_data(head, data);
}

// OP_CLOCKS / OP_CLOCKS_READ / OP_CLOCKS_READ_MSB (CLOCKS_LENGTH): `cycles`
// (1..65535) clocks. First count byte (n - 1) mod 256. Second: OP_CLOCKS by
// `form`; OP_CLOCKS_READ always (n >> 8); OP_CLOCKS_READ_MSB always 0 (it is
// only sent for at most 256 cycles, a bit or a byte).
constexpr void append_clocks(CommandStream& stream, std::uint8_t opcode, unsigned cycles,
                             ClockCountForm form) noexcept
{
    if (cycles < 1 || cycles > MAX_CLOCKS_PER_COMMAND) {
        stream.fault();
        return;
    }
    std::uint8_t second = 0;
    switch (opcode) {
    case OP_CLOCKS:
        second = detail::low_byte(form == ClockCountForm::shifted_by_7 ? cycles >> 7 : cycles >> 8);
        break;
    case OP_CLOCKS_READ:
        second = detail::low_byte(cycles >> 8);
        break;
    case OP_CLOCKS_READ_MSB:
        if (cycles > MAX_CLOCKS_READ_MSB) {
            stream.fault();
            return;
        }
        break;
    default:
        stream.fault();
        return;
    }
    stream.put({opcode, detail::low_byte(cycles - 1), second});
}

// OP_CLOCKS_READ_MSB (CLOCKS_LENGTH) for 1..256 cycles: the count form does
// not apply, its second byte is always 0.
constexpr void append_clocks_read_msb(CommandStream& stream, unsigned cycles) noexcept
{
    append_clocks(stream, OP_CLOCKS_READ_MSB, cycles, ClockCountForm::shifted_by_8);
}

// OP_FLUSH (FLUSH_LENGTH).
constexpr void append_flush(CommandStream& stream) noexcept
{
    stream.put({OP_FLUSH});
}

// The command that sets the clock divisor (CLOCK_DIVISOR_LENGTH) for a
// requested frequency (`freq` >= 1): OP_SET_CLOCK_FAST above 240, else
// OP_SET_CLOCK_SLOW, then the low eight bits of 60000 / freq. No clamping: the
// adapter takes the byte as is.
[[nodiscard]] constexpr std::array<std::uint8_t, CLOCK_DIVISOR_LENGTH>
clock_divisor_command(std::uint32_t freq) noexcept
{
    const std::uint32_t quotient = freq == 0 ? 0 : CLOCK_BASE_KHZ / freq;
    return {freq > CLOCK_FAST_ABOVE ? OP_SET_CLOCK_FAST : OP_SET_CLOCK_SLOW, detail::low_byte(quotient)};
}

// The two mode commands (2 x MODE_LENGTH): clock idle level, bit order.
constexpr void append_modes(CommandStream& stream, std::uint8_t clock_idle, std::uint8_t bit_order) noexcept
{
    stream.put({OP_SET_CLOCK_POLARITY, clock_idle, OP_SET_BIT_ORDER, bit_order});
}

// ---------------------------------------------------------------------------
// Fixed runs of commands built at compile time.

// The bytes a phase appends, as an array of `Length` bytes; a phase that does
// not come out at exactly that length fails to compile.
template <std::size_t Length, typename Phase>
[[nodiscard]] constexpr std::array<std::uint8_t, Length> prebuilt(Phase phase)
{
    std::array<std::uint8_t, Length + 1> room{};
    CommandStream stream(room);
    phase(stream);
    if (stream.faulted() || stream.size() != Length) {
        detail::prebuilt_phase_is_wrong("its length differs from the declared length");
    }
    std::array<std::uint8_t, Length> bytes{};
    std::copy_n(room.begin(), Length, bytes.begin());
    return bytes;
}

// Bytes a phase appends, counted by building it at compile time.
template <typename Phase> [[nodiscard]] constexpr std::size_t built_length(Phase phase)
{
    std::array<std::uint8_t, 1024> room{};
    CommandStream stream(room);
    phase(stream);
    if (stream.faulted()) {
        detail::prebuilt_phase_is_wrong("it does not build");
    }
    return stream.size();
}

// The one byte at which two builds of a phase differ: where a prebuilt block
// takes its variable byte.
template <std::size_t Length>
[[nodiscard]] constexpr std::size_t single_difference(const std::array<std::uint8_t, Length>& a,
                                                      const std::array<std::uint8_t, Length>& b)
{
    std::size_t found = Length;
    for (std::size_t i = 0; i < Length; ++i) {
        if (a[i] != b[i]) {
            if (found != Length) {
                detail::prebuilt_phase_is_wrong("the builds differ in more than one byte");
            }
            found = i;
        }
    }
    if (found == Length) {
        detail::prebuilt_phase_is_wrong("the builds do not differ");
    }
    return found;
}

} // namespace orv
