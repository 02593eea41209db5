#include "spi_flash.hpp"

#include <algorithm>

#include "errors.hpp"
#include "format.hpp"

namespace orvtool::spi {

namespace {

namespace nor = orv::nor;

// Busy limits well above the data-sheet maxima of common parts.
constexpr auto PAGE_PROGRAM_LIMIT = std::chrono::seconds(1);
constexpr auto SECTOR_ERASE_LIMIT = std::chrono::seconds(3);
constexpr auto CHIP_ERASE_LIMIT = std::chrono::seconds(400);

struct Vendor {
    std::uint8_t id;
    const char* name;
};
constexpr std::array<Vendor, 8> VENDORS{{
    {0x01, "Infineon/Spansion"},
    {0x1F, "Adesto"},
    {0x20, "Micron"},
    {0x9D, "ISSI"},
    {0xBF, "Microchip/SST"},
    {0xC2, "Macronix"},
    {0xC8, "GigaDevice"},
    {0xEF, "Winbond"},
}};

// Mode 0 (clock idles low), most significant bit first, chip select active
// low; a command byte, then addr_bytes of address.
lumo_spi_config config(std::uint32_t clock_khz, std::uint8_t addr_bytes)
{
    return lumo_spi_config{.clock_freq = clock_khz,
                           .bit_order = 0,
                           .clock_polarity = 0,
                           .reserved = 0,
                           .cs_polarity = 0,
                           .addr_bytes = addr_bytes,
                           .cmd_enable = 1};
}

std::string at(std::uint32_t addr)
{
    return " at " + hex(addr, 6);
}

} // namespace

std::uint64_t JedecId::size_bytes() const
{
    unsigned code = bytes[2];
    return code >= 8 && code <= 32 ? (1ull << code) : 0;
}

const char* JedecId::vendor() const
{
    for (const auto& v : VENDORS) {
        if (v.id == bytes[0]) {
            return v.name;
        }
    }
    return nullptr;
}

bool JedecId::blank() const
{
    return (bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0) ||
           (bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF);
}

std::vector<Piece> split_pages(std::uint32_t addr, std::uint32_t len)
{
    std::vector<Piece> pieces;
    std::uint32_t offset = 0;
    while (offset < len) {
        std::uint32_t at = addr + offset;
        std::uint32_t room = nor::PAGE_SIZE - at % nor::PAGE_SIZE;
        std::uint32_t n = std::min(room, len - offset);
        pieces.push_back(Piece{at, offset, n});
        offset += n;
    }
    return pieces;
}

Flash::Flash(const Link& link, std::uint32_t clock_khz)
    : link_(link), command_only_(config(clock_khz, 0)), addressed_(config(clock_khz, nor::ADDRESS_BYTES_3))
{
    check_result(lumo_spi_set_config(link_.handle, &command_only_, link_.timeout_ms),
                 "configuring the SPI port");
}

void Flash::transact(std::uint8_t command, std::optional<std::uint32_t> addr,
                     std::span<const std::uint8_t> out, std::span<std::uint8_t> in, const std::string& doing)
{
    // One data phase at most: bytes out or bytes in.
    auto len = static_cast<std::uint32_t>(in.empty() ? out.size() : in.size());
    check_result(lumo_spi_read_write_bytes(link_.handle, len, out.empty() ? nullptr : out.data(),
                                           in.empty() ? nullptr : in.data(), addr.value_or(0), command, 0,
                                           addr ? &addressed_ : &command_only_, link_.timeout_ms),
                 doing);
}

JedecId Flash::read_id()
{
    JedecId id;
    transact(nor::CMD_READ_JEDEC_ID, std::nullopt, {}, id.bytes, "reading the JEDEC ID");
    return id;
}

JedecId Flash::require_flash()
{
    JedecId id = read_id();
    if (id.blank()) {
        // A flash still busy with a program or erase that a failed run left
        // running answers only status reads: wait for it, then ask again.
        const std::uint8_t status = read_status();
        if (status != 0xFF && (status & nor::STATUS_BUSY) != 0) {
            wait_ready(CHIP_ERASE_LIMIT, "waiting for the flash to finish an earlier program or erase");
            id = read_id();
        }
    }
    if (id.blank()) {
        throw ToolError(Exit::failed, "no flash answers: the JEDEC ID reads " + hex_bytes(id.bytes),
                        "check the flash's power, chip select and MISO wiring, or lower --clock");
    }
    return id;
}

std::uint8_t Flash::read_status()
{
    std::uint8_t status = 0;
    transact(nor::CMD_READ_STATUS, std::nullopt, {}, std::span(&status, 1), "reading the status register");
    return status;
}

void Flash::read(std::uint32_t addr, std::span<std::uint8_t> out, const Progressed& progressed)
{
    for (std::size_t done = 0; done < out.size();) {
        std::size_t n = std::min<std::size_t>(LUMO_SPI_MAX_READ_BYTES, out.size() - done);
        auto chunk_addr = addr + static_cast<std::uint32_t>(done);
        transact(nor::CMD_READ, chunk_addr, {}, out.subspan(done, n), "reading" + at(chunk_addr));
        done += n;
        if (progressed) {
            progressed(done);
        }
    }
}

void Flash::write_command(std::uint8_t command, std::optional<std::uint32_t> addr,
                          std::span<const std::uint8_t> data, Clock::duration limit, const std::string& doing)
{
    transact(nor::CMD_WRITE_ENABLE, std::nullopt, {}, {}, "sending write enable");
    if ((read_status() & nor::STATUS_WEL) == 0) {
        throw ToolError(Exit::failed, "the flash did not set its write enable latch",
                        "the flash may be write-protected (WP# pin, or protection bits in its status "
                        "register)");
    }
    transact(command, addr, data, {}, doing);
    wait_ready(limit, doing);
}

void Flash::wait_ready(Clock::duration limit, const std::string& doing)
{
    auto deadline = Clock::now() + limit;
    while ((read_status() & nor::STATUS_BUSY) != 0) {
        if (Clock::now() > deadline) {
            throw ToolError(Exit::failed, doing + ": the flash stays busy",
                            "power-cycle the flash and retry; check the wiring");
        }
    }
}

std::size_t Flash::program(std::uint32_t addr, std::span<const std::uint8_t> data,
                           const Progressed& progressed)
{
    auto pieces = split_pages(addr, static_cast<std::uint32_t>(data.size()));
    for (const Piece& p : pieces) {
        write_command(nor::CMD_PAGE_PROGRAM, p.addr, data.subspan(p.offset, p.len), PAGE_PROGRAM_LIMIT,
                      "programming" + at(p.addr));
        if (progressed) {
            progressed(p.offset + p.len);
        }
    }
    return pieces.size();
}

void Flash::erase_sector(std::uint32_t addr)
{
    write_command(nor::CMD_SECTOR_ERASE, addr, {}, SECTOR_ERASE_LIMIT, "erasing the sector" + at(addr));
}

void Flash::erase_chip()
{
    write_command(nor::CMD_CHIP_ERASE, std::nullopt, {}, CHIP_ERASE_LIMIT, "erasing the chip");
}

} // namespace orvtool::spi
