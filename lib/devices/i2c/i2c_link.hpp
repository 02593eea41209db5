// The lines an I2C bus runs on: the adapter's I2C connector, or two pins of
// a device on the JTAG chain driven through boundary scan. The bus above
// (i2c_bus.hpp: probes, registers, EEPROM writes, their messages and hints)
// knows nothing of which it runs on; a link only runs transactions and says
// how the first one that failed did so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "lib/wire/clock_rule.hpp"

#include "lib/devices/session/lease.hpp"
#include "lib/devices/session/session.hpp"

namespace orv::dev::i2c {

// One message of a combined transaction.
struct Message {
    std::uint32_t addr = 0;
    bool read = false;
    std::span<std::uint8_t> data; // written from, or read into
};

// How a transaction failed.
struct TransferFault {
    enum class Kind {
        address, // no device acknowledged the address of `message`
        data,    // the device refused data byte `byte` of `message`
        bus,     // the transfer itself failed: `code`
        line,    // a line read low while nothing should hold it: `detail`
    } kind = Kind::bus;
    std::size_t message = 0;
    std::size_t byte = 0;
    std::int32_t code = 0;
    // Kind::data: the acknowledges came packed eight to a read-back byte, so
    // neither the byte nor a refusal from a short read-back can be told.
    bool acks_packed = false;
    std::string detail{};
};

class Link {
public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    virtual ~Link() = default;

    [[nodiscard]] virtual Session& session() const noexcept = 0;
    // The clock the link runs its own lines at.
    [[nodiscard]] virtual const ClockChoice& clock() const noexcept = 0;
    [[nodiscard]] virtual bool ten_bit() const noexcept = 0;
    // The most bytes one read transaction reads.
    [[nodiscard]] virtual std::size_t max_read() const noexcept = 0;
    // Makes the adapter this link's again when another user had it since.
    virtual void claim() = 0;

    // Each runs one transaction (START ... STOP) and returns its first
    // fault, or nothing when every acknowledge came; what a read fills is
    // written only then. Throws Failure for what is not the transaction's.
    // The address alone with the write bit (quick write), or with the read
    // bit and one byte read.
    virtual std::optional<TransferFault> probe(std::uint32_t addr, bool read) = 0;
    // Up to max_read() bytes.
    virtual std::optional<TransferFault> read(std::uint32_t addr, std::span<std::uint8_t> out) = 0;
    virtual std::optional<TransferFault> write(std::uint32_t addr, std::span<const std::uint8_t> bytes) = 0;
    // The messages joined by repeated STARTs.
    virtual std::optional<TransferFault> transfer(std::span<const Message> messages) = 0;
};

// The adapter's I2C connector, through the I2C library and, for what it
// cannot express (each data byte's acknowledge apart, repeated STARTs), the
// combined transaction of i2c_transfer.hpp.
class AdapterLink final : public Link {
public:
    // The fastest clock not above clock_khz; the set-up goes out at once.
    // Every transfer uses bus_timeout(the session's).
    AdapterLink(Session& session, std::uint32_t clock_khz, bool ten_bit);

    [[nodiscard]] Session& session() const noexcept override { return session_; }
    [[nodiscard]] const ClockChoice& clock() const noexcept override { return clock_; }
    [[nodiscard]] bool ten_bit() const noexcept override { return ten_bit_; }
    [[nodiscard]] std::size_t max_read() const noexcept override;
    void claim() override { lease_.claim(); }

    std::optional<TransferFault> probe(std::uint32_t addr, bool read) override;
    std::optional<TransferFault> read(std::uint32_t addr, std::span<std::uint8_t> out) override;
    std::optional<TransferFault> write(std::uint32_t addr, std::span<const std::uint8_t> bytes) override;
    std::optional<TransferFault> transfer(std::span<const Message> messages) override;

private:
    [[nodiscard]] std::uint32_t timeout() const noexcept;
    [[nodiscard]] int address_bits() const noexcept { return ten_bit_ ? 10 : 7; }

    Session& session_;
    ClockChoice clock_;
    bool ten_bit_;
    Lease lease_;
};

} // namespace orv::dev::i2c
