// flashrom's layout files: named regions of a flash, one a line,
// "START:END NAME" with START and END in hex (0x optional) and END the last
// byte of the region; blank lines and lines starting with # are skipped. With
// --include, the spi commands work on the bytes of the named regions only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvtool {

struct Region {
    std::string name;
    std::uint64_t start = 0;
    std::uint64_t end = 0; // the last byte
};

// Parses a layout file's text; throws a usage error naming the file, the
// line and what is wrong (a bad number, END before START, a name given twice).
std::vector<Region> parse_layout(const std::string& text, const std::string& file);

// The regions named in `include` (in their file's order), or a usage error
// for a name the layout lacks, listing the names it has.
std::vector<Region> included_regions(const std::vector<Region>& layout,
                                     const std::vector<std::string>& include);

// What of [addr, addr + len) the regions cover: sorted, overlaps merged.
struct Span {
    std::uint64_t addr = 0;
    std::uint64_t len = 0;
};
std::vector<Span> covered(const std::vector<Region>& regions, std::uint64_t addr, std::uint64_t len);

} // namespace orvtool
