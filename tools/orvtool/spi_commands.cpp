#include "spi_commands.hpp"

#include <algorithm>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "command.hpp"
#include "errors.hpp"
#include "file_io.hpp"
#include "flash_write.hpp"

namespace orvtool::spi {

namespace {

namespace nor = orv::nor;

// The most four address bytes reach.
constexpr std::uint64_t ADDRESS_LIMIT = std::uint64_t{1} << 32;

// Refuses a range past the end of the part; `what` names the arguments that
// gave it ("ADDR + LEN").
void check_range(std::uint64_t addr, std::uint64_t len, std::uint64_t size, const std::string& what)
{
    if (addr >= size || len > size - addr) {
        usage_error("the range " + hex(addr, 6) + " + " + count_text(len, "byte") +
                        " goes past the end of the " + size_text(size) + " flash",
                    "keep " + what + " within " + hex(size, 6));
    }
}

// The flash on the connector, configured and identified.
Flash open_flash(const Context& ctx, const Options& options)
{
    Flash flash(ctx, options.clock_khz);
    flash.identify();
    return flash;
}

Stages stage_bars(StageBars& bars)
{
    return [&bars](const std::string& stage, std::uint64_t total, bool bytes) {
        return bars.begin(stage, total, bytes);
    };
}

Value erased_json(const std::vector<EraseCount>& erased)
{
    Value::List list;
    for (const auto& e : erased) {
        list.push_back(Value::object({{"size", e.size}, {"count", e.count}}));
    }
    return Value::list(std::move(list));
}

std::string range_text(std::uint64_t addr, std::uint64_t len)
{
    return hex(addr, 6) + ".." + hex(addr + len - 1, 6) + " (" + size_text(len) + ")";
}

std::string erase_types_text(const FlashParams& p)
{
    std::string text;
    for (const EraseType& t : p.erase_types) {
        text += size_text(t.size) + " (" +
                hex(p.four_byte == FourByteMode::opcodes ? t.opcode_4byte : t.opcode, 2) + "), ";
    }
    return text + "chip (" + hex(nor::CMD_CHIP_ERASE, 2) + ")";
}

} // namespace

Result cmd_id(const Context& ctx, const Options& options)
{
    Flash flash = open_flash(ctx, options);
    const JedecId& id = flash.id();
    const FlashParams& p = flash.params();
    std::uint64_t size = id.size_bytes();
    std::string manufacturer = hex(id.manufacturer(), 2);
    std::string capacity = hex(id.bytes[2], 2);
    Value::List erase_types;
    for (const EraseType& t : p.erase_types) {
        erase_types.push_back(
            Value::object({{"size", t.size},
                           {"opcode", hex(t.opcode, 2)},
                           {"opcode_4byte", t.opcode_4byte != 0 ? Value(hex(t.opcode_4byte, 2)) : Value()},
                           {"typical_us", t.typical_us}}));
    }
    return Result()
        .labelled("jedec_id", hex_bytes(id.bytes, ""), "JEDEC ID:", hex_bytes(id.bytes))
        .labelled("manufacturer", manufacturer, "manufacturer:",
                  manufacturer + (id.bank > 1 ? " in bank " + std::to_string(id.bank) : "") +
                      (id.vendor() != nullptr ? std::string(" (") + id.vendor() + ")" : " (not in JEP106)"))
        .field("jep106_bank", id.bank)
        .field("vendor", id.vendor())
        .labelled("memory_type", hex(id.bytes[1], 2), "memory type:")
        .labelled("capacity_code", capacity,
                  "capacity:", capacity + (size != 0 ? " = " + size_text(size) : " (no size)"))
        .labelled("part", p.part.empty() ? Value() : Value(p.part),
                  "part:", p.part.empty() ? "not in the built-in table" : p.part)
        .labelled("parameters", source_name(p.source), "parameters:")
        .labelled("size_bytes", p.size,
                  "size:", size_text(p.size) + " (" + std::to_string(p.size) + " bytes)")
        .labelled("page_size", p.page_size, "page size:", size_text(p.page_size))
        .labelled("erase_types", Value::list(std::move(erase_types)), "erase:", erase_types_text(p))
        .labelled("addressing", four_byte_name(p.four_byte), "addressing:")
        .labelled("fast_read", p.fast_read, "read:", p.fast_read ? "fast read (0x0b)" : "read (0x03)")
        .field("clock_khz", clock_set_khz(options.clock_khz));
}

Result cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
                const std::string& out_file)
{
    if (len == 0) {
        usage_error("LEN must be at least 1");
    }
    // Created first, so that a bad path fails before the read.
    std::unique_ptr<OutputFile> out;
    if (!out_file.empty()) {
        out = std::make_unique<OutputFile>(out_file, ctx.data_out != nullptr ? *ctx.data_out : std::cout);
    }
    Flash flash = open_flash(ctx, options);
    check_range(addr, len, flash.params().size, "ADDR + LEN");

    Bytes data(len);
    std::uint64_t read = 0;
    reporting_done(
        [&] {
            Progress progress(ctx, "read", len);
            flash.read(addr, data, [&](std::uint64_t done) {
                read = done;
                progress.update(done);
            });
        },
        [&] {
            return std::vector<Done>{Done{"read", {{"bytes", read, len}}, addr, addr + read}};
        });
    Result result;
    result.field("addr", addr).field("len", len);
    if (!out) {
        return result.bytes("data", addr, std::move(data));
    }
    out->write(data);
    out->commit();
    if (out->is_stdout()) {
        return result.field("file", "-")
            .to_stderr()
            .line("read " + count_text(len, "byte") + " at " + hex(addr, 6) + " to standard output");
    }
    return result.field("file", out_file)
        .line("read " + count_text(len, "byte") + " at " + hex(addr, 6) + " into " + out_file);
}

Result cmd_write(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file,
                 bool verify)
{
    Bytes image = read_input_file(in_file, std::cin);
    Flash flash = open_flash(ctx, options);
    check_range(addr, image.size(), flash.params().size, "ADDR + the file's size");

    StageBars bars(ctx);
    WriteReport r = write_image(flash, addr, image, verify, stage_bars(bars));
    bars.finish();

    std::string erased = r.chip_erased ? "the whole chip" : erased_text(r.erased);
    std::string verified = !r.verify ? "skipped (--no-verify)"
                           : r.verified_bytes == 0
                               ? "nothing to read back: nothing changed"
                               : "ok, " + count_text(r.verified_bytes, "byte") + " read back";
    return Result()
        .field("addr", addr)
        .field("len", image.size())
        .line("wrote " + count_text(image.size(), "byte") + " at " + hex(addr, 6))
        .labelled("unchanged_bytes", r.unchanged_bytes, "unchanged:", count_text(r.unchanged_bytes, "byte"))
        .field("chip_erased", r.chip_erased)
        .labelled("erased", erased_json(r.erased), "erased:", erased)
        .labelled("pages_programmed", r.pages_programmed,
                  "programmed:", count_text(r.pages_programmed, "page"))
        .labelled("verified", r.verify ? Value(true) : Value(), "verify:", verified)
        .field("verified_bytes", r.verified_bytes);
}

Result cmd_verify(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file)
{
    Bytes image = read_input_file(in_file, std::cin);
    Flash flash = open_flash(ctx, options);
    check_range(addr, image.size(), flash.params().size, "ADDR + the file's size");
    std::optional<Mismatch> m;
    {
        StageBars bars(ctx);
        m = verify_image(flash, addr, image, stage_bars(bars));
    }
    if (m) {
        throw ToolError(Exit::failed,
                        "the flash differs from " + in_file + " at " + hex(m->addr, 6) + " (expected " +
                            hex(m->expected, 2) + ", read " + hex(m->found, 2) + "; " +
                            count_text(m->count, "byte") + " differ in all)",
                        "write the file with orvtool spi write " + hex(addr, 6) + " " + in_file);
    }
    return Result()
        .field("addr", addr)
        .field("len", image.size())
        .field("identical", true)
        .line("verified " + count_text(image.size(), "byte") + " at " + hex(addr, 6) + ": the flash holds " +
              in_file);
}

Result cmd_erase(const Context& ctx, const Options& options, const EraseArgs& args)
{
    if (args.sector_addr && *args.sector_addr % nor::SECTOR_SIZE != 0) {
        usage_error("sector address " + hex(*args.sector_addr, 6) + " is not a multiple of " +
                        size_text(nor::SECTOR_SIZE),
                    "the sector holding it starts at " +
                        hex(*args.sector_addr / nor::SECTOR_SIZE * nor::SECTOR_SIZE, 6));
    }
    if (args.sector_count == 0) {
        usage_error("--count must be at least 1");
    }
    Flash flash = open_flash(ctx, options);
    const FlashParams& p = flash.params();
    std::uint64_t addr = args.chip ? 0 : *args.sector_addr;
    std::uint64_t len = args.chip ? p.size : args.sector_count * nor::SECTOR_SIZE;
    if (!args.chip) {
        check_range(addr, len, p.size, "--sector + --count x " + size_text(nor::SECTOR_SIZE));
        std::uint64_t unit = p.erase_types.empty() ? nor::SECTOR_SIZE : p.erase_types.front().size;
        if (addr % unit != 0 || len % unit != 0) {
            usage_error("this part erases no less than " + size_text(unit) +
                            " at a time: " + range_text(addr, len) + " is not made of whole blocks",
                        "give --sector and --count in whole blocks of " + size_text(unit));
        }
    }

    EraseReport r;
    {
        StageBars bars(ctx);
        if (args.chip) {
            Note note(ctx, "erasing the whole chip (this can take a minute)...");
            r = erase_range(flash, addr, len, true, stage_bars(bars));
        } else {
            r = erase_range(flash, addr, len, false, stage_bars(bars));
        }
    }
    return Result()
        .field("addr", addr)
        .field("len", len)
        .field("chip_erased", r.chip_erased)
        .field("erased", erased_json(r.erased))
        .field("checked_bytes", r.checked_bytes)
        .line("erased " + range_text(addr, len) + ": " +
              (r.chip_erased ? "the whole chip" : erased_text(r.erased)) + "; read back as 0xff");
}

Result cmd_status(const Context& ctx, const Options& options)
{
    Flash flash = open_flash(ctx, options);
    std::uint8_t s1 = flash.read_status();
    std::uint8_t s2 = flash.read_status(nor::CMD_READ_STATUS_2);
    std::uint8_t s3 = flash.read_status(nor::CMD_READ_STATUS_3);
    Protection p = decode_protection(s1, flash.params().size);
    std::string bits =
        "BP " + std::to_string(p.bp) + ", TB " + (p.tb ? "1" : "0") + ", SEC " + (p.sec ? "1" : "0");
    // A register the part lacks reads 0xff (MISO not driven).
    auto optional_register = [](std::uint8_t v) { return v == 0xFF ? Value() : Value(hex(v, 2)); };
    Result result;
    result.labelled("status1", hex(s1, 2), "status register 1:")
        .labelled("busy", (s1 & nor::STATUS_BUSY) != 0, "busy:", (s1 & nor::STATUS_BUSY) != 0 ? "yes" : "no")
        .labelled("write_enabled", (s1 & nor::STATUS_WEL) != 0,
                  "write enable:", (s1 & nor::STATUS_WEL) != 0 ? "set" : "clear")
        .field("bp", p.bp)
        .field("tb", p.tb)
        .field("sec", p.sec)
        .labelled("protected", p.any() ? Value::object({{"from", p.from}, {"to", p.to - 1}}) : Value(),
                  "block protect:",
                  bits + (p.any() ? ": " + range_text(p.from, p.to - p.from) + " protected"
                                  : ": nothing protected"))
        .labelled("srp", p.srp, "status lock:",
                  p.srp ? "SRP 1: the status register can be written only while WP# is high"
                        : "SRP 0: the status register is writable");
    result.labelled("status2", optional_register(s2),
                    "status register 2:", s2 == 0xFF ? "0xff (not present, or all bits set)" : hex(s2, 2));
    result.labelled("status3", optional_register(s3),
                    "status register 3:", s3 == 0xFF ? "0xff (not present, or all bits set)" : hex(s3, 2));
    return result;
}

Result cmd_unprotect(const Context& ctx, const Options& options)
{
    Flash flash = open_flash(ctx, options);
    UnprotectReport r = unprotect(flash);
    Result result;
    result.field("before", hex(r.before, 2)).field("after", hex(r.after, 2)).field("changed", r.changed);
    if (!r.changed) {
        return result.line("nothing to clear: status register 1 is " + hex(r.before, 2) +
                           " (no block protection)");
    }
    return result.line("block protection cleared: status register 1 " + hex(r.before, 2) + " -> " +
                       hex(r.after, 2));
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
    return size_arg(text, what, spi::ADDRESS_LIMIT - 1);
}

// spi write|verify ADDR FILE
struct ImageArgs {
    std::string addr, in_file;
    bool no_verify = false;
};

CLI::App* add_image_command(CLI::App* spi, const std::string& name, const std::string& description,
                            const std::shared_ptr<ImageArgs>& args)
{
    auto* cmd = spi->add_subcommand(name, description);
    cmd->add_option("ADDR", args->addr, "flash address (4k, 1M: binary multiples)")
        ->type_name("")
        ->required();
    cmd->add_option("FILE", args->in_file, "the image; - for standard input")->type_name("")->required();
    return cmd;
}

} // namespace

void register_spi(CLI::App& app, Chosen& chosen)
{
    using namespace spi;
    auto group = std::make_shared<SpiArgs>();
    auto* spi = add_group(app, "spi", "SPI NOR flash");
    add_clock_option(spi, "--clock", group->clock, "SPI clock");

    add_plain_command(spi, chosen, group, "id", "identify the flash: JEDEC ID, size, erase sizes (SFDP)",
                      cmd_id);
    add_plain_command(spi, chosen, group, "status", "show the status registers and the block protection",
                      cmd_status);
    add_plain_command(spi, chosen, group, "unprotect", "clear the block protection bits", cmd_unprotect);

    // spi read ADDR LEN [-o FILE]
    struct ReadArgs {
        std::string addr, len, out_file;
    };
    auto read = std::make_shared<ReadArgs>();
    auto* read_cmd = spi->add_subcommand("read", "read LEN bytes at ADDR (hex dump, or -o FILE)");
    read_cmd->add_option("ADDR", read->addr, "flash address")->type_name("")->required();
    read_cmd->add_option("LEN", read->len, "number of bytes (4k, 1M: binary multiples)")
        ->type_name("")
        ->required();
    read_cmd->add_option("-o,--output", read->out_file, "write the bytes to FILE (- for standard output)")
        ->type_name("FILE");
    on_chosen(read_cmd, chosen, [group, read] {
        Options options = group->check();
        std::uint64_t addr = flash_address(read->addr, "ADDR");
        std::uint64_t len = size_arg(read->len, "LEN", ADDRESS_LIMIT);
        if (!read->out_file.empty()) {
            // A path that cannot be created is refused before the adapter is
            // opened (the temporary file is removed again at once).
            OutputFile probe(read->out_file, std::cout);
        }
        return Action([options, addr, len, out_file = read->out_file](const Context& ctx) {
            return cmd_read(ctx, options, addr, len, out_file);
        });
    });

    // spi write ADDR FILE [--no-verify]
    auto write = std::make_shared<ImageArgs>();
    auto* write_cmd = add_image_command(
        spi, "write", "make the flash hold FILE at ADDR: erase and program only what differs, then verify",
        write);
    write_cmd->add_flag("--no-verify", write->no_verify,
                        "skip the read-back of what was erased and programmed");
    on_chosen(write_cmd, chosen, [group, write] {
        Options options = group->check();
        std::uint64_t addr = flash_address(write->addr, "ADDR");
        return Action([options, addr, in_file = write->in_file, verify = !write->no_verify](
                          const Context& ctx) { return cmd_write(ctx, options, addr, in_file, verify); });
    });

    // spi verify ADDR FILE
    auto verify = std::make_shared<ImageArgs>();
    auto* verify_cmd = add_image_command(
        spi, "verify", "compare the flash at ADDR with FILE (exit 1 where they differ)", verify);
    on_chosen(verify_cmd, chosen, [group, verify] {
        Options options = group->check();
        std::uint64_t addr = flash_address(verify->addr, "ADDR");
        return Action([options, addr, in_file = verify->in_file](const Context& ctx) {
            return cmd_verify(ctx, options, addr, in_file);
        });
    });

    // spi erase --sector ADDR [--count N] | --chip
    struct EraseCli {
        std::string sector;
        std::string count = "1";
        bool chip = false;
    };
    auto erase = std::make_shared<EraseCli>();
    auto* erase_cmd =
        spi->add_subcommand("erase", "erase " + size_text(nor::SECTOR_SIZE) +
                                         " sectors or the whole chip, then check they read 0xff");
    auto* sector = erase_cmd
                       ->add_option("--sector", erase->sector,
                                    "first sector's address (" + size_text(nor::SECTOR_SIZE) + " aligned)")
                       ->type_name("ADDR");
    erase_cmd
        ->add_option("--count", erase->count,
                     "number of " + size_text(nor::SECTOR_SIZE) + " sectors (default 1)")
        ->type_name("N")
        ->needs(sector);
    auto* chip = erase_cmd->add_flag("--chip", erase->chip, "erase the whole chip");
    sector->excludes(chip);
    on_chosen(erase_cmd, chosen, [group, erase] {
        Options options = group->check();
        if (erase->sector.empty() && !erase->chip) {
            usage_error("spi erase needs --sector ADDR or --chip");
        }
        EraseArgs args;
        args.chip = erase->chip;
        if (!erase->sector.empty()) {
            args.sector_addr = flash_address(erase->sector, "--sector");
        }
        args.sector_count = number_arg(erase->count, "--count", ADDRESS_LIMIT / nor::SECTOR_SIZE);
        return Action([options, args](const Context& ctx) { return cmd_erase(ctx, options, args); });
    });
}

} // namespace orvtool
