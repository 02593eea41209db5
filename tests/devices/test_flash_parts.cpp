// The flash knowledge of the device library without an adapter: SFDP tables made by hand, the
// write and erase planner (every plan is played on a model of NOR cells and
// must leave exactly the wanted content), the protection bits, the JEDEC ID.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "lib/devices/flash/flash_params.hpp"
#include "lib/devices/flash/flash_status.hpp"
#include "lib/devices/flash/sfdp.hpp"
#include "lib/devices/flash/write_plan.hpp"

using namespace orv::dev;
using Bytes = std::vector<std::uint8_t>;
using namespace orv::dev::flash;

namespace {

constexpr std::uint32_t KIB = 1024;

// A table of DWORDs, little endian, as the part sends it.
Bytes dwords(std::initializer_list<std::uint32_t> values)
{
    Bytes bytes;
    for (std::uint32_t v : values) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    return bytes;
}

// A W25Q32-like basic table (JESD216B, 16 DWORDs): 4 MiB, 3-byte addresses,
// erase types 4 KiB 0x20 (48 ms), 32 KiB 0x52 (128 ms), 64 KiB 0xD8 (160 ms)
// with maxima x10, 256-byte pages programmed in 704 us (max x6), chip erase
// 12 s.
constexpr std::uint32_t DW1_3BYTE = 0xFFF920E5;  // 4 KiB erase 0x20, address bytes 00
constexpr std::uint32_t DW1_3OR4 = 0xFFFB20E5;   // address bytes 01
constexpr std::uint32_t DW1_4ONLY = 0xFFFD20E5;  // address bytes 10
constexpr std::uint32_t DENSITY_4M = 0x01FFFFFF; // 32 Mbit - 1
constexpr std::uint32_t DENSITY_32M = 0x0FFFFFFF;
constexpr std::uint32_t ERASE_1_2 = 0x520F200C;   // 2^12 0x20, 2^15 0x52
constexpr std::uint32_t ERASE_3_4 = 0x0000D810;   // 2^16 0xD8, none
constexpr std::uint32_t ERASE_TIMES = 0x00A53A24; // 3, 8, 10 x 16 ms; maxima x10
constexpr std::uint32_t PROGRAM_TIMES = 0x42002A82;

Bytes basic_table(std::uint32_t dw1, std::uint32_t density, std::uint32_t dw16 = 0)
{
    return dwords(
        {dw1, density, 0, 0, 0, 0, 0, ERASE_1_2, ERASE_3_4, ERASE_TIMES, PROGRAM_TIMES, 0, 0, 0, 0, dw16});
}

std::vector<std::uint32_t> sizes(const FlashParams& p)
{
    std::vector<std::uint32_t> s;
    for (const auto& t : p.erase_types) {
        s.push_back(t.size);
    }
    return s;
}

TEST(Sfdp, BasicTableOfA4MiBPart)
{
    auto p = parse_basic_table(basic_table(DW1_3BYTE, DENSITY_4M));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->source, FlashParams::Source::sfdp);
    EXPECT_EQ(p->size, 4u << 20);
    EXPECT_EQ(p->page_size, 256u);
    EXPECT_EQ(p->four_byte, FourByteMode::none);
    EXPECT_TRUE(p->fast_read);
    ASSERT_EQ(sizes(*p), (std::vector<std::uint32_t>{4 * KIB, 32 * KIB, 64 * KIB}));
    EXPECT_EQ(p->erase_types[0].opcode, 0x20);
    EXPECT_EQ(p->erase_types[0].typical_us, 48000u);
    EXPECT_EQ(p->erase_types[0].max_us, 480000u);
    EXPECT_EQ(p->erase_types[1].opcode, 0x52);
    EXPECT_EQ(p->erase_types[1].typical_us, 128000u);
    EXPECT_EQ(p->erase_types[2].opcode, 0xD8);
    EXPECT_EQ(p->erase_types[2].typical_us, 160000u);
    EXPECT_EQ(p->page_program_us, 704u);
    EXPECT_EQ(p->page_program_max_us, 6u * 704u);
    EXPECT_EQ(p->chip_erase_us, 12000000u);
    EXPECT_EQ(p->chip_erase_max_us, 72000000u);
}

TEST(Sfdp, AddressingOfPartsAbove16MiB)
{
    // 4-byte address instruction table: 0x13, 0x0C, 0x12, erase types 1..3
    // with 4-byte opcodes 0x21, 0x5C, 0xDC.
    const Bytes four_byte_table = dwords({0x0E43, 0xFFDC5C21});
    const Bytes no_32k_4byte = dwords({0x0A43, 0xFFDC5C21}); // type 2 has no 4-byte opcode
    struct Case {
        const char* name;
        Bytes basic;
        Bytes four_byte;
        FourByteMode mode;
        std::vector<std::uint32_t> erase_sizes;
    };
    const std::vector<Case> cases = {
        {"4-byte table",
         basic_table(DW1_3OR4, DENSITY_32M),
         four_byte_table,
         FourByteMode::opcodes,
         {4 * KIB, 32 * KIB, 64 * KIB}},
        {"4-byte table, a type without",
         basic_table(DW1_3OR4, DENSITY_32M),
         no_32k_4byte,
         FourByteMode::opcodes,
         {4 * KIB, 64 * KIB}},
        {"DWORD 16: 0xB7",
         basic_table(DW1_3OR4, DENSITY_32M, 1u << 24),
         {},
         FourByteMode::enter,
         {4 * KIB, 32 * KIB, 64 * KIB}},
        {"DWORD 16: write enable, 0xB7",
         basic_table(DW1_3OR4, DENSITY_32M, 1u << 25),
         {},
         FourByteMode::enter_after_wren,
         {4 * KIB, 32 * KIB, 64 * KIB}},
        {"DWORD 16: 4-byte opcodes",
         basic_table(DW1_3OR4, DENSITY_32M, 1u << 29),
         {},
         FourByteMode::opcodes,
         {4 * KIB, 32 * KIB, 64 * KIB}},
        {"no word on it: 0xB7",
         basic_table(DW1_3OR4, DENSITY_32M),
         {},
         FourByteMode::enter,
         {4 * KIB, 32 * KIB, 64 * KIB}},
        {"four address bytes only",
         basic_table(DW1_4ONLY, DENSITY_32M),
         {},
         FourByteMode::always,
         {4 * KIB, 32 * KIB, 64 * KIB}},
        {"16 MiB needs none",
         basic_table(DW1_3OR4, 0x07FFFFFF),
         four_byte_table,
         FourByteMode::none,
         {4 * KIB, 32 * KIB, 64 * KIB}},
    };
    for (const auto& c : cases) {
        auto p = parse_basic_table(c.basic, c.four_byte);
        ASSERT_TRUE(p) << c.name;
        EXPECT_EQ(p->four_byte, c.mode) << c.name;
        EXPECT_EQ(sizes(*p), c.erase_sizes) << c.name;
        if (c.mode == FourByteMode::opcodes) {
            for (const auto& t : p->erase_types) {
                EXPECT_NE(t.opcode_4byte, 0) << c.name << " " << t.size;
            }
        }
    }
    auto p = parse_basic_table(basic_table(DW1_3OR4, DENSITY_32M), four_byte_table);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size, 32u << 20);
    EXPECT_EQ(p->erase_types[0].opcode_4byte, 0x21);
    EXPECT_EQ(p->erase_types[1].opcode_4byte, 0x5C);
    EXPECT_EQ(p->erase_types[2].opcode_4byte, 0xDC);
}

TEST(Sfdp, DensityFormsAndTablesThatDoNotParse)
{
    auto log2 = parse_basic_table(basic_table(DW1_3OR4, 0x80000021)); // 2^33 bits
    ASSERT_TRUE(log2);
    EXPECT_EQ(log2->size, std::uint64_t{1} << 30);
    EXPECT_FALSE(parse_basic_table(basic_table(DW1_3BYTE, 0x80000024))); // 8 GiB: past four address bytes
    EXPECT_FALSE(parse_basic_table(basic_table(DW1_3BYTE, 0x000000FF))); // 32 bytes
    Bytes short_table = basic_table(DW1_3BYTE, DENSITY_4M);
    short_table.resize(8 * 4);
    EXPECT_FALSE(parse_basic_table(short_table));

    // JESD216 (2011): nine DWORDs, no times: data-sheet times of common parts.
    Bytes first = basic_table(DW1_3BYTE, DENSITY_4M);
    first.resize(9 * 4);
    auto p = parse_basic_table(first);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->page_size, 256u);
    EXPECT_EQ(p->page_program_us, DEFAULT_PAGE_PROGRAM_US);
    EXPECT_EQ(p->erase_types[0].typical_us, 45000u);

    // No erase types in DWORDs 8 and 9: DWORD 1's 4 KiB erase.
    Bytes bare = dwords({DW1_3BYTE, DENSITY_4M, 0, 0, 0, 0, 0, 0, 0});
    auto only4k = parse_basic_table(bare);
    ASSERT_TRUE(only4k);
    ASSERT_EQ(sizes(*only4k), (std::vector<std::uint32_t>{4 * KIB}));
    EXPECT_EQ(only4k->erase_types[0].opcode, 0x20);
}

TEST(Sfdp, HeaderAndParameterHeaders)
{
    Bytes header = {'S', 'F', 'D', 'P', 0x06, 0x01, 0x02, 0xFF}; // three parameter headers
    EXPECT_EQ(sfdp_table_count(header), 3u);
    EXPECT_EQ(sfdp_table_count(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 0u);
    EXPECT_EQ(sfdp_table_count(Bytes{'S', 'F', 'D'}), 0u);
    Bytes headers = {
        0x00, 0x05, 0x01, 0x09, 0x30, 0x00, 0x00, 0xFF, // basic 1.5, 9 DWORDs at 0x30
        0x00, 0x06, 0x01, 0x10, 0x80, 0x00, 0x00, 0xFF, // basic 1.6, 16 DWORDs at 0x80
        0x84, 0x00, 0x01, 0x02, 0xC0, 0x00, 0x00, 0xFF, // 4-byte table at 0xC0
        0x00, 0x00, 0x02,                               // cut short
    };
    auto tables = parse_sfdp_tables(headers);
    ASSERT_EQ(tables.size(), 3u);
    const SfdpTable* basic = find_sfdp_table(tables, orv::nor::SFDP_BASIC_TABLE);
    ASSERT_NE(basic, nullptr);
    EXPECT_EQ(basic->minor, 6);
    EXPECT_EQ(basic->pointer, 0x80u);
    EXPECT_EQ(basic->dwords, 16u);
    EXPECT_EQ(find_sfdp_table(tables, orv::nor::SFDP_FOUR_BYTE_TABLE)->pointer, 0xC0u);
    EXPECT_EQ(find_sfdp_table(tables, 0xFF87), nullptr);
}

TEST(FlashParams, TableCapacityAndJedecIds)
{
    auto w25q32 = params_from_table(JedecId{{0xEF, 0x40, 0x16}});
    ASSERT_TRUE(w25q32);
    EXPECT_EQ(w25q32->part, "Winbond W25Q32");
    EXPECT_EQ(w25q32->size, 4u << 20);
    EXPECT_EQ(w25q32->four_byte, FourByteMode::none);
    auto w25q256 = params_from_table(JedecId{{0xEF, 0x40, 0x19}});
    ASSERT_TRUE(w25q256);
    EXPECT_EQ(w25q256->four_byte, FourByteMode::opcodes);
    EXPECT_FALSE(params_from_table(JedecId{{0x12, 0x34, 0x16}}));
    auto unknown = params_from_capacity(JedecId{{0x12, 0x34, 0x17}});
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->size, 8u << 20);
    EXPECT_EQ(sizes(*unknown), (std::vector<std::uint32_t>{4 * KIB, 64 * KIB}));
    EXPECT_FALSE(params_from_capacity(JedecId{{0x12, 0x34, 0x40}})); // no size

    // Continuation codes count the bank; the code's odd parity is checked.
    const std::uint8_t issi_bank_2[] = {0x7F, 0x9D, 0x60, 0x18};
    auto id = parse_jedec_id(issi_bank_2, sizeof issi_bank_2);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bank, 2u);
    EXPECT_EQ(id->bytes, (std::array<std::uint8_t, 3>{0x9D, 0x60, 0x18}));
    EXPECT_STREQ(id->vendor(), "Integrated Silicon Solution (ISSI)");
    EXPECT_STREQ((JedecId{{0xEF, 0x40, 0x16}}.vendor()), "NEXCOM");
    EXPECT_STREQ((JedecId{{0xC2, 0x20, 0x16}}.vendor()), "Macronix");
    EXPECT_EQ((JedecId{{0xEE, 0x40, 0x16}}.vendor()), nullptr); // even parity
    const std::uint8_t only_continuation[] = {0x7F, 0x7F, 0x7F};
    EXPECT_FALSE(parse_jedec_id(only_continuation, sizeof only_continuation));
}

// ---- planning ------------------------------------------------------------

// A 256 KiB part: 4, 32 and 64 KiB erases (45, 120, 150 ms), pages of 256
// bytes programmed in 700 us, chip erase 2 s.
FlashParams small_part()
{
    FlashParams p;
    p.size = 256 * KIB;
    p.page_size = 256;
    p.erase_types = {standard_erase_type(4 * KIB), standard_erase_type(32 * KIB),
                     standard_erase_type(64 * KIB)};
    p.page_program_us = 700;
    p.page_program_max_us = 3000;
    p.chip_erase_us = 2000000;
    p.chip_erase_max_us = 10000000;
    return p;
}

// Plays a plan on NOR cells: an erase sets its block to 0xFF, a program can
// only clear bits. Checks each step's shape on the way.
Bytes play(const FlashParams& p, std::uint64_t base, Bytes cells, const WritePlan& plan, const Bytes& wanted)
{
    if (plan.chip_erase) {
        std::fill(cells.begin(), cells.end(), 0xFF);
    }
    for (const auto& e : plan.erases) {
        std::uint32_t size = p.erase_types[e.type].size;
        EXPECT_EQ(e.addr % size, 0u) << "erase not aligned";
        std::fill_n(cells.begin() + static_cast<std::ptrdiff_t>(e.addr - base), size, 0xFF);
    }
    std::uint64_t last = 0;
    for (const auto& pr : plan.programs) {
        EXPECT_GE(pr.addr, last) << "programs out of order";
        last = pr.addr + pr.len;
        EXPECT_LE(pr.addr % p.page_size + pr.len, p.page_size) << "program crosses a page";
        EXPECT_EQ(pr.addr - base, pr.offset);
        for (std::uint32_t i = 0; i < pr.len; ++i) {
            cells[pr.offset + i] &= wanted[pr.offset + i];
        }
    }
    return cells;
}

std::map<std::uint32_t, std::size_t> erase_counts(const FlashParams& p, const WritePlan& plan)
{
    std::map<std::uint32_t, std::size_t> counts;
    for (const auto& e : plan.erases) {
        ++counts[p.erase_types[e.type].size];
    }
    return counts;
}

Bytes random_bytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) {
        x = static_cast<std::uint8_t>(rng());
    }
    return b;
}

TEST(WritePlan, ErasesOnlyWhereABitMustRiseInTheCheapestBlocks)
{
    const FlashParams p = small_part();
    const std::size_t n = p.size;
    const Bytes data = random_bytes(n, 1);
    struct Case {
        const char* name;
        Bytes current;
        Bytes wanted;
        std::map<std::uint32_t, std::size_t> erases;
        std::size_t programs;
        bool chip = false;
    };
    auto with = [](Bytes b, std::size_t from, std::size_t len, std::uint8_t value) {
        std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(from), len, value);
        return b;
    };
    Bytes other = random_bytes(n, 2);
    Bytes one_block_new = data;
    std::copy_n(other.begin() + 0x8000, 0x8000, one_block_new.begin() + 0x8000);
    Bytes first_half_new = data;
    std::copy_n(other.begin() + 0x10000, 0x8000, first_half_new.begin() + 0x10000);
    const std::vector<Case> cases = {
        {"identical", data, data, {}, 0},
        {"onto erased cells", Bytes(n, 0xFF), data, {}, n / 256},
        {"one bit cleared", data, with(data, 0x123, 1, data[0x123] & 0xFE), {}, data[0x123] & 1 ? 1u : 0u},
        {"one byte must rise", with(data, 0x5010, 1, 0x00), data, {{4 * KIB, 1}}, 16},
        {"a 32 KiB block all new", data, one_block_new, {{32 * KIB, 1}}, 128},
        {"half a 64 KiB block new", data, first_half_new, {{32 * KIB, 1}}, 128},
        {"a 64 KiB block to 0xff", data, with(data, 0x20000, 0x10000, 0xFF), {{64 * KIB, 1}}, 0},
        {"all new", data, other, {{64 * KIB, 4}}, n / 256},
    };
    for (const auto& c : cases) {
        WritePlan plan = plan_write(p, 0, c.current, c.wanted);
        EXPECT_EQ(play(p, 0, c.current, plan, c.wanted), c.wanted) << c.name;
        EXPECT_EQ(erase_counts(p, plan), c.erases) << c.name;
        EXPECT_EQ(plan.programs.size(), c.programs) << c.name;
        EXPECT_EQ(plan.chip_erase, c.chip) << c.name;
    }

    // A quick chip erase beats four block erases.
    FlashParams quick_chip = p;
    quick_chip.chip_erase_us = 100000;
    WritePlan chip = plan_write(quick_chip, 0, data, other);
    EXPECT_TRUE(chip.chip_erase);
    EXPECT_TRUE(chip.erases.empty());
    EXPECT_EQ(play(quick_chip, 0, data, chip, other), other);
}

TEST(WritePlan, ProgramsSpanOnlyTheBytesThatMatter)
{
    const FlashParams p = small_part();
    Bytes current(8 * KIB, 0xFF);
    Bytes wanted = current;
    wanted[0x110] = 0x00; // page 1, one byte
    wanted[0x1F0] = 0x12; // same page, further on
    wanted[0x300] = 0xA5; // page 3
    WritePlan plan = plan_write(p, 0x10000, current, wanted);
    ASSERT_EQ(plan.programs.size(), 2u);
    EXPECT_EQ(plan.programs[0].addr, 0x10110u);
    EXPECT_EQ(plan.programs[0].len, 0xE1u);
    EXPECT_EQ(plan.programs[1].addr, 0x10300u);
    EXPECT_EQ(plan.programs[1].len, 1u);
    EXPECT_EQ(play(p, 0x10000, current, plan, wanted), wanted);
}

TEST(WritePlan, RandomImagesAlwaysEndAsWanted)
{
    const FlashParams p = small_part();
    for (std::uint32_t seed = 0; seed < 20; ++seed) {
        std::mt19937 rng(seed);
        Bytes current = random_bytes(p.size, seed + 100);
        Bytes wanted = current;
        // Sparse changes, some clearing bits only, some raising them.
        for (int k = 0; k < 40; ++k) {
            std::size_t at = rng() % p.size;
            wanted[at] = rng() % 2 != 0 ? static_cast<std::uint8_t>(wanted[at] & rng())
                                        : static_cast<std::uint8_t>(rng());
        }
        std::uint64_t base = (rng() % 4) * 0x10000 / 2;
        std::size_t len = p.size - base;
        Bytes cur(current.begin() + static_cast<std::ptrdiff_t>(base), current.end());
        Bytes want(wanted.begin() + static_cast<std::ptrdiff_t>(base), wanted.end());
        WritePlan plan = plan_write(p, base, cur, want);
        EXPECT_EQ(play(p, base, cur, plan, want), want) << "seed " << seed;
        EXPECT_LE(plan.erased_bytes, len) << "seed " << seed;
    }
}

TEST(WritePlan, EraseRangesAndTouchedRanges)
{
    const FlashParams p = small_part();
    // 0x1000..0x3ffff: 4 KiB blocks up to 0x8000, one 32 KiB, three 64 KiB.
    WritePlan erase = plan_erase(p, 0x1000, 0x3F000);
    EXPECT_EQ(erase_counts(p, erase),
              (std::map<std::uint32_t, std::size_t>{{4 * KIB, 7}, {32 * KIB, 1}, {64 * KIB, 3}}));
    EXPECT_TRUE(erase.programs.empty());
    auto touched = touched_ranges(p, erase);
    ASSERT_EQ(touched.size(), 1u);
    EXPECT_EQ(touched[0].addr, 0x1000u);
    EXPECT_EQ(touched[0].len, 0x3F000u);

    // The whole part, where a chip erase is quicker.
    FlashParams quick_chip = p;
    quick_chip.chip_erase_us = 100000;
    EXPECT_TRUE(plan_erase(quick_chip, 0, p.size).chip_erase);

    // Unaligned writes read and plan whole smallest blocks.
    Range r = erase_aligned(p, 0x1234, 0x2000);
    EXPECT_EQ(r.addr, 0x1000u);
    EXPECT_EQ(r.len, 0x3000u);
    EXPECT_EQ(erase_aligned(p, p.size - 1, 1).len, 4 * KIB);
}

// ---- protection ----------------------------------------------------------

TEST(Protection, W25qStyleBlockProtectBits)
{
    const std::uint64_t size = 4u << 20;
    struct Case {
        std::uint8_t status;
        std::uint64_t from, to;
    };
    const Case cases[] = {
        {0x00, 0, 0},                  // nothing
        {0x80, 0, 0},                  // SRP alone protects no block
        {0x04, size - 64 * KIB, size}, // BP 1: the top 1/64
        {0x18, size / 2, size},        // BP 6: the top half
        {0x1C, 0, size},               // BP 7: all
        {0x24, 0, 64 * KIB},           // BP 1, TB: the bottom 1/64
        {0x4C, size - 16 * KIB, size}, // BP 3, SEC: the top 16 KiB
        {0x74, 0, 32 * KIB},           // BP 5, SEC, TB: the bottom 32 KiB
    };
    for (const auto& c : cases) {
        Protection p = decode_protection(c.status, size);
        EXPECT_EQ(p.any() ? p.from : 0, c.from) << std::hex << int(c.status);
        EXPECT_EQ(p.any() ? p.to : 0, c.to) << std::hex << int(c.status);
    }
    // Parts below 4 MiB count in 64 KiB blocks, those above in 1/64 of the part.
    EXPECT_EQ(decode_protection(0x04, 1u << 20).from, (1u << 20) - 64 * KIB);
    EXPECT_EQ(decode_protection(0x08, 32u << 20).from, (32u << 20) - 1024 * KIB);
    Protection top = decode_protection(0x84, size);
    EXPECT_TRUE(top.srp);
    EXPECT_TRUE(top.overlaps(size - 1, 1));
    EXPECT_FALSE(top.overlaps(0, size - 64 * KIB));
    EXPECT_EQ(unprotected(0xFE), 0x02); // WEL kept, BUSY was 0
}

} // namespace
