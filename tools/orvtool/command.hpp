// How the command groups put themselves on the command line. Each group adds
// its subcommands and their options; when the command line chooses one, the
// command leaves main its check. main runs the check after the global options
// and before it opens the adapter: the check throws a usage error or returns
// the command's action, which runs on the open adapter and returns what main
// renders.
#pragma once

#include <functional>

#include "context.hpp"
#include "result.hpp"

namespace CLI {
class App;
}

namespace orvtool {

using Action = std::function<Result(const Context& ctx)>;
using Check = std::function<Action()>;

// The command the command line chose.
struct Chosen {
    Check check;
};

// Makes `command` leave `check` in `chosen` when the command line selects it.
void on_chosen(CLI::App* command, Chosen& chosen, Check check);

// The groups, in the order of the help text.
void register_jtag(CLI::App& app, Chosen& chosen);
void register_spi(CLI::App& app, Chosen& chosen);
void register_i2c(CLI::App& app, Chosen& chosen);

} // namespace orvtool
