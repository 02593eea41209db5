// The I2C bus, on the adapter's I2C connector or on boundary-scan pins
// (i2c_link.hpp): address probes, reads
// and writes of one device, registers with 1- or 2-byte addresses, EEPROM
// page writes with the write-cycle wait, and combined transactions (messages
// joined by repeated STARTs, as i2ctransfer sends them), with a message and a
// hint for each way they fail.
//
// What goes on the wire: a write is START, the address, the bytes, STOP; a
// read is START, the address with the read bit, the bytes, STOP (a 10-bit
// read: the address written, a repeated START, the header with the read
// bit). A register read is a write of the register number, with its STOP,
// then a read: two transactions, no repeated START between them; a combined
// transaction has no STOP until its end.
// Failures throw Failure; nothing here prints.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lib/devices/i2c/i2c_link.hpp"

namespace orv::dev::i2c {

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
static_assert(MAX_BUS_TIMEOUT_MS == ORVDEV_I2C_MAX_TIMEOUT_MS);

// The timeout the bus uses for each transfer: the session's, at most MAX_BUS_TIMEOUT_MS.
constexpr std::uint32_t bus_timeout(std::uint32_t timeout_ms)
{
    return timeout_ms < MAX_BUS_TIMEOUT_MS ? timeout_ms : MAX_BUS_TIMEOUT_MS;
}

inline constexpr std::uint32_t LAST_7BIT = 0x7F;
inline constexpr std::uint32_t LAST_10BIT = 0x3FF;

enum class ProbeMode { automatic, quick_write, read_byte };
// The probe i2cdetect makes at `addr`: reads at 0x30-0x37 and 0x50-0x5F (EEPROMs
// take a quick write as the start of a write), quick writes elsewhere.
ProbeMode probe_for(ProbeMode mode, std::uint32_t addr);

class Bus {
public:
    // The bus on the link, which has sent its set-up.
    explicit Bus(std::unique_ptr<Link> link) : link_(std::move(link)) {}
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    [[nodiscard]] Session& session() const noexcept { return link_->session(); }
    [[nodiscard]] const ClockChoice& clock() const noexcept { return link_->clock(); }
    [[nodiscard]] int address_bits() const noexcept { return ten_bit() ? 10 : 7; }
    [[nodiscard]] bool ten_bit() const noexcept { return link_->ten_bit(); }
    [[nodiscard]] const Link& link() const noexcept { return *link_; }
    // "0x50", or "0x2a5" with 10-bit addresses.
    [[nodiscard]] std::string address_text(std::uint32_t addr) const;

    // Quick write (the address alone, write bit): true when a device acknowledged.
    bool probe_write(std::uint32_t addr);
    // Receive byte (the address with the read bit, one byte read): true when
    // a device acknowledged.
    bool probe_read(std::uint32_t addr);
    // Probes first..last as `mode` says (stage "probe"); one flag per address.
    std::vector<bool> detect(std::uint32_t first, std::uint32_t last, ProbeMode mode);

    // `bytes` in one transaction; `doing` names it in the error.
    void write(std::uint32_t addr, std::span<const std::uint8_t> bytes, const std::string& doing);
    // `out.size()` bytes in transactions of at most the link's max_read()
    // (stage "read" when `staged`).
    void read(std::uint32_t addr, std::span<std::uint8_t> out, bool staged = true);
    // A register (or memory offset) with reg_bytes address bytes, most
    // significant first: selected by a write ending in STOP, then read.
    void read_register(std::uint32_t addr, std::uint32_t reg, int reg_bytes, std::span<std::uint8_t> out);
    void write_register(std::uint32_t addr, std::uint32_t reg, int reg_bytes,
                        std::span<const std::uint8_t> data);
    // Page writes into an EEPROM, each followed by acknowledge polling for
    // the write cycle (stage "write").
    void eeprom_write(std::uint32_t addr, std::uint32_t offset, int offset_bytes, std::uint32_t page_size,
                      std::span<const std::uint8_t> data, std::uint32_t write_cycle_ms);
    // The messages as one transaction, repeated STARTs between them.
    void transfer(std::span<const Message> messages);

    // Sends the bus set-up again when another handle (or the caller) used
    // the adapter since this one last did.
    void claim_adapter() { link_->claim(); }

private:
    // Throws for a failed transfer: a missing address acknowledge in the
    // user's words, the library's text as the detail.
    void check(std::int32_t rc, std::uint32_t addr, const std::string& doing) const;
    // Throws for the fault of a transaction with the one device at `addr`.
    [[noreturn]] void fail(const TransferFault& fault, std::uint32_t addr, const std::string& doing) const;
    // Throws when a line was held: the same for every operation.
    void check_line(const TransferFault& fault) const;

    std::unique_ptr<Link> link_;
};

// The bytes that select register `reg` (reg_bytes 1 or 2, most significant
// first); throws Failure(ORVDEV_ERROR_INVALID_ARGUMENT) when it does not fit.
Bytes register_address(std::uint32_t reg, int reg_bytes);

} // namespace orv::dev::i2c
