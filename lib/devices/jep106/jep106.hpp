// Manufacturer names of the JEDEC JEP106 list, all banks. A JEP106 code is
// a bank (how many 0x7F continuation codes precede it, plus one) and a 7-bit
// id; IEEE 1149.1 IDCODEs carry both (bits 11..8 continuation count, bits 7..1
// id), SPI flash JEDEC IDs the id with an odd parity bit 7, after their
// continuation codes.
#pragma once

namespace orv::dev::jep106 {

// The name JEDEC lists for `id` (7 bits) in `bank` (1-based), or null.
const char* manufacturer(unsigned bank, unsigned id);

// The number of names in the table, for tests.
unsigned size();

} // namespace orv::dev::jep106
