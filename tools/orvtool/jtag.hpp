// JTAG commands: chain scan (device count, IR lengths, IDCODEs) and raw IR/DR
// scans.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "context.hpp"
#include "format.hpp"

namespace orvtool::jtag {

// Adapter pins as wired for JTAG (low pin group; the high group unused):
//   pin 0 TCK  out, idles low
//   pin 1 TDI  out, low
//   pin 2 TDO  in
//   pin 3 TMS  out, high (keeps the TAP in Test-Logic-Reset until driven)
inline constexpr std::uint16_t PIN_TCK = 1u << 0;
inline constexpr std::uint16_t PIN_TDI = 1u << 1;
inline constexpr std::uint16_t PIN_TDO = 1u << 2;
inline constexpr std::uint16_t PIN_TMS = 1u << 3;
inline constexpr std::uint16_t DEFAULT_DIRECTION = PIN_TCK | PIN_TDI | PIN_TMS;
inline constexpr std::uint16_t DEFAULT_LEVEL = PIN_TMS;

inline constexpr unsigned MAX_DEVICES = 64;   // longest chain the scan counts
inline constexpr unsigned MAX_IR_TOTAL = 512; // longest summed IR length the scan measures

struct Options {
    std::uint32_t tck_khz = 1000;
    std::uint16_t direction = DEFAULT_DIRECTION;
    std::uint16_t level = DEFAULT_LEVEL;
};

// The fields of an IEEE 1149.1 IDCODE.
struct Idcode {
    std::uint32_t raw = 0;
    std::uint16_t manufacturer = 0; // bits 11..1: JEP106 continuation count (bits 11..8) and id (bits 7..1)
    unsigned bank = 0;              // JEP106 bank, 1-based
    std::uint8_t jep106_id = 0;     // 7-bit id within the bank
    std::uint16_t part = 0;         // bits 27..12
    std::uint8_t version = 0;       // bits 31..28
    const char* vendor = nullptr;   // a few well-known names, else null
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

// Sets the clock and pins and resets the TAP.
void setup(const Context& ctx, const Options& options);
Chain scan_chain(const Context& ctx);

void cmd_scan(const Context& ctx, const Options& options);

struct RawScan {
    bool instruction = false; // IR rather than DR
    unsigned bits = 0;
    std::string tdi_hex;
    bool reset = true; // reset the TAP first; without, the TAP is assumed in Run-Test/Idle
    // DR only: an instruction to load first
    unsigned ir_bits = 0;
    std::string ir_hex;
};
// Throws a usage error when TDI (or the instruction) does not fit its length.
void check_raw_scan(const RawScan& scan);
void cmd_raw_scan(const Context& ctx, const Options& options, const RawScan& scan);

} // namespace orvtool::jtag
