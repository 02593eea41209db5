// The Serial Flash Discoverable Parameters (JESD216) a SPI NOR part returns
// for command 0x5A: a header with the "SFDP" signature and a list of
// parameter headers, each pointing at a table. Two tables are read: the basic
// flash parameter table (size, page size, erase types and times, address
// bytes, how to enter 4-byte addressing) and the 4-byte address instruction
// table. Everything here parses bytes the part sent: every length, pointer
// and field is checked before it sizes or indexes anything.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "lib/devices/flash/flash_params.hpp"

namespace orv::dev::flash {

struct SfdpTable {
    std::uint16_t id = 0; // MSB << 8 | LSB: 0xFF00 basic, 0xFF84 4-byte instructions
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint32_t dwords = 0;
    std::uint32_t pointer = 0; // byte address in the SFDP space (24 bits)
};

// Longest table read: the basic table of JESD216F has 23 DWORDs.
inline constexpr std::uint32_t SFDP_MAX_TABLE_DWORDS = 64;
// Most parameter headers read.
inline constexpr unsigned SFDP_MAX_TABLES = 32;

// The number of parameter headers that follow the 8-byte header (at most
// SFDP_MAX_TABLES), or 0 when the signature is missing.
unsigned sfdp_table_count(std::span<const std::uint8_t> header);

// The parameter headers that follow the 8-byte header (`bytes` starts with
// them); headers cut short by the end of `bytes` are dropped.
std::vector<SfdpTable> parse_sfdp_tables(std::span<const std::uint8_t> bytes);

// The newest table with this id and major revision 1, or null.
const SfdpTable* find_sfdp_table(const std::vector<SfdpTable>& tables, std::uint16_t id);

// The parameters of the basic table (at least 9 DWORDs) and, when the part
// has one, the 4-byte address instruction table. Empty when the basic table
// is too short or gives no usable size.
std::optional<FlashParams> parse_basic_table(std::span<const std::uint8_t> basic,
                                             std::span<const std::uint8_t> four_byte = {});

} // namespace orv::dev::flash
