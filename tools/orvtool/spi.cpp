#include "spi.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include <orv_lumo_spi.h>
#include <orv_tapwire.h>

#include "errors.hpp"

namespace orvtool::spi {

namespace {

using Clock = std::chrono::steady_clock;

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

// One flash on the adapter's SPI port: mode 0, MSB first, chip select active
// low, three address bytes.
class Flash {
public:
    Flash(const Context& ctx, const Options& options) : ctx_(ctx)
    {
        command_.clock_freq = options.clock_khz;
        command_.bit_order = 0;
        command_.clock_polarity = 0;
        command_.reserved = 0;
        command_.cs_polarity = 0;
        command_.addr_bytes = 0;
        command_.cmd_enable = 1;
        addressed_ = command_;
        addressed_.addr_bytes = 3;
        check_result(lumo_spi_set_config(ctx_.handle, &command_, ctx_.timeout_ms),
                     "configuring the SPI port");
    }

    JedecId read_id()
    {
        JedecId id;
        check_result(lumo_spi_read_write_bytes(ctx_.handle, 3, nullptr, id.bytes.data(), 0, CMD_READ_ID, 0,
                                               &command_, ctx_.timeout_ms),
                     "reading the JEDEC ID");
        return id;
    }

    // Reads the id and refuses an empty bus.
    JedecId require_flash()
    {
        JedecId id = read_id();
        if (id.blank()) {
            throw ToolError(Exit::failed, "no flash answers: the JEDEC ID reads " + hex_bytes(id.bytes),
                            "check the flash's power, chip select and MISO wiring, or lower --clock");
        }
        return id;
    }

    void read(std::uint32_t addr, std::span<std::uint8_t> out)
    {
        check_result(lumo_spi_read_write_bytes(ctx_.handle, static_cast<std::uint32_t>(out.size()), nullptr,
                                               out.data(), addr, CMD_READ, 0, &addressed_, ctx_.timeout_ms),
                     "reading at " + hex(addr, 6));
    }

    std::uint8_t status()
    {
        std::uint8_t s = 0;
        check_result(lumo_spi_read_write_bytes(ctx_.handle, 1, nullptr, &s, 0, CMD_READ_STATUS, 0, &command_,
                                               ctx_.timeout_ms),
                     "reading the status register");
        return s;
    }

    void write_enable()
    {
        check_result(lumo_spi_read_write_bytes(ctx_.handle, 0, nullptr, nullptr, 0, CMD_WRITE_ENABLE, 0,
                                               &command_, ctx_.timeout_ms),
                     "sending write enable");
        if ((status() & STATUS_WEL) == 0) {
            throw ToolError(Exit::failed, "the flash did not set its write enable latch",
                            "the flash may be write-protected (WP# pin, or protection bits in its status "
                            "register)");
        }
    }

    void wait_ready(Clock::duration limit, const std::string& doing)
    {
        auto deadline = Clock::now() + limit;
        for (;;) {
            if ((status() & STATUS_BUSY) == 0) {
                return;
            }
            if (Clock::now() > deadline) {
                throw ToolError(Exit::failed, doing + ": the flash stays busy",
                                "power-cycle the flash and retry; check the wiring");
            }
        }
    }

    void program(std::uint32_t addr, std::span<const std::uint8_t> data)
    {
        write_enable();
        check_result(lumo_spi_read_write_bytes(ctx_.handle, static_cast<std::uint32_t>(data.size()),
                                               data.data(), nullptr, addr, CMD_PAGE_PROGRAM, 0, &addressed_,
                                               ctx_.timeout_ms),
                     "programming at " + hex(addr, 6));
        wait_ready(PAGE_PROGRAM_LIMIT, "programming at " + hex(addr, 6));
    }

    void erase_sector(std::uint32_t addr)
    {
        write_enable();
        check_result(lumo_spi_read_write_bytes(ctx_.handle, 0, nullptr, nullptr, addr, CMD_SECTOR_ERASE, 0,
                                               &addressed_, ctx_.timeout_ms),
                     "erasing the sector at " + hex(addr, 6));
        wait_ready(SECTOR_ERASE_LIMIT, "erasing the sector at " + hex(addr, 6));
    }

    void erase_chip()
    {
        write_enable();
        check_result(lumo_spi_read_write_bytes(ctx_.handle, 0, nullptr, nullptr, 0, CMD_CHIP_ERASE, 0,
                                               &command_, ctx_.timeout_ms),
                     "erasing the chip");
        wait_ready(CHIP_ERASE_LIMIT, "erasing the chip");
    }

    // Reads [addr, addr + out.size()) in transactions of at most READ_CHUNK.
    void read_range(std::uint32_t addr, std::span<std::uint8_t> out, Progress* progress)
    {
        for (std::size_t done = 0; done < out.size();) {
            std::size_t n = std::min<std::size_t>(READ_CHUNK, out.size() - done);
            read(addr + static_cast<std::uint32_t>(done), out.subspan(done, n));
            done += n;
            if (progress != nullptr) {
                progress->update(done);
            }
        }
    }

private:
    const Context& ctx_;
    lumo_spi_config command_{};   // command byte only
    lumo_spi_config addressed_{}; // command byte and three address bytes
};

// Refuses a range past the addressable space or the flash's size.
void check_range(std::uint64_t addr, std::uint64_t len, const JedecId& id)
{
    std::uint64_t limit = std::min(ADDRESS_SPACE, id.size_bytes() != 0 ? id.size_bytes() : ADDRESS_SPACE);
    if (addr >= limit || len > limit - addr) {
        usage_error("the range " + hex(addr, 6) + " + " + std::to_string(len) +
                        " bytes goes past the end of the " + size_text(limit) +
                        (id.size_bytes() != 0 ? " flash" : " that three address bytes reach"),
                    "keep ADDR + LEN within " + hex(limit, 6));
    }
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

std::string size_text(std::uint64_t bytes)
{
    if (bytes >= (1ull << 30) && bytes % (1ull << 30) == 0) {
        return std::to_string(bytes >> 30) + " GiB";
    }
    if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    if (bytes >= (1ull << 10) && bytes % (1ull << 10) == 0) {
        return std::to_string(bytes >> 10) + " KiB";
    }
    return std::to_string(bytes) + " bytes";
}

std::vector<Piece> split_pages(std::uint32_t addr, std::uint32_t len)
{
    std::vector<Piece> pieces;
    std::uint32_t offset = 0;
    while (offset < len) {
        std::uint32_t at = addr + offset;
        std::uint32_t room = PAGE_SIZE - at % PAGE_SIZE;
        std::uint32_t n = std::min(room, len - offset);
        pieces.push_back(Piece{at, offset, n});
        offset += n;
    }
    return pieces;
}

void cmd_id(const Context& ctx, const Options& options)
{
    Flash flash(ctx, options);
    JedecId id = flash.require_flash();
    std::ostream& out = *ctx.out;
    if (ctx.json) {
        JsonWriter j(out);
        j.begin_object().key("jedec_id").value(hex_bytes(id.bytes, ""));
        j.key("manufacturer").value(hex(id.bytes[0], 2)).key("vendor");
        id.vendor() ? j.value(id.vendor()) : j.null();
        j.key("memory_type").value(hex(id.bytes[1], 2)).key("capacity_code").value(hex(id.bytes[2], 2));
        j.key("size_bytes");
        id.size_bytes() != 0 ? j.value(id.size_bytes()) : j.null();
        j.end_object().finish();
        return;
    }
    out << "JEDEC ID:     " << hex_bytes(id.bytes) << "\n";
    out << "manufacturer: " << hex(id.bytes[0], 2);
    if (id.vendor() != nullptr) {
        out << " (" << id.vendor() << ")";
    }
    out << "\nmemory type:  " << hex(id.bytes[1], 2) << "\n";
    out << "capacity:     " << hex(id.bytes[2], 2);
    if (id.size_bytes() != 0) {
        out << " = " << size_text(id.size_bytes()) << " (" << id.size_bytes() << " bytes)";
    } else {
        out << " (size unknown)";
    }
    out << "\n";
}

void cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
              const std::string& out_file)
{
    if (len == 0) {
        usage_error("LEN must be at least 1");
    }
    Flash flash(ctx, options);
    JedecId id = flash.require_flash();
    check_range(addr, len, id);

    Bytes data(len);
    {
        Progress progress(ctx, "read ", len);
        flash.read_range(static_cast<std::uint32_t>(addr), data, &progress);
    }

    if (!out_file.empty()) {
        std::ofstream file(out_file, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        file.close();
        if (!file) {
            throw ToolError(Exit::failed, "cannot write " + out_file, "check the path and the free space");
        }
    }
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("addr").value(addr).key("len").value(len);
        if (out_file.empty()) {
            j.key("data").value(hex_bytes(data, ""));
        } else {
            j.key("file").value(out_file);
        }
        j.end_object().finish();
        return;
    }
    if (out_file.empty()) {
        hex_dump(*ctx.out, addr, data);
    } else {
        *ctx.out << "read " << len << " bytes at " << hex(addr, 6) << " into " << out_file << "\n";
    }
}

void cmd_write(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file,
               bool verify)
{
    std::ifstream file(in_file, std::ios::binary);
    if (!file) {
        usage_error("cannot open " + in_file, "check the file name");
    }
    Bytes data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        usage_error("cannot read " + in_file);
    }
    if (data.empty()) {
        usage_error(in_file + " is empty: nothing to write");
    }

    Flash flash(ctx, options);
    JedecId id = flash.require_flash();
    check_range(addr, data.size(), id);

    auto pieces = split_pages(static_cast<std::uint32_t>(addr), static_cast<std::uint32_t>(data.size()));
    {
        Progress progress(ctx, "write", data.size());
        for (const Piece& p : pieces) {
            flash.program(p.addr, std::span<const std::uint8_t>(data).subspan(p.offset, p.len));
            progress.update(p.offset + p.len);
        }
    }
    if (verify) {
        Bytes back(data.size());
        {
            Progress progress(ctx, "verify", back.size());
            flash.read_range(static_cast<std::uint32_t>(addr), back, &progress);
        }
        auto [w, r] = std::mismatch(data.begin(), data.end(), back.begin());
        if (w != data.end()) {
            std::size_t first = static_cast<std::size_t>(w - data.begin());
            std::size_t differ = 0;
            for (std::size_t i = first; i < data.size(); ++i) {
                differ += data[i] != back[i] ? 1 : 0;
            }
            throw ToolError(Exit::failed,
                            "verify failed: " + std::to_string(differ) + " bytes differ, the first at " +
                                hex(addr + first, 6) + " (wrote " + hex(*w, 2) + ", read " + hex(*r, 2) + ")",
                            "programming only clears bits: erase the sectors first (orvtool spi erase "
                            "--sector ADDR --count N)");
        }
    }
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("addr").value(addr).key("len").value(static_cast<std::uint64_t>(data.size()));
        j.key("pages").value(static_cast<std::uint64_t>(pieces.size())).key("verified").value(verify);
        j.end_object().finish();
        return;
    }
    *ctx.out << "wrote " << data.size() << " bytes at " << hex(addr, 6) << " in " << pieces.size()
             << (pieces.size() == 1 ? " page" : " pages") << (verify ? ", verified" : ", not verified")
             << "\n";
}

void cmd_erase(const Context& ctx, const Options& options, std::optional<std::uint64_t> sector_addr,
               std::uint64_t sector_count, bool chip)
{
    if (sector_addr && *sector_addr % SECTOR_SIZE != 0) {
        usage_error("sector address " + hex(*sector_addr, 6) + " is not a multiple of 4 KiB",
                    "the sector holding it starts at " + hex(*sector_addr / SECTOR_SIZE * SECTOR_SIZE, 6));
    }
    if (sector_count == 0) {
        usage_error("--count must be at least 1");
    }
    Flash flash(ctx, options);
    JedecId id = flash.require_flash();
    if (chip) {
        if (ctx.progress) {
            *ctx.err << "erasing the whole chip (this can take a minute)..." << std::flush;
        }
        flash.erase_chip();
        if (ctx.progress) {
            *ctx.err << "\r\033[K" << std::flush;
        }
        if (ctx.json) {
            JsonWriter j(*ctx.out);
            j.begin_object().key("erased").value("chip").end_object().finish();
        } else {
            *ctx.out << "erased the whole chip\n";
        }
        return;
    }
    std::uint64_t addr = *sector_addr;
    check_range(addr, sector_count * SECTOR_SIZE, id);
    {
        Progress progress(ctx, "erase", sector_count);
        for (std::uint64_t s = 0; s < sector_count; ++s) {
            flash.erase_sector(static_cast<std::uint32_t>(addr + s * SECTOR_SIZE));
            progress.update(s + 1);
        }
    }
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("erased").value("sectors").key("addr").value(addr).key("count").value(
            sector_count);
        j.end_object().finish();
        return;
    }
    *ctx.out << "erased " << sector_count << (sector_count == 1 ? " sector" : " sectors") << " of 4 KiB at "
             << hex(addr, 6) << "\n";
}

} // namespace orvtool::spi
