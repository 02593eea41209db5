#include "front/orvtool/each.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <CLI/CLI.hpp>

#include "front/orvtool/adapter_open.hpp"
#include "front/orvtool/clean_stdout.hpp"
#include "front/orvtool/command.hpp"
#include "front/orvtool/device_library.hpp"
#include "front/orvtool/interrupt.hpp"
#include "front/orvtool/render.hpp"

namespace orvtool {

namespace {

using Clock = std::chrono::steady_clock;

// Commands that keep the adapter or the terminal until Ctrl-C: with --each
// they would hold every adapter at once and print over each other.
struct Refused {
    const char* command; // the path after "orvtool"
    const char* option;  // the option that makes it so; null: always
    const char* why;
};
constexpr Refused REFUSED[] = {
    {"serve", nullptr, "it serves one adapter to its clients until it is stopped"},
    {"jtag pins", "--watch", "--watch shows the pins on the terminal until Ctrl-C"},
    {"jtag set", "--hold", "--hold holds the pins until Ctrl-C"},
};

// Options that name a file the command writes.
constexpr const char* OUTPUT_OPTIONS[] = {"--output", "--backup"};

std::string display_text(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if (c < 0x20 || c > 0x7e) {
            c = '?';
        }
    }
    return out;
}

// The chosen command and the groups above it, outermost first (the program
// itself left out).
std::vector<const CLI::App*> chosen_path(const CLI::App& app)
{
    std::vector<const CLI::App*> path;
    for (const CLI::App* at = &app;;) {
        const auto chosen = at->get_subcommands();
        if (chosen.empty()) {
            return path;
        }
        at = chosen.front();
        path.push_back(at);
    }
}

// One adapter of the tray: where it is, or why it is not there.
struct Target {
    orvdev_adapter_info info{};
    std::string label;     // "ORVSIM0001 1-1.3", as each line names it
    std::string file_name; // what %s stands for
    std::optional<ToolError> missing;
};

// What a worker tells the main thread while it runs (under its own lock:
// only its worker and the drawing thread take it).
struct Live {
    std::mutex lock;
    ProgressState state;
    Clock::time_point stage_started = Clock::now();
    bool started = false;
    unsigned stage_count = 0; // stages begun, for the plain lines
};

struct Outcome {
    int exit = 0;
    double seconds = 0;
    std::string line;  // text: "LABEL: ok, ..." and any block below it
    std::string brief; // the summary table's RESULT cell
    std::string json;  // --json: the adapter's object
    std::string err;   // its notes and error text, for stderr
};

struct Worker {
    Target target;
    Action action;
    Live live;
    Outcome outcome;
};

// The one place workers meet the main thread: the order in which they
// finished. Taken once per worker, never on the data path.
struct Finished {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::size_t> order;
};

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

// Every line of `text` after the first labelled as the adapter's, so that
// the workers' notes stay apart on stderr: "orvtool: ORVSIM0001 1-2: ...".
std::string labelled_lines(const std::string& text, const std::string& label)
{
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string_view own = "orvtool: ";
        if (line.rfind(own, 0) == 0) {
            out += "orvtool: " + label + ": " + line.substr(own.size()) + "\n";
        } else {
            out += line + "\n";
        }
    }
    return out;
}

std::string indented(const std::string& text)
{
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        out += "  " + line + "\n";
    }
    return out;
}

// The adapter's JSON object around its result or error, both already JSON.
std::string adapter_json(const Target& t, int exit, double seconds, const std::string& result,
                         const std::string& error)
{
    std::ostringstream out;
    JsonWriter j(out);
    j.begin_object()
        .key("serial")
        .value(*t.info.serial != '\0' ? Value(display_text(t.info.serial)) : Value())
        .key("path")
        .value(*t.info.port_path != '\0' ? Value(t.info.port_path) : Value())
        .key("bus")
        .value(t.missing ? Value() : Value(t.info.bus))
        .key("address")
        .value(t.missing ? Value() : Value(t.info.address))
        .key("exit")
        .value(exit)
        .key("seconds")
        .value(seconds);
    j.key("result");
    result.empty() ? j.null() : j.raw(result);
    j.key("error");
    error.empty() ? j.null() : j.raw(error);
    j.end_object().finish();
    return out.str();
}

void report_failure(Worker& w, const ToolError& e, const Result* details, bool json)
{
    std::ostringstream err;
    std::ostringstream error_json;
    render_error(err, error_json, e, json ? Style::json : Style::text, details);
    Outcome& o = w.outcome;
    o.exit = static_cast<int>(e.exit());
    o.err += err.str();
    o.brief = std::string("failed: ") + e.what();
    o.line = w.target.label + ": failed (exit " + std::to_string(o.exit) + "): " + e.what() + "\n";
    if (json) {
        o.json = adapter_json(w.target, o.exit, o.seconds, "", error_json.str());
    }
}

void report_result(Worker& w, const Result& result, bool json)
{
    Outcome& o = w.outcome;
    std::ostringstream text;
    render(text, result, Style::text);
    std::string block = text.str();
    std::string summary = result.summary();
    if (summary.empty() && std::count(block.begin(), block.end(), '\n') <= 1) {
        summary = block.substr(0, block.find('\n'));
        block.clear();
    } else if (!result.summary().empty()) {
        block.clear();
    }
    std::string error_json;
    if (result.finding()) {
        o.exit = static_cast<int>(Exit::failed);
        o.brief = "failed: " + *result.finding();
        o.line = w.target.label + ": failed (exit 1): " + *result.finding() + "\n" + indented(block);
        o.err += "orvtool: " + *result.finding() + "\n";
        std::ostringstream e;
        render(e, Result().field("error", *result.finding()).field("exit", static_cast<int>(Exit::failed)),
               Style::json);
        error_json = e.str();
    } else {
        o.brief = summary.empty() ? "ok" : "ok, " + summary;
        o.line = w.target.label + ": " + o.brief + "\n" + indented(block);
    }
    if (json) {
        std::ostringstream r;
        render(r, result, Style::json);
        o.json = adapter_json(w.target, o.exit, o.seconds, r.str(), error_json);
    }
}

// One adapter, start to end, on its own thread: its adapter, session,
// buffers and progress are its own; its stop comes from the one interrupt
// flag, which the session's progress callback reads (SessionBars).
void work(Worker& w, const EachOptions& options, Finished& finished, std::size_t index)
{
    const auto started = Clock::now();
    std::ostringstream err;  // notes and the session's log
    std::ostringstream data; // standard output of its own, never shared
    orvdev_adapter* adapter = nullptr;
    SessionHandle session;
    try {
        if (w.target.missing) {
            throw *w.target.missing;
        }
        if (interrupting_signal() != 0) {
            throw ToolError(Exit::failed,
                            std::string("interrupted by ") + signal_name(interrupting_signal()) +
                                " before it started",
                            "run the command again");
        }
        const orvdev_adapter_info& a = w.target.info;
        const orvdev_adapter_selector selector{a.vid, a.pid, a.bus, a.address, nullptr};
        orvdev_no_adapter why{};
        orvdev_report report{};
        if (orvdev_adapter_open(&selector, &adapter, &why, &report) != 0) {
            adapter = nullptr;
            throw no_adapter_error(why, report, &selector);
        }
        Context ctx;
        ctx.handle = orvdev_adapter_handle(adapter);
        ctx.timeout_ms = options.timeout_ms;
        ctx.err = &err;
        ctx.data_out = &data;
        ctx.columns = options.columns;
        ctx.json = options.json;
        ctx.each_name = w.target.file_name;
        ctx.progress_to = [&live = w.live](const ProgressState& state) {
            const std::lock_guard guard(live.lock);
            if (state.stage != live.state.stage || !live.started) {
                live.stage_started = Clock::now();
                ++live.stage_count;
            }
            live.state = state;
            live.started = true;
        };
        {
            const std::lock_guard guard(w.live.lock);
            w.live.state.stage = "opening";
            w.live.started = true;
        }
        session = open_session(ctx.handle, ctx.timeout_ms, w.target.info.serial, &err);
        ctx.session = session.get();
        try {
            Result result = w.action(ctx);
            w.outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
            report_result(w, result, options.json);
        } catch (const ToolError& e) {
            if (e.exit() == Exit::failed && !e.readback_emptied()) {
                orvdev_session_recover(session.get());
            }
            throw;
        }
    } catch (const ToolError& e) {
        w.outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const auto* with_details = dynamic_cast<const ResultError*>(&e);
        report_failure(w, e, with_details != nullptr ? &with_details->details() : nullptr, options.json);
    } catch (const std::exception& e) {
        w.outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        report_failure(w, ToolError(Exit::failed, std::string("internal error: ") + e.what()), nullptr,
                       options.json);
    }
    session.reset();
    orvdev_adapter_close(adapter);
    w.outcome.err = labelled_lines(err.str() + w.outcome.err, w.target.label);
    const std::lock_guard guard(finished.lock);
    finished.order.push_back(index);
    finished.changed.notify_one();
}

// The adapters to run on: every one on the buses, or those each --usb
// selects (one that selects none is a failed adapter of its own, exit 3).
std::vector<Target> targets_of(const EachOptions& options)
{
    std::vector<Target> targets;
    auto add = [&targets](const orvdev_adapter_info& a) {
        const bool twice = std::any_of(targets.begin(), targets.end(), [&a](const Target& t) {
            return !t.missing && t.info.bus == a.bus && t.info.address == a.address;
        });
        if (!twice) {
            targets.push_back(Target{a, {}, {}, {}});
        }
    };
    if (options.usb.empty()) {
        Listed listed = list_adapters(nullptr);
        if (listed.none) {
            throw *listed.none;
        }
        std::for_each(listed.adapters.begin(), listed.adapters.end(), add);
    }
    for (const std::string& text : options.usb) {
        const orvdev_adapter_selector selector = usb_selector(text);
        Listed listed = list_adapters(&selector);
        if (listed.none) {
            Target t;
            t.missing = *listed.none;
            t.label = display_text(text) + " -";
            std::snprintf(t.info.serial, sizeof t.info.serial, "%s", text.c_str());
            targets.push_back(std::move(t));
        }
        std::for_each(listed.adapters.begin(), listed.adapters.end(), add);
    }
    for (Target& t : targets) {
        if (t.missing) {
            t.file_name = file_name_for(t.info.serial, "", 0, 0, false);
            continue;
        }
        const orvdev_adapter_info& a = t.info;
        const bool shared = std::count_if(targets.begin(), targets.end(), [&a](const Target& other) {
                                return std::strcmp(other.info.serial, a.serial) == 0;
                            }) > 1;
        t.file_name = file_name_for(a.serial, a.port_path, a.bus, a.address, shared);
        char place[16];
        std::snprintf(place, sizeof place, "%03u:%03u", a.bus, a.address);
        t.label = (*a.serial != '\0' ? display_text(a.serial) : std::string(place)) + " " +
                  (*a.port_path != '\0' ? std::string(a.port_path) : std::string(place));
    }
    return targets;
}

// Draws the running adapters' progress on stderr, one line each, in place;
// or, off a terminal, one plain line per stage as it begins.
class Display {
public:
    Display(std::vector<std::unique_ptr<Worker>>& workers, const EachOptions& options)
        : workers_(workers), options_(options), stages_(workers.size(), 0)
    {
    }

    void erase()
    {
        if (drawn_ > 0) {
            std::cerr << "\033[" << drawn_ << "A\r\033[J" << std::flush;
            drawn_ = 0;
        }
    }

    void draw(const std::vector<bool>& done)
    {
        std::size_t label_width = 0;
        for (const auto& w : workers_) {
            label_width = std::max(label_width, w->target.label.size());
        }
        std::string lines;
        unsigned count = 0;
        for (std::size_t i = 0; i < workers_.size(); ++i) {
            if (done[i]) {
                continue;
            }
            Worker& w = *workers_[i];
            ProgressState state;
            Clock::time_point since;
            unsigned stages = 0;
            {
                const std::lock_guard guard(w.live.lock);
                state = w.live.state;
                since = w.live.stage_started;
                stages = w.live.stage_count;
            }
            if (!options_.display) {
                if (stages != stages_[i] && !state.stage.empty() && !options_.json) {
                    std::cerr << "orvtool: " << w.target.label << ": " << state.stage << "\n";
                }
                stages_[i] = stages;
                continue;
            }
            const std::string label = w.target.label + std::string(label_width - w.target.label.size(), ' ');
            const unsigned columns = options_.columns == 0 ? 80 : options_.columns;
            const unsigned room =
                columns > label.size() + 1 ? columns - static_cast<unsigned>(label.size()) - 1 : 2;
            const std::string stage = state.stage.empty() ? "starting" : state.stage;
            lines += label + " " +
                     (state.total == 0 && state.done == 0
                          ? stage
                          : progress_line(stage, state.done, state.total, state.bytes,
                                          std::chrono::duration<double>(Clock::now() - since).count(), room,
                                          state.note)) +
                     "\n";
            ++count;
        }
        if (options_.display) {
            std::cerr << lines << std::flush;
            drawn_ = count;
        }
    }

private:
    std::vector<std::unique_ptr<Worker>>& workers_;
    const EachOptions& options_;
    std::vector<unsigned> stages_;
    unsigned drawn_ = 0;
};

Result summary_table(const std::vector<std::unique_ptr<Worker>>& workers,
                     const std::vector<std::size_t>& order)
{
    Table table{{{"ADAPTER", 10, 2}, {"PORT", 4, 2}, {"EXIT", 4, 2}, {"SECONDS", 7, 2}, {"RESULT"}}, {}};
    for (std::size_t i : order) {
        const Worker& w = *workers[i];
        const std::string& label = w.target.label;
        const std::size_t space = label.rfind(' ');
        table.rows.push_back(
            {Value(),
             {label.substr(0, space), label.substr(space + 1), std::to_string(w.outcome.exit),
              seconds_text(w.outcome.seconds), w.outcome.brief}});
    }
    return Result().text("\n").table("adapters", std::move(table));
}

} // namespace

std::string file_name_for(const std::string& serial, const std::string& port, std::uint8_t bus,
                          std::uint8_t address, bool shared)
{
    std::string name = shared ? std::string() : serial;
    if (name.empty()) {
        name = port;
    }
    if (name.empty()) {
        char place[16];
        std::snprintf(place, sizeof place, "%03u-%03u", bus, address);
        name = place;
    }
    for (char& c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '_' || c == '.';
        c = kept ? c : '_';
    }
    if (name.front() == '.') {
        name.front() = '_';
    }
    return name;
}

std::optional<ToolError> each_refusal(const CLI::App& app)
{
    const std::vector<const CLI::App*> path = chosen_path(app);
    std::string name;
    for (const CLI::App* at : path) {
        name += (name.empty() ? "" : " ") + at->get_name();
    }
    const CLI::App* command = path.empty() ? &app : path.back();
    for (const Refused& r : REFUSED) {
        if (name == r.command && (r.option == nullptr || command->count(r.option) > 0)) {
            return ToolError(Exit::usage, "orvtool " + name + " cannot run with --each: " + r.why,
                             "run it on one adapter, chosen with --usb SERIAL");
        }
    }
    for (const CLI::App* at : path) {
        for (const CLI::Option* opt : at->get_options()) {
            if (opt->count() == 0 || opt->get_items_expected_max() == 0) {
                continue;
            }
            const bool output = std::any_of(std::begin(OUTPUT_OPTIONS), std::end(OUTPUT_OPTIONS),
                                            [opt](const char* o) { return opt->check_name(o); });
            for (const std::string& value : opt->results()) {
                const std::string option = opt->get_name(opt->get_positional());
                if (output && value == "-") {
                    return ToolError(Exit::usage,
                                     option + " - cannot go with --each: every adapter's bytes would be "
                                              "mixed on standard output",
                                     "give " + option +
                                         " a file name with %s, which stands for each "
                                         "adapter's serial number (dump-%s.bin)");
                }
                if (output && value.find("%s") == std::string::npos) {
                    return ToolError(Exit::usage,
                                     option + " " + value +
                                         " with --each: every adapter would write the "
                                         "same file",
                                     "put %s in the name, which stands for each adapter's serial number "
                                     "(dump-%s.bin)");
                }
                if (!output && value == "-") {
                    return ToolError(Exit::usage,
                                     "standard input (" + option +
                                         " -) cannot go with --each: every adapter "
                                         "reads its input on its own",
                                     "give " + option + " as a file");
                }
            }
        }
    }
    return std::nullopt;
}

int run_each(const CLI::App& app, Chosen& chosen, const EachOptions& options)
{
    if (auto refused = each_refusal(app)) {
        throw *refused;
    }
    // Every argument is checked before an adapter is touched.
    Action first = chosen.check();
    if (!chosen.needs_adapter) {
        const std::vector<const CLI::App*> path = chosen_path(app);
        std::string name;
        for (const CLI::App* at : path) {
            name += " " + at->get_name();
        }
        usage_error("orvtool" + name + " runs on no adapter here: --each has nothing to do",
                    "leave --each out");
    }
    std::vector<Target> targets = targets_of(options);
    std::vector<std::unique_ptr<Worker>> workers;
    for (Target& t : targets) {
        auto w = std::make_unique<Worker>();
        w->target = std::move(t);
        // A check of its own for each adapter: the files it loads (a layout,
        // BSDL files, an SVF program) are then that worker's alone.
        w->action = workers.empty() ? first : chosen.check();
        workers.push_back(std::move(w));
    }
    keep_stdout_for_results();

    Finished finished;
    std::vector<std::jthread> threads;
    threads.reserve(workers.size());
    const auto started = Clock::now();
    for (std::size_t i = 0; i < workers.size(); ++i) {
        threads.emplace_back([&w = *workers[i], &options, &finished, i] { work(w, options, finished, i); });
    }

    Display display(workers, options);
    std::vector<bool> done(workers.size(), false);
    std::vector<std::size_t> order;
    while (order.size() < workers.size()) {
        std::deque<std::size_t> now_done;
        {
            std::unique_lock guard(finished.lock);
            finished.changed.wait_for(guard, std::chrono::milliseconds(200),
                                      [&finished] { return !finished.order.empty(); });
            now_done.swap(finished.order);
        }
        display.erase();
        for (std::size_t i : now_done) {
            Worker& w = *workers[i];
            done[i] = true;
            order.push_back(i);
            std::cerr << w.outcome.err << std::flush;
            std::cout << (options.json ? w.outcome.json : w.outcome.line) << std::flush;
        }
        if (order.size() < workers.size()) {
            display.draw(done);
        }
    }
    threads.clear(); // every worker has reported; joins them

    int status = 0;
    std::string failed;
    Value::List failed_json;
    for (std::size_t i : order) {
        const Worker& w = *workers[i];
        status = std::max(status, w.outcome.exit);
        if (w.outcome.exit != 0) {
            const std::string& label = w.target.label;
            failed += (failed.empty() ? "" : ", ") + label.substr(0, label.rfind(' ')) + " (exit " +
                      std::to_string(w.outcome.exit) + ")";
            failed_json.push_back(Value::object(
                {{"serial",
                  *w.target.info.serial != '\0' ? Value(display_text(w.target.info.serial)) : Value()},
                 {"path", *w.target.info.port_path != '\0' ? Value(w.target.info.port_path) : Value()},
                 {"exit", w.outcome.exit}}));
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const std::size_t failures = failed_json.size();
    if (options.json) {
        render(std::cout,
               Result().field("summary", Value::object({{"adapters", workers.size()},
                                                        {"ok", workers.size() - failures},
                                                        {"failed", Value::list(std::move(failed_json))},
                                                        {"exit", status},
                                                        {"seconds", seconds}})),
               Style::json);
    } else {
        render(std::cout, summary_table(workers, order), Style::text);
    }
    std::cout.flush();
    if (failures > 0) {
        std::cerr << "orvtool: " << failures << " of " << workers.size() << " adapters failed: " << failed
                  << "\n";
    }
    const int signal = interrupting_signal();
    return signal != 0 ? 128 + signal : status;
}

} // namespace orvtool
