#include "bus_phases.hpp"

#include "wire.hpp"

namespace orv::i2c {

namespace {

// Both lines driven to `levels`.
void drive(CommandStream& stream, std::uint8_t levels) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, DIRECTION_ALL_DRIVEN, levels);
}

// SCL driven low, SDA left to the target.
void release_sda(CommandStream& stream) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, DIRECTION_SDA_RELEASED, LINES_BOTH_LOW);
}

// The master's acknowledge bit: SDA low acknowledges, high does not.
inline constexpr std::uint8_t MASTER_ACK = 0x00;
inline constexpr std::uint8_t MASTER_NACK = 0x01;

} // namespace

void bus_idle(CommandStream& stream) noexcept
{
    drive(stream, LINES_IDLE);
}

void idle_before_start(CommandStream& stream) noexcept
{
    bus_idle(stream);
    bus_idle(stream);
}

void start(CommandStream& stream, StartHold hold) noexcept
{
    drive(stream, LINES_SCL_HIGH_SDA_LOW);
    drive(stream, LINES_SCL_HIGH_SDA_LOW);
    for (unsigned i = 0; i < static_cast<unsigned>(hold); ++i) {
        drive(stream, LINES_BOTH_LOW);
    }
}

void repeated_start(CommandStream& stream) noexcept
{
    drive(stream, LINES_BOTH_LOW);
    drive(stream, LINES_BOTH_LOW);
    drive(stream, LINES_SCL_LOW_SDA_HIGH);
    drive(stream, LINES_SCL_LOW_SDA_HIGH);
    drive(stream, LINES_IDLE);
    drive(stream, LINES_IDLE);
    start(stream, StartHold::two);
}

void shift_out(CommandStream& stream, std::uint8_t byte) noexcept
{
    append_bits(stream, BitOrder::msb_first, false, 8, byte);
}

void sample_ack(CommandStream& stream) noexcept
{
    release_sda(stream);
    append_clocks(stream, OP_CLOCKS_READ_MSB, 1, ClockCountForm::spi_shift8);
}

void take_sda(CommandStream& stream) noexcept
{
    drive(stream, LINES_BOTH_LOW);
}

void byte_after_start(CommandStream& stream, std::uint8_t byte) noexcept
{
    shift_out(stream, byte);
    sample_ack(stream);
}

void byte_out(CommandStream& stream, std::uint8_t byte) noexcept
{
    take_sda(stream);
    shift_out(stream, byte);
    sample_ack(stream);
}

void byte_in(CommandStream& stream, bool last) noexcept
{
    release_sda(stream);
    append_clocks(stream, OP_CLOCKS_READ_MSB, 8, ClockCountForm::spi_shift8);
    take_sda(stream);
    append_bits(stream, BitOrder::lsb_first, false, 1, last ? MASTER_NACK : MASTER_ACK);
}

void close_readback_byte(CommandStream& stream) noexcept
{
    append_flush(stream);
}

void stop(CommandStream& stream) noexcept
{
    drive(stream, LINES_BOTH_LOW);
    drive(stream, LINES_SCL_HIGH_SDA_LOW);
    drive(stream, LINES_IDLE);
}

} // namespace orv::i2c
