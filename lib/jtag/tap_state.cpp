#include "lib/wire/tap_state.hpp"

#include <cstdio>

#include "lib/wire/result_codes.hpp"

using orv::RESULT_INVALID_PARAM;
using orv::RESULT_OK;
using orv::jtag::is_tap_state;
using orv::jtag::next_state;

extern "C" {

std::int32_t jtag_update_state_onestep(std::int32_t* state, std::int32_t tms)
{
    if (state == nullptr || !is_tap_state(*state)) {
        return RESULT_INVALID_PARAM;
    }
    *state = next_state(*state, tms != 0);
    return RESULT_OK;
}

std::int32_t jtag_update_state(std::int32_t* state, std::int32_t clocks, std::uint32_t tms_bits)
{
    if (state == nullptr || !is_tap_state(*state)) {
        return RESULT_INVALID_PARAM;
    }
    std::int32_t working = *state;
    for (std::int32_t k = 0; k < clocks; ++k) {
        working = next_state(working, (tms_bits & 1U) != 0);
        tms_bits >>= 1;
    }
    *state = working;
    return RESULT_OK;
}

std::int32_t jtag_generate_tms_array(std::int32_t* state, std::int32_t target, std::int32_t* count,
                                     std::uint32_t* pattern)
{
    if (state == nullptr || count == nullptr || pattern == nullptr || !is_tap_state(*state) ||
        !is_tap_state(target)) {
        return RESULT_INVALID_PARAM;
    }
    const orv::jtag::TmsPath path = orv::jtag::tms_path(*state, target);
    *state = target;
    *count = static_cast<std::int32_t>(path.clocks) - 1;
    *pattern = path.pattern;
    return RESULT_OK;
}

const char* jtag_get_state_str(std::int32_t state)
{
    // The printout is deliberate: callers compare their logs against it.
    const std::size_t index =
        is_tap_state(state) ? static_cast<std::size_t>(state) : orv::jtag::TAP_STATE_COUNT;
    std::printf("state code local: %02x  ", static_cast<unsigned>(index));
    return orv::jtag::jtag_state_info[index];
}

void print_binary_low2hi(std::int32_t value, std::int32_t bits)
{
    const auto pattern = static_cast<std::uint32_t>(value);
    const std::int32_t shown = bits > 32 ? 32 : bits;
    for (std::int32_t i = 0; i < shown; ++i) {
        std::putchar((pattern >> i & 1U) != 0 ? '1' : '0');
        std::putchar(' ');
    }
    std::putchar('\n');
}

} // extern "C"
