// The C functions of the I2C bus.
#include <cstring>
#include <memory>
#include <vector>

#include <orv_lumo_iic.h>

#include "lib/devices/i2c/i2c_bus.hpp"
#include "lib/devices/i2c/i2c_handle.hpp"
#include "lib/devices/i2c/i2c_transfer.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;
using namespace orv::dev::i2c;

namespace {

orvdev_clock to_c(const orv::ClockChoice& c)
{
    return orvdev_clock{c.actual_hz, c.divisor, c.request_khz, c.raised ? 1 : 0};
}

std::optional<ProbeMode> probe_mode(std::int32_t mode)
{
    switch (mode) {
    case ORVDEV_PROBE_AUTO:
        return ProbeMode::automatic;
    case ORVDEV_PROBE_QUICK_WRITE:
        return ProbeMode::quick_write;
    case ORVDEV_PROBE_READ_BYTE:
        return ProbeMode::read_byte;
    default:
        return std::nullopt;
    }
}

// A 7-bit address above 0x7F or a 10-bit one above 0x3FF names no device
// the bus can reach: refused, so that no other device is written.
bool address_ok(const orvdev_i2c* i2c, std::uint32_t addr)
{
    return addr <= (i2c->bus.ten_bit() ? LAST_10BIT : LAST_7BIT);
}

std::int32_t bad_address(orvdev_report* report)
{
    return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                  "the address does not fit the bus's addresses (7-bit: 0x00..0x7f, 10-bit: 0x000..0x3ff)");
}

} // namespace

extern "C" {

void orvdev_i2c_options_init(orvdev_i2c_options* options)
{
    if (options != nullptr) {
        *options = orvdev_i2c_options{400, 0};
    }
}

int32_t orvdev_i2c_open(orvdev_session* session, const orvdev_i2c_options* options, orvdev_i2c** out,
                        orvdev_report* report)
{
    if (session == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no session, or nowhere to put the I2C handle");
    }
    orvdev_i2c_options chosen{};
    orvdev_i2c_options_init(&chosen);
    if (options != nullptr) {
        chosen = *options;
    }
    if (chosen.clock_khz == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "an I2C clock of 0 kHz");
    }
    orvdev_i2c* i2c = nullptr;
    const std::int32_t rc = guarded(session, report, [&] {
        i2c = new orvdev_i2c{
            Bus(std::make_unique<AdapterLink>(*session, chosen.clock_khz, chosen.ten_bit != 0))};
    });
    if (rc == 0) {
        *out = i2c;
    }
    return rc;
}

void orvdev_i2c_close(orvdev_i2c* i2c)
{
    delete i2c;
}

orvdev_clock orvdev_i2c_clock(const orvdev_i2c* i2c)
{
    return i2c != nullptr ? to_c(i2c->bus.clock()) : orvdev_clock{};
}

int32_t orvdev_i2c_probe(orvdev_i2c* i2c, uint32_t addr, int32_t mode, int32_t* present,
                         orvdev_report* report)
{
    const auto m = probe_mode(mode);
    if (i2c == nullptr || present == nullptr || !m) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no I2C handle, no result, or an unknown probe");
    }
    if (!address_ok(i2c, addr)) {
        return bad_address(report);
    }
    return guarded(&i2c->bus.session(), report, [&] {
        const bool read =
            probe_for(i2c->bus.ten_bit() && *m == ProbeMode::automatic ? ProbeMode::quick_write : *m, addr) ==
            ProbeMode::read_byte;
        *present = (read ? i2c->bus.probe_read(addr) : i2c->bus.probe_write(addr)) ? 1 : 0;
    });
}

int32_t orvdev_i2c_detect(orvdev_i2c* i2c, uint32_t first, uint32_t last, int32_t mode, uint8_t* present,
                          orvdev_report* report)
{
    const auto m = probe_mode(mode);
    if (i2c == nullptr || present == nullptr || !m || first > last) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no I2C handle or result, an unknown probe, or FIRST > LAST");
    }
    if (!address_ok(i2c, last)) {
        return bad_address(report);
    }
    std::memset(present, 0, std::size_t{last} - first + 1);
    return guarded(&i2c->bus.session(), report, [&] {
        const std::vector<bool> found = i2c->bus.detect(first, last, *m);
        for (std::size_t k = 0; k < found.size(); ++k) {
            present[k] = found[k] ? 1 : 0;
        }
    });
}

int32_t orvdev_i2c_write(orvdev_i2c* i2c, uint32_t addr, const uint8_t* data, uint32_t len,
                         orvdev_report* report)
{
    if (i2c == nullptr || data == nullptr || len == 0 || len > LUMO_IIC_MAX_WRITE_BYTES) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "give 1 to 4088 bytes to write");
    }
    if (!address_ok(i2c, addr)) {
        return bad_address(report);
    }
    return guarded(&i2c->bus.session(), report, [&] {
        i2c->bus.write(addr, std::span(data, len), "writing to " + i2c->bus.address_text(addr));
    });
}

int32_t orvdev_i2c_read(orvdev_i2c* i2c, uint32_t addr, uint8_t* buf, uint32_t len, orvdev_report* report)
{
    if (i2c == nullptr || buf == nullptr || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no I2C handle or buffer, or nothing to read");
    }
    if (!address_ok(i2c, addr)) {
        return bad_address(report);
    }
    return guarded(&i2c->bus.session(), report, [&] { i2c->bus.read(addr, std::span(buf, len)); });
}

int32_t orvdev_i2c_read_reg(orvdev_i2c* i2c, uint32_t addr, uint32_t reg, int32_t reg_bytes, uint8_t* buf,
                            uint32_t len, orvdev_report* report)
{
    if (i2c == nullptr || buf == nullptr || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no I2C handle or buffer, or nothing to read");
    }
    if (!address_ok(i2c, addr)) {
        return bad_address(report);
    }
    return guarded(&i2c->bus.session(), report,
                   [&] { i2c->bus.read_register(addr, reg, reg_bytes, std::span(buf, len)); });
}

int32_t orvdev_i2c_write_reg(orvdev_i2c* i2c, uint32_t addr, uint32_t reg, int32_t reg_bytes,
                             const uint8_t* data, uint32_t len, orvdev_report* report)
{
    if (i2c == nullptr || (data == nullptr && len != 0) || len > LUMO_IIC_MAX_WRITE_BYTES - 2) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no I2C handle, or no data, or too much of it");
    }
    if (!address_ok(i2c, addr)) {
        return bad_address(report);
    }
    return guarded(&i2c->bus.session(), report,
                   [&] { i2c->bus.write_register(addr, reg, reg_bytes, std::span(data, len)); });
}

int32_t orvdev_i2c_eeprom_write(orvdev_i2c* i2c, uint32_t addr, uint32_t offset, int32_t offset_bytes,
                                uint32_t page_size, const uint8_t* data, uint32_t len,
                                uint32_t write_cycle_ms, orvdev_report* report)
{
    if (i2c == nullptr || data == nullptr || len == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no I2C handle, or no data to write");
    }
    if (!address_ok(i2c, addr)) {
        return bad_address(report);
    }
    return guarded(&i2c->bus.session(), report, [&] {
        i2c->bus.eeprom_write(addr, offset, offset_bytes, page_size, std::span(data, len), write_cycle_ms);
    });
}

int32_t orvdev_i2c_transfer(orvdev_i2c* i2c, orvdev_i2c_message* messages, uint32_t count,
                            orvdev_report* report)
{
    if (i2c == nullptr || messages == nullptr || count == 0 || count > ORVDEV_I2C_MAX_MESSAGES) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "give 1 to 42 messages");
    }
    std::vector<Message> list;
    list.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const orvdev_i2c_message& m = messages[i];
        if ((m.buf == nullptr && m.len != 0) || (m.read != 0 && m.len == 0)) {
            return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                          "a message without its buffer, or a read of 0 bytes");
        }
        if (!address_ok(i2c, m.addr)) {
            return bad_address(report);
        }
        list.push_back(Message{m.addr, m.read != 0, std::span(m.buf, m.len)});
    }
    if (transfer_readback_bytes(list) > MAX_TRANSFER_READBACK) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "the messages need more than the 512 bytes one read-back exchange holds (one per "
                      "message and one per byte)");
    }
    return guarded(&i2c->bus.session(), report, [&] { i2c->bus.transfer(list); });
}

} // extern "C"
