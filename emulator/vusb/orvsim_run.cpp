// orvsim-run: runs a program against virtual ORV adapters.
//
//   umockdev-wrapper orvsim-run [--adapters N] [--list] -- PROGRAM [ARGS...]
//
// Creates a umockdev testbed with N default-board adapters (1 by default),
// starts PROGRAM as a child, answers its USB requests until it exits, and
// exits with its status (128 + signal number when it was killed). The child
// inherits the testbed through UMOCKDEV_DIR and LD_PRELOAD, so it opens the
// adapters with the real libusb. ORVSIM_ADAPTERS in its environment lists them
// as "bus:address" pairs separated by commas. Without the preload the program
// re-executes itself under umockdev-wrapper.
#include "virtual_usb.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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
    std::fprintf(stderr, "usage: %s [--adapters N] [--list] -- PROGRAM [ARGS...]\n", program);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned adapters = 1;
    bool list = false;
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
    // The child's ioctls are served on the testbed's worker thread meanwhile.
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("orvsim-run: waitpid");
            return EXIT_FAILURE;
        }
    }
    child_pid = 0;
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
