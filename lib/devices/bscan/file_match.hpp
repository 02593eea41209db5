// Which BSDL file describes each TAP of a scanned chain (the file whose
// IDCODE, with its don't-care bits masked, is the TAP's, and whose
// instruction length is the chain's); where the files come from (files,
// directories of them, ORV_BSDL_PATH); which TAP a command works on; and
// whether pin names fit the files, before anything is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/devices/bscan/netlist.hpp"
#include "lib/devices/chain/jtag_chain.hpp"
#include "lib/formats/bsdl/bsdl.hpp"

namespace orv::dev::bscan {

enum class MatchStatus : std::uint8_t {
    found,     // `file` describes the TAP
    none,      // no file has the TAP's IDCODE
    ir_length, // `file` has the IDCODE, but its instruction length contradicts the chain
    no_idcode  // the TAP came up in BYPASS: there is no IDCODE to match
};

struct Match {
    MatchStatus status = MatchStatus::none;
    std::optional<std::size_t> file; // index into the files given
};

// One match per TAP of `chain`. Of several files that fit, the first.
[[nodiscard]] std::vector<Match> match_files(const chain::Chain& chain,
                                             std::span<const bsdl::Device* const> files);

// ---- where the files come from ----------------------------------------------

// The environment variable that lists BSDL files and directories.
inline constexpr const char* BSDL_PATH_VARIABLE = "ORV_BSDL_PATH";

// ORV_BSDL_PATH's entries (separated by ':'), empty ones skipped.
[[nodiscard]] std::vector<std::string> path_variable_entries();

// The BSDL files of `sources`: a file, or a directory's *.bsd and *.bsdl
// files (any letter case) in name order. Throws BadInput: a source that does
// not exist, a directory without BSDL files or that cannot be read, a file
// refused.
[[nodiscard]] std::vector<BsdlFile> read_sources(std::span<const std::string> sources);

// ---- the TAP to work on -------------------------------------------------------

enum class ChoiceStatus : std::uint8_t { chosen, no_such, no_file, no_pins, none_fits, several };

struct TapChoice {
    ChoiceStatus status = ChoiceStatus::chosen;
    std::size_t tap = 0;                 // the TAP chosen, or the one asked for
    Match match;                         // of that TAP
    std::string why;                     // the same in words (unmatched_text); empty without a TAP
    std::vector<std::size_t> candidates; // several: those that fit
    // Unless chosen: the result code, and the message and hint in the user's terms.
    std::int32_t code = 0;
    std::string message;
    std::string hint;
};

// The TAP asked for; else the one whose file has the entity named; else the
// one whose file has pins with boundary cells, every pin named among them.
[[nodiscard]] TapChoice choose_tap(const chain::Chain& chain, std::span<const BsdlFile* const> files,
                                   std::optional<std::size_t> tap, std::optional<std::string_view> entity,
                                   std::span<const std::string> pins);

// How a TAP and the files fit, in a sentence ("no BSDL file has IDCODE
// 0x06439041", "described by FILE").
[[nodiscard]] std::string unmatched_text(const chain::Device& tap, const Match& match,
                                         std::span<const BsdlFile* const> files);

// ---- pin names ------------------------------------------------------------------

enum class PinProblem : std::uint8_t { fits, unknown, no_cells, input, two_state };

// A level a pin is asked to take (orvdev_pin_level), or none: only read.
enum class Wanted : std::uint8_t { read, drive, let_go };

struct PinCheck {
    PinProblem problem = PinProblem::fits;
    std::size_t pin = 0;             // the pin refused
    std::optional<std::size_t> file; // the file the problem concerns
    struct Near {
        const std::string* name = nullptr; // a pin name of the file
        std::size_t file = 0;
    };
    std::vector<Near> nearest; // unknown: up to 4 of each file with pins
    // Unless it fits: the result code, and the message and hint.
    std::int32_t code = 0;
    std::string message;
    std::string hint;
};

// Each pin must be a pin with boundary cells of one of the files that can do
// what is wanted of it there. The first pin that does not is refused.
[[nodiscard]] PinCheck check_pins(std::span<const BsdlFile* const> files, std::span<const std::string> pins,
                                  std::span<const Wanted> wanted);

} // namespace orv::dev::bscan
