// The flash operations that change the part, built on the driver (spi_flash)
// and the planner (write_plan): the smart write (read, compare, erase only
// where a bit must rise, program only the pages that change, verify what was
// touched), verify against an image, erase with a read-back check, and
// lifting the block protection. Each checks the protection bits before it
// changes anything. Failures throw Failure, saying how far the operation got;
// nothing here prints. Progress goes to the session's callback, in stages.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lib/devices/flash/flash_status.hpp"
#include "lib/devices/flash/spi_flash.hpp"
#include "lib/devices/flash/write_plan.hpp"

namespace orv::dev::flash {

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
    // The whole blocks the write reads first and may erase.
    Range range;
};

struct WriteOptions {
    bool verify = true;
    // Where to save the old content of `range` before anything is erased
    // (empty: nowhere).
    std::string backup_file;
    // Where to save what a failed write could not put back (empty: the
    // working directory; then the home and the temporary directory).
    std::string recovery_dir;
};

// Writes `image` at addr so that the flash holds it, and keeps what it held
// around it: when a step fails after an erase (counted from the moment its
// command is sent), the bytes of the erased blocks outside
// [addr, addr + image.size()) are programmed back once and read back; when
// any is not found as it was, the blocks' old content goes to a new recovery
// file named in the failure. `report` is filled as the write goes, on
// failure too.
void write_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image,
                 const WriteOptions& options, WriteReport& report);

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
std::optional<Mismatch> verify_image(Flash& flash, std::uint64_t addr, std::span<const std::uint8_t> image);

struct EraseReport {
    bool chip_erased = false;
    std::vector<EraseCount> erased;
    std::uint64_t checked_bytes = 0; // read back as 0xFF
};
// Erases [addr, addr + len) (aligned to the smallest erase size), or the
// whole chip with its chip erase command, then reads the range back and
// checks that it is all 0xFF.
EraseReport erase_range(Flash& flash, std::uint64_t addr, std::uint64_t len, bool chip);

struct UnprotectReport {
    std::uint8_t before = 0;
    std::uint8_t after = 0;
    bool changed = false; // false: nothing was protected
};
// Clears BP, TB, SEC and SRP in status register 1.
UnprotectReport unprotect(Flash& flash);

// Protects exactly [addr, addr + len) (len 0: nothing) with the BP, TB, SEC
// and CMP bits, keeping the other status bits; throws
// Failure(ORVDEV_ERROR_INVALID_ARGUMENT) naming the ranges the part can
// protect when it cannot protect that one. CMP is used only on parts with a
// status register 2.
struct ProtectReport {
    std::uint8_t status1_before = 0;
    std::uint8_t status1_after = 0;
    bool cmp = false;
};
ProtectReport protect(Flash& flash, std::uint64_t addr, std::uint64_t len);

// The ranges `protect` can set on this part.
std::vector<ProtectionSetting> protectable(Flash& flash);

// Throws when [addr, addr + len) overlaps the range the status register
// protects, before anything is changed.
void check_not_protected(Flash& flash, std::uint64_t addr, std::uint64_t len);

// Reads [addr, addr + out.size()) in the stage "read"; a failure says how
// far it got.
void read_range(Flash& flash, std::uint64_t addr, std::span<std::uint8_t> out);

} // namespace orv::dev::flash
