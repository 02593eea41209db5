#include "front/orvtool/command.hpp"

#include <set>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

namespace orvtool {

namespace {

// Help lines fit 80 columns: a description wraps at a word and goes on in
// its column, so no terminal wraps it back to the left edge across the
// names' column.
constexpr std::size_t HELP_WIDTH = 80;
constexpr std::size_t HELP_NAME_COLUMN = 30; // where descriptions start

// `text` in lines of at most `width` characters, broken at spaces (a word
// longer than that stands alone; a line break in the text stays); the lines
// joined by '\n'.
std::string wrapped(const std::string& text, std::size_t width)
{
    std::string out;
    std::istringstream lines(text);
    bool first_line = true;
    for (std::string given; std::getline(lines, given);) {
        out += first_line ? "" : "\n";
        first_line = false;
        std::size_t line = 0;
        std::istringstream words(given);
        for (std::string word; words >> word;) {
            if (line != 0 && line + 1 + word.size() > width) {
                out += '\n';
                line = 0;
            } else if (line != 0) {
                out += ' ';
                ++line;
            }
            out += word;
            line += word.size();
        }
    }
    return out;
}

// A positional with an option text is shown as that text alone, in the
// usage line and in the list of positionals. Descriptions are wrapped.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter() { column_width(HELP_NAME_COLUMN); }
    // What CLI11 puts beside the name (Needs:, Excludes:) goes after the
    // description, where it does not push the column out of line.
    std::string make_option_desc(const CLI::Option* opt) const override
    {
        std::string text = CLI::Formatter::make_option_desc(opt);
        const auto names = [](const std::set<CLI::Option*>& options) {
            std::string list;
            for (const CLI::Option* o : options) {
                list += (list.empty() ? "" : ", ") + o->get_name();
            }
            return list;
        };
        if (!opt->get_needs().empty()) {
            text += " (with " + names(opt->get_needs()) + ")";
        }
        if (!opt->get_excludes().empty()) {
            text += " (not with " + names(opt->get_excludes()) + ")";
        }
        return wrapped(text, HELP_WIDTH - HELP_NAME_COLUMN);
    }
    std::string make_subcommand(const CLI::App* sub) const override
    {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(true),
                                 wrapped(sub->get_description(), HELP_WIDTH - HELP_NAME_COLUMN),
                                 HELP_NAME_COLUMN);
        return out.str();
    }
    std::string make_footer(const CLI::App* app) const override
    {
        const std::string footer = app->get_footer();
        return footer.empty() ? footer : wrapped(footer, HELP_WIDTH) + "\n";
    }
    std::string make_option_usage(const CLI::Option* opt) const override
    {
        return shown_as_text(opt) ? opt->get_option_text() : CLI::Formatter::make_option_usage(opt);
    }
    std::string make_option_name(const CLI::Option* opt, bool positional) const override
    {
        return positional && shown_as_text(opt) ? opt->get_option_text()
                                                : CLI::Formatter::make_option_name(opt, positional);
    }
    // The value's name alone ("--board FILE", "PIN..."): whether it is
    // required is said by the usage line.
    std::string make_option_opts(const CLI::Option* opt) const override
    {
        const bool repeated = opt->get_expected_max() >= CLI::detail::expected_max_vector_size;
        if (opt->get_positional()) {
            return shown_as_text(opt) || !repeated ? "" : "...";
        }
        if (opt->get_type_size() == 0) {
            return ""; // a flag
        }
        const std::string type = opt->get_type_name();
        return (type.empty() ? "" : " " + type) + (repeated ? " ..." : "");
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
