// The status registers of a 25-series flash as W25Q-style parts lay them
// out. Status register 1: BUSY (bit 0), WEL (bit 1), block protect BP0..BP2
// (bits 2..4), TB (bit 5: protect from the bottom), SEC (bit 6: 4 KiB
// sectors rather than fractions of the part), SRP (bit 7: the status
// register is locked while WP# is low). Status register 2: CMP (bit 6:
// protect the complement of the range the bits of register 1 name).
#pragma once

#include <cstdint>
#include <vector>

namespace orv::dev::flash {

struct Protection {
    std::uint8_t status = 0;
    unsigned bp = 0; // BP2..BP0
    bool tb = false;
    bool sec = false;
    bool srp = false;
    bool cmp = false;
    // The protected range [from, to); from == to when nothing is protected.
    std::uint64_t from = 0;
    std::uint64_t to = 0;

    bool any() const { return to > from; }
    bool overlaps(std::uint64_t addr, std::uint64_t len) const { return addr < to && from < addr + len; }
};

// The range BP, TB, SEC and CMP protect on a part of `size` bytes, as W25Q
// parts count it: with SEC clear BP = 1..6 protects unit << (BP - 1), the
// unit 64 KiB or 1/64 of the part when that is larger, at the top (TB clear)
// or the bottom (TB set); with SEC set BP = 1..4 protects 4 KiB << (BP - 1),
// 5 and 6 protect 32 KiB; BP = 7 protects all. CMP protects the rest of the
// part instead.
Protection decode_protection(std::uint8_t status, std::uint64_t size, bool cmp = false);

// The status register 1 value that lifts every protection: BP, TB, SEC and
// SRP cleared, the other bits kept.
std::uint8_t unprotected(std::uint8_t status);

// One way to protect a range: the BP, TB and SEC bits of status register 1
// and CMP.
struct ProtectionSetting {
    std::uint8_t bits = 0; // within STATUS_BP_MASK | STATUS_TB | STATUS_SEC
    bool cmp = false;
    std::uint64_t from = 0;
    std::uint64_t to = 0;
};

// Every range a part of `size` can protect (CMP ones only `with_cmp`), each
// once with its simplest setting (no CMP, then no SEC, then the fewest bits
// set), sorted by start and then end; the empty range first.
std::vector<ProtectionSetting> protection_settings(std::uint64_t size, bool with_cmp);

} // namespace orv::dev::flash
