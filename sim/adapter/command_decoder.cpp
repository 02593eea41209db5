#include "sim/adapter/command_decoder.hpp"

#include "lib/wire/wire.hpp"
#include "sim/adapter/diagnostics.hpp"

namespace orv::emu {

namespace {

// Gives the argument bytes of `command.bytes` their names.
void name_arguments(Command& command)
{
    const auto bytes = command.bytes;
    switch (command.opcode) {
    case OP_SET_IO_LOW:
    case OP_SET_IO_HIGH:
        command.direction = bytes[1];
        command.level = bytes[2];
        break;
    case OP_TMS_OUT:
    case OP_TMS_IO:
        command.count = bytes[1];
        command.pattern = bytes[2];
        break;
    case OP_BITS_OUT_LSB:
    case OP_BITS_IO_LSB:
    case OP_BITS_OUT_MSB:
    case OP_BITS_IO_MSB:
        command.count = bytes[1];
        command.data_byte = bytes[2];
        break;
    case OP_BYTES_OUT_LSB:
    case OP_BYTES_IO_LSB:
    case OP_BYTES_OUT_MSB:
    case OP_BYTES_IO_MSB:
        command.count = bytes[1];
        command.data = bytes.subspan(BYTES_HEAD_LENGTH);
        break;
    case OP_CLOCKS:
    case OP_CLOCKS_READ:
    case OP_CLOCKS_READ_MSB:
        command.count = bytes[1];
        command.count_high = bytes[2];
        break;
    case OP_SET_CLOCK_FAST:
    case OP_SET_CLOCK_SLOW:
        command.divisor = bytes[1];
        break;
    case OP_SET_CLOCK_POLARITY:
    case OP_SET_BIT_ORDER:
        command.mode = bytes[1];
        break;
    default: // OP_FLUSH has no arguments
        break;
    }
}

} // namespace

unsigned Command::clocks_spi_form() const noexcept
{
    const unsigned n = 256U * count_high + ((unsigned{count} + 1U) & 0xFFU);
    return n == 0 ? 65536U : n;
}

unsigned Command::clocks_jtag_form() const noexcept
{
    const unsigned n = (unsigned{count_high} << 7) | ((unsigned{count} + 1U) & 0x7FU);
    return n == 0 ? 32768U : n;
}

bool Command::jtag_form_consistent() const noexcept
{
    return (((unsigned{count} + 1U) >> 7) & 1U) == (count_high & 1U);
}

std::optional<Command> CommandDecoder::next()
{
    if (position_ >= buffer_.size() || !error_.empty()) {
        return std::nullopt;
    }
    const std::size_t offset = position_;
    const std::size_t left = buffer_.size() - offset;
    const std::uint8_t opcode = buffer_[offset];
    const int arguments = argument_bytes(opcode);
    if (arguments < 0) {
        error_ = "unknown opcode " + hex_byte(opcode) + " at offset " + std::to_string(offset) + " of " +
                 std::to_string(buffer_.size()) + ": rest of the buffer ignored";
        return std::nullopt;
    }
    std::size_t length = 1 + static_cast<std::size_t>(arguments);
    if (carries_data(opcode) && left > 1) {
        length += std::size_t{buffer_[offset + 1]} + 1;
    }
    if (left < length) {
        error_ = "truncated command " + hex_byte(opcode) + " at offset " + std::to_string(offset) +
                 ": needs " + std::to_string(length) + " bytes, " + std::to_string(left) + " left";
        return std::nullopt;
    }
    position_ += length;

    Command command;
    command.opcode = opcode;
    command.offset = offset;
    command.bytes = buffer_.subspan(offset, length);
    name_arguments(command);
    return command;
}

} // namespace orv::emu
