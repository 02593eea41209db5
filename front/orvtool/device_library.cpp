#include "front/orvtool/device_library.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string_view>

#include "lib/wire/value_text.hpp"

#include "front/orvtool/format.hpp"
#include "front/orvtool/interrupt.hpp"

namespace orvtool {

namespace {

// orvtool's hint for a result, naming its own commands and options; empty
// where the library's hint says it as well.
std::string orvtool_hint(std::int32_t rc, const Context& ctx, const char* library_hint)
{
    switch (rc) {
    case ORVDEV_ERROR_NO_FLASH:
        return "check the flash's power, chip select and MISO wiring, or lower --clock";
    case ORVDEV_ERROR_FLASH_UNKNOWN:
        return "check the wiring (the id may be garbled), lower --clock, or name the part with --part or its "
               "size with --size";
    case ORVDEV_ERROR_FLASH_PROTECTED:
        return "clear the protection with orvtool spi unprotect (see orvtool spi status)";
    case ORVDEV_ERROR_FLASH_WRITE_ENABLE:
        return "the flash may be held in reset or write-protected: check its wiring and orvtool spi status";
    case ORVDEV_ERROR_FLASH_LOCKED:
        return "pull WP# high (release the write-protect pin), then run orvtool spi unprotect again";
    case ORVDEV_ERROR_FLASH_BUSY:
        return ctx.sim
                   ? "the virtual flash stayed busy past its time limit: a heavily loaded machine slows the "
                     "virtual adapter; run the command again"
                   : "power-cycle the flash and retry; check the wiring";
    case ORVDEV_ERROR_UNKNOWN_PART: {
        std::string names;
        for (std::size_t i = 0; const char* name = orvdev_flash_part_name(i); ++i) {
            names += (i == 0 ? "" : ", ") + std::string(name);
        }
        return "--part takes one of the built-in parts: " + names;
    }
    case ORVDEV_ERROR_STOPPED:
        return "run the command again to finish";
    default:
        // Only where the library gave its general hint for the code: one of
        // its own (an I2C read-back's bounded wait) fits better.
        if (rc < 0 && rc >= TPW_ERROR_OTHER && std::string_view(library_hint) == orvdev_hint(rc)) {
            return hint_for_result(rc);
        }
        return {};
    }
}

Exit exit_for(std::int32_t rc)
{
    switch (rc) {
    case ORVDEV_ERROR_INVALID_ARGUMENT:
    case ORVDEV_ERROR_OUT_OF_RANGE:
    case ORVDEV_ERROR_UNKNOWN_PART:
    case ORVDEV_ERROR_BAD_INPUT:
    case ORVDEV_ERROR_UNKNOWN_PIN:
        return Exit::usage;
    case ORVDEV_ERROR_NO_ADAPTER:
        return Exit::no_adapter;
    default:
        return Exit::failed;
    }
}

// `user` is the stream the log goes to: stderr, or a worker's own under --each.
void log_to_stream(void* user, std::int32_t /*level*/, const char* message)
{
    *static_cast<std::ostream*>(user) << "orvtool: " << message << "\n";
}

} // namespace

ToolError device_error(std::int32_t rc, const orvdev_report& report, const Context& ctx,
                       const std::string& hint)
{
    std::string message = report.message[0] != '\0' ? report.message : orvdev_strerror(rc);
    if (rc == ORVDEV_ERROR_STOPPED && interrupting_signal() != 0) {
        message = std::string("interrupted by ") + signal_name(interrupting_signal()) + " (" +
                  orvdev_strerror(rc) + ")";
    }
    std::string chosen = !hint.empty() ? hint : orvtool_hint(rc, ctx, report.hint);
    if (chosen.empty()) {
        chosen = report.hint;
    }
    // The code shown is the bus library's where there is one, as every
    // failure on the wire has always shown it.
    const std::int32_t code = report.bus_code != 0 ? report.bus_code : rc;
    ToolError error(exit_for(rc), std::move(message), std::move(chosen), code, report.detail);
    std::vector<Done> done;
    for (std::uint32_t i = 0; i < report.done_count; ++i) {
        const orvdev_done& d = report.done[i];
        Done step;
        step.action = d.action;
        for (std::uint32_t c = 0; c < d.count_count; ++c) {
            const orvdev_count& n = d.counts[c];
            step.counts.push_back(
                Done::Count{n.unit, n.done, n.has_total != 0 ? std::optional(n.total) : std::nullopt});
        }
        step.from = d.has_from != 0 ? std::optional(d.from) : std::nullopt;
        step.stopped_at = d.has_stopped_at != 0 ? std::optional(d.stopped_at) : std::nullopt;
        step.address_digits = d.address_digits;
        done.push_back(std::move(step));
    }
    error.add_done(done);
    error.set_recovery_file(report.recovery_file);
    // The library empties the read-back itself after a failure on the wire.
    error.set_readback_emptied(report.bus_code != 0);
    return error;
}

SessionHandle open_session(libusb_device_handle* handle, std::uint32_t timeout_ms, const std::string& serial,
                           std::ostream* log)
{
    orvdev_session_options options{};
    orvdev_session_options_init(&options);
    options.timeout_ms = timeout_ms;
    options.log = log_to_stream;
    options.log_user = log != nullptr ? log : &std::cerr;
    orvdev_session* session = nullptr;
    orvdev_report report{};
    const std::int32_t rc = orvdev_session_open(handle, &options, &session, &report);
    if (rc != 0) {
        throw device_error(rc, report, Context{});
    }
    orvdev_session_set_serial(session, serial.c_str());
    return SessionHandle(session);
}

std::string stage_label(const std::string& stage, std::uint32_t index, std::uint32_t count)
{
    if (count < 2 || index == 0) {
        return stage;
    }
    return stage + " (" + std::to_string(index) + " of " + std::to_string(count) + ")";
}

std::string job_note(std::uint32_t index, std::uint32_t count, double stage_fraction, double job_seconds)
{
    if (count < 2 || index == 0 || index > count || job_seconds < 0.5) {
        return {};
    }
    // The stages weigh alike: a rough measure, refined as each one ends.
    const double done = (index - 1 + std::clamp(stage_fraction, 0.0, 1.0)) / count;
    if (done <= 0.0) {
        return {};
    }
    const auto left = static_cast<unsigned long>(job_seconds / done - job_seconds + 0.5);
    char text[48];
    if (left >= 3600) { // hours away: minutes and seconds would claim too much
        std::snprintf(text, sizeof text, "job ~%.1f h left", static_cast<double>(left) / 3600);
        return text;
    }
    std::snprintf(text, sizeof text, "job ~%lu:%02lu left", left / 60, left % 60);
    return text;
}

struct SessionBars::Bars {
    explicit Bars(const Context& context) : ctx(context) {}
    using Clock = std::chrono::steady_clock;
    const Context& ctx;
    std::unique_ptr<Progress> bar;
    std::string stage;
    std::uint32_t stage_index = 0;
    Clock::time_point job_started;

    static std::int32_t on_progress(void* user, const char* stage, std::uint64_t done, std::uint64_t total,
                                    std::int32_t unit)
    {
        auto* self = static_cast<Bars*>(user);
        if (interrupting_signal() != 0) {
            return ORVDEV_STOP;
        }
        std::uint32_t index = 0;
        std::uint32_t count = 0;
        orvdev_session_progress_stage(self->ctx.session, &index, &count);
        if (done == 0 || self->stage != stage || self->stage_index != index) {
            if (index <= 1) {
                self->job_started = Clock::now();
            }
            self->stage = stage;
            self->stage_index = index;
            self->bar.reset(); // clears the previous stage's line
            self->bar = std::make_unique<Progress>(self->ctx, stage_label(stage, index, count), total,
                                                   unit == ORVDEV_UNIT_BYTES);
        }
        const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
        const double seconds = std::chrono::duration<double>(Clock::now() - self->job_started).count();
        self->bar->update(done, job_note(index, count, fraction, seconds));
        return ORVDEV_CONTINUE;
    }
};

SessionBars::SessionBars(const Context& ctx) : ctx_(ctx), bars_(std::make_unique<Bars>(ctx))
{
    if (ctx_.session != nullptr) {
        orvdev_session_set_progress(ctx_.session, &Bars::on_progress, bars_.get());
    }
}

SessionBars::~SessionBars()
{
    if (ctx_.session != nullptr) {
        orvdev_session_set_progress(ctx_.session, nullptr, nullptr);
    }
}

void SessionBars::finish()
{
    bars_->bar.reset();
}

std::string clock_text(const orvdev_clock& clock, std::uint32_t asked_khz)
{
    const std::uint32_t khz = clock.actual_hz / 1000;
    if (clock.raised != 0) {
        return std::to_string(khz) + " kHz (" + std::to_string(asked_khz) +
               " asked: raised to the slowest clock the adapter makes)";
    }
    if (std::uint64_t{asked_khz} * 1000 == clock.actual_hz) {
        return std::to_string(khz) + " kHz";
    }
    return std::to_string(khz) + " kHz (" + std::to_string(asked_khz) +
           " asked: the fastest clock the adapter makes at or below it)";
}

} // namespace orvtool
