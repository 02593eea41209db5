// The spi commands: JEDEC id, read, program with verify, erase; their command
// line and their results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "context.hpp"
#include "result.hpp"
#include "spi_flash.hpp"

namespace orvtool::spi {

struct Options {
    std::uint32_t clock_khz = 6000;
};

// "4 MiB", "512 KiB", "256 bytes".
std::string size_text(std::uint64_t bytes);

Result cmd_id(const Context& ctx, const Options& options);
// Into out_file when given, else as a hex dump.
Result cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
                const std::string& out_file);
Result cmd_write(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file,
                 bool verify);
// sector_count sectors from sector_addr (4 KiB aligned), or the whole chip.
Result cmd_erase(const Context& ctx, const Options& options, std::optional<std::uint64_t> sector_addr,
                 std::uint64_t sector_count, bool chip);

} // namespace orvtool::spi
