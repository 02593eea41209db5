// The C functions of the SPI NOR flash.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "lib/wire/spi_nor.hpp"
#include "lib/wire/value_text.hpp"

#include "lib/devices/flash/flash_handle.hpp"
#include "lib/devices/flash/flash_write.hpp"
#include "lib/devices/flash/sfdp.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;
using namespace orv::dev::flash;

namespace {

namespace nor = orv::nor;

// The largest part four address bytes reach.
constexpr std::uint64_t MAX_FLASH_SIZE = std::uint64_t{1} << 32;
constexpr std::uint64_t MIN_FLASH_SIZE = 256;

orvdev_clock to_c(const orv::ClockChoice& c)
{
    return orvdev_clock{c.actual_hz, c.divisor, c.request_khz, c.raised ? 1 : 0};
}

std::int32_t source_code(FlashParams::Source source)
{
    switch (source) {
    case FlashParams::Source::sfdp:
        return ORVDEV_SOURCE_SFDP;
    case FlashParams::Source::part_table:
        return ORVDEV_SOURCE_TABLE;
    case FlashParams::Source::capacity:
        return ORVDEV_SOURCE_CAPACITY;
    case FlashParams::Source::override_given:
        return ORVDEV_SOURCE_OVERRIDE;
    }
    return ORVDEV_SOURCE_CAPACITY;
}

std::int32_t four_byte_code(FourByteMode mode)
{
    switch (mode) {
    case FourByteMode::none:
        return ORVDEV_ADDRESS_3;
    case FourByteMode::opcodes:
        return ORVDEV_ADDRESS_4_OPCODES;
    case FourByteMode::enter:
        return ORVDEV_ADDRESS_4_ENTER;
    case FourByteMode::enter_after_wren:
        return ORVDEV_ADDRESS_4_ENTER_WREN;
    case FourByteMode::always:
        return ORVDEV_ADDRESS_4_ALWAYS;
    }
    return ORVDEV_ADDRESS_3;
}

void copy_erased(const std::vector<EraseCount>& from, orvdev_erase_count* to, std::uint32_t& count)
{
    count = 0;
    for (const EraseCount& e : from) {
        if (count == ORVDEV_FLASH_ERASE_TYPES_MAX) {
            break;
        }
        to[count++] = orvdev_erase_count{e.size, e.count};
    }
}

} // namespace

void orv::dev::flash::check_range(const Flash& flash, std::uint64_t addr, std::uint64_t len)
{
    const std::uint64_t size = flash.params().size;
    if (addr >= size || len > size - addr) {
        throw Failure(ORVDEV_ERROR_OUT_OF_RANGE,
                      "the range " + orv::hex(addr, 6) + " + " + orv::count_text(len, "byte") +
                          " goes past the end of the " + orv::size_text(size) + " flash");
    }
}

void orv::dev::flash::write_report_to_c(const WriteReport& r, orvdev_write_report* out)
{
    if (out == nullptr) {
        return;
    }
    std::memset(out, 0, sizeof *out);
    out->addr = r.addr;
    out->len = r.len;
    out->unchanged_bytes = r.unchanged_bytes;
    out->chip_erased = r.chip_erased ? 1 : 0;
    copy_erased(r.erased, out->erased, out->erased_count);
    out->pages_programmed = r.pages_programmed;
    out->verify = r.verify ? 1 : 0;
    out->verified_bytes = r.verified_bytes;
    out->erases_planned = r.erases_planned;
    out->pages_planned = r.pages_planned;
    out->range_addr = r.range.addr;
    out->range_len = r.range.len;
}

WriteOptions orv::dev::flash::write_options_from_c(const orvdev_write_options* options)
{
    orvdev_write_options chosen{};
    orvdev_write_options_init(&chosen);
    if (options != nullptr) {
        chosen = *options;
    }
    WriteOptions o;
    o.verify = chosen.verify != 0;
    o.backup_file = chosen.backup_file != nullptr ? chosen.backup_file : "";
    o.recovery_dir = chosen.recovery_dir != nullptr ? chosen.recovery_dir : "";
    return o;
}

void orv::dev::flash::throw_mismatch(const Mismatch& m, orvdev_mismatch* mismatch)
{
    if (mismatch != nullptr) {
        *mismatch = orvdev_mismatch{m.addr, m.expected, m.found, m.count};
    }
    throw Failure(ORVDEV_ERROR_MISMATCH, "the flash differs at " + orv::hex(m.addr, 6) + " (expected " +
                                             orv::hex(m.expected, 2) + ", read " + orv::hex(m.found, 2) +
                                             "; " + orv::count_text(m.count, "byte") +
                                             (m.count == 1 ? " differs" : " differ") + " in all)");
}

extern "C" {

void orvdev_flash_options_init(orvdev_flash_options* options)
{
    if (options != nullptr) {
        *options = orvdev_flash_options{6000, nullptr, 0};
    }
}

void orvdev_write_options_init(orvdev_write_options* options)
{
    if (options != nullptr) {
        *options = orvdev_write_options{1, nullptr, nullptr};
    }
}

int32_t orvdev_flash_open(orvdev_session* session, const orvdev_flash_options* options, orvdev_flash** out,
                          orvdev_report* report)
{
    if (session == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no session, or nowhere to put the flash handle");
    }
    orvdev_flash_options chosen{};
    orvdev_flash_options_init(&chosen);
    if (options != nullptr) {
        chosen = *options;
    }
    if (chosen.clock_khz == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "an SPI clock of 0 kHz");
    }
    if (chosen.size != 0 &&
        (!std::has_single_bit(chosen.size) || chosen.size < MIN_FLASH_SIZE || chosen.size > MAX_FLASH_SIZE)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "a flash size must be a power of two from 256 bytes to 4 GiB");
    }
    Overrides overrides;
    if (chosen.part != nullptr && chosen.part[0] != '\0') {
        overrides.part = chosen.part;
        if (!params_by_name(overrides.part)) {
            return refuse(report, ORVDEV_ERROR_UNKNOWN_PART,
                          ("no part called '" + overrides.part + "' in the built-in part table").c_str());
        }
    }
    overrides.size = chosen.size;
    orvdev_flash* flash = nullptr;
    const std::int32_t rc = guarded(session, report, [&] {
        std::unique_ptr<orvdev_flash> made(new orvdev_flash{Flash(*session, chosen.clock_khz)});
        made->flash.identify(overrides);
        flash = made.release();
    });
    if (rc == 0) {
        *out = flash;
    }
    return rc;
}

void orvdev_flash_close(orvdev_flash* flash)
{
    delete flash;
}

void orvdev_flash_get_info(const orvdev_flash* flash, orvdev_flash_info* info)
{
    if (flash == nullptr || info == nullptr) {
        return;
    }
    std::memset(info, 0, sizeof *info);
    const JedecId& id = flash->flash.id();
    const FlashParams& p = flash->flash.params();
    std::copy(id.bytes.begin(), id.bytes.end(), info->jedec_id);
    info->jep106_bank = id.bank;
    info->vendor = id.vendor();
    info->maker = maker_name(id);
    std::snprintf(info->part, sizeof info->part, "%s", p.part.c_str());
    info->source = source_code(p.source);
    info->size = p.size;
    info->capacity_size = id.size_bytes();
    info->page_size = p.page_size;
    for (const EraseType& t : p.erase_types) {
        if (info->erase_type_count == ORVDEV_FLASH_ERASE_TYPES_MAX) {
            break;
        }
        info->erase_types[info->erase_type_count++] =
            orvdev_erase_type{t.size, t.opcode, t.opcode_4byte, t.typical_us, t.max_us};
    }
    info->chip_erase_opcode = nor::CMD_CHIP_ERASE;
    info->page_program_us = p.page_program_us;
    info->page_program_max_us = p.page_program_max_us;
    info->chip_erase_us = p.chip_erase_us;
    info->chip_erase_max_us = p.chip_erase_max_us;
    info->fast_read = p.fast_read ? 1 : 0;
    info->four_byte = four_byte_code(p.four_byte);
    info->clock = to_c(flash->flash.clock());
}

const char* orvdev_flash_source_name(int32_t source)
{
    switch (source) {
    case ORVDEV_SOURCE_SFDP:
        return source_name(FlashParams::Source::sfdp);
    case ORVDEV_SOURCE_TABLE:
        return source_name(FlashParams::Source::part_table);
    case ORVDEV_SOURCE_CAPACITY:
        return source_name(FlashParams::Source::capacity);
    case ORVDEV_SOURCE_OVERRIDE:
        return source_name(FlashParams::Source::override_given);
    default:
        return "?";
    }
}

const char* orvdev_flash_four_byte_name(int32_t four_byte)
{
    switch (four_byte) {
    case ORVDEV_ADDRESS_3:
        return four_byte_name(FourByteMode::none);
    case ORVDEV_ADDRESS_4_OPCODES:
        return four_byte_name(FourByteMode::opcodes);
    case ORVDEV_ADDRESS_4_ENTER:
        return four_byte_name(FourByteMode::enter);
    case ORVDEV_ADDRESS_4_ENTER_WREN:
        return four_byte_name(FourByteMode::enter_after_wren);
    case ORVDEV_ADDRESS_4_ALWAYS:
        return four_byte_name(FourByteMode::always);
    default:
        return "?";
    }
}

const char* orvdev_flash_part_name(size_t index)
{
    return table_part_name(index);
}

int32_t orvdev_flash_read(orvdev_flash* flash, uint64_t addr, uint8_t* buf, uint64_t len,
                          orvdev_report* report)
{
    if (flash == nullptr || (buf == nullptr && len != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, or no buffer");
    }
    return guarded(&flash->flash.session(), report, [&] {
        check_range(flash->flash, addr, len);
        read_range(flash->flash, addr, std::span(buf, static_cast<std::size_t>(len)));
    });
}

int32_t orvdev_flash_write(orvdev_flash* flash, uint64_t addr, const uint8_t* data, uint64_t len,
                           const orvdev_write_options* options, orvdev_write_report* result,
                           orvdev_report* report)
{
    if (result != nullptr) {
        std::memset(result, 0, sizeof *result);
    }
    if (flash == nullptr || (data == nullptr && len != 0) || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, or no data to write");
    }
    const WriteOptions o = write_options_from_c(options);
    WriteReport r;
    const std::int32_t rc = guarded(&flash->flash.session(), report, [&] {
        check_range(flash->flash, addr, len);
        write_image(flash->flash, addr, std::span(data, static_cast<std::size_t>(len)), o, r);
    });
    write_report_to_c(r, result);
    return rc;
}

int32_t orvdev_flash_verify(orvdev_flash* flash, uint64_t addr, const uint8_t* data, uint64_t len,
                            orvdev_mismatch* mismatch, orvdev_report* report)
{
    if (mismatch != nullptr) {
        std::memset(mismatch, 0, sizeof *mismatch);
    }
    if (flash == nullptr || (data == nullptr && len != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, or no data to compare");
    }
    return guarded(&flash->flash.session(), report, [&] {
        check_range(flash->flash, addr, len);
        const auto m = verify_image(flash->flash, addr, std::span(data, static_cast<std::size_t>(len)));
        if (m) {
            throw_mismatch(*m, mismatch);
        }
    });
}

int32_t orvdev_flash_erase(orvdev_flash* flash, uint64_t addr, uint64_t len, int32_t chip,
                           orvdev_erase_report* result, orvdev_report* report)
{
    if (result != nullptr) {
        std::memset(result, 0, sizeof *result);
    }
    if (flash == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle");
    }
    return guarded(&flash->flash.session(), report, [&] {
        const FlashParams& p = flash->flash.params();
        if (chip != 0) {
            addr = 0;
            len = p.size;
        } else {
            if (len == 0) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, "nothing to erase: the length is 0");
            }
            check_range(flash->flash, addr, len);
            const std::uint64_t unit = p.erase_types.empty() ? nor::SECTOR_SIZE : p.erase_types.front().size;
            if (addr % unit != 0 || len % unit != 0) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
                              "this part erases no less than " + orv::size_text(unit) +
                                  " at a time: " + orv::hex(addr, 6) + ".." + orv::hex(addr + len - 1, 6) +
                                  " is not made of whole blocks");
            }
        }
        const EraseReport r = erase_range(flash->flash, addr, len, chip != 0);
        if (result != nullptr) {
            result->chip_erased = r.chip_erased ? 1 : 0;
            copy_erased(r.erased, result->erased, result->erased_count);
            result->checked_bytes = r.checked_bytes;
        }
    });
}

int32_t orvdev_flash_read_status(orvdev_flash* flash, orvdev_flash_status* status, orvdev_report* report)
{
    if (flash == nullptr || status == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, or nowhere to put the status");
    }
    return guarded(&flash->flash.session(), report, [&] {
        const std::uint8_t status1 = flash->flash.read_status();
        const std::uint8_t status2 = flash->flash.read_status(nor::CMD_READ_STATUS_2);
        const std::uint8_t status3 = flash->flash.read_status(nor::CMD_READ_STATUS_3);
        orvdev_flash_status_decode(status1, status2, status3, flash->flash.params().size, status);
    });
}

void orvdev_flash_status_decode(uint8_t status1, uint8_t status2, uint8_t status3, uint64_t size,
                                orvdev_flash_status* status)
{
    if (status == nullptr) {
        return;
    }
    orvdev_flash_status s{};
    s.status1 = status1;
    s.status2 = status2;
    s.status3 = status3;
    // A register the part lacks reads 0xFF (MISO not driven): no CMP then.
    const bool cmp = status2 != 0xFF && (status2 & nor::STATUS2_CMP) != 0;
    const Protection p = decode_protection(status1, size, cmp);
    s.cmp = cmp ? 1 : 0;
    s.busy = (status1 & nor::STATUS_BUSY) != 0 ? 1 : 0;
    s.write_enabled = (status1 & nor::STATUS_WEL) != 0 ? 1 : 0;
    s.bp = p.bp;
    s.tb = p.tb ? 1 : 0;
    s.sec = p.sec ? 1 : 0;
    s.srp = p.srp ? 1 : 0;
    s.protected_from = p.from;
    s.protected_to = p.to;
    *status = s;
}

int32_t orvdev_flash_unprotect(orvdev_flash* flash, uint8_t* before, uint8_t* after, orvdev_report* report)
{
    if (flash == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle");
    }
    return guarded(&flash->flash.session(), report, [&] {
        const UnprotectReport r = unprotect(flash->flash);
        if (before != nullptr) {
            *before = r.before;
        }
        if (after != nullptr) {
            *after = r.after;
        }
    });
}

int32_t orvdev_flash_protect(orvdev_flash* flash, uint64_t addr, uint64_t len, orvdev_report* report)
{
    if (flash == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle");
    }
    return guarded(&flash->flash.session(), report, [&] {
        if (len != 0) {
            check_range(flash->flash, addr, len);
        }
        (void)protect(flash->flash, addr, len);
    });
}

int32_t orvdev_flash_protectable(orvdev_flash* flash, orvdev_range* ranges, uint32_t capacity,
                                 uint32_t* count, orvdev_report* report)
{
    if (flash == nullptr || count == nullptr || (ranges == nullptr && capacity != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, or nowhere to put the ranges");
    }
    *count = 0;
    return guarded(&flash->flash.session(), report, [&] {
        for (const ProtectionSetting& s : protectable(flash->flash)) {
            if (s.to > s.from && *count < capacity) {
                ranges[(*count)++] = orvdev_range{s.from, s.to - s.from};
            }
        }
    });
}

int32_t orvdev_flash_read_sfdp(orvdev_flash* flash, uint32_t addr, uint8_t* buf, uint32_t len,
                               orvdev_report* report)
{
    if (flash == nullptr || buf == nullptr || std::uint64_t{addr} + len > nor::ADDRESS_SPACE_3) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no flash handle or buffer, or past 3-byte addresses");
    }
    return guarded(&flash->flash.session(), report,
                   [&] { flash->flash.read_sfdp_bytes(addr, std::span(buf, len)); });
}

int32_t orvdev_flash_sfdp_tables(orvdev_flash* flash, uint8_t* major, uint8_t* minor,
                                 orvdev_sfdp_table* tables, uint32_t* count, orvdev_report* report)
{
    if (flash == nullptr || tables == nullptr || count == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no flash handle, or nowhere to put the tables");
    }
    *count = 0;
    return guarded(&flash->flash.session(), report, [&] {
        std::array<std::uint8_t, nor::SFDP_HEADER_LENGTH> header{};
        flash->flash.read_sfdp_bytes(0, header);
        const unsigned n = sfdp_table_count(header);
        if (n == 0) {
            throw Failure(ORVDEV_ERROR_NO_SFDP,
                          "the flash has no SFDP table: its header reads " + orv::hex_bytes(header));
        }
        // After the signature: minor revision, major revision.
        if (minor != nullptr) {
            *minor = header[4];
        }
        if (major != nullptr) {
            *major = header[5];
        }
        Bytes headers(n * nor::SFDP_PARAMETER_HEADER_LENGTH);
        flash->flash.read_sfdp_bytes(nor::SFDP_HEADER_LENGTH, headers);
        for (const SfdpTable& t : parse_sfdp_tables(headers)) {
            if (*count == ORVDEV_SFDP_TABLES_MAX) {
                break;
            }
            tables[(*count)++] = orvdev_sfdp_table{t.id, t.major, t.minor, t.dwords, t.pointer};
        }
    });
}

} // extern "C"
