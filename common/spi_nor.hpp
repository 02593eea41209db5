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

// The JEDEC ID: a manufacturer code is preceded by one continuation code per
// JEP106 bank after the first.
inline constexpr std::uint8_t JEDEC_CONTINUATION = 0x7F;

// Common geometry.
inline constexpr std::uint32_t PAGE_SIZE = 256;
inline constexpr std::uint32_t SECTOR_SIZE = 4096;

// "SFDP" little endian, the first word of the SFDP header.
inline constexpr std::uint32_t SFDP_SIGNATURE = 0x50444653;
// SFDP layout (JESD216): an 8-byte header, then 8-byte parameter headers.
inline constexpr unsigned SFDP_HEADER_LENGTH = 8;
inline constexpr unsigned SFDP_PARAMETER_HEADER_LENGTH = 8;
// Parameter table ids (MSB << 8 | LSB): the basic flash parameter table and
// the 4-byte address instruction table.
inline constexpr std::uint16_t SFDP_BASIC_TABLE = 0xFF00;
inline constexpr std::uint16_t SFDP_FOUR_BYTE_TABLE = 0xFF84;

// What reads back from erased flash.
inline constexpr std::uint8_t ERASED = 0xFF;

} // namespace orv::nor
