#include "front/orvtool/device_library.hpp"

#include <iostream>

#include "lib/wire/value_text.hpp"

#include "front/orvtool/format.hpp"
#include "front/orvtool/interrupt.hpp"

namespace orvtool {

namespace {

// orvtool's hint for a result, naming its own commands and options; empty
// where the library's hint says it as well.
std::string orvtool_hint(std::int32_t rc, const Context& ctx)
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
        if (rc < 0 && rc >= TPW_ERROR_OTHER) {
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
    std::string chosen = !hint.empty() ? hint : orvtool_hint(rc, ctx);
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

struct SessionBars::Bars {
    explicit Bars(const Context& ctx) : bars(ctx) {}
    StageBars bars;
    std::string stage;
    Progressed update;

    static std::int32_t on_progress(void* user, const char* stage, std::uint64_t done, std::uint64_t total,
                                    std::int32_t unit)
    {
        auto* self = static_cast<Bars*>(user);
        if (interrupting_signal() != 0) {
            return ORVDEV_STOP;
        }
        if (done == 0 || self->stage != stage) {
            self->stage = stage;
            self->update = self->bars.begin(stage, total, unit == ORVDEV_UNIT_BYTES);
        }
        if (self->update) {
            self->update(done);
        }
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
    bars_->bars.finish();
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
