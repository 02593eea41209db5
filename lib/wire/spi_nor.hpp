// The 25-series SPI NOR flash command set, as the flash on the adapter's SPI
// connector understands it: each opcode with its lengths beside it (bytes out
// after the opcode: address and dummy; bytes in), the status bits, and the
// SFDP signature. Shared by orvtool's flash module, the emulated flash and the
// tests.
#pragma once

#include <cstdint>

namespace orv::nor {

// Identification.
inline constexpr std::uint8_t CMD_READ_JEDEC_ID = 0x9F; // in: 3 (manufacturer, type, capacity)
inline constexpr unsigned JEDEC_ID_LENGTH = 3;
inline constexpr std::uint8_t CMD_READ_SFDP = 0x5A; // out: 3 address + 1 dummy byte; in: any
inline constexpr unsigned SFDP_DUMMY_CLOCKS = 8;

// Reading.
inline constexpr std::uint8_t CMD_READ = 0x03;      // out: 3 address; in: any
inline constexpr std::uint8_t CMD_FAST_READ = 0x0B; // out: 3 address + 1 dummy byte; in: any
inline constexpr unsigned FAST_READ_DUMMY_CLOCKS = 8;

// Status and write enable.
inline constexpr std::uint8_t CMD_READ_STATUS = 0x05;   // in: 1 (status register 1)
inline constexpr std::uint8_t CMD_READ_STATUS_2 = 0x35; // in: 1
inline constexpr std::uint8_t CMD_READ_STATUS_3 = 0x15; // in: 1
inline constexpr std::uint8_t CMD_WRITE_STATUS = 0x01;  // out: 1 (or 2: SR1, SR2)
inline constexpr std::uint8_t CMD_WRITE_ENABLE = 0x06;  // no data
inline constexpr std::uint8_t CMD_WRITE_DISABLE = 0x04; // no data

// Programming and erasing, each preceded by write enable.
inline constexpr std::uint8_t CMD_PAGE_PROGRAM = 0x02;    // out: 3 address + 1..page size data
inline constexpr std::uint8_t CMD_SECTOR_ERASE = 0x20;    // out: 3 address (4 KiB)
inline constexpr std::uint8_t CMD_BLOCK_ERASE_32K = 0x52; // out: 3 address (32 KiB)
inline constexpr std::uint8_t CMD_BLOCK_ERASE_64K = 0xD8; // out: 3 address (64 KiB)
inline constexpr std::uint8_t CMD_CHIP_ERASE = 0xC7;      // no data
inline constexpr std::uint8_t CMD_CHIP_ERASE_ALT = 0x60;  // no data

// Parts above 16 MiB: 4-byte address mode, or the 4-byte opcodes.
inline constexpr std::uint8_t CMD_ENTER_4BYTE = 0xB7;        // no data
inline constexpr std::uint8_t CMD_EXIT_4BYTE = 0xE9;         // no data
inline constexpr std::uint8_t CMD_READ_4B = 0x13;            // out: 4 address; in: any
inline constexpr std::uint8_t CMD_FAST_READ_4B = 0x0C;       // out: 4 address + 1 dummy byte; in: any
inline constexpr std::uint8_t CMD_PAGE_PROGRAM_4B = 0x12;    // out: 4 address + data
inline constexpr std::uint8_t CMD_SECTOR_ERASE_4B = 0x21;    // out: 4 address (4 KiB)
inline constexpr std::uint8_t CMD_BLOCK_ERASE_32K_4B = 0x5C; // out: 4 address (32 KiB)
inline constexpr std::uint8_t CMD_BLOCK_ERASE_64K_4B = 0xDC; // out: 4 address (64 KiB)

inline constexpr unsigned ADDRESS_BYTES_3 = 3;
inline constexpr unsigned ADDRESS_BYTES_4 = 4;
inline constexpr std::uint64_t ADDRESS_SPACE_3 = std::uint64_t{1} << 24;

// Status register 1.
inline constexpr std::uint8_t STATUS_BUSY = 0x01;    // write in progress
inline constexpr std::uint8_t STATUS_WEL = 0x02;     // write enable latch
inline constexpr std::uint8_t STATUS_BP_MASK = 0x1C; // block protect BP0..BP2
inline constexpr unsigned STATUS_BP_SHIFT = 2;
inline constexpr std::uint8_t STATUS_TB = 0x20;  // protect from the bottom
inline constexpr std::uint8_t STATUS_SEC = 0x40; // protect 4 KiB sectors rather than fractions (W25Q)
inline constexpr std::uint8_t STATUS_SRP = 0x80; // status register protect (with WP#)

// Status register 2 (0x35 reads it; 0x01 with two bytes writes both).
inline constexpr std::uint8_t STATUS2_CMP = 0x40; // complement protect: BP's range inverted (W25Q)

// The JEDEC ID: a manufacturer code is preceded by one continuation code per
// JEP106 bank after the first.
inline constexpr std::uint8_t JEDEC_CONTINUATION = 0x7F;

// Common geometry.
inline constexpr std::uint32_t PAGE_SIZE = 256;
// The most a flash can hold that four address bytes reach: 4 GiB.
inline constexpr std::uint64_t LARGEST_ADDRESSABLE = std::uint64_t{1} << 32;
inline constexpr std::uint32_t SECTOR_SIZE = 4096;

// "SFDP" little endian, the first word of the SFDP header.
inline constexpr std::uint32_t SFDP_SIGNATURE = 0x50444653;
// SFDP (JESD216) layout: an 8-byte header (signature, minor and major
// revision, number of parameter headers minus one, access protocol), then
// 8-byte parameter headers (id LSB, minor and major revision, length in
// DWORDs, 3-byte table pointer little endian, id MSB). The first table is
// the basic flash parameter table (id 0xFF00); its DWORDs are little endian
// and numbered from 1.
inline constexpr unsigned SFDP_HEADER_LENGTH = 8;
inline constexpr unsigned SFDP_PARAMETER_HEADER_LENGTH = 8;
inline constexpr std::uint8_t SFDP_BASIC_TABLE_ID_LSB = 0x00;
inline constexpr std::uint8_t SFDP_BASIC_TABLE_ID_MSB = 0xFF;
inline constexpr unsigned SFDP_ADDRESS_BYTES = 3; // also in 4-byte address mode
// Basic table DWORD 1: 4 KiB erase (bits 1:0, 01 = supported, 11 = not),
// write granularity of 64 bytes or more (bit 2), its 4 KiB erase opcode
// (bits 15:8), address bytes (bits 18:17: 00 three, 01 three or four).
inline constexpr std::uint32_t SFDP_DW1_4K_ERASE_SUPPORTED = 0x1;
inline constexpr std::uint32_t SFDP_DW1_4K_ERASE_NONE = 0x3;
inline constexpr std::uint32_t SFDP_DW1_WRITE_GRANULARITY_64 = 1u << 2;
inline constexpr unsigned SFDP_DW1_4K_ERASE_OPCODE_SHIFT = 8;
inline constexpr unsigned SFDP_DW1_ADDRESS_BYTES_SHIFT = 17;
inline constexpr std::uint32_t SFDP_DW1_ADDRESS_3_OR_4 = 1;
// DWORD 2: density in bits minus one (bit 31 clear), or 2^N bits (bit 31 set).
inline constexpr std::uint32_t SFDP_DW2_POWER_OF_TWO = 1u << 31;
// DWORDs 8 and 9: erase types 1..4, each a size exponent N (2^N bytes, 0 =
// none) and its opcode, two per DWORD (bits 7:0, 15:8, 23:16, 31:24).
inline constexpr unsigned SFDP_ERASE_TYPES = 4;
// DWORD 10: the typical time of erase type i (0..3) in bits 4 + 7i ..
// 10 + 7i (a count in the low 5 bits: count + 1 units; the unit in the high 2:
// 1 ms, 16 ms, 128 ms, 1 s); bits 3:0 M, the longest time being 2 (M + 1)
// times the typical.
inline constexpr unsigned SFDP_DW10_ERASE_TIME_SHIFT = 4;
inline constexpr unsigned SFDP_DW10_ERASE_TIME_BITS = 7;
// DWORD 11: page size exponent in bits 7:4; page program time in bits 13:8
// (count in 12:8, unit 8 us or 64 us by bit 13); chip erase time in bits
// 30:24 (count in 28:24, unit 16 ms, 256 ms, 4 s or 64 s by bits 30:29);
// bits 3:0 M as in DWORD 10, for both.
inline constexpr unsigned SFDP_DW11_PAGE_SIZE_SHIFT = 4;
inline constexpr unsigned SFDP_DW11_PROGRAM_TIME_SHIFT = 8;
inline constexpr unsigned SFDP_DW11_CHIP_ERASE_TIME_SHIFT = 24;
// DWORD 16, bits 31:24: the ways into 4-byte addressing.
inline constexpr std::uint32_t SFDP_DW16_ENTER_B7 = 1u << 24;
inline constexpr std::uint32_t SFDP_DW16_ENTER_WREN_B7 = 1u << 25;
inline constexpr std::uint32_t SFDP_DW16_FOUR_BYTE_OPCODES = 1u << 29;
inline constexpr std::uint32_t SFDP_DW16_ALWAYS_FOUR_BYTE = 1u << 30;
// Parameter table ids as MSB << 8 | LSB: the basic table, and the 4-byte
// address instruction table, whose DWORD 1 names the 4-byte opcodes a part
// takes (bit 0 0x13, bit 1 0x0C, bit 6 0x12, bits 9..12 erase types 1..4)
// and whose DWORD 2 holds the erase types' 4-byte opcodes, one a byte.
inline constexpr std::uint16_t SFDP_BASIC_TABLE = SFDP_BASIC_TABLE_ID_MSB << 8 | SFDP_BASIC_TABLE_ID_LSB;
inline constexpr std::uint16_t SFDP_FOUR_BYTE_TABLE = 0xFF84;
inline constexpr std::uint32_t SFDP_4BAIT_READ_13 = 1u << 0;
inline constexpr std::uint32_t SFDP_4BAIT_FAST_READ_0C = 1u << 1;
inline constexpr std::uint32_t SFDP_4BAIT_PROGRAM_12 = 1u << 6;
inline constexpr unsigned SFDP_4BAIT_ERASE_TYPE_SHIFT = 9;

// What reads back from erased flash.
inline constexpr std::uint8_t ERASED = 0xFF;

} // namespace orv::nor
