// lumo_iic_init: the clock and shift settings every transaction relies on.
#include <array>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/i2c_phases.hpp"
#include "lib/wire/operation.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/wire.hpp"
#include "orv_lumo_iic.h"

namespace {

// Divisor command, clock polarity and bit order, idle bus.
inline constexpr std::size_t INIT_STREAM_BYTES =
    orv::CLOCK_DIVISOR_LENGTH + 2 * orv::MODE_LENGTH + orv::SET_IO_LENGTH;

} // namespace

int32_t lumo_iic_init(libusb_device_handle* handle, uint32_t clock_freq, uint32_t timeout)
{
    using namespace orv;
    // The divisor is 60000 / clock_freq: a zero frequency has none.
    if (handle == nullptr || clock_freq == 0) {
        return RESULT_INVALID_PARAM;
    }
    std::array<std::uint8_t, INIT_STREAM_BYTES> storage{};
    CommandStream stream(storage);
    stream.put(clock_divisor_command(clock_freq));
    // SCL idles low between the adapter's shift clocks; I2C moves data MSB first.
    append_modes(stream, MODE_CLOCK_IDLE_LOW, MODE_MSB_FIRST);
    i2c::bus_idle(stream);
    return transact(handle, stream, timeout);
}
