#include "lib/devices/flash/spi_flash.hpp"

#include <algorithm>
#include <thread>
#include <vector>

#include "lib/wire/value_text.hpp"

#include "lib/devices/flash/sfdp.hpp"
#include "lib/devices/session/failure.hpp"

namespace orv::dev::flash {

namespace {

namespace nor = orv::nor;
using std::chrono::microseconds;

// Room for continuation codes before the three id bytes (banks up to 9).
constexpr std::size_t JEDEC_READ_LENGTH = 8 + nor::JEDEC_ID_LENGTH;
// What a busy wait allows beyond the part's longest time: the round trips
// of the polls themselves.
constexpr auto BUSY_MARGIN = std::chrono::milliseconds(100);
constexpr auto MIN_POLL_INTERVAL = microseconds(50);
// A command sent before this handle knew of it (by another program, or
// before a failure): polled every millisecond, for as long as the chip erase
// of the largest parts takes.
constexpr auto EARLIER_COMMAND_POLL = std::chrono::milliseconds(1);
constexpr auto EARLIER_COMMAND_LONGEST = std::chrono::seconds(200);

std::string at(std::uint64_t addr)
{
    return " at " + hex(addr, 6);
}

} // namespace

Flash::Flash(Session& session, std::uint32_t clock_khz)
    : Flash(std::make_unique<AdapterSpiBus>(session, clock_khz))
{
}

Flash::Flash(std::unique_ptr<SpiBus> bus) : bus_(std::move(bus)) {}

Flash::~Flash()
{
    if (entered_four_byte_) {
        // Best effort: a part left in 4-byte mode would confuse a boot ROM.
        try {
            settle(); // a busy part would ignore the command
            bus_->transact(SpiCommand{.command = nor::CMD_EXIT_4BYTE}, "leaving 4-byte address mode");
        } catch (const Failure&) {
            // The adapter is gone or failing: nothing to leave the mode with.
        }
    }
}

void Flash::transact(std::uint8_t command, std::optional<std::uint64_t> addr,
                     std::span<const std::uint8_t> out, std::span<std::uint8_t> in, const std::string& doing,
                     std::uint32_t dummy_clocks, bool sfdp)
{
    settle();
    send(command, addr, out, in, doing, dummy_clocks, sfdp);
}

void Flash::send(std::uint8_t command, std::optional<std::uint64_t> addr, std::span<const std::uint8_t> out,
                 std::span<std::uint8_t> in, const std::string& doing, std::uint32_t dummy_clocks, bool sfdp)
{
    bus_->transact(SpiCommand{.command = command,
                              .addr = addr,
                              .addr_bytes = sfdp ? unsigned{nor::ADDRESS_BYTES_3} : address_bytes_,
                              .dummy_clocks = dummy_clocks,
                              .out = out,
                              .in = in},
                   doing);
}

JedecId Flash::read_id()
{
    std::array<std::uint8_t, JEDEC_READ_LENGTH> bytes{};
    transact(nor::CMD_READ_JEDEC_ID, std::nullopt, {}, bytes, "reading the JEDEC ID");
    // Nothing but continuation codes: report them as the id, which blank()
    // does not accept either.
    return parse_jedec_id(bytes.data(), bytes.size()).value_or(JedecId{{0x7F, 0x7F, 0x7F}, 1});
}

JedecId Flash::require_flash()
{
    JedecId id = read_id();
    if (id.blank()) {
        // A flash still busy with a program or erase that a failed run left
        // running answers only status reads: wait for it (a chip erase of the
        // largest parts takes minutes), then ask again. One that answers its
        // status ready may have finished just after the ID was read: ask
        // again too. Nothing there reads 0xFF (MISO floats high).
        const std::uint8_t status = read_status();
        if (status != 0xFF) {
            if ((status & nor::STATUS_BUSY) != 0) {
                wait_ready(Clock::now(), Timing{EARLIER_COMMAND_POLL, EARLIER_COMMAND_LONGEST},
                           "waiting for the flash to finish an earlier program or erase");
            }
            id = read_id();
        }
    }
    if (id.blank()) {
        throw Failure(ORVDEV_ERROR_NO_FLASH, "no flash answers: the JEDEC ID reads " + hex_bytes(id.bytes),
                      "check the flash's power, chip select and MISO wiring, or lower the SPI clock");
    }
    return id;
}

std::optional<FlashParams> Flash::read_sfdp()
{
    std::array<std::uint8_t, nor::SFDP_HEADER_LENGTH> header{};
    auto read_at = [&](std::uint32_t addr, std::span<std::uint8_t> out) {
        transact(nor::CMD_READ_SFDP, addr, {}, out, "reading the SFDP table" + at(addr),
                 nor::SFDP_DUMMY_CLOCKS, true);
    };
    read_at(0, header);
    unsigned count = sfdp_table_count(header);
    if (count == 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> headers(count * nor::SFDP_PARAMETER_HEADER_LENGTH);
    read_at(nor::SFDP_HEADER_LENGTH, headers);
    std::vector<SfdpTable> tables = parse_sfdp_tables(headers);

    auto read_table = [&](const SfdpTable* t) {
        std::vector<std::uint8_t> bytes;
        if (t != nullptr && t->pointer < nor::ADDRESS_SPACE_3) {
            std::uint32_t dwords = std::min(t->dwords, SFDP_MAX_TABLE_DWORDS);
            bytes.resize(std::min<std::uint64_t>(4u * dwords, nor::ADDRESS_SPACE_3 - t->pointer));
            read_at(t->pointer, bytes);
        }
        return bytes;
    };
    std::vector<std::uint8_t> basic = read_table(find_sfdp_table(tables, nor::SFDP_BASIC_TABLE));
    std::vector<std::uint8_t> four_byte = read_table(find_sfdp_table(tables, nor::SFDP_FOUR_BYTE_TABLE));
    return parse_basic_table(basic, four_byte);
}

const FlashParams& Flash::identify(const Overrides& overrides)
{
    id_ = require_flash();
    std::optional<FlashParams> params;
    if (!overrides.part.empty()) {
        params = params_by_name(overrides.part);
        if (!params) {
            throw Failure(ORVDEV_ERROR_UNKNOWN_PART,
                          "no part called '" + overrides.part + "' in the built-in part table");
        }
    } else {
        params = read_sfdp();
        if (!params) {
            params = params_from_table(id_);
        }
        if (!params) {
            params = params_from_capacity(id_);
        }
    }
    if (overrides.size != 0) {
        if (!params) {
            params = params_for_size(overrides.size);
        }
        if (params) {
            resize(*params, overrides.size);
            normalise(*params);
        }
    }
    if (!params) {
        throw Failure(
            ORVDEV_ERROR_FLASH_UNKNOWN,
            "cannot tell the flash's size: no SFDP table, the JEDEC ID " + hex_bytes(id_.bytes) +
                " is not in the built-in part table and its capacity byte gives no size",
            "check the wiring (the id may be garbled), lower the SPI clock, or give the part or its "
            "size");
    }
    if (params->part.empty()) {
        params->part = part_name(id_);
    }
    params_ = std::move(*params);
    enter_four_byte_addressing();
    return params_;
}

void Flash::enter_four_byte_addressing()
{
    switch (params_.four_byte) {
    case FourByteMode::none:
        return;
    case FourByteMode::opcodes:
        four_byte_opcodes_ = true;
        break;
    case FourByteMode::enter_after_wren:
        transact(nor::CMD_WRITE_ENABLE, std::nullopt, {}, {}, "sending write enable");
        [[fallthrough]];
    case FourByteMode::enter:
        transact(nor::CMD_ENTER_4BYTE, std::nullopt, {}, {}, "entering 4-byte address mode");
        entered_four_byte_ = true;
        break;
    case FourByteMode::always:
        break;
    }
    address_bytes_ = nor::ADDRESS_BYTES_4;
}

std::uint8_t Flash::address_opcode(std::uint8_t three_byte, std::uint8_t four_byte) const
{
    return four_byte_opcodes_ ? four_byte : three_byte;
}

std::uint8_t Flash::read_status(std::uint8_t command)
{
    std::uint8_t status = 0;
    transact(command, std::nullopt, {}, std::span(&status, 1), "reading the status register");
    return status;
}

void Flash::write_status(std::uint8_t value)
{
    write_command(nor::CMD_WRITE_STATUS, std::nullopt, std::span(&value, 1),
                  {microseconds(STATUS_WRITE_US), microseconds(STATUS_WRITE_MAX_US)},
                  "writing the status register");
}

void Flash::write_status_pair(std::uint8_t status1, std::uint8_t status2)
{
    const std::array<std::uint8_t, 2> both{status1, status2};
    write_command(nor::CMD_WRITE_STATUS, std::nullopt, both,
                  {microseconds(STATUS_WRITE_US), microseconds(STATUS_WRITE_MAX_US)},
                  "writing the status registers");
}

void Flash::write_disable()
{
    transact(nor::CMD_WRITE_DISABLE, std::nullopt, {}, {}, "sending write disable");
}

void Flash::read_sfdp_bytes(std::uint32_t addr, std::span<std::uint8_t> out)
{
    for (std::size_t done = 0; done < out.size();) {
        std::size_t n = std::min<std::size_t>(bus_->max_read(), out.size() - done);
        const auto chunk_addr = static_cast<std::uint32_t>(addr + done);
        transact(nor::CMD_READ_SFDP, chunk_addr, {}, out.subspan(done, n),
                 "reading the SFDP table" + at(chunk_addr), nor::SFDP_DUMMY_CLOCKS, true);
        done += n;
    }
}

void Flash::read(std::uint64_t addr, std::span<std::uint8_t> out, const Progressed& progressed)
{
    const bool fast = params_.fast_read;
    const std::uint8_t command = fast ? address_opcode(nor::CMD_FAST_READ, params_.fast_read_4byte)
                                      : address_opcode(nor::CMD_READ, params_.read_4byte);
    const std::uint32_t dummy = fast ? nor::FAST_READ_DUMMY_CLOCKS : 0;
    for (std::size_t done = 0; done < out.size();) {
        std::size_t n = std::min<std::size_t>(bus_->max_read(), out.size() - done);
        std::uint64_t chunk_addr = addr + done;
        transact(command, chunk_addr, {}, out.subspan(done, n), "reading" + at(chunk_addr), dummy);
        done += n;
        if (progressed) {
            progressed(done);
        }
    }
}

void Flash::write_command(std::uint8_t command, std::optional<std::uint64_t> addr,
                          std::span<const std::uint8_t> data, Timing timing, const std::string& doing,
                          bool check_latch, const Sending& sending)
{
    try {
        transact(nor::CMD_WRITE_ENABLE, std::nullopt, {}, {}, "sending write enable");
        if (check_latch || !latch_checked_) {
            require_latch(doing);
        }
        // From here the part may be busy with the command, whatever fails
        // (a transfer reported failed may have reached it all the same).
        last_command_ = timing;
        may_be_busy_ = true;
        if (sending) {
            sending();
        }
        send(command, addr, data, {}, doing);
        wait_ready(Clock::now(), timing, doing);
        may_be_busy_ = false;
    } catch (const Failure&) {
        // The next command checks the latch again.
        latch_checked_ = false;
        throw;
    }
}

void Flash::require_latch(const std::string& doing)
{
    std::uint8_t status = read_status();
    if ((status & nor::STATUS_WEL) == 0 && (status & nor::STATUS_BUSY) != 0) {
        // Busy with a command another program sent: a busy part ignores the
        // write enable. Wait for it, then ask again.
        wait_ready(Clock::now(), Timing{EARLIER_COMMAND_POLL, EARLIER_COMMAND_LONGEST},
                   doing + ": waiting for the flash to finish an earlier program or erase", true);
        transact(nor::CMD_WRITE_ENABLE, std::nullopt, {}, {}, "sending write enable");
        status = read_status();
    }
    if ((status & nor::STATUS_WEL) == 0) {
        throw Failure(ORVDEV_ERROR_FLASH_WRITE_ENABLE,
                      doing + ": the flash did not set its write enable latch (status " + hex(status, 2) +
                          ")",
                      "the flash may be held in reset or write-protected: check its wiring and its status "
                      "register");
    }
    latch_checked_ = true;
}

void Flash::settle()
{
    if (!may_be_busy_) {
        return;
    }
    wait_ready(Clock::now(), last_command_,
               "waiting for the flash to finish the command that was under way when the failure came", true);
    may_be_busy_ = false;
}

std::uint8_t Flash::poll_status()
{
    std::uint8_t status = 0;
    send(nor::CMD_READ_STATUS, std::nullopt, {}, std::span(&status, 1), "reading the status register");
    return status;
}

void Flash::wait_ready(Clock::time_point started, Timing timing, const std::string& doing, bool poll_at_once)
{
    const auto deadline = started + timing.longest + timing.longest / 2 + BUSY_MARGIN;
    const auto interval = std::max<Clock::duration>(timing.typical / 8, MIN_POLL_INTERVAL);
    // A status read samples the flash about half its round trip after it
    // starts: start the first one so that it samples at the typical time.
    auto next = poll_at_once ? started : started + timing.typical - poll_round_trip_ / 2;
    for (;;) {
        std::this_thread::sleep_until(next);
        auto before = Clock::now();
        std::uint8_t status = poll_status();
        auto after = Clock::now();
        poll_round_trip_ = poll_round_trip_ == Clock::duration{}
                               ? after - before
                               : (3 * poll_round_trip_ + (after - before)) / 4;
        if ((status & nor::STATUS_BUSY) == 0) {
            return;
        }
        // Only a poll that started after the deadline may fail the wait: a
        // slow round trip (a loaded host, a slow USB path) that carried the
        // deadline past an earlier poll does not count against the flash.
        if (before > deadline) {
            throw Failure(ORVDEV_ERROR_FLASH_BUSY, doing + ": the flash stays busy",
                          "power-cycle the flash and retry; check the wiring");
        }
        next = after + interval - std::min<Clock::duration>(interval, poll_round_trip_);
    }
}

void Flash::program(std::uint64_t addr, std::span<const std::uint8_t> data)
{
    write_command(address_opcode(nor::CMD_PAGE_PROGRAM, params_.program_4byte), addr, data,
                  {microseconds(params_.page_program_us), microseconds(params_.page_program_max_us)},
                  "programming" + at(addr), false);
}

void Flash::erase(std::uint64_t addr, const EraseType& type, const Sending& sending)
{
    write_command(address_opcode(type.opcode, type.opcode_4byte), addr, {},
                  {microseconds(type.typical_us), microseconds(type.max_us)},
                  "erasing the " + size_text(type.size) + " block" + at(addr), true, sending);
}

void Flash::erase_chip(const Sending& sending)
{
    write_command(nor::CMD_CHIP_ERASE, std::nullopt, {},
                  {microseconds(params_.chip_erase_us), microseconds(params_.chip_erase_max_us)},
                  "erasing the chip", true, sending);
}

} // namespace orv::dev::flash
