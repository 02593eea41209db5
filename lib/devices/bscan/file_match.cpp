#include "lib/devices/bscan/file_match.hpp"

namespace orv::dev::bscan {

std::vector<Match> match_files(const chain::Chain& chain, std::span<const bsdl::Device* const> files)
{
    std::vector<Match> matches;
    for (const chain::Device& tap : chain.devices) {
        Match m;
        if (!tap.idcode) {
            m.status = MatchStatus::no_idcode;
            matches.push_back(m);
            continue;
        }
        for (std::size_t f = 0; f < files.size(); ++f) {
            const bsdl::Device& file = *files[f];
            if (!file.idcode || !file.idcode->matches(tap.idcode->raw)) {
                continue;
            }
            if (!tap.ir_length || *tap.ir_length == file.instruction_length) {
                m = Match{MatchStatus::found, f};
                break;
            }
            if (!m.file) {
                m = Match{MatchStatus::ir_length, f};
            }
        }
        matches.push_back(m);
    }
    return matches;
}

} // namespace orv::dev::bscan
