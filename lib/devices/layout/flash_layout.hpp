// flashrom's layouts over a flash: a layout file's regions, the ones chosen
// (flashrom's --include), and the flash's read, smart write and verify run
// on the bytes of those regions alone, with what they covered in the report.
// A write saves one backup of everything it claims, and its report adds up
// the writes of its pieces.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "lib/devices/flash/flash_write.hpp"
#include "lib/devices/flash/write_plan.hpp"
#include "lib/formats/layout/layout.hpp"

namespace orv::dev::layout {

using orv::dev::flash::Range;

// A layout read, and which of its regions are chosen.
class FlashLayout {
public:
    explicit FlashLayout(orv::layout::Layout layout);

    [[nodiscard]] const orv::layout::Layout& layout() const noexcept { return layout_; }
    [[nodiscard]] bool included(std::size_t region) const noexcept { return included_.at(region); }

    // Chooses the region of that name; throws Failure
    // (ORVDEV_ERROR_INVALID_ARGUMENT) naming the regions the layout has.
    void include(std::string_view name);

    // What the chosen regions cover of [addr, addr + len), merged, in
    // address order. Throws Failure: none chosen (INVALID_ARGUMENT), a chosen
    // region past the end of a flash of `size` bytes (OUT_OF_RANGE, with its
    // line), none of them in the range (INVALID_ARGUMENT).
    [[nodiscard]] std::vector<Range> spans(std::uint64_t addr, std::uint64_t len, std::uint64_t size) const;
    // The chosen regions with bytes in [addr, addr + len).
    [[nodiscard]] std::uint32_t regions_in(std::uint64_t addr, std::uint64_t len) const;

private:
    orv::layout::Layout layout_;
    std::vector<bool> included_;
    std::size_t included_count_ = 0;
};

// What an operation over a layout covered.
struct Covered {
    std::uint32_t regions = 0; // chosen regions with bytes in the range
    std::uint32_t spans = 0;   // contiguous pieces, once merged
    std::uint64_t bytes = 0;   // read, written or compared
};

// Reads the chosen regions' bytes of [addr, addr + out.size()) into `out`;
// the rest of `out` reads as erased flash (0xFF), as flashrom leaves it.
Covered read(flash::Flash& flash, const FlashLayout& layout, std::uint64_t addr, std::span<std::uint8_t> out);

// The smart write of `image` at addr, on the chosen regions' bytes alone:
// one write per piece; a backup (options.backup_file) taken once, before
// anything is erased, of the whole blocks from the first piece's to the last
// one's. `total` adds up the pieces' reports as they go (len: the bytes
// written; range: the blocks from the first piece's to the last one's), on
// failure too, where range is the failing piece's blocks (those a recovery
// file holds).
Covered write(flash::Flash& flash, const FlashLayout& layout, std::uint64_t addr,
              std::span<const std::uint8_t> image, const flash::WriteOptions& options,
              flash::WriteReport& total);

// Compares the chosen regions' bytes of [addr, addr + image.size()) with the
// image; the first difference and how many bytes differ in all of them.
Covered verify(flash::Flash& flash, const FlashLayout& layout, std::uint64_t addr,
               std::span<const std::uint8_t> image, std::optional<flash::Mismatch>& mismatch);

// Adds a piece's write report to the whole write's.
void add_write_report(flash::WriteReport& total, const flash::WriteReport& part);

} // namespace orv::dev::layout
