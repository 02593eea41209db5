// The I2C bus on the adapter's I2C connector: set-up, address probes, and
// reads and writes of one device, with a message and a hint for each way they
// fail.
//
// What goes on the wire: a write is START, the address, the bytes, STOP; a
// read is START, the address with the read bit, the bytes, STOP (a 10-bit
// read: the address written, a repeated START, the header with the read
// bit). A register read is a write of the register number, with its STOP,
// then a read: two transactions, no repeated START between them.
// Failures throw ToolError; nothing here prints.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "format.hpp"
#include "link.hpp"

namespace orvtool::i2c {

// The I2C read-back waits for 10 x timeout polls, each of which may take the
// whole timeout when the adapter stops completing transfers: 10 x T^2 ms, plus
// the command transfer, the data read and the drain (3 x T). The bus takes
// the largest T that keeps that within WORST_WAIT_MS; 1000 ms would cost 2.8
// hours. (A gone adapter ends the exchange at its first poll.)
inline constexpr std::uint64_t WORST_WAIT_MS = 10000;
constexpr std::uint32_t largest_timeout_within(std::uint64_t budget_ms)
{
    std::uint32_t t = 1;
    while (10 * std::uint64_t{t + 1} * (t + 1) + 3 * std::uint64_t{t + 1} <= budget_ms) {
        ++t;
    }
    return t;
}
inline constexpr std::uint32_t MAX_BUS_TIMEOUT_MS = largest_timeout_within(WORST_WAIT_MS);
static_assert(MAX_BUS_TIMEOUT_MS == 31);

// The timeout the bus uses for each transfer: the user's, at most MAX_BUS_TIMEOUT_MS.
constexpr std::uint32_t bus_timeout(std::uint32_t timeout_ms)
{
    return timeout_ms < MAX_BUS_TIMEOUT_MS ? timeout_ms : MAX_BUS_TIMEOUT_MS;
}

class Bus {
public:
    // Sets the bus up at clock_khz, for 7- or 10-bit addresses. Every transfer
    // uses bus_timeout(link.timeout_ms).
    Bus(const Link& link, std::uint32_t clock_khz, bool ten_bit);

    // Quick write (the address alone, write bit): true when a device acknowledged.
    bool probe_write(std::uint32_t addr);
    // Receive byte (the address with the read bit, one byte read): true when
    // a device acknowledged. Safe for write-only devices that a quick write
    // would confuse (EEPROMs take it as the start of a write).
    bool probe_read(std::uint32_t addr);
    // `bytes` in one transaction; `doing` names it in the error.
    void write(std::uint32_t addr, std::span<const std::uint8_t> bytes, const std::string& doing);
    // `len` bytes in transactions of at most LUMO_IIC_MAX_READ_BYTES;
    // `progressed` gets the bytes read so far.
    Bytes read(std::uint32_t addr, std::uint32_t len, const Progressed& progressed = {});

    int address_bits() const { return ten_bit_ ? 10 : 7; }
    // "0x50", or "0x2a5" with 10-bit addresses.
    std::string address_text(std::uint32_t addr) const;

private:
    // Throws for a failed transfer: a missing address acknowledge in the
    // user's words, the library's text as the detail.
    void check(std::int32_t rc, std::uint32_t addr, const std::string& doing,
               const std::string& hint = {}) const;

    Link link_;
    bool ten_bit_;
};

} // namespace orvtool::i2c
