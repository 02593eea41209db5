#include "tap_state.hpp"

#include <cstdio>

#include "result.hpp"

using orv::RESULT_INVALID_PARAM;
using orv::RESULT_OK;
using orv::jtag::is_tap_state;
using orv::jtag::tap_transitions;

namespace {

constexpr std::int32_t next_state(std::int32_t state, bool tms) noexcept
{
    const auto& t = tap_transitions[static_cast<std::size_t>(state)];
    return tms ? t.on_tms1 : t.on_tms0;
}

constexpr bool tms_toward(std::int32_t state, std::int32_t target) noexcept
{
    return (orv::jtag::tms_high_targets[static_cast<std::size_t>(state)] >> target & 1U) != 0;
}

} // namespace

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
    std::int32_t working = *state;
    std::uint32_t bits = 0;
    int k = 0;
    while (working != target) {
        if (k == orv::jtag::MAX_TMS_PATH) {
            return orv::RESULT_CMD_ERR; // the rule table is broken: never loop
        }
        const bool tms = tms_toward(working, target);
        bits |= static_cast<std::uint32_t>(tms) << k;
        working = next_state(working, tms);
        ++k;
    }
    *state = working;
    *count = k - 1;
    *pattern = bits;
    return RESULT_OK;
}

const char* jtag_get_state_str(std::int32_t state)
{
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
