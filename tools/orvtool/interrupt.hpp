// Ctrl-C and SIGTERM in orvtool: the first one asks the running operation to
// stop at its next safe point (the device library's progress callback
// answers ORVDEV_STOP), so that it ends like a failure: output files never
// half written, temporary files removed, the "done:" summary printed, a
// virtual board's persisted images saved; the exit status is then 128 + the
// signal's number (130, 143). A second one ends the program at once.
#pragma once

namespace orvtool {

// Installs the handlers for SIGINT and SIGTERM.
void install_interrupt_handlers() noexcept;

// The signal that asked to stop, or 0.
int interrupting_signal() noexcept;

// "SIGINT", "SIGTERM".
const char* signal_name(int signal) noexcept;

} // namespace orvtool
