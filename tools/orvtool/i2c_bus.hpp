// The I2C bus on the adapter's I2C connector: set-up, address probes, and
// reads and writes of one device, with a hint for each way they fail.
// Failures throw ToolError; nothing here prints.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "format.hpp"
#include "link.hpp"

namespace orvtool::i2c {

class Bus {
public:
    // Sets the bus up at clock_khz, for 7- or 10-bit addresses.
    Bus(const Link& link, std::uint32_t clock_khz, bool ten_bit);

    // Address-only write: true when a device acknowledged.
    bool probe(std::uint32_t addr);
    // `bytes` in one transaction; `doing` names it in the error.
    void write(std::uint32_t addr, std::span<const std::uint8_t> bytes, const std::string& doing);
    // `len` bytes in transactions of at most LUMO_IIC_MAX_READ_BYTES;
    // `progressed` gets the bytes read so far.
    Bytes read(std::uint32_t addr, std::uint32_t len, const Progressed& progressed = {});

    int address_bits() const { return ten_bit_ ? 10 : 7; }
    // "0x50", or "0x2a5" with 10-bit addresses.
    std::string address_text(std::uint32_t addr) const;

private:
    std::string no_ack_hint(std::uint32_t addr) const;

    Link link_;
    bool ten_bit_;
};

} // namespace orvtool::i2c
