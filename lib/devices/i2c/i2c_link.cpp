#include "lib/devices/i2c/i2c_link.hpp"

#include <orv_lumo_iic.h>
#include <orv_tapwire.h>

#include "lib/devices/i2c/i2c_bus.hpp"
#include "lib/devices/i2c/i2c_transfer.hpp"

namespace orv::dev::i2c {

namespace {

// The I2C library's result as a fault: a missing acknowledge is its "other"
// failure.
std::optional<TransferFault> fault_of(std::int32_t rc)
{
    if (rc == 0) {
        return std::nullopt;
    }
    if (rc == TPW_ERROR_OTHER) {
        return TransferFault{TransferFault::Kind::address};
    }
    return TransferFault{TransferFault::Kind::bus, 0, 0, rc};
}

} // namespace

AdapterLink::AdapterLink(Session& session, std::uint32_t clock_khz, bool ten_bit)
    : session_(session), clock_(clock_not_above_khz(clock_khz)), ten_bit_(ten_bit),
      lease_(session, I2cSetup{clock_.request_khz, bus_timeout(session.timeout_ms())})
{
    lease_.claim();
}

std::size_t AdapterLink::max_read() const noexcept
{
    return LUMO_IIC_MAX_READ_BYTES;
}

std::uint32_t AdapterLink::timeout() const noexcept
{
    return bus_timeout(session_.timeout_ms());
}

std::optional<TransferFault> AdapterLink::probe(std::uint32_t addr, bool read)
{
    lease_.claim();
    if (read) {
        std::uint8_t byte = 0;
        return fault_of(lumo_iic_read_bytes(session_.handle(), addr, address_bits(), &byte, 1, timeout()));
    }
    static constexpr std::uint8_t none = 0; // the library wants a buffer even for no bytes
    return fault_of(lumo_iic_send_bytes(session_.handle(), addr, address_bits(), &none, 0, timeout()));
}

std::optional<TransferFault> AdapterLink::read(std::uint32_t addr, std::span<std::uint8_t> out)
{
    lease_.claim();
    return fault_of(lumo_iic_read_bytes(session_.handle(), addr, address_bits(), out.data(),
                                        static_cast<std::uint32_t>(out.size()), timeout()));
}

std::optional<TransferFault> AdapterLink::write(std::uint32_t addr, std::span<const std::uint8_t> bytes)
{
    lease_.claim();
    if (bytes.size() + 1 <= MAX_TRANSFER_READBACK) {
        // As one message of a combined transaction: the same START, address,
        // bytes and STOP on the bus, but each data byte's acknowledge comes
        // back in a read-back byte of its own, so a refusal names its byte.
        Bytes data(bytes.begin(), bytes.end());
        const Message message{addr, false, data};
        return run_combined(session_.handle(), timeout(), ten_bit_, std::span(&message, 1));
    }
    const std::int32_t rc = lumo_iic_send_bytes(session_.handle(), addr, address_bits(), bytes.data(),
                                                static_cast<std::uint32_t>(bytes.size()), timeout());
    if (rc == TPW_ERROR_USBTRANS_ERR) {
        // The library packs the data bytes' acknowledges eight to a read-back
        // byte: it cannot tell which byte went unacknowledged, nor that from a
        // read-back that came up short.
        TransferFault fault{TransferFault::Kind::data, 0, 0, rc};
        fault.acks_packed = true;
        return fault;
    }
    return fault_of(rc);
}

std::optional<TransferFault> AdapterLink::transfer(std::span<const Message> messages)
{
    lease_.claim();
    return run_combined(session_.handle(), timeout(), ten_bit_, messages);
}

} // namespace orv::dev::i2c
