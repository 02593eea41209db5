#include "lib/devices/flash/flash_params.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <iterator>
#include <string_view>

#include "lib/devices/jep106/jep106.hpp"

namespace orv::dev::flash {

namespace {

namespace nor = orv::nor;

constexpr std::uint32_t KIB = 1024;
constexpr std::uint32_t MIB = 1024 * KIB;

struct Part {
    std::uint8_t manufacturer, type, capacity;
    const char* maker; // as the maker is known today, whatever JEP106 lists for its code
    const char* model;
    std::uint32_t size;
};

// Common parts, for revisions without an SFDP table. All have uniform 4, 32 and
// 64 KiB erases, and 4-byte opcodes above 16 MiB.
constexpr Part PARTS[] = {
    {0xEF, 0x40, 0x15, "Winbond", "W25Q16", 2 * MIB},
    {0xEF, 0x40, 0x16, "Winbond", "W25Q32", 4 * MIB},
    {0xEF, 0x40, 0x17, "Winbond", "W25Q64", 8 * MIB},
    {0xEF, 0x40, 0x18, "Winbond", "W25Q128", 16 * MIB},
    {0xEF, 0x40, 0x19, "Winbond", "W25Q256", 32 * MIB},
    {0xEF, 0x70, 0x18, "Winbond", "W25Q128JV-M", 16 * MIB},
    {0xC2, 0x20, 0x15, "Macronix", "MX25L1606E", 2 * MIB},
    {0xC2, 0x20, 0x16, "Macronix", "MX25L3233F", 4 * MIB},
    {0xC2, 0x20, 0x17, "Macronix", "MX25L6433F", 8 * MIB},
    {0xC2, 0x20, 0x18, "Macronix", "MX25L12835F", 16 * MIB},
    {0xC2, 0x20, 0x19, "Macronix", "MX25L25635F", 32 * MIB},
    {0xC8, 0x40, 0x15, "GigaDevice", "GD25Q16", 2 * MIB},
    {0xC8, 0x40, 0x16, "GigaDevice", "GD25Q32", 4 * MIB},
    {0xC8, 0x40, 0x17, "GigaDevice", "GD25Q64", 8 * MIB},
    {0xC8, 0x40, 0x18, "GigaDevice", "GD25Q128", 16 * MIB},
    {0x9D, 0x60, 0x17, "ISSI", "IS25LP064", 8 * MIB},
    {0x9D, 0x60, 0x18, "ISSI", "IS25LP128", 16 * MIB},
    {0x20, 0xBA, 0x18, "Micron", "N25Q128", 16 * MIB},
    {0x20, 0xBA, 0x19, "Micron", "MT25QL256", 32 * MIB},
};

std::string full_name(const Part& part)
{
    return std::string(part.maker) + " " + part.model;
}

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const Part* find_part(const JedecId& id)
{
    for (const Part& p : PARTS) {
        if (id.bank == 1 && id.bytes[0] == p.manufacturer && id.bytes[1] == p.type &&
            id.bytes[2] == p.capacity) {
            return &p;
        }
    }
    return nullptr;
}

FlashParams uniform_part(std::uint64_t size, FlashParams::Source source)
{
    FlashParams params;
    params.source = source;
    params.size = size;
    params.page_program_us = DEFAULT_PAGE_PROGRAM_US;
    params.page_program_max_us = DEFAULT_PAGE_PROGRAM_MAX_US;
    params.chip_erase_us = default_chip_erase_us(size);
    params.chip_erase_max_us = 5 * params.chip_erase_us;
    params.four_byte = size > nor::ADDRESS_SPACE_3 ? FourByteMode::opcodes : FourByteMode::none;
    return params;
}

bool odd_parity(std::uint8_t byte)
{
    return std::popcount(byte) % 2 == 1;
}

} // namespace

std::uint64_t JedecId::size_bytes() const
{
    unsigned code = bytes[2];
    return code >= 8 && code <= 32 ? (1ull << code) : 0;
}

const char* JedecId::vendor() const
{
    if (!odd_parity(bytes[0])) {
        return nullptr;
    }
    return jep106::manufacturer(bank, bytes[0] & 0x7Fu);
}

bool JedecId::blank() const
{
    return (bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0) ||
           (bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF);
}

std::optional<JedecId> parse_jedec_id(const std::uint8_t* bytes, std::size_t count)
{
    std::size_t at = 0;
    while (at < count && bytes[at] == nor::JEDEC_CONTINUATION) {
        ++at;
    }
    if (count - at < nor::JEDEC_ID_LENGTH) {
        return std::nullopt;
    }
    JedecId id;
    id.bank = static_cast<unsigned>(at) + 1;
    std::copy(bytes + at, bytes + at + nor::JEDEC_ID_LENGTH, id.bytes.begin());
    return id;
}

const char* source_name(FlashParams::Source source)
{
    switch (source) {
    case FlashParams::Source::sfdp:
        return "SFDP";
    case FlashParams::Source::part_table:
        return "built-in part table";
    case FlashParams::Source::capacity:
        return "JEDEC capacity byte";
    case FlashParams::Source::override_given:
        return "given part";
    }
    return "?";
}

const char* four_byte_name(FourByteMode mode)
{
    switch (mode) {
    case FourByteMode::none:
        return "3-byte";
    case FourByteMode::opcodes:
        return "4-byte opcodes";
    case FourByteMode::enter:
        return "4-byte mode (0xb7)";
    case FourByteMode::enter_after_wren:
        return "4-byte mode (write enable, 0xb7)";
    case FourByteMode::always:
        return "4-byte";
    }
    return "?";
}

EraseType standard_erase_type(std::uint32_t size)
{
    // W25Q data sheets: 4 KiB 45/400 ms, 32 KiB 120/1600 ms, 64 KiB 150/2000 ms.
    switch (size) {
    case 4 * KIB:
        return {size, nor::CMD_SECTOR_ERASE, nor::CMD_SECTOR_ERASE_4B, 45000, 400000};
    case 32 * KIB:
        return {size, nor::CMD_BLOCK_ERASE_32K, nor::CMD_BLOCK_ERASE_32K_4B, 120000, 1600000};
    case 64 * KIB:
        return {size, nor::CMD_BLOCK_ERASE_64K, nor::CMD_BLOCK_ERASE_64K_4B, 150000, 2000000};
    default:
        return {};
    }
}

std::uint64_t default_chip_erase_us(std::uint64_t size)
{
    // About 2.5 s per MiB, at least 1 s.
    return std::max<std::uint64_t>(1000000, size / MIB * 2500000);
}

std::optional<FlashParams> params_from_table(const JedecId& id)
{
    const Part* part = find_part(id);
    if (part == nullptr) {
        return std::nullopt;
    }
    FlashParams params = uniform_part(part->size, FlashParams::Source::part_table);
    params.part = full_name(*part);
    params.erase_types = {standard_erase_type(4 * KIB), standard_erase_type(32 * KIB),
                          standard_erase_type(64 * KIB)};
    return params;
}

std::optional<FlashParams> params_from_capacity(const JedecId& id)
{
    return params_for_size(id.size_bytes());
}

std::optional<FlashParams> params_for_size(std::uint64_t size)
{
    if (size < 64 * KIB) {
        return std::nullopt;
    }
    FlashParams params = uniform_part(size, FlashParams::Source::capacity);
    params.erase_types = {standard_erase_type(4 * KIB), standard_erase_type(64 * KIB)};
    return params;
}

std::string part_name(const JedecId& id)
{
    const Part* part = find_part(id);
    return part != nullptr ? full_name(*part) : "";
}

const char* maker_name(const JedecId& id)
{
    for (const Part& p : PARTS) {
        if (id.bank == 1 && id.bytes[0] == p.manufacturer) {
            return p.maker;
        }
    }
    return nullptr;
}

std::optional<FlashParams> params_by_name(std::string_view name)
{
    for (const Part& p : PARTS) {
        if (same_name(name, full_name(p)) || same_name(name, p.model)) {
            FlashParams params = uniform_part(p.size, FlashParams::Source::override_given);
            params.part = full_name(p);
            params.erase_types = {standard_erase_type(4 * KIB), standard_erase_type(32 * KIB),
                                  standard_erase_type(64 * KIB)};
            return params;
        }
    }
    return std::nullopt;
}

const char* table_part_name(std::size_t index)
{
    return index < std::size(PARTS) ? PARTS[index].model : nullptr;
}

void resize(FlashParams& params, std::uint64_t size)
{
    params.size = size;
    params.chip_erase_us = default_chip_erase_us(size);
    params.chip_erase_max_us = 5 * params.chip_erase_us;
    params.four_byte = size > nor::ADDRESS_SPACE_3 ? FourByteMode::opcodes : FourByteMode::none;
}

void normalise(FlashParams& params)
{
    constexpr std::uint32_t MAX_PAGE = 4096;
    if (params.page_size == 0 || params.page_size > MAX_PAGE) {
        params.page_size = nor::PAGE_SIZE;
    }
    auto& types = params.erase_types;
    std::erase_if(types, [&](const EraseType& t) {
        return !std::has_single_bit(t.size) || t.size < params.page_size || t.size > params.size;
    });
    std::stable_sort(types.begin(), types.end(),
                     [](const EraseType& a, const EraseType& b) { return a.size < b.size; });
    types.erase(std::unique(types.begin(), types.end(),
                            [](const EraseType& a, const EraseType& b) { return a.size == b.size; }),
                types.end());
    for (EraseType& t : types) {
        EraseType usual = standard_erase_type(t.size);
        if (t.opcode_4byte == 0 && usual.opcode == t.opcode) {
            t.opcode_4byte = usual.opcode_4byte;
        }
        if (t.typical_us == 0) {
            t.typical_us = usual.typical_us != 0 ? usual.typical_us : 150000;
        }
        if (t.max_us < t.typical_us) {
            t.max_us = 10 * t.typical_us;
        }
    }
    // With 4-byte opcodes an erase without one cannot reach the upper half.
    std::erase_if(types, [&](const EraseType& t) {
        return params.four_byte == FourByteMode::opcodes ? t.opcode_4byte == 0 : t.opcode == 0;
    });
    if (params.page_program_us == 0) {
        params.page_program_us = DEFAULT_PAGE_PROGRAM_US;
    }
    if (params.page_program_max_us < params.page_program_us) {
        params.page_program_max_us = std::max(DEFAULT_PAGE_PROGRAM_MAX_US, 4 * params.page_program_us);
    }
    if (params.chip_erase_us == 0) {
        params.chip_erase_us = default_chip_erase_us(params.size);
    }
    if (params.chip_erase_max_us < params.chip_erase_us) {
        params.chip_erase_max_us = 5 * params.chip_erase_us;
    }
}

} // namespace orv::dev::flash
