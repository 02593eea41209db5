// Ctrl-C and SIGTERM in orvtool: the first one asks the running operation to
// stop at its next safe point (the device library's progress callback
// answers ORVDEV_STOP), so that it ends like a failure: output files never
// half written, temporary files removed, the "done:" summary printed, a
// virtual board's persisted images saved; the exit status is then 128 + the
// signal's number (130, 143).
//
// The handlers do not restart the call they interrupt: a wait on the host (a
// FIFO with no reader, a pipe that takes nothing, the bridges' wait for
// clients) ends with EINTR, and those waits look at the signal every so
// often besides (orv::hostfile::WAIT_SLICE_MS, the bridges' second), in case
// another thread took it, so every phase ends within a second of it.
//
// The same request can arrive twice: a terminal's Ctrl-C reaches every
// program of its process group, and a program that runs orvtool (orvsim-run,
// a shell script) may pass it on as well. A copy that comes within
// REPEAT_WINDOW_MS of the first counts as the first; a second request after
// that ends the program at once, for a user who wants out now.
#pragma once

#include <csignal>

namespace orvtool {

inline constexpr int REPEAT_WINDOW_MS = 500;

// Installs the handlers for SIGINT and SIGTERM, and unblocks the two signals
// (a program that started orvtool may have left them blocked).
void install_interrupt_handlers() noexcept;

// The signal that asked to stop, or 0.
int interrupting_signal() noexcept;

// What the handlers set (the signal's number), for a wait that must wake up
// on it.
const volatile std::sig_atomic_t& interrupt_flag() noexcept;

// The signal that decides the exit status: interrupting_signal(), or 0 when
// it was the end a command waited for (UntilInterrupted).
int signal_for_exit_status() noexcept;

// "SIGINT", "SIGTERM".
const char* signal_name(int signal) noexcept;

// For commands that run until Ctrl-C (jtag pins --watch, jtag set --hold,
// serve): while it lives, the first SIGINT or SIGTERM is the command's
// normal end: done() turns true, the command gives back what it holds and
// ends, and orvtool exits 0. A signal that came before, while the command
// set up, is an interruption as anywhere else.
class UntilInterrupted {
public:
    UntilInterrupted() noexcept;
    ~UntilInterrupted();
    UntilInterrupted(const UntilInterrupted&) = delete;
    UntilInterrupted& operator=(const UntilInterrupted&) = delete;
    [[nodiscard]] static bool done() noexcept;
};

} // namespace orvtool
