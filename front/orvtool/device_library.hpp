// orvtool's side of the device library: its handles owned, its failures
// turned into orvtool's errors (with orvtool's hints, naming its commands and
// options), and its progress shown as orvtool's bars.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "front/orvtool/context.hpp"
#include "front/orvtool/errors.hpp"
#include "orv_devices.h"

namespace orvtool {

struct DeviceCloser {
    void operator()(orvdev_session* s) const noexcept { orvdev_session_close(s); }
    void operator()(orvdev_jtag* j) const noexcept { orvdev_jtag_close(j); }
    void operator()(orvdev_flash* f) const noexcept { orvdev_flash_close(f); }
    void operator()(orvdev_i2c* i) const noexcept { orvdev_i2c_close(i); }
    void operator()(orvdev_bsdl* f) const noexcept { orvdev_bsdl_free(f); }
    void operator()(orvdev_bscan* b) const noexcept { orvdev_bscan_close(b); }
    void operator()(orvdev_netlist* n) const noexcept { orvdev_netlist_free(n); }
    void operator()(orvdev_connect_result* r) const noexcept { orvdev_connect_result_free(r); }
    void operator()(orvdev_bsdl_files* f) const noexcept { orvdev_bsdl_files_free(f); }
    void operator()(orvdev_layout* l) const noexcept { orvdev_layout_free(l); }
};
using SessionHandle = std::unique_ptr<orvdev_session, DeviceCloser>;
using JtagHandle = std::unique_ptr<orvdev_jtag, DeviceCloser>;
using FlashHandle = std::unique_ptr<orvdev_flash, DeviceCloser>;
using I2cHandle = std::unique_ptr<orvdev_i2c, DeviceCloser>;
using BsdlHandle = std::unique_ptr<orvdev_bsdl, DeviceCloser>;
using BscanHandle = std::unique_ptr<orvdev_bscan, DeviceCloser>;
using NetlistHandle = std::unique_ptr<orvdev_netlist, DeviceCloser>;
using ConnectResultHandle = std::unique_ptr<orvdev_connect_result, DeviceCloser>;
using BsdlFilesHandle = std::unique_ptr<orvdev_bsdl_files, DeviceCloser>;

// The error for a failed call: the library's message, detail and what was
// done; orvtool's hint where it knows a better one (`hint` first, when not
// empty). The exit status: 2 for arguments the library refused, else 1.
ToolError device_error(std::int32_t rc, const orvdev_report& report, const Context& ctx,
                       const std::string& hint = {});

// Throws device_error for a non-zero result.
inline void check_device(std::int32_t rc, const orvdev_report& report, const Context& ctx,
                         const std::string& hint = {})
{
    if (rc != 0) {
        throw device_error(rc, report, ctx, hint);
    }
}

// Opens a session on the adapter, emptying its read-back; its log lines go
// to `log` (stderr when null) as "orvtool: ...". `serial` (may be empty)
// names the recovery files of a failed flash write.
SessionHandle open_session(libusb_device_handle* handle, std::uint32_t timeout_ms,
                           const std::string& serial = {}, std::ostream* log = nullptr);

// Progress bars for the session's operations while it lives: each stage the
// library starts gets a bar of its own (drawn only where ctx.progress).
class SessionBars {
public:
    explicit SessionBars(const Context& ctx);
    ~SessionBars();
    SessionBars(const SessionBars&) = delete;
    SessionBars& operator=(const SessionBars&) = delete;
    // Clears the bar of the last stage.
    void finish();

private:
    struct Bars;
    const Context& ctx_;
    std::unique_ptr<Bars> bars_;
};

// A stage's label with its place in a multi-stage operation: "write (3 of
// 4)"; the stage alone when the operation has one.
std::string stage_label(const std::string& stage, std::uint32_t index, std::uint32_t count);
// The estimate for the rest of a multi-stage operation ("job ~1:05 left"),
// `job_seconds` into it with `stage_fraction` of stage `index` done; empty
// for a single stage or before half a second.
std::string job_note(std::uint32_t index, std::uint32_t count, double stage_fraction, double job_seconds);

// "6666 kHz" for what runs, with "(7000 asked: the fastest clock not above
// it)" when it differs from the request.
std::string clock_text(const orvdev_clock& clock, std::uint32_t asked_khz);

} // namespace orvtool
