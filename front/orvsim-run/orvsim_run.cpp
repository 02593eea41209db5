// orvsim-run: virtual ORV adapters that stay up while a program (or a shell)
// uses them.
//
//   orvsim-run [--adapters N] [--board FILE]... [--fault [INDEX=]FAULT]...
//              [--trace FILE] [--list] [--control] [-- PROGRAM [ARGS...]]
//
// Creates a umockdev testbed with N adapters (1 by default), each with the
// board of its --board (one for all, or one per adapter; the default board
// without), starts PROGRAM as a child (the user's $SHELL without one), answers
// its USB requests until it exits, writes back the boards' persisted images,
// and exits with the child's status (128 + signal number when it was killed;
// 1 when an image or a trace could not be saved). The child inherits the testbed through
// UMOCKDEV_DIR and LD_PRELOAD, so it and every program it starts open the
// adapters with the real libusb; ORVSIM_ADAPTERS lists them as "bus:address"
// pairs separated by commas (orvtool --sim opens the first). Without the
// preload the program re-executes itself under umockdev-wrapper.
//
// --fault FAULT (KIND[:EP[:AFTER[:COUNT]]], see parse_fault) makes every
// adapter, or adapter INDEX, misbehave from the start.
//
// --trace FILE records every level change on each adapter's connectors, as
// its board sees them, in a VCD file (with several adapters a pattern whose
// %d becomes the adapter's index), written until the program exits.
//
// --control gives the child a control channel, so that a test written in any
// language can see what the adapters received and make them misbehave:
// ORVSIM_CONTROL="W,R" names a pipe to write requests to (W) and one to read
// the answers from (R), one line each:
//   counts                        ok 0:02=N 0:81=N 0:83=N 1:02=N ...
//                                 (bulk URBs per adapter and endpoint)
//   fault INDEX KIND EP COUNT [AFTER]
//                                 ok    (KIND: none unplugged stall timeout
//                                 short never-fill overcount overflow; EP 0 =
//                                 any; COUNT -1 = until cleared; AFTER URBs
//                                 pass first)
//   drain INDEX                   ok N  (read-back bytes the model still held)
// Anything else is answered "error ..." and changes nothing.
#include "lib/wire/wire.hpp"
#include "sim/emulator/board_file.hpp"
#include "sim/vusb/virtual_usb.hpp"
#include "trace/session_trace.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_PRELOAD = 127;
constexpr unsigned MAX_ADAPTERS = 32;

volatile std::sig_atomic_t child_pid = 0;

// The child runs in our process group: a signal the terminal sent (Ctrl-C,
// a hang-up) has reached it already, and a second copy would be a second
// request. Only the others are passed on.
void forward_signal(int signal_number, siginfo_t* info, void* /*context*/)
{
    if (child_pid > 0 && (info == nullptr || info->si_code != SI_KERNEL)) {
        kill(static_cast<pid_t>(child_pid), signal_number);
    }
}

constexpr const char* USAGE =
    "usage: orvsim-run [--adapters N] [--board FILE]... [--allow-outside-images]\n"
    "                  [--fault [INDEX=]FAULT]... [--trace FILE] [--list] [--control]\n"
    "                  [-- PROGRAM [ARGS...]]\n"
    "       orvsim-run --version\n"
    "  --adapters N    virtual adapters, 1..32 (default 1)\n"
    "  --board FILE    the board behind the adapters: a board file, or the name of an installed\n"
    "                  one (default); once for all adapters or once per adapter\n"
    "  --allow-outside-images\n"
    "                  let board files' images lie outside their directories\n"
    "  --fault [INDEX=]FAULT\n"
    "                  make every adapter (or adapter INDEX) fail: FAULT is\n"
    "                  KIND[:EP[:AFTER[:COUNT]]], KIND none, unplugged, stall, timeout, short,\n"
    "                  never-fill, overcount or overflow, EP any, 0x02, 0x81 or 0x83, AFTER\n"
    "                  the URBs on EP that pass first, COUNT the URBs affected\n"
    "  --trace FILE    record each adapter's connectors in a VCD file; with several adapters a\n"
    "                  pattern whose %d is the adapter's index (trace-%d.vcd)\n"
    "  --list          print the adapters on standard error\n"
    "  --control       a control channel for the child (ORVSIM_CONTROL)\n"
    "PROGRAM runs with the adapters in ORVSIM_ADAPTERS; without one, $SHELL does.\n"
    "See orvsim-run(1).\n";

// A bad command line: what is wrong in one line and where to read more, not
// the whole usage, which would push the line out of sight.
int usage(const std::string& problem)
{
    std::fprintf(stderr, "orvsim-run: %s; see orvsim-run --help\n", problem.c_str());
    return EXIT_USAGE;
}

struct Options {
    unsigned adapters = 1;
    std::vector<std::string> boards;
    bool images_anywhere = false;
    std::vector<std::pair<std::optional<std::size_t>, orv::sim::Fault>> faults; // adapter (all when none)
    std::string trace;                                                          // file or %d pattern
    bool list = false;
    bool control = false;
    int first = -1; // PROGRAM's index in argv; -1: the shell
};

// Answers one request line of the control channel.
std::string answer(orv::sim::VirtualUsb& usb, const std::string& line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "counts") {
        std::string out = "ok";
        char entry[48];
        for (std::size_t i = 0; i < usb.adapter_count(); ++i) {
            for (unsigned char endpoint :
                 {orv::EP_COMMAND_OUT, orv::EP_READBACK_DATA_IN, orv::EP_READBACK_COUNT_IN}) {
                std::snprintf(entry, sizeof entry, " %zu:%02x=%llu", i, endpoint,
                              static_cast<unsigned long long>(usb.submitted(i, endpoint)));
                out += entry;
            }
        }
        return out;
    }
    if (verb != "fault" && verb != "drain") {
        return "error unknown request";
    }
    std::size_t index = 0;
    if (!(in >> index) || index >= usb.adapter_count()) {
        return "error no such adapter";
    }
    if (verb == "fault") {
        std::string kind_name, endpoint_text;
        int count = 0;
        if (!(in >> kind_name >> endpoint_text >> count)) {
            return "error usage: fault INDEX KIND EP COUNT [AFTER]";
        }
        unsigned after = 0;
        if (!(in >> after)) {
            after = 0;
        }
        const auto kind = orv::sim::fault_kind_named(kind_name);
        const unsigned long endpoint = std::strtoul(endpoint_text.c_str(), nullptr, 0);
        if (!kind || endpoint > 0xFF) {
            return "error bad fault kind or endpoint";
        }
        usb.set_fault(index, orv::sim::Fault{*kind, static_cast<unsigned char>(endpoint), count, after});
        return "ok";
    }
    // drain: the child is waiting for this answer, so no transfer is in flight.
    std::array<std::uint8_t, 4096> scratch{};
    std::size_t dropped = 0;
    while (const std::size_t n = usb.adapter(index).read_data(scratch)) {
        dropped += n;
    }
    return "ok " + std::to_string(dropped);
}

// Serves the control channel until its request pipe has no writer left or
// `stop` becomes readable.
void serve_control(orv::sim::VirtualUsb& usb, int requests, int answers, int stop)
{
    std::string pending;
    char buf[256];
    for (;;) {
        std::array<pollfd, 2> fds{{{requests, POLLIN, 0}, {stop, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const ssize_t n = read(requests, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string reply = answer(usb, pending.substr(0, end)) + "\n";
            pending.erase(0, end + 1);
            if (write(answers, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
                return;
            }
        }
    }
}

// Adapter `index`'s trace file: the pattern with each %d replaced by the
// index and %% by %. A pattern without %d names the one adapter's file.
// Nullopt with *error for another % sequence, or for several adapters and no
// %d (they would share one file).
std::optional<std::string> trace_path(std::string_view pattern, std::size_t index, unsigned adapters,
                                      std::string* error)
{
    std::string path;
    bool numbered = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            path += pattern[i];
            continue;
        }
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (next == 'd') {
            path += std::to_string(index);
            numbered = true;
        } else if (next == '%') {
            path += '%';
        } else {
            *error = "only %d (the adapter's index) and %% may follow a % in the file name";
            return std::nullopt;
        }
        ++i;
    }
    if (adapters > 1 && !numbered) {
        *error = "with several adapters give a pattern with %d, one file per adapter (trace-%d.vcd)";
        return std::nullopt;
    }
    return path;
}

// Starts each adapter's trace; the traces, or nullopt after saying why not.
std::optional<std::vector<std::unique_ptr<orv::emu::BoardTrace>>>
start_traces(orv::sim::VirtualUsb& usb, const Options& options, int argc, char** argv)
{
    std::vector<std::unique_ptr<orv::emu::BoardTrace>> traces;
    if (options.trace.empty()) {
        return traces;
    }
    for (std::size_t i = 0; i < usb.adapter_count(); ++i) {
        std::string error;
        const auto path = trace_path(options.trace, i, options.adapters, &error);
        const std::string board =
            options.boards.empty() ? "" : options.boards.at(options.boards.size() > 1 ? i : 0);
        char adapter[96];
        std::snprintf(adapter, sizeof adapter, "adapter %zu of %u at bus %03u device %03u, serial %s", i,
                      options.adapters, usb.bus(i), usb.address(i), usb.serial(i).c_str());
        auto file = orv::emu::TraceFile::create(*path, "orvsim-run",
                                                {"the virtual board's connectors as its parts see them",
                                                 orv::emu::board_comment(board), adapter,
                                                 orv::emu::command_comment(argc, argv)},
                                                &error);
        if (file == nullptr) {
            std::fprintf(stderr, "orvsim-run: cannot write the trace: %s\n", error.c_str());
            return std::nullopt;
        }
        traces.push_back(std::make_unique<orv::emu::BoardTrace>(usb.adapter(i), std::move(file)));
    }
    return traces;
}

// Reads the command line; nullopt after printing what is wrong (exit 2), or
// the exit status in *done for --help and --version.
std::optional<Options> parse_options(int argc, char** argv, int* done)
{
    Options options;
    std::vector<std::string> faults;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--") {
            options.first = i + 1 < argc ? i + 1 : -1;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            *done = 0;
            return std::nullopt;
        }
        if (arg == "--version") {
            std::puts("orvsim-run " ORV_VERSION);
            *done = 0;
            return std::nullopt;
        }
        if (arg == "--adapters" && has_value) {
            char* end = nullptr;
            const char* text = argv[++i];
            const unsigned long n = std::strtoul(text, &end, 10);
            if (*text == '\0' || *end != '\0' || n == 0 || n > MAX_ADAPTERS) {
                *done =
                    usage("--adapters " + std::string(text) + ": give 1 to " + std::to_string(MAX_ADAPTERS));
                return std::nullopt;
            }
            options.adapters = static_cast<unsigned>(n);
        } else if (arg == "--board" && has_value) {
            options.boards.emplace_back(argv[++i]);
        } else if (arg == "--fault" && has_value) {
            faults.emplace_back(argv[++i]);
        } else if (arg == "--trace" && has_value) {
            options.trace = argv[++i];
        } else if (arg == "--allow-outside-images") {
            options.images_anywhere = true;
        } else if (arg == "--list") {
            options.list = true;
        } else if (arg == "--control") {
            options.control = true;
        } else if (arg == "--adapters" || arg == "--board" || arg == "--fault" || arg == "--trace") {
            *done = usage(std::string(arg) + " needs a value");
            return std::nullopt;
        } else if (arg.starts_with("-")) {
            *done = usage("unknown option " + std::string(arg));
            return std::nullopt;
        } else {
            *done = usage("unexpected " + std::string(arg) + " (a program to run goes after --)");
            return std::nullopt;
        }
    }
    if (options.boards.size() > 1 && options.boards.size() != options.adapters) {
        *done = usage("give one --board for all adapters, or one per adapter");
        return std::nullopt;
    }
    if (!options.trace.empty()) {
        std::string error;
        if (!trace_path(options.trace, 0, options.adapters, &error)) {
            *done = usage("--trace " + options.trace + ": " + error);
            return std::nullopt;
        }
    }
    for (const std::string& text : faults) {
        std::optional<std::size_t> index;
        std::string_view fault_text = text;
        if (const auto equals = fault_text.find('='); equals != std::string_view::npos) {
            char* end = nullptr;
            const std::string number(fault_text.substr(0, equals));
            const unsigned long n = std::strtoul(number.c_str(), &end, 10);
            if (number.empty() || *end != '\0' || n >= options.adapters) {
                *done = usage("--fault " + text + ": no adapter " + number);
                return std::nullopt;
            }
            index = n;
            fault_text.remove_prefix(equals + 1);
        }
        std::string error;
        const auto fault = orv::sim::parse_fault(fault_text, &error);
        if (!fault) {
            *done = usage("--fault " + text + ": " + error);
            return std::nullopt;
        }
        options.faults.emplace_back(index, *fault);
    }
    return options;
}

// The boards of the adapters, read and checked; nullopt after printing why
// not. Two adapters may not share an image that one of them persists.
std::optional<std::vector<orv::emu::BoardConfig>> load_boards(const Options& options)
{
    std::vector<orv::emu::BoardConfig> boards;
    // What is odd about a board is said once, by the process that runs it
    // (not before the re-execution under umockdev's preload).
    orv::emu::BoardFileOptions board_options;
    board_options.images_anywhere = options.images_anywhere;
    if (orv::sim::preload_active()) {
        board_options.warn = [](const std::string& text) {
            std::fprintf(stderr, "orvsim-run: warning: %s\n", text.c_str());
        };
    }
    try {
        for (unsigned i = 0; i < options.adapters; ++i) {
            if (i == 0 || options.boards.size() > 1) {
                boards.push_back(
                    orv::emu::load_board(options.boards.empty() ? "" : options.boards.at(i), board_options));
            } else {
                boards.push_back(boards.front());
            }
        }
    } catch (const orv::emu::BoardFileError& e) {
        std::fprintf(stderr, "orvsim-run: %s\n", e.what());
        return std::nullopt;
    }
    std::vector<std::pair<orv::emu::NamedImage, std::size_t>> used; // and the adapter
    for (std::size_t adapter = 0; adapter < boards.size(); ++adapter) {
        for (const auto& image : orv::emu::image_files(boards[adapter])) {
            for (const auto& [other, other_adapter] : used) {
                if (other_adapter != adapter && other.identity == image.identity &&
                    (image.file.persist || other.file.persist)) {
                    std::fprintf(
                        stderr,
                        "orvsim-run: adapters %zu and %zu would share the persisted image %s: give each "
                        "adapter a board of its own (--board once per adapter)\n",
                        other_adapter, adapter, image.file.path.c_str());
                    return std::nullopt;
                }
            }
            used.emplace_back(image, adapter);
        }
    }
    return boards;
}

} // namespace

int main(int argc, char** argv)
{
    int done = 0;
    const auto options = parse_options(argc, argv, &done);
    if (!options) {
        return done;
    }
    // A bad board is refused before anything starts.
    const auto boards = load_boards(*options);
    if (!boards) {
        return EXIT_USAGE;
    }

    std::string error;
    if (!orv::sim::reexec_under_preload(argc, argv, &error)) {
        std::fprintf(stderr, "orvsim-run: %s\n", error.c_str());
        return EXIT_NO_PRELOAD;
    }
    auto usb = orv::sim::VirtualUsb::create(&error);
    if (usb == nullptr) {
        std::fprintf(stderr, "orvsim-run: %s\n", error.c_str());
        return EXIT_NO_PRELOAD;
    }
    std::string devices;
    for (unsigned i = 0; i < options->adapters; ++i) {
        std::size_t index = 0;
        try {
            index = usb->add_adapter(orv::emu::make_board(boards->at(i)));
        } catch (const orv::emu::ImageError& e) {
            std::fprintf(stderr, "orvsim-run: %s\n", e.what());
            return EXIT_USAGE;
        }
        char entry[16];
        std::snprintf(entry, sizeof entry, "%s%u:%u", i == 0 ? "" : ",", usb->bus(index),
                      usb->address(index));
        devices += entry;
        if (options->list) {
            std::fprintf(stderr, "orvsim-run: adapter %zu at bus %03u address %03u, serial %s\n", index,
                         usb->bus(index), usb->address(index), usb->serial(index).c_str());
        }
    }
    for (const auto& [index, fault] : options->faults) {
        for (std::size_t i = 0; i < usb->adapter_count(); ++i) {
            if (!index || *index == i) {
                usb->set_fault(i, fault);
            }
        }
    }
    setenv("ORVSIM_ADAPTERS", devices.c_str(), 1);
    auto traces = start_traces(*usb, *options, argc, argv);
    if (!traces) {
        return EXIT_USAGE;
    }

    // Control channel: the child keeps the request pipe's write end and the
    // answer pipe's read end (not closed on exec); we keep the others.
    std::array<int, 2> requests{-1, -1}, answers{-1, -1}, stop{-1, -1};
    if (options->control) {
        if (pipe2(requests.data(), O_CLOEXEC) != 0 || pipe2(answers.data(), O_CLOEXEC) != 0 ||
            pipe2(stop.data(), O_CLOEXEC) != 0 || fcntl(requests[1], F_SETFD, 0) != 0 ||
            fcntl(answers[0], F_SETFD, 0) != 0) {
            std::perror("orvsim-run: control channel");
            return EXIT_FAILURE;
        }
        const std::string fds = std::to_string(requests[1]) + "," + std::to_string(answers[0]);
        setenv("ORVSIM_CONTROL", fds.c_str(), 1);
    }

    struct sigaction action {};
    action.sa_sigaction = forward_signal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }

    // Without a program, the user's shell: the adapters stay up until it exits.
    const char* shell = std::getenv("SHELL");
    std::array<char*, 2> shell_argv{const_cast<char*>(shell != nullptr && *shell != '\0' ? shell : "/bin/sh"),
                                    nullptr};
    char** child_argv = options->first >= 0 ? argv + options->first : shell_argv.data();
    if (options->first < 0) {
        std::fprintf(stderr,
                     "orvsim-run: %u virtual adapter%s at %s; running %s until it exits "
                     "(orvtool --sim uses the first)\n",
                     options->adapters, options->adapters == 1 ? "" : "s", devices.c_str(), child_argv[0]);
    }
    pid_t pid = 0;
    const int spawn_error = posix_spawnp(&pid, child_argv[0], nullptr, nullptr, child_argv, environ);
    if (spawn_error != 0) {
        std::fprintf(stderr, "orvsim-run: cannot run %s: %s\n", child_argv[0], std::strerror(spawn_error));
        return EXIT_NO_PRELOAD;
    }
    child_pid = pid;
    std::thread control_thread;
    if (options->control) {
        close(requests[1]);
        close(answers[0]);
        control_thread = std::thread(serve_control, std::ref(*usb), requests[0], answers[1], stop[0]);
    }
    // The child's ioctls are served on the testbed's worker thread meanwhile.
    int status = 0;
    int wait_result = 0;
    while ((wait_result = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    const int wait_error = errno;
    child_pid = 0;
    if (options->control) {
        // A grandchild may still hold the request pipe: stop the server
        // before the virtual device goes away.
        (void)!write(stop[1], "x", 1);
        control_thread.join();
    }
    // The child is gone, so no transfer is in flight: the boards keep still.
    bool saved = true;
    for (std::size_t i = 0; i < traces->size(); ++i) {
        std::string why;
        if (!(*traces)[i]->finish(&why)) {
            std::fprintf(stderr, "orvsim-run: adapter %zu: the trace could not be written: %s\n", i,
                         why.c_str());
            saved = false;
        }
    }
    for (std::size_t i = 0; i < usb->adapter_count(); ++i) {
        for (const std::string& failure : orv::emu::save_images(usb->adapter(i).board())) {
            std::fprintf(stderr, "orvsim-run: adapter %zu: %s\n", i, failure.c_str());
            saved = false;
        }
    }
    if (wait_result < 0) {
        errno = wait_error;
        std::perror("orvsim-run: waitpid");
        return EXIT_FAILURE;
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status) == 0 && !saved ? EXIT_FAILURE : WEXITSTATUS(status);
}
