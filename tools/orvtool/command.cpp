#include "command.hpp"

#include <CLI/CLI.hpp>

namespace orvtool {

void on_chosen(CLI::App* command, Chosen& chosen, Check check)
{
    command->callback([&chosen, check = std::move(check)] { chosen.check = check; });
}

} // namespace orvtool
