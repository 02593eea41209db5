// How the command groups put themselves on the command line. Each group adds
// its subcommands and their options; when the command line chooses one, the
// command leaves main its check. main runs the check after the global options
// and before it opens the adapter: the check throws a usage error or returns
// the command's action, which runs on the open adapter and returns what main
// renders.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "front/orvtool/command_result.hpp"
#include "front/orvtool/context.hpp"

namespace orvtool {

using Action = std::function<Result(const Context& ctx)>;
using Check = std::function<Action()>;

// The command the command line chose. A check may clear `needs_adapter`:
// its action then runs without one (ctx.handle is null) and neither --usb
// nor --sim is needed.
struct Chosen {
    Check check;
    bool needs_adapter = true; // false: main opens no adapter for it (list)
};

// Makes `command` leave `check` in `chosen` when the command line selects
// it; `needs_adapter` false for a command that runs without one.
void on_chosen(CLI::App* command, Chosen& chosen, Check check, bool needs_adapter = true);

// A command with no options of its own: when chosen, its group's options are
// checked (`group_args->check()`) and the action runs `command` with them.
template <typename GroupArgs, typename Command>
void add_plain_command(CLI::App* group, Chosen& chosen, const std::shared_ptr<GroupArgs>& group_args,
                       const std::string& name, const std::string& description, Command command)
{
    on_chosen(group->add_subcommand(name, description), chosen, [group_args, command] {
        return Action(
            [options = group_args->check(), command](const Context& ctx) { return command(ctx, options); });
    });
}

// The help formatter of every command: positionals with an option text (an
// optional argument in the middle, "[REG] LEN") show that text in the usage
// line too.
std::shared_ptr<CLI::Formatter> help_formatter();

// A group of commands, one of which the command line must choose.
CLI::App* add_group(CLI::App& app, const std::string& name, const std::string& description);

// A clock option of a group in kHz; `khz` holds the default, which the help
// shows after `what`.
void add_clock_option(CLI::App* group, const std::string& name, std::string& khz, const std::string& what);

// The groups, in the order of the help text.
void register_jtag(CLI::App& app, Chosen& chosen);
void register_spi(CLI::App& app, Chosen& chosen);
void register_i2c(CLI::App& app, Chosen& chosen);
void register_serve(CLI::App& app, Chosen& chosen);

} // namespace orvtool
