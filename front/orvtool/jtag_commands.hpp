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

// The vector files jtag svf and jtag xsvf play.
enum class VectorFormat { svf, xsvf };

// jtag svf|xsvf FILE as checked: the file read and checked whole (or, for
// "-", read from standard input when the action runs), the time playing it
// takes, and the player's settings.
struct SvfJob {
    VectorFormat format = VectorFormat::svf;
    std::string file;                    // as given; "-" is standard input
    std::shared_ptr<orvdev_svf> program; // null: read standard input first
    orvdev_svf_info info{};              // what it holds, the time playing it takes
    std::uint32_t tck_khz = 1000;        // until the file sets one
    std::uint16_t direction = orv::JTAG_DEFAULT_DIRECTION;
    std::uint16_t level = orv::JTAG_DEFAULT_LEVEL;
    std::uint32_t max_readback = 0; // bytes of one read-back exchange at most
    bool dry_run = false;
    std::uint64_t max_size = 0; // bytes of the file read at most
    double max_time = 0;        // seconds playing may take at most, by the estimate; 0: no limit
};
// Reads the file ("-": standard input) of at most `job.max_size` bytes and
// checks it whole into `job.program` and `job.estimate`: a usage error naming
// the first fault (SVF: its line and column; XSVF: its byte offset and
// command), or playing it takes longer than --max-time allows. Ctrl-C stops
// the check (the error says so).
void load_vector_file(SvfJob& job);
// Plays the file, or with dry_run counts what playing would send. A TDO
// mismatch throws a ResultError (exit 1) carrying where it is and the values.
Result cmd_svf(const Context& ctx, const SvfJob& job);

} // namespace orvtool::jtag
