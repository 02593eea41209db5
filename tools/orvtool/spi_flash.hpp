// A 25-series SPI NOR flash on the adapter's SPI connector, driven in mode 0,
// most significant bit first, chip select active low, with three address
// bytes: identification, reads, the status register, and the one write
// command step that every program and erase goes through (write enable, the
// operation, busy wait). Failures throw ToolError; nothing here prints.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <orv_lumo_spi.h>
#include <spi_nor.hpp>

#include "link.hpp"

namespace orvtool::spi {

struct JedecId {
    std::array<std::uint8_t, orv::nor::JEDEC_ID_LENGTH> bytes{};
    std::uint8_t manufacturer() const { return bytes[0]; }
    // 2^capacity byte when it is a plausible size (256 bytes .. 4 GiB), else 0.
    std::uint64_t size_bytes() const;
    const char* vendor() const; // null when unknown
    bool blank() const;         // 00 00 00 or ff ff ff: nothing answered
};

// Page program pieces: [addr, addr+len) cut at page boundaries.
struct Piece {
    std::uint32_t addr;
    std::uint32_t offset; // into the data
    std::uint32_t len;
};
std::vector<Piece> split_pages(std::uint32_t addr, std::uint32_t len);

class Flash {
public:
    // Configures the SPI connector for the flash at clock_khz.
    Flash(const Link& link, std::uint32_t clock_khz);

    JedecId read_id();
    // read_id(), refusing an empty bus; waits first for a flash still busy
    // with a program or erase (it answers nothing else meanwhile).
    JedecId require_flash();
    std::uint8_t read_status();

    // Reads [addr, addr + out.size()) in transactions of at most
    // LUMO_SPI_MAX_READ_BYTES; `progressed` gets the bytes read so far.
    void read(std::uint32_t addr, std::span<std::uint8_t> out, const Progressed& progressed = {});
    // Programs `data` at addr page by page; `progressed` gets the bytes
    // programmed so far. Returns the number of page programs.
    std::size_t program(std::uint32_t addr, std::span<const std::uint8_t> data,
                        const Progressed& progressed = {});
    // The 4 KiB sector at addr (aligned).
    void erase_sector(std::uint32_t addr);
    void erase_chip();

private:
    using Clock = std::chrono::steady_clock;

    // One transaction: the command byte, the address when given, then `out`
    // written or `in` read.
    void transact(std::uint8_t command, std::optional<std::uint32_t> addr, std::span<const std::uint8_t> out,
                  std::span<std::uint8_t> in, const std::string& doing);
    // Write enable (and a check that the latch is set), the command, then the
    // status polled until the busy bit clears, for at most `limit`.
    void write_command(std::uint8_t command, std::optional<std::uint32_t> addr,
                       std::span<const std::uint8_t> data, Clock::duration limit, const std::string& doing);
    // Polls the status until the busy bit clears, for at most `limit`.
    void wait_ready(Clock::duration limit, const std::string& doing);

    Link link_;
    lumo_spi_config command_only_; // the command byte alone
    lumo_spi_config addressed_;    // the command byte and three address bytes
};

} // namespace orvtool::spi
