#include "interrupt.hpp"

#include <csignal>

namespace orvtool {

namespace {

// The one thing a signal handler may set; read by the progress callback.
volatile std::sig_atomic_t pending_signal = 0;

extern "C" void on_signal(int signal)
{
    pending_signal = signal;
}

} // namespace

void install_interrupt_handlers() noexcept
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // The second signal takes the default action: a user who presses Ctrl-C
    // twice wants out now.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int interrupting_signal() noexcept
{
    return pending_signal;
}

const char* signal_name(int signal) noexcept
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

} // namespace orvtool
