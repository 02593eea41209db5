#include "command.hpp"

#include <CLI/CLI.hpp>

namespace orvtool {

namespace {

// A positional with an option text is shown as that text alone, in the
// usage line and in the list of positionals.
class HelpFormatter : public CLI::Formatter {
public:
    std::string make_option_usage(const CLI::Option* opt) const override
    {
        return shown_as_text(opt) ? opt->get_option_text() : CLI::Formatter::make_option_usage(opt);
    }
    std::string make_option_name(const CLI::Option* opt, bool positional) const override
    {
        return positional && shown_as_text(opt) ? opt->get_option_text()
                                                : CLI::Formatter::make_option_name(opt, positional);
    }
    std::string make_option_opts(const CLI::Option* opt) const override
    {
        return opt->get_positional() && shown_as_text(opt) ? "" : CLI::Formatter::make_option_opts(opt);
    }

private:
    static bool shown_as_text(const CLI::Option* opt) { return !opt->get_option_text().empty(); }
};

} // namespace

std::shared_ptr<CLI::Formatter> help_formatter()
{
    return std::make_shared<HelpFormatter>();
}

void on_chosen(CLI::App* command, Chosen& chosen, Check check, bool needs_adapter)
{
    command->callback([&chosen, check = std::move(check), needs_adapter] {
        chosen.check = check;
        chosen.needs_adapter = needs_adapter;
    });
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
