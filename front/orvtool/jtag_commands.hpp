// The jtag commands: chain scan and raw IR/DR scans, their command line and
// their results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lib/wire/wire.hpp"

#include "front/orvtool/command_result.hpp"
#include "front/orvtool/context.hpp"
#include "front/orvtool/format.hpp"
#include "lib/formats/svf/player.hpp"
#include "lib/formats/svf/program.hpp"

namespace orvtool::jtag {

struct Options {
    std::uint32_t tck_khz = 1000;
    std::uint16_t direction = orv::JTAG_DEFAULT_DIRECTION;
    std::uint16_t level = orv::JTAG_DEFAULT_LEVEL;
};

// One raw scan as checked: its bits (bit 0 first out), and an instruction
// to load first.
struct Scan {
    bool instruction_register = false;
    unsigned bits = 0;
    Bytes tdi;
    bool reset = true;
    unsigned ir_bits = 0;
    Bytes ir;
};

// jtag ir|dr as given on the command line.
struct RawScan {
    bool instruction = false; // IR rather than DR
    unsigned bits = 0;
    std::string tdi_hex;
    bool reset = true; // reset the TAP first; without, the TAP is assumed in Run-Test/Idle
    // DR only: an instruction to load first
    unsigned ir_bits = 0;
    std::string ir_hex;
};
// The scan's bits, or a usage error when TDI (or the instruction) does not
// fit its length.
Scan parse_raw_scan(const RawScan& scan);

Result cmd_scan(const Context& ctx, const Options& options);
Result cmd_raw_scan(const Context& ctx, const Options& options, const Scan& scan);

// jtag svf FILE as checked: the file parsed (or, for "-", read from standard
// input when the action runs) and the player's settings.
struct SvfJob {
    std::string file;                                 // as given; "-" is standard input
    std::shared_ptr<const orv::svf::Program> program; // null: parse standard input first
    orv::svf::PlayerOptions player;
    bool dry_run = false;
    std::uint64_t max_size = 0; // bytes of SVF text read at most
    double max_time = 0;        // seconds playing may take at most, by the estimate; 0: no limit
};
// Reads and parses an SVF file ("-": standard input) of at most `max_size`
// bytes; a usage error naming the line and column of the first fault.
std::shared_ptr<const orv::svf::Program> load_svf(const std::string& file, std::uint64_t max_size);
// Plays the file, or with dry_run counts what playing would send. A TDO
// mismatch throws a ResultError (exit 1) carrying the line and the values.
Result cmd_svf(const Context& ctx, const SvfJob& job);

} // namespace orvtool::jtag
