// Board files: a board described in JSON (see README.md, "Board files"),
// checked whole before anything is built from it.
//
//   {"jtag": [{"idcode": "0x4ba00477", "ir_length": 4, ...}, {"ir_length": 8}],
//    "spi_flash": {"jedec_id": "ef4018", "size": 16777216, ...},
//    "i2c": [{"address": "0x50", "type": "eeprom", "size": 4096, ...}]}
//
// Numbers are JSON integers or strings ("0x50", "80", "0b1010"). Image paths
// are relative to the board file's directory, and stay in it (or below it)
// unless the options allow any. A board file is at most MAX_BOARD_FILE_BYTES
// long and nests at most MAX_BOARD_FILE_DEPTH deep; a key comes once in its
// object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/emulator/board.hpp"

namespace orv::emu {

// A board file that cannot be used: the file, where in it (a JSON path such
// as "i2c[1].address", or "line 3, column 7" for text that is not JSON) and
// what was expected there. what() is "FILE: WHERE: EXPECTED".
class BoardFileError : public std::runtime_error {
public:
    BoardFileError(std::string file, std::string where, std::string expected);
    [[nodiscard]] const std::string& file() const noexcept { return file_; }
    [[nodiscard]] const std::string& where() const noexcept { return where_; }
    [[nodiscard]] const std::string& expected() const noexcept { return expected_; }

private:
    std::string file_, where_, expected_;
};

// Far more than any board needs (a few levels, some KiB), far less than would
// exhaust the reader.
inline constexpr std::uint64_t MAX_BOARD_FILE_BYTES = std::uint64_t{4} << 20;
inline constexpr std::size_t MAX_BOARD_FILE_DEPTH = 64;

struct BoardFileOptions {
    // Images anywhere, not only in the board file's directory and below it.
    // The user's decision, never the file's: a board file from elsewhere
    // could otherwise load any file of the user's into a memory, or, with
    // persist, write over one.
    bool images_anywhere = false;
    // Told what is odd but allowed ("FILE: WHERE: what"): a flash size that
    // its JEDEC ID's capacity byte contradicts.
    std::function<void(const std::string&)> warn;
};

// Reads and checks a board file. Throws BoardFileError.
[[nodiscard]] BoardConfig load_board_file(const std::filesystem::path& path,
                                          const BoardFileOptions& options = {});
// Checks the JSON text of a board file; `path` names it in messages, and its
// directory anchors relative image paths. Throws BoardFileError.
[[nodiscard]] BoardConfig parse_board(std::string_view json, const std::filesystem::path& path,
                                      const BoardFileOptions& options = {});

// Where boards named without a path are looked up: share/orv/boards of the
// installation the running program belongs to; for a program run from the
// build tree, which has none, the source tree's sim/boards. When
// neither is there, the installed place (empty if the running program cannot
// be found), for messages.
[[nodiscard]] std::filesystem::path board_directory();
// A --board argument: a file that exists, else a board of board_directory()
// by name ("default" or "default.json").
[[nodiscard]] std::optional<std::filesystem::path> find_board(std::string_view name);
// "board: FILE": the board file a --board argument names (empty: the
// default board), for the header of a trace.
[[nodiscard]] std::string board_comment(std::string_view name);
// The names of the boards in `directory` ("default" for default.json),
// sorted; none when it cannot be read.
[[nodiscard]] std::vector<std::string> board_names(const std::filesystem::path& directory);
// The board a --board argument names, read and checked; an empty name is the
// default board: default.json of board_directory(), else
// default_board_config() (the same board). Throws BoardFileError.
[[nodiscard]] BoardConfig load_board(std::string_view name, const BoardFileOptions& options = {});

} // namespace orv::emu
