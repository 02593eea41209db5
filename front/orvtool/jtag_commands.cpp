#include "front/orvtool/jtag_commands.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/orvtool/bscan_commands.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/file_io.hpp"
#include "front/orvtool/interrupt.hpp"
#include "lib/formats/svf/parser.hpp"
#include "lib/formats/xsvf/reader.hpp"
#include "lib/hostfile/host_file.hpp"

namespace orvtool::jtag {

namespace {

// "0x000b:0x0008", as --pins takes it.
std::string default_pins()
{
    return hex(orv::JTAG_DEFAULT_DIRECTION, 4) + ":" + hex(orv::JTAG_DEFAULT_LEVEL, 4);
}

// jtag [--tck KHZ] [--pins DIR:LEVEL]
struct GroupArgs {
    std::string tck = std::to_string(Options{}.tck_khz);
    std::string pins;

    Options check() const
    {
        Options options;
        options.tck_khz = khz_arg(tck, "--tck");
        if (!pins.empty()) {
            auto colon = pins.find(':');
            if (colon == std::string::npos) {
                usage_error("bad --pins '" + pins + "'", "give DIR:LEVEL, for example " + default_pins());
            }
            options.direction =
                static_cast<std::uint16_t>(number_arg(pins.substr(0, colon), "--pins direction", 0xFFFF));
            options.level =
                static_cast<std::uint16_t>(number_arg(pins.substr(colon + 1), "--pins level", 0xFFFF));
        }
        return options;
    }
};

Bytes scan_bits(const std::string& text, unsigned bits, const char* what)
{
    auto value = parse_hex_bits(text, bits);
    if (!value) {
        usage_error("'" + text + "' is not a hex value of at most " + count_text(bits, "bit"),
                    std::string("give ") + what + " as one hex number, bit 0 first out (for example 0x3f8)");
    }
    return *value;
}

// jtag ir|dr --len N TDI [--no-reset] [--ir HEX --ir-len M]
struct RawScanArgs {
    RawScan scan;
    std::string bits;    // --len
    std::string ir_bits; // --ir-len
    bool no_reset = false;
};

// The most bits one raw scan shifts.
constexpr std::uint64_t MAX_RAW_SCAN_BITS = 32768;

unsigned scan_length_arg(const std::string& text, const char* what)
{
    const std::uint64_t bits = number_arg(text, what, MAX_RAW_SCAN_BITS);
    if (bits == 0) {
        usage_error(std::string(what) + " must be at least 1",
                    "give 1 to " + std::to_string(MAX_RAW_SCAN_BITS) + " bits");
    }
    return static_cast<unsigned>(bits);
}

// jtag svf FILE [--tck KHZ] [--dry-run] [--max-readback BYTES] [--max-size BYTES] [--max-time SECONDS]
struct SvfArgs {
    std::string file;
    std::string tck; // empty: the group's --tck
    bool dry_run = false;
    std::string max_readback = std::to_string(orv::engine::DEFAULT_MAX_READBACK);
    std::string max_size = "256M"; // the largest FPGA bitstreams in SVF fit with room
    std::string max_time = "3600"; // an hour: more is a file or a FREQUENCY gone wrong, unless said
};
constexpr std::uint64_t MAX_SVF_TIME_LIMIT = 30 * 24 * 3600;

std::string file_name(const std::string& file)
{
    return file == "-" ? "<stdin>" : file;
}

// ---- the mismatch report ----------------------------------------------------

// Hex digits shown of one value at most; longer values show the stretch
// around the first difference.
constexpr std::size_t SHOWN_DIGITS = 64;

using orv::svf::Bits;
using orv::svf::Mismatch;

bool nibble_any(const Bits& bits, std::uint32_t digit, const auto& bit_is_set)
{
    for (std::uint32_t k = 0; k < 4; ++k) {
        const std::uint32_t i = 4 * digit + k;
        if (i < bits.size() && bit_is_set(i)) {
            return true;
        }
    }
    return false;
}

std::string bit_list(const Mismatch::Part& part)
{
    std::vector<std::uint32_t> bits;
    for (std::uint32_t i = 0; i < part.expected.size(); ++i) {
        if (part.mask[i] && part.expected[i] != part.actual[i]) {
            bits.push_back(i);
        }
    }
    std::string text =
        std::to_string(bits.size()) + (bits.size() == 1 ? " bit differs (bit " : " bits differ (bits ");
    constexpr std::size_t LISTED = 4;
    for (std::size_t k = 0; k < std::min(bits.size(), LISTED); ++k) {
        text += (k == 0 ? "" : ", ") + std::to_string(bits[k]);
    }
    return text + (bits.size() > LISTED ? ", ...)" : ")");
}

// Four lines: expected, actual (digits with no compared bit as 'x', don't
// care, never a sign), mask, and a '^' under each digit holding a differing
// bit; a note says what x means when one is shown.
std::string part_lines(const Mismatch::Part& part)
{
    const std::uint32_t length = part.expected.size();
    const std::uint32_t digits = (length + 3) / 4;
    const std::string expected = orv::svf::to_hex(part.expected);
    std::string actual = orv::svf::to_hex(part.actual);
    const std::string mask = orv::svf::to_hex(part.mask);
    std::string marks(digits, ' ');
    std::size_t first_mark = digits;
    for (std::uint32_t d = 0; d < digits; ++d) {
        const std::size_t column = digits - 1 - d; // digit 0 is the rightmost
        if (!nibble_any(part.mask, d, [&](std::uint32_t i) { return part.mask[i]; })) {
            actual[column] = 'x';
        }
        if (nibble_any(part.mask, d,
                       [&](std::uint32_t i) { return part.mask[i] && part.expected[i] != part.actual[i]; })) {
            marks[column] = '^';
            first_mark = std::min(first_mark, column);
        }
    }
    std::size_t from = 0;
    std::size_t count = digits;
    if (digits > SHOWN_DIGITS) {
        const std::size_t anchor = first_mark == digits ? 0 : first_mark;
        from = std::min<std::size_t>(anchor > 8 ? anchor - 8 : 0, digits - SHOWN_DIGITS);
        count = SHOWN_DIGITS;
    }
    const auto shown = [&](const std::string& text) {
        return (from == 0 ? "0x" : "..") + text.substr(from, count) + (from + count < digits ? ".." : "");
    };
    std::string marker = marks.substr(from, count);
    marker.erase(marker.find_last_not_of(' ') + 1);
    const std::string actual_shown = shown(actual);
    std::string lines = "  expected " + shown(expected) + "\n  actual   " + actual_shown + "\n  mask     " +
                        shown(mask) + "\n             " + marker + "\n";
    if (actual_shown.find('x', 2) != std::string::npos) { // after the 0x or ..
        lines += "  (x: a digit the mask leaves out)\n";
    }
    if (count < digits) {
        const std::size_t high = 4 * (digits - from) - 1;
        const std::size_t low = 4 * (digits - from - count);
        lines += "  (bits " + std::to_string(std::min<std::size_t>(high, length - 1)) + ".." +
                 std::to_string(low) + " shown of " + std::to_string(length) + ")\n";
    }
    return lines;
}

Value part_json(const Mismatch::Part& part)
{
    return Value::object({{"command", std::string(orv::svf::name_of(part.command))},
                          {"bits", part.expected.size()},
                          {"expected", orv::svf::to_hex(part.expected)},
                          {"actual", orv::svf::to_hex(part.actual)},
                          {"mask", orv::svf::to_hex(part.mask)},
                          {"differing_bits", part.differing()}});
}

std::string part_title(const Mismatch::Part& part)
{
    const std::uint32_t bits = part.expected.size();
    return std::string(orv::svf::name_of(part.command)) + " " + std::to_string(bits) +
           (bits == 1 ? " bit" : " bits");
}

std::string kb(std::uint64_t hz)
{
    std::ostringstream s;
    s << static_cast<double>(hz) / 1000.0 << " kHz";
    return s.str();
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

// What the summaries share: the statements and what they asked of the chain,
// and the transfers.
void add_counts(Result& r, const orv::svf::CompileCounts& compiled, const orv::svf::WireCounts& wire,
                VectorFormat format)
{
    const char* label = format == VectorFormat::xsvf ? "commands" : "statements";
    r.labelled("statements", Value(compiled.statements), label, std::to_string(compiled.statements));
    r.labelled("bits", Value(compiled.scan_bits), "bits shifted", std::to_string(compiled.scan_bits));
    r.field("clocks", wire.clocks);
    r.labelled("transfers",
               Value::object({{"out", wire.out_transfers},
                              {"readback_exchanges", wire.exchanges},
                              {"stream_bytes", wire.stream_bytes},
                              {"readback_bytes", wire.readback_bytes}}),
               "transfers",
               std::to_string(wire.out_transfers) + " OUT (" + count_text(wire.stream_bytes, "byte") + "), " +
                   count_text(wire.exchanges, "read-back exchange") + " (" +
                   count_text(wire.readback_bytes, "byte") + ")");
    r.labelled("host_waits", Value(wire.host_waits), "host waits",
               wire.host_waits == 0
                   ? "none"
                   : std::to_string(wire.host_waits) + ", " + seconds_text(wire.wait_seconds) + " in all");
    r.field("wait_seconds", wire.wait_seconds);
}

const char* format_name(VectorFormat format)
{
    return format == VectorFormat::xsvf ? "XSVF" : "SVF";
}

// Where a statement is: "line 21" in SVF, "command 9 (offset 0x2a)" in XSVF
// (commands counted from 1).
std::string place(const orv::svf::Origin& o, VectorFormat format)
{
    if (format == VectorFormat::xsvf) {
        return "command " + std::to_string(o.index + 1) + " (offset " + hex(o.offset, 1) + ")";
    }
    return "line " + std::to_string(o.where.line);
}

// The same as JSON fields: "PREFIXline" (and "PREFIXcolumn" when asked) in
// SVF, "PREFIXcommand" and "PREFIXoffset" in XSVF.
void add_place(Value::Members& members, const std::string& prefix, const orv::svf::Origin& o,
               VectorFormat format, bool column = false)
{
    if (format == VectorFormat::xsvf) {
        members.emplace_back(prefix + "command", o.index + 1);
        members.emplace_back(prefix + "offset", o.offset);
        return;
    }
    members.emplace_back(prefix + "line", o.where.line);
    if (column) {
        members.emplace_back(prefix + "column", o.where.column);
    }
}

void add_place(Result& r, const std::string& prefix, const orv::svf::Origin& o, VectorFormat format)
{
    Value::Members members;
    add_place(members, prefix, o, format);
    for (auto& [key, value] : members) {
        r.field(key, std::move(value));
    }
}

// Ctrl-C and SIGTERM stop checking and playing a file.
bool interrupted()
{
    return interrupting_signal() != 0;
}

[[noreturn]] void report_interrupted(const std::string& what)
{
    throw ToolError(Exit::failed,
                    std::string("interrupted by ") + signal_name(interrupting_signal()) + " " + what);
}

std::string duration_text(double seconds)
{
    constexpr double MINUTE = 60;
    constexpr double HOUR = 60 * MINUTE;
    constexpr double DAY = 24 * HOUR;
    char text[48];
    if (seconds < 2 * MINUTE) {
        std::snprintf(text, sizeof text, "%.3g s", seconds);
    } else if (seconds < 2 * HOUR) {
        std::snprintf(text, sizeof text, "%.3g min", seconds / MINUTE);
    } else if (seconds < 2 * DAY) {
        std::snprintf(text, sizeof text, "%.3g h", seconds / HOUR);
    } else {
        std::snprintf(text, sizeof text, "%.0f days", seconds / DAY);
    }
    return text;
}

// How long playing keeps the chain busy, refused before anything is sent
// (and before the dry run plans it) when above --max-time.
void check_duration(const SvfJob& job)
{
    const orv::svf::TimeEstimate& estimate = job.estimate;
    if (job.max_time > 0 && estimate.seconds() > job.max_time) {
        usage_error(file_name(job.file) + ": playing it takes about " + duration_text(estimate.seconds()) +
                        " (" + std::to_string(estimate.clocks) + " TCK clocks, " +
                        duration_text(estimate.wait_seconds) + " of waits), more than --max-time allows (" +
                        duration_text(job.max_time) + "); nothing was sent",
                    "give --max-time SECONDS (0: no limit) to play it all the same");
    }
}

} // namespace

void load_vector_file(SvfJob& job)
{
    const char* kind = format_name(job.format);
    Bytes bytes;
    try {
        bytes = read_bounded(job.file, std::cin, job.max_size);
    } catch (const orv::hostfile::FileError& e) {
        if (e.kind() == orv::hostfile::FileError::Kind::too_large) {
            usage_error(file_name(job.file) + " holds more than " + size_text(job.max_size) +
                            ", the most --max-size lets an " + kind + " file be",
                        "raise --max-size if the file is that large");
        }
        if (e.kind() == orv::hostfile::FileError::Kind::not_a_file) {
            usage_error(job.file + " is a directory", std::string("give the ") + kind + " file to play");
        }
        usage_error("cannot read '" + job.file + "': " + std::strerror(e.error_number()),
                    "check the file name");
    }
    orv::svf::TimeTally tally(orv::svf::tck_for_khz(job.player.tck_khz));
    const auto add = [&](const orv::svf::Statement& s) {
        tally.add(s);
        return true;
    };
    const char* nothing_sent = "the whole file is checked before anything is sent: nothing was sent";
    try {
        if (job.format == VectorFormat::xsvf) {
            job.program = orv::xsvf::load(std::move(bytes), interrupted, add);
        } else {
            job.program = orv::svf::load(std::move(bytes), interrupted, add);
        }
    } catch (const orv::svf::ParseError& e) {
        usage_error(file_name(job.file) + ": " + e.what(), nothing_sent);
    } catch (const orv::xsvf::FormatError& e) {
        usage_error(file_name(job.file) + ": " + e.what(), nothing_sent);
    } catch (const orv::svf::Stopped&) {
        report_interrupted("while checking " + file_name(job.file) + "; nothing was sent");
    }
    job.estimate = tally.estimate();
    check_duration(job);
}

namespace {

// A TCK asked for below the adapter's slowest clock runs at that clock.
void add_clock_notice(Result& r, const orv::svf::CompileCounts& compiled, const SvfJob& job)
{
    const orv::ClockChoice start = orv::svf::tck_for_khz(job.player.tck_khz);
    std::string text;
    Value::Members json;
    if (start.raised) {
        text = "--tck " + std::to_string(job.player.tck_khz) + " kHz";
        json.emplace_back("tck_khz_asked", job.player.tck_khz);
    }
    if (compiled.first_raised) {
        const auto& first = *compiled.first_raised;
        text += (text.empty() ? "" : " and ") + std::string("FREQUENCY ") +
                kb(static_cast<std::uint64_t>(first.hz)) + " at line " +
                std::to_string(first.statement.where.line) +
                (compiled.frequencies_raised > 1
                     ? " (and " + std::to_string(compiled.frequencies_raised - 1) + " more)"
                     : "");
        json.emplace_back("first_line", first.statement.where.line);
        json.emplace_back("frequencies", compiled.frequencies_raised);
    }
    if (text.empty()) {
        return;
    }
    const orv::ClockChoice slowest = orv::clock_of_divisor(orv::CLOCK_DIVISOR_MAX);
    json.emplace_back("ran_hz", slowest.actual_hz);
    r.labelled("tck_raised", Value::object(std::move(json)), "notice",
               text + " asked for less than the adapter's slowest clock: " + kb(slowest.actual_hz) +
                   " ran instead (RUNTEST times counted at it)");
}

// A failed transfer: how far the checks went and from where on nothing is known.
[[noreturn]] void report_failure(const orv::svf::PlayResult& p, const SvfJob& job, const std::string& name,
                                 const std::string& unit)
{
    std::string doing = name + ": " + p.failed_doing;
    Result details;
    details.field("file", name).field("statements_played", p.statements_played);
    details.field("tdo_checks_passed", p.checks_passed);
    if (p.last_checked) {
        // What came back before the failure was judged: say how far.
        add_place(details, "last_checked_", *p.last_checked, job.format);
        doing += " (TDO checks passed up to " + place(*p.last_checked, job.format);
        doing += p.first_unknown
                     ? "; the results from " + place(*p.first_unknown, job.format) + " on are unknown)"
                     : ")";
    } else if (p.first_unknown) {
        doing += " (the " + unit + "s from " + place(*p.first_unknown, job.format) + " on did not play)";
    }
    if (p.first_unknown) {
        add_place(details, "first_unknown_", *p.first_unknown, job.format);
    }
    try {
        check_result(p.rc, doing);
    } catch (const ToolError& e) {
        throw ResultError(e, std::move(details));
    }
    throw ToolError(Exit::failed, doing); // (check_result throws for any code but 0)
}

[[noreturn]] void report_mismatch(const orv::svf::PlayResult& p, const SvfJob& job, const std::string& name,
                                  const std::string& unit)
{
    const Mismatch& m = *p.mismatch;
    const std::string where = place(m.statement, job.format);
    Result details;
    details.field("file", name).field("statements", job.program->statements());
    details.field("statements_played", m.statement.index).field("tdo_checks_passed", p.checks_passed);
    std::string text;
    Value::Members failure;
    add_place(failure, "", m.statement, job.format, true);
    failure.emplace_back("scan", part_json(m.body));
    for (const Mismatch::Part* part : {&m.header, &m.trailer}) {
        if (part->expected.size() != 0) {
            failure.emplace_back(part == &m.header ? "header" : "trailer", part_json(*part));
        }
    }
    details.field("failure", Value::object(std::move(failure)));
    text += part_lines(m.body);
    for (const Mismatch::Part* part : {&m.header, &m.trailer}) {
        if (part->differing() != 0) {
            text += "  " + part_title(*part) + " (" + (part == &m.header ? "header" : "trailer") +
                    "): " + bit_list(*part) + "\n" + part_lines(*part);
        }
    }
    text += "  " + count_text(m.statement.index, unit) + " before it played, " +
            count_text(p.checks_passed, "TDO check") +
            " passed; nothing was sent after the batch that held " + where + "\n";
    details.text(text);
    const std::uint32_t differing = m.header.differing() + m.body.differing() + m.trailer.differing();
    std::string message = name + ": TDO mismatch at " + where + ": " + part_title(m.body) + ", ";
    message += m.body.differing() == differing
                   ? bit_list(m.body)
                   : count_text(differing, "bit") + " differ, " + std::to_string(m.body.differing()) +
                         " of them in " + std::string(orv::svf::name_of(m.body.command));
    throw ResultError(ToolError(Exit::failed, message), std::move(details));
}

} // namespace

Result cmd_svf(const Context& ctx, const SvfJob& given)
{
    SvfJob job = given;
    if (!job.program) {
        load_vector_file(job);
    }
    const std::string name = file_name(job.file);
    const std::string unit(job.program->unit());
    Result r;
    r.field("file", name).field("dry_run", job.dry_run);
    if (job.dry_run) {
        const orv::svf::DryRunResult d = orv::svf::dry_run(*job.program, job.player, interrupted);
        if (d.stopped) {
            report_interrupted("during the dry run of " + name);
        }
        r.line("dry run of " + name + ": nothing sent");
        add_counts(r, d.compiled, d.wire, job.format);
        r.labelled("tdo_checks", Value(d.compiled.checks), "TDO checks", std::to_string(d.compiled.checks));
        r.labelled("tck_khz", Value(job.player.tck_khz), "TCK",
                   kb(orv::svf::tck_for_khz(job.player.tck_khz).actual_hz) + " at the start");
        r.labelled("estimated_seconds", Value(job.estimate.seconds()), "playing",
                   "about " + duration_text(job.estimate.seconds()) +
                       " (the clocks at their TCK and the waits; USB "
                       "transfers add to it)");
        add_clock_notice(r, d.compiled, job);
        return r;
    }

    Progress bar(ctx, job.format == VectorFormat::xsvf ? "xsvf" : "svf", job.program->bytes());
    const orv::svf::PlayResult p = orv::svf::play(
        *job.program, ctx.handle, job.player,
        [&bar, &unit, total = job.program->statements()](std::uint64_t statements, std::uint64_t bytes) {
            bar.update(bytes, std::to_string(statements) + "/" + std::to_string(total) + " " + unit + "s");
        },
        interrupted);
    bar.finish();
    if (p.rc != 0) {
        report_failure(p, job, name, unit);
    }
    if (p.mismatch) {
        report_mismatch(p, job, name, unit);
    }
    if (p.stopped) {
        std::string where = count_text(p.statements_played, unit) + " played, " +
                            count_text(p.checks_passed, "TDO check") + " passed";
        if (p.first_unknown) {
            where += "; from " + place(*p.first_unknown, job.format) + " on nothing is known";
        }
        Result details;
        details.field("file", name).field("statements_played", p.statements_played);
        details.field("tdo_checks_passed", p.checks_passed);
        if (p.first_unknown) {
            add_place(details, "first_unknown_", *p.first_unknown, job.format);
        }
        throw ResultError(ToolError(Exit::failed, std::string("interrupted by ") +
                                                      signal_name(interrupting_signal()) + " playing " +
                                                      name + " (" + where + ")"),
                          std::move(details));
    }
    r.line("played " + name + ": " + count_text(p.compiled.statements, unit) + ", " +
           count_text(p.checks_passed, "TDO check") + " passed");
    add_counts(r, p.compiled, p.wire, job.format);
    r.labelled("tdo_checks", Value(p.checks_passed), "TDO checks",
               std::to_string(p.checks_passed) + " passed");
    if (p.repeats != 0) {
        r.labelled("repeats", Value(p.repeats), "repeats",
                   count_text(p.repeats, "scan") + " shifted again after its TDO differed");
    }
    r.labelled("tck_khz", Value(job.player.tck_khz), "TCK",
               kb(orv::svf::tck_for_khz(job.player.tck_khz).actual_hz) + " at the start");
    r.labelled("seconds", Value(p.seconds), "time", seconds_text(p.seconds));
    add_clock_notice(r, p.compiled, job);
    return r;
}

Scan parse_raw_scan(const RawScan& scan)
{
    Scan bits;
    bits.instruction_register = scan.instruction;
    bits.bits = scan.bits;
    bits.tdi = scan_bits(scan.tdi_hex, scan.bits, "TDI");
    bits.reset = scan.reset;
    if (scan.ir_bits != 0) {
        bits.ir_bits = scan.ir_bits;
        bits.ir = scan_bits(scan.ir_hex, scan.ir_bits, "the instruction");
    }
    return bits;
}

namespace {

JtagHandle open_jtag(const Context& ctx, const Options& options)
{
    const orvdev_jtag_options o{options.tck_khz, options.direction, options.level};
    orvdev_jtag* jtag = nullptr;
    orvdev_report report{};
    check_device(orvdev_jtag_open(ctx.session, &o, &jtag, &report), report, ctx);
    return JtagHandle(jtag);
}

std::vector<std::string> openocd_taps(const orvdev_chain& chain)
{
    std::vector<std::string> lines;
    for (std::uint32_t i = 0; i < chain.count; ++i) {
        const orvdev_tap& d = chain.taps[i];
        std::string line = "jtag newtap auto" + std::to_string(i) + " tap -irlen " +
                           (d.ir_length_known != 0 ? std::to_string(d.ir_length) : "N");
        if (d.has_idcode != 0) {
            line += " -expected-id " + hex(d.idcode, 8);
        }
        // An IR length the capture pattern could not tell stays for the user
        // to fill in: the line is a comment until then.
        lines.push_back(d.ir_length_known != 0 ? line : "# " + line + "  (IR length unknown)");
    }
    return lines;
}

} // namespace

Result cmd_scan(const Context& ctx, const Options& options)
{
    JtagHandle jtag = open_jtag(ctx, options);
    const orvdev_clock clock = orvdev_jtag_clock(jtag.get());
    orvdev_chain chain{};
    orvdev_report report{};
    {
        SessionBars bars(ctx);
        check_device(orvdev_chain_scan(jtag.get(), &chain, &report), report, ctx);
    }

    Result result;
    result.field("tck_khz", clock.actual_hz / 1000)
        .field("tck_khz_asked", options.tck_khz)
        .field("ir_total", chain.ir_total);
    const std::size_t count = chain.count;
    result.line("JTAG chain: " + count_text(count, "device") + ", " + std::to_string(chain.ir_total) +
                " IR bits in all (device 0 is nearest TDO), TCK " + clock_text(clock, options.tck_khz));
    Table table{
        {{"#", 3, 1}, {"IDCODE", 10, 2}, {"MANUFACTURER", 36, 1}, {"PART", 6, 2}, {"VERSION", 7, 2}, {"IR"}},
        {}};
    for (std::size_t i = 0; i < count; ++i) {
        const orvdev_tap& d = chain.taps[i];
        const Value ir_length = d.ir_length_known != 0 ? Value(d.ir_length) : Value();
        std::string ir = d.ir_length_known != 0 ? std::to_string(d.ir_length) : "?";
        if (d.has_idcode == 0) {
            table.rows.push_back(
                {Value::object(
                     {{"index", i}, {"idcode", Value()}, {"idcode_hex", Value()}, {"ir_length", ir_length}}),
                 {std::to_string(i), "-", "(no IDCODE: BYPASS after reset)", "-", "-", ir}});
            continue;
        }
        std::string maker =
            hex(d.manufacturer, 3) + " bank " + std::to_string(d.jep106_bank) + " id " + hex(d.jep106_id, 2);
        maker += d.vendor != nullptr ? std::string(" (") + d.vendor + ")" : " (not in JEP106)";
        table.rows.push_back(
            {Value::object({{"index", i},
                            {"idcode", d.idcode},
                            {"idcode_hex", hex(d.idcode, 8)},
                            {"manufacturer", d.manufacturer},
                            {"manufacturer_hex", hex(d.manufacturer, 3)},
                            {"jep106_bank", d.jep106_bank},
                            {"jep106_id", d.jep106_id},
                            {"jep106_id_hex", hex(d.jep106_id, 2)},
                            {"vendor", d.vendor},
                            {"part", d.part},
                            {"part_hex", hex(d.part, 4)},
                            {"version", static_cast<unsigned>(d.version)},
                            {"ir_length", ir_length}}),
             {std::to_string(i), hex(d.idcode, 8), maker, hex(d.part, 4), std::to_string(d.version), ir}});
    }
    // A long maker's name widens its column rather than pushing the rest of
    // its row out of line.
    for (const Table::Row& row : table.rows) {
        table.columns[2].width = std::max(table.columns[2].width, row.cells[2].size());
    }
    result.table("devices", std::move(table));

    std::vector<std::string> taps = openocd_taps(chain);
    Value::List json_taps(taps.begin(), taps.end());
    std::string text = "OpenOCD TAP declarations (nearest TDO first):\n";
    for (const auto& t : taps) {
        text += t + "\n";
    }
    return result.field("openocd", Value::list(std::move(json_taps))).text(text);
}

Result cmd_raw_scan(const Context& ctx, const Options& options, const Scan& scan)
{
    JtagHandle jtag = open_jtag(ctx, options);
    const orvdev_clock clock = orvdev_jtag_clock(jtag.get());
    const orvdev_raw_scan raw{scan.instruction_register ? ORVDEV_JTAG_IR : ORVDEV_JTAG_DR,
                              scan.bits,
                              scan.tdi.data(),
                              scan.reset ? 1 : 0,
                              scan.ir_bits,
                              scan.ir_bits != 0 ? scan.ir.data() : nullptr};
    Bytes tdo(scan.tdi.size(), 0);
    orvdev_report report{};
    check_device(orvdev_jtag_raw_scan(jtag.get(), &raw, tdo.data(), &report), report, ctx);
    return Result()
        .field("register", scan.instruction_register ? "ir" : "dr")
        .field("bits", scan.bits)
        .labelled("tck_khz", clock.actual_hz / 1000, "tck", clock_text(clock, options.tck_khz))
        .labelled("tdi", bits_to_hex(scan.tdi, scan.bits), "tdi")
        .labelled("tdo", bits_to_hex(tdo, scan.bits), "tdo");
}

} // namespace orvtool::jtag

namespace orvtool {

void register_jtag(CLI::App& app, Chosen& chosen)
{
    using namespace jtag;
    auto group = std::make_shared<GroupArgs>();
    auto* jtag = add_group(app, "jtag", "JTAG chain");
    add_clock_option(jtag, "--tck", group->tck, "TCK frequency");
    jtag->add_option("--pins", group->pins, "pin direction and level (default " + default_pins() + ")")
        ->type_name("DIR:LEVEL");

    add_plain_command(jtag, chosen, group, "scan", "count the devices, their IR lengths and IDCODEs",
                      cmd_scan);
    register_boundary_scan(jtag, chosen, [group] { return group->check(); });

    for (bool instruction : {true, false}) {
        auto args = std::make_shared<RawScanArgs>();
        args->scan.instruction = instruction;
        auto* raw = jtag->add_subcommand(instruction ? "ir" : "dr",
                                         instruction ? "raw instruction-register scan, TDO printed in hex"
                                                     : "raw data-register scan, TDO printed in hex");
        raw->add_option("--len", args->bits, "number of bits, 1 to " + std::to_string(MAX_RAW_SCAN_BITS))
            ->type_name("BITS")
            ->required();
        raw->add_option("TDI", args->scan.tdi_hex, "bits to shift in, as one hex number (bit 0 first out)")
            ->required();
        raw->add_flag("--no-reset", args->no_reset,
                      "do not reset the TAPs first: they must be in Run-Test/Idle (where every orvtool scan "
                      "leaves them) or in Test-Logic-Reset (after power-up); one TCK with TMS low takes them "
                      "from either to Run-Test/Idle, keeping their instructions");
        if (!instruction) {
            raw->add_option("--ir", args->scan.ir_hex,
                            "load this instruction first: every TAP's instruction in one number, device 0's "
                            "(nearest TDO) in the low bits")
                ->type_name("HEX");
            raw->add_option("--ir-len", args->ir_bits,
                            "length of --ir in bits: the whole chain's IR length, the sum of every TAP's "
                            "(jtag scan prints it as 'IR bits in all')")
                ->type_name("BITS");
        }
        on_chosen(raw, chosen, [group, args] {
            Options options = group->check();
            RawScan scan = args->scan;
            scan.bits = scan_length_arg(args->bits, "--len");
            scan.ir_bits = args->ir_bits.empty() ? 0 : scan_length_arg(args->ir_bits, "--ir-len");
            if (scan.ir_hex.empty() != (scan.ir_bits == 0)) {
                usage_error("--ir and --ir-len go together");
            }
            scan.reset = !args->no_reset;
            return Action([options, bits = parse_raw_scan(scan)](const Context& ctx) {
                return cmd_raw_scan(ctx, options, bits);
            });
        });
    }

    for (const VectorFormat format : {VectorFormat::svf, VectorFormat::xsvf}) {
        const bool xsvf = format == VectorFormat::xsvf;
        const std::string kind = xsvf ? "XSVF" : "SVF";
        auto svf_args = std::make_shared<SvfArgs>();
        auto* svf = jtag->add_subcommand(
            xsvf ? "xsvf" : "svf", xsvf ? "play a Xilinx XSVF file (checked whole before anything is sent)"
                                        : "play an SVF file (checked whole before anything is sent)");
        svf->add_option("FILE", svf_args->file, "the " + kind + " file; - reads standard input")->required();
        svf->add_option("--tck", svf_args->tck,
                        xsvf ? "TCK frequency in kHz (default: jtag --tck)"
                             : "TCK frequency in kHz until the file sets one (default: jtag --tck)")
            ->type_name("KHZ");
        svf->add_flag("--dry-run", svf_args->dry_run,
                      std::string("check and report what would be sent (") +
                          (xsvf ? "commands" : "statements") + ", bits, TDO checks, transfers); no adapter");
        svf->add_option("--max-readback", svf_args->max_readback,
                        "bytes read back per exchange at most (1.." +
                            std::to_string(orv::svf::MAX_READBACK_BOUND) + ", default " +
                            std::to_string(orv::engine::DEFAULT_MAX_READBACK) + ")")
            ->type_name("BYTES");
        svf->add_option("--max-size", svf_args->max_size,
                        "the largest " + kind + " file read (default " + svf_args->max_size + ")")
            ->type_name("BYTES");
        svf->add_option("--max-time", svf_args->max_time,
                        "refuse a file whose playing takes longer, by its clocks and waits (default " +
                            svf_args->max_time + "; 0: no limit)")
            ->type_name("SECONDS");
        on_chosen(svf, chosen, [group, svf_args, format, &chosen] {
            Options options = group->check();
            if (!svf_args->tck.empty()) {
                options.tck_khz = khz_arg(svf_args->tck, "--tck");
            }
            SvfJob job;
            job.format = format;
            job.file = svf_args->file;
            job.dry_run = svf_args->dry_run;
            job.player.tck_khz = options.tck_khz;
            job.player.direction = options.direction;
            job.player.level = options.level;
            job.player.max_readback = static_cast<std::size_t>(
                size_arg(svf_args->max_readback, "--max-readback", orv::svf::MAX_READBACK_BOUND));
            if (job.player.max_readback == 0) {
                usage_error("--max-readback must be at least 1");
            }
            job.max_size = size_arg(svf_args->max_size, "--max-size");
            job.max_time =
                static_cast<double>(number_arg(svf_args->max_time, "--max-time", MAX_SVF_TIME_LIMIT));
            // A file is checked now, before any adapter is opened; standard input
            // is read when the action runs (a --sim that restarts under umockdev
            // would lose it).
            if (job.file != "-") {
                load_vector_file(job);
            }
            chosen.needs_adapter = !job.dry_run;
            return Action([job](const Context& ctx) {
                SvfJob j = job;
                j.player.timeout_ms = ctx.timeout_ms;
                return cmd_svf(ctx, j);
            });
        });
    }
}

} // namespace orvtool
