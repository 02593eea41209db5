// orvtool list: the USB devices that look like this adapter.
#include <cstdio>

#include <CLI/CLI.hpp>

#include "command.hpp"
#include "device.hpp"
#include "format.hpp"

namespace orvtool {

namespace {

std::string hex4(std::uint16_t v)
{
    return hex(v, 4).substr(2);
}

Result cmd_list()
{
    std::vector<FoundAdapter> found = list_adapters();
    Table table{{{"VID:PID", 9, 2}, {"BUS:ADDR", 8, 2}, {"SERIAL", 10, 2}, {"PRODUCT"}}, {}};
    for (const auto& a : found) {
        char where[16];
        std::snprintf(where, sizeof where, "%03u:%03u", a.bus, a.address);
        std::string product = a.problem.empty() ? a.product : "(" + a.problem + ")";
        table.rows.push_back(
            {Value::object({{"vid", hex4(a.vid)},
                            {"pid", hex4(a.pid)},
                            {"bus", a.bus},
                            {"address", a.address},
                            {"serial", a.problem.empty() ? Value(a.serial) : Value()},
                            {"product", a.problem.empty() ? Value(a.product) : Value()},
                            {"problem", a.problem.empty() ? Value() : Value(a.problem)}}),
             {hex4(a.vid) + ":" + hex4(a.pid), where, a.serial.empty() ? "-" : a.serial, product}});
    }
    Result result;
    if (found.empty()) {
        return result.field("adapters", Value::list({})).line("no adapter found");
    }
    result.table("adapters", std::move(table));
    if (found.size() == 1) {
        return result.line("--usb may be left out: this is the only adapter");
    }
    return result.line("choose one with --usb VID:PID:BUS:ADDR (bus and address in decimal)");
}

} // namespace

void register_list(CLI::App& app, Chosen& chosen)
{
    auto* list = app.add_subcommand("list", "list the USB devices that look like this adapter");
    on_chosen(
        list, chosen, [] { return Action([](const Context&) { return cmd_list(); }); }, false);
}

} // namespace orvtool
