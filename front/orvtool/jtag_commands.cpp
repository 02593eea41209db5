#include "front/orvtool/jtag_commands.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <span>
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

// The read-back bound a player takes unless told.
std::uint32_t default_max_readback()
{
    orvdev_svf_play_options o;
    orvdev_svf_play_options_init(&o);
    return o.max_readback;
}

// jtag svf FILE [--tck KHZ] [--dry-run] [--max-readback BYTES] [--max-size BYTES] [--max-time SECONDS]
struct SvfArgs {
    std::string file;
    std::string tck; // empty: the group's --tck
    bool dry_run = false;
    std::string max_readback = std::to_string(default_max_readback());
    std::string max_size = "256M"; // the largest FPGA bitstreams in SVF fit with room
    std::string max_time = "3600"; // an hour: more is a file or a FREQUENCY gone wrong, unless said
};
constexpr std::uint64_t MAX_SVF_TIME_LIMIT = 30 * 24 * 3600;

std::string file_name(const std::string& file)
{
    return file == "-" ? "<stdin>" : file;
}

struct PortCloser {
    void operator()(orvdev_jtag_port* p) const noexcept { orvdev_jtag_port_close(p); }
};

// ---- the mismatch report ----------------------------------------------------

// Hex digits shown of one value at most; longer values show the stretch
// around the first difference.
constexpr std::size_t SHOWN_DIGITS = 64;

using Part = orvdev_svf_scan_part;

bool bit_of(const std::uint8_t* bytes, std::uint32_t i)
{
    return ((bytes[i / 8] >> (i % 8)) & 1U) != 0;
}

bool differs(const Part& part, std::uint32_t i)
{
    return bit_of(part.mask, i) && bit_of(part.expected, i) != bit_of(part.actual, i);
}

std::span<const std::uint8_t> bytes_of(const std::uint8_t* bytes, const Part& part)
{
    return {bytes, (std::size_t{part.bits} + 7) / 8};
}

// ceil(bits / 4) hex digits, most significant first.
std::string digits_of(const std::uint8_t* bytes, const Part& part)
{
    return bits_to_hex(bytes_of(bytes, part), part.bits).substr(2);
}

bool nibble_any(const Part& part, std::uint32_t digit, const auto& bit_is_set)
{
    for (std::uint32_t k = 0; k < 4; ++k) {
        const std::uint32_t i = 4 * digit + k;
        if (i < part.bits && bit_is_set(i)) {
            return true;
        }
    }
    return false;
}

std::string bit_list(const Part& part)
{
    std::vector<std::uint32_t> bits;
    for (std::uint32_t i = 0; i < part.bits; ++i) {
        if (differs(part, i)) {
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
std::string part_lines(const Part& part)
{
    const std::uint32_t length = part.bits;
    const std::uint32_t digits = (length + 3) / 4;
    const std::string expected = digits_of(part.expected, part);
    std::string actual = digits_of(part.actual, part);
    const std::string mask = digits_of(part.mask, part);
    std::string marks(digits, ' ');
    std::size_t first_mark = digits;
    for (std::uint32_t d = 0; d < digits; ++d) {
        const std::size_t column = digits - 1 - d; // digit 0 is the rightmost
        if (!nibble_any(part, d, [&](std::uint32_t i) { return bit_of(part.mask, i); })) {
            actual[column] = 'x';
        }
        if (nibble_any(part, d, [&](std::uint32_t i) { return differs(part, i); })) {
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

// The values as "0x" strings, as jtag dr gives its TDO.
Value part_json(const Part& part)
{
    return Value::object({{"command", std::string(part.command)},
                          {"bits", part.bits},
                          {"expected", bits_to_hex(bytes_of(part.expected, part), part.bits)},
                          {"actual", bits_to_hex(bytes_of(part.actual, part), part.bits)},
                          {"mask", bits_to_hex(bytes_of(part.mask, part), part.bits)},
                          {"differing_bits", part.differing}});
}

std::string part_title(const Part& part)
{
    return std::string(part.command) + " " + std::to_string(part.bits) + (part.bits == 1 ? " bit" : " bits");
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
void add_counts(Result& r, const orvdev_svf_summary& s, VectorFormat format)
{
    const char* label = format == VectorFormat::xsvf ? "commands" : "statements";
    r.labelled("statements", Value(s.statements), label, std::to_string(s.statements));
    r.labelled("bits", Value(s.scan_bits), "bits shifted", std::to_string(s.scan_bits));
    r.field("clocks", s.clocks);
    r.labelled("transfers",
               Value::object({{"out", s.out_transfers},
                              {"readback_exchanges", s.exchanges},
                              {"stream_bytes", s.stream_bytes},
                              {"readback_bytes", s.readback_bytes}}),
               "transfers",
               std::to_string(s.out_transfers) + " OUT (" + count_text(s.stream_bytes, "byte") + "), " +
                   count_text(s.exchanges, "read-back exchange") + " (" +
                   count_text(s.readback_bytes, "byte") + ")");
    r.labelled("host_waits", Value(s.host_waits), "host waits",
               s.host_waits == 0
                   ? "none"
                   : std::to_string(s.host_waits) + ", " + seconds_text(s.wait_seconds) + " in all");
    r.field("wait_seconds", s.wait_seconds);
}

// The clock the file started at, as the clock rule gave it, and the one asked for.
void add_tck(Result& r, const orvdev_svf_summary& s)
{
    r.labelled("tck_khz", Value(s.tck_hz / 1000), "TCK", kb(s.tck_hz) + " at the start");
    r.field("tck_khz_asked", s.tck_khz_asked);
}

const char* format_name(VectorFormat format)
{
    return format == VectorFormat::xsvf ? "XSVF" : "SVF";
}

// Where a statement is: "line 21" in SVF, "command 9 (offset 0x2a)" in XSVF
// (commands counted from 1).
std::string place(const orvdev_svf_place& o, VectorFormat format)
{
    if (format == VectorFormat::xsvf) {
        return "command " + std::to_string(o.index + 1) + " (offset " + hex(o.offset, 1) + ")";
    }
    return "line " + std::to_string(o.line);
}

// The same as JSON fields: "PREFIXline" (and "PREFIXcolumn" when asked) in
// SVF, "PREFIXcommand" and "PREFIXoffset" in XSVF.
void add_place(Value::Members& members, const std::string& prefix, const orvdev_svf_place& o,
               VectorFormat format, bool column = false)
{
    if (format == VectorFormat::xsvf) {
        members.emplace_back(prefix + "command", o.index + 1);
        members.emplace_back(prefix + "offset", o.offset);
        return;
    }
    members.emplace_back(prefix + "line", o.line);
    if (column) {
        members.emplace_back(prefix + "column", o.column);
    }
}

void add_place(Result& r, const std::string& prefix, const orvdev_svf_place& o, VectorFormat format)
{
    Value::Members members;
    add_place(members, prefix, o, format);
    for (auto& [key, value] : members) {
        r.field(key, std::move(value));
    }
}

// Ctrl-C and SIGTERM stop checking and playing a file.
std::int32_t interrupted(void* /*user*/)
{
    return interrupting_signal() != 0 ? 1 : 0;
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

orvdev_svf_play_options play_options(const SvfJob& job)
{
    orvdev_svf_play_options o;
    orvdev_svf_play_options_init(&o);
    o.tck_khz = job.tck_khz;
    o.max_readback = job.max_readback;
    o.stop = interrupted;
    return o;
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
    orvdev_svf_load_options options;
    orvdev_svf_load_options_init(&options);
    options.format = job.format == VectorFormat::xsvf ? ORVDEV_SVF_FORMAT_XSVF : ORVDEV_SVF_FORMAT_SVF;
    options.max_size = std::max<std::uint64_t>(job.max_size, 1);
    options.max_seconds = job.max_time;
    options.tck_khz = job.tck_khz;
    options.stop = interrupted;
    orvdev_svf* program = nullptr;
    orvdev_report report;
    const std::int32_t rc =
        orvdev_svf_load(bytes.data(), bytes.size(), &options, &program, &job.info, nullptr, &report);
    if (rc == ORVDEV_ERROR_BAD_INPUT) {
        usage_error(file_name(job.file) + ": " + report.message,
                    "the whole file is checked before anything is sent: nothing was sent");
    }
    if (rc == ORVDEV_ERROR_STOPPED) {
        report_interrupted("while checking " + file_name(job.file) + "; nothing was sent");
    }
    if (rc == ORVDEV_ERROR_OUT_OF_RANGE) {
        // How long playing keeps the chain busy, refused before anything is sent.
        usage_error(
            file_name(job.file) + ": playing it takes about " + duration_text(job.info.estimated_seconds) +
                " (" + std::to_string(job.info.estimated_clocks) + " TCK clocks, " +
                duration_text(job.info.estimated_wait_seconds) + " of waits), more than --max-time allows (" +
                duration_text(job.max_time) + "); nothing was sent",
            "give --max-time SECONDS (0: no limit) to play it all the same");
    }
    if (rc != 0) {
        throw ToolError(Exit::failed, file_name(job.file) + ": " + report.message);
    }
    job.program.reset(program, orvdev_svf_free);
}

namespace {

// A TCK asked for below the adapter's slowest clock runs at that clock.
void add_clock_notice(Result& r, const orvdev_svf_summary& s)
{
    std::string text;
    Value::Members json;
    if (s.tck_raised != 0) {
        text = "--tck " + std::to_string(s.tck_khz_asked) + " kHz";
        json.emplace_back("tck_khz_asked", s.tck_khz_asked);
    }
    if (s.frequencies_raised != 0) {
        text +=
            (text.empty() ? "" : " and ") + std::string("FREQUENCY ") +
            kb(static_cast<std::uint64_t>(s.first_raised_hz)) + " at line " +
            std::to_string(s.first_raised.line) +
            (s.frequencies_raised > 1 ? " (and " + std::to_string(s.frequencies_raised - 1) + " more)" : "");
        json.emplace_back("first_line", s.first_raised.line);
        json.emplace_back("frequencies", s.frequencies_raised);
    }
    if (text.empty()) {
        return;
    }
    json.emplace_back("ran_hz", s.slowest_hz);
    r.labelled("tck_raised", Value::object(std::move(json)), "notice",
               text + " asked for less than the adapter's slowest clock: " + kb(s.slowest_hz) +
                   " ran instead (RUNTEST times counted at it)");
}

// A failed transfer: how far the checks went and from where on nothing is known.
[[noreturn]] void report_failure(std::int32_t rc, const orvdev_report& report, const orvdev_svf_summary& s,
                                 const SvfJob& job, const std::string& name, const std::string& unit)
{
    std::string doing = name + ": " + report.message;
    Result details;
    details.field("file", name).field("statements_played", s.statements_played);
    details.field("tdo_checks_passed", s.checks_passed);
    if (s.last_checked.known != 0) {
        // What came back before the failure was judged: say how far.
        add_place(details, "last_checked_", s.last_checked, job.format);
        doing += " (TDO checks passed up to " + place(s.last_checked, job.format);
        doing += s.first_unknown.known != 0
                     ? "; the results from " + place(s.first_unknown, job.format) + " on are unknown)"
                     : ")";
    } else if (s.first_unknown.known != 0) {
        doing += " (the " + unit + "s from " + place(s.first_unknown, job.format) + " on did not play)";
    }
    if (s.first_unknown.known != 0) {
        add_place(details, "first_unknown_", s.first_unknown, job.format);
    }
    try {
        check_result(rc, doing);
    } catch (ToolError& e) {
        // The library emptied the read-back after the failure.
        e.set_readback_emptied(true);
        throw ResultError(e, std::move(details));
    }
    throw ToolError(Exit::failed, doing); // (check_result throws for any code but 0)
}

[[noreturn]] void report_mismatch(const orvdev_svf_mismatch& m, const SvfJob& job, const std::string& name,
                                  const std::string& unit)
{
    const std::string where = place(m.statement, job.format);
    Result details;
    details.field("file", name).field("statements", job.info.statements);
    details.field("statements_played", m.statements_played).field("tdo_checks_passed", m.checks_passed);
    std::string text;
    Value::Members failure;
    add_place(failure, "", m.statement, job.format, true);
    failure.emplace_back("scan", part_json(m.body));
    for (const Part* part : {&m.header, &m.trailer}) {
        if (part->bits != 0) {
            failure.emplace_back(part == &m.header ? "header" : "trailer", part_json(*part));
        }
    }
    details.field("failure", Value::object(std::move(failure)));
    text += part_lines(m.body);
    for (const Part* part : {&m.header, &m.trailer}) {
        if (part->differing != 0) {
            text += "  " + part_title(*part) + " (" + (part == &m.header ? "header" : "trailer") +
                    "): " + bit_list(*part) + "\n" + part_lines(*part);
        }
    }
    text += "  " + count_text(m.statements_played, unit) + " before it played, " +
            count_text(m.checks_passed, "TDO check") +
            " passed; nothing was sent after the batch that held " + where + "\n";
    details.text(text);
    const std::uint32_t differing = m.header.differing + m.body.differing + m.trailer.differing;
    std::string message = name + ": TDO mismatch at " + where + ": " + part_title(m.body) + ", ";
    message += m.body.differing == differing
                   ? bit_list(m.body)
                   : count_text(differing, "bit") + " differ, " + std::to_string(m.body.differing) +
                         " of them in " + std::string(m.body.command);
    throw ResultError(ToolError(Exit::failed, message), std::move(details));
}

// Told of each batch played: the bar over the file's bytes, with the statements.
struct BarUpdate {
    Progress* bar;
    const std::string* unit;
    std::uint64_t total;
    static std::int32_t update(void* user, std::uint64_t statements, std::uint64_t bytes)
    {
        const auto* self = static_cast<const BarUpdate*>(user);
        self->bar->update(bytes, std::to_string(statements) + "/" + std::to_string(self->total) + " " +
                                     *self->unit + "s");
        return ORVDEV_CONTINUE;
    }
};

} // namespace

Result cmd_svf(const Context& ctx, const SvfJob& given)
{
    SvfJob job = given;
    if (!job.program) {
        load_vector_file(job);
    }
    const std::string name = file_name(job.file);
    const std::string unit = job.format == VectorFormat::xsvf ? "command" : "statement";
    Result r;
    r.field("file", name).field("dry_run", job.dry_run);
    orvdev_svf_play_options options = play_options(job);
    orvdev_svf_summary s{};
    orvdev_report report;
    if (job.dry_run) {
        const std::int32_t rc = orvdev_svf_dry_run(job.program.get(), &options, &s, &report);
        if (rc == ORVDEV_ERROR_STOPPED) {
            report_interrupted("during the dry run of " + name);
        }
        check_device(rc, report, ctx);
        r.line("dry run of " + name + ": nothing sent");
        add_counts(r, s, job.format);
        r.labelled("tdo_checks", Value(s.checks), "TDO checks", std::to_string(s.checks));
        add_tck(r, s);
        r.labelled("estimated_seconds", Value(job.info.estimated_seconds), "playing",
                   "about " + duration_text(job.info.estimated_seconds) +
                       " (the clocks at their TCK and the waits; USB "
                       "transfers add to it)");
        add_clock_notice(r, s);
        return r;
    }

    // The port starts with the pins the file is played with; its clock is the
    // one the player sets first.
    orvdev_jtag_port_options port_options;
    orvdev_jtag_port_options_init(&port_options);
    port_options.tck_khz = job.tck_khz;
    port_options.direction = job.direction;
    port_options.level = job.level;
    orvdev_jtag_port* opened = nullptr;
    check_device(orvdev_jtag_port_open(ctx.session, &port_options, &opened, &report), report, ctx);
    const std::unique_ptr<orvdev_jtag_port, PortCloser> port(opened);

    Progress bar(ctx, job.format == VectorFormat::xsvf ? "xsvf" : "svf", job.info.bytes);
    BarUpdate updates{&bar, &unit, job.info.statements};
    options.progress = BarUpdate::update;
    options.progress_user = &updates;
    const std::int32_t rc = orvdev_svf_play(port.get(), job.program.get(), &options, &s, &report);
    bar.finish();
    if (rc == ORVDEV_ERROR_MISMATCH) {
        orvdev_svf_mismatch m;
        if (orvdev_svf_get_mismatch(job.program.get(), &m) == 0) {
            report_mismatch(m, job, name, unit);
        }
    }
    if (rc == ORVDEV_ERROR_STOPPED) {
        std::string where = count_text(s.statements_played, unit) + " played, " +
                            count_text(s.checks_passed, "TDO check") + " passed";
        if (s.first_unknown.known != 0) {
            where += "; from " + place(s.first_unknown, job.format) + " on nothing is known";
        }
        Result details;
        details.field("file", name).field("statements_played", s.statements_played);
        details.field("tdo_checks_passed", s.checks_passed);
        if (s.first_unknown.known != 0) {
            add_place(details, "first_unknown_", s.first_unknown, job.format);
        }
        throw ResultError(ToolError(Exit::failed, std::string("interrupted by ") +
                                                      signal_name(interrupting_signal()) + " playing " +
                                                      name + " (" + where + ")"),
                          std::move(details));
    }
    if (rc == ORVDEV_ERROR_INVALID_ARGUMENT) {
        check_device(rc, report, ctx);
    }
    if (rc != 0) {
        report_failure(rc, report, s, job, name, unit);
    }
    r.line("played " + name + ": " + count_text(s.statements, unit) + ", " +
           count_text(s.checks_passed, "TDO check") + " passed");
    add_counts(r, s, job.format);
    r.labelled("tdo_checks", Value(s.checks_passed), "TDO checks",
               std::to_string(s.checks_passed) + " passed");
    if (s.repeats != 0) {
        r.labelled("repeats", Value(s.repeats), "repeats",
                   count_text(s.repeats, "scan") + " shifted again after its TDO differed");
    }
    add_tck(r, s);
    r.labelled("seconds", Value(s.seconds), "time", seconds_text(s.seconds));
    add_clock_notice(r, s);
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
                            std::to_string(ORVDEV_SVF_MAX_READBACK) + ", default " +
                            std::to_string(default_max_readback()) + ")")
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
            job.tck_khz = options.tck_khz;
            job.direction = options.direction;
            job.level = options.level;
            job.max_readback = static_cast<std::uint32_t>(
                size_arg(svf_args->max_readback, "--max-readback", ORVDEV_SVF_MAX_READBACK));
            if (job.max_readback == 0) {
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
            return Action([job](const Context& ctx) { return cmd_svf(ctx, job); });
        });
    }
}

} // namespace orvtool
