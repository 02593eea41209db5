// SPI NOR flash commands: JEDEC id, read, program with verify, erase.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "context.hpp"
#include "format.hpp"

namespace orvtool::spi {

// Flash command bytes (the common 25-series set).
inline constexpr std::uint8_t CMD_READ_ID = 0x9F;
inline constexpr std::uint8_t CMD_READ = 0x03;
inline constexpr std::uint8_t CMD_READ_STATUS = 0x05;
inline constexpr std::uint8_t CMD_WRITE_ENABLE = 0x06;
inline constexpr std::uint8_t CMD_PAGE_PROGRAM = 0x02;
inline constexpr std::uint8_t CMD_SECTOR_ERASE = 0x20;
inline constexpr std::uint8_t CMD_CHIP_ERASE = 0xC7;
inline constexpr std::uint8_t STATUS_BUSY = 0x01; // write in progress
inline constexpr std::uint8_t STATUS_WEL = 0x02;  // write enable latch

inline constexpr std::uint32_t PAGE_SIZE = 256;
inline constexpr std::uint32_t SECTOR_SIZE = 4096;
inline constexpr std::uint32_t READ_CHUNK = 512;           // the library's limit for one reading transaction
inline constexpr std::uint64_t ADDRESS_SPACE = 1ull << 24; // three address bytes

struct Options {
    std::uint32_t clock_khz = 6000;
};

struct JedecId {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t manufacturer() const { return bytes[0]; }
    // 2^capacity byte when it is a plausible size (256 bytes .. 4 GiB), else 0.
    std::uint64_t size_bytes() const;
    const char* vendor() const; // null when unknown
    bool blank() const;         // 00 00 00 or ff ff ff: nothing answered
};

// "4 MiB", "512 KiB", "256 bytes".
std::string size_text(std::uint64_t bytes);

// Page program pieces: [addr, addr+len) cut at page boundaries.
struct Piece {
    std::uint32_t addr;
    std::uint32_t offset; // into the data
    std::uint32_t len;
};
std::vector<Piece> split_pages(std::uint32_t addr, std::uint32_t len);

void cmd_id(const Context& ctx, const Options& options);
void cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
              const std::string& out_file);
void cmd_write(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file,
               bool verify);
// sector_count sectors from addr (4 KiB aligned), or the whole chip.
void cmd_erase(const Context& ctx, const Options& options, std::optional<std::uint64_t> sector_addr,
               std::uint64_t sector_count, bool chip);

} // namespace orvtool::spi
