// The i2c commands: bus scan, register reads and writes, 256-byte dumps;
// their command line and their results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "format.hpp"
#include "result.hpp"

namespace orvtool::i2c {

inline constexpr unsigned FIRST_PROBE = 0x08; // 0x00-0x07 and 0x78-0x7F are reserved addresses
inline constexpr unsigned LAST_PROBE = 0x77;
inline constexpr unsigned MAX_READ = 65536; // longer reads than one transaction are split

struct Options {
    std::uint32_t clock_khz = 400;
    bool ten_bit = false;
};

// Result of probing each address: found or not; out-of-range addresses are
// left blank in the grid.
struct ProbeMap {
    unsigned first = FIRST_PROBE;
    unsigned last = LAST_PROBE;
    std::vector<bool> present; // indexed by address - first
};

// The i2cdetect-style grid: a header row, then one row per 16 addresses,
// "50" for a device that answered, "--" for none, blanks outside the range.
// Each line ends in a newline.
std::string grid_text(const ProbeMap& map);

// Parses a 7- or 10-bit address argument, throwing a usage error.
std::uint32_t address_arg(const std::string& text, bool ten_bit);

Result cmd_detect(const Context& ctx, const Options& options);
Result cmd_read(const Context& ctx, const Options& options, std::uint32_t addr,
                std::optional<std::uint8_t> reg, std::uint32_t len);
Result cmd_write(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes);
Result cmd_dump(const Context& ctx, const Options& options, std::uint32_t addr);

} // namespace orvtool::i2c
