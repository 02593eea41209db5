// What the device library knows of a SPI NOR part: its JEDEC ID, and the parameters it
// drives the part with (size, page size, erase commands and their times, fast
// read, how addresses past 16 MiB are sent). The parameters come from the
// part's SFDP table (sfdp.hpp), else from a small built-in table of common
// parts, else from the JEDEC capacity byte with the commands nearly every
// part has.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/wire/spi_nor.hpp"

namespace orv::dev::flash {

struct JedecId {
    // Manufacturer, memory type, capacity (after any continuation codes).
    std::array<std::uint8_t, orv::nor::JEDEC_ID_LENGTH> bytes{};
    // JEP106 bank of the manufacturer code: 1 + the 0x7F continuation codes
    // that came before it.
    unsigned bank = 1;

    std::uint8_t manufacturer() const { return bytes[0]; }
    // 2^capacity byte when it is a plausible size (256 bytes .. 4 GiB), else 0.
    std::uint64_t size_bytes() const;
    // The JEP106 name of the manufacturer code, or null when the code is not
    // listed (or fails its odd parity).
    const char* vendor() const;
    bool blank() const; // 00 00 00 or ff ff ff: nothing answered
};

// Builds a JedecId from what command 0x9F returned: leading continuation
// codes count the bank, the next three bytes are the id. Empty when nothing
// but continuation codes came.
std::optional<JedecId> parse_jedec_id(const std::uint8_t* bytes, std::size_t count);

// One erase command: the block it erases, its opcode with three address
// bytes and with four (0: none), and its typical and longest times.
struct EraseType {
    std::uint32_t size = 0;
    std::uint8_t opcode = 0;
    std::uint8_t opcode_4byte = 0;
    std::uint32_t typical_us = 0;
    std::uint32_t max_us = 0;
};

// How addresses past the third byte reach a part above 16 MiB.
enum class FourByteMode {
    none,             // three address bytes reach the whole part
    opcodes,          // 4-byte opcodes (0x13, 0x0C, 0x12, 0x21, ...): no mode to enter
    enter,            // 0xB7 enters 4-byte address mode, 0xE9 leaves it
    enter_after_wren, // write enable, then 0xB7
    always,           // the part always takes four address bytes
};

struct FlashParams {
    enum class Source { sfdp, part_table, capacity, override_given };
    Source source = Source::capacity;
    std::string part; // "Winbond W25Q32" when the built-in table knows the id
    std::uint64_t size = 0;
    std::uint32_t page_size = orv::nor::PAGE_SIZE;
    // Smallest first; each size is a multiple of the one before (powers of
    // two), and at least a page.
    std::vector<EraseType> erase_types;
    std::uint32_t page_program_us = 0;
    std::uint32_t page_program_max_us = 0;
    std::uint64_t chip_erase_us = 0;
    std::uint64_t chip_erase_max_us = 0;
    bool fast_read = true; // 0x0B with 8 dummy clocks
    FourByteMode four_byte = FourByteMode::none;
    std::uint8_t read_4byte = orv::nor::CMD_READ_4B;           // with FourByteMode::opcodes
    std::uint8_t fast_read_4byte = orv::nor::CMD_FAST_READ_4B; // with FourByteMode::opcodes
    std::uint8_t program_4byte = orv::nor::CMD_PAGE_PROGRAM_4B;
};

const char* source_name(FlashParams::Source source);
const char* four_byte_name(FourByteMode mode);

// Typical and longest times of common parts, for tables that give none.
inline constexpr std::uint32_t DEFAULT_PAGE_PROGRAM_US = 700;
inline constexpr std::uint32_t DEFAULT_PAGE_PROGRAM_MAX_US = 3000;
inline constexpr std::uint32_t STATUS_WRITE_US = 10000;
inline constexpr std::uint32_t STATUS_WRITE_MAX_US = 15000;
// An erase type of the usual sizes with data-sheet times of W25Q parts.
EraseType standard_erase_type(std::uint32_t size);
// Chip erase times that grow with the size (W25Q: about 10 s for 4 MiB).
std::uint64_t default_chip_erase_us(std::uint64_t size);

// The built-in table: common parts by their three id bytes.
std::optional<FlashParams> params_from_table(const JedecId& id);
// The last resort: the size 2^capacity, 4 KiB (0x20) and 64 KiB (0xD8)
// erases, the usual times. Empty when the capacity byte gives no size.
std::optional<FlashParams> params_from_capacity(const JedecId& id);
// The same for a size the caller gives (at least 64 KiB).
std::optional<FlashParams> params_for_size(std::uint64_t size);
// The built-in table's name for an id ("Winbond W25Q32"), or empty.
std::string part_name(const JedecId& id);
// The name the maker of a table part goes by today ("Winbond" for 0xEF, which
// JEP106 lists as NEXCOM), or null when the table has no part of its code.
const char* maker_name(const JedecId& id);
// The parameters of a table part named "W25Q32" or "Winbond W25Q32" (any
// letter case), with the source override_given; empty when none is called so.
std::optional<FlashParams> params_by_name(std::string_view name);
// The table's models ("W25Q32") by index; null past the end.
const char* table_part_name(std::size_t index);
// Gives the parameters another size: the chip erase times and the addressing
// follow it.
void resize(FlashParams& params, std::uint64_t size);

// Drops erase types that are not powers of two, smaller than a page, larger
// than the part, or duplicated; sorts the rest. Fills 4-byte opcodes of the
// usual commands where none is known.
void normalise(FlashParams& params);

} // namespace orv::dev::flash
