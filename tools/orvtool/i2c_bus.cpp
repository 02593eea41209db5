#include "i2c_bus.hpp"

#include <algorithm>

#include <orv_lumo_iic.h>
#include <orv_tapwire.h>

#include "errors.hpp"

namespace orvtool::i2c {

Bus::Bus(const Link& link, std::uint32_t clock_khz, bool ten_bit) : link_(link), ten_bit_(ten_bit)
{
    link_.timeout_ms = bus_timeout(link.timeout_ms);
    check_result(lumo_iic_init(link_.handle, clock_khz, link_.timeout_ms), "setting up the I2C bus");
}

std::string Bus::address_text(std::uint32_t addr) const
{
    return hex(addr, ten_bit_ ? 3 : 2);
}

void Bus::check(std::int32_t rc, std::uint32_t addr, const std::string& doing, const std::string& hint) const
{
    if (rc == TPW_ERROR_OTHER) {
        throw ToolError(Exit::failed, "no device acknowledged address " + address_text(addr),
                        "check the address (orvtool i2c" + std::string(ten_bit_ ? " --ten-bit" : "") +
                            " detect), the wiring and the pull-ups",
                        rc, result_text(rc, doing));
    }
    check_result(rc, doing, hint);
}

bool Bus::probe_write(std::uint32_t addr)
{
    static constexpr std::uint8_t none = 0; // the library wants a buffer even for no bytes
    std::int32_t rc = lumo_iic_send_bytes(link_.handle, addr, address_bits(), &none, 0, link_.timeout_ms);
    if (rc != 0 && rc != TPW_ERROR_OTHER) {
        check_result(rc, "probing " + address_text(addr));
    }
    return rc == 0;
}

bool Bus::probe_read(std::uint32_t addr)
{
    std::uint8_t byte = 0;
    std::int32_t rc = lumo_iic_read_bytes(link_.handle, addr, address_bits(), &byte, 1, link_.timeout_ms);
    if (rc != 0 && rc != TPW_ERROR_OTHER) {
        check_result(rc, "probing " + address_text(addr));
    }
    return rc == 0;
}

void Bus::write(std::uint32_t addr, std::span<const std::uint8_t> bytes, const std::string& doing)
{
    std::int32_t rc = lumo_iic_send_bytes(link_.handle, addr, address_bits(), bytes.data(),
                                          static_cast<std::uint32_t>(bytes.size()), link_.timeout_ms);
    check(rc, addr, doing,
          rc == TPW_ERROR_USBTRANS_ERR
              // A data byte went unacknowledged (or the read-back came up short).
              ? "the device at " + address_text(addr) +
                    " refused a data byte: it may be busy (an EEPROM finishing a write) or the register may "
                    "not "
                    "exist"
              : "");
}

Bytes Bus::read(std::uint32_t addr, std::uint32_t len, const Progressed& progressed)
{
    Bytes data(len);
    for (std::uint32_t done = 0; done < len;) {
        std::uint32_t n = std::min<std::uint32_t>(LUMO_IIC_MAX_READ_BYTES, len - done);
        check(
            lumo_iic_read_bytes(link_.handle, addr, address_bits(), data.data() + done, n, link_.timeout_ms),
            addr, "reading from " + address_text(addr));
        done += n;
        if (progressed) {
            progressed(done);
        }
    }
    return data;
}

} // namespace orvtool::i2c
