#include "front/orvtool/i2c_commands.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>
#include <orv_lumo_iic.h>

#include "front/orvtool/bscan_commands.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"

namespace orvtool::i2c {

namespace {

constexpr std::uint32_t DUMP_LEN = 256;
constexpr std::uint32_t REG16_DUMP_LEN = 4096; // a 24C32, the smallest EEPROM with two address bytes
constexpr std::size_t MAX_BLOCK = 32;          // an I2C block, as i2cget and i2cset take one
constexpr unsigned ROW = 16;

// The bus, set up; a note on stderr when the clock set differs from the one
// asked for.
struct OpenBus {
    PinBusChain pins; // the chain the bus's pins are on: closed after the bus
    I2cHandle handle;
    orvdev_clock clock{};
    bool ten_bit = false;
    orvdev_i2c* get() const { return handle.get(); }
    int address_bits() const { return ten_bit ? 10 : 7; }
    std::string address_text(std::uint32_t addr) const { return hex(addr, ten_bit ? 3 : 2); }
};

OpenBus open_bus(const Context& ctx, const Options& options)
{
    orvdev_i2c_options o{};
    orvdev_i2c_options_init(&o);
    o.clock_khz = options.clock_khz;
    o.ten_bit = options.ten_bit ? 1 : 0;
    orvdev_i2c* i2c = nullptr;
    orvdev_report report{};
    if (!options.via_bscan.empty()) {
        const ViaBscan via = parse_via_bscan(options.via_bscan, {"scl", "sda"});
        // Through pins, --clock is the JTAG clock: an I2C bit is two or three DR scans.
        PinBusChain chain = open_pin_bus_chain(ctx, via, options.bsdl, options.clock_khz);
        const orvdev_i2c_pins pins{via.pins[0].second.c_str(), via.pins[1].second.c_str(),
                                   options.stretch ? 1 : 0};
        check_device(orvdev_i2c_open_bscan(chain.bscan.get(), chain.tap, &pins, &o, &i2c, &report), report,
                     ctx);
        return OpenBus{std::move(chain), I2cHandle(i2c), orvdev_i2c_clock(i2c), options.ten_bit};
    }
    check_device(orvdev_i2c_open(ctx.session, &o, &i2c, &report), report, ctx);
    OpenBus bus{{}, I2cHandle(i2c), orvdev_i2c_clock(i2c), options.ten_bit};
    if (std::uint64_t{options.clock_khz} * 1000 != bus.clock.actual_hz && ctx.err != nullptr) {
        *ctx.err << "orvtool: I2C clock " << clock_text(bus.clock, options.clock_khz) << "\n";
    }
    return bus;
}

Result& bus_fields(Result& result, const OpenBus& bus, std::uint32_t addr)
{
    return result.field("addr", addr)
        .field("addr_hex", bus.address_text(addr))
        .field("addr_bits", bus.address_bits())
        .field("clock_khz", bus.clock.actual_hz / 1000);
}

// The hint for an address no device acknowledged.
std::string no_ack_hint(const Options& options)
{
    return "check the address (orvtool i2c" + std::string(options.ten_bit ? " --ten-bit" : "") +
           " detect), the wiring and the pull-ups";
}

void check_bus(std::int32_t rc, const orvdev_report& report, const Context& ctx, const Options& options)
{
    check_device(rc, report, ctx, rc == ORVDEV_ERROR_I2C_NO_ACK ? no_ack_hint(options) : "");
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

std::int32_t probe_code(ProbeMode mode)
{
    switch (mode) {
    case ProbeMode::quick_write:
        return ORVDEV_PROBE_QUICK_WRITE;
    case ProbeMode::read_byte:
        return ORVDEV_PROBE_READ_BYTE;
    case ProbeMode::automatic:
        break;
    }
    return ORVDEV_PROBE_AUTO;
}

int reg_bytes(const Options& options)
{
    return options.reg16 ? 2 : 1;
}

// The register as a number and as orvtool prints it; both null when none.
Result& reg_fields(Result& result, const Options& options, std::optional<std::uint32_t> reg)
{
    return result.field("reg", reg)
        .field("reg_hex", reg ? Value(hex(*reg, 2 * reg_bytes(options))) : Value());
}

// Reads `len` bytes, from register (or offset) `reg` when given; a failure
// says how many bytes had been read and where it stopped.
Bytes read_from(const Context& ctx, const OpenBus& bus, const Options& options, std::uint32_t addr,
                std::optional<std::uint32_t> reg, std::uint32_t len)
{
    Bytes data(len);
    orvdev_report report{};
    std::int32_t rc = 0;
    {
        SessionBars bars(ctx);
        rc = reg ? orvdev_i2c_read_reg(bus.get(), addr, *reg, reg_bytes(options), data.data(), len, &report)
                 : orvdev_i2c_read(bus.get(), addr, data.data(), len, &report);
    }
    check_bus(rc, report, ctx, options);
    return data;
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

std::string dump_text(std::span<const std::uint8_t> bytes, std::size_t first)
{
    // Offsets of 16 bits take four digits, and the header moves along.
    const int digits = first + bytes.size() > 0x100 ? 4 : 2;
    std::string out = std::string(static_cast<std::size_t>(digits - 2), ' ') +
                      "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    char cell[24];
    // Rows start at multiples of 16, as i2cdump's do; a range that does not
    // starts with blanks.
    const std::size_t start = first / ROW * ROW;
    const std::size_t end = first + bytes.size();
    for (std::size_t row = start; row < end; row += ROW) {
        std::snprintf(cell, sizeof cell, "%0*zx: ", digits, row);
        out += cell;
        std::string ascii;
        for (std::size_t i = row; i < row + ROW; ++i) {
            if (i < first || i >= end) {
                out += "   ";
                if (i < first) {
                    ascii += ' ';
                }
                continue;
            }
            std::uint8_t b = bytes[i - first];
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
    OpenBus bus = open_bus(ctx, options);
    Bytes present(map.last - map.first + 1);
    orvdev_report report{};
    std::int32_t rc = 0;
    {
        SessionBars bars(ctx);
        rc =
            orvdev_i2c_detect(bus.get(), map.first, map.last, probe_code(args.mode), present.data(), &report);
    }
    check_bus(rc, report, ctx, options);
    map.present.assign(present.begin(), present.end());
    Value::List found;
    Value::List found_hex;
    std::string listed;
    for (unsigned a = map.first; a <= map.last; ++a) {
        if (map.present[a - map.first]) {
            found.emplace_back(a);
            found_hex.emplace_back(bus.address_text(a));
            listed += "  " + bus.address_text(a) + "\n";
        }
    }
    std::size_t count = found.size();
    Result result;
    result.field("addr_bits", bus.address_bits())
        .field("clock_khz", bus.clock.actual_hz / 1000)
        .field("mode", mode_name(args.mode))
        .field("first", map.first)
        .field("last", map.last);
    result.field("found", Value::list(std::move(found)));
    result.field("found_hex", Value::list(std::move(found_hex)));
    if (!options.ten_bit) {
        return result.text(grid_text(map));
    }
    // 1024 addresses make a poor grid: list the ones that answered.
    return result
        .line(count_text(count, "device") + " answered at 10-bit addresses" + (count == 0 ? "" : ":"))
        .text(listed);
}

namespace {

// A word as i2cget prints it and i2cset takes it: the device sends and takes
// the low byte first.
std::uint32_t word_of(std::span<const std::uint8_t> bytes)
{
    return bytes[0] | static_cast<std::uint32_t>(bytes[1]) << 8;
}

// The value as i2cget prints it in `mode`: 0x5a, 0x125a, or the block's
// bytes "0x01 0x02 ...".
std::string value_text(std::span<const std::uint8_t> bytes, DataMode mode)
{
    if (mode == DataMode::byte) {
        return hex(bytes[0], 2);
    }
    if (mode == DataMode::word) {
        return hex(word_of(bytes), 4);
    }
    std::string text;
    for (const std::uint8_t b : bytes) {
        text += (text.empty() ? "" : " ") + hex(b, 2);
    }
    return text;
}

Value value_json(std::span<const std::uint8_t> bytes, DataMode mode)
{
    if (mode == DataMode::byte) {
        return Value(bytes[0]);
    }
    if (mode == DataMode::word) {
        return Value(word_of(bytes));
    }
    Value::List list;
    for (const std::uint8_t b : bytes) {
        list.emplace_back(b);
    }
    return Value::list(std::move(list));
}

// "value" and "value_hex": the number (a block: a list of them) and the text
// as printed.
Result& value_fields(Result& result, const std::string& name, std::span<const std::uint8_t> bytes,
                     DataMode mode)
{
    return result.field(name, value_json(bytes, mode)).field(name + "_hex", value_text(bytes, mode));
}

} // namespace

std::size_t data_bytes(DataMode mode, std::size_t block_length)
{
    return mode == DataMode::byte ? 1 : mode == DataMode::word ? 2 : block_length;
}

Result cmd_get(const Context& ctx, const Options& options, std::uint32_t addr,
               std::optional<std::uint32_t> reg, DataMode mode, std::size_t length)
{
    OpenBus bus = open_bus(ctx, options);
    const Bytes data =
        read_from(ctx, bus, options, addr, reg, static_cast<std::uint32_t>(data_bytes(mode, length)));
    Result result;
    bus_fields(result, bus, addr);
    reg_fields(result, options, reg);
    return value_fields(result, "value", data, mode).line(value_text(data, mode));
}

Result cmd_set(const Context& ctx, const Options& options, std::uint32_t addr, std::uint32_t reg,
               const Bytes& value, DataMode mode, bool readback)
{
    OpenBus bus = open_bus(ctx, options);
    orvdev_report report{};
    check_bus(orvdev_i2c_write_reg(bus.get(), addr, reg, reg_bytes(options), value.data(),
                                   static_cast<std::uint32_t>(value.size()), &report),
              report, ctx, options);
    Result result;
    bus_fields(result, bus, addr);
    reg_fields(result, options, reg);
    value_fields(result, "value", value, mode);
    if (!readback) {
        return result; // i2cset prints nothing
    }
    const Bytes back = read_from(ctx, bus, options, addr, reg, static_cast<std::uint32_t>(value.size()));
    if (back != value) {
        throw ToolError(Exit::failed,
                        "data mismatch: wrote " + value_text(value, mode) + ", read back " +
                            value_text(back, mode) + " from register " + hex(reg, 2 * reg_bytes(options)) +
                            " of " + bus.address_text(addr),
                        "the register may be read-only, or hold other bits than those written");
    }
    return value_fields(result, "readback", back, mode)
        .line("Value " + value_text(value, mode) + " written, readback matched");
}

Result cmd_read(const Context& ctx, const Options& options, std::uint32_t addr,
                std::optional<std::uint32_t> reg, std::uint32_t len)
{
    if (len == 0 || len > MAX_READ) {
        usage_error("LEN must be 1 to " + std::to_string(MAX_READ));
    }
    OpenBus bus = open_bus(ctx, options);
    Bytes data = read_from(ctx, bus, options, addr, reg, len);
    Result result;
    bus_fields(result, bus, addr);
    return reg_fields(result, options, reg)
        .field("len", data.size())
        .bytes("data", reg.value_or(0), std::move(data));
}

Result cmd_write(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes)
{
    if (bytes.empty() || bytes.size() > LUMO_IIC_MAX_WRITE_BYTES) {
        usage_error("give 1 to " + std::to_string(LUMO_IIC_MAX_WRITE_BYTES) + " bytes to write");
    }
    OpenBus bus = open_bus(ctx, options);
    orvdev_report report{};
    check_bus(
        orvdev_i2c_write(bus.get(), addr, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &report),
        report, ctx, options);
    Result result;
    return bus_fields(result, bus, addr)
        .field("written", bytes.size())
        .line("wrote " + count_text(bytes.size(), "byte") + " to " + bus.address_text(addr));
}

Result cmd_dump(const Context& ctx, const Options& options, std::uint32_t addr, std::uint32_t first,
                std::uint32_t last)
{
    OpenBus bus = open_bus(ctx, options);
    Bytes data = read_from(ctx, bus, options, addr, first, last - first + 1);
    Result result;
    bus_fields(result, bus, addr)
        .field("first", first)
        .field("data", hex_bytes(data, ""))
        .text(dump_text(data, first));
    return result;
}

std::vector<TransferMessage> parse_transfer(const std::vector<std::string>& words, bool ten_bit)
{
    const std::string hint = "give messages as i2ctransfer takes them: w2@0x50 0x00 0x10 r16@0x50 (a write's "
                             "bytes follow it; the address may be left out after the first message)";
    std::vector<TransferMessage> messages;
    std::optional<std::uint32_t> last_addr;
    for (std::size_t i = 0; i < words.size();) {
        const std::string& word = words[i++];
        if (word.empty() || (word[0] != 'r' && word[0] != 'w')) {
            usage_error("'" + word + "' is not a message (r or w, a length, and @ADDR)", hint);
        }
        TransferMessage m;
        m.read = word[0] == 'r';
        const std::size_t at = word.find('@');
        const auto len = parse_number(word.substr(1, at == std::string::npos ? std::string::npos : at - 1),
                                      LUMO_IIC_MAX_WRITE_BYTES);
        if (!len || (m.read && *len == 0)) {
            usage_error("bad length in '" + word + "'", hint);
        }
        m.len = static_cast<std::uint32_t>(*len);
        if (at != std::string::npos) {
            last_addr = address_arg(word.substr(at + 1), ten_bit);
        } else if (!last_addr) {
            usage_error("the first message '" + word + "' needs an address (@ADDR)", hint);
        }
        m.addr = *last_addr;
        if (!m.read) {
            // Values; a suffix '=' repeats it, '+' and '-' count from it, for the rest of the message.
            while (m.data.size() < m.len) {
                if (i == words.size()) {
                    usage_error("'" + word + "' announces " + count_text(m.len, "byte") + ", " +
                                    std::to_string(m.data.size()) + " given",
                                hint);
                }
                std::string value = words[i++];
                const char suffix = value.empty() ? '\0' : value.back();
                if (suffix == '=' || suffix == '+' || suffix == '-') {
                    value.pop_back();
                }
                auto byte = static_cast<std::uint8_t>(number_arg(value, "byte", 0xFF));
                do {
                    m.data.push_back(byte);
                    byte = static_cast<std::uint8_t>(suffix == '+'   ? byte + 1
                                                     : suffix == '-' ? byte - 1
                                                                     : byte);
                } while ((suffix == '=' || suffix == '+' || suffix == '-') && m.data.size() < m.len);
            }
        }
        messages.push_back(std::move(m));
    }
    if (messages.empty()) {
        usage_error("give at least one message", hint);
    }
    if (messages.size() > ORVDEV_I2C_MAX_MESSAGES) {
        usage_error("at most " + std::to_string(ORVDEV_I2C_MAX_MESSAGES) + " messages in one transfer", hint);
    }
    return messages;
}

Result cmd_transfer(const Context& ctx, const Options& options, const std::vector<TransferMessage>& messages)
{
    OpenBus bus = open_bus(ctx, options);
    std::vector<Bytes> buffers;
    std::vector<orvdev_i2c_message> list;
    buffers.reserve(messages.size());
    for (const TransferMessage& m : messages) {
        buffers.push_back(m.read ? Bytes(m.len) : m.data);
        list.push_back(orvdev_i2c_message{m.addr, m.read ? 1 : 0,
                                          static_cast<std::uint32_t>(buffers.back().size()),
                                          buffers.back().data()});
    }
    orvdev_report report{};
    check_bus(orvdev_i2c_transfer(bus.get(), list.data(), static_cast<std::uint32_t>(list.size()), &report),
              report, ctx, options);
    Value::List json;
    std::string text;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const TransferMessage& m = messages[i];
        json.push_back(Value::object({{"addr", m.addr},
                                      {"direction", m.read ? "read" : "write"},
                                      {"len", buffers[i].size()},
                                      {"data", hex_bytes(buffers[i], "")}}));
        if (m.read) {
            // i2ctransfer prints each read message's bytes on a line.
            std::string line;
            for (std::uint8_t b : buffers[i]) {
                line += (line.empty() ? "" : " ") + hex(b, 2);
            }
            text += line + "\n";
        }
    }
    Result result;
    return result.field("addr_bits", bus.address_bits())
        .field("clock_khz", bus.clock.actual_hz / 1000)
        .field("messages", Value::list(std::move(json)))
        .text(text);
}

} // namespace orvtool::i2c

namespace orvtool {

namespace {

// i2c [--clock KHZ] [--ten-bit] [--reg16]
struct I2cArgs {
    std::string clock = std::to_string(i2c::Options{}.clock_khz);
    bool ten_bit = false;
    bool reg16 = false;
    std::string via_bscan;
    std::vector<std::string> bsdl;
    bool stretch = false;
    i2c::Options check() const
    {
        // Refused before the adapter opens.
        if (!via_bscan.empty()) {
            (void)parse_via_bscan(via_bscan, {"scl", "sda"});
        } else if (stretch) {
            usage_error("--stretch waits for SCL on boundary-scan pins",
                        "give it with --via-bscan TAP:scl=PORT,sda=PORT");
        }
        return i2c::Options{khz_arg(clock, "--clock"), ten_bit, reg16, via_bscan, bsdl, stretch};
    }
};

i2c::DataMode mode_arg(const std::string& text)
{
    if (text == "b") {
        return i2c::DataMode::byte;
    }
    if (text == "w") {
        return i2c::DataMode::word;
    }
    if (text == "i") {
        return i2c::DataMode::block;
    }
    usage_error("bad MODE '" + text + "'",
                "give b (a byte), w (a word) or i (an I2C block), as i2cget takes them");
}

std::uint8_t byte_arg(const std::string& text, const char* what)
{
    return static_cast<std::uint8_t>(number_arg(text, what, 0xFF));
}

// A register or offset: one byte, or two with --reg16.
std::uint32_t reg_arg(const std::string& text, const i2c::Options& options)
{
    return static_cast<std::uint32_t>(number_arg(text, "REG", options.reg16 ? 0xFFFF : 0xFF));
}

// i2c detect [-q | -r] [FIRST LAST]
void add_detect(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
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
}

// i2c get ADDR [REG [MODE [LENGTH]]]
void add_get(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
    struct GetCli {
        std::string addr;
        std::vector<std::string> rest;
    };
    auto get = std::make_shared<GetCli>();
    auto* get_cmd = i2c->add_subcommand(
        "get", "read a byte (or a word, or a block) of register REG when given; prints it as i2cget");
    get_cmd->add_option("ADDR", get->addr, "device address")->type_name("")->required();
    get_cmd
        ->add_option("REG", get->rest,
                     "register: written first, then read; MODE b (a byte, the default), w (a word, low byte "
                     "first) or i (an I2C block of LENGTH bytes, 1 to 32 as i2cget takes, default 32)")
        ->option_text("[REG [MODE [LENGTH]]]")
        ->expected(0, 3);
    on_chosen(get_cmd, chosen, [group, get] {
        Options options = group->check();
        std::uint32_t addr = address_arg(get->addr, options.ten_bit);
        std::optional<std::uint32_t> reg;
        const auto& rest = get->rest;
        if (!rest.empty()) {
            reg = reg_arg(rest[0], options);
        }
        const DataMode mode = rest.size() > 1 ? mode_arg(rest[1]) : DataMode::byte;
        std::size_t length = 1;
        if (rest.size() > 2 && mode != DataMode::block) {
            usage_error("LENGTH is for mode i (an I2C block) only");
        }
        if (mode == DataMode::block) {
            length = rest.size() > 2 ? number_arg(rest[2], "LENGTH", MAX_BLOCK) : MAX_BLOCK;
            if (length == 0) {
                usage_error("LENGTH must be 1 to " + std::to_string(MAX_BLOCK));
            }
        }
        return Action([options, addr, reg, mode, length](const Context& ctx) {
            return cmd_get(ctx, options, addr, reg, mode, length);
        });
    });
}

// i2c set ADDR REG VALUE... [MODE] [-r]
void add_set(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
    struct SetCli {
        std::string addr, reg;
        std::vector<std::string> values;
        bool readback = false;
    };
    auto set = std::make_shared<SetCli>();
    auto* set_cmd = i2c->add_subcommand(
        "set",
        "write VALUE to register REG (REG, VALUE in one transaction), as i2cset; MODE w writes a word, "
        "i the bytes given as an I2C block");
    set_cmd->add_option("ADDR", set->addr, "device address")->type_name("")->required();
    set_cmd->add_option("REG", set->reg, "register")->type_name("")->required();
    set_cmd->add_option("VALUE", set->values, "the byte, the word (mode w) or the block's bytes (mode i)")
        ->option_text("VALUE... [MODE]")
        ->required();
    set_cmd->add_flag("-r", set->readback, "read the register back and compare");
    on_chosen(set_cmd, chosen, [group, set] {
        Options options = group->check();
        std::uint32_t addr = address_arg(set->addr, options.ten_bit);
        std::uint32_t reg = reg_arg(set->reg, options);
        std::vector<std::string> values = set->values;
        DataMode mode = DataMode::byte;
        if (values.size() > 1 && (values.back() == "b" || values.back() == "w" || values.back() == "i")) {
            mode = mode_arg(values.back());
            values.pop_back();
        }
        Bytes value;
        if (mode == DataMode::word) {
            if (values.size() != 1) {
                usage_error("mode w takes one VALUE, a 16-bit word");
            }
            const auto word = number_arg(values[0], "VALUE", 0xFFFF);
            value = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
        } else {
            if (mode == DataMode::byte && values.size() != 1) {
                usage_error("give one VALUE, or several with mode i (an I2C block)");
            }
            if (values.size() > MAX_BLOCK) {
                usage_error("an I2C block is at most " + std::to_string(MAX_BLOCK) +
                            " bytes, as i2cset takes it");
            }
            for (const auto& v : values) {
                value.push_back(byte_arg(v, "VALUE"));
            }
        }
        return Action([options, addr, reg, value, mode, readback = set->readback](const Context& ctx) {
            return cmd_set(ctx, options, addr, reg, value, mode, readback);
        });
    });
}

// i2c read ADDR [REG] LEN
void add_read(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
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
        std::optional<std::uint32_t> reg;
        if (rest.size() == 2) {
            reg = reg_arg(rest[0], options);
        }
        auto len = static_cast<std::uint32_t>(size_arg(rest.back(), "LEN", MAX_READ));
        return Action(
            [options, addr, reg, len](const Context& ctx) { return cmd_read(ctx, options, addr, reg, len); });
    });
}

// i2c write ADDR BYTES...
void add_write(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
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
}

// i2c dump [-r FIRST-LAST] ADDR
void add_dump(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
    struct DumpCli {
        std::string addr, range;
    };
    auto dump = std::make_shared<DumpCli>();
    auto* dump_cmd = i2c->add_subcommand(
        "dump",
        "show 256 bytes from offset 0 (with --reg16: the 4 KiB of a 24C32) as i2cdump (EEPROM, register "
        "file)");
    dump_cmd->add_option("ADDR", dump->addr, "device address")->type_name("")->required();
    dump_cmd->add_option("-r", dump->range, "the offsets to show, as i2cdump takes them (0x00-0x7f)")
        ->type_name("FIRST-LAST");
    on_chosen(dump_cmd, chosen, [group, dump] {
        Options options = group->check();
        std::uint32_t addr = address_arg(dump->addr, options.ten_bit);
        const std::uint32_t top = options.reg16 ? 0xFFFF : 0xFF;
        std::uint32_t first = 0;
        std::uint32_t last = options.reg16 ? REG16_DUMP_LEN - 1 : DUMP_LEN - 1;
        if (!dump->range.empty()) {
            const auto dash = dump->range.find('-');
            if (dash == std::string::npos) {
                usage_error("bad -r '" + dump->range + "'", "give FIRST-LAST, for instance 0x00-0x7f");
            }
            first = static_cast<std::uint32_t>(size_arg(dump->range.substr(0, dash), "FIRST", top));
            last = static_cast<std::uint32_t>(size_arg(dump->range.substr(dash + 1), "LAST", top));
            if (first > last) {
                usage_error("FIRST " + hex(first, 2) + " is above LAST " + hex(last, 2));
            }
        }
        return Action([options, addr, first, last](const Context& ctx) {
            return cmd_dump(ctx, options, addr, first, last);
        });
    });
}

// i2c transfer MESSAGE...
void add_transfer(CLI::App* i2c, Chosen& chosen, const std::shared_ptr<I2cArgs>& group)
{
    using namespace i2c;
    auto transfer = std::make_shared<std::vector<std::string>>();
    auto* transfer_cmd = i2c->add_subcommand(
        "transfer", "several messages in one transaction, with repeated STARTs and no STOP between them, as "
                    "i2ctransfer: w2@0x50 0x00 0x10 r16@0x50");
    transfer_cmd->add_option("MESSAGES", *transfer, "{r|w}LEN[@ADDR], a write's bytes after it")
        ->option_text("MESSAGE...")
        ->required();
    on_chosen(transfer_cmd, chosen, [group, transfer] {
        Options options = group->check();
        auto messages = parse_transfer(*transfer, options.ten_bit);
        return Action(
            [options, messages](const Context& ctx) { return cmd_transfer(ctx, options, messages); });
    });
}

} // namespace

void register_i2c(CLI::App& app, Chosen& chosen)
{
    auto group = std::make_shared<I2cArgs>();
    auto* i2c = add_group(app, "i2c", "I2C bus");
    i2c->add_option("--clock", group->clock,
                    "bus clock in kHz, 235 to 60000 (default " + group->clock +
                        "). The adapter divides 60 MHz by a one-byte divisor (60000 / KHZ, at most 255), so "
                        "100 kHz would need 600 and is out of reach; the clock set is 60000 / divisor")
        ->type_name("KHZ");
    i2c->add_flag("--ten-bit", group->ten_bit, "10-bit addresses");
    i2c->add_flag("--reg16", group->reg16,
                  "registers and offsets of get, set, read and dump take two address bytes, most significant "
                  "first (24C32 and larger EEPROMs)");
    i2c->add_option("--via-bscan", group->via_bscan,
                    "reach the bus through pins of a device on the JTAG chain, held in EXTEST: "
                    "TAP:scl=PORT,sda=PORT (TAP an index or the BSDL entity; both open drain, the board's "
                    "pull-ups needed); --clock is then the JTAG clock")
        ->type_name("PINS");
    i2c->add_option(
           "--bsdl", group->bsdl,
           "with --via-bscan: a BSDL file, or a directory of them; repeatable; ORV_BSDL_PATH adds more")
        ->type_name("FILE|DIR");
    i2c->add_flag("--stretch", group->stretch,
                  "with --via-bscan: wait for a device that stretches the clock, reading SCL after each "
                  "release until it is high (a read-back exchange per bit)");

    add_detect(i2c, chosen, group);
    add_get(i2c, chosen, group);
    add_set(i2c, chosen, group);
    add_read(i2c, chosen, group);
    add_write(i2c, chosen, group);
    add_dump(i2c, chosen, group);
    add_transfer(i2c, chosen, group);
}

} // namespace orvtool
