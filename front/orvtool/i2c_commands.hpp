// The i2c commands in the conventions of i2c-tools: detect (i2cdetect's grid
// and probe modes), get and set (i2cget, i2cset), dump (i2cdump's layout);
// read and write for raw transfers. Their command line and their results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "front/orvtool/command_result.hpp"
#include "front/orvtool/context.hpp"
#include "front/orvtool/format.hpp"

namespace orvtool::i2c {

inline constexpr unsigned FIRST_PROBE = 0x08; // 0x00-0x07 and 0x78-0x7F are reserved addresses
inline constexpr unsigned LAST_PROBE = 0x77;
inline constexpr unsigned LAST_7BIT = 0x7F;
inline constexpr unsigned LAST_10BIT = 0x3FF;
inline constexpr unsigned MAX_READ = 65536; // longer reads than one transaction are split

struct Options {
    std::uint32_t clock_khz = 400;
    bool ten_bit = false;
    bool reg16 = false; // registers and offsets take two address bytes (24C32 and larger EEPROMs)
    // --via-bscan TAP:scl=PORT,sda=PORT: the bus on pins of a device on the
    // JTAG chain, with the BSDL files of --bsdl (clock_khz is then the JTAG
    // clock).
    std::string via_bscan;
    std::vector<std::string> bsdl;
    bool stretch = false; // with via_bscan: wait for SCL at every clock
};

// How i2c detect asks each address, as i2cdetect does: a quick write (the
// address alone), a receive byte (one byte read), or, by default, a read for
// 0x30-0x37 and 0x50-0x5F (where EEPROMs sit, which a quick write can
// confuse) and a quick write elsewhere.
enum class ProbeMode { automatic, quick_write, read_byte };

struct DetectArgs {
    ProbeMode mode = ProbeMode::automatic;
    std::optional<unsigned> first; // default: 0x08 (7-bit), 0x000 (10-bit)
    std::optional<unsigned> last;  // default: 0x77 (7-bit), 0x3ff (10-bit)
};

// Whether each address in [first, last] answered.
struct ProbeMap {
    unsigned first = FIRST_PROBE;
    unsigned last = LAST_PROBE;
    std::vector<bool> present; // indexed by address - first
};

// The probe i2cdetect uses for an address in `mode`.
ProbeMode probe_for(ProbeMode mode, unsigned addr);

// i2cdetect's grid: the column header, then eight rows of 16 addresses,
// "50" where a device answered, "--" where none did, blanks outside the range.
std::string grid_text(const ProbeMap& map);

// i2cdump's layout: the column header, then a row per 16 bytes with an ASCII
// column (0x00 and 0xff as '.', other unprintable bytes as '?'). `bytes`
// start at offset `first`; offsets above 0xff take four digits.
std::string dump_text(std::span<const std::uint8_t> bytes, std::size_t first = 0);

// Parses a 7- or 10-bit address argument, throwing a usage error.
std::uint32_t address_arg(const std::string& text, bool ten_bit);

Result cmd_detect(const Context& ctx, const Options& options, const DetectArgs& args);
// What i2cget and i2cset move at a register: a byte (b), a word (w: two
// bytes, the low one first) or an I2C block (i: LENGTH bytes).
enum class DataMode { byte, word, block };
std::size_t data_bytes(DataMode mode, std::size_t block_length);

// `data_bytes` of the register's when given (written first, then read),
// else of what the device sends next; printed as i2cget does.
Result cmd_get(const Context& ctx, const Options& options, std::uint32_t addr,
               std::optional<std::uint32_t> reg, DataMode mode = DataMode::byte, std::size_t length = 1);
// Writes the register's value (its bytes: one, a word low byte first, or a
// block) in one transaction; with `readback`, reads it again and compares.
Result cmd_set(const Context& ctx, const Options& options, std::uint32_t addr, std::uint32_t reg,
               const Bytes& value, DataMode mode, bool readback);
Result cmd_read(const Context& ctx, const Options& options, std::uint32_t addr,
                std::optional<std::uint32_t> reg, std::uint32_t len);
Result cmd_write(const Context& ctx, const Options& options, std::uint32_t addr, const Bytes& bytes);
// Offsets first..last, in i2cdump's layout.
Result cmd_dump(const Context& ctx, const Options& options, std::uint32_t addr, std::uint32_t first,
                std::uint32_t last);

// One message of i2c transfer: "w2@0x50 0x00 0x10" or "r16@0x50".
struct TransferMessage {
    bool read = false;
    std::uint32_t addr = 0;
    std::uint32_t len = 0;
    Bytes data; // a write's bytes
};
// Parses i2ctransfer's notation: {r|w}LEN[@ADDR] with a write's LEN bytes
// after it (a value may end in '=' to repeat it, '+' or '-' to count up or
// down); an address left out is the one before. A usage error otherwise.
std::vector<TransferMessage> parse_transfer(const std::vector<std::string>& words, bool ten_bit);
// The messages as one transaction with repeated STARTs; the read messages'
// bytes printed a line each, as i2ctransfer prints them.
Result cmd_transfer(const Context& ctx, const Options& options, const std::vector<TransferMessage>& messages);

} // namespace orvtool::i2c
