// Planning a flash write from what the flash holds and what it should hold.
//
// NOR programming only clears bits, so a block needs an erase only where some
// bit must go from 0 to 1. Among the erase sizes the part offers (nested
// powers of two), the plan picks for every region the cheapest of: leaving it
// (programming the pages that change), erasing it whole (then programming the
// pages that are not all 0xFF), or planning its halves, quarters, ... on the
// next smaller size. Cheapest means least estimated time, then fewest bytes
// erased; a page program costs the part's typical program time. A range that
// covers the whole part may also take a chip erase. Nothing here talks to the
// flash.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "lib/devices/flash/flash_params.hpp"

namespace orv::dev::flash {

struct PlannedErase {
    std::uint64_t addr = 0;
    std::size_t type = 0; // index into FlashParams::erase_types
};

// One page program: `len` bytes at `addr`, taken from the wanted image at
// `offset` (addr - base). Never crosses a page boundary.
struct PlannedProgram {
    std::uint64_t addr = 0;
    std::size_t offset = 0;
    std::uint32_t len = 0;
};

struct WritePlan {
    bool chip_erase = false;
    std::vector<PlannedErase> erases;     // in address order
    std::vector<PlannedProgram> programs; // in address order, after the erases
    std::uint64_t estimated_us = 0;
    std::uint64_t erased_bytes = 0;
};

// The range a write of [addr, addr + len) touches: widened to whole blocks of
// the smallest erase size, since an erase there would take the neighbours
// along (they are then read first and programmed back).
struct Range {
    std::uint64_t addr = 0;
    std::uint64_t len = 0;
};
Range erase_aligned(const FlashParams& params, std::uint64_t addr, std::uint64_t len);

// `current` and `wanted` cover the same range at `base`; base and the length
// are multiples of the smallest erase size (erase_aligned). Needs at least one
// erase type.
WritePlan plan_write(const FlashParams& params, std::uint64_t base, std::span<const std::uint8_t> current,
                     std::span<const std::uint8_t> wanted);

// Erasing all of [base, base + len) (aligned as above), in the fewest and
// largest blocks that take the least time; a chip erase when the range is
// the whole part and that is quicker.
WritePlan plan_erase(const FlashParams& params, std::uint64_t base, std::uint64_t len);

// `ranges` in address order, those that overlap or touch merged into one.
std::vector<Range> merge_ranges(std::vector<Range> ranges);

// The ranges a plan changes (erased blocks and programmed pages), merged and
// in address order: what a verify reads back.
std::vector<Range> touched_ranges(const FlashParams& params, const WritePlan& plan);

} // namespace orv::dev::flash
