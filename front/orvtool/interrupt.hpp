// Ctrl-C and SIGTERM in orvtool: the first one asks the running operation to
// stop at its next safe point (the device library's progress callback
// answers ORVDEV_STOP), so that it ends like a failure: output files never
// half written, temporary files removed, the "done:" summary printed, a
// virtual board's persisted images saved; the exit status is then 128 + the
// signal's number (130, 143). A second one ends the program at once.
#pragma once

#include <csignal>

namespace orvtool {

// Installs the handlers for SIGINT and SIGTERM.
void install_interrupt_handlers() noexcept;

// The signal that asked to stop, or 0.
int interrupting_signal() noexcept;

// "SIGINT", "SIGTERM".
const char* signal_name(int signal) noexcept;

// For commands that run until Ctrl-C (jtag pins --watch, jtag set --hold):
// while it lives, SIGINT and SIGTERM only set a flag, so that what the
// command holds is given back first and the command ends normally.
class UntilInterrupted {
public:
    UntilInterrupted();
    ~UntilInterrupted();
    UntilInterrupted(const UntilInterrupted&) = delete;
    UntilInterrupted& operator=(const UntilInterrupted&) = delete;
    [[nodiscard]] static bool done() noexcept;

private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

} // namespace orvtool
