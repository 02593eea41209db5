// The adapter's clock, as every bus and front end chooses it.
//
// The adapter divides its 60 MHz base by a one-byte divisor d = 1..255, so
// its clocks are 60 MHz / d: 60 MHz down to 235.3 kHz, in steps that widen
// as the clock rises (7500 kHz, then 6666.7 kHz). The libraries take a
// requested frequency f in kHz and send the divisor 60000 / f, truncated
// (clock_divisor_command), which rounds the clock up: 7000 kHz asked would
// run at 7500. A part specified for 7 MHz must never see more, so callers
// choose through here: the fastest clock not above the request, and the
// value to hand the libraries that gives exactly its divisor.
#pragma once

#include <cstdint>

#include "lib/wire/wire.hpp"

namespace orv {

inline constexpr std::uint64_t CLOCK_BASE_HZ = std::uint64_t{CLOCK_BASE_KHZ} * 1000;
// The slowest clock: the largest divisor the byte holds.
inline constexpr std::uint32_t CLOCK_SLOWEST_HZ =
    static_cast<std::uint32_t>(CLOCK_BASE_HZ / CLOCK_DIVISOR_MAX);
inline constexpr std::uint32_t CLOCK_FASTEST_HZ = static_cast<std::uint32_t>(CLOCK_BASE_HZ);
// A whole kHz request at or above this is never below the slowest clock.
inline constexpr std::uint32_t CLOCK_SLOWEST_KHZ_UP = (CLOCK_SLOWEST_HZ + 999) / 1000; // 236

// How long the adapter's clock of divisor byte d runs each cycle, in periods
// of its 60 MHz base: d. A byte of 0 (sent for a request above 60 MHz, or
// for a quotient of 256 that wrapped) is taken as the fastest clock, 1: how
// the adapter treats it is not known, and a trace then shows the shortest
// cycle rather than a slower one it cannot vouch for.
[[nodiscard]] constexpr std::uint32_t base_periods_per_clock(std::uint8_t divisor_byte) noexcept
{
    return divisor_byte == 0 ? 1U : divisor_byte;
}

struct ClockChoice {
    std::uint32_t divisor = 0;     // 1..CLOCK_DIVISOR_MAX
    std::uint32_t request_khz = 0; // what to hand the libraries: 60000 / request_khz == divisor
    std::uint32_t actual_hz = 0;   // the clock that runs: 60 MHz / divisor, rounded down
    bool raised = false;           // the request was below the slowest clock, which it got instead

    // The clock in whole kHz, rounded down (never above what runs).
    [[nodiscard]] constexpr std::uint32_t actual_khz() const noexcept { return actual_hz / 1000; }
    // Its period in whole nanoseconds, rounded up (never shorter than what runs).
    [[nodiscard]] constexpr std::uint32_t period_ns() const noexcept
    {
        return static_cast<std::uint32_t>((std::uint64_t{divisor} * 1000000000 + CLOCK_BASE_HZ - 1) /
                                          CLOCK_BASE_HZ);
    }
};

// The divisor the libraries send for a request of `khz` (>= 1): 60000 / khz,
// truncated, before the byte cuts it.
[[nodiscard]] constexpr std::uint32_t library_divisor(std::uint32_t khz) noexcept
{
    return khz == 0 ? 0 : CLOCK_BASE_KHZ / khz;
}

// Whether the libraries can send divisor d: some whole-kHz request gives it.
// Near the slow end the requests are too coarse for every divisor (241 kHz
// gives 248, 240 gives 250: 249 is never sent).
[[nodiscard]] constexpr bool divisor_reachable(std::uint32_t divisor) noexcept
{
    return divisor >= 1 && library_divisor(CLOCK_BASE_KHZ / divisor) == divisor;
}

// The clock of divisor d, or of the next slower divisor the libraries can
// send when they cannot send d.
[[nodiscard]] constexpr ClockChoice clock_of_divisor(std::uint32_t divisor) noexcept
{
    ClockChoice c;
    c.divisor = divisor < 1 ? 1 : divisor > CLOCK_DIVISOR_MAX ? CLOCK_DIVISOR_MAX : divisor;
    while (!divisor_reachable(c.divisor) && c.divisor < CLOCK_DIVISOR_MAX) {
        ++c.divisor;
    }
    c.request_khz = CLOCK_BASE_KHZ / c.divisor;
    c.actual_hz = static_cast<std::uint32_t>(CLOCK_BASE_HZ / c.divisor);
    return c;
}

// The fastest clock the libraries can send that is not above `hz`. Below the slowest clock (and for 0) the
// slowest, with `raised` set: the caller refuses that or says so.
[[nodiscard]] constexpr ClockChoice clock_not_above_hz(std::uint64_t hz) noexcept
{
    if (hz < CLOCK_SLOWEST_HZ) {
        ClockChoice c = clock_of_divisor(CLOCK_DIVISOR_MAX);
        c.raised = true;
        return c;
    }
    return clock_of_divisor(static_cast<std::uint32_t>((CLOCK_BASE_HZ + hz - 1) / hz));
}

[[nodiscard]] constexpr ClockChoice clock_not_above_khz(std::uint32_t khz) noexcept
{
    return clock_not_above_hz(std::uint64_t{khz} * 1000);
}

namespace detail {
// Every divisor the libraries can send survives the round trip, and a
// request never runs faster than asked nor slower than it must.
constexpr bool clock_rule_holds() noexcept
{
    if (!divisor_reachable(CLOCK_DIVISOR_MAX)) {
        return false;
    }
    for (std::uint32_t d = 1; d <= CLOCK_DIVISOR_MAX; ++d) {
        const ClockChoice c = clock_of_divisor(d);
        if (library_divisor(c.request_khz) != c.divisor || (divisor_reachable(d) && c.divisor != d) ||
            clock_not_above_hz((CLOCK_BASE_HZ + d - 1) / d).divisor != c.divisor) {
            return false;
        }
    }
    for (std::uint32_t khz = CLOCK_SLOWEST_KHZ_UP; khz <= CLOCK_BASE_KHZ; khz += 7) {
        const ClockChoice c = clock_not_above_khz(khz);
        std::uint32_t faster = c.divisor - 1;
        while (faster > 0 && !divisor_reachable(faster)) {
            --faster;
        }
        if (c.raised || c.actual_hz > std::uint64_t{khz} * 1000 ||
            (faster > 0 && CLOCK_BASE_HZ <= std::uint64_t{khz} * 1000 * faster)) {
            return false;
        }
    }
    return true;
}
} // namespace detail
static_assert(detail::clock_rule_holds());
static_assert(clock_not_above_khz(7000).actual_hz == 6666666);
static_assert(clock_not_above_khz(235).raised && !clock_not_above_khz(236).raised);
static_assert(clock_not_above_khz(241).divisor == 250 && !divisor_reachable(249));
static_assert(clock_of_divisor(CLOCK_DIVISOR_MAX).period_ns() == 4250 &&
              clock_of_divisor(1).period_ns() == 17);

} // namespace orv
