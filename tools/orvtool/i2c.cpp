#include "i2c.hpp"

#include <algorithm>
#include <cstdio>

#include <orv_lumo_iic.h>
#include <orv_tapwire.h>

#include "errors.hpp"

namespace orvtool::i2c {

namespace {

constexpr unsigned TEN_BIT_LAST = 0x3FF;
constexpr std::uint32_t DUMP_LEN = 256;

int bits_of(const Options& options)
{
    return options.ten_bit ? 10 : 7;
}

std::string addr_text(std::uint32_t addr, const Options& options)
{
    return hex(addr, options.ten_bit ? 3 : 2);
}

std::string no_ack_hint(std::uint32_t addr, const Options& options)
{
    return "no device acknowledged " + addr_text(addr, options) + ": check the address (orvtool i2c detect" +
           (options.ten_bit ? " --ten-bit" : "") + "), the wiring and the pull-ups";
}

void init_bus(const Context& ctx, const Options& options)
{
    check_result(lumo_iic_init(ctx.handle, options.clock_khz, ctx.timeout_ms), "setting up the I2C bus");
}

// Address-only write: 0 when acknowledged, TPW_ERROR_OTHER when not.
std::int32_t probe(const Context& ctx, std::uint32_t addr, int addr_bits)
{
    static constexpr std::uint8_t none = 0; // the library wants a buffer even for no bytes
    return lumo_iic_send_bytes(ctx.handle, addr, addr_bits, &none, 0, ctx.timeout_ms);
}

void write_bytes(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes,
                 const std::string& doing)
{
    std::int32_t rc = lumo_iic_send_bytes(ctx.handle, addr, bits_of(options), bytes.data(),
                                          static_cast<std::uint32_t>(bytes.size()), ctx.timeout_ms);
    if (rc == TPW_ERROR_USBTRANS_ERR) {
        // A data byte went unacknowledged (or the read-back came up short).
        check_result(rc, doing,
                     "the device at " + addr_text(addr, options) +
                         " refused a data byte: it may be busy (an EEPROM finishing a write) or the register "
                         "may not exist");
    }
    check_result(rc, doing, rc == TPW_ERROR_OTHER ? no_ack_hint(addr, options) : "");
}

Bytes read_bytes(const Context& ctx, const Options& options, std::uint32_t addr, std::uint32_t len,
                 Progress* progress)
{
    Bytes data(len);
    for (std::uint32_t done = 0; done < len;) {
        std::uint32_t n = std::min<std::uint32_t>(LUMO_IIC_MAX_READ_BYTES, len - done);
        std::int32_t rc =
            lumo_iic_read_bytes(ctx.handle, addr, bits_of(options), data.data() + done, n, ctx.timeout_ms);
        check_result(rc, "reading from " + addr_text(addr, options),
                     rc == TPW_ERROR_OTHER ? no_ack_hint(addr, options) : "");
        done += n;
        if (progress != nullptr) {
            progress->update(done);
        }
    }
    return data;
}

void print_data(const Context& ctx, const Options& options, std::uint32_t addr,
                std::optional<std::uint8_t> reg, const Bytes& data)
{
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("addr").value(addr).key("addr_bits").value(bits_of(options)).key("reg");
        reg ? j.value(static_cast<unsigned>(*reg)) : j.null();
        j.key("len").value(static_cast<std::uint64_t>(data.size())).key("data").value(hex_bytes(data, ""));
        j.end_object().finish();
        return;
    }
    hex_dump(*ctx.out, reg.value_or(0), data);
}

} // namespace

void print_grid(std::ostream& out, const ProbeMap& map)
{
    out << "    ";
    char cell[8];
    for (unsigned col = 0; col < 16; ++col) {
        std::snprintf(cell, sizeof cell, "  %x", col);
        out << cell;
    }
    out << "\n";
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
        out << line << "\n";
    }
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

void cmd_detect(const Context& ctx, const Options& options)
{
    init_bus(ctx, options);
    ProbeMap map;
    if (options.ten_bit) {
        map.first = 0;
        map.last = TEN_BIT_LAST;
    }
    unsigned total = map.last - map.first + 1;
    {
        Progress progress(ctx, "probe", total);
        for (unsigned a = map.first; a <= map.last; ++a) {
            std::int32_t rc = probe(ctx, a, bits_of(options));
            if (rc != 0 && rc != TPW_ERROR_OTHER) {
                check_result(rc, "probing " + addr_text(a, options));
            }
            map.present.push_back(rc == 0);
            progress.update(a - map.first + 1);
        }
    }
    std::vector<unsigned> found;
    for (unsigned a = map.first; a <= map.last; ++a) {
        if (map.present[a - map.first]) {
            found.push_back(a);
        }
    }
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("addr_bits").value(bits_of(options)).key("first").value(map.first);
        j.key("last").value(map.last).key("found").begin_array();
        for (unsigned a : found) {
            j.value(a);
        }
        j.end_array().end_object().finish();
        return;
    }
    if (options.ten_bit) {
        // 1024 addresses make a poor grid: list the ones that answered.
        *ctx.out << found.size() << (found.size() == 1 ? " device" : " devices")
                 << " answered at 10-bit addresses" << (found.empty() ? "" : ":") << "\n";
        for (unsigned a : found) {
            *ctx.out << "  " << hex(a, 3) << "\n";
        }
        return;
    }
    print_grid(*ctx.out, map);
}

void cmd_read(const Context& ctx, const Options& options, std::uint32_t addr, std::optional<std::uint8_t> reg,
              std::uint32_t len)
{
    if (len == 0 || len > MAX_READ) {
        usage_error("LEN must be 1 to " + std::to_string(MAX_READ));
    }
    init_bus(ctx, options);
    if (reg) {
        write_bytes(ctx, options, addr, Bytes{*reg}, "selecting register " + hex(*reg, 2));
    }
    Progress progress(ctx, "read ", len);
    Bytes data = read_bytes(ctx, options, addr, len, &progress);
    progress.finish();
    print_data(ctx, options, addr, reg, data);
}

void cmd_write(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes)
{
    if (bytes.empty() || bytes.size() > LUMO_IIC_MAX_WRITE_BYTES) {
        usage_error("give 1 to " + std::to_string(LUMO_IIC_MAX_WRITE_BYTES) + " bytes to write");
    }
    init_bus(ctx, options);
    write_bytes(ctx, options, addr, bytes, "writing to " + addr_text(addr, options));
    if (ctx.json) {
        JsonWriter j(*ctx.out);
        j.begin_object().key("addr").value(addr).key("addr_bits").value(bits_of(options));
        j.key("written").value(static_cast<std::uint64_t>(bytes.size())).end_object().finish();
        return;
    }
    *ctx.out << "wrote " << bytes.size() << (bytes.size() == 1 ? " byte" : " bytes") << " to "
             << addr_text(addr, options) << "\n";
}

void cmd_dump(const Context& ctx, const Options& options, std::uint32_t addr)
{
    init_bus(ctx, options);
    write_bytes(ctx, options, addr, Bytes{0}, "selecting offset 0x00");
    Bytes data = read_bytes(ctx, options, addr, DUMP_LEN, nullptr);
    print_data(ctx, options, addr, std::uint8_t{0}, data);
}

} // namespace orvtool::i2c
