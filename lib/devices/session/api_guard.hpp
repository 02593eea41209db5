// The C functions' side of a failure: run the C++ operation, and turn
// whatever it throws into a result code and the caller's report. No exception
// crosses the C ABI.
#pragma once

#include <cstdint>
#include <new>

#include "lib/wire/clock_rule.hpp"

#include "lib/devices/session/failure.hpp"
#include "lib/devices/session/session.hpp"
#include "orv_devices.h"

namespace orv::dev {

// Clears the report to "success".
void clear_report(orvdev_report* report) noexcept;
// Fills the report from a failure.
void fill_report(orvdev_report* report, const Failure& failure) noexcept;
// A failure with only a code and a message.
std::int32_t refuse(orvdev_report* report, std::int32_t code, const char* message) noexcept;

// A clock as the C functions give it.
orvdev_clock clock_to_c(const ClockChoice& clock) noexcept;

// The caller's options, or the defaults `init` fills when it gave none.
template <typename Options> Options given_or_default(const Options* given, void (*init)(Options*)) noexcept
{
    Options chosen{};
    init(&chosen);
    return given != nullptr ? *given : chosen;
}

// Runs `work` (which returns nothing, or throws). After a failure on the
// wire (a bus code behind it) the session's read-back is emptied. Returns 0
// or the failure's code.
template <typename Work> std::int32_t guarded(Session* session, orvdev_report* report, Work&& work) noexcept
{
    clear_report(report);
    try {
        work();
        return 0;
    } catch (const Failure& failure) {
        fill_report(report, failure);
        if (session != nullptr && (failure.bus_code() != 0 || failure.code() == ORVDEV_ERROR_FLASH_BUSY)) {
            session->purge_after_failure(failure.bus_code());
        }
        return failure.code();
    } catch (const std::bad_alloc&) {
        return refuse(report, LIBUSB_ERROR_NO_MEM, "out of memory");
    } catch (...) {
        return refuse(report, ORVDEV_ERROR_INTERNAL, "internal fault of the device library");
    }
}

} // namespace orv::dev
