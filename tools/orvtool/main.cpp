// orvtool: JTAG, SPI flash and I2C from the command line through the ORV USB
// bridge adapter, or through the virtual adapter with --sim. The command
// groups register their own commands (command.hpp); this file has the global
// options, opens the adapter once every argument is checked, renders the
// result and turns failures into messages and exit statuses.
#include <unistd.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include "command.hpp"
#include "device.hpp"
#include "errors.hpp"
#include "render.hpp"
#include "resync.hpp"

namespace {

using namespace orvtool;

struct GlobalArgs {
    std::string usb;
    bool sim = false;
    std::string board;
    std::string sim_fault;
    bool json = false;
    std::string timeout = "1000";
};

std::unique_ptr<Adapter> open_adapter(const GlobalArgs& a, int argc, char** argv)
{
    if (a.sim) {
        return Adapter::open_sim(argc, argv, SimOptions{a.board, a.sim_fault});
    }
    auto selector = parse_usb_selector(a.usb);
    if (!selector) {
        usage_error("bad --usb '" + a.usb + "'",
                    "give VID:PID in hex (1209:4f52), optionally with :BUS:ADDR in decimal (1209:4f52:1:5)");
    }
    return Adapter::open_usb(*selector);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"orvtool: JTAG, SPI flash and I2C through the ORV USB bridge adapter"};
    app.fallthrough();
    app.require_subcommand(1);
    app.footer("Numbers are decimal or 0x... hex. Exit status: 0 ok, 1 operation failed, 2 bad arguments, "
               "3 adapter not available. See orvtool(1).");
    GlobalArgs a;

    auto* usb = app.add_option("--usb", a.usb, "open the adapter with this USB id (hex, as lsusb shows it)")
                    ->type_name("VID:PID[:BUS:ADDR]");
    auto* sim =
        app.add_flag("--sim", a.sim, "use the virtual adapter (umockdev), or orvsim-run's when under it");
    usb->excludes(sim);
    app.add_option("--board", a.board,
                   "the virtual adapter's board: a board file or an installed board's name")
        ->type_name("FILE")
        ->needs(sim);
    app.add_option("--sim-fault", a.sim_fault, "make the virtual adapter fail: KIND[:EP[:AFTER[:COUNT]]]")
        ->type_name("SPEC")
        ->needs(sim);
    app.add_flag("--json", a.json, "print results as one JSON object");
    app.add_option(
           "--timeout", a.timeout,
           "USB timeout per transfer in milliseconds, 1 to 600000 (default 1000; I2C uses at most 31)")
        ->type_name("MS");

    Chosen chosen;
    register_jtag(app, chosen);
    register_spi(app, chosen);
    register_i2c(app, chosen);
    register_serve(app, chosen);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : static_cast<int>(Exit::usage);
    }

    Context ctx;
    std::unique_ptr<Adapter> adapter; // outlives the error report, which may purge its read-back
    bool in_step = false;             // the read-back was empty at open
    try {
        ctx.err = &std::cerr;
        ctx.progress = !a.json && isatty(STDERR_FILENO) == 1;
        ctx.timeout_ms = timeout_arg(a.timeout);

        // Every argument is checked before the adapter is touched.
        Action action = chosen.check();
        if (chosen.needs_adapter) {
            if (!a.sim && a.usb.empty()) {
                usage_error("no adapter chosen",
                            "give --usb VID:PID for a real adapter, or --sim for the virtual one");
            }
            adapter = open_adapter(a, argc, argv);
            ctx.handle = adapter->handle();
            purge_at_open(ctx, std::cerr);
            in_step = true;
        }

        render(std::cout, action(ctx), a.json ? Style::json : Style::text);
        std::cout.flush();
        if (adapter) {
            adapter->close(); // a virtual board saves its images
        }
        return static_cast<int>(Exit::ok);
    } catch (const ToolError& e) {
        std::cout.flush();
        if (in_step && e.exit() == Exit::failed) {
            purge_after_failure(ctx, std::cerr);
        }
        const auto* with_details = dynamic_cast<const ResultError*>(&e);
        render_error(std::cerr, std::cout, e, a.json ? Style::json : Style::text,
                     with_details != nullptr ? &with_details->details() : nullptr);
        return static_cast<int>(e.exit());
    } catch (const std::exception& e) {
        std::cerr << "orvtool: internal error: " << e.what() << "\n";
        return static_cast<int>(Exit::failed);
    }
}
