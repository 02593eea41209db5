#include "front/orvtool/interrupt.hpp"

#include <csignal>

namespace orvtool {

namespace {

// The one thing a signal handler may set; read by the progress callback.
volatile std::sig_atomic_t pending_signal = 0;

extern "C" void on_signal(int signal)
{
    pending_signal = signal;
}

// Set while an UntilInterrupted lives.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int /*signal*/)
{
    interrupted = 1;
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

UntilInterrupted::UntilInterrupted()
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
    interrupted = 0;
}

UntilInterrupted::~UntilInterrupted()
{
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool UntilInterrupted::done() noexcept
{
    return interrupted != 0;
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
