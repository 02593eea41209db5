// Set-up of the adapter for one SPI target: clock divisor, the two mode
// values, and the lines at rest.
#include <array>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/operation.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/spi_phases.hpp"
#include "lib/wire/wire.hpp"
#include "orv_lumo_spi.h"

namespace {

// Divisor, clock polarity and bit order modes, idle pins.
constexpr std::size_t SET_CONFIG_LENGTH =
    orv::CLOCK_DIVISOR_LENGTH + 2 * orv::MODE_LENGTH + orv::SET_IO_LENGTH;

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
    append_modes(stream, config->clock_polarity != 0 ? MODE_CLOCK_IDLE_HIGH : MODE_CLOCK_IDLE_LOW,
                 spi::bit_order_of(*config) == BitOrder::lsb_first ? MODE_LSB_FIRST : MODE_MSB_FIRST);
    // Clock at its idle level, chip select inactive.
    spi::append_deselect(stream, *config);
    return transact(handle, stream, timeout);
}
