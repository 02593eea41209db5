// Fuzz target: flashrom's layout files as the device library reads them.
//
// Beyond memory errors, undefined behaviour and time, it checks what must
// hold for any input:
//   - a refusal names the line and column (from 1) of a line, or the whole
//     file (line 0, no region in it), and says why;
//   - a layout that is read has regions, each within four address bytes with
//     its end not before its start, on increasing lines, names unique and
//     found again by name, no two regions overlapping;
//   - the chosen regions' spans over any range are sorted, apart, within the
//     range and the flash, and cover exactly the chosen regions' bytes there.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lib/devices/layout/flash_layout.hpp"
#include "lib/devices/session/failure.hpp"
#include "lib/formats/layout/layout.hpp"

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void check_spans(const orv::dev::layout::FlashLayout& l, std::uint64_t addr, std::uint64_t len)
{
    constexpr std::uint64_t FLASH = std::uint64_t{1} << 32;
    std::vector<orv::dev::flash::Range> spans;
    try {
        spans = l.spans(addr, len, FLASH);
    } catch (const orv::dev::Failure&) {
        return;
    }
    std::uint64_t covered = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        require(spans[i].len != 0 && spans[i].addr >= addr && spans[i].addr + spans[i].len <= addr + len);
        require(i == 0 || spans[i].addr > spans[i - 1].addr + spans[i - 1].len);
        covered += spans[i].len;
    }
    std::uint64_t chosen = 0;
    for (std::size_t r = 0; r < l.layout().regions.size(); ++r) {
        const auto& region = l.layout().regions[r];
        if (l.included(r)) {
            const std::uint64_t from = std::max(region.start, addr);
            const std::uint64_t to = std::min(region.end + 1, addr + len);
            chosen += from < to ? to - from : 0;
        }
    }
    require(covered == chosen); // regions do not overlap, so none is counted twice
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    orv::layout::ParseResult r = orv::layout::parse(text, "fuzz.layout");
    if (!r.ok()) {
        require(!r.error.reason.empty());
        require((r.error.line == 0) == (r.error.column == 0));
        return 0;
    }
    const auto& regions = r.layout->regions;
    require(!regions.empty());
    std::set<std::string> names;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const auto& region = regions[i];
        require(region.start <= region.end && region.end < orv::layout::ADDRESS_LIMIT);
        require(i == 0 || region.line > regions[i - 1].line);
        require(names.insert(region.name).second && r.layout->find(region.name) == i);
        require(!region.name.empty() && region.name.size() <= orv::layout::MAX_NAME);
    }
    std::vector<std::size_t> order(regions.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return regions[a].start < regions[b].start; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        require(regions[order[k]].start > regions[order[k - 1]].end);
    }
    // Every other region chosen, then the spans of a few ranges.
    orv::dev::layout::FlashLayout l(std::move(*r.layout));
    for (std::size_t i = 0; i < l.layout().regions.size(); i += 2) {
        l.include(l.layout().regions[i].name);
    }
    const std::uint64_t first = l.layout().regions.front().start;
    check_spans(l, 0, std::uint64_t{1} << 32);
    check_spans(l, first, 1);
    check_spans(l, first / 2, first + 4096);
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}
