#include "front/orvtool/layout.hpp"

#include <algorithm>
#include <sstream>

#include "lib/wire/number_text.hpp"

#include "front/orvtool/errors.hpp"

namespace orvtool {

namespace {

std::optional<std::uint64_t> hex_number(std::string text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.erase(0, 2);
    }
    return text.empty() ? std::nullopt : orv::parse_unsigned("0x" + text);
}

} // namespace

std::vector<Region> parse_layout(const std::string& text, const std::string& file)
{
    std::vector<Region> regions;
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        const auto where = [&] { return file + ":" + std::to_string(number) + ": "; };
        std::istringstream words(line);
        std::string range, name, extra;
        if (!(words >> range) || range[0] == '#') {
            continue;
        }
        const auto colon = range.find(':');
        if (colon == std::string::npos || !(words >> name) || (words >> extra && extra[0] != '#')) {
            usage_error(where() + "expected START:END NAME, got '" + line + "'",
                        "a layout line is flashrom's: 00000000:0000ffff bootloader (hex, END the last byte)");
        }
        const auto start = hex_number(range.substr(0, colon));
        const auto end = hex_number(range.substr(colon + 1));
        if (!start || !end) {
            usage_error(where() + "'" + range + "' is not two hex numbers START:END");
        }
        if (*end < *start) {
            usage_error(where() + "region " + name + " ends before it starts");
        }
        if (std::any_of(regions.begin(), regions.end(), [&](const Region& r) { return r.name == name; })) {
            usage_error(where() + "region " + name + " is named twice");
        }
        regions.push_back(Region{name, *start, *end});
    }
    if (regions.empty()) {
        usage_error(file + ": no region in the layout");
    }
    return regions;
}

std::vector<Region> included_regions(const std::vector<Region>& layout,
                                     const std::vector<std::string>& include)
{
    for (const std::string& name : include) {
        if (std::none_of(layout.begin(), layout.end(), [&](const Region& r) { return r.name == name; })) {
            std::string names;
            for (const Region& r : layout) {
                names += (names.empty() ? "" : ", ") + r.name;
            }
            usage_error("no region " + name + " in the layout", "the layout's regions are " + names);
        }
    }
    std::vector<Region> chosen;
    for (const Region& r : layout) {
        if (std::find(include.begin(), include.end(), r.name) != include.end()) {
            chosen.push_back(r);
        }
    }
    return chosen;
}

std::vector<Span> covered(const std::vector<Region>& regions, std::uint64_t addr, std::uint64_t len)
{
    std::vector<Span> spans;
    for (const Region& r : regions) {
        const std::uint64_t from = std::max(r.start, addr);
        const std::uint64_t to = std::min(r.end + 1, addr + len);
        if (from < to) {
            spans.push_back(Span{from, to - from});
        }
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.addr < b.addr; });
    std::vector<Span> merged;
    for (const Span& s : spans) {
        if (!merged.empty() && s.addr <= merged.back().addr + merged.back().len) {
            Span& m = merged.back();
            m.len = std::max(m.addr + m.len, s.addr + s.len) - m.addr;
        } else {
            merged.push_back(s);
        }
    }
    return merged;
}

} // namespace orvtool
