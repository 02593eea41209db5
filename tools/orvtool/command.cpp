#include "command.hpp"

#include <CLI/CLI.hpp>

namespace orvtool {

void on_chosen(CLI::App* command, Chosen& chosen, Check check)
{
    command->callback([&chosen, check = std::move(check)] { chosen.check = check; });
}

CLI::App* add_group(CLI::App& app, const std::string& name, const std::string& description)
{
    auto* group = app.add_subcommand(name, description);
    group->require_subcommand(1);
    return group;
}

void add_clock_option(CLI::App* group, const std::string& name, std::string& khz, const std::string& what)
{
    group->add_option(name, khz, what + " in kHz (default " + khz + ")")->type_name("KHZ");
}

} // namespace orvtool
