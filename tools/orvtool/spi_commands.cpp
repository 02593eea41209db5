#include "spi_commands.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

#include <CLI/CLI.hpp>

#include "command.hpp"
#include "errors.hpp"

namespace orvtool::spi {

namespace {

namespace nor = orv::nor;

// Refuses a range past the addressable space or the flash's size.
void check_range(std::uint64_t addr, std::uint64_t len, const JedecId& id)
{
    std::uint64_t limit =
        std::min(nor::ADDRESS_SPACE_3, id.size_bytes() != 0 ? id.size_bytes() : nor::ADDRESS_SPACE_3);
    if (addr >= limit || len > limit - addr) {
        usage_error("the range " + hex(addr, 6) + " + " + std::to_string(len) +
                        " bytes goes past the end of the " + size_text(limit) +
                        (id.size_bytes() != 0 ? " flash" : " that three address bytes reach"),
                    "keep ADDR + LEN within " + hex(limit, 6));
    }
}

// The flash on the connector, configured, with its id read.
struct Opened {
    Flash flash;
    JedecId id;
};
Opened open_flash(const Context& ctx, const Options& options)
{
    Flash flash(ctx, options.clock_khz);
    JedecId id = flash.require_flash();
    return {std::move(flash), id};
}

Bytes read_input(const std::string& in_file)
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
    return data;
}

void write_output(const std::string& out_file, const Bytes& data)
{
    std::ofstream file(out_file, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    file.close();
    if (!file) {
        throw ToolError(Exit::failed, "cannot write " + out_file, "check the path and the free space");
    }
}

// Throws when what reads back from addr differs from what was written.
void check_verify(std::uint64_t addr, const Bytes& written, const Bytes& back)
{
    auto [w, r] = std::mismatch(written.begin(), written.end(), back.begin());
    if (w == written.end()) {
        return;
    }
    std::size_t first = static_cast<std::size_t>(w - written.begin());
    std::size_t differ = 0;
    for (std::size_t i = first; i < written.size(); ++i) {
        differ += written[i] != back[i] ? 1 : 0;
    }
    throw ToolError(Exit::failed,
                    "verify failed: " + std::to_string(differ) + " bytes differ, the first at " +
                        hex(addr + first, 6) + " (wrote " + hex(*w, 2) + ", read " + hex(*r, 2) + ")",
                    "programming only clears bits: erase the sectors first (orvtool spi erase "
                    "--sector ADDR --count N)");
}

} // namespace

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

Result cmd_id(const Context& ctx, const Options& options)
{
    JedecId id = open_flash(ctx, options).id;
    std::uint64_t size = id.size_bytes();
    std::string manufacturer = hex(id.manufacturer(), 2);
    std::string capacity = hex(id.bytes[2], 2);
    return Result()
        .labelled("jedec_id", hex_bytes(id.bytes, ""), "JEDEC ID:", hex_bytes(id.bytes))
        .labelled("manufacturer", manufacturer, "manufacturer:",
                  manufacturer + (id.vendor() != nullptr ? std::string(" (") + id.vendor() + ")" : ""))
        .field("vendor", id.vendor())
        .labelled("memory_type", hex(id.bytes[1], 2), "memory type:")
        .labelled("capacity_code", capacity, "capacity:",
                  capacity + (size != 0 ? " = " + size_text(size) + " (" + std::to_string(size) + " bytes)"
                                        : " (size unknown)"))
        .field("size_bytes", size != 0 ? Value(size) : Value());
}

Result cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
                const std::string& out_file)
{
    if (len == 0) {
        usage_error("LEN must be at least 1");
    }
    Opened opened = open_flash(ctx, options); // named: lambdas below use the flash
    Flash& flash = opened.flash;
    const JedecId& id = opened.id;
    check_range(addr, len, id);

    Bytes data(len);
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            Progress progress(ctx, "read ", len);
            flash.read(static_cast<std::uint32_t>(addr), data, [&](std::uint64_t done) {
                read = done;
                progress.update(done);
            });
        },
        [&] {
            return std::vector<Done>{Done{"read", {{"bytes", read, len}}, addr, addr + read}};
        });
    Result result;
    result.field("addr", addr).field("len", len);
    if (out_file.empty()) {
        return result.bytes("data", addr, std::move(data));
    }
    write_output(out_file, data);
    return result.field("file", out_file)
        .line("read " + std::to_string(len) + " bytes at " + hex(addr, 6) + " into " + out_file);
}

Result cmd_write(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file,
                 bool verify)
{
    Bytes data = read_input(in_file);
    Opened opened = open_flash(ctx, options); // named: lambdas below use the flash
    Flash& flash = opened.flash;
    const JedecId& id = opened.id;
    check_range(addr, data.size(), id);

    // What is known to be done when a step fails: the pages programmed, then
    // the bytes read back for the verify.
    const auto start = static_cast<std::uint32_t>(addr);
    const std::uint64_t total_pages = split_pages(start, static_cast<std::uint32_t>(data.size())).size();
    std::uint64_t programmed = 0;
    std::uint64_t verified = 0;
    bool verifying = false;
    auto done_so_far = [&] {
        const std::uint64_t pages_done = split_pages(start, static_cast<std::uint32_t>(programmed)).size();
        std::vector<Done> done{Done{"programmed",
                                    {{"bytes", programmed, data.size()}, {"pages", pages_done, total_pages}},
                                    addr,
                                    verifying ? std::nullopt : std::optional(addr + programmed)}};
        if (verifying) {
            done.push_back(Done{"read back", {{"bytes", verified, data.size()}}, addr, addr + verified});
        }
        return done;
    };
    std::size_t pages = reporting_done(
        [&] {
            std::size_t made = 0;
            {
                Progress progress(ctx, "write", data.size());
                made = flash.program(start, data, [&](std::uint64_t done) {
                    programmed = done;
                    progress.update(done);
                });
            }
            if (verify) {
                verifying = true;
                Bytes back(data.size());
                {
                    Progress progress(ctx, "verify", back.size());
                    flash.read(start, back, [&](std::uint64_t done) {
                        verified = done;
                        progress.update(done);
                    });
                }
                check_verify(addr, data, back);
            }
            return made;
        },
        done_so_far);
    return Result()
        .field("addr", addr)
        .field("len", data.size())
        .field("pages", pages)
        .field("verified", verify)
        .line("wrote " + std::to_string(data.size()) + " bytes at " + hex(addr, 6) + " in " +
              std::to_string(pages) + (pages == 1 ? " page" : " pages") +
              (verify ? ", verified" : ", not verified"));
}

Result cmd_erase(const Context& ctx, const Options& options, std::optional<std::uint64_t> sector_addr,
                 std::uint64_t sector_count, bool chip)
{
    if (sector_addr && *sector_addr % nor::SECTOR_SIZE != 0) {
        usage_error(
            "sector address " + hex(*sector_addr, 6) + " is not a multiple of " + size_text(nor::SECTOR_SIZE),
            "the sector holding it starts at " + hex(*sector_addr / nor::SECTOR_SIZE * nor::SECTOR_SIZE, 6));
    }
    if (sector_count == 0) {
        usage_error("--count must be at least 1");
    }
    Opened opened = open_flash(ctx, options); // named: lambdas below use the flash
    Flash& flash = opened.flash;
    const JedecId& id = opened.id;
    if (chip) {
        Note note(ctx, "erasing the whole chip (this can take a minute)...");
        flash.erase_chip();
        note.clear();
        return Result().field("erased", "chip").line("erased the whole chip");
    }
    std::uint64_t addr = *sector_addr;
    check_range(addr, sector_count * nor::SECTOR_SIZE, id);
    std::uint64_t erased = 0;
    reporting_done(
        [&] {
            Progress progress(ctx, "erase", sector_count);
            for (; erased < sector_count; ++erased) {
                flash.erase_sector(static_cast<std::uint32_t>(addr + erased * nor::SECTOR_SIZE));
                progress.update(erased + 1);
            }
        },
        [&] {
            return std::vector<Done>{
                Done{"erased", {{"sectors", erased, sector_count}}, addr, addr + erased * nor::SECTOR_SIZE}};
        });
    return Result()
        .field("erased", "sectors")
        .field("addr", addr)
        .field("count", sector_count)
        .line("erased " + std::to_string(sector_count) + (sector_count == 1 ? " sector" : " sectors") +
              " of " + size_text(nor::SECTOR_SIZE) + " at " + hex(addr, 6));
}

} // namespace orvtool::spi

namespace orvtool {

namespace {

// spi [--clock KHZ]
struct SpiArgs {
    std::string clock = std::to_string(spi::Options{}.clock_khz);
    spi::Options check() const { return spi::Options{khz_arg(clock, "--clock")}; }
};

std::uint64_t flash_address(const std::string& text, const char* what)
{
    return number_arg(text, what, orv::nor::ADDRESS_SPACE_3 - 1);
}

} // namespace

void register_spi(CLI::App& app, Chosen& chosen)
{
    using namespace spi;
    auto group = std::make_shared<SpiArgs>();
    auto* spi = add_group(app, "spi", "SPI NOR flash");
    add_clock_option(spi, "--clock", group->clock, "SPI clock");

    add_plain_command(spi, chosen, group, "id", "read the JEDEC ID and the size it implies", cmd_id);

    // spi read ADDR LEN [-o FILE]
    struct ReadArgs {
        std::string addr, len, out_file;
    };
    auto read = std::make_shared<ReadArgs>();
    auto* read_cmd = spi->add_subcommand("read", "read LEN bytes at ADDR (hex dump, or -o FILE)");
    read_cmd->add_option("ADDR", read->addr, "flash address")->type_name("")->required();
    read_cmd->add_option("LEN", read->len, "number of bytes")->type_name("")->required();
    read_cmd->add_option("-o,--output", read->out_file, "write the bytes to FILE")->type_name("FILE");
    on_chosen(read_cmd, chosen, [group, read] {
        Options options = group->check();
        std::uint64_t addr = flash_address(read->addr, "ADDR");
        std::uint64_t len = number_arg(read->len, "LEN", nor::ADDRESS_SPACE_3);
        return Action([options, addr, len, out_file = read->out_file](const Context& ctx) {
            return cmd_read(ctx, options, addr, len, out_file);
        });
    });

    // spi write ADDR FILE [--no-verify]
    struct WriteArgs {
        std::string addr, in_file;
        bool no_verify = false;
    };
    auto write = std::make_shared<WriteArgs>();
    auto* write_cmd = spi->add_subcommand("write", "program FILE at ADDR, then read back and verify");
    write_cmd->add_option("ADDR", write->addr, "flash address")->type_name("")->required();
    write_cmd->add_option("FILE", write->in_file, "bytes to program")->type_name("")->required();
    write_cmd->add_flag("--no-verify", write->no_verify, "skip the read-back");
    on_chosen(write_cmd, chosen, [group, write] {
        Options options = group->check();
        std::uint64_t addr = flash_address(write->addr, "ADDR");
        return Action([options, addr, in_file = write->in_file, verify = !write->no_verify](
                          const Context& ctx) { return cmd_write(ctx, options, addr, in_file, verify); });
    });

    // spi erase --sector ADDR [--count N] | --chip
    struct EraseArgs {
        std::string sector;
        std::string count = "1";
        bool chip = false;
    };
    auto erase = std::make_shared<EraseArgs>();
    auto* erase_cmd =
        spi->add_subcommand("erase", "erase " + size_text(nor::SECTOR_SIZE) + " sectors or the whole chip");
    auto* sector = erase_cmd
                       ->add_option("--sector", erase->sector,
                                    "first sector's address (" + size_text(nor::SECTOR_SIZE) + " aligned)")
                       ->type_name("ADDR");
    erase_cmd->add_option("--count", erase->count, "number of sectors (default 1)")
        ->type_name("N")
        ->needs(sector);
    auto* chip = erase_cmd->add_flag("--chip", erase->chip, "erase the whole chip");
    sector->excludes(chip);
    on_chosen(erase_cmd, chosen, [group, erase] {
        Options options = group->check();
        if (erase->sector.empty() && !erase->chip) {
            usage_error("spi erase needs --sector ADDR or --chip");
        }
        std::optional<std::uint64_t> sector_addr;
        if (!erase->sector.empty()) {
            sector_addr = flash_address(erase->sector, "--sector");
        }
        std::uint64_t count = number_arg(erase->count, "--count", nor::ADDRESS_SPACE_3 / nor::SECTOR_SIZE);
        return Action([options, sector_addr, count, chip = erase->chip](const Context& ctx) {
            return cmd_erase(ctx, options, sector_addr, count, chip);
        });
    });
}

} // namespace orvtool
