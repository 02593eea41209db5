// Which BSDL file describes each TAP of a scanned chain: the file whose
// IDCODE, with its don't-care bits masked, is the TAP's, and whose
// instruction length is the chain's.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

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

} // namespace orv::dev::bscan
