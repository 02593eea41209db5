// The flash operations that change the part, built on the driver (spi_flash)
// and the planner (write_plan): the smart write (read, compare, erase only
// where a bit must rise, program only the pages that change, verify what was
// touched), verify against an image, erase with a read-back check, and
// lifting the block protection. Each checks the protection bits before it
// changes anything. Failures throw ToolError, saying how far the operation
// got; nothing here prints.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash_status.hpp"
#include "spi_flash.hpp"
#include "write_plan.hpp"

namespace orvtool::spi {

// Progress in stages ("read", "erase", "write", "verify"): starting a stage
// of `total` units (bytes when `bytes`, else blocks) returns the callback
// that is told how many are done.
using Stages = std::function<Progressed(const std::string& stage, std::uint64_t total, bool bytes)>;

// Erased blocks of one size.
struct EraseCount {
    std::uint32_t size = 0;
    std::uint64_t count = 0;
};

// What a write did, or had done when it stopped.
struct WriteReport {
    std::uint64_t addr = 0;
    std::uint64_t len = 0;
    std::uint64_t unchanged_bytes = 0; // of [addr, addr + len), already as wanted
    bool chip_erased = false;
    std::vector<EraseCount> erased; // sizes with at least one block, smallest first
    std::uint64_t pages_programmed = 0;
    bool verify = false;              // a read-back was asked for
    std::uint64_t verified_bytes = 0; // read back and found as written
    // The plan, for a report of how far a failed write got.
    std::uint64_t erases_planned = 0;
    std::uint64_t pages_planned = 0;
};

// Writes `image` at addr so that the flash holds it (and keeps what it held
// around it); `verify` reads back every byte erased or programmed.
WriteReport write_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image, bool verify,
                        const Stages& stages);

struct Mismatch {
    std::uint64_t addr = 0; // the first differing byte
    std::uint8_t expected = 0;
    std::uint8_t found = 0;
    std::uint64_t count = 0; // differing bytes in all
};
// The first difference between what was expected at addr and what was found.
std::optional<Mismatch> compare(std::uint64_t addr, std::span<const std::uint8_t> expected,
                                std::span<const std::uint8_t> found);

// Reads [addr, addr + image.size()) and compares it with the image.
std::optional<Mismatch> verify_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image,
                                     const Stages& stages);

struct EraseReport {
    bool chip_erased = false;
    std::vector<EraseCount> erased;
    std::uint64_t checked_bytes = 0; // read back as 0xFF
};
// Erases [addr, addr + len) (aligned to the smallest erase size), or the
// whole chip with its chip erase command, then reads the range back and
// checks that it is all 0xFF.
EraseReport erase_range(Flash& flash, std::uint64_t addr, std::uint64_t len, bool chip, const Stages& stages);

struct UnprotectReport {
    std::uint8_t before = 0;
    std::uint8_t after = 0;
    bool changed = false; // false: nothing was protected
};
// Clears BP, TB, SEC and SRP in status register 1.
UnprotectReport unprotect(Flash& flash);

// Throws when [addr, addr + len) overlaps the range the status register
// protects, before anything is changed.
void check_not_protected(Flash& flash, std::uint64_t addr, std::uint64_t len);

// "1 block of 4 KiB, 2 of 64 KiB"; "no block" when empty.
std::string erased_text(const std::vector<EraseCount>& erased);

} // namespace orvtool::spi
