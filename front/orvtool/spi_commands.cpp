#include "front/orvtool/spi_commands.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "lib/wire/spi_nor.hpp"
#include <CLI/CLI.hpp>

#include "front/orvtool/bscan_commands.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/file_io.hpp"

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

// The flash on the connector (or behind boundary-scan pins), configured and
// identified.
struct OpenFlash {
    PinBusChain pins; // the chain the flash's pins are on: closed after the flash
    FlashHandle handle;
    orvdev_flash_info info{};
    orvdev_flash* get() const { return handle.get(); }
};

OpenFlash open_flash(const Context& ctx, const Options& options)
{
    orvdev_flash_options o{};
    orvdev_flash_options_init(&o);
    o.clock_khz = options.clock_khz;
    o.part = options.part.empty() ? nullptr : options.part.c_str();
    o.size = options.size;
    orvdev_flash* flash = nullptr;
    orvdev_report report{};
    if (!options.via_bscan.empty()) {
        const ViaBscan via = parse_via_bscan(options.via_bscan, {"cs", "sck", "mosi", "miso"});
        // Through pins, --clock is the JTAG clock: an SPI clock is two DR scans.
        PinBusChain chain = open_pin_bus_chain(ctx, via, options.bsdl, options.clock_khz);
        const orvdev_spi_pins pins{via.pins[0].second.c_str(), via.pins[1].second.c_str(),
                                   via.pins[2].second.c_str(), via.pins[3].second.c_str(), 0};
        check_device(orvdev_flash_open_bscan(chain.bscan.get(), chain.tap, &pins, &o, &flash, &report),
                     report, ctx);
        OpenFlash f{std::move(chain), FlashHandle(flash), {}};
        orvdev_flash_get_info(flash, &f.info);
        return f;
    }
    check_device(orvdev_flash_open(ctx.session, &o, &flash, &report), report, ctx);
    OpenFlash f{{}, FlashHandle(flash), {}};
    orvdev_flash_get_info(flash, &f.info);
    if (std::uint64_t{options.clock_khz} * 1000 != f.info.clock.actual_hz && ctx.err != nullptr) {
        *ctx.err << "orvtool: SPI clock " << clock_text(f.info.clock, options.clock_khz) << "\n";
    }
    return f;
}

Value erased_json(const orvdev_erase_count* erased, std::uint32_t count)
{
    Value::List list;
    for (std::uint32_t i = 0; i < count; ++i) {
        list.push_back(Value::object({{"size", erased[i].size}, {"count", erased[i].count}}));
    }
    return Value::list(std::move(list));
}

// "1 block of 4 KiB, 2 of 64 KiB"; "no block" when empty.
std::string erased_text(const orvdev_erase_count* erased, std::uint32_t count)
{
    if (count == 0) {
        return "no block";
    }
    std::string text;
    for (std::uint32_t i = 0; i < count; ++i) {
        text += i == 0 ? count_text(erased[i].count, "block") : ", " + std::to_string(erased[i].count);
        text += " of " + size_text(erased[i].size);
    }
    return text;
}

std::string range_text(std::uint64_t addr, std::uint64_t len)
{
    return hex(addr, 6) + ".." + hex(addr + len - 1, 6) + " (" + size_text(len) + ")";
}

std::string erase_types_text(const orvdev_flash_info& p)
{
    std::string text;
    for (std::uint32_t i = 0; i < p.erase_type_count; ++i) {
        const orvdev_erase_type& t = p.erase_types[i];
        text += size_text(t.size) + " (" +
                hex(p.four_byte == ORVDEV_ADDRESS_4_OPCODES ? t.opcode_4byte : t.opcode, 2) + "), ";
    }
    return text + "chip (" + hex(p.chip_erase_opcode, 2) + ")";
}

// "NEXCOM" as "Nexcom"; mixed-case names stay as JEDEC writes them.
std::string readable_name(const std::string& name)
{
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return std::islower(static_cast<unsigned char>(c)); })) {
        return name;
    }
    std::string out = name;
    bool first = true;
    for (char& c : out) {
        const bool letter = std::isalpha(static_cast<unsigned char>(c)) != 0;
        if (letter && !first) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        first = !letter;
    }
    return out;
}

// "0xef (Winbond, ex Nexcom)": the maker's usual name where the part table
// knows it and JEP106 lists the code under another.
std::string manufacturer_text(const orvdev_flash_info& info)
{
    std::string text = hex(info.jedec_id[0], 2);
    if (info.jep106_bank > 1) {
        text += " in bank " + std::to_string(info.jep106_bank);
    }
    const std::string vendor = info.vendor != nullptr ? info.vendor : "";
    const std::string maker = info.maker != nullptr ? info.maker : "";
    const bool same =
        std::equal(vendor.begin(), vendor.end(), maker.begin(), maker.end(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        });
    if (!maker.empty() && !vendor.empty() && !same) {
        return text + " (" + maker + ", ex " + readable_name(vendor) + ")";
    }
    if (!vendor.empty()) {
        return text + " (" + vendor + ")";
    }
    return text + (maker.empty() ? " (not in JEP106)" : " (" + maker + ", not in JEP106)");
}

// The chosen regions' names, in the layout's order.
std::vector<std::string> region_names(const orvdev_layout* layout)
{
    std::vector<std::string> names;
    orvdev_layout_region r{};
    for (std::uint32_t i = 0; orvdev_layout_get_region(layout, i, &r) == 0; ++i) {
        if (r.included != 0) {
            names.emplace_back(r.name);
        }
    }
    return names;
}

// The included regions' names in the JSON result, when a layout was given.
Result& with_regions(Result& result, const Options& options)
{
    if (!options.layout) {
        return result;
    }
    Value::List names;
    for (const std::string& name : region_names(options.layout.get())) {
        names.emplace_back(name);
    }
    return result.field("regions", Value::list(std::move(names)));
}

// "boot, config", or "12 regions" when there are many.
std::string regions_text(const Options& options)
{
    const std::vector<std::string> names = region_names(options.layout.get());
    constexpr std::size_t NAMED = 8;
    if (names.size() > NAMED) {
        return count_text(names.size(), "region");
    }
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// " --layout F --include R": the same regions again in a command to run.
std::string layout_arguments(const Options& options)
{
    if (!options.layout) {
        return "";
    }
    std::string text = " --layout " + options.layout_file;
    for (const std::string& name : options.include) {
        text += " --include " + name;
    }
    return text;
}

// A span of flash, both ends inclusive, as numbers and as printed.
Value span_json(std::uint64_t from, std::uint64_t to)
{
    return Value::object({{"from", from}, {"from_hex", hex(from, 6)}, {"to", to}, {"to_hex", hex(to, 6)}});
}

} // namespace

Result cmd_id(const Context& ctx, const Options& options)
{
    OpenFlash flash = open_flash(ctx, options);
    const orvdev_flash_info& p = flash.info;
    std::span<const std::uint8_t> id(p.jedec_id, 3);
    std::string capacity = hex(p.jedec_id[2], 2);
    Value::List erase_types;
    for (std::uint32_t i = 0; i < p.erase_type_count; ++i) {
        const orvdev_erase_type& t = p.erase_types[i];
        erase_types.push_back(Value::object(
            {{"size", t.size},
             {"opcode", t.opcode},
             {"opcode_hex", hex(t.opcode, 2)},
             {"opcode_4byte", t.opcode_4byte != 0 ? Value(t.opcode_4byte) : Value()},
             {"opcode_4byte_hex", t.opcode_4byte != 0 ? Value(hex(t.opcode_4byte, 2)) : Value()},
             {"typical_us", t.typical_us}}));
    }
    const std::string part = p.part;
    return Result()
        .labelled("jedec_id", hex_bytes(id, ""), "JEDEC ID:", hex_bytes(id))
        .labelled("manufacturer", p.jedec_id[0], "manufacturer:", manufacturer_text(p))
        .field("manufacturer_hex", hex(p.jedec_id[0], 2))
        .field("jep106_bank", p.jep106_bank)
        .field("vendor", p.vendor)
        .field("maker", p.maker)
        .labelled("memory_type", p.jedec_id[1], "memory type:", hex(p.jedec_id[1], 2))
        .field("memory_type_hex", hex(p.jedec_id[1], 2))
        .labelled("capacity_code", p.jedec_id[2], "capacity:",
                  capacity + (p.capacity_size != 0 ? " = " + size_text(p.capacity_size) : " (no size)"))
        .field("capacity_code_hex", capacity)
        .labelled("part", part.empty() ? Value() : Value(part),
                  "part:", part.empty() ? "not in the built-in table" : part)
        .labelled("parameters", orvdev_flash_source_name(p.source), "parameters:",
                  std::string(orvdev_flash_source_name(p.source)) +
                      (options.size != 0 ? ", size given with --size" : ""))
        .labelled("size_bytes", p.size,
                  "size:", size_text(p.size) + " (" + std::to_string(p.size) + " bytes)")
        .labelled("page_size", p.page_size, "page size:", size_text(p.page_size))
        .labelled("erase_types", Value::list(std::move(erase_types)), "erase:", erase_types_text(p))
        .labelled("addressing", orvdev_flash_four_byte_name(p.four_byte), "addressing:")
        .labelled("fast_read", p.fast_read != 0,
                  "read:", p.fast_read != 0 ? "fast read (0x0b)" : "read (0x03)")
        .field("clock_khz", p.clock.actual_hz / 1000);
}

Result cmd_read(const Context& ctx, const Options& options, std::uint64_t addr, std::uint64_t len,
                const std::string& out_name)
{
    const std::string out_file = ctx.output_path(out_name);
    if (len == 0) {
        usage_error("LEN must be at least 1");
    }
    // Created first, so that a bad path fails before the read.
    std::unique_ptr<OutputFile> out;
    if (!out_file.empty()) {
        out = std::make_unique<OutputFile>(out_file, ctx.data_out != nullptr ? *ctx.data_out : std::cout);
    }
    OpenFlash flash = open_flash(ctx, options);
    check_range(addr, len, flash.info.size, "ADDR + LEN");

    // Outside the included regions the output reads as erased flash, as
    // flashrom leaves it.
    Bytes data(len, nor::ERASED);
    {
        SessionBars bars(ctx);
        orvdev_report report{};
        orvdev_layout_result covered{};
        check_device(options.layout ? orvdev_layout_read(flash.get(), options.layout.get(), addr, data.data(),
                                                         len, &covered, &report)
                                    : orvdev_flash_read(flash.get(), addr, data.data(), len, &report),
                     report, ctx);
    }
    Result result;
    result.field("addr", addr).field("addr_hex", hex(addr, 6)).field("len", len);
    with_regions(result, options);
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
                 const WriteArgs& args)
{
    Bytes image = read_input_file(in_file, std::cin, IMAGE_TO_WRITE);
    OpenFlash flash = open_flash(ctx, options);
    check_range(addr, image.size(), flash.info.size, "ADDR + the file's size");

    const std::string backup_file = ctx.output_path(args.backup_file);
    orvdev_write_options o{};
    orvdev_write_options_init(&o);
    o.verify = args.verify ? 1 : 0;
    o.backup_file = backup_file.empty() ? nullptr : backup_file.c_str();
    o.recovery_dir = args.recovery_dir.empty() ? nullptr : args.recovery_dir.c_str();
    orvdev_write_report r{};
    orvdev_report report{};
    orvdev_layout_result covered{};
    std::int32_t rc = 0;
    {
        SessionBars bars(ctx);
        rc = options.layout
                 ? orvdev_layout_write(flash.get(), options.layout.get(), addr, image.data(), image.size(),
                                       &o, &r, &covered, &report)
                 : orvdev_flash_write(flash.get(), addr, image.data(), image.size(), &o, &r, &report);
    }
    if (rc != 0) {
        ToolError error =
            device_error(rc, report, ctx,
                         rc == ORVDEV_ERROR_MISMATCH ? "the flash did not take the write: check its "
                                                       "protection (orvtool spi status), its power, "
                                                       "and lower --clock"
                                                     : "");
        if (report.recovery_file[0] != '\0') {
            error.append_to_message("; restore it with: orvtool spi write " + hex(r.range_addr, 6) + " " +
                                    report.recovery_file);
        }
        throw error;
    }

    std::string erased = r.chip_erased != 0 ? "the whole chip" : erased_text(r.erased, r.erased_count);
    std::string verified = r.verify == 0 ? "skipped (--no-verify)"
                           : r.verified_bytes == 0
                               ? "nothing to read back: nothing changed"
                               : "ok, " + count_text(r.verified_bytes, "byte") + " read back";
    Result result;
    result.field("addr", addr).field("addr_hex", hex(addr, 6)).field("len", image.size());
    with_regions(result, options)
        .line(!options.layout ? "wrote " + count_text(image.size(), "byte") + " at " + hex(addr, 6)
                              : "wrote the included regions' " + count_text(r.len, "byte") + " of " +
                                    count_text(image.size(), "byte") + " at " + hex(addr, 6))
        .labelled("unchanged_bytes", r.unchanged_bytes, "unchanged:", count_text(r.unchanged_bytes, "byte"))
        .field("chip_erased", r.chip_erased != 0)
        .labelled("erased", erased_json(r.erased, r.erased_count), "erased:", erased)
        .labelled("pages_programmed", r.pages_programmed,
                  "programmed:", count_text(r.pages_programmed, "page"))
        .labelled("verified", r.verify != 0 ? Value(true) : Value(), "verify:", verified)
        .field("verified_bytes", r.verified_bytes);
    if (!backup_file.empty()) {
        result.labelled("backup", backup_file, "backup:",
                        backup_file + " (" + range_text(r.range_addr, r.range_len) + " as it was)");
    }
    return result.summary(size_text(image.size()) + " written (" + erased + " erased, " +
                          count_text(r.pages_programmed, "page") + " programmed, " +
                          count_text(r.unchanged_bytes, "byte") + " unchanged), " +
                          (r.verify == 0 ? "not verified" : "verified"));
}

Result cmd_verify(const Context& ctx, const Options& options, std::uint64_t addr, const std::string& in_file)
{
    Bytes image = read_input_file(in_file, std::cin, IMAGE_TO_VERIFY);
    OpenFlash flash = open_flash(ctx, options);
    check_range(addr, image.size(), flash.info.size, "ADDR + the file's size");
    orvdev_mismatch m{};
    orvdev_report report{};
    orvdev_layout_result covered{};
    std::int32_t rc = 0;
    {
        SessionBars bars(ctx);
        rc = options.layout ? orvdev_layout_verify(flash.get(), options.layout.get(), addr, image.data(),
                                                   image.size(), &m, &covered, &report)
                            : orvdev_flash_verify(flash.get(), addr, image.data(), image.size(), &m, &report);
    }
    const std::string where =
        options.layout ? " in the included regions (" + regions_text(options) + ")" : "";
    if (rc == ORVDEV_ERROR_MISMATCH) {
        throw ToolError(Exit::failed,
                        "the flash differs from " + in_file + where + " at " + hex(m.addr, 6) +
                            " (expected " + hex(m.expected, 2) + ", read " + hex(m.found, 2) + "; " +
                            count_text(m.count, "byte") + (m.count == 1 ? " differs" : " differ") +
                            " in all)",
                        "write the file with orvtool spi write " + hex(addr, 6) + " " + in_file +
                            layout_arguments(options));
    }
    check_device(rc, report, ctx);
    Result result;
    result.field("addr", addr)
        .field("addr_hex", hex(addr, 6))
        .field("len", image.size())
        .field("identical", true);
    if (!options.layout) {
        return result.line("verified " + count_text(image.size(), "byte") + " at " + hex(addr, 6) +
                           ": the flash holds " + in_file);
    }
    return with_regions(result, options)
        .field("compared_bytes", covered.bytes)
        .line("verified the included regions' " + count_text(covered.bytes, "byte") + " of " +
              count_text(image.size(), "byte") + " at " + hex(addr, 6) + " (" + regions_text(options) +
              "): the flash holds them as " + in_file + " has them");
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
    OpenFlash flash = open_flash(ctx, options);
    const orvdev_flash_info& p = flash.info;
    std::uint64_t addr = args.chip ? 0 : *args.sector_addr;
    std::uint64_t len = args.chip ? p.size : args.sector_count * nor::SECTOR_SIZE;
    if (!args.chip) {
        check_range(addr, len, p.size, "--sector + --count x " + size_text(nor::SECTOR_SIZE));
        std::uint64_t unit = p.erase_type_count == 0 ? nor::SECTOR_SIZE : p.erase_types[0].size;
        if (addr % unit != 0 || len % unit != 0) {
            usage_error("this part erases no less than " + size_text(unit) +
                            " at a time: " + range_text(addr, len) + " is not made of whole blocks",
                        "give --sector and --count in whole blocks of " + size_text(unit));
        }
    }

    orvdev_erase_report r{};
    orvdev_report report{};
    std::int32_t rc = 0;
    {
        SessionBars bars(ctx);
        std::optional<Note> note;
        if (args.chip) {
            note.emplace(ctx, "erasing the whole chip (this can take a minute)...");
        }
        rc = orvdev_flash_erase(flash.get(), addr, len, args.chip ? 1 : 0, &r, &report);
    }
    check_device(rc, report, ctx,
                 rc == ORVDEV_ERROR_MISMATCH ? "the flash may be write-protected (orvtool spi status)" : "");
    return Result()
        .field("addr", addr)
        .field("addr_hex", hex(addr, 6))
        .field("len", len)
        .field("chip_erased", r.chip_erased != 0)
        .field("erased", erased_json(r.erased, r.erased_count))
        .field("checked_bytes", r.checked_bytes)
        .line("erased " + range_text(addr, len) + ": " +
              (r.chip_erased != 0 ? "the whole chip" : erased_text(r.erased, r.erased_count)) +
              "; read back as 0xff");
}

Result cmd_status(const Context& ctx, const Options& options)
{
    OpenFlash flash = open_flash(ctx, options);
    orvdev_flash_status st{};
    orvdev_report report{};
    check_device(orvdev_flash_read_status(flash.get(), &st, &report), report, ctx);
    const bool any = st.protected_to > st.protected_from;
    std::string bits = "BP " + std::to_string(st.bp) + ", TB " + (st.tb != 0 ? "1" : "0") + ", SEC " +
                       (st.sec != 0 ? "1" : "0");
    // A register the part lacks reads 0xff (MISO not driven).
    auto optional_register = [](std::uint8_t v) { return v == 0xFF ? Value() : Value(v); };
    auto optional_hex = [](std::uint8_t v) { return v == 0xFF ? Value() : Value(hex(v, 2)); };
    Result result;
    result.labelled("status1", st.status1, "status register 1:", hex(st.status1, 2))
        .field("status1_hex", hex(st.status1, 2))
        .labelled("busy", st.busy != 0, "busy:", st.busy != 0 ? "yes" : "no")
        .labelled("write_enabled", st.write_enabled != 0,
                  "write enable:", st.write_enabled != 0 ? "set" : "clear")
        .field("bp", st.bp)
        .field("tb", st.tb != 0)
        .field("sec", st.sec != 0)
        .labelled("protected", any ? span_json(st.protected_from, st.protected_to - 1) : Value(),
                  "block protect:",
                  bits + (any ? ": " + range_text(st.protected_from, st.protected_to - st.protected_from) +
                                    " protected"
                              : ": nothing protected"))
        .labelled("srp", st.srp != 0, "status lock:",
                  st.srp != 0 ? "SRP 1: the status register can be written only while WP# is high"
                              : "SRP 0: the status register is writable")
        .field("cmp", st.cmp != 0);
    result.labelled("status2", optional_register(st.status2), "status register 2:",
                    st.status2 == 0xFF ? "0xff (not present, or all bits set)" : hex(st.status2, 2));
    result.field("status2_hex", optional_hex(st.status2));
    result.labelled("status3", optional_register(st.status3), "status register 3:",
                    st.status3 == 0xFF ? "0xff (not present, or all bits set)" : hex(st.status3, 2));
    result.field("status3_hex", optional_hex(st.status3));
    return result;
}

Result cmd_unprotect(const Context& ctx, const Options& options)
{
    OpenFlash flash = open_flash(ctx, options);
    std::uint8_t before = 0;
    std::uint8_t after = 0;
    orvdev_report report{};
    check_device(orvdev_flash_unprotect(flash.get(), &before, &after, &report), report, ctx);
    orvdev_flash_status was{};
    orvdev_flash_status_decode(before, 0xFF, 0xFF, flash.info.size, &was);
    const bool changed = before != after || was.bp != 0 || was.tb != 0 || was.sec != 0 || was.srp != 0;
    Result result;
    result.field("before", before).field("before_hex", hex(before, 2));
    result.field("after", after).field("after_hex", hex(after, 2)).field("changed", changed);
    if (!changed) {
        return result.line("nothing to clear: status register 1 is " + hex(before, 2) +
                           " (no block protection)");
    }
    return result.line("block protection cleared: status register 1 " + hex(before, 2) + " -> " +
                       hex(after, 2));
}

Result cmd_protect(const Context& ctx, const Options& options, const std::optional<ProtectArgs>& args)
{
    OpenFlash flash = open_flash(ctx, options);
    orvdev_report report{};
    std::vector<orvdev_range> ranges(ORVDEV_PROTECTABLE_MAX);
    std::uint32_t count = 0;
    check_device(orvdev_flash_protectable(flash.get(), ranges.data(),
                                          static_cast<std::uint32_t>(ranges.size()), &count, &report),
                 report, ctx);
    ranges.resize(count);
    if (args) {
        check_range(args->addr, std::max<std::uint64_t>(args->len, 1), flash.info.size, "--range START LEN");
        const std::int32_t rc = orvdev_flash_protect(flash.get(), args->addr, args->len, &report);
        check_device(rc, report, ctx,
                     rc == ORVDEV_ERROR_INVALID_ARGUMENT
                         ? "choose one of those, or one that orvtool spi protect (without --range) lists"
                         : "");
    }
    orvdev_flash_status st{};
    check_device(orvdev_flash_read_status(flash.get(), &st, &report), report, ctx);
    const bool any = st.protected_to > st.protected_from;
    Result result;
    result
        .labelled("protected", any ? span_json(st.protected_from, st.protected_to - 1) : Value(),
                  "protected:",
                  any ? range_text(st.protected_from, st.protected_to - st.protected_from) : "nothing")
        .labelled("status1", st.status1, "status register 1:", hex(st.status1, 2))
        .field("status1_hex", hex(st.status1, 2))
        .field("cmp", st.cmp != 0);
    if (!args) {
        Value::List list;
        std::string text = "ranges this part can protect:\n";
        for (const orvdev_range& r : ranges) {
            list.push_back(span_json(r.addr, r.addr + r.len - 1));
            text += "  " + range_text(r.addr, r.len) + "\n";
        }
        result.field("protectable", Value::list(std::move(list))).text(text);
    }
    return result;
}

Result cmd_sfdp(const Context& ctx, const Options& options)
{
    OpenFlash flash = open_flash(ctx, options);
    orvdev_sfdp_table tables[ORVDEV_SFDP_TABLES_MAX];
    std::uint32_t count = 0;
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    orvdev_report report{};
    check_device(orvdev_flash_sfdp_tables(flash.get(), &major, &minor, tables, &count, &report), report, ctx);
    Result result;
    result.labelled("revision", std::to_string(major) + "." + std::to_string(minor), "SFDP revision:");
    Value::List list;
    std::string text;
    for (std::uint32_t i = 0; i < count; ++i) {
        const orvdev_sfdp_table& t = tables[i];
        const std::uint32_t len = std::min<std::uint32_t>(t.dwords * 4, 1024);
        Bytes bytes(len);
        if (len != 0) {
            check_device(orvdev_flash_read_sfdp(flash.get(), t.pointer, bytes.data(), len, &report), report,
                         ctx);
        }
        const std::string name = t.id == nor::SFDP_BASIC_TABLE       ? "basic flash parameters"
                                 : t.id == nor::SFDP_FOUR_BYTE_TABLE ? "4-byte address instructions"
                                                                     : "vendor or other table";
        list.push_back(Value::object({{"id", t.id},
                                      {"id_hex", hex(t.id, 4)},
                                      {"name", name},
                                      {"revision", std::to_string(t.major) + "." + std::to_string(t.minor)},
                                      {"dwords", t.dwords},
                                      {"pointer", t.pointer},
                                      {"pointer_hex", hex(t.pointer, 6)},
                                      {"bytes", hex_bytes(bytes, "")}}));
        text += "table " + hex(t.id, 4) + " (" + name + "), revision " + std::to_string(t.major) + "." +
                std::to_string(t.minor) + ", " + std::to_string(t.dwords) + " DWORDs at " +
                hex(t.pointer, 6) + ":\n";
        for (std::size_t k = 0; k < bytes.size(); k += 4) {
            const std::size_t n = std::min<std::size_t>(4, bytes.size() - k);
            char label[32];
            std::snprintf(label, sizeof label, "  DWORD %2zu: ", k / 4 + 1);
            text += label + hex_bytes(std::span(bytes).subspan(k, n)) + "\n";
        }
    }
    return result.field("tables", Value::list(std::move(list))).text(text);
}

} // namespace orvtool::spi

namespace orvtool {

namespace {

// spi [--clock KHZ] [--part NAME] [--size SIZE]
struct SpiArgs {
    std::string clock = std::to_string(spi::Options{}.clock_khz);
    std::string part;
    std::string size;
    std::string via_bscan;
    std::vector<std::string> bsdl;
    spi::Options check() const
    {
        spi::Options options;
        options.clock_khz = khz_arg(clock, "--clock");
        options.part = part;
        if (!via_bscan.empty()) {
            (void)parse_via_bscan(via_bscan,
                                  {"cs", "sck", "mosi", "miso"}); // refused before the adapter opens
        }
        options.via_bscan = via_bscan;
        options.bsdl = bsdl;
        if (!size.empty()) {
            options.size = size_arg(size, "--size", spi::ADDRESS_LIMIT);
            if (options.size < 256 || (options.size & (options.size - 1)) != 0) {
                usage_error("--size " + size + " is not a power of two from 256 bytes to 4G",
                            "give the part's size, for instance --size 4M");
            }
        }
        return options;
    }
};

// --recovery-dir: a directory this process may create files in, before the
// adapter is opened.
void check_recovery_dir(const std::string& dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        usage_error("--recovery-dir " + dir + " is not a directory", "give an existing directory");
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        usage_error("--recovery-dir " + dir + ": " + std::strerror(errno),
                    "give a directory you may create files in");
    }
}

std::uint64_t flash_address(const std::string& text, const char* what)
{
    return size_arg(text, what, spi::ADDRESS_LIMIT - 1);
}

// --layout FILE --include NAME... of read, write and verify.
struct LayoutArgs {
    std::string file;
    std::vector<std::string> include;

    // The layout with the included regions chosen, into `options`; nothing
    // without --layout. Read and checked before the adapter is opened.
    void apply(spi::Options& options) const
    {
        if (file.empty()) {
            if (!include.empty()) {
                usage_error("--include needs --layout FILE");
            }
            return;
        }
        if (include.empty()) {
            usage_error("--layout needs --include NAME: the regions to work on");
        }
        const Bytes text = read_input_file(file, std::cin, LAYOUT);
        orvdev_layout* read = nullptr;
        orvdev_report report{};
        if (orvdev_layout_parse(reinterpret_cast<const char*>(text.data()), text.size(), file.c_str(), &read,
                                nullptr, &report) != 0) {
            usage_error(report.message,
                        "a layout line is flashrom's: 00000000:0000ffff bootloader (hex, END the last byte)");
        }
        options.layout = std::shared_ptr<orvdev_layout>(read, DeviceCloser{});
        options.layout_file = file;
        for (const std::string& item : include) {
            // flashrom's -i takes one name; a comma list is taken too.
            std::stringstream list(item);
            for (std::string name; std::getline(list, name, ',');) {
                if (name.empty()) {
                    continue;
                }
                options.include.push_back(name);
                if (orvdev_layout_include(read, name.c_str(), &report) != 0) {
                    usage_error(report.message, report.hint);
                }
            }
        }
    }
};

void add_layout_options(CLI::App* cmd, const std::shared_ptr<LayoutArgs>& args)
{
    cmd->add_option("--layout", args->file, "flashrom's layout file: START:END NAME a line")
        ->type_name("FILE");
    cmd->add_option("--include", args->include, "work on this region of the layout only (repeatable)")
        ->type_name("NAME");
}

// spi write|verify ADDR FILE
struct ImageArgs {
    std::string addr, in_file;
    bool no_verify = false;
    std::string backup;
    std::string recovery_dir;
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
    spi->add_option("--part", group->part,
                    "use the parameters of this built-in part (W25Q32, MX25L12835F, ...) instead of what the "
                    "flash says")
        ->type_name("NAME");
    spi->add_option(
           "--size", group->size,
           "use this size (4M, 16M, ...) instead of the flash's own, for parts whose capacity byte is "
           "wrong")
        ->type_name("SIZE");
    spi->add_option("--via-bscan", group->via_bscan,
                    "reach the flash through pins of a device on the JTAG chain, held in EXTEST: "
                    "TAP:cs=PORT,sck=PORT,mosi=PORT,miso=PORT (TAP an index or the BSDL entity); --clock is "
                    "then the JTAG clock")
        ->type_name("PINS");
    spi->add_option(
           "--bsdl", group->bsdl,
           "with --via-bscan: a BSDL file, or a directory of them; repeatable; ORV_BSDL_PATH adds more")
        ->type_name("FILE|DIR");

    add_plain_command(spi, chosen, group, "id", "identify the flash: JEDEC ID, size, erase sizes (SFDP)",
                      cmd_id);
    add_plain_command(spi, chosen, group, "status", "show the status registers and the block protection",
                      cmd_status);
    add_plain_command(spi, chosen, group, "unprotect", "clear the block protection bits", cmd_unprotect);
    add_plain_command(spi, chosen, group, "sfdp", "dump the flash's SFDP parameter tables", cmd_sfdp);

    // spi protect [--range START LEN]
    auto protect_range = std::make_shared<std::vector<std::string>>();
    auto* protect_cmd = spi->add_subcommand(
        "protect",
        "protect START LEN against program and erase (BP, TB, SEC, CMP), or list the ranges the part "
        "can protect");
    protect_cmd->add_option("--range", *protect_range, "the range to protect; LEN 0 protects nothing")
        ->type_name("START LEN")
        ->expected(2);
    on_chosen(protect_cmd, chosen, [group, protect_range] {
        Options options = group->check();
        std::optional<ProtectArgs> args;
        if (!protect_range->empty()) {
            args = ProtectArgs{flash_address((*protect_range)[0], "START"),
                               size_arg((*protect_range)[1], "LEN", ADDRESS_LIMIT)};
        }
        return Action([options, args](const Context& ctx) { return cmd_protect(ctx, options, args); });
    });

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
    auto read_layout = std::make_shared<LayoutArgs>();
    add_layout_options(read_cmd, read_layout);
    on_chosen(read_cmd, chosen, [group, read, read_layout] {
        Options options = group->check();
        read_layout->apply(options);
        std::uint64_t addr = flash_address(read->addr, "ADDR");
        std::uint64_t len = size_arg(read->len, "LEN", ADDRESS_LIMIT);
        if (!read->out_file.empty()) {
            // A path that cannot be created is refused before the adapter is
            // opened (the temporary file is removed again at once).
            check_output_file(read->out_file);
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
    write_cmd
        ->add_option("--backup", write->backup,
                     "save the whole blocks the write touches (with --layout: from the first region's to the "
                     "last one's), as they were, to FILE first")
        ->type_name("FILE");
    write_cmd
        ->add_option("--recovery-dir", write->recovery_dir,
                     "where a failed write saves the old content it could not put back (default: the working "
                     "directory)")
        ->type_name("DIR");
    auto write_layout = std::make_shared<LayoutArgs>();
    add_layout_options(write_cmd, write_layout);
    on_chosen(write_cmd, chosen, [group, write, write_layout] {
        Options options = group->check();
        write_layout->apply(options);
        std::uint64_t addr = flash_address(write->addr, "ADDR");
        WriteArgs args{!write->no_verify, write->backup, write->recovery_dir};
        if (!args.backup_file.empty()) {
            // A path that cannot be created is refused before the adapter is opened.
            check_output_file(args.backup_file);
        }
        if (!args.recovery_dir.empty()) {
            check_recovery_dir(args.recovery_dir);
        }
        return Action([options, addr, in_file = write->in_file, args](const Context& ctx) {
            return cmd_write(ctx, options, addr, in_file, args);
        });
    });

    // spi verify ADDR FILE
    auto verify = std::make_shared<ImageArgs>();
    auto* verify_cmd = add_image_command(
        spi, "verify", "compare the flash at ADDR with FILE (exit 1 where they differ)", verify);
    auto verify_layout = std::make_shared<LayoutArgs>();
    add_layout_options(verify_cmd, verify_layout);
    on_chosen(verify_cmd, chosen, [group, verify, verify_layout] {
        Options options = group->check();
        verify_layout->apply(options);
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
