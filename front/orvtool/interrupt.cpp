#include "front/orvtool/interrupt.hpp"

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>

namespace orvtool {

namespace {

// What the handlers may touch: flags and a lock-free time, nothing else.
volatile std::sig_atomic_t pending_signal = 0;
// Set while an UntilInterrupted lives, and copied when the first signal comes.
volatile std::sig_atomic_t awaited = 0;
volatile std::sig_atomic_t signal_awaited = 0;
std::atomic<std::int64_t> first_signal_ns{0};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

std::int64_t monotonic_ns() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

extern "C" void on_signal(int signal)
{
    const std::int64_t now = monotonic_ns();
    if (pending_signal == 0) {
        pending_signal = signal;
        signal_awaited = awaited;
        first_signal_ns.store(now, std::memory_order_relaxed);
        return;
    }
    if (now - first_signal_ns.load(std::memory_order_relaxed) < std::int64_t{REPEAT_WINDOW_MS} * 1000000) {
        return; // the first request, delivered twice
    }
    // A second request: the default action, once this handler returns and
    // the signal is unblocked again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

sigset_t stop_signals() noexcept
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void install_interrupt_handlers() noexcept
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a call that waits (an open of a FIFO, a read, a poll)
    // returns EINTR, and its caller looks at the signal.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int interrupting_signal() noexcept
{
    return pending_signal;
}

const volatile std::sig_atomic_t& interrupt_flag() noexcept
{
    return pending_signal;
}

int signal_for_exit_status() noexcept
{
    return signal_awaited != 0 ? 0 : pending_signal;
}

UntilInterrupted::UntilInterrupted() noexcept
{
    awaited = 1;
}

UntilInterrupted::~UntilInterrupted()
{
    awaited = 0;
}

bool UntilInterrupted::done() noexcept
{
    return pending_signal != 0;
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
