// orvtool serve: the adapter behind network protocols that OpenOCD
// (remote_bitbang), openFPGALoader (XVC) and flashrom (serprog) speak.
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/bridges/adapter_port.hpp"
#include "front/bridges/server.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/errors.hpp"
#include "front/orvtool/format.hpp"
#include "front/orvtool/interrupt.hpp"
#include "front/orvtool/render.hpp"

namespace orvtool {

namespace {

struct ServeArgs {
    std::string remote_bitbang;
    std::string xvc;
    std::string serprog;
    std::string tck = "1000";
    std::string spi_clock = "6000";
    std::string max_readback = std::to_string(orv::bridge::PortSettings{}.max_readback);
    std::string unread_limit = "10";
};

struct ServeOptions {
    std::vector<orv::bridge::Endpoint> endpoints;
    std::uint32_t tck_khz = 0;
    std::uint32_t spi_khz = 0;
    std::uint32_t max_readback = 0;
    orv::bridge::ServeLimits limits;
};

constexpr std::uint64_t MAX_UNREAD_LIMIT_S = 3600;

ServeOptions check(const ServeArgs& args)
{
    ServeOptions options;
    const std::pair<orv::bridge::Protocol, const std::string*> given[] = {
        {orv::bridge::Protocol::remote_bitbang, &args.remote_bitbang},
        {orv::bridge::Protocol::xvc, &args.xvc},
        {orv::bridge::Protocol::serprog, &args.serprog},
    };
    for (const auto& [protocol, text] : given) {
        if (text->empty()) {
            continue;
        }
        auto endpoint = orv::bridge::parse_endpoint(protocol, *text);
        if (!endpoint) {
            usage_error(std::string("bad --") + orv::bridge::protocol_name(protocol) + " '" + *text + "'",
                        "give [HOST:]PORT, for example 3335 or 127.0.0.1:3335 (0: any free port)");
        }
        options.endpoints.push_back(*endpoint);
    }
    if (options.endpoints.empty()) {
        usage_error("serve needs at least one protocol",
                    "give --remote-bitbang PORT (OpenOCD), --xvc PORT (openFPGALoader) or --serprog PORT "
                    "(flashrom)");
    }
    options.tck_khz = khz_arg(args.tck, "--tck");
    options.spi_khz = khz_arg(args.spi_clock, "--spi-clock");
    options.max_readback =
        static_cast<std::uint32_t>(size_arg(args.max_readback, "--max-readback", 1U << 20));
    if (options.max_readback == 0) {
        usage_error("--max-readback must be at least 1");
    }
    const std::uint64_t unread = number_arg(args.unread_limit, "--unread-limit", MAX_UNREAD_LIMIT_S);
    if (unread == 0) {
        usage_error("--unread-limit must be at least 1 second");
    }
    options.limits.unread_limit_ms = static_cast<int>(unread * 1000);
    return options;
}

Result serve(const Context& ctx, const ServeOptions& options)
{
    std::ostream& log = *ctx.err;
    for (const orv::bridge::Endpoint& e : options.endpoints) {
        if (!orv::bridge::is_loopback(e.host)) {
            log << "orvtool serve: warning: " << orv::bridge::protocol_name(e.protocol) << " on " << e.host
                << " is reachable from other hosts; these protocols have no authentication\n";
        }
    }
    // The session emptied what a previous program left in the read-back
    // when it opened, and keeps it empty across clients and failures.
    orv::bridge::PortSettings settings;
    settings.tck_khz = options.tck_khz;
    settings.spi_khz = options.spi_khz;
    settings.max_readback = options.max_readback;
    orv::bridge::AdapterPort port(ctx.session, settings, log);

    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM end the serving, as they are meant to: exit 0.
    const UntilInterrupted until;
    // The same adapter as at the start (the same --usb, the only one on the
    // buses, the same virtual one), when it comes back after it was unplugged.
    const orv::bridge::Reopen reopen = [&ctx](std::string& error) -> orvdev_session* {
        if (!ctx.reopen) {
            error = "this adapter cannot be opened again";
            return nullptr;
        }
        try {
            ctx.reopen();
            return ctx.session;
        } catch (const ToolError& e) {
            error = e.what();
            return nullptr;
        }
    };
    // One line per socket as soon as all are bound, flushed, for a script
    // to wait for: text, or with --json one JSON object a line.
    const orv::bridge::Announce announce = [&ctx](const std::vector<orv::bridge::Listening>& bound) {
        for (const orv::bridge::Listening& l : bound) {
            if (ctx.json) {
                JsonWriter json(std::cout);
                json.begin_object().key("listening").begin_object();
                json.key("protocol").value(orv::bridge::protocol_name(l.protocol));
                json.key("host").value(l.host).key("port").value(unsigned{l.port});
                json.end_object().end_object().finish();
            } else {
                std::cout << "listening: " << orv::bridge::protocol_name(l.protocol) << " on "
                          << orv::bridge::address_text(l) << "\n";
            }
        }
        std::cout.flush();
    };
    const orv::bridge::ServeResult served =
        orv::bridge::serve(port, options.endpoints, options.limits, reopen, announce, log, interrupt_flag());
    if (!served.ok) {
        // Each reason the listener failed has its own remedy: a host that
        // does not resolve, or is not this machine's, is not a port in use.
        std::string hint = "check HOST and PORT of [HOST:]PORT";
        if (served.error.starts_with("cannot resolve")) {
            hint = "check the HOST of [HOST:]PORT: a name this machine resolves, or an address such as "
                   "127.0.0.1, ::1 or 0.0.0.0 (all interfaces)";
        } else if (served.error.find("in use") != std::string::npos) {
            hint = "choose another port, or 0 for any free one";
        } else if (served.error.find("ermission denied") != std::string::npos) {
            hint = "ports below 1024 need privileges: choose one above, or 0 for any free one";
        } else if (served.error.find("not available") != std::string::npos) {
            hint = "HOST is not an address of this machine: give one of its addresses, or leave HOST out";
        }
        throw ToolError(Exit::failed, served.error, hint);
    }
    if (served.adapter_lost) {
        throw ToolError(Exit::failed, "serve stopped without the adapter: it went away and did not come back",
                        "plug it in again and restart orvtool serve");
    }
    // In text the summary is on the log already (standard error).
    const orvdev_jtag_port_stats& j = served.jtag;
    return Result().field("stopped",
                          Value::object({{"jtag", Value::object({{"client_waits", j.runs},
                                                                 {"clocks", j.clocks},
                                                                 {"out_transfers", j.out_transfers},
                                                                 {"stream_bytes", j.stream_bytes},
                                                                 {"exchanges", j.exchanges}})},
                                         {"spi_operations", served.spi_operations}}));
}

} // namespace

void register_serve(CLI::App& app, Chosen& chosen)
{
    auto args = std::make_shared<ServeArgs>();
    auto* serve_app = app.add_subcommand(
        "serve",
        "serve the adapter to OpenOCD (remote_bitbang), openFPGALoader (XVC) and flashrom (serprog)");
    serve_app->add_option("--remote-bitbang", args->remote_bitbang, "OpenOCD remote_bitbang on [HOST:]PORT")
        ->type_name("[HOST:]PORT");
    serve_app->add_option("--xvc", args->xvc, "Xilinx Virtual Cable 1.0 on [HOST:]PORT")
        ->type_name("[HOST:]PORT");
    serve_app->add_option("--serprog", args->serprog, "flashrom serprog (SPI) on [HOST:]PORT")
        ->type_name("[HOST:]PORT");
    add_clock_option(serve_app, "--tck", args->tck, "TCK frequency");
    add_clock_option(serve_app, "--spi-clock", args->spi_clock, "SPI clock");
    serve_app
        ->add_option("--max-readback", args->max_readback,
                     "most read-back bytes of one JTAG exchange (default " + args->max_readback + ")")
        ->type_name("BYTES");
    serve_app
        ->add_option("--unread-limit", args->unread_limit,
                     "drop a client whose answers stay unread this long (default " + args->unread_limit + ")")
        ->type_name("SECONDS");
    serve_app->footer(
        "HOST defaults to 127.0.0.1; port 0 picks a free port. One client at a time has the JTAG chain "
        "(remote_bitbang, XVC) and one the SPI flash (serprog); one that connects meanwhile waits its "
        "turn. An adapter that goes away is opened again once a second. Runs until SIGINT or SIGTERM "
        "(exit 0); exits 1 when the adapter went away and did not come back.");
    on_chosen(serve_app, chosen, [args] {
        return Action([options = check(*args)](const Context& ctx) { return serve(ctx, options); });
    });
}

} // namespace orvtool
