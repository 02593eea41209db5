// A DR scan written into the caller's buffer instead of being sent, so that a
// caller can batch many scans into one transfer of its own. No allocation, no
// USB traffic.
#include <span>

#include "lib/wire/result_codes.hpp"
#include "lib/wire/tap_phases.hpp"
#include "lib/wire/tap_state.hpp"
#include "orv_tapwire.h"

extern "C" {

std::int32_t tapwire_build_shift_dr_cmd(std::int32_t* state, std::int32_t bit_count, const std::uint8_t* tdi,
                                        std::uint16_t idle_clocks, std::uint8_t read, std::uint8_t* out,
                                        std::int32_t* capacity, std::int32_t* written)
{
    using namespace orv;
    if (state == nullptr || tdi == nullptr || out == nullptr || capacity == nullptr || written == nullptr ||
        bit_count <= 0 || !jtag::is_tap_state(*state)) {
        return RESULT_INVALID_PARAM;
    }
    const bool capture = read != 0;
    const auto needed = jtag::scan_length_bound(bit_count, capture);
    if (!needed || *capacity < 0 || static_cast<std::size_t>(*capacity) < *needed) {
        return RESULT_NO_MEMORY;
    }
    // The stream may not grow past the needed length, so it never writes past
    // the room the caller declared.
    CommandStream stream(std::span(out, *needed));
    std::int32_t working = *state;
    jtag::append_scan(
        stream, working,
        jtag::ScanRequest{TPW_TAP_SHIFT_DR, TPW_TAP_EXIT1_DR, bit_count, tdi, capture, idle_clocks});
    if (stream.faulted()) {
        return RESULT_CMD_ERR;
    }
    // Shorter than the needed length whenever an optional command is absent;
    // that is a complete sequence, reported with its true length.
    const auto length = static_cast<std::int32_t>(stream.size());
    *capacity -= length;
    *written = length;
    *state = working;
    return RESULT_OK;
}

} // extern "C"
