// orvsim-run: runs a program against virtual ORV adapters.
//
//   umockdev-wrapper orvsim-run [--adapters N] [--list] [--control] -- PROGRAM [ARGS...]
//
// Creates a umockdev testbed with N default-board adapters (1 by default),
// starts PROGRAM as a child, answers its USB requests until it exits, and
// exits with its status (128 + signal number when it was killed). The child
// inherits the testbed through UMOCKDEV_DIR and LD_PRELOAD, so it opens the
// adapters with the real libusb. ORVSIM_ADAPTERS in its environment lists them
// as "bus:address" pairs separated by commas. Without the preload the program
// re-executes itself under umockdev-wrapper.
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
//                                 any; COUNT -1 = until cleared; AFTER: URBs
//                                 on that endpoint that pass first, 0 when
//                                 left out)
//   drain INDEX                   ok N  (read-back bytes the model still held)
// Anything else is answered "error ..." and changes nothing.
#include "virtual_usb.hpp"
#include "wire.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void forward_signal(int signal_number)
{
    if (child_pid > 0) {
        kill(static_cast<pid_t>(child_pid), signal_number);
    }
}

int usage(const char* program)
{
    std::fprintf(stderr, "usage: %s [--adapters N] [--list] [--control] -- PROGRAM [ARGS...]\n", program);
    return EXIT_USAGE;
}

std::optional<orv::sim::FaultKind> fault_kind(std::string_view name)
{
    using orv::sim::FaultKind;
    constexpr std::array<std::pair<std::string_view, FaultKind>, 8> KINDS{{
        {"none", FaultKind::none},
        {"unplugged", FaultKind::unplugged},
        {"stall", FaultKind::stall},
        {"timeout", FaultKind::timeout},
        {"short", FaultKind::short_transfer},
        {"never-fill", FaultKind::never_fill},
        {"overcount", FaultKind::overcount},
        {"overflow", FaultKind::overflow},
    }};
    for (const auto& [text, kind] : KINDS) {
        if (text == name) {
            return kind;
        }
    }
    return std::nullopt;
}

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
        if (!(in >> after) && !in.eof()) {
            return "error usage: fault INDEX KIND EP COUNT [AFTER]";
        }
        const auto kind = fault_kind(kind_name);
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

} // namespace

int main(int argc, char** argv)
{
    unsigned adapters = 1;
    bool list = false;
    bool control = false;
    int first = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            first = i + 1;
            break;
        }
        if (arg == "--adapters" && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(argv[++i], &end, 10);
            if (*end != '\0' || n == 0 || n > MAX_ADAPTERS) {
                std::fprintf(stderr, "orvsim-run: --adapters wants 1..%u\n", MAX_ADAPTERS);
                return EXIT_USAGE;
            }
            adapters = static_cast<unsigned>(n);
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "--control") {
            control = true;
        } else {
            return usage(argv[0]);
        }
    }
    if (first < 0 || first >= argc) {
        return usage(argv[0]);
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
    for (unsigned i = 0; i < adapters; ++i) {
        const std::size_t index = usb->add_adapter();
        char entry[16];
        std::snprintf(entry, sizeof entry, "%s%u:%u", i == 0 ? "" : ",", usb->bus(index),
                      usb->address(index));
        devices += entry;
        if (list) {
            std::fprintf(stderr, "orvsim-run: adapter %zu at bus %03u address %03u, serial %s\n", index,
                         usb->bus(index), usb->address(index), usb->serial(index).c_str());
        }
    }
    setenv("ORVSIM_ADAPTERS", devices.c_str(), 1);

    // Control channel: the child keeps the request pipe's write end and the
    // answer pipe's read end (not closed on exec); we keep the others.
    std::array<int, 2> requests{-1, -1}, answers{-1, -1}, stop{-1, -1};
    if (control) {
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
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }

    pid_t pid = 0;
    const int spawn_error = posix_spawnp(&pid, argv[first], nullptr, nullptr, argv + first, environ);
    if (spawn_error != 0) {
        std::fprintf(stderr, "orvsim-run: cannot run %s: %s\n", argv[first], std::strerror(spawn_error));
        return EXIT_NO_PRELOAD;
    }
    child_pid = pid;
    std::thread control_thread;
    if (control) {
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
    if (control) {
        // A grandchild may still hold the request pipe: stop the server
        // before the virtual device goes away.
        (void)!write(stop[1], "x", 1);
        control_thread.join();
    }
    if (wait_result < 0) {
        errno = wait_error;
        std::perror("orvsim-run: waitpid");
        return EXIT_FAILURE;
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
