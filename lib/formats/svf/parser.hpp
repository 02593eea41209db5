// The SVF parser: the text into statements, handed over one at a time as
// they are read, or a ParseError naming the line and column of the first
// fault. Everything that can be checked without
// an adapter is checked here, so that a program that parses can be played to
// its end unless the adapter or a TDO check stops it:
//   - statement syntax, hex values, lengths (a set bit at or above a value's
//     length is an error; fewer digits are zero-extended);
//   - the carry-over of TDI, MASK and SMASK per command (SIR, SDR, HIR, HDR,
//     TIR, TDR) while its length stays the same; a changed length resets MASK
//     and SMASK to all ones and needs TDI (except for length 0); TDO never
//     carries over;
//   - stable states where SVF wants them, explicit STATE paths one clock per
//     step from the state the statements before leave the TAP in;
//   - RUNTEST's sticky run state (IDLE at first; a given run state is also the
//     end state unless ENDSTATE is given) and end state;
//   - TRST after TRST ABSENT; PIO and PIOMAP, which this adapter cannot do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/formats/svf/parse_error.hpp"
#include "lib/formats/svf/program.hpp"

namespace orv::svf {

// The longest scan pattern accepted (each of header, body and trailer).
inline constexpr std::uint32_t MAX_PATTERN_BITS = std::uint32_t{1} << 30;

// The largest RUNTEST count and time accepted.
inline constexpr std::uint64_t MAX_RUN_COUNT = 0xFFFFFFFFU;
inline constexpr double MAX_RUN_SECONDS = 86400;

// Reads `text`, handing each statement to `each` as it is read, until the
// end or until `each` returns false. Throws ParseError at the first fault
// (the statements before it have been handed over), Stopped when `stop` says
// so (asked between statements). Holds nothing but the values that carry
// over and the statement being read.
void parse(std::string_view text, const StatementSink& each, const StopCheck& stop = {});

// Checks the whole text (ParseError, Stopped as parse()) and keeps it, to
// read its statements again as they are played. `also` sees each statement
// of the check (to tally the time playing takes, say).
[[nodiscard]] std::unique_ptr<Program> load(std::vector<std::uint8_t> text, const StopCheck& stop = {},
                                            const StatementSink& also = {});
[[nodiscard]] std::unique_ptr<Program> load(std::string_view text, const StopCheck& stop = {},
                                            const StatementSink& also = {});

} // namespace orv::svf
