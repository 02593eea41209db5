// Set-up of the adapter for one SPI target: clock divisor, the two mode
// values, and the lines at rest.
#include <array>

#include "command_stream.hpp"
#include "wire.hpp"
#include "orv_lumo_spi.h"
#include "phases.hpp"
#include "result.hpp"
#include "transport.hpp"

namespace {

// Divisor (2), clock polarity mode (2), bit order mode (2), idle pins (3).
constexpr std::size_t SET_CONFIG_LENGTH = 9;

} // namespace

int32_t lumo_spi_set_config(libusb_device_handle* handle, const lumo_spi_config* config, uint32_t timeout)
{
    using namespace orv;
    // The divisor is 60000 / clock_freq: a frequency of 0 has none.
    if (handle == nullptr || config == nullptr || config->clock_freq == 0) {
        return RESULT_INVALID_PARAM;
    }
    std::array<std::uint8_t, SET_CONFIG_LENGTH> storage{};
    CommandStream stream(storage);
    stream.put(clock_divisor_command(config->clock_freq));
    stream.put(
        {OP_SET_CLOCK_POLARITY, config->clock_polarity != 0 ? MODE_CLOCK_IDLE_HIGH : MODE_CLOCK_IDLE_LOW});
    stream.put({OP_SET_BIT_ORDER,
                spi::bit_order_of(*config) == BitOrder::lsb_first ? MODE_LSB_FIRST : MODE_MSB_FIRST});
    // Clock at its idle level, chip select inactive.
    append_set_io(stream, OP_SET_IO_LOW, spi::PIN_DIRECTION, spi::idle_level(*config));
    if (stream.faulted() || stream.size() != SET_CONFIG_LENGTH) {
        return RESULT_CMD_ERR;
    }
    return send(handle, stream.bytes(), timeout);
}
