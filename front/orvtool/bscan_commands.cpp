#include "front/orvtool/bscan_commands.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "front/orvtool/device_library.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/interrupt.hpp"
#include "front/orvtool/render.hpp"

namespace orvtool {

namespace {

namespace fs = std::filesystem;

// ---- BSDL files -------------------------------------------------------------

// The BSDL files given, read whole before anything is sent.
struct BsdlFiles {
    BsdlFilesHandle read;
    std::vector<const orvdev_bsdl*> files;
    [[nodiscard]] const std::vector<const orvdev_bsdl*>& pointers() const { return files; }
    [[nodiscard]] std::uint32_t count() const { return static_cast<std::uint32_t>(files.size()); }
};

// Ctrl-C while files are read: each file is regular and of bounded size, so
// the reading ends within a second and nothing has been sent yet.
void stop_if_interrupted(const std::string& reading)
{
    if (const int signal = interrupting_signal(); signal != 0) {
        throw ToolError(Exit::failed, std::string("interrupted by ") + signal_name(signal) +
                                          " while reading " + reading + ": nothing was sent");
    }
}

// The files and directories given (and, with `use_path`, ORV_BSDL_PATH's),
// read by the device library; a refusal is a usage error.
std::shared_ptr<BsdlFiles> read_files(const std::vector<std::string>& given, bool use_path)
{
    std::vector<const char*> sources;
    for (const std::string& g : given) {
        sources.push_back(g.c_str());
    }
    orvdev_bsdl_files* read = nullptr;
    orvdev_report report{};
    if (orvdev_bsdl_files_load(sources.data(), static_cast<std::uint32_t>(sources.size()), use_path ? 1 : 0,
                               &read, nullptr, &report) != 0) {
        usage_error(report.message, "the files are read before the adapter is opened: nothing was sent");
    }
    auto files = std::make_shared<BsdlFiles>();
    files->read.reset(read);
    stop_if_interrupted("the BSDL files");
    for (std::uint32_t i = 0; i < orvdev_bsdl_files_count(read); ++i) {
        files->files.push_back(orvdev_bsdl_files_get(read, i));
    }
    return files;
}

// --bsdl (or the arguments of jtag bsdl), then ORV_BSDL_PATH: at least one
// file.
std::shared_ptr<BsdlFiles> files_for_command(const std::vector<std::string>& given)
{
    auto files = read_files(given, true);
    if (files->files.empty()) {
        usage_error("no BSDL files", "give them with --bsdl FILE|DIR (repeatable) or in ORV_BSDL_PATH "
                                     "(directories and files separated by ':')");
    }
    return files;
}

const char* entity_of(const orvdev_bsdl* file)
{
    orvdev_bsdl_info info{};
    orvdev_bsdl_get_info(file, &info);
    return info.entity;
}

std::string path_of(const orvdev_bsdl* file)
{
    orvdev_bsdl_info info{};
    orvdev_bsdl_get_info(file, &info);
    return info.path;
}

std::uint32_t pin_count_of(const orvdev_bsdl* file)
{
    orvdev_bsdl_info info{};
    orvdev_bsdl_get_info(file, &info);
    return info.pin_count;
}

// Every pin named must be in one of the files, and able to do what is asked
// of it there (`levels`: per pin, to drive or let go); the device library
// says which is not, with the nearest names.
void check_pin_names(const BsdlFiles& files, const std::vector<std::string>& names,
                     const std::vector<std::int32_t>& levels = {})
{
    std::vector<const char*> pins;
    for (const std::string& n : names) {
        pins.push_back(n.c_str());
    }
    orvdev_report report{};
    if (orvdev_bsdl_check_pins(files.pointers().data(), files.count(), pins.data(),
                               levels.empty() ? nullptr : levels.data(),
                               static_cast<std::uint32_t>(pins.size()), nullptr, &report) != 0) {
        const std::string hint = report.hint;
        usage_error(report.message, hint.empty() ? "nothing was sent" : hint + "; nothing was sent");
    }
}

// ---- the chain and its files ------------------------------------------------

const char* const MATCH_NAMES[] = {"found", "none", "ir_length", "no_idcode"};

// The chain scanned, and each TAP's match among the files.
struct ScannedChain {
    JtagHandle jtag;
    orvdev_chain chain{};
    std::vector<orvdev_bsdl_match> matches;
};

ScannedChain scan_and_match(const Context& ctx, const jtag::Options& options, const BsdlFiles& files)
{
    ScannedChain s;
    const orvdev_jtag_options o{options.tck_khz, options.direction, options.level};
    orvdev_jtag* jtag = nullptr;
    orvdev_report report{};
    check_device(orvdev_jtag_open(ctx.session, &o, &jtag, &report), report, ctx);
    s.jtag.reset(jtag);
    {
        SessionBars bars(ctx);
        check_device(orvdev_chain_scan(jtag, &s.chain, &report), report, ctx);
    }
    s.matches.resize(s.chain.count);
    check_device(
        orvdev_bsdl_match_chain(&s.chain, files.pointers().data(), files.count(), s.matches.data(), &report),
        report, ctx);
    return s;
}

const orvdev_bsdl* file_of(const ScannedChain& s, const BsdlFiles& files, std::uint32_t tap)
{
    const orvdev_bsdl_match& m = s.matches[tap];
    return m.status == ORVDEV_MATCH_FOUND ? files.files[static_cast<std::size_t>(m.file)] : nullptr;
}

// The device library's choice: --tap N, else the one TAP whose file has the
// pins named, else the one TAP with a file that has pins. `choice` receives
// it, with how the TAP and the files fit.
std::uint32_t choose_tap(const ScannedChain& s, const BsdlFiles& files, std::optional<std::uint32_t> asked,
                         const std::vector<std::string>& pins, orvdev_tap_choice& choice)
{
    std::vector<const char*> names;
    for (const std::string& p : pins) {
        names.push_back(p.c_str());
    }
    orvdev_report report{};
    const std::int32_t rc = orvdev_bsdl_choose_tap(
        &s.chain, files.pointers().data(), files.count(), asked ? static_cast<std::int32_t>(*asked) : -1,
        nullptr, names.data(), static_cast<std::uint32_t>(names.size()), &choice, &report);
    if (rc == 0) {
        return choice.tap;
    }
    std::string hint = report.hint;
    switch (choice.status) {
    case ORVDEV_TAP_NO_SUCH:
        hint = "TAP 0 is nearest TDO, as orvtool jtag scan numbers them";
        break;
    case ORVDEV_TAP_NO_FILE:
        hint = "give its BSDL file with --bsdl (orvtool jtag bsdl shows what matches)";
        break;
    case ORVDEV_TAP_NONE_FITS:
        hint = "give the devices' BSDL files with --bsdl (orvtool jtag bsdl shows what matches)";
        break;
    case ORVDEV_TAP_SEVERAL:
        hint = "choose one with --tap N";
        break;
    default:
        break;
    }
    usage_error(report.message, hint);
}

std::uint32_t choose_tap(const ScannedChain& s, const BsdlFiles& files, std::optional<std::uint32_t> asked,
                         const std::vector<std::string>& pins)
{
    orvdev_tap_choice choice{};
    return choose_tap(s, files, asked, pins, choice);
}

BscanHandle open_bscan(const Context& ctx, const ScannedChain& s, const BsdlFiles& files)
{
    std::vector<const orvdev_bsdl*> taps(s.chain.count);
    for (std::uint32_t t = 0; t < s.chain.count; ++t) {
        taps[t] = file_of(s, files, t);
    }
    orvdev_bscan* b = nullptr;
    orvdev_report report{};
    check_device(orvdev_bscan_open(s.jtag.get(), &s.chain, taps.data(), &b, &report), report, ctx);
    return BscanHandle(b);
}

// ---- pins -------------------------------------------------------------------

const char* const DIRECTIONS[] = {"in", "out", "inout", "out3"};

std::string value_text(const orvdev_bscan_pin& p)
{
    return p.value < 0 ? "-" : std::to_string(p.value);
}

std::string driven_text(const orvdev_bscan_pin& p)
{
    if (p.direction == ORVDEV_PIN_IN) {
        return "-";
    }
    return p.driven != 0 ? "yes" : "no";
}

// The pins to show: those named (in that order), else all.
std::vector<orvdev_bscan_pin> chosen_pins(const orvdev_bsdl* file, const std::vector<orvdev_bscan_pin>& all,
                                          const std::vector<std::string>& names)
{
    if (names.empty()) {
        return all;
    }
    std::vector<orvdev_bscan_pin> shown;
    for (const std::string& n : names) {
        std::uint32_t index = 0;
        orvdev_report report{};
        if (orvdev_bsdl_find_pin(file, n.c_str(), &index, &report) != 0) {
            usage_error(report.message);
        }
        shown.push_back(all.at(index));
    }
    return shown;
}

// A column of text only, beside the others.
struct ExtraColumn {
    Table::Column column;
    std::size_t at = 0; // its place among the columns
    std::vector<std::string> cells;
    std::string json_name = {}; // the rows' JSON member, when the column has one
    std::vector<Value> json = {};
};

Table pin_table(const std::vector<orvdev_bscan_pin>& pins, const std::optional<ExtraColumn>& extra = {})
{
    Table table{{{"PORT", 12, 1}, {"PIN", 4, 1}, {"DIR", 5, 2}, {"VALUE", 5, 1}, {"DRIVEN"}}, {}};
    if (extra) {
        table.columns.insert(table.columns.begin() + static_cast<std::ptrdiff_t>(extra->at), extra->column);
    }
    for (std::size_t i = 0; i < pins.size(); ++i) {
        const orvdev_bscan_pin& p = pins[i];
        Value::Members members{{"port", p.port},
                               {"pin", p.package_pin},
                               {"direction", DIRECTIONS[p.direction]},
                               {"value", p.value < 0 ? Value() : Value(p.value)},
                               {"driven", p.driven != 0}};
        if (extra && !extra->json_name.empty()) {
            members.emplace_back(extra->json_name, extra->json.at(i));
        }
        Value json = Value::object(std::move(members));
        std::vector<std::string> cells{p.port, p.package_pin, DIRECTIONS[p.direction], value_text(p),
                                       driven_text(p)};
        if (extra) {
            cells.insert(cells.begin() + static_cast<std::ptrdiff_t>(extra->at), extra->cells.at(i));
        }
        table.rows.push_back({std::move(json), std::move(cells)});
    }
    return table;
}

std::vector<orvdev_bscan_pin> sample(const Context& ctx, orvdev_bscan* b, std::uint32_t tap,
                                     std::uint32_t count)
{
    std::vector<orvdev_bscan_pin> pins(count);
    orvdev_report report{};
    check_device(orvdev_bscan_sample(b, tap, pins.data(), count, &report), report, ctx);
    return pins;
}

// ---- jtag pins --watch -------------------------------------------------------

constexpr auto WATCH_PERIOD = std::chrono::milliseconds(20); // 50 samples a second at most
constexpr auto MARK_FOR = std::chrono::milliseconds(500);    // long enough to see a pulse

using Clock = std::chrono::steady_clock;

bool same(const orvdev_bscan_pin& a, const orvdev_bscan_pin& b)
{
    return a.value == b.value && a.driven == b.driven;
}

// The size of the terminal on standard output: its window size, else
// COLUMNS and LINES, else 80 x 24.
std::pair<unsigned, unsigned> screen_size()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        return {size.ws_col, size.ws_row};
    }
    const auto from_env = [](const char* name, unsigned fallback) {
        const char* value = std::getenv(name);
        const unsigned long n = value != nullptr ? std::strtoul(value, nullptr, 10) : 0;
        return n > 0 && n < 10000 ? static_cast<unsigned>(n) : fallback;
    };
    return {from_env("COLUMNS", 80), from_env("LINES", 24)};
}

// Samples until Ctrl-C: on a terminal the table redrawn in place, a '*'
// beside a pin that changed in the last half second, every line within the
// terminal's width and the table cut to its height (a redraw that wraps or
// scrolls would leave copies of itself); elsewhere a line per change.
Result watch(const Context& ctx, orvdev_bscan* b, std::uint32_t tap, const orvdev_bsdl* file,
             const std::vector<std::string>& names)
{
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    // The file's name without its directories: a long path would wrap.
    const std::string heading = "TAP " + std::to_string(tap) + ": " + entity_of(file) + " (" +
                                fs::path(path_of(file)).filename().string() + "), SAMPLE";
    std::ostream& out = *ctx.data_out;
    const UntilInterrupted until;
    const auto started = Clock::now();
    std::vector<orvdev_bscan_pin> last;
    std::vector<Clock::time_point> changed;
    std::uint64_t samples = 0;
    std::size_t drawn_lines = 0;
    while (!UntilInterrupted::done()) {
        const auto at = Clock::now();
        const std::vector<orvdev_bscan_pin> now =
            chosen_pins(file, sample(ctx, b, tap, pin_count_of(file)), names);
        ++samples;
        changed.resize(now.size(), Clock::time_point{});
        for (std::size_t i = 0; i < now.size() && !last.empty(); ++i) {
            if (!same(now[i], last[i])) {
                changed[i] = at;
                if (!terminal) {
                    const double t = std::chrono::duration<double>(at - started).count();
                    char stamp[32];
                    std::snprintf(stamp, sizeof stamp, "%.3f s", t);
                    out << stamp << "  " << terminal_text(now[i].port) << "  " << value_text(last[i])
                        << " -> " << value_text(now[i])
                        << (now[i].driven != last[i].driven ? std::string(", driven ") + driven_text(now[i])
                                                            : "")
                        << "\n"
                        << std::flush;
                }
            }
        }
        if (terminal || last.empty()) {
            std::vector<std::string> marks;
            for (const auto& c : changed) {
                marks.push_back(c != Clock::time_point{} && at - c < MARK_FOR ? "*" : "");
            }
            Result r;
            r.line(heading + ", sample " + std::to_string(samples) + " (Ctrl-C to stop)");
            r.table("pins", pin_table(now, ExtraColumn{{"", 1, 1}, 0, marks}));
            std::ostringstream text;
            render(text, r, Style::text);
            std::vector<std::string> lines;
            if (terminal) {
                const auto [columns, rows] = screen_size();
                lines = fit_to_screen(text.str(), columns, rows, [](std::size_t more) {
                    return "... " + count_text(more, "more pin") + " (a taller window, or name them)";
                });
            } else {
                lines = fit_to_screen(text.str(), ~0U, ~0U, {});
            }
            if (drawn_lines != 0) {
                out << "\033[" << drawn_lines << "F"; // back to the first line drawn
            }
            for (const std::string& line : lines) {
                out << (terminal ? "\033[2K" : "") << line << "\n";
            }
            if (terminal && lines.size() < drawn_lines) {
                out << "\033[J"; // what a taller draw left below
            }
            out << std::flush;
            drawn_lines = lines.size();
        }
        last = now;
        std::this_thread::sleep_until(at + WATCH_PERIOD);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    char rate[64];
    std::snprintf(rate, sizeof rate, "%.1f a second",
                  seconds > 0 ? static_cast<double>(samples) / seconds : 0.0);
    *ctx.err << "orvtool: " << count_text(samples, "sample") << " in " << static_cast<long>(seconds * 1000)
             << " ms (" << rate << ")\n";
    return Result().shown();
}

// ---- the commands -------------------------------------------------------------

// jtag bsdl FILE|DIR...
Result cmd_bsdl(const Context& ctx, const jtag::Options& options, const BsdlFiles& files)
{
    ScannedChain s = scan_and_match(ctx, options, files);
    Result r;
    r.field("files", files.files.size());
    r.line("JTAG chain: " + count_text(s.chain.count, "device") + "; " +
           count_text(files.files.size(), "BSDL file") + " read (device 0 is nearest TDO)");
    Table table{{{"#", 3, 1}, {"IDCODE", 10, 2}, {"IR", 3, 1}, {"BSDL"}}, {}};
    std::string details;
    for (std::uint32_t t = 0; t < s.chain.count; ++t) {
        const orvdev_tap& tap = s.chain.taps[t];
        const orvdev_bsdl* file = file_of(s, files, t);
        Value::Members json{{"tap", t},
                            {"idcode", tap.has_idcode != 0 ? Value(tap.idcode) : Value()},
                            {"idcode_hex", tap.has_idcode != 0 ? Value(hex(tap.idcode, 8)) : Value()},
                            {"ir_length", tap.ir_length_known != 0 ? Value(tap.ir_length) : Value()},
                            {"match", MATCH_NAMES[s.matches[t].status]}};
        std::string what;
        if (file != nullptr) {
            orvdev_bsdl_info info{};
            orvdev_bsdl_get_info(file, &info);
            what = std::string(info.entity) + " (" + info.path + ")";
            Value::List instructions;
            std::string names;
            int32_t is_private = 0;
            for (std::uint32_t i = 0; const char* name = orvdev_bsdl_instruction(file, i, &is_private); ++i) {
                instructions.emplace_back(name);
                names += (i == 0 ? "" : ", ") + std::string(name) + (is_private != 0 ? " (private)" : "");
            }
            Value::List notices;
            std::string notice_lines;
            orvdev_bsdl_notice n{};
            for (std::uint32_t i = 0; orvdev_bsdl_get_notice(file, i, &n) == 0; ++i) {
                notices.push_back(Value::object({{"line", n.line}, {"column", n.column}, {"text", n.text}}));
                notice_lines += "  line " + std::to_string(n.line) + ":" + std::to_string(n.column) + ": " +
                                n.text + "\n";
            }
            json.emplace_back("file", info.path);
            json.emplace_back("entity", info.entity);
            json.emplace_back("boundary_length", info.boundary_length);
            json.emplace_back("instructions", Value::list(std::move(instructions)));
            json.emplace_back("notices", Value::list(std::move(notices)));
            details += "TAP " + std::to_string(t) + " (" + info.entity + ", " +
                       count_text(info.boundary_length, "boundary cell") + "): " + names + "\n" +
                       notice_lines;
        } else {
            orvdev_tap_choice choice{};
            orvdev_bsdl_choose_tap(&s.chain, files.pointers().data(), files.count(),
                                   static_cast<std::int32_t>(t), nullptr, nullptr, 0, &choice, nullptr);
            what = choice.why;
            const auto& m = s.matches[t];
            json.emplace_back("file", m.file >= 0
                                          ? Value(path_of(files.files[static_cast<std::size_t>(m.file)]))
                                          : Value());
        }
        table.rows.push_back({Value::object(std::move(json)),
                              {std::to_string(t), tap.has_idcode != 0 ? hex(tap.idcode, 8) : "-",
                               tap.ir_length_known != 0 ? std::to_string(tap.ir_length) : "?", what}});
    }
    r.table("taps", std::move(table));
    return r.text(details);
}

struct PinsArgs {
    std::vector<std::string> bsdl;
    std::optional<std::uint32_t> tap;
    std::vector<std::string> pins;
    bool watch = false;
};

std::string tap_heading(std::uint32_t tap, const orvdev_bsdl* file)
{
    return "TAP " + std::to_string(tap) + ": " + entity_of(file) + " (" + path_of(file) + ")";
}

// jtag pins [--tap N] [PIN...] [--watch]
Result cmd_pins(const Context& ctx, const jtag::Options& options, const BsdlFiles& files,
                const PinsArgs& args)
{
    ScannedChain s = scan_and_match(ctx, options, files);
    const std::uint32_t tap = choose_tap(s, files, args.tap, args.pins);
    const orvdev_bsdl* file = file_of(s, files, tap);
    BscanHandle b = open_bscan(ctx, s, files);
    const std::string heading = tap_heading(tap, file) + ", SAMPLE";
    if (args.watch) {
        return watch(ctx, b.get(), tap, file, args.pins);
    }
    const auto pins = chosen_pins(file, sample(ctx, b.get(), tap, pin_count_of(file)), args.pins);
    Result r;
    r.field("tap", tap).field("entity", entity_of(file));
    r.line(heading + " of " + count_text(pins.size(), "pin"));
    return r.table("pins", pin_table(pins));
}

struct SetArgs {
    std::vector<std::string> bsdl;
    std::optional<std::uint32_t> tap;
    std::vector<std::string> settings; // PIN=0|1|z
    bool hold = false;
};

struct Setting {
    std::string pin;
    std::int32_t level = ORVDEV_LEVEL_LOW;
};

std::vector<Setting> parse_settings(const std::vector<std::string>& given)
{
    std::vector<Setting> settings;
    for (const std::string& g : given) {
        const auto eq = g.rfind('=');
        const std::string value = eq == std::string::npos ? "" : g.substr(eq + 1);
        if (eq == std::string::npos || eq == 0 ||
            (value != "0" && value != "1" && value != "z" && value != "Z")) {
            usage_error("bad setting '" + g + "'", "give PIN=0, PIN=1 or PIN=z (let go), such as PA8=1");
        }
        settings.push_back(Setting{g.substr(0, eq), value == "0"   ? ORVDEV_LEVEL_LOW
                                                    : value == "1" ? ORVDEV_LEVEL_HIGH
                                                                   : ORVDEV_LEVEL_Z});
    }
    return settings;
}

// jtag set PIN=0|1|z ... [--tap N] [--hold]
Result cmd_set(const Context& ctx, const jtag::Options& options, const BsdlFiles& files, const SetArgs& args,
               const std::vector<Setting>& settings)
{
    std::vector<std::string> names;
    for (const Setting& s : settings) {
        names.push_back(s.pin);
    }
    ScannedChain s = scan_and_match(ctx, options, files);
    const std::uint32_t tap = choose_tap(s, files, args.tap, names);
    const orvdev_bsdl* file = file_of(s, files, tap);
    BscanHandle b = open_bscan(ctx, s, files);
    std::vector<orvdev_pin_setting> wanted;
    for (const Setting& setting : settings) {
        wanted.push_back({setting.pin.c_str(), setting.level});
    }
    // Ctrl-C from the moment the pins are driven releases them.
    std::optional<UntilInterrupted> until;
    if (args.hold) {
        until.emplace();
    }
    std::vector<orvdev_bscan_pin> all(pin_count_of(file));
    orvdev_report report{};
    check_device(orvdev_bscan_drive(b.get(), tap, wanted.data(), static_cast<std::uint32_t>(wanted.size()),
                                    args.hold ? 1 : 0, all.data(), static_cast<std::uint32_t>(all.size()),
                                    &report),
                 report, ctx);
    std::vector<std::string> set;
    std::vector<Value> set_json; // 0, 1, or "z" for released
    for (const Setting& setting : settings) {
        set.push_back(setting.level == ORVDEV_LEVEL_Z ? "z" : std::to_string(setting.level));
        set_json.push_back(setting.level == ORVDEV_LEVEL_Z ? Value("z") : Value(setting.level));
    }
    Result r;
    r.field("tap", tap).field("entity", entity_of(file)).field("hold", args.hold);
    r.line(tap_heading(tap, file) + ", EXTEST: the pins as driven (every other pin at its safe value)");
    r.table("pins",
            pin_table(chosen_pins(file, all, names), ExtraColumn{{"SET", 3, 1}, 3, set, "set", set_json}));
    if (!args.hold) {
        return r.line("back to its normal function (Test-Logic-Reset)");
    }
    render(*ctx.data_out, r, ctx.json ? Style::json : Style::text);
    *ctx.data_out << std::flush;
    *ctx.err << "orvtool: holding EXTEST on TAP " << tap
             << "; Ctrl-C returns the device to its normal function\n";
    while (!UntilInterrupted::done()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    check_device(orvdev_bscan_release(b.get(), &report), report, ctx);
    *ctx.err << "orvtool: TAP " << tap << " back to its normal function (Test-Logic-Reset)\n";
    return Result().shown();
}

struct ConnectArgs {
    std::vector<std::string> bsdl;
    std::string netlist;
};

const char* const BEHAVIOURS[] = {"and", "or", "unknown"};

std::string joined(const orvdev_connect_short& s)
{
    std::string text;
    for (std::uint32_t i = 0; i < s.net_count; ++i) {
        text += (i == 0 ? "" : i + 1 == s.net_count ? " and " : ", ") + std::string(s.nets[i]);
    }
    return text;
}

// jtag connect-test --netlist FILE
Result cmd_connect_test(const Context& ctx, const jtag::Options& options, const orvdev_netlist* netlist,
                        const std::string& name)
{
    const BsdlFiles none;
    ScannedChain s = scan_and_match(ctx, options, none);
    std::vector<const orvdev_bsdl*> taps(s.chain.count);
    orvdev_report report{};
    check_device(orvdev_netlist_taps(netlist, &s.chain, taps.data(), &report), report, ctx);
    orvdev_bscan* opened = nullptr;
    check_device(orvdev_bscan_open(s.jtag.get(), &s.chain, taps.data(), &opened, &report), report, ctx);
    BscanHandle b(opened);
    orvdev_connect_result* raw = nullptr;
    {
        SessionBars bars(ctx);
        check_device(orvdev_connect_test(b.get(), netlist, &raw, &report), report, ctx);
    }
    const ConnectResultHandle result(raw);
    const orvdev_connect_result& c = *result;

    Value::List opens, shorts, stuck, untested;
    std::string text;
    for (std::uint32_t i = 0; i < c.open_count; ++i) {
        const orvdev_connect_open& o = c.opens[i];
        opens.push_back(Value::object({{"net", o.net}, {"pin", o.pin}, {"or_pin", o.or_pin}}));
        text += std::string("open:  ") +
                (o.or_pin != nullptr ? std::string("net ") + o.net + " is open at " + o.pin +
                                           ", its driver, or at " + o.or_pin + ", its one receiver"
                                     : std::string(o.pin) + " does not follow the driver of net " + o.net) +
                "\n";
    }
    for (std::uint32_t i = 0; i < c.short_count; ++i) {
        const orvdev_connect_short& sh = c.shorts[i];
        Value::List nets;
        for (std::uint32_t k = 0; k < sh.net_count; ++k) {
            nets.emplace_back(sh.nets[k]);
        }
        shorts.push_back(Value::object(
            {{"nets", Value::list(std::move(nets))}, {"behaves_as", BEHAVIOURS[sh.behaves_as]}}));
        text += "short: nets " + joined(sh) + " read each other's codes" +
                (sh.behaves_as == ORVDEV_SHORT_UNKNOWN
                     ? std::string(" (neither as a wired-AND nor as a wired-OR)")
                     : std::string(", as a wired-") + (sh.behaves_as == ORVDEV_SHORT_AND ? "AND" : "OR")) +
                "\n";
    }
    for (std::uint32_t i = 0; i < c.stuck_count; ++i) {
        stuck.push_back(Value::object({{"net", c.stuck[i].net}, {"value", c.stuck[i].value}}));
        text += std::string("stuck: net ") + c.stuck[i].net + " is stuck at " +
                std::to_string(c.stuck[i].value) + "\n";
    }
    for (std::uint32_t i = 0; i < c.untested_count; ++i) {
        untested.push_back(Value::object({{"net", c.untested[i].net}, {"why", c.untested[i].why}}));
        text += std::string(i == 0 ? "not tested:\n" : "") + "  " + c.untested[i].net + ": " +
                c.untested[i].why + "\n";
    }
    Result r;
    r.field("passed", c.passed != 0)
        .field("patterns", c.patterns)
        .field("nets_tested", c.nets_tested)
        .field("opens", Value::list(std::move(opens)))
        .field("shorts", Value::list(std::move(shorts)))
        .field("stuck", Value::list(std::move(stuck)))
        .field("untested", Value::list(std::move(untested)));
    r.line("interconnect test of " + name + ": " + count_text(c.nets_tested, "net") + " tested with " +
           count_text(c.patterns, "pattern") + " (" + count_text(c.scans, "DR scan") + ", " +
           count_text(c.out_transfers, "OUT transfer") + ", " +
           count_text(c.readback_exchanges, "read-back exchange") + ")");
    const std::uint32_t faults = c.open_count + c.short_count + c.stuck_count;
    const bool nothing = c.nets_tested == 0;
    r.line(c.passed != 0 ? "passed: no open, short or stuck net"
           : nothing
               ? "NOT TESTED: no net has a pin to drive it and another to read it"
               : "FAILED: " + count_text(c.open_count, "open") + ", " + count_text(c.short_count, "short") +
                     ", " + count_text(c.stuck_count, "stuck net"));
    r.text(text);
    if (nothing) {
        r.finding("nothing was tested: the netlist has no net the test can drive and read");
    } else if (c.passed == 0) {
        r.finding("the board failed the interconnect test: " + count_text(faults, "fault") + " found");
    }
    return r;
}

} // namespace

void register_boundary_scan(CLI::App* jtag, Chosen& chosen, std::function<jtag::Options()> group_options)
{
    const auto add_bsdl_option = [](CLI::App* command, std::vector<std::string>& into) {
        command
            ->add_option(
                "--bsdl", into,
                "a BSDL file, or a directory of them (*.bsd, *.bsdl); repeatable; ORV_BSDL_PATH adds more")
            ->type_name("FILE|DIR")
            ->allow_extra_args(false); // one value each time, the rest are pins
    };
    const auto add_tap_option = [](CLI::App* command, std::optional<std::uint32_t>& into) {
        command
            ->add_option("--tap", into,
                         "the TAP (0 is nearest TDO); by default the one whose file has the pins")
            ->type_name("N");
    };

    auto bsdl_files = std::make_shared<std::vector<std::string>>();
    auto* bsdl =
        jtag->add_subcommand("bsdl", "name the BSDL file of each TAP (IDCODE and instruction length)");
    bsdl->add_option("FILE|DIR", *bsdl_files,
                     "BSDL files, or directories of them (*.bsd, *.bsdl); ORV_BSDL_PATH adds more")
        ->option_text("[FILE|DIR...]");
    on_chosen(bsdl, chosen, [group_options, bsdl_files] {
        const jtag::Options options = group_options();
        auto files = files_for_command(*bsdl_files);
        return Action([options, files](const Context& ctx) { return cmd_bsdl(ctx, options, *files); });
    });

    auto pins_args = std::make_shared<PinsArgs>();
    auto* pins = jtag->add_subcommand("pins", "sample a device's pins (SAMPLE): direction, level, driven");
    pins->add_option("PIN", pins_args->pins, "only these pins, in this order")->option_text("[PIN...]");
    add_tap_option(pins, pins_args->tap);
    add_bsdl_option(pins, pins_args->bsdl);
    pins->add_flag(
        "--watch", pins_args->watch,
        "sample again and again until Ctrl-C: on a terminal redrawn in place, changed pins marked");
    on_chosen(pins, chosen, [group_options, pins_args] {
        const jtag::Options options = group_options();
        auto files = files_for_command(pins_args->bsdl);
        check_pin_names(*files, pins_args->pins);
        const PinsArgs args = *pins_args;
        return Action([options, files, args](const Context& ctx) {
            if (args.watch && ctx.json) {
                usage_error("--watch draws on a terminal: it does not go with --json");
            }
            return cmd_pins(ctx, options, *files, args);
        });
    });

    auto set_args = std::make_shared<SetArgs>();
    auto* set = jtag->add_subcommand(
        "set",
        "drive pins: PRELOAD (the other cells at their safe values), then EXTEST; then Test-Logic-Reset");
    set->add_option("PIN=0|1|z", set_args->settings, "a pin and its level; z lets it go")->required();
    add_tap_option(set, set_args->tap);
    add_bsdl_option(set, set_args->bsdl);
    set->add_flag("--hold", set_args->hold,
                  "keep EXTEST until Ctrl-C (without, the device returns to its normal function at once)");
    on_chosen(set, chosen, [group_options, set_args] {
        const jtag::Options options = group_options();
        const auto settings = parse_settings(set_args->settings);
        auto files = files_for_command(set_args->bsdl);
        std::vector<std::string> names;
        std::vector<std::int32_t> levels;
        for (const Setting& s : settings) {
            names.push_back(s.pin);
            levels.push_back(s.level);
        }
        check_pin_names(*files, names, levels);
        const SetArgs args = *set_args;
        return Action([options, files, args, settings](const Context& ctx) {
            return cmd_set(ctx, options, *files, args, settings);
        });
    });

    auto connect_args = std::make_shared<ConnectArgs>();
    auto* connect = jtag->add_subcommand(
        "connect-test",
        "interconnect test of a netlist: names opens, shorts and stuck nets (exit 1 when found)");
    connect
        ->add_option("--netlist", connect_args->netlist, "the netlist (JSON, see orvtool(1), NETLIST FILES)")
        ->required()
        ->type_name("FILE");
    add_bsdl_option(connect, connect_args->bsdl);
    on_chosen(connect, chosen, [group_options, connect_args, jtag] {
        const jtag::Options options = group_options();
        // Files named by IDCODE only are found among --bsdl and ORV_BSDL_PATH.
        auto files = read_files(connect_args->bsdl, true);
        const auto& pointers = files->pointers();
        // A directory opens like a file and fails only when read.
        if (std::error_code error; fs::is_directory(connect_args->netlist, error)) {
            usage_error(connect_args->netlist + " is a directory",
                        "give the netlist file (JSON, see NETLIST FILES in orvtool(1)); nothing was sent");
        }
        // --allow-outside-images lets a netlist's BSDL files lie anywhere, as
        // it lets a board file's images.
        const CLI::Option* anywhere = jtag->get_parent()->get_option_no_throw("--allow-outside-images");
        const bool bsdl_anywhere = anywhere != nullptr && anywhere->count() > 0;
        orvdev_netlist* loaded = nullptr;
        orvdev_report report{};
        if (orvdev_netlist_load_flags(
                connect_args->netlist.c_str(), pointers.data(), static_cast<std::uint32_t>(pointers.size()),
                bsdl_anywhere ? ORVDEV_NETLIST_BSDL_ANYWHERE : 0, &loaded, nullptr, &report) != 0) {
            const bool outside =
                std::string_view(report.message).find("in the netlist's directory or below") !=
                std::string_view::npos;
            usage_error(
                std::string("bad netlist: ") + report.message,
                std::string(outside ? "--allow-outside-images lets its BSDL files lie anywhere; " : "") +
                    "the netlist is checked whole before the adapter is opened: nothing was sent");
        }
        auto netlist = std::shared_ptr<orvdev_netlist>(loaded, DeviceCloser{});
        stop_if_interrupted("the netlist");
        const std::string name = connect_args->netlist;
        return Action([options, netlist, files, name](const Context& ctx) {
            return cmd_connect_test(ctx, options, netlist.get(), name);
        });
    });
}

ViaBscan parse_via_bscan(const std::string& pins_value, const std::vector<std::string>& roles)
{
    std::string wanted;
    for (const std::string& r : roles) {
        wanted += (wanted.empty() ? "" : ",") + r + "=PORT";
    }
    const std::string form = "give --via-bscan TAP:" + wanted + " (TAP an index from 0 or the BSDL entity)";
    const auto colon = pins_value.find(':');
    if (colon == std::string::npos || colon == 0) {
        usage_error("--via-bscan " + pins_value + ": no TAP before ':'", form);
    }
    ViaBscan via;
    via.tap = pins_value.substr(0, colon);
    std::map<std::string, std::string> given;
    std::stringstream rest(pins_value.substr(colon + 1));
    for (std::string item; std::getline(rest, item, ',');) {
        const auto eq = item.find('=');
        const std::string role = item.substr(0, eq);
        if (eq == std::string::npos || eq + 1 == item.size() ||
            std::find(roles.begin(), roles.end(), role) == roles.end()) {
            usage_error("--via-bscan " + pins_value + ": '" + item + "' is not ROLE=PORT with a role of " +
                            wanted,
                        form);
        }
        if (!given.emplace(role, item.substr(eq + 1)).second) {
            usage_error("--via-bscan " + pins_value + ": " + role + " given twice", form);
        }
    }
    for (const std::string& r : roles) {
        const auto it = given.find(r);
        if (it == given.end()) {
            usage_error("--via-bscan " + pins_value + ": no pin for " + r, form);
        }
        via.pins.emplace_back(r, it->second);
    }
    return via;
}

PinBusChain open_pin_bus_chain(const Context& ctx, const ViaBscan& via, const std::vector<std::string>& bsdl,
                               std::uint32_t tck_khz)
{
    auto files = files_for_command(bsdl);
    std::vector<std::string> ports;
    for (const auto& [role, port] : via.pins) {
        ports.push_back(port);
    }
    check_pin_names(*files, ports);
    std::optional<std::uint32_t> index;
    std::string entity;
    if (!via.tap.empty() &&
        std::all_of(via.tap.begin(), via.tap.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        index = static_cast<std::uint32_t>(std::stoul(via.tap));
    } else {
        entity = via.tap;
    }
    jtag::Options options;
    options.tck_khz = tck_khz;
    auto scanned = std::make_shared<ScannedChain>(scan_and_match(ctx, options, *files));
    std::uint32_t tap = 0;
    if (index) {
        tap = choose_tap(*scanned, *files, index, ports);
    } else {
        std::vector<const char*> names;
        for (const std::string& p : ports) {
            names.push_back(p.c_str());
        }
        orvdev_tap_choice choice{};
        orvdev_report report{};
        if (orvdev_bsdl_choose_tap(&scanned->chain, files->pointers().data(), files->count(), -1,
                                   entity.c_str(), names.data(), static_cast<std::uint32_t>(names.size()),
                                   &choice, &report) != 0) {
            usage_error(report.message, "give the TAP by its index (orvtool jtag bsdl lists them)");
        }
        tap = choice.tap;
    }
    PinBusChain chain;
    chain.bscan = open_bscan(ctx, *scanned, *files);
    chain.tap = tap;
    chain.keep = std::make_shared<std::pair<std::shared_ptr<BsdlFiles>, std::shared_ptr<ScannedChain>>>(
        files, scanned);
    return chain;
}

} // namespace orvtool
