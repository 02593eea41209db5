#include "lib/wire/spi_phases.hpp"

#include <array>

namespace orv::spi {

void append_select(CommandStream& stream, const lumo_spi_config& config) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, SPI_DIRECTION, select_level(config));
}

void append_command_phase(CommandStream& stream, const lumo_spi_config& config, std::uint8_t cmd) noexcept
{
    if (config.cmd_enable == 0) {
        return;
    }
    const std::uint8_t byte[] = {cmd};
    append_bytes(stream, bit_order_of(config), false, byte);
}

void append_address_phase(CommandStream& stream, const lumo_spi_config& config, std::uint32_t addr) noexcept
{
    const std::size_t count = config.addr_bytes;
    if (count == 0) {
        return;
    }
    if (count > MAX_ADDRESS_BYTES) {
        stream.fault();
        return;
    }
    // An LSB-first target takes the address from its low byte up, an MSB-first
    // one from its top byte down, so each sees the value in its own bit order.
    std::array<std::uint8_t, MAX_ADDRESS_BYTES> bytes{};
    const bool low_first = bit_order_of(config) == BitOrder::lsb_first;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t byte_index = low_first ? i : count - 1 - i;
        bytes[i] = static_cast<std::uint8_t>(addr >> (8 * byte_index));
    }
    append_bytes(stream, bit_order_of(config), false, std::span<const std::uint8_t>(bytes.data(), count));
}

void append_dummy_phase(CommandStream& stream, std::uint32_t dummy_clocks) noexcept
{
    if (dummy_clocks == 0) {
        return;
    }
    append_clocks(stream, OP_CLOCKS, dummy_clocks, SPI_CLOCK_COUNT);
}

void append_preamble(CommandStream& stream, const lumo_spi_config& config, std::uint8_t cmd,
                     std::uint32_t addr, std::uint32_t dummy_clocks) noexcept
{
    append_select(stream, config);
    append_command_phase(stream, config, cmd);
    append_address_phase(stream, config, addr);
    append_dummy_phase(stream, dummy_clocks);
}

void append_deselect(CommandStream& stream, const lumo_spi_config& config) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, SPI_DIRECTION, idle_level(config));
}

} // namespace orv::spi
