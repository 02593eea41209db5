// The JTAG chain on the adapter's JTAG connector: set-up, the chain scan
// (device count, IR lengths, IDCODEs) and raw IR/DR scans, with the analysis
// of what TDO returns. Failures throw Failure; nothing here prints.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "lib/wire/clock_rule.hpp"
#include "lib/wire/wire.hpp"

#include "lib/devices/session/lease.hpp"
#include "lib/devices/session/session.hpp"

namespace orv::dev::chain {

inline constexpr unsigned MAX_DEVICES = 64;   // longest chain the scan counts
inline constexpr unsigned MAX_IR_TOTAL = 512; // longest summed IR length the scan measures

struct Options {
    std::uint32_t tck_khz = 1000;
    std::uint16_t direction = orv::JTAG_DEFAULT_DIRECTION;
    std::uint16_t level = orv::JTAG_DEFAULT_LEVEL;
};

// The fields of an IEEE 1149.1 IDCODE.
struct Idcode {
    std::uint32_t raw = 0;
    std::uint16_t manufacturer = 0; // bits 11..1: JEP106 continuation count (bits 11..8) and id (bits 7..1)
    unsigned bank = 0;              // JEP106 bank, 1-based
    std::uint8_t jep106_id = 0;     // 7-bit id within the bank
    std::uint16_t part = 0;         // bits 27..12
    std::uint8_t version = 0;       // bits 31..28
    const char* vendor = nullptr;   // the JEP106 name, or null when not listed
};
Idcode decode_idcode(std::uint32_t raw);

struct Device {
    std::optional<Idcode> idcode;      // empty: the device came up in BYPASS
    std::optional<unsigned> ir_length; // empty: could not be told from the capture pattern
};

struct Chain {
    unsigned ir_total = 0;
    std::vector<Device> devices; // index 0 is nearest TDO
};

// Index of the first bit equal to `value` at or after `from`, below `count`.
std::optional<unsigned> find_bit(std::span<const std::uint8_t> bits, unsigned from, unsigned count,
                                 bool value);

// Splits the summed IR capture (bits 0..total-1, nearest TDO first) into
// `devices` lengths, using the capture pattern ...01 that every TAP loads:
// each register starts with a 1 followed by a 0. Lengths that cannot be told
// apart are empty.
std::vector<std::optional<unsigned>> split_ir_lengths(std::span<const std::uint8_t> capture, unsigned total,
                                                      unsigned devices);

// Reads the DR chain after Test-Logic-Reset: a 1 starts a 32-bit IDCODE, a 0 is
// a one-bit BYPASS register. Empty when the bits run out.
std::optional<std::vector<std::optional<Idcode>>> parse_idcodes(std::span<const std::uint8_t> bits,
                                                                unsigned count, unsigned devices);

// The JTAG connector as a chain's handle sees it: the clock and pins it was
// set up with, sent again when another handle used the adapter in between.
class Jtag {
public:
    // Sets the clock (the fastest not above options.tck_khz) and the pins.
    Jtag(Session& session, const Options& options);
    Jtag(const Jtag&) = delete;
    Jtag& operator=(const Jtag&) = delete;
    [[nodiscard]] Session& session() const noexcept { return session_; }
    [[nodiscard]] const ClockChoice& clock() const noexcept { return clock_; }
    // Sends the set-up again when another handle (or the caller) used the
    // adapter since this one last did.
    void claim_adapter() { lease_.claim(); }
    // Whether no other handle (nor the caller, nor a failure) used the
    // adapter since this one last did.
    [[nodiscard]] bool holds_adapter() const noexcept { return lease_.holds_adapter(); }

private:
    Session& session_;
    ClockChoice clock_;
    Lease lease_;
};

// Resets the TAPs and measures the chain; leaves it in Run-Test/Idle.
Chain scan_chain(Jtag& jtag);

// One raw scan of `bits` bits of `tdi` (bit 0 first out) through the
// instruction or the data registers, ending in Run-Test/Idle. The TAPs are
// reset first when `reset`; otherwise they must be in Run-Test/Idle (where
// every scan leaves them) or Test-Logic-Reset (after power-up), and one clock
// with TMS low brings them from either to Run-Test/Idle. A data scan can load
// an instruction first.
struct Scan {
    bool instruction_register = false;
    unsigned bits = 0;
    Bytes tdi;
    bool reset = true;
    struct Instruction {
        unsigned bits = 0;
        Bytes value;
    };
    std::optional<Instruction> instruction_first;
};
// TDO: as many bytes as tdi.
Bytes raw_scan(Jtag& jtag, const Scan& scan);

} // namespace orv::dev::chain

// The C handle is the JTAG connector's.
struct orvdev_jtag {
    orv::dev::chain::Jtag jtag;
};
