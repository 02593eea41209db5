// A vector file as read: its statements in order, each with where it starts
// in the file and with every value it takes effect with (the carry-over
// rules already applied), so that playing it needs no further checks. SVF
// files and Xilinx's binary XSVF files are read into this one model and
// played by one player; a file is checked whole first, then its statements
// are read again, one at a time, as they are played, so that no file is held
// as statements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "lib/formats/svf/bits.hpp"
#include "lib/wire/jtag_sequence.hpp"
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

// The commands of both formats: SVF's, then XSVF's.
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
    trst,
    xcomplete,
    xtdomask,
    xsir,
    xsdr,
    xruntest,
    xrepeat,
    xsdrsize,
    xsdrtdo,
    xsetsdrmasks,
    xsdrinc,
    xsdrb,
    xsdrc,
    xsdre,
    xsdrtdob,
    xsdrtdoc,
    xsdrtdoe,
    xstate,
    xendir,
    xenddr,
    xsir2,
    xcomment,
    xwait
};
inline constexpr std::string_view COMMAND_NAMES[] = {
    "ENDDR",  "ENDIR", "FREQUENCY", "HDR",      "HIR",      "PIO",      "PIOMAP",       "RUNTEST",
    "SDR",    "SIR",   "STATE",     "TDR",      "TIR",      "TRST",     "XCOMPLETE",    "XTDOMASK",
    "XSIR",   "XSDR",  "XRUNTEST",  "XREPEAT",  "XSDRSIZE", "XSDRTDO",  "XSETSDRMASKS", "XSDRINC",
    "XSDRB",  "XSDRC", "XSDRE",     "XSDRTDOB", "XSDRTDOC", "XSDRTDOE", "XSTATE",       "XENDIR",
    "XENDDR", "XSIR2", "XCOMMENT",  "XWAIT"};
// SVF's commands come first.
inline constexpr std::size_t SVF_COMMANDS = static_cast<std::size_t>(Command::trst) + 1;
static_assert(std::size(COMMAND_NAMES) == static_cast<std::size_t>(Command::xwait) + 1);
[[nodiscard]] constexpr std::string_view name_of(Command c) noexcept
{
    return COMMAND_NAMES[static_cast<std::size_t>(c)];
}

struct Location {
    std::uint32_t line = 1;   // 1-based; 0 in a binary file
    std::uint32_t column = 1; // 1-based, in bytes

    friend bool operator==(const Location&, const Location&) = default;
};

// Where a statement lies in its file, for what is told about it.
struct Origin {
    Command command = Command::sdr;
    Location where;             // of the command word (SVF)
    std::uint64_t index = 0;    // statements before it
    std::size_t offset = 0;     // of its first byte
    std::size_t end_offset = 0; // just past its last byte (SVF: the ';')
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

// SIR, SDR; XSVF's IR and DR scans, which may end in Shift-DR, repeat a DR
// scan whose TDO differs, and wait in Run-Test/Idle after it.
struct Scan {
    Register reg = Register::dr;
    Pattern pattern;
    std::optional<TapState> end; // instead of the ENDIR/ENDDR state
    // Times the scan is repeated while its TDO differs, as XSVF's XREPEAT
    // asks: through Pause-DR when there is a wait, the wait a quarter longer
    // each time (XSVF's reference player).
    std::uint32_t repeat = 0;
    // Microseconds to wait in Run-Test/Idle after the scan (XSVF's XRUNTEST).
    std::uint32_t wait_us = 0;
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
    // The minimum time in whole microseconds (XSVF), counted exactly.
    std::optional<std::uint64_t> min_us;
    // False for a wait in a state that clocks would leave (XSVF's XWAIT may
    // name one): the time is waited on the host, with no clock.
    bool clocked = true;
};

enum class TrstMode : std::uint8_t { on, off, z, absent };

struct Trst {
    TrstMode mode = TrstMode::z;
};

// A command that only sets values for those after it (XSVF's XSDRSIZE,
// XTDOMASK, ...: the reader has applied them), or does nothing (XCOMMENT).
struct Setting {};

// Each statement of a file is one or more of these, in order, all with its
// origin.
struct Statement : Origin {
    using Variant = std::variant<Scan, Padding, EndState, Frequency, StateMove, RunTest, Trst, Setting>;
    Variant what;
};

// Asked between statements while a file is checked or played: true to stop.
using StopCheck = engine::StopCheck;

// Takes each statement as it is read; false to read no further.
using StatementSink = std::function<bool(const Statement&)>;

// A file that was checked whole: its statements again, one at a time.
class Program {
public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    Program(Program&&) = delete;
    Program& operator=(Program&&) = delete;
    virtual ~Program() = default;

    // Hands the statements over in order until `each` returns false; true
    // when it went to the end.
    virtual bool each(const StatementSink& each) const = 0;
    [[nodiscard]] std::uint64_t statements() const noexcept { return statements_; }
    [[nodiscard]] std::size_t bytes() const noexcept { return bytes_; } // the file's size
    // What the file's statements are called: "statement" (SVF), "command" (XSVF).
    [[nodiscard]] virtual std::string_view unit() const { return "statement"; }

protected:
    std::uint64_t statements_ = 0;
    std::size_t bytes_ = 0;
};

} // namespace orv::svf
