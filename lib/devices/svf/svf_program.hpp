// A vector file as the C functions hold it: the program read from it, what
// it holds, and the failed check of its last play.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "lib/formats/svf/player.hpp"
#include "lib/formats/svf/program.hpp"

#include "lib/devices/session/jtag_port.hpp"
#include "orv_devices.h"

namespace orv::dev {

// The bytes of a failed scan's three parts, kept for the caller to read.
struct KeptMismatch {
    svf::Mismatch mismatch;
    std::uint64_t statements_played = 0;
    std::uint64_t checks_passed = 0;
    std::vector<std::uint8_t> bytes; // expected, actual, mask of header, body, trailer
};

// Plays `program` on the port's lease: the player's set-up and clock changes
// become the port's, its OUT transfers and read-back exchanges go out on the
// session's handle. A failure on the wire empties the read-back.
[[nodiscard]] svf::PlayResult play_on_port(const svf::Program& program, JtagPort& port,
                                           const svf::PlayerOptions& options,
                                           const svf::PlayProgress& progress, const svf::StopCheck& stop);

} // namespace orv::dev

struct orvdev_svf {
    std::unique_ptr<orv::svf::Program> program;
    orvdev_svf_info info{};
    std::optional<orv::dev::KeptMismatch> mismatch;
};
