#include "lib/devices/flash/sfdp.hpp"

#include <algorithm>
#include <array>

#include "lib/wire/wire.hpp"

namespace orv::dev::flash {

namespace {

namespace nor = orv::nor;

constexpr std::size_t DWORD = 4;
constexpr std::uint32_t MIN_BASIC_DWORDS = 9; // JESD216 (2011): DWORDs 1..9

// DWORD n (1-based, as JESD216 numbers them), or empty past the table's end.
std::optional<std::uint32_t> dword(std::span<const std::uint8_t> table, unsigned n)
{
    std::size_t at = (n - 1) * DWORD;
    if (at + DWORD > table.size()) {
        return std::nullopt;
    }
    return load_le32(table.subspan(at, DWORD));
}

std::uint32_t bits(std::uint32_t value, unsigned low, unsigned count)
{
    return (value >> low) & ((1u << count) - 1);
}

// A typical erase time field of DWORD 10: count in bits 4:0, unit in 6:5.
std::uint32_t erase_time_us(std::uint32_t field)
{
    static constexpr std::uint32_t UNIT_US[] = {1000, 16000, 128000, 1000000};
    return (bits(field, 0, 5) + 1) * UNIT_US[bits(field, 5, 2)];
}

// Erase types 1..4 from DWORDs 8 and 9, with their times from DWORD 10; a
// size of 0 marks a type the part does not have.
using EraseSlots = std::array<EraseType, nor::SFDP_ERASE_TYPES>;
EraseSlots erase_types(std::span<const std::uint8_t> basic)
{
    EraseSlots types{};
    auto times = dword(basic, 10);
    for (unsigned i = 0; i < types.size(); ++i) {
        std::uint32_t pair = *dword(basic, 8 + i / 2);
        std::uint32_t exponent = bits(pair, 16 * (i % 2), 8);
        if (exponent == 0 || exponent > 31) {
            continue;
        }
        EraseType& t = types[i];
        t.size = 1u << exponent;
        t.opcode = static_cast<std::uint8_t>(bits(pair, 16 * (i % 2) + 8, 8));
        if (times) {
            t.typical_us = erase_time_us(
                bits(*times, nor::SFDP_DW10_ERASE_TIME_SHIFT + nor::SFDP_DW10_ERASE_TIME_BITS * i,
                     nor::SFDP_DW10_ERASE_TIME_BITS));
            t.max_us = t.typical_us * 2 * (bits(*times, 0, 4) + 1);
        }
    }
    return types;
}

// Page size and program and chip erase times from DWORD 11.
void program_times(std::uint32_t dw11, FlashParams& params)
{
    static constexpr std::uint64_t CHIP_UNIT_US[] = {16000, 256000, 4000000, 64000000};
    std::uint32_t multiplier = 2 * (bits(dw11, 0, 4) + 1);
    params.page_size = 1u << bits(dw11, nor::SFDP_DW11_PAGE_SIZE_SHIFT, 4);
    params.page_program_us = (bits(dw11, nor::SFDP_DW11_PROGRAM_TIME_SHIFT, 5) + 1) *
                             (bits(dw11, nor::SFDP_DW11_PROGRAM_TIME_SHIFT + 5, 1) != 0 ? 64 : 8);
    params.page_program_max_us = params.page_program_us * multiplier;
    params.chip_erase_us = (bits(dw11, nor::SFDP_DW11_CHIP_ERASE_TIME_SHIFT, 5) + 1) *
                           CHIP_UNIT_US[bits(dw11, nor::SFDP_DW11_CHIP_ERASE_TIME_SHIFT + 5, 2)];
    params.chip_erase_max_us = params.chip_erase_us * multiplier;
}

// How the part takes addresses past 16 MiB: DWORD 1's address bytes, then
// the 4-byte instruction table, then DWORD 16's ways in.
void four_byte_addressing(std::span<const std::uint8_t> basic, std::span<const std::uint8_t> four_byte,
                          EraseSlots& types, FlashParams& params)
{
    std::uint32_t address_bytes = bits(*dword(basic, 1), nor::SFDP_DW1_ADDRESS_BYTES_SHIFT, 2);
    if (address_bytes == 2) {
        params.four_byte = FourByteMode::always;
        return;
    }
    if (params.size <= nor::ADDRESS_SPACE_3) {
        params.four_byte = FourByteMode::none;
        return;
    }
    auto instructions = dword(four_byte, 1);
    auto erase_opcodes = dword(four_byte, 2);
    if (instructions && erase_opcodes && (*instructions & nor::SFDP_4BAIT_PROGRAM_12) != 0 &&
        (*instructions & (nor::SFDP_4BAIT_READ_13 | nor::SFDP_4BAIT_FAST_READ_0C)) != 0) {
        params.four_byte = FourByteMode::opcodes;
        params.fast_read = (*instructions & nor::SFDP_4BAIT_FAST_READ_0C) != 0;
        for (unsigned i = 0; i < types.size(); ++i) {
            bool supported = bits(*instructions, nor::SFDP_4BAIT_ERASE_TYPE_SHIFT + i, 1) != 0;
            // An unsupported type loses both opcodes (so that normalise()
            // fills in no usual one) and is dropped.
            types[i].opcode_4byte = supported ? static_cast<std::uint8_t>(bits(*erase_opcodes, 8 * i, 8)) : 0;
            types[i].opcode = supported ? types[i].opcode : 0;
        }
        return;
    }
    auto entry = dword(basic, 16).value_or(0);
    if ((entry & nor::SFDP_DW16_FOUR_BYTE_OPCODES) != 0) {
        params.four_byte = FourByteMode::opcodes;
    } else if ((entry & nor::SFDP_DW16_ALWAYS_FOUR_BYTE) != 0) {
        params.four_byte = FourByteMode::always;
    } else if ((entry & nor::SFDP_DW16_ENTER_B7) == 0 && (entry & nor::SFDP_DW16_ENTER_WREN_B7) != 0) {
        params.four_byte = FourByteMode::enter_after_wren;
    } else {
        params.four_byte = FourByteMode::enter; // 0xB7: the way most parts know
    }
}

} // namespace

unsigned sfdp_table_count(std::span<const std::uint8_t> header)
{
    auto signature = dword(header, 1);
    if (!signature || *signature != nor::SFDP_SIGNATURE || header.size() < nor::SFDP_HEADER_LENGTH) {
        return 0;
    }
    return std::min<unsigned>(header[6] + 1u, SFDP_MAX_TABLES);
}

std::vector<SfdpTable> parse_sfdp_tables(std::span<const std::uint8_t> bytes)
{
    std::vector<SfdpTable> tables;
    for (std::size_t at = 0; at + nor::SFDP_PARAMETER_HEADER_LENGTH <= bytes.size();
         at += nor::SFDP_PARAMETER_HEADER_LENGTH) {
        const std::uint8_t* h = bytes.data() + at;
        SfdpTable t;
        t.id = static_cast<std::uint16_t>(h[7] << 8 | h[0]);
        t.minor = h[1];
        t.major = h[2];
        t.dwords = h[3];
        t.pointer = static_cast<std::uint32_t>(h[4]) | static_cast<std::uint32_t>(h[5]) << 8 |
                    static_cast<std::uint32_t>(h[6]) << 16;
        tables.push_back(t);
    }
    return tables;
}

const SfdpTable* find_sfdp_table(const std::vector<SfdpTable>& tables, std::uint16_t id)
{
    const SfdpTable* best = nullptr;
    for (const SfdpTable& t : tables) {
        if (t.id == id && t.major == 1 && t.dwords > 0 && (best == nullptr || t.minor > best->minor)) {
            best = &t;
        }
    }
    return best;
}

std::optional<FlashParams> parse_basic_table(std::span<const std::uint8_t> basic,
                                             std::span<const std::uint8_t> four_byte)
{
    if (basic.size() < MIN_BASIC_DWORDS * DWORD) {
        return std::nullopt;
    }
    FlashParams params;
    params.source = FlashParams::Source::sfdp;

    std::uint32_t density = *dword(basic, 2);
    std::uint64_t size_bits = 0;
    if ((density & nor::SFDP_DW2_POWER_OF_TWO) == 0) {
        size_bits = static_cast<std::uint64_t>(density) + 1;
    } else if (std::uint32_t log2 = density & ~nor::SFDP_DW2_POWER_OF_TWO; log2 >= 3 && log2 <= 35) {
        size_bits = std::uint64_t{1} << log2;
    }
    params.size = size_bits / 8;
    // Up to 4 GiB: the most that four address bytes reach.
    if (params.size < nor::PAGE_SIZE || params.size > (std::uint64_t{1} << 32)) {
        return std::nullopt;
    }

    if (auto dw11 = dword(basic, 11)) {
        program_times(*dw11, params);
    }
    EraseSlots types = erase_types(basic);
    four_byte_addressing(basic, four_byte, types, params);
    for (const EraseType& t : types) {
        if (t.size != 0) {
            params.erase_types.push_back(t);
        }
    }
    std::uint32_t first = *dword(basic, 1);
    if (std::none_of(types.begin(), types.end(), [](const EraseType& t) { return t.size != 0; }) &&
        bits(first, 0, 2) == nor::SFDP_DW1_4K_ERASE_SUPPORTED) {
        // JESD216 tables without erase types: DWORD 1 names the 4 KiB erase.
        EraseType t = standard_erase_type(nor::SECTOR_SIZE);
        t.opcode = static_cast<std::uint8_t>(bits(first, nor::SFDP_DW1_4K_ERASE_OPCODE_SHIFT, 8));
        params.erase_types.push_back(t);
    }
    normalise(params);
    return params;
}

} // namespace orv::dev::flash
