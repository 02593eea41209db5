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

constexpr std::uint32_t DUMP_LEN = 256;
constexpr unsigned ROW = 16;

// The bus, set up; a note on stderr when the clock divisor rounds the clock
// asked for.
Bus open_bus(const Context& ctx, const Options& options)
{
    Bus bus(ctx, options.clock_khz, options.ten_bit);
    std::uint32_t set = clock_set_khz(options.clock_khz);
    if (set != options.clock_khz && ctx.err != nullptr) {
        *ctx.err << "orvtool: I2C clock " << set << " kHz (" << options.clock_khz
                 << " kHz asked: the clock divisor rounds)\n";
    }
    return bus;
}

Result& bus_fields(Result& result, const Bus& bus, const Options& options, std::uint32_t addr)
{
    return result.field("addr", addr)
        .field("addr_bits", bus.address_bits())
        .field("clock_khz", clock_set_khz(options.clock_khz));
}

const char* mode_name(ProbeMode mode)
{
    switch (mode) {
    case ProbeMode::automatic:
        return "auto";
    case ProbeMode::quick_write:
        return "quick-write";
    case ProbeMode::read_byte:
        return "read-byte";
    }
    return "?";
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
            Progress progress(ctx, "read", len);
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

ProbeMode probe_for(ProbeMode mode, unsigned addr)
{
    if (mode != ProbeMode::automatic) {
        return mode;
    }
    bool eeprom_like = (addr >= 0x30 && addr <= 0x37) || (addr >= 0x50 && addr <= 0x5F);
    return eeprom_like ? ProbeMode::read_byte : ProbeMode::quick_write;
}

std::string grid_text(const ProbeMap& map)
{
    std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n";
    char cell[24];
    for (unsigned row = 0; row <= LAST_7BIT; row += ROW) {
        std::snprintf(cell, sizeof cell, "%02x: ", row);
        out += cell;
        for (unsigned a = row; a < row + ROW; ++a) {
            if (a < map.first || a > map.last) {
                out += "   ";
            } else if (map.present[a - map.first]) {
                std::snprintf(cell, sizeof cell, "%02x ", a);
                out += cell;
            } else {
                out += "-- ";
            }
        }
        out += "\n";
    }
    return out;
}

std::string dump_text(std::span<const std::uint8_t> bytes)
{
    std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    char cell[24];
    for (std::size_t row = 0; row < bytes.size(); row += ROW) {
        std::snprintf(cell, sizeof cell, "%02zx: ", row);
        out += cell;
        std::string ascii;
        for (std::size_t i = row; i < row + ROW; ++i) {
            if (i >= bytes.size()) {
                out += "   ";
                continue;
            }
            std::uint8_t b = bytes[i];
            std::snprintf(cell, sizeof cell, "%02x ", b);
            out += cell;
            ascii += b == 0x00 || b == 0xFF ? '.' : b < 0x20 || b >= 0x7F ? '?' : static_cast<char>(b);
        }
        out += "   " + ascii + "\n";
    }
    return out;
}

std::uint32_t address_arg(const std::string& text, bool ten_bit)
{
    auto v = parse_number(text, ten_bit ? LAST_10BIT : LAST_7BIT);
    if (!v) {
        usage_error("bad I2C address '" + text + "'", ten_bit ? "give a 10-bit address, 0x000 to 0x3ff"
                                                              : "give a 7-bit address, 0x00 to 0x7f "
                                                                "(--ten-bit for 10-bit addresses)");
    }
    return static_cast<std::uint32_t>(*v);
}

Result cmd_detect(const Context& ctx, const Options& options, const DetectArgs& args)
{
    ProbeMap map;
    map.first = args.first.value_or(options.ten_bit ? 0 : FIRST_PROBE);
    map.last = args.last.value_or(options.ten_bit ? LAST_10BIT : LAST_PROBE);
    if (map.first > map.last) {
        usage_error("FIRST " + hex(map.first, 2) + " is above LAST " + hex(map.last, 2));
    }
    Bus bus = open_bus(ctx, options);
    // 10-bit addresses have no EEPROM ranges to spare: quick writes unless
    // reads are asked for.
    ProbeMode mode =
        options.ten_bit && args.mode == ProbeMode::automatic ? ProbeMode::quick_write : args.mode;
    const unsigned total = map.last - map.first + 1;
    reporting_done(
        [&] {
            Progress progress(ctx, "probe", total, false);
            for (unsigned a = map.first; a <= map.last; ++a) {
                bool read = probe_for(mode, a) == ProbeMode::read_byte;
                map.present.push_back(read ? bus.probe_read(a) : bus.probe_write(a));
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
    result.field("addr_bits", bus.address_bits())
        .field("clock_khz", clock_set_khz(options.clock_khz))
        .field("mode", mode_name(args.mode))
        .field("first", map.first)
        .field("last", map.last);
    result.field("found", Value::list(std::move(found)));
    if (!options.ten_bit) {
        return result.text(grid_text(map));
    }
    // 1024 addresses make a poor grid: list the ones that answered.
    return result
        .line(count_text(count, "device") + " answered at 10-bit addresses" + (count == 0 ? "" : ":"))
        .text(listed);
}

Result cmd_get(const Context& ctx, const Options& options, std::uint32_t addr,
               std::optional<std::uint8_t> reg)
{
    Bus bus = open_bus(ctx, options);
    if (reg) {
        bus.write(addr, Bytes{*reg}, "selecting register " + hex(*reg, 2));
    }
    std::uint8_t value = bus.read(addr, 1)[0];
    Result result;
    return bus_fields(result, bus, options, addr).field("reg", reg).field("value", value).line(hex(value, 2));
}

Result cmd_set(const Context& ctx, const Options& options, std::uint32_t addr, std::uint8_t reg,
               std::uint8_t value, bool readback)
{
    Bus bus = open_bus(ctx, options);
    bus.write(addr, Bytes{reg, value}, "writing register " + hex(reg, 2));
    Result result;
    bus_fields(result, bus, options, addr).field("reg", reg).field("value", value);
    if (!readback) {
        return result; // i2cset prints nothing
    }
    bus.write(addr, Bytes{reg}, "selecting register " + hex(reg, 2));
    std::uint8_t back = bus.read(addr, 1)[0];
    if (back != value) {
        throw ToolError(Exit::failed,
                        "data mismatch: wrote " + hex(value, 2) + ", read back " + hex(back, 2) +
                            " from register " + hex(reg, 2) + " of " + bus.address_text(addr),
                        "the register may be read-only, or hold other bits than those written");
    }
    return result.field("readback", back).line("Value " + hex(value, 2) + " written, readback matched");
}

Result cmd_read(const Context& ctx, const Options& options, std::uint32_t addr,
                std::optional<std::uint8_t> reg, std::uint32_t len)
{
    if (len == 0 || len > MAX_READ) {
        usage_error("LEN must be 1 to " + std::to_string(MAX_READ));
    }
    Bus bus = open_bus(ctx, options);
    Bytes data = read_from(ctx, bus, addr, reg, len);
    Result result;
    return bus_fields(result, bus, options, addr)
        .field("reg", reg)
        .field("len", data.size())
        .bytes("data", reg.value_or(0), std::move(data));
}

Result cmd_write(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes)
{
    if (bytes.empty() || bytes.size() > LUMO_IIC_MAX_WRITE_BYTES) {
        usage_error("give 1 to " + std::to_string(LUMO_IIC_MAX_WRITE_BYTES) + " bytes to write");
    }
    Bus bus = open_bus(ctx, options);
    bus.write(addr, bytes, "writing to " + bus.address_text(addr));
    Result result;
    return bus_fields(result, bus, options, addr)
        .field("written", bytes.size())
        .line("wrote " + count_text(bytes.size(), "byte") + " to " + bus.address_text(addr));
}

Result cmd_dump(const Context& ctx, const Options& options, std::uint32_t addr)
{
    Bus bus = open_bus(ctx, options);
    Bytes data = read_from(ctx, bus, addr, std::uint8_t{0}, DUMP_LEN, "offset");
    Result result;
    bus_fields(result, bus, options, addr).field("data", hex_bytes(data, "")).text(dump_text(data));
    return result;
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

std::uint8_t byte_arg(const std::string& text, const char* what)
{
    return static_cast<std::uint8_t>(number_arg(text, what, 0xFF));
}

} // namespace

void register_i2c(CLI::App& app, Chosen& chosen)
{
    using namespace i2c;
    auto group = std::make_shared<I2cArgs>();
    auto* i2c = add_group(app, "i2c", "I2C bus");
    i2c->add_option("--clock", group->clock,
                    "bus clock in kHz, 235 to 60000 (default " + group->clock +
                        "). The adapter divides 60 MHz by a one-byte divisor (60000 / KHZ, at most 255), so "
                        "100 kHz would need 600 and is out of reach; the clock set is 60000 / divisor")
        ->type_name("KHZ");
    i2c->add_flag("--ten-bit", group->ten_bit, "10-bit addresses");

    // i2c detect [-q | -r] [FIRST LAST]
    struct DetectCli {
        bool quick = false, read = false;
        std::vector<std::string> range;
    };
    auto detect = std::make_shared<DetectCli>();
    auto* detect_cmd = i2c->add_subcommand(
        "detect",
        "probe addresses 0x08-0x77 (--ten-bit: 0x000-0x3ff) and show those that answer, as i2cdetect");
    auto* quick = detect_cmd->add_flag("-q", detect->quick, "probe with quick writes (the address alone)");
    auto* read_flag = detect_cmd->add_flag("-r", detect->read, "probe with receive byte (a one-byte read)");
    quick->excludes(read_flag);
    detect_cmd->add_option("FIRST", detect->range, "the range to probe (default 0x08 0x77)")
        ->option_text("[FIRST LAST]")
        ->expected(0, 2);
    on_chosen(detect_cmd, chosen, [group, detect] {
        Options options = group->check();
        DetectArgs args;
        args.mode = detect->quick  ? ProbeMode::quick_write
                    : detect->read ? ProbeMode::read_byte
                                   : ProbeMode::automatic;
        if (detect->range.size() == 1) {
            usage_error("give both FIRST and LAST, or neither");
        }
        if (detect->range.size() == 2) {
            args.first = address_arg(detect->range[0], options.ten_bit);
            args.last = address_arg(detect->range[1], options.ten_bit);
            if (*args.first > *args.last) {
                usage_error("FIRST " + detect->range[0] + " is above LAST " + detect->range[1]);
            }
        }
        return Action([options, args](const Context& ctx) { return cmd_detect(ctx, options, args); });
    });

    // i2c get ADDR [REG]
    struct GetCli {
        std::string addr, reg;
    };
    auto get = std::make_shared<GetCli>();
    auto* get_cmd =
        i2c->add_subcommand("get", "read one byte, of register REG when given; prints it as i2cget");
    get_cmd->add_option("ADDR", get->addr, "device address")->type_name("")->required();
    get_cmd->add_option("REG", get->reg, "register: written first, then one byte read")->type_name("");
    on_chosen(get_cmd, chosen, [group, get] {
        Options options = group->check();
        std::uint32_t addr = address_arg(get->addr, options.ten_bit);
        std::optional<std::uint8_t> reg;
        if (!get->reg.empty()) {
            reg = byte_arg(get->reg, "REG");
        }
        return Action([options, addr, reg](const Context& ctx) { return cmd_get(ctx, options, addr, reg); });
    });

    // i2c set ADDR REG VALUE [-r]
    struct SetCli {
        std::string addr, reg, value;
        bool readback = false;
    };
    auto set = std::make_shared<SetCli>();
    auto* set_cmd =
        i2c->add_subcommand("set", "write VALUE to register REG (REG, VALUE in one transaction), as i2cset");
    set_cmd->add_option("ADDR", set->addr, "device address")->type_name("")->required();
    set_cmd->add_option("REG", set->reg, "register")->type_name("")->required();
    set_cmd->add_option("VALUE", set->value, "byte to write")->type_name("")->required();
    set_cmd->add_flag("-r", set->readback, "read the register back and compare");
    on_chosen(set_cmd, chosen, [group, set] {
        Options options = group->check();
        std::uint32_t addr = address_arg(set->addr, options.ten_bit);
        std::uint8_t reg = byte_arg(set->reg, "REG");
        std::uint8_t value = byte_arg(set->value, "VALUE");
        return Action([options, addr, reg, value, readback = set->readback](const Context& ctx) {
            return cmd_set(ctx, options, addr, reg, value, readback);
        });
    });

    // i2c read ADDR [REG] LEN
    struct ReadCli {
        std::string addr;
        std::vector<std::string> rest;
    };
    auto read = std::make_shared<ReadCli>();
    auto* read_cmd = i2c->add_subcommand(
        "read", "read LEN bytes (4k: binary multiples), after writing register REG when given");
    read_cmd->add_option("ADDR", read->addr, "device address")->type_name("")->required();
    read_cmd->add_option("LEN", read->rest, "optional register, then the byte count")
        ->option_text("[REG] LEN")
        ->required()
        ->expected(1, 2);
    on_chosen(read_cmd, chosen, [group, read] {
        Options options = group->check();
        std::uint32_t addr = address_arg(read->addr, options.ten_bit);
        const auto& rest = read->rest;
        std::optional<std::uint8_t> reg;
        if (rest.size() == 2) {
            reg = byte_arg(rest[0], "REG");
        }
        auto len = static_cast<std::uint32_t>(size_arg(rest.back(), "LEN", MAX_READ));
        return Action(
            [options, addr, reg, len](const Context& ctx) { return cmd_read(ctx, options, addr, reg, len); });
    });

    // i2c write ADDR BYTES...
    struct WriteCli {
        std::string addr;
        std::vector<std::string> bytes;
    };
    auto write = std::make_shared<WriteCli>();
    auto* write_cmd = i2c->add_subcommand("write", "write BYTES to ADDR in one transaction");
    write_cmd->add_option("ADDR", write->addr, "device address")->type_name("")->required();
    write_cmd->add_option("BYTES", write->bytes, "bytes to write (0x41 or 65)")
        ->option_text("BYTES...")
        ->required();
    on_chosen(write_cmd, chosen, [group, write] {
        Options options = group->check();
        std::uint32_t addr = address_arg(write->addr, options.ten_bit);
        Bytes bytes;
        for (const auto& b : write->bytes) {
            bytes.push_back(byte_arg(b, "byte"));
        }
        return Action(
            [options, addr, bytes](const Context& ctx) { return cmd_write(ctx, options, addr, bytes); });
    });

    // i2c dump ADDR
    auto dump = std::make_shared<std::string>();
    auto* dump_cmd = i2c->add_subcommand(
        "dump", "read 256 bytes from offset 0 and show them as i2cdump (EEPROM, register file)");
    dump_cmd->add_option("ADDR", *dump, "device address")->type_name("")->required();
    on_chosen(dump_cmd, chosen, [group, dump] {
        Options options = group->check();
        std::uint32_t addr = address_arg(*dump, options.ten_bit);
        return Action([options, addr](const Context& ctx) { return cmd_dump(ctx, options, addr); });
    });
}

} // namespace orvtool
