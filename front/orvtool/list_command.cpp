// orvtool list: the USB devices that look like this adapter.
#include <cstdio>
#include <optional>
#include <vector>

#include <CLI/CLI.hpp>

#include "front/orvtool/adapter_open.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/command_result.hpp"
#include "front/orvtool/format.hpp"
#include "front/orvtool/usb_host.hpp"

namespace orvtool {

namespace {

std::string hex4(std::uint16_t v)
{
    return hex(v, 4).substr(2);
}

bool selected(const FoundAdapter& a, const std::optional<UsbSelector>& selector)
{
    return !selector ||
           (a.vid == selector->vid && a.pid == selector->pid && (!selector->bus || a.bus == *selector->bus) &&
            (!selector->address || a.address == *selector->address));
}

Result cmd_list(const std::optional<UsbSelector>& selector)
{
    std::vector<FoundAdapter> found = list_adapters();
    std::erase_if(found, [&](const FoundAdapter& a) { return !selected(a, selector); });
    if (found.empty()) {
        // Exit 3 as for any command that finds no adapter; the JSON error
        // object still holds the (empty) list.
        ToolError none = no_adapter_found(usb_host(), selector);
        throw ResultError(
            ToolError(Exit::no_adapter, selector ? none.what() : "no adapters found", none.hint()),
            Result().field("adapters", Value::list({})));
    }
    Table table{{{"VID:PID", 9, 2}, {"BUS:ADDR", 8, 2}, {"SERIAL", 10, 2}, {"PRODUCT"}}, {}};
    for (const auto& a : found) {
        char where[16];
        std::snprintf(where, sizeof where, "%03u:%03u", a.bus, a.address);
        std::string product = a.problem.empty() ? a.product : "(" + a.problem + ")";
        table.rows.push_back(
            {Value::object({{"vid", a.vid},
                            {"vid_hex", hex4(a.vid)},
                            {"pid", a.pid},
                            {"pid_hex", hex4(a.pid)},
                            {"bus", a.bus},
                            {"address", a.address},
                            {"serial", a.problem.empty() ? Value(a.serial) : Value()},
                            {"product", a.problem.empty() ? Value(a.product) : Value()},
                            {"problem", a.problem.empty() ? Value() : Value(a.problem)}}),
             {hex4(a.vid) + ":" + hex4(a.pid), where, a.serial.empty() ? "-" : a.serial, product}});
    }
    Result result;
    result.table("adapters", std::move(table));
    if (found.size() == 1) {
        return result.line(selector ? "--usb " + to_string(*selector) + " selects this adapter"
                                    : "--usb may be left out: this is the only adapter");
    }
    return result.line("choose one with --usb VID:PID:BUS:ADDR (bus and address in decimal)");
}

} // namespace

void register_list(CLI::App& app, Chosen& chosen, const std::string& usb)
{
    auto* list = app.add_subcommand(
        "list", "list the USB devices that look like this adapter (with --usb, those with that id)");
    on_chosen(
        list, chosen,
        [&usb] {
            std::optional<UsbSelector> selector;
            if (!usb.empty()) {
                selector = parse_usb_selector(usb);
                if (!selector) {
                    usage_error("bad --usb '" + usb + "'", USB_SELECTOR_HINT);
                }
            }
            return Action([selector](const Context&) { return cmd_list(selector); });
        },
        false);
}

} // namespace orvtool
