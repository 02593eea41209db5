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
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "clean_stdout.hpp"
#include "command.hpp"
#include "device.hpp"
#include "device_library.hpp"
#include "errors.hpp"
#include "interrupt.hpp"
#include "render.hpp"
#include "trace_option.hpp"

#ifndef ORVTOOL_VERSION
#define ORVTOOL_VERSION "unknown"
#endif

namespace {

using namespace orvtool;

struct GlobalArgs {
    std::string usb;
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

// Whether the option named by `token` ("--usb", "--usb=x", "-o") takes a
// value, looked up in `app` and the groups above it.
bool takes_value(const CLI::App* app, std::string_view token)
{
    std::string name(token.substr(0, token.find('=')));
    for (; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* opt = app->get_option_no_throw(name)) {
            return opt->get_items_expected_max() > 0 && token.find('=') == std::string_view::npos;
        }
    }
    return false;
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
// that should have been a command and is not one; empty when there is none.
std::optional<ToolError> unknown_command(CLI::App& app, int argc, char** argv)
{
    CLI::App* at = &app;
    std::string path = "orvtool";
    for (int i = 1; i < argc; ++i) {
        std::string_view token = argv[i];
        if (token == "--") {
            break;
        }
        if (token.size() > 1 && token[0] == '-') {
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

// A command line error as orvtool reports every error.
ToolError parse_failure(CLI::App& app, const CLI::ParseError& e, int argc, char** argv)
{
    if (auto unknown = unknown_command(app, argc, argv)) {
        return *unknown;
    }
    // The innermost command the line reached, for the hint.
    std::string path = "orvtool";
    for (const CLI::App* at = &app;;) {
        auto chosen = at->get_subcommands();
        if (chosen.empty()) {
            break;
        }
        at = chosen.front();
        path += " " + at->get_name();
    }
    return ToolError(Exit::usage, e.what(), "see " + path + " --help");
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
        comments.push_back(
            a.sim
                ? (Adapter::sim_runs_here() ? "adapter: orvtool's virtual adapter, " + board
                                            : std::string("adapter: orvsim-run's virtual adapter"))
                : "adapter: " + (a.usb.empty() ? std::string("the one on the USB buses") : "--usb " + a.usb));
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
    auto selector = parse_usb_selector(a.usb);
    if (!selector) {
        usage_error("bad --usb '" + a.usb + "'",
                    "give VID:PID in hex (1209:4f52), optionally with :BUS:ADDR in decimal (1209:4f52:1:5)");
    }
    return Adapter::open_usb(*selector);
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
    app.footer("Numbers are decimal, 0x... hex or 0b... binary; lengths and flash addresses also take k, M "
               "and G (4k = 4096). Exit status: 0 ok, 1 operation failed, 2 bad arguments, 3 adapter not "
               "available. See orvtool(1).");
    GlobalArgs a;

    auto* usb = app.add_option("--usb", a.usb,
                               "open the adapter with this USB id (hex, as lsusb shows it); without --usb "
                               "and --sim, the one adapter orvtool list shows")
                    ->type_name("VID:PID[:BUS:ADDR]");
    auto* sim =
        app.add_flag("--sim", a.sim, "use the virtual adapter (umockdev), or orvsim-run's when under it");
    usb->excludes(sim);
    app.add_option("--board", a.board,
                   "the virtual adapter's board: a board file or an installed board's name")
        ->type_name("FILE")
        ->needs(sim);
    app.add_flag("--allow-outside-images", a.images_anywhere,
                 "let the board file's images lie outside its directory")
        ->needs(sim);
    app.add_option("--sim-fault", a.sim_fault, "make the virtual adapter fail: KIND[:EP[:AFTER[:COUNT]]]")
        ->type_name("FAULT")
        ->needs(sim);
    app.add_flag("--json", a.json, "print results, and errors, as one JSON object");
    app.add_option("--trace", a.trace,
                   "record the session's waveform on the adapter's connectors in a VCD file (PulseView, "
                   "GTKWave, sigrok-cli)")
        ->type_name("FILE");
    app.add_option(
           "--timeout", a.timeout,
           "USB timeout per transfer in milliseconds, 1 to 600000 (default 1000; I2C uses at most 31)")
        ->type_name("MS");

    Chosen chosen;
    register_jtag(app, chosen);
    register_spi(app, chosen);
    register_i2c(app, chosen);
    register_serve(app, chosen);
    register_list(app, chosen);

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
        ctx.err = &std::cerr;
        ctx.data_out = &std::cout;
        ctx.progress = !a.json && isatty(STDERR_FILENO) == 1;
        ctx.json = a.json;
        ctx.columns = terminal_columns();
        ctx.timeout_ms = timeout_arg(a.timeout);

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
            session = open_session(ctx.handle, ctx.timeout_ms);
            ctx.session = session.get();
            // serve opens the same adapter again when it comes back after it
            // was unplugged: a new handle, and a new session on it.
            ctx.reopen = [&adapter, &ctx, &session] {
                session.reset();
                ctx.session = nullptr;
                ctx.handle = nullptr; // the old one is closed first
                adapter->reopen();
                ctx.handle = adapter->handle();
                session = open_session(ctx.handle, ctx.timeout_ms);
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
            return status_after(interrupting_signal(), Exit::failed);
        }
        return status_after(interrupting_signal(), Exit::ok);
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
        return status_after(interrupting_signal(), e.exit());
    } catch (const std::exception& e) {
        std::cerr << "orvtool: internal error: " << e.what() << "\n";
        return static_cast<int>(Exit::failed);
    }
}
