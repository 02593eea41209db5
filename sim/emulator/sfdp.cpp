// The SFDP area of the emulated flash (JESD216B): the SFDP header, one
// parameter header, and a basic flash parameter table of 16 DWORDs that
// describes the configured size, page size, erase types and timings. Fast
// reads other than 1-1-1, suspend and deep power-down are not offered.
#include <algorithm>
#include <array>
#include <bit>

#include "sim/emulator/virtual_flash.hpp"

namespace orv::emu {

namespace {

using namespace orv::nor;

constexpr std::uint8_t SFDP_MINOR_REVISION = 6; // JESD216B
constexpr std::uint8_t SFDP_MAJOR_REVISION = 1;
constexpr std::uint8_t ACCESS_PROTOCOL_LEGACY = 0xFF;
constexpr unsigned BASIC_TABLE_DWORDS = 16;
constexpr std::uint32_t BASIC_TABLE_POINTER = SFDP_HEADER_LENGTH + SFDP_PARAMETER_HEADER_LENGTH;

constexpr std::uint32_t DW1_UNUSED_ONES = 0xFF800000 | 0xE0; // bits 31:23 and 7:5
constexpr std::size_t WRITE_GRANULARITY_64 = 64;
constexpr std::uint32_t DW5_NO_2_2_2_NOR_4_4_4 = 0xFFFFFFEE;
constexpr std::uint32_t DW6_DW7_NO_FAST_READ = 0x0000FFFF; // reserved low half, no opcode
constexpr std::uint32_t DW12_NO_SUSPEND = 1u << 31;
constexpr std::uint32_t DW14_NO_DEEP_POWER_DOWN = 1u << 31;
constexpr std::uint32_t DW14_POLL_STATUS_BIT_0 = 1u << 2; // busy: bit 0 of 0x05
constexpr std::uint32_t DW14_RESERVED = 0x3;
constexpr std::uint32_t DW16_ENTER_4BYTE_B7 = 1u << 24;
constexpr std::uint32_t DW16_EXIT_4BYTE_E9 = 1u << 14;
constexpr std::uint32_t DW16_RESERVED = 1u << 7;
constexpr std::uint32_t DW16_STATUS_NONVOLATILE = 1u << 0; // written after 0x06

// A typical time in microseconds as JESD216 packs it: count N (N + 1 units)
// in `count_bits`, then the unit's index; the smallest unit that holds it.
template <std::size_t UNITS>
std::uint32_t pack_time(std::uint64_t microseconds, unsigned count_bits,
                        const std::array<std::uint64_t, UNITS>& units)
{
    const std::uint64_t most = std::uint64_t{1} << count_bits;
    for (std::size_t u = 0; u < UNITS; ++u) {
        const std::uint64_t count = std::max<std::uint64_t>(1, (microseconds + units[u] - 1) / units[u]);
        if (count <= most || u + 1 == UNITS) {
            return static_cast<std::uint32_t>((u << count_bits) | (std::min(count, most) - 1));
        }
    }
    return 0;
}

constexpr std::array<std::uint64_t, 4> ERASE_TIME_UNITS{1000, 16000, 128000, 1000000};
constexpr std::array<std::uint64_t, 2> PAGE_TIME_UNITS{8, 64};
constexpr std::array<std::uint64_t, 2> BYTE_TIME_UNITS{1, 8};
constexpr std::array<std::uint64_t, 4> CHIP_ERASE_TIME_UNITS{16000, 256000, 4000000, 64000000};

std::array<std::uint32_t, BASIC_TABLE_DWORDS> basic_table(const SpiFlashConfig& config)
{
    std::array<std::uint32_t, BASIC_TABLE_DWORDS> dw{};
    std::vector<EraseType> erase = config.erase;
    std::sort(erase.begin(), erase.end(), [](const auto& a, const auto& b) { return a.size < b.size; });
    erase.resize(std::min<std::size_t>(erase.size(), SFDP_ERASE_TYPES));
    const bool four_byte = config.size > ADDRESS_SPACE_3;

    // 1: 4 KiB erase, write granularity, address bytes.
    dw[0] = DW1_UNUSED_ONES;
    const auto four_k =
        std::find_if(erase.begin(), erase.end(), [](const auto& e) { return e.size == 4096; });
    if (four_k != erase.end()) {
        dw[0] |= SFDP_DW1_4K_ERASE_SUPPORTED | std::uint32_t{four_k->opcode}
                                                   << SFDP_DW1_4K_ERASE_OPCODE_SHIFT;
    } else {
        dw[0] |= SFDP_DW1_4K_ERASE_NONE | std::uint32_t{0xFF} << SFDP_DW1_4K_ERASE_OPCODE_SHIFT;
    }
    if (config.page_size >= WRITE_GRANULARITY_64) {
        dw[0] |= SFDP_DW1_WRITE_GRANULARITY_64;
    }
    if (four_byte) {
        dw[0] |= SFDP_DW1_ADDRESS_3_OR_4 << SFDP_DW1_ADDRESS_BYTES_SHIFT;
    }
    // 2: density in bits.
    const std::uint64_t bits = std::uint64_t{config.size} * 8;
    dw[1] = bits <= (std::uint64_t{1} << 31)
                ? static_cast<std::uint32_t>(bits - 1)
                : SFDP_DW2_POWER_OF_TWO | static_cast<std::uint32_t>(std::bit_width(bits) - 1);
    // 3..7: no fast reads but 1-1-1.
    dw[4] = DW5_NO_2_2_2_NOR_4_4_4;
    dw[5] = DW6_DW7_NO_FAST_READ;
    dw[6] = DW6_DW7_NO_FAST_READ;
    // 8, 9: erase types, smallest first; 10: their typical times.
    for (std::size_t i = 0; i < erase.size(); ++i) {
        const std::uint32_t type = (std::uint32_t{erase[i].opcode} << 8) |
                                   static_cast<std::uint32_t>(std::bit_width(erase[i].size) - 1);
        dw[7 + i / 2] |= type << (16 * (i % 2));
        dw[9] |= pack_time(config.erase_us, 5, ERASE_TIME_UNITS) << (4 + 7 * i);
    }
    // 11: page size and program times; chip erase time.
    dw[10] = static_cast<std::uint32_t>(std::bit_width(config.page_size) - 1) << SFDP_DW11_PAGE_SIZE_SHIFT;
    dw[10] |= pack_time(config.program_us, 5, PAGE_TIME_UNITS) << 8;
    dw[10] |= pack_time(config.program_us / std::max<std::size_t>(config.page_size, 1), 4, BYTE_TIME_UNITS)
              << 14;
    dw[10] |= pack_time(config.program_us / std::max<std::size_t>(config.page_size, 1), 4, BYTE_TIME_UNITS)
              << 19;
    dw[10] |= pack_time(config.erase_us, 5, CHIP_ERASE_TIME_UNITS) << 24;
    // 12, 13: no suspend; 14: no deep power-down, busy polled on 0x05 bit 0.
    dw[11] = DW12_NO_SUSPEND;
    dw[13] = DW14_NO_DEEP_POWER_DOWN | DW14_POLL_STATUS_BIT_0 | DW14_RESERVED;
    // 16: 4-byte address mode by 0xB7 / 0xE9; status register 1 nonvolatile.
    dw[15] = DW16_RESERVED | DW16_STATUS_NONVOLATILE;
    if (four_byte) {
        dw[15] |= DW16_ENTER_4BYTE_B7 | DW16_EXIT_4BYTE_E9;
    }
    return dw;
}

void put_le(std::vector<std::uint8_t>& out, std::uint32_t value, unsigned bytes)
{
    for (unsigned i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

} // namespace

std::vector<std::uint8_t> sfdp_table(const SpiFlashConfig& config)
{
    std::vector<std::uint8_t> out;
    out.reserve(BASIC_TABLE_POINTER + 4 * BASIC_TABLE_DWORDS);
    put_le(out, SFDP_SIGNATURE, 4);
    out.insert(out.end(), {SFDP_MINOR_REVISION, SFDP_MAJOR_REVISION, 0 /* one parameter header */,
                           ACCESS_PROTOCOL_LEGACY});
    out.insert(out.end(),
               {SFDP_BASIC_TABLE_ID_LSB, SFDP_MINOR_REVISION, SFDP_MAJOR_REVISION, BASIC_TABLE_DWORDS});
    put_le(out, BASIC_TABLE_POINTER, 3);
    out.push_back(SFDP_BASIC_TABLE_ID_MSB);
    for (const std::uint32_t dword : basic_table(config)) {
        put_le(out, dword, 4);
    }
    return out;
}

} // namespace orv::emu
