// Adapter set-up: TCK divisor, pin directions and levels, TAP reset. Each is
// one short fixed command buffer on the stack; nothing is read back.
#include <array>

#include "lib/wire/command_stream.hpp"
#include "lib/wire/operation.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/wire.hpp"
#include "orv_tapwire.h"

namespace {

using namespace orv;

// Seven clocks with TMS high reach Test-Logic-Reset from any state (five would
// do); TDI (pattern bit 7) stays low.
constexpr std::uint8_t RESET_TMS_PATTERN = 0x7F;
constexpr unsigned RESET_TMS_CLOCKS = 7;

std::uint8_t low_pins(std::uint16_t value) noexcept
{
    return static_cast<std::uint8_t>(value & 0xFFU);
}

// The second pin group takes bits 7..14: bit 7 reaches both groups and bit 15
// none, which is how the adapter's pin map lines up with callers' masks.
std::uint8_t high_pins(std::uint16_t value) noexcept
{
    return static_cast<std::uint8_t>((value >> 7) & 0xFFU);
}

} // namespace

extern "C" {

std::int32_t tapwire_tckset(libusb_device_handle* handle, std::uint32_t freq, std::uint32_t timeout)
{
    if (handle == nullptr || freq == 0) {
        return RESULT_INVALID_PARAM;
    }
    const auto command = clock_divisor_command(freq);
    return send(handle, command, timeout);
}

std::int32_t tapwire_ioset(libusb_device_handle* handle, std::uint16_t direction, std::uint16_t level,
                           std::uint32_t timeout)
{
    if (handle == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    std::array<std::uint8_t, 2 * SET_IO_LENGTH + 2 * MODE_LENGTH> storage{};
    CommandStream stream(storage);
    append_set_io(stream, OP_SET_IO_LOW, low_pins(direction), low_pins(level));
    append_set_io(stream, OP_SET_IO_HIGH, high_pins(direction), high_pins(level));
    // JTAG: TCK idles low, data moves least significant bit first.
    append_modes(stream, MODE_CLOCK_IDLE_LOW, MODE_LSB_FIRST);
    return transact(handle, stream, timeout);
}

std::int32_t tapwire_reset(libusb_device_handle* handle, std::int32_t* state, std::uint32_t timeout)
{
    if (handle == nullptr || state == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    std::array<std::uint8_t, TMS_LENGTH> storage{};
    CommandStream stream(storage);
    append_tms(stream, RESET_TMS_PATTERN, RESET_TMS_CLOCKS, false);
    const std::int32_t rc = transact(handle, stream, timeout);
    if (rc == RESULT_OK) {
        *state = TPW_TAP_TEST_LOGIC_RESET;
    }
    return rc;
}

} // extern "C"
