// A session with one adapter: the handle and the time limit every transfer
// gets, the log and progress callbacks, the discipline that keeps the
// adapter's read-back in step with the operations, and which handle's set-up
// the adapter holds.
//
// The bus libraries take whatever bytes the adapter holds as the answer of
// the operation at hand. Bytes left behind by a failed exchange (in this
// session, or in another program before it) would be handed out as the next
// operation's data, with success. So the session empties the read-back when
// it opens and after an operation failed on the wire, and says so on its log
// when that threw bytes away or failed.
//
// It is also the one place that knows which lease's set-up the adapter holds
// (lease.hpp): a lease sends its set-up when it claims the adapter after
// another lease, the caller's own work or a failure.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <libusb.h>

#include "orv_devices.h"

namespace orv::dev {

using Bytes = std::vector<std::uint8_t>;

// Told how much of a long step is done (bytes, blocks, addresses).
using Progressed = std::function<void(std::uint64_t done)>;

class Lease;

// The session as the operations see it. Calls on it come from one thread.
class Session {
public:
    Session(libusb_device_handle* handle, const orvdev_session_options& options) noexcept;

    [[nodiscard]] libusb_device_handle* handle() const noexcept { return handle_; }
    [[nodiscard]] std::uint32_t timeout_ms() const noexcept { return timeout_ms_; }
    // The adapter's serial number as the caller gave it (cut to 63 bytes);
    // empty when not known.
    [[nodiscard]] std::string_view serial() const noexcept { return serial_.data(); }
    void set_serial(const char* serial) noexcept;

    void log(orvdev_log_level level, const std::string& message) const noexcept;

    void set_progress(orvdev_progress_fn callback, void* user) noexcept
    {
        progress_ = callback;
        progress_user_ = user;
    }
    // Where a multi-stage operation (read, erase, write, verify) is: its
    // stage from 1 and how many it has; 0 and 0 outside one.
    struct StagePlace {
        std::uint32_t index = 0;
        std::uint32_t count = 0;
    };
    [[nodiscard]] StagePlace stage_place() const noexcept { return stages_; }

    // Tells the progress callback; throws Failure(ORVDEV_ERROR_STOPPED) when
    // it asks to stop.
    void progress(const char* stage, std::uint64_t done, std::uint64_t total,
                  orvdev_progress_unit unit) const;

    // At open: throws Failure when the read-back cannot be emptied; logs a
    // line when it threw bytes away.
    void purge_at_open();
    // After an operation failed on the wire with `bus_code` (0: not known):
    // never throws; logs when it threw bytes away or could not empty the
    // read-back. The read-back stays unsettled when the purge failed (the
    // adapter still failing), or when the failure may bring bytes later (a
    // timeout: a read-back reported late, a command buffer run late).
    void purge_after_failure(std::int32_t bus_code = 0) noexcept;
    // Empties the read-back; throws Failure when it cannot, and the read-back
    // stays unsettled.
    std::uint64_t purge();
    // Before an operation sends its set-up: empties the read-back when a
    // failure left it unsettled, so that its bytes are not taken as the
    // operation's own; throws Failure when it still cannot.
    void settle_readback();

    // Makes the adapter `lease`'s: settles the read-back, then sends the
    // lease's set-up unless the adapter holds it already. True when it sent
    // the set-up; throws Failure (and no lease holds the adapter then).
    bool claim(const Lease& lease);
    [[nodiscard]] bool holds(const Lease& lease) const noexcept { return holder_ == &lease; }
    // The lease goes, or its set-up must be sent whole again.
    void release(const Lease& lease) noexcept
    {
        if (holder_ == &lease) {
            holder_ = nullptr;
        }
    }
    // The caller used the adapter through the bus libraries: no lease's
    // set-up is known to be there.
    void touch() noexcept { holder_ = nullptr; }

private:
    libusb_device_handle* handle_;
    std::uint32_t timeout_ms_;
    orvdev_log_fn log_;
    void* log_user_;
    orvdev_progress_fn progress_ = nullptr;
    void* progress_user_ = nullptr;
    const Lease* holder_ = nullptr; // whose set-up the adapter holds; null: none known
    bool unsettled_ = false;
    std::array<char, 64> serial_{};
    // Progress bookkeeping, kept by Stages and Progress, which see the
    // session as the operations do (const).
    mutable StagePlace stages_;
    friend class Stages;
    friend class Progress;
};

// A multi-stage operation, while it lives: each Progress made then starts its
// next stage. drop() says that a planned stage will not run after all (a
// write with nothing to erase).
class Stages {
public:
    Stages(const Session& session, std::uint32_t count) noexcept : session_(session), outer_(session.stages_)
    {
        session_.stages_ = Session::StagePlace{0, count};
    }
    ~Stages() { session_.stages_ = outer_; }
    Stages(const Stages&) = delete;
    Stages& operator=(const Stages&) = delete;
    void drop() const noexcept
    {
        if (session_.stages_.count > session_.stages_.index) {
            --session_.stages_.count;
        }
    }

private:
    const Session& session_;
    Session::StagePlace outer_;
};

// A stage of a long operation, as the progress callback hears of it: started
// with done 0, then told of each step. update() throws
// Failure(ORVDEV_ERROR_STOPPED) when the callback asks to stop: call it where
// the part is left consistent.
class Progress {
public:
    Progress(const Session& session, const char* stage, std::uint64_t total, orvdev_progress_unit unit);
    void update(std::uint64_t done) const;

private:
    const Session& session_;
    const char* stage_;
    std::uint64_t total_;
    orvdev_progress_unit unit_;
};

} // namespace orv::dev

// The C handle is the session.
struct orvdev_session : orv::dev::Session {
    using Session::Session;
};
