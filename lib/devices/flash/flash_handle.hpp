// What an orvdev_flash handle is, for the C functions that take one: the
// flash's own (flash_api.cpp) and those of the layouts over it.
#pragma once

#include <cstdint>

#include "lib/devices/flash/flash_write.hpp"
#include "lib/devices/flash/spi_flash.hpp"
#include "orv_devices.h"

struct orvdev_flash {
    orv::dev::flash::Flash flash;
};

namespace orv::dev::flash {

// Refuses [addr, addr + len) past the end of the part before anything is sent.
void check_range(const Flash& flash, std::uint64_t addr, std::uint64_t len);

// The caller's write options (NULL: the defaults), and a write's report for
// the caller (NULL: nowhere).
[[nodiscard]] WriteOptions write_options_from_c(const orvdev_write_options* options);
void write_report_to_c(const WriteReport& r, orvdev_write_report* out);

// Throws Failure(ORVDEV_ERROR_MISMATCH) for a verify's first difference,
// filling the caller's orvdev_mismatch when given.
[[noreturn]] void throw_mismatch(const Mismatch& m, orvdev_mismatch* mismatch);

} // namespace orv::dev::flash
