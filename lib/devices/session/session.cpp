#include "lib/devices/session/session.hpp"

#include <cstdio>

#include "lib/wire/readback_purge.hpp"
#include "lib/wire/value_text.hpp"

#include "lib/devices/session/failure.hpp"
#include "lib/devices/session/lease.hpp"

namespace orv::dev {

namespace {

std::string code_text(std::int32_t rc)
{
    return std::string(orvdev_strerror(rc)) + " (code " + std::to_string(rc) + ")";
}

} // namespace

Session::Session(libusb_device_handle* handle, const orvdev_session_options& options) noexcept
    : handle_(handle), timeout_ms_(options.timeout_ms), log_(options.log), log_user_(options.log_user)
{
}

void Session::set_serial(const char* serial) noexcept
{
    std::snprintf(serial_.data(), serial_.size(), "%s", serial != nullptr ? serial : "");
}

void Session::log(orvdev_log_level level, const std::string& message) const noexcept
{
    if (log_ != nullptr) {
        log_(log_user_, level, message.c_str());
    }
}

void Session::progress(const char* stage, std::uint64_t done, std::uint64_t total,
                       orvdev_progress_unit unit) const
{
    if (progress_ != nullptr && progress_(progress_user_, stage, done, total, unit) == ORVDEV_STOP) {
        throw Failure(ORVDEV_ERROR_STOPPED, std::string("stopped at the caller's request (") + stage + ")");
    }
}

std::uint64_t Session::purge()
{
    std::uint64_t purged = 0;
    // Until a purge succeeds, bytes may still be there.
    unsettled_ = true;
    const std::int32_t rc = purge_readback(handle_, timeout_ms_, purged);
    if (rc == TPW_ERROR_TIMEOUT) {
        throw Failure(ORVDEV_ERROR_READBACK_STUCK, "cannot empty the adapter's read-back: " + code_text(rc),
                      "the adapter keeps reporting read-back bytes: unplug and replug it, then retry", rc);
    }
    if (rc != 0) {
        throw Failure(rc, "cannot empty the adapter's read-back: " + code_text(rc), hint_for_bus_code(rc),
                      rc);
    }
    unsettled_ = false;
    return purged;
}

void Session::purge_at_open()
{
    const std::uint64_t purged = purge();
    if (purged > 0) {
        log(ORVDEV_LOG_WARNING, "threw away " + count_text(purged, "byte") +
                                    " of read-back that the adapter still held (left by an earlier failure)");
    }
}

void Session::purge_after_failure(std::int32_t bus_code) noexcept
{
    try {
        std::uint64_t purged = 0;
        const std::int32_t rc = purge_readback(handle_, timeout_ms_, purged);
        if (rc == 0) {
            if (purged > 0) {
                log(ORVDEV_LOG_WARNING, "emptied the adapter's read-back after the failure (" +
                                            count_text(purged, "byte") + " thrown away)");
            }
        } else {
            log(ORVDEV_LOG_WARNING,
                "could not empty the adapter's read-back after the failure: " + code_text(rc));
        }
        // A purge sees only what the adapter reports now: after a timeout
        // (a read-back that never showed, a transfer the adapter may still
        // run) its bytes can come later, and a failed purge left them all.
        unsettled_ =
            rc != 0 || bus_code == 0 || bus_code == TPW_ERROR_TIMEOUT || bus_code == LIBUSB_ERROR_TIMEOUT;
    } catch (...) {
        // Building the log line failed; nothing more to do on the way out.
        unsettled_ = true;
    }
    // Whatever the adapter holds now, the next lease sends its set-up again.
    holder_ = nullptr;
}

void Session::settle_readback()
{
    if (!unsettled_) {
        return;
    }
    const std::uint64_t purged = purge();
    if (purged > 0) {
        log(ORVDEV_LOG_WARNING,
            "threw away " + count_text(purged, "byte") + " of read-back that an earlier failure left behind");
    }
}

bool Session::claim(const Lease& lease)
{
    settle_readback();
    if (holder_ == &lease) {
        return false;
    }
    // Until the set-up is all there, the adapter holds no lease's.
    holder_ = nullptr;
    send_setup(*this, lease.setup());
    holder_ = &lease;
    return true;
}

Progress::Progress(const Session& session, const char* stage, std::uint64_t total, orvdev_progress_unit unit)
    : session_(session), stage_(stage), total_(total), unit_(unit)
{
    Session::StagePlace& place = session_.stages_;
    if (place.index < place.count) {
        ++place.index;
    }
    session_.progress(stage_, 0, total_, unit_);
}

void Progress::update(std::uint64_t done) const
{
    session_.progress(stage_, done, total_, unit_);
}

} // namespace orv::dev
