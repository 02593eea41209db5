#include "lib/devices/layout/flash_layout.hpp"

#include <algorithm>

#include "lib/hostfile/host_file.hpp"
#include "lib/wire/spi_nor.hpp"
#include "lib/wire/value_text.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev::layout {

namespace {

std::string region_text(const orv::layout::Region& r)
{
    return r.name + " (" + hex(r.start, 6) + ".." + hex(r.end, 6) + ")";
}

std::string range_text(std::uint64_t addr, std::uint64_t len)
{
    return hex(addr, 6) + ".." + hex(addr + len - 1, 6) + " (" + size_text(len) + ")";
}

// What of the region lies in [addr, addr + len); len 0 when nothing.
Range clipped(const orv::layout::Region& r, std::uint64_t addr, std::uint64_t len)
{
    const std::uint64_t from = std::max(r.start, addr);
    const std::uint64_t to = std::min(r.end + 1, addr + len);
    return from < to ? Range{from, to - from} : Range{from, 0};
}

std::uint64_t total_bytes(const std::vector<Range>& spans)
{
    std::uint64_t n = 0;
    for (const Range& s : spans) {
        n += s.len;
    }
    return n;
}

Covered covered(const FlashLayout& layout, const std::vector<Range>& spans, std::uint64_t addr,
                std::uint64_t len)
{
    return Covered{layout.regions_in(addr, len), static_cast<std::uint32_t>(spans.size()),
                   total_bytes(spans)};
}

// The whole blocks from the first span's to the last one's, as they are now,
// saved to `path` (replaced only once complete).
void save_backup(flash::Flash& flash, const std::vector<Range>& spans, const std::string& path)
{
    const std::uint64_t first = spans.front().addr;
    const std::uint64_t end = spans.back().addr + spans.back().len;
    const Range whole = flash::erase_aligned(flash.params(), first, end - first);
    Bytes old(whole.len);
    flash::read_range(flash, whole.addr, old);
    try {
        orv::hostfile::OutputFile out(path);
        out.write(old);
        out.commit();
    } catch (const orv::hostfile::FileError& e) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "cannot save the backup to " + path + ": " + e.what() + "; nothing written",
                      "choose a backup file in a writable directory");
    }
}

} // namespace

FlashLayout::FlashLayout(orv::layout::Layout layout)
    : layout_(std::move(layout)), included_(layout_.regions.size(), false)
{
}

void FlashLayout::include(std::string_view name)
{
    const auto found = layout_.find(name);
    if (!found) {
        std::string names;
        for (const auto& r : layout_.regions) {
            names += (names.empty() ? "" : ", ") + r.name;
        }
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no region " + std::string(name) + " in the layout " + layout_.file,
                      "the layout's regions are " + names);
    }
    if (!included_[*found]) {
        included_[*found] = true;
        ++included_count_;
    }
}

std::vector<Range> FlashLayout::spans(std::uint64_t addr, std::uint64_t len, std::uint64_t size) const
{
    if (included_count_ == 0) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, "no region of the layout " + layout_.file + " is chosen",
                      "name the regions to work on");
    }
    std::vector<Range> pieces;
    for (std::size_t i = 0; i < layout_.regions.size(); ++i) {
        if (!included_[i]) {
            continue;
        }
        const orv::layout::Region& r = layout_.regions[i];
        if (r.end >= size) {
            throw Failure(ORVDEV_ERROR_OUT_OF_RANGE,
                          layout_.file + ":" + std::to_string(r.line) + ": region " + region_text(r) +
                              " goes past the end of the " + size_text(size) + " flash",
                          "check that the layout is the one of this flash");
        }
        if (const Range piece = clipped(r, addr, len); piece.len != 0) {
            pieces.push_back(piece);
        }
    }
    if (pieces.empty()) {
        throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                      "none of the chosen regions lies in " + range_text(addr, len),
                      "check the layout's addresses against the address given");
    }
    return flash::merge_ranges(std::move(pieces));
}

std::uint32_t FlashLayout::regions_in(std::uint64_t addr, std::uint64_t len) const
{
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < layout_.regions.size(); ++i) {
        n += included_[i] && clipped(layout_.regions[i], addr, len).len != 0 ? 1 : 0;
    }
    return n;
}

void add_write_report(flash::WriteReport& total, const flash::WriteReport& part)
{
    if (total.len == 0 && total.range.len == 0) {
        total.addr = part.addr;
        total.range.addr = part.range.addr;
    }
    total.len += part.len;
    total.unchanged_bytes += part.unchanged_bytes;
    total.chip_erased = total.chip_erased || part.chip_erased;
    for (const flash::EraseCount& e : part.erased) {
        auto it = std::find_if(total.erased.begin(), total.erased.end(),
                               [&](const flash::EraseCount& t) { return t.size >= e.size; });
        if (it == total.erased.end() || it->size != e.size) {
            it = total.erased.insert(it, flash::EraseCount{e.size, 0});
        }
        it->count += e.count;
    }
    total.pages_programmed += part.pages_programmed;
    total.verify = part.verify;
    total.verified_bytes += part.verified_bytes;
    total.erases_planned += part.erases_planned;
    total.pages_planned += part.pages_planned;
    total.range.len = part.range.addr + part.range.len - total.range.addr;
}

Covered read(flash::Flash& flash, const FlashLayout& layout, std::uint64_t addr, std::span<std::uint8_t> out)
{
    const std::vector<Range> spans = layout.spans(addr, out.size(), flash.params().size);
    std::fill(out.begin(), out.end(), orv::nor::ERASED);
    for (const Range& s : spans) {
        flash::read_range(flash, s.addr, out.subspan(static_cast<std::size_t>(s.addr - addr), s.len));
    }
    return covered(layout, spans, addr, out.size());
}

Covered write(flash::Flash& flash, const FlashLayout& layout, std::uint64_t addr,
              std::span<const std::uint8_t> image, const flash::WriteOptions& options,
              flash::WriteReport& total)
{
    total = flash::WriteReport{};
    total.addr = addr;
    total.verify = options.verify;
    const std::vector<Range> spans = layout.spans(addr, image.size(), flash.params().size);
    if (!options.backup_file.empty()) {
        save_backup(flash, spans, options.backup_file);
    }
    flash::WriteOptions each = options;
    each.backup_file.clear();
    const std::uint64_t bytes = total_bytes(spans);
    for (const Range& s : spans) {
        flash::WriteReport part;
        try {
            flash::write_image(flash, s.addr, image.subspan(static_cast<std::size_t>(s.addr - addr), s.len),
                               each, part);
        } catch (Failure& failure) {
            if (total.len != 0) {
                failure.add_done({Done{"wrote", {{"bytes", total.len, bytes}}, spans.front().addr, s.addr}});
            }
            add_write_report(total, part);
            // The pieces before are written: what a recovery file holds goes
            // back at the blocks of this one.
            total.range = part.range;
            throw;
        }
        add_write_report(total, part);
    }
    return covered(layout, spans, addr, image.size());
}

Covered verify(flash::Flash& flash, const FlashLayout& layout, std::uint64_t addr,
               std::span<const std::uint8_t> image, std::optional<flash::Mismatch>& mismatch)
{
    const std::vector<Range> spans = layout.spans(addr, image.size(), flash.params().size);
    mismatch.reset();
    for (const Range& s : spans) {
        const auto m =
            flash::verify_image(flash, s.addr, image.subspan(static_cast<std::size_t>(s.addr - addr), s.len));
        if (m && mismatch) {
            mismatch->count += m->count;
        } else if (m) {
            mismatch = m;
        }
    }
    return covered(layout, spans, addr, image.size());
}

} // namespace orv::dev::layout
