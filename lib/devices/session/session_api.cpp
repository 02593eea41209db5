// The C functions of the session, the reports and the clock rule.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "lib/wire/clock_rule.hpp"

#include "lib/devices/session/api_guard.hpp"

namespace orv::dev {

namespace {

// The longest per-transfer time limit a session takes: ten minutes.
constexpr std::uint32_t MAX_TIMEOUT_MS = 600000;

template <std::size_t N> void copy_text(char (&to)[N], const std::string& from) noexcept
{
    std::snprintf(to, N, "%s", from.c_str());
}

} // namespace

void clear_report(orvdev_report* report) noexcept
{
    if (report != nullptr) {
        std::memset(report, 0, sizeof *report);
        report->byte_index = -1;
        report->message_index = -1;
    }
}

void fill_report(orvdev_report* report, const Failure& failure) noexcept
{
    if (report == nullptr) {
        return;
    }
    clear_report(report);
    report->code = failure.code();
    report->bus_code = failure.bus_code();
    copy_text(report->message, failure.what());
    copy_text(report->hint, failure.hint());
    copy_text(report->detail, failure.detail());
    copy_text(report->recovery_file, failure.recovery_file());
    report->byte_index = failure.byte_index();
    report->message_index = failure.message_index();
    const auto& done = failure.done();
    // The last steps matter most when there are more than fit.
    const std::size_t skip = done.size() > ORVDEV_DONE_MAX ? done.size() - ORVDEV_DONE_MAX : 0;
    for (std::size_t i = skip; i < done.size(); ++i) {
        orvdev_done& d = report->done[report->done_count++];
        copy_text(d.action, done[i].action);
        for (const Done::Count& c : done[i].counts) {
            if (d.count_count == ORVDEV_COUNTS_MAX) {
                break;
            }
            orvdev_count& out = d.counts[d.count_count++];
            copy_text(out.unit, c.unit);
            out.done = c.done;
            out.has_total = c.total.has_value() ? 1 : 0;
            out.total = c.total.value_or(0);
        }
        d.has_from = done[i].from.has_value() ? 1 : 0;
        d.from = done[i].from.value_or(0);
        d.has_stopped_at = done[i].stopped_at.has_value() ? 1 : 0;
        d.stopped_at = done[i].stopped_at.value_or(0);
        d.address_digits = done[i].address_digits;
    }
}

std::int32_t refuse(orvdev_report* report, std::int32_t code, const char* message) noexcept
{
    clear_report(report);
    if (report != nullptr) {
        report->code = code;
        std::snprintf(report->message, sizeof report->message, "%s", message);
    }
    return code;
}

orvdev_clock clock_to_c(const ClockChoice& clock) noexcept
{
    return orvdev_clock{clock.actual_hz, clock.divisor, clock.request_khz, clock.raised ? 1 : 0};
}

} // namespace orv::dev

using namespace orv::dev;

extern "C" {

void orvdev_session_options_init(orvdev_session_options* options)
{
    if (options != nullptr) {
        *options = orvdev_session_options{ORVDEV_DEFAULT_TIMEOUT_MS, nullptr, nullptr};
    }
}

int32_t orvdev_session_open(libusb_device_handle* handle, const orvdev_session_options* options,
                            orvdev_session** out, orvdev_report* report)
{
    orvdev_session_options chosen{};
    orvdev_session_options_init(&chosen);
    if (options != nullptr) {
        chosen = *options;
    }
    if (handle == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "no adapter handle, or nowhere to put the session");
    }
    if (chosen.timeout_ms == 0 || chosen.timeout_ms > MAX_TIMEOUT_MS) {
        return refuse(
            report, ORVDEV_ERROR_INVALID_ARGUMENT,
            "the timeout must be 1 to 600000 ms (0, no limit, would let a read-back wait for ever)");
    }
    orvdev_session* session = new (std::nothrow) orvdev_session(handle, chosen);
    if (session == nullptr) {
        return refuse(report, LIBUSB_ERROR_NO_MEM, "out of memory");
    }
    const std::int32_t rc = guarded(nullptr, report, [&] { session->purge_at_open(); });
    if (rc != 0) {
        delete session;
        return rc;
    }
    *out = session;
    return 0;
}

void orvdev_session_close(orvdev_session* session)
{
    delete session;
}

void orvdev_session_set_progress(orvdev_session* session, orvdev_progress_fn progress, void* user)
{
    if (session != nullptr) {
        session->set_progress(progress, user);
    }
}

void orvdev_session_progress_stage(const orvdev_session* session, uint32_t* index, uint32_t* count)
{
    const orv::dev::Session::StagePlace place =
        session != nullptr ? session->stage_place() : orv::dev::Session::StagePlace{};
    if (index != nullptr) {
        *index = place.index;
    }
    if (count != nullptr) {
        *count = place.count;
    }
}

void orvdev_session_touch(orvdev_session* session)
{
    if (session != nullptr) {
        session->touch();
    }
}

void orvdev_session_set_serial(orvdev_session* session, const char* serial)
{
    if (session != nullptr) {
        session->set_serial(serial);
    }
}

int32_t orvdev_session_claim(orvdev_session* session, orvdev_report* report)
{
    if (session == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no session");
    }
    session->touch();
    return guarded(nullptr, report, [&] { session->settle_readback(); });
}

int32_t orvdev_session_purge(orvdev_session* session, uint64_t* purged, orvdev_report* report)
{
    if (session == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no session");
    }
    return guarded(nullptr, report, [&] {
        const std::uint64_t n = session->purge();
        if (purged != nullptr) {
            *purged = n;
        }
    });
}

void orvdev_session_recover(orvdev_session* session)
{
    if (session != nullptr) {
        session->purge_after_failure();
    }
}

uint32_t orvdev_session_timeout(const orvdev_session* session)
{
    return session != nullptr ? session->timeout_ms() : 0;
}

orvdev_clock orvdev_clock_for_khz(uint32_t khz)
{
    return clock_to_c(orv::clock_not_above_khz(khz));
}

uint32_t orvdev_clock_period_ns(orvdev_clock clock)
{
    orv::ClockChoice c;
    c.divisor = clock.divisor;
    return c.period_ns();
}

} // extern "C"
