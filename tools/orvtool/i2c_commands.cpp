#include "i2c_commands.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>
#include <orv_lumo_iic.h>

#include "command.hpp"
#include "errors.hpp"
#include "i2c_bus.hpp"

namespace orvtool::i2c {

namespace {

constexpr unsigned TEN_BIT_LAST = 0x3FF;
constexpr std::uint32_t DUMP_LEN = 256;

// What was read from addr: in text a hex dump whose offsets start at the
// register.
Result read_result(const Bus& bus, std::uint32_t addr, std::optional<std::uint8_t> reg, Bytes data)
{
    return Result()
        .field("addr", addr)
        .field("addr_bits", bus.address_bits())
        .field("reg", reg)
        .field("len", data.size())
        .bytes("data", reg.value_or(0), std::move(data));
}

// Selects register (or offset) `reg` when given, then reads `len` bytes; a
// failure says how many bytes had been read and where it stopped.
Bytes read_from(const Context& ctx, Bus& bus, std::uint32_t addr, std::optional<std::uint8_t> reg,
                std::uint32_t len, const char* reg_name = "register")
{
    std::uint64_t read = 0;
    return reporting_done(
        [&] {
            if (reg) {
                bus.write(addr, Bytes{*reg}, std::string("selecting ") + reg_name + " " + hex(*reg, 2));
            }
            Progress progress(ctx, "read ", len);
            return bus.read(addr, len, [&](std::uint64_t done) {
                read = done;
                progress.update(done);
            });
        },
        [&] {
            // Without a register the read starts wherever the device's pointer was.
            std::optional<std::uint64_t> from;
            std::optional<std::uint64_t> stopped_at;
            if (reg) {
                from = *reg;
                stopped_at = *reg + read;
            }
            return std::vector<Done>{Done{"read", {{"bytes", read, len}}, from, stopped_at, 2}};
        });
}

} // namespace

std::string grid_text(const ProbeMap& map)
{
    std::string out = "    ";
    char cell[8];
    for (unsigned col = 0; col < 16; ++col) {
        std::snprintf(cell, sizeof cell, "  %x", col);
        out += cell;
    }
    out += "\n";
    for (unsigned row = map.first & ~0xFu; row <= map.last; row += 16) {
        std::snprintf(cell, sizeof cell, "%02x:", row);
        std::string line = cell;
        for (unsigned col = 0; col < 16; ++col) {
            unsigned a = row + col;
            if (a < map.first || a > map.last) {
                line += "   ";
            } else if (map.present[a - map.first]) {
                std::snprintf(cell, sizeof cell, " %02x", a);
                line += cell;
            } else {
                line += " --";
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out += line + "\n";
    }
    return out;
}

std::uint32_t address_arg(const std::string& text, bool ten_bit)
{
    auto v = parse_number(text, ten_bit ? TEN_BIT_LAST : 0x7F);
    if (!v) {
        usage_error("bad I2C address '" + text + "'", ten_bit ? "give a 10-bit address, 0x000 to 0x3ff"
                                                              : "give a 7-bit address, 0x00 to 0x7f "
                                                                "(--ten-bit for 10-bit addresses)");
    }
    return static_cast<std::uint32_t>(*v);
}

Result cmd_detect(const Context& ctx, const Options& options)
{
    Bus bus(ctx, options.clock_khz, options.ten_bit);
    ProbeMap map;
    if (options.ten_bit) {
        map.first = 0;
        map.last = TEN_BIT_LAST;
    }
    const unsigned total = map.last - map.first + 1;
    reporting_done(
        [&] {
            Progress progress(ctx, "probe", total);
            for (unsigned a = map.first; a <= map.last; ++a) {
                map.present.push_back(bus.probe(a));
                progress.update(a - map.first + 1);
            }
        },
        [&] {
            const auto probed = map.present.size();
            const auto found =
                static_cast<std::uint64_t>(std::count(map.present.begin(), map.present.end(), true));
            return std::vector<Done>{Done{"probed",
                                          {{"addresses", probed, total}, {"devices found", found, {}}},
                                          map.first,
                                          map.first + probed,
                                          options.ten_bit ? 3 : 2}};
        });
    Value::List found;
    std::string listed;
    for (unsigned a = map.first; a <= map.last; ++a) {
        if (map.present[a - map.first]) {
            found.emplace_back(a);
            listed += "  " + bus.address_text(a) + "\n";
        }
    }
    std::size_t count = found.size();
    Result result;
    result.field("addr_bits", bus.address_bits()).field("first", map.first).field("last", map.last);
    result.field("found", Value::list(std::move(found)));
    if (!options.ten_bit) {
        return result.text(grid_text(map));
    }
    // 1024 addresses make a poor grid: list the ones that answered.
    return result
        .line(std::to_string(count) + (count == 1 ? " device" : " devices") +
              " answered at 10-bit addresses" + (count == 0 ? "" : ":"))
        .text(listed);
}

Result cmd_read(const Context& ctx, const Options& options, std::uint32_t addr,
                std::optional<std::uint8_t> reg, std::uint32_t len)
{
    if (len == 0 || len > MAX_READ) {
        usage_error("LEN must be 1 to " + std::to_string(MAX_READ));
    }
    Bus bus(ctx, options.clock_khz, options.ten_bit);
    return read_result(bus, addr, reg, read_from(ctx, bus, addr, reg, len));
}

Result cmd_write(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes)
{
    if (bytes.empty() || bytes.size() > LUMO_IIC_MAX_WRITE_BYTES) {
        usage_error("give 1 to " + std::to_string(LUMO_IIC_MAX_WRITE_BYTES) + " bytes to write");
    }
    Bus bus(ctx, options.clock_khz, options.ten_bit);
    bus.write(addr, bytes, "writing to " + bus.address_text(addr));
    return Result()
        .field("addr", addr)
        .field("addr_bits", bus.address_bits())
        .field("written", bytes.size())
        .line("wrote " + std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte" : " bytes") + " to " +
              bus.address_text(addr));
}

Result cmd_dump(const Context& ctx, const Options& options, std::uint32_t addr)
{
    Bus bus(ctx, options.clock_khz, options.ten_bit);
    return read_result(bus, addr, std::uint8_t{0},
                       read_from(ctx, bus, addr, std::uint8_t{0}, DUMP_LEN, "offset"));
}

} // namespace orvtool::i2c

namespace orvtool {

namespace {

// i2c [--clock KHZ] [--ten-bit]
struct I2cArgs {
    std::string clock = std::to_string(i2c::Options{}.clock_khz);
    bool ten_bit = false;
    i2c::Options check() const { return i2c::Options{khz_arg(clock, "--clock"), ten_bit}; }
};

} // namespace

void register_i2c(CLI::App& app, Chosen& chosen)
{
    using namespace i2c;
    auto group = std::make_shared<I2cArgs>();
    auto* i2c = add_group(app, "i2c", "I2C bus");
    add_clock_option(i2c, "--clock", group->clock, "bus clock");
    i2c->add_flag("--ten-bit", group->ten_bit, "10-bit addresses");

    add_plain_command(i2c, chosen, group, "detect", "probe addresses 0x08-0x77 (with --ten-bit: 0x000-0x3ff)",
                      cmd_detect);

    // i2c read ADDR [REG] LEN
    auto read = std::make_shared<std::vector<std::string>>();
    auto* read_cmd = i2c->add_subcommand("read", "read LEN bytes, after writing register REG when given");
    read_cmd->add_option("ARGS", *read, "address, optional register, byte count")
        ->type_name("ADDR [REG] LEN")
        ->required()
        ->expected(2, 3);
    on_chosen(read_cmd, chosen, [group, read] {
        Options options = group->check();
        const auto& args = *read;
        std::uint32_t addr = address_arg(args[0], options.ten_bit);
        std::optional<std::uint8_t> reg;
        if (args.size() == 3) {
            reg = static_cast<std::uint8_t>(number_arg(args[1], "REG", 0xFF));
        }
        auto len = static_cast<std::uint32_t>(number_arg(args.back(), "LEN", MAX_READ));
        return Action(
            [options, addr, reg, len](const Context& ctx) { return cmd_read(ctx, options, addr, reg, len); });
    });

    // i2c write ADDR BYTES...
    struct WriteArgs {
        std::string addr;
        std::vector<std::string> bytes;
    };
    auto write = std::make_shared<WriteArgs>();
    auto* write_cmd = i2c->add_subcommand("write", "write BYTES to ADDR in one transaction");
    write_cmd->add_option("ADDR", write->addr, "device address")->type_name("")->required();
    write_cmd->add_option("BYTES", write->bytes, "bytes to write (0x41 or 65)")->type_name("")->required();
    on_chosen(write_cmd, chosen, [group, write] {
        Options options = group->check();
        std::uint32_t addr = address_arg(write->addr, options.ten_bit);
        Bytes bytes;
        for (const auto& b : write->bytes) {
            bytes.push_back(static_cast<std::uint8_t>(number_arg(b, "byte", 0xFF)));
        }
        return Action(
            [options, addr, bytes](const Context& ctx) { return cmd_write(ctx, options, addr, bytes); });
    });

    // i2c dump ADDR
    auto dump = std::make_shared<std::string>();
    auto* dump_cmd = i2c->add_subcommand("dump", "read 256 bytes from offset 0 (EEPROM, register file)");
    dump_cmd->add_option("ADDR", *dump, "device address")->type_name("")->required();
    on_chosen(dump_cmd, chosen, [group, dump] {
        Options options = group->check();
        std::uint32_t addr = address_arg(*dump, options.ten_bit);
        return Action([options, addr](const Context& ctx) { return cmd_dump(ctx, options, addr); });
    });
}

} // namespace orvtool
