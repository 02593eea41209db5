#include "phases.hpp"

#include <array>

#include "wire.hpp"
#include "result.hpp"
#include "transport.hpp"

namespace orv::spi {

void append_select(CommandStream& stream, const lumo_spi_config& config) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, PIN_DIRECTION, select_level(config));
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
    append_clocks(stream, OP_CLOCKS, dummy_clocks, ClockCountForm::spi_shift8);
}

void append_deselect(CommandStream& stream, const lumo_spi_config& config) noexcept
{
    append_set_io(stream, OP_SET_IO_LOW, PIN_DIRECTION, idle_level(config));
}

std::int32_t run_transaction(libusb_device_handle* handle, const CommandStream& stream,
                             std::span<std::uint8_t> sampled, std::uint32_t timeout) noexcept
{
    if (stream.faulted()) {
        return RESULT_CMD_ERR;
    }
    const std::int32_t sent = send(handle, stream.bytes(), timeout);
    if (sent != RESULT_OK || sampled.empty()) {
        return sent;
    }
    return read_back(handle, sampled, timeout, ReadBackVariant::spi);
}

} // namespace orv::spi
