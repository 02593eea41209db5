// flashrom's layout files: named regions of a flash, one a line,
//
//     00000000:0000ffff bootloader
//     0x10000:0x1ffff   config      # settings
//
// START and END in hex (0x optional), END the region's last byte, as flashrom
// reads them. Beyond flashrom: blank lines, lines whose first word starts
// with '#', and a '#' comment after the name. Refused, with the line and
// column: any other form of line, a number that is not hex or lies past four
// address bytes, END before START, a name longer than flashrom's 255
// characters or with control characters in it, a name given twice, regions
// that overlap, a file without a region.
//
// A pure reader: text in, model out, nothing throws out of this API. Checks
// are linear in the file's size but for the overlap check (a sort).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orv::layout {

// The first address four address bytes do not reach.
inline constexpr std::uint64_t ADDRESS_LIMIT = std::uint64_t{1} << 32;
// flashrom reads names of up to 255 characters.
inline constexpr std::size_t MAX_NAME = 255;
// Files larger than this are refused before they are read.
inline constexpr std::size_t MAX_FILE_BYTES = std::size_t{16} << 20;

struct Region {
    std::string name;
    std::uint64_t start = 0;
    std::uint64_t end = 0; // the region's last byte
    unsigned line = 0;     // from 1
};

struct Layout {
    std::string file;
    std::vector<Region> regions; // in the file's order
    // The region of that name (names are compared as written).
    [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const;

    std::unordered_map<std::string, std::size_t> by_name;
};

struct Error {
    std::string file;
    unsigned line = 0;   // from 1; 0: the whole file
    unsigned column = 0; // from 1; 0 with line 0
    std::string reason;
    // "layout.txt:3:1: region config overlaps region boot (line 2)".
    [[nodiscard]] std::string message() const;
};

struct ParseResult {
    std::optional<Layout> layout;
    Error error; // when there is no layout
    [[nodiscard]] bool ok() const noexcept { return layout.has_value(); }
};

// Reads `text`; `file` names it in the model and the errors.
[[nodiscard]] ParseResult parse(std::string_view text, std::string file);

} // namespace orv::layout
