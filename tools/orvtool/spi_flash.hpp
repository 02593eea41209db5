// A 25-series SPI NOR flash on the adapter's SPI connector, driven in mode 0,
// most significant bit first, chip select active low: identification (JEDEC
// ID, SFDP, the built-in part table), reads (fast read where the part has
// it), the status registers, and the one write command step that every
// program, erase and status write goes through (write enable, the command,
// then the busy bit polled with waits of the part's typical time, up to a
// limit from its longest time). Parts above 16 MiB are addressed with 4-byte
// opcodes or in 4-byte address mode, whichever they offer. Failures throw
// ToolError; nothing here prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <orv_lumo_spi.h>

#include "flash_params.hpp"
#include "link.hpp"

namespace orvtool::spi {

class Flash {
public:
    // Configures the SPI connector for the flash at clock_khz.
    Flash(const Link& link, std::uint32_t clock_khz);
    // Leaves 4-byte address mode when identify() entered it.
    ~Flash();
    Flash(Flash&&) noexcept;
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;
    Flash& operator=(Flash&&) = delete;

    // Command 0x9F with room for continuation codes.
    JedecId read_id();
    // read_id(), refusing an empty bus; waits first for a flash still busy
    // with a program or erase (it answers nothing else meanwhile).
    JedecId require_flash();
    // The SFDP tables, or empty when the part has none that parse.
    std::optional<FlashParams> read_sfdp();
    // The JEDEC ID and the part's parameters (SFDP, else the built-in table,
    // else the capacity byte); sets up addressing of the whole part. Throws
    // when none of them gives a size.
    const FlashParams& identify();
    const FlashParams& params() const { return params_; }
    const JedecId& id() const { return id_; }

    // Status register 1 (0x05), or another status register by its command.
    std::uint8_t read_status(std::uint8_t command = orv::nor::CMD_READ_STATUS);
    // Write enable, 0x01 with one byte, and the wait.
    void write_status(std::uint8_t value);
    // Write disable: clears a write enable latch left set.
    void write_disable();

    // Reads [addr, addr + out.size()) in transactions of at most
    // LUMO_SPI_MAX_READ_BYTES; `progressed` gets the bytes read so far.
    void read(std::uint64_t addr, std::span<std::uint8_t> out, const Progressed& progressed = {});
    // One page program; [addr, addr + data.size()) stays within one page.
    void program(std::uint64_t addr, std::span<const std::uint8_t> data);
    // The block of `type` at addr (aligned).
    void erase(std::uint64_t addr, const EraseType& type);
    void erase_chip();

private:
    using Clock = std::chrono::steady_clock;
    struct Timing {
        std::chrono::microseconds typical;
        std::chrono::microseconds longest;
    };

    void configure(std::uint8_t addr_bytes);
    // One transaction: the command byte, the address when given (three or
    // four bytes as configured, or three for SFDP), dummy clocks, then `out`
    // written or `in` read.
    void transact(std::uint8_t command, std::optional<std::uint64_t> addr, std::span<const std::uint8_t> out,
                  std::span<std::uint8_t> in, const std::string& doing, std::uint32_t dummy_clocks = 0,
                  bool sfdp = false);
    // Write enable (with a check of the latch the first time, or always when
    // `check_latch`), the command, then wait_ready.
    void write_command(std::uint8_t command, std::optional<std::uint64_t> addr,
                       std::span<const std::uint8_t> data, Timing timing, const std::string& doing,
                       bool check_latch = true);
    // Polls the busy bit: first after the typical time less one poll's
    // round trip, then every eighth of it, until the busy bit clears or the
    // limit (the longest time and a margin) passes.
    void wait_ready(Clock::time_point started, Timing timing, const std::string& doing);
    void enter_four_byte_addressing();
    std::uint8_t address_opcode(std::uint8_t three_byte, std::uint8_t four_byte) const;

    Link link_;
    std::uint32_t clock_khz_;
    lumo_spi_config command_only_; // the command byte alone
    lumo_spi_config addressed_;    // the command byte and the address bytes
    lumo_spi_config sfdp_;         // the command byte and three address bytes
    JedecId id_{};
    FlashParams params_{};
    bool four_byte_opcodes_ = false;
    bool entered_four_byte_ = false;
    bool latch_checked_ = false;
    Clock::duration poll_round_trip_{};
};

} // namespace orvtool::spi
