#include "command_stream.hpp"

#include <cstring>

#include "wire.hpp"

namespace orv {

void CommandStream::put(std::span<const std::uint8_t> bytes) noexcept
{
    put_with_data(bytes, {});
}

void CommandStream::put_with_data(std::span<const std::uint8_t> head,
                                  std::span<const std::uint8_t> data) noexcept
{
    if (faulted_) {
        return;
    }
    const std::size_t room = storage_.size() - size_;
    if (head.size() > room || data.size() > room - head.size()) {
        faulted_ = true;
        return;
    }
    if (!head.empty()) {
        std::memcpy(storage_.data() + size_, head.data(), head.size());
        size_ += head.size();
    }
    if (!data.empty()) {
        std::memcpy(storage_.data() + size_, data.data(), data.size());
        size_ += data.size();
    }
}

namespace {

constexpr std::uint8_t low_byte(unsigned value) noexcept
{
    return static_cast<std::uint8_t>(value & 0xFFU);
}

} // namespace

void append_set_io(CommandStream& stream, std::uint8_t opcode, std::uint8_t direction,
                   std::uint8_t level) noexcept
{
    if (opcode != OP_SET_IO_LOW && opcode != OP_SET_IO_HIGH) {
        stream.fault();
        return;
    }
    stream.put({opcode, direction, level});
}

void append_tms(CommandStream& stream, std::uint8_t pattern, unsigned clocks, bool read) noexcept
{
    if (clocks < 1 || clocks > MAX_TMS_CLOCKS) {
        stream.fault();
        return;
    }
    stream.put({read ? OP_TMS_IO : OP_TMS_OUT, low_byte(clocks - 1), pattern});
}

void append_bits(CommandStream& stream, BitOrder order, bool read, unsigned count, std::uint8_t data) noexcept
{
    if (count < 1 || count > MAX_BITS_PER_COMMAND) {
        stream.fault();
        return;
    }
    const std::uint8_t opcode = order == BitOrder::lsb_first ? (read ? OP_BITS_IO_LSB : OP_BITS_OUT_LSB)
                                                             : (read ? OP_BITS_IO_MSB : OP_BITS_OUT_MSB);
    stream.put({opcode, low_byte(count - 1), data});
}

void append_bytes(CommandStream& stream, BitOrder order, bool read,
                  std::span<const std::uint8_t> data) noexcept
{
    if (data.empty() || data.size() > MAX_BYTES_PER_COMMAND) {
        stream.fault();
        return;
    }
    const std::uint8_t opcode = order == BitOrder::lsb_first ? (read ? OP_BYTES_IO_LSB : OP_BYTES_OUT_LSB)
                                                             : (read ? OP_BYTES_IO_MSB : OP_BYTES_OUT_MSB);
    const std::uint8_t head[] = {opcode, low_byte(static_cast<unsigned>(data.size() - 1))};
    stream.put_with_data(head, data);
}

void append_clocks(CommandStream& stream, std::uint8_t opcode, unsigned cycles, ClockCountForm form) noexcept
{
    if (cycles < 1 || cycles > MAX_CLOCKS_PER_COMMAND) {
        stream.fault();
        return;
    }
    std::uint8_t second = 0;
    switch (opcode) {
    case OP_CLOCKS:
        second = form == ClockCountForm::jtag_shift7 ? low_byte(cycles >> 7) : low_byte(cycles >> 8);
        break;
    case OP_CLOCKS_READ:
        second = low_byte(cycles >> 8);
        break;
    case OP_CLOCKS_READ_MSB:
        if (cycles > 256) {
            stream.fault();
            return;
        }
        second = 0;
        break;
    default:
        stream.fault();
        return;
    }
    stream.put({opcode, low_byte(cycles - 1), second});
}

void append_flush(CommandStream& stream) noexcept
{
    stream.put({OP_FLUSH});
}

std::array<std::uint8_t, 2> clock_divisor_command(std::uint32_t freq) noexcept
{
    const std::uint32_t quotient = freq == 0 ? 0 : 60000U / freq;
    return {freq > 240 ? OP_SET_CLOCK_FAST : OP_SET_CLOCK_SLOW, low_byte(quotient)};
}

} // namespace orv
