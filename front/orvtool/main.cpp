// orvtool: JTAG, SPI flash and I2C from the command line through the ORV USB
// bridge adapter, or through the virtual adapter with --sim. The command
// groups register their own commands (command.hpp); this file has the global
// options, opens the adapter once every argument is checked, renders the
// result and turns failures into messages and exit statuses.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <optional>
#include <regex>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/orvtool/adapter_open.hpp"
#include "front/orvtool/bsdl_command.hpp"
#include "front/orvtool/clean_stdout.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/each.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/interrupt.hpp"
#include "front/orvtool/render.hpp"
#include "front/orvtool/trace_option.hpp"

#ifndef ORVTOOL_VERSION
#define ORVTOOL_VERSION "unknown"
#endif

namespace {

using namespace orvtool;

struct GlobalArgs {
    std::vector<std::string> usb; // repeated only with --each
    bool each = false;
    bool sim = false;
    std::string board;
    bool images_anywhere = false;
    std::string sim_fault;
    bool json = false;
    std::string timeout = "1000";
    std::string trace;
};

// The message, the library's detail, the hint and what had been done on
// stderr; with --json also one error object on stdout.
void print_error(const ToolError& e, bool json, const Result* details = nullptr)
{
    render_error(std::cerr, std::cout, e, json ? Style::json : Style::text, details);
}

// --json anywhere on the command line, for errors found before the command
// line could be parsed.
bool json_asked(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--") {
            break;
        }
        if (std::string_view(argv[i]) == "--json") {
            return true;
        }
    }
    return false;
}

// The option named by `token` ("--usb", "--usb=x", "-o"), looked up in `app`
// and the groups above it; null when none of them has it.
const CLI::Option* option_named(const CLI::App* app, std::string_view token)
{
    std::string name(token.substr(0, token.find('=')));
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* opt = app->get_option_no_throw(name)) {
            return opt;
        }
    }
    return nullptr;
}

// Whether the option named by `token` takes the next word as its value.
bool takes_value(const CLI::App* app, std::string_view token)
{
    const CLI::Option* opt = option_named(app, token);
    return opt != nullptr && opt->get_items_expected_max() > 0 && token.find('=') == std::string_view::npos;
}

std::vector<CLI::App*> commands_of(CLI::App* app)
{
    return app->get_subcommands(std::function<bool(CLI::App*)>{});
}

CLI::App* command_named(CLI::App* app, std::string_view name)
{
    for (CLI::App* sub : commands_of(app)) {
        if (sub->get_name() == name) {
            return sub;
        }
    }
    return nullptr;
}

// Walks the command line the way the groups nest and names the first word
// that should have been a command and is not one, or, with `options`, the
// first option that neither the command it follows nor the groups above know
// (a global option after the command is known: it falls through); empty
// when there is none.
std::optional<ToolError> unknown_word(CLI::App& app, int argc, char** argv, bool options)
{
    CLI::App* at = &app;
    std::string path = "orvtool";
    for (int i = 1; i < argc; ++i) {
        std::string_view token = argv[i];
        if (token == "--") {
            break;
        }
        const bool negative_number = token.size() > 1 && token[1] >= '0' && token[1] <= '9';
        if (token.size() > 1 && token[0] == '-' && !negative_number) {
            if (options && option_named(at, token) == nullptr) {
                return ToolError(Exit::usage,
                                 "unknown option '" + std::string(token.substr(0, token.find('='))) + "'" +
                                     (at == &app ? "" : " for " + path),
                                 "see " + path + " --help for its options" +
                                     (at == &app ? "" : ", orvtool --help for the global ones"));
            }
            i += takes_value(at, token) ? 1 : 0;
            continue;
        }
        if (commands_of(at).empty()) {
            break; // a command's own arguments
        }
        CLI::App* next = command_named(at, token);
        if (next == nullptr) {
            std::string names;
            for (const CLI::App* sub : commands_of(at)) {
                names += (names.empty() ? "" : ", ") + sub->get_name();
            }
            return ToolError(Exit::usage,
                             "unknown command '" + std::string(token) + "'" +
                                 (at == &app ? "" : " in " + path),
                             "the commands of " + path + " are " + names + " (see " + path + " --help)");
        }
        at = next;
        path += " " + next->get_name();
    }
    return std::nullopt;
}

std::string command_names(const CLI::App* app)
{
    std::string names;
    const auto commands = commands_of(const_cast<CLI::App*>(app));
    for (std::size_t i = 0; i < commands.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == commands.size() ? " or " : ", ") + commands[i]->get_name();
    }
    return names;
}

// Whether `text` matches `pattern`; its groups in `parts`.
bool matches(const std::string& text, const char* pattern, std::smatch& parts)
{
    return std::regex_match(text, parts, std::regex(pattern));
}

// CLI11's text for a failure, in orvtool's words: what is wrong with which
// argument, in lower case, without the library's phrasing.
std::string in_our_words(const CLI::ParseError& e, const CLI::App* reached, const std::string& path)
{
    const std::string text = e.what();
    std::smatch m;
    if (text == "A subcommand is required" || matches(text, "Requires at least \\d+ subcommands", m)) {
        return path + " needs a command: " + command_names(reached);
    }
    if (matches(text, "(.*): At Most (\\d+) required but received (\\d+)", m)) {
        return "too many values for " + m[1].str() + ": at most " + m[2].str() + ", got " + m[3].str();
    }
    if (matches(text, "(.*): At least (\\d+) required but received (\\d+)", m)) {
        return "too few values for " + m[1].str() + ": at least " + m[2].str() + ", got " + m[3].str();
    }
    if (matches(text, "(.*): (\\d+) required (.*) missing", m)) {
        return m[1].str() + " needs " + m[2].str() + (m[2].str() == "1" ? " value" : " values");
    }
    if (matches(text, "Expected exactly (\\d+) arguments to (.*), got (\\d+)", m)) {
        return m[2].str() + " takes " + m[1].str() + (m[1].str() == "1" ? " value" : " values") + ", got " +
               m[3].str();
    }
    if (matches(text, "Expected at least (\\d+) arguments to (.*), got (\\d+)", m)) {
        return m[2].str() + " takes at least " + m[1].str() + (m[1].str() == "1" ? " value" : " values") +
               ", got " + m[3].str();
    }
    if (matches(text, "The following arguments? (?:was|were) not expected: (.*)", m)) {
        return "too many arguments for " + path + " (" + m[1].str() + " left over)";
    }
    if (matches(text, "(.*) excludes (.*)", m)) {
        return m[1].str() + " and " + m[2].str() + " cannot go together";
    }
    if (matches(text, "(.*) requires (.*)", m)) {
        return m[1].str() + " needs " + m[2].str();
    }
    if (matches(text, "Could not convert: (.*) = (.*)", m)) {
        return "bad value '" + m[2].str() + "' for " + m[1].str();
    }
    if (matches(text, "(.*) is required", m)) {
        return m[1].str() + " is required";
    }
    return text;
}

// A command line error as orvtool reports every error.
ToolError parse_failure(CLI::App& app, const CLI::ParseError& e, int argc, char** argv)
{
    if (auto unknown = unknown_word(app, argc, argv, dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr)) {
        return *unknown;
    }
    // The innermost command the line reached, for the hint.
    std::string path = "orvtool";
    const CLI::App* reached = &app;
    for (;;) {
        auto chosen = reached->get_subcommands();
        if (chosen.empty()) {
            break;
        }
        reached = chosen.front();
        path += " " + reached->get_name();
    }
    // Two global options that do not go together concern orvtool's own help,
    // whichever command follows them.
    const std::string first_word = std::string(e.what()).substr(0, std::string(e.what()).find(' '));
    const bool between_options = dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr ||
                                 dynamic_cast<const CLI::RequiresError*>(&e) != nullptr;
    const std::string help =
        between_options && app.get_option_no_throw(first_word) != nullptr ? "orvtool" : path;
    return ToolError(Exit::usage, in_our_words(e, reached, path), "see " + help + " --help");
}

// An empty value ("-o ''", "--board ''", an unset shell variable) is
// refused for every option and argument: none of them means anything empty,
// and taking the default instead would do what was not asked.
void refuse_empty_values(const CLI::App* app, const std::string& path)
{
    for (const CLI::Option* opt : app->get_options()) {
        if (opt->count() == 0 || opt->get_items_expected_max() == 0) {
            continue;
        }
        for (const std::string& value : opt->results()) {
            if (!value.empty()) {
                continue;
            }
            const bool positional = opt->get_positional();
            const std::string name = opt->get_name(positional);
            usage_error("empty " + (positional ? name : "value for " + name) +
                            (app->get_parent() == nullptr ? "" : " of " + path),
                        positional ? "give " + name + " (see " + path + " --help)"
                                   : "give a value, or leave " + name + " out (see " + path + " --help)");
        }
    }
    for (const CLI::App* sub : app->get_subcommands()) {
        refuse_empty_values(sub, path + " " + sub->get_name());
    }
}

unsigned terminal_columns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    const char* columns = std::getenv("COLUMNS");
    return columns != nullptr ? static_cast<unsigned>(std::strtoul(columns, nullptr, 10)) : 0;
}

// The trace's $comment lines: what it shows, the board or adapter, and the
// command line.
std::vector<std::string> trace_comments(const GlobalArgs& a, SessionTrace::Kind kind, int argc, char** argv)
{
    std::vector<std::string> comments;
    const std::string board = trace_board(a.board);
    if (kind == SessionTrace::Kind::board) {
        comments.push_back("the virtual board's connectors as its parts see them");
        comments.push_back(board);
    } else {
        comments.push_back(
            "reconstructed on the host from the command stream sent to the adapter and the bits "
            "it read back: inputs that were not sampled are unknown (x)");
        comments.push_back(a.sim ? (Adapter::sim_runs_here()
                                        ? "adapter: orvtool's virtual adapter, " + board
                                        : std::string("adapter: orvsim-run's virtual adapter"))
                                 : "adapter: " + (a.usb.empty() ? std::string("the one on the USB buses")
                                                                : "--usb " + a.usb.front()));
    }
    comments.push_back(trace_command(argc, argv));
    return comments;
}

std::unique_ptr<Adapter> open_adapter(const GlobalArgs& a, int argc, char** argv, bool needs_adapter)
{
    if (a.sim) {
        return Adapter::open_sim(argc, argv, SimOptions{a.board, a.sim_fault, a.images_anywhere},
                                 needs_adapter);
    }
    if (!needs_adapter) {
        return nullptr;
    }
    if (a.usb.empty()) {
        return Adapter::open_only_one();
    }
    return Adapter::open_usb(usb_selector(a.usb.front()));
}

} // namespace

// The exit status of a command that a signal stopped: 128 + its number, as
// shells report it.
int status_after(int signal, Exit exit)
{
    return signal != 0 ? 128 + signal : static_cast<int>(exit);
}

int main(int argc, char** argv)
{
    CLI::App app{"orvtool: JTAG, SPI flash and I2C through the ORV USB bridge adapter"};
    app.formatter(help_formatter());
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", "orvtool " ORVTOOL_VERSION);
    app.footer("Numbers are decimal, 0x... hex or 0b... binary; sizes and offsets also take k, M and G "
               "(binary: 4k = 4096, 16M = 16 MiB). Exit status: 0 ok, 1 operation failed, 2 bad arguments, 3 "
               "adapter not "
               "available. See orvtool(1).");
    GlobalArgs a;

    auto* usb = app.add_option("--usb", a.usb,
                               "open the adapter with this serial number, or this USB id, VID:PID[:BUS:ADDR] "
                               "(hex, as lsusb shows it); without --usb and --sim, the one adapter orvtool "
                               "list shows")
                    ->type_name("SERIAL|VID:PID")
                    ->expected(1)
                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto* each = app.add_flag("--each", a.each,
                              "run the command on every adapter orvtool list shows (or each --usb names), "
                              "all at once");
    auto* sim =
        app.add_flag("--sim", a.sim, "use the virtual adapter (umockdev), or orvsim-run's when under it");
    usb->excludes(sim);
    each->excludes(sim);
    app.add_option("--board", a.board,
                   "the virtual adapter's board: a board file or an installed board's name")
        ->type_name("FILE")
        ->needs(sim);
    app.add_flag("--allow-outside-images", a.images_anywhere,
                 "let the board file's images, and a netlist's BSDL files, lie outside its directory");
    app.add_option("--sim-fault", a.sim_fault, "make the virtual adapter fail: KIND[:EP[:AFTER[:COUNT]]]")
        ->type_name("FAULT")
        ->needs(sim);
    app.add_flag("--json", a.json, "print results, and errors, as one JSON object");
    app.add_option("--trace", a.trace,
                   "record the session's waveform on the adapter's connectors in a VCD file (PulseView, "
                   "GTKWave, sigrok-cli)")
        ->type_name("FILE")
        ->excludes(each);
    app.add_option(
           "--timeout", a.timeout,
           "USB timeout per transfer in milliseconds, 1 to 600000 (default 1000; I2C uses at most 31)")
        ->type_name("MS");

    Chosen chosen;
    register_jtag(app, chosen);
    register_spi(app, chosen);
    register_i2c(app, chosen);
    register_serve(app, chosen);
    register_bsdl(app, chosen);
    register_list(app, chosen, a.usb);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        ToolError error = parse_failure(app, e, argc, argv);
        print_error(error, json_asked(argc, argv));
        return static_cast<int>(error.exit());
    }

    install_interrupt_handlers();
    Context ctx;
    // Outlives the session, and the error report, which may purge its read-back.
    std::unique_ptr<Adapter> adapter;
    std::unique_ptr<SessionTrace> trace; // records that purge too, and stops before the adapter closes
    SessionHandle session;
    try {
        refuse_empty_values(&app, "orvtool");
        ctx.err = &std::cerr;
        ctx.data_out = &std::cout;
        ctx.progress = !a.json && isatty(STDERR_FILENO) == 1;
        ctx.json = a.json;
        ctx.columns = terminal_columns();
        ctx.timeout_ms = timeout_arg(a.timeout);
        if (a.each) {
            return run_each(app, chosen,
                            EachOptions{a.usb, a.json, ctx.timeout_ms, ctx.progress, ctx.columns});
        }
        if (a.usb.size() > 1) {
            usage_error("--usb is given " + std::to_string(a.usb.size()) + " times",
                        "give it once, or add --each to run on each adapter it names");
        }

        // Every argument is checked before the adapter is touched.
        Action action = chosen.check();
        if (!a.trace.empty() && chosen.needs_adapter) {
            const auto kind = SessionTrace::kind_for(a.sim && Adapter::sim_runs_here());
            trace = SessionTrace::create(a.trace, kind, trace_comments(a, kind, argc, argv));
        } else if (!a.trace.empty()) {
            std::cerr << "orvtool: --trace: this command uses no adapter, so there is nothing to trace\n";
        }
        adapter = open_adapter(a, argc, argv, chosen.needs_adapter);
        // After the adapter is open: --sim may have re-executed orvtool
        // under umockdev's preload, which must inherit the real stdout.
        keep_stdout_for_results();
        if (adapter && chosen.needs_adapter) {
            ctx.handle = adapter->handle();
            ctx.sim = a.sim;
            session = open_session(ctx.handle, ctx.timeout_ms, adapter->serial());
            ctx.session = session.get();
            // serve opens the same adapter again when it comes back after it
            // was unplugged: a new handle, and a new session on it.
            ctx.reopen = [&adapter, &ctx, &session] {
                session.reset();
                ctx.session = nullptr;
                ctx.handle = nullptr; // the old one is closed first
                adapter->reopen();
                ctx.handle = adapter->handle();
                session = open_session(ctx.handle, ctx.timeout_ms, adapter->serial());
                ctx.session = session.get();
                return ctx.handle;
            };
            if (trace) {
                // After the purge at open: the read-back is empty, so the
                // trace and the adapter count its bytes alike from here on.
                trace->start(adapter->model(), adapter->handle());
            }
        }

        Result result = action(ctx);
        if (trace) {
            add_trace_summary(result, trace->finish());
        }
        std::cout.flush();
        if (!result.is_shown()) {
            render(result.on_stderr() ? std::cerr : std::cout, result, a.json ? Style::json : Style::text);
        }
        std::cout.flush();
        session.reset();
        if (adapter) {
            adapter->close(); // a virtual board saves its images
        }
        if (result.finding()) {
            std::cerr << "orvtool: " << *result.finding() << "\n";
            return status_after(signal_for_exit_status(), Exit::failed);
        }
        return status_after(signal_for_exit_status(), Exit::ok);
    } catch (const ToolError& e) {
        std::cout.flush();
        // The device library empties the read-back after its own failures
        // on the wire; SVF playback and the bridges drive the bus libraries
        // themselves.
        if (session && e.exit() == Exit::failed && !e.readback_emptied()) {
            orvdev_session_recover(session.get());
        }
        const auto* with_details = dynamic_cast<const ResultError*>(&e);
        print_error(e, a.json, with_details != nullptr ? &with_details->details() : nullptr);
        std::cout.flush();
        return status_after(signal_for_exit_status(), e.exit());
    } catch (const std::exception& e) {
        std::cerr << "orvtool: internal error: " << e.what() << "\n";
        return static_cast<int>(Exit::failed);
    }
}
