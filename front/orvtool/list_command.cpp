// orvtool list: the USB devices that look like this adapter, as the device
// library finds them.
#include <cstdio>
#include <optional>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/orvtool/adapter_open.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/command_result.hpp"
#include "front/orvtool/format.hpp"

namespace orvtool {

namespace {

std::string hex4(std::uint16_t v)
{
    return hex(v, 4).substr(2);
}

// Why the strings are missing.
std::string problem_of(const orvdev_adapter_info& a)
{
    if (a.open_error == 0) {
        return "";
    }
    return a.open_error == LIBUSB_ERROR_ACCESS ? "no permission to open it" : libusb_strerror(a.open_error);
}

Value text_or_null(const char* text)
{
    return *text != '\0' ? Value(text) : Value();
}

Result cmd_list(const std::optional<orvdev_adapter_selector>& selector, const std::string& usb)
{
    Listed listed = list_adapters(selector ? &*selector : nullptr);
    if (listed.none) {
        // Exit 3 as for any command that finds no adapter; the JSON error
        // object still holds the (empty) list.
        const ToolError& none = *listed.none;
        throw ResultError(ToolError(Exit::no_adapter, selector ? none.what() : "no adapters found",
                                    none.hint(), none.code()),
                          Result().field("adapters", Value::list({})));
    }
    Table table{{{"VID:PID", 9, 2}, {"BUS:ADDR", 8, 2}, {"PORT", 4, 2}, {"SERIAL", 10, 2}, {"PRODUCT"}}, {}};
    for (const orvdev_adapter_info& a : listed.adapters) {
        char where[16];
        std::snprintf(where, sizeof where, "%03u:%03u", a.bus, a.address);
        const std::string problem = problem_of(a);
        table.rows.push_back({Value::object({{"vid", a.vid},
                                             {"vid_hex", hex4(a.vid)},
                                             {"pid", a.pid},
                                             {"pid_hex", hex4(a.pid)},
                                             {"bus", a.bus},
                                             {"address", a.address},
                                             {"port_path", text_or_null(a.port_path)},
                                             {"serial", problem.empty() ? text_or_null(a.serial) : Value()},
                                             {"product", problem.empty() ? text_or_null(a.product) : Value()},
                                             {"problem", problem.empty() ? Value() : Value(problem)}}),
                              {hex4(a.vid) + ":" + hex4(a.pid), where,
                               *a.port_path != '\0' ? a.port_path : "-", *a.serial != '\0' ? a.serial : "-",
                               problem.empty() ? std::string(a.product) : "(" + problem + ")"}});
    }
    Result result;
    result.table("adapters", std::move(table));
    if (listed.adapters.size() == 1) {
        return result.line(selector ? "--usb " + usb + " selects this adapter"
                                    : "--usb may be left out: this is the only adapter");
    }
    return result.line("choose one with --usb SERIAL or --usb VID:PID:BUS:ADDR (bus and address in decimal), "
                       "or run on each with --each");
}

} // namespace

void register_list(CLI::App& app, Chosen& chosen, const std::vector<std::string>& usb)
{
    auto* list = app.add_subcommand(
        "list", "list the USB devices that look like this adapter (with --usb, those with that id)");
    on_chosen(
        list, chosen,
        [&usb] {
            std::optional<orvdev_adapter_selector> selector;
            if (!usb.empty()) {
                selector = usb_selector(usb.front()); // its serial points into usb, which outlives the action
            }
            return Action([selector, &usb](const Context&) {
                return cmd_list(selector, usb.empty() ? std::string() : usb.front());
            });
        },
        false);
}

} // namespace orvtool
