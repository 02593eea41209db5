// An SVF file as parsed: its statements in order, each with where it starts
// in the file and with every value it takes effect with (the carry-over
// rules already applied), so that playing it needs no further checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "lib/formats/svf/bits.hpp"
#include "orv_tapwire.h"

namespace orv::svf {

// TAP states, numbered as the JTAG library numbers them.
using TapState = std::int32_t;

inline constexpr TapState STATE_RESET = TPW_TAP_TEST_LOGIC_RESET;
inline constexpr TapState STATE_IDLE = TPW_TAP_RUN_TEST_IDLE;
inline constexpr TapState STATE_DRCAPTURE = TPW_TAP_CAPTURE_DR;
inline constexpr TapState STATE_DRSHIFT = TPW_TAP_SHIFT_DR;
inline constexpr TapState STATE_DREXIT1 = TPW_TAP_EXIT1_DR;
inline constexpr TapState STATE_DRPAUSE = TPW_TAP_PAUSE_DR;
inline constexpr TapState STATE_DRUPDATE = TPW_TAP_UPDATE_DR;
inline constexpr TapState STATE_IRCAPTURE = TPW_TAP_CAPTURE_IR;
inline constexpr TapState STATE_IRSHIFT = TPW_TAP_SHIFT_IR;
inline constexpr TapState STATE_IREXIT1 = TPW_TAP_EXIT1_IR;
inline constexpr TapState STATE_IRPAUSE = TPW_TAP_PAUSE_IR;
inline constexpr TapState STATE_IRUPDATE = TPW_TAP_UPDATE_IR;

// The names SVF gives the sixteen states, in that numbering.
inline constexpr std::string_view STATE_NAMES[16] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE"};
static_assert(STATE_NAMES[TPW_TAP_SELECT_DR_SCAN] == "DRSELECT" &&
                  STATE_NAMES[TPW_TAP_EXIT2_DR] == "DREXIT2" &&
                  STATE_NAMES[TPW_TAP_SELECT_IR_SCAN] == "IRSELECT" &&
                  STATE_NAMES[TPW_TAP_EXIT2_IR] == "IREXIT2" && STATE_NAMES[STATE_IRUPDATE] == "IRUPDATE",
              "SVF's state names in the JTAG library's numbering");

// The states a statement may end in.
[[nodiscard]] constexpr bool is_stable(TapState state) noexcept
{
    return state == STATE_RESET || state == STATE_IDLE || state == STATE_DRPAUSE || state == STATE_IRPAUSE;
}

enum class Command : std::uint8_t {
    enddr,
    endir,
    frequency,
    hdr,
    hir,
    pio,
    piomap,
    runtest,
    sdr,
    sir,
    state,
    tdr,
    tir,
    trst
};
inline constexpr std::string_view COMMAND_NAMES[] = {"ENDDR", "ENDIR",  "FREQUENCY", "HDR", "HIR",
                                                     "PIO",   "PIOMAP", "RUNTEST",   "SDR", "SIR",
                                                     "STATE", "TDR",    "TIR",       "TRST"};
[[nodiscard]] constexpr std::string_view name_of(Command c) noexcept
{
    return COMMAND_NAMES[static_cast<std::size_t>(c)];
}

struct Location {
    std::uint32_t line = 1;   // 1-based
    std::uint32_t column = 1; // 1-based, in bytes

    friend bool operator==(const Location&, const Location&) = default;
};

enum class Register : std::uint8_t { ir, dr };

// A value of a pattern, shared by the statements it carries over to.
using Value = std::shared_ptr<const Bits>;

// One scan pattern (SIR/SDR and the headers and trailers) as it takes effect:
// TDI, MASK and SMASK after the carry-over, each `length` bits; TDO only when
// this statement gave it (null otherwise: a pattern without TDO checks
// nothing).
struct Pattern {
    std::uint32_t length = 0;
    Value tdi;
    Value tdo;
    Value mask;
    Value smask;
};

// SIR, SDR.
struct Scan {
    Register reg = Register::dr;
    Pattern pattern;
};

// HIR, HDR (header: shifted first, nearest TDO) and TIR, TDR (trailer).
struct Padding {
    Register reg = Register::dr;
    bool trailer = false;
    Pattern pattern;
};

// ENDIR, ENDDR.
struct EndState {
    Register reg = Register::dr;
    TapState state = STATE_IDLE;
};

// FREQUENCY: a maximum TCK rate, or none (back to the player's own rate).
struct Frequency {
    std::optional<double> hz;
};

// STATE: `path` is every state stepped through, one clock each, ending in a
// stable state. Without an explicit path it holds the goal alone.
struct StateMove {
    std::vector<TapState> path;
    bool explicit_path = false;
};

// RUNTEST with its sticky values resolved.
struct RunTest {
    TapState run_state = STATE_IDLE;
    TapState end_state = STATE_IDLE;
    std::uint64_t run_count = 0; // 0: none given
    bool system_clock = false;   // counted in SCK rather than TCK
    double min_time = 0;         // seconds, 0: none given
    std::optional<double> max_time;
};

enum class TrstMode : std::uint8_t { on, off, z, absent };

struct Trst {
    TrstMode mode = TrstMode::z;
};

struct Statement {
    Command command = Command::sdr;
    Location where;             // of the command word
    std::size_t end_offset = 0; // file offset just past the ';'
    using Variant = std::variant<Scan, Padding, EndState, Frequency, StateMove, RunTest, Trst>;
    Variant what;
};

struct Program {
    std::vector<Statement> statements;
    std::size_t bytes = 0; // size of the text
};

} // namespace orv::svf
