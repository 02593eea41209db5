// Fuzz target: the SFDP space of a hostile or broken flash, read as the
// device library reads it at open.
//
// The input is the SFDP space itself, from address 0; addresses past its end
// read 0xFF, as from a part with nothing there. The target takes the header,
// the parameter headers it counts and the tables they point at, the way the
// flash driver does, and parses them. Beyond memory errors, undefined
// behaviour and time, it checks what must hold for any table:
//   - at most SFDP_MAX_TABLES parameter headers, and the table found is one
//     of them, of major revision 1 and not empty;
//   - parameters that come back describe a usable part: a size of a page to
//     4 GiB, a power-of-two page of at most 4 KiB, erase types of growing
//     powers of two between a page and the part's size, each with the opcode
//     its address mode uses and times no shorter than their typical ones.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "lib/devices/flash/sfdp.hpp"
#include "lib/wire/spi_nor.hpp"

namespace {

using orv::dev::flash::FlashParams;
using orv::dev::flash::FourByteMode;
using orv::dev::flash::SfdpTable;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// `len` bytes of the SFDP space at `addr` (24-bit addresses, as the part
// takes them).
std::vector<std::uint8_t> read_space(std::span<const std::uint8_t> space, std::uint64_t addr, std::size_t len)
{
    std::vector<std::uint8_t> out(len, 0xFF);
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint64_t at = (addr + i) & 0xFFFFFF;
        if (at < space.size()) {
            out[i] = space[at];
        }
    }
    return out;
}

void check_params(const FlashParams& p)
{
    require(p.size >= orv::nor::PAGE_SIZE && p.size <= (std::uint64_t{1} << 32));
    require(std::has_single_bit(p.page_size) && p.page_size <= 4096);
    require(p.page_program_us != 0 && p.page_program_max_us >= p.page_program_us);
    require(p.chip_erase_us != 0 && p.chip_erase_max_us >= p.chip_erase_us);
    for (std::size_t i = 0; i < p.erase_types.size(); ++i) {
        const auto& t = p.erase_types[i];
        require(std::has_single_bit(t.size) && t.size >= p.page_size && t.size <= p.size);
        require(i == 0 || t.size > p.erase_types[i - 1].size);
        require((p.four_byte == FourByteMode::opcodes ? t.opcode_4byte : t.opcode) != 0);
        require(t.typical_us != 0 && t.max_us >= t.typical_us);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace flash = orv::dev::flash;
    const std::span<const std::uint8_t> space(data, size);

    const std::vector<std::uint8_t> header = read_space(space, 0, orv::nor::SFDP_HEADER_LENGTH);
    const unsigned count = flash::sfdp_table_count(header);
    require(count <= flash::SFDP_MAX_TABLES);
    const std::vector<std::uint8_t> headers = read_space(
        space, orv::nor::SFDP_HEADER_LENGTH, std::size_t{count} * orv::nor::SFDP_PARAMETER_HEADER_LENGTH);
    const std::vector<SfdpTable> tables = flash::parse_sfdp_tables(headers);
    require(tables.size() == count);

    const auto table = [&](std::uint16_t id) {
        const SfdpTable* t = flash::find_sfdp_table(tables, id);
        if (t == nullptr) {
            return std::vector<std::uint8_t>{};
        }
        require(t >= tables.data() && t < tables.data() + tables.size());
        require(t->id == id && t->major == 1 && t->dwords > 0);
        const std::uint32_t dwords = std::min(t->dwords, flash::SFDP_MAX_TABLE_DWORDS);
        return read_space(space, t->pointer, std::size_t{dwords} * 4);
    };
    const std::vector<std::uint8_t> basic = table(orv::nor::SFDP_BASIC_TABLE);
    const std::vector<std::uint8_t> four_byte = table(orv::nor::SFDP_FOUR_BYTE_TABLE);
    if (auto params = flash::parse_basic_table(basic, four_byte)) {
        check_params(*params);
    }
    // The parser on tables of any length, not only those a header announces.
    const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    if (auto params = flash::parse_basic_table(space.subspan(0, cut), space.subspan(cut))) {
        check_params(*params);
    }
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}
