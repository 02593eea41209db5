// The IEEE 1149.1 TAP controller as data: the transition table, the rule that
// picks the TMS level of the shortest path, the state names. Internal to
// orv_tapwire.
#pragma once

#include <array>
#include <cstdint>

#include "orv_tapwire.h"

namespace orv::jtag {

inline constexpr int TAP_STATE_COUNT = 16;

[[nodiscard]] constexpr bool is_tap_state(std::int32_t state) noexcept
{
    return state >= 0 && state < TAP_STATE_COUNT;
}

struct TapTransition {
    std::int8_t on_tms0;
    std::int8_t on_tms1;
};

// Next state for the TMS level sampled on one rising TCK edge.
inline constexpr std::array<TapTransition, TAP_STATE_COUNT> tap_transitions = {{
    /* 0 Test-Logic-Reset */ {TPW_TAP_RUN_TEST_IDLE, TPW_TAP_TEST_LOGIC_RESET},
    /* 1 Run-Test/Idle    */ {TPW_TAP_RUN_TEST_IDLE, TPW_TAP_SELECT_DR_SCAN},
    /* 2 Select-DR-Scan   */ {TPW_TAP_CAPTURE_DR, TPW_TAP_SELECT_IR_SCAN},
    /* 3 Capture-DR       */ {TPW_TAP_SHIFT_DR, TPW_TAP_EXIT1_DR},
    /* 4 Shift-DR         */ {TPW_TAP_SHIFT_DR, TPW_TAP_EXIT1_DR},
    /* 5 Exit1-DR         */ {TPW_TAP_PAUSE_DR, TPW_TAP_UPDATE_DR},
    /* 6 Pause-DR         */ {TPW_TAP_PAUSE_DR, TPW_TAP_EXIT2_DR},
    /* 7 Exit2-DR         */ {TPW_TAP_SHIFT_DR, TPW_TAP_UPDATE_DR},
    /* 8 Update-DR        */ {TPW_TAP_RUN_TEST_IDLE, TPW_TAP_SELECT_DR_SCAN},
    /* 9 Select-IR-Scan   */ {TPW_TAP_CAPTURE_IR, TPW_TAP_TEST_LOGIC_RESET},
    /* 10 Capture-IR      */ {TPW_TAP_SHIFT_IR, TPW_TAP_EXIT1_IR},
    /* 11 Shift-IR        */ {TPW_TAP_SHIFT_IR, TPW_TAP_EXIT1_IR},
    /* 12 Exit1-IR        */ {TPW_TAP_PAUSE_IR, TPW_TAP_UPDATE_IR},
    /* 13 Pause-IR        */ {TPW_TAP_PAUSE_IR, TPW_TAP_EXIT2_IR},
    /* 14 Exit2-IR        */ {TPW_TAP_SHIFT_IR, TPW_TAP_UPDATE_IR},
    /* 15 Update-IR       */ {TPW_TAP_RUN_TEST_IDLE, TPW_TAP_SELECT_DR_SCAN},
}};

constexpr std::uint16_t states_mask(std::initializer_list<int> states) noexcept
{
    std::uint16_t mask = 0;
    for (int s : states) {
        mask = static_cast<std::uint16_t>(mask | (1U << s));
    }
    return mask;
}

inline constexpr std::uint16_t ANY_STATE = 0xFFFF;

// For each working state, the targets for which the next TMS level is 1; for
// every other target it is 0. Following these levels yields the shortest path,
// which in this state diagram is unique. From Select-IR-Scan the way back to
// the DR column and to Run-Test/Idle runs through Test-Logic-Reset.
inline constexpr std::array<std::uint16_t, TAP_STATE_COUNT> tms_high_targets = {
    /* 0 Test-Logic-Reset */ 0,
    /* 1 Run-Test/Idle    */ ANY_STATE,
    /* 2 Select-DR-Scan   */ states_mask({0, 1, 9, 10, 11, 12, 13, 14, 15}),
    /* 3 Capture-DR       */ static_cast<std::uint16_t>(~states_mask({4})),
    /* 4 Shift-DR         */ ANY_STATE,
    /* 5 Exit1-DR         */ static_cast<std::uint16_t>(~states_mask({4, 6, 7})),
    /* 6 Pause-DR         */ ANY_STATE,
    /* 7 Exit2-DR         */ static_cast<std::uint16_t>(~states_mask({4, 5, 6})),
    /* 8 Update-DR        */ static_cast<std::uint16_t>(~states_mask({1})),
    /* 9 Select-IR-Scan   */ states_mask({0, 1, 2, 3, 4, 5, 6, 7, 8}),
    /* 10 Capture-IR      */ static_cast<std::uint16_t>(~states_mask({11})),
    /* 11 Shift-IR        */ ANY_STATE,
    /* 12 Exit1-IR        */ static_cast<std::uint16_t>(~states_mask({11, 13, 14})),
    /* 13 Pause-IR        */ ANY_STATE,
    /* 14 Exit2-IR        */ static_cast<std::uint16_t>(~states_mask({11, 12, 13})),
    /* 15 Update-IR       */ static_cast<std::uint16_t>(~states_mask({1})),
};

// No shortest path between two states is longer than this.
inline constexpr int MAX_TMS_PATH = 8;

constexpr bool tms_toward(std::int32_t state, std::int32_t target) noexcept
{
    return (tms_high_targets[static_cast<std::size_t>(state)] >> target & 1U) != 0;
}

constexpr std::int32_t next_state(std::int32_t state, bool tms) noexcept
{
    const auto& t = tap_transitions[static_cast<std::size_t>(state)];
    return tms ? t.on_tms1 : t.on_tms0;
}

// The shortest TMS sequence from one state to another: `clocks` clocks, bit k
// of `pattern` the TMS level of clock k.
struct TmsPath {
    std::uint8_t clocks = 0;
    std::uint8_t pattern = 0;

    friend constexpr bool operator==(const TmsPath&, const TmsPath&) = default;
};

// Every path, found once at compile time by following the rule table.
inline constexpr auto tms_paths = [] {
    std::array<std::array<TmsPath, TAP_STATE_COUNT>, TAP_STATE_COUNT> paths{};
    for (std::int32_t from = 0; from < TAP_STATE_COUNT; ++from) {
        for (std::int32_t to = 0; to < TAP_STATE_COUNT; ++to) {
            TmsPath path;
            for (std::int32_t state = from; state != to && path.clocks < MAX_TMS_PATH; ++path.clocks) {
                const bool tms = tms_toward(state, to);
                path.pattern = static_cast<std::uint8_t>(path.pattern | (tms ? 1U : 0U) << path.clocks);
                state = next_state(state, tms);
            }
            paths[static_cast<std::size_t>(from)][static_cast<std::size_t>(to)] = path;
        }
    }
    return paths;
}();

// Where a path leads, clock by clock through the transition table.
constexpr std::int32_t walk(std::int32_t from, TmsPath path) noexcept
{
    std::int32_t state = from;
    for (unsigned k = 0; k < path.clocks; ++k) {
        state = next_state(state, (path.pattern >> k & 1U) != 0);
    }
    return state;
}

static_assert(
    [] {
        for (std::int32_t from = 0; from < TAP_STATE_COUNT; ++from) {
            for (std::int32_t to = 0; to < TAP_STATE_COUNT; ++to) {
                if (walk(from, tms_paths[static_cast<std::size_t>(from)][static_cast<std::size_t>(to)]) !=
                    to) {
                    return false;
                }
            }
        }
        return true;
    }(),
    "the rule table leads from every state to every other");

// Both states 0..15.
[[nodiscard]] constexpr TmsPath tms_path(std::int32_t from, std::int32_t to) noexcept
{
    return tms_paths[static_cast<std::size_t>(from)][static_cast<std::size_t>(to)];
}

// Printable names; the last entry serves every value outside 0..15.
inline constexpr std::array<const char*, TAP_STATE_COUNT + 1> jtag_state_info = {
    "test logic reset", "run test idle", "select dr", "capture dr", "shift dr",    "exit1 dr",
    "pause dr",         "exit2 dr",      "update dr", "select ir",  "capture ir",  "shift ir",
    "exit1 ir",         "pause ir",      "exit2 ir",  "update ir",  "state error",
};

} // namespace orv::jtag

extern "C" {
// One TCK clock with the given TMS level (non-zero is 1). -14 for a state
// outside 0..15 (left unchanged), else 0.
std::int32_t jtag_update_state_onestep(std::int32_t* state, std::int32_t tms);
// `clocks` clocks, TMS from bit 0 of `tms_bits` upward (0 from the 33rd clock
// on). -14 for a state outside 0..15 (left unchanged), else 0.
std::int32_t jtag_update_state(std::int32_t* state, std::int32_t clocks, std::uint32_t tms_bits);
// Debug aid: prints bits 0..bits-1 of value, each as '0' or '1' followed by a
// space, then a line break.
void print_binary_low2hi(std::int32_t value, std::int32_t bits);
}
