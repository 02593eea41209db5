// The boundary-scan keys of a board file (see README.md, "Board files"): a
// jtag entry with "bsdl", whose TAP the BSDL file describes, and the
// board's "nets", "pulls", "fixed" and "faults" between the pins of those
// TAPs. Checked like every key: a refusal names the file, the JSON path and
// what was expected there.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/emulator/board.hpp"

namespace orv::emu {

// The board file being read: its name in messages and the directory its
// relative paths start from.
struct BoardFileSource {
    std::string file;
    std::filesystem::path directory;
};

// A jtag entry with "bsdl" (`where` is its JSON path, "jtag[1]"). Throws
// BoardFileError.
[[nodiscard]] TapConfig read_bsdl_tap(const nlohmann::json& entry, const std::string& where,
                                      std::size_t index, const BoardFileSource& source);

// The board's nets, pulls, fixed levels and faults, on the TAPs read before.
// Throws BoardFileError.
[[nodiscard]] NetworkConfig read_network(const nlohmann::json& doc, const std::vector<TapConfig>& taps,
                                         const BoardFileSource& source);

// A device's "connect" ({"cs": "U1.PA4", ...}: exactly the `roles`, each a
// pin TAP.PORT): per role, the index of the net its pin is on; a pin on no
// net gets a net of its own, named by the pin. `where` is its JSON path.
// Throws BoardFileError.
[[nodiscard]] std::vector<std::size_t> read_connect(const nlohmann::json& connect, const std::string& where,
                                                    const std::vector<std::string>& roles,
                                                    const std::vector<TapConfig>& taps,
                                                    NetworkConfig& network, const BoardFileSource& source);

} // namespace orv::emu
