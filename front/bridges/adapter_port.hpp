// One adapter shared by the bridges: JTAG clocks through the sequence engine,
// SPI transfers through the SPI library, and the set-up each needs.
//
// The adapter has one clock divisor, one pair of mode settings and one active
// connector at a time, so switching between JTAG and SPI work re-sends the
// other side's set-up first (TCK divisor and pins; SPI configuration), and
// the first JTAG command after a switch is a TMS command, which makes the
// JTAG connector active again.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include <libusb.h>

#include "lib/wire/clock_rule.hpp"
#include "lib/wire/jtag_sequence.hpp"
#include "orv_devices.h"
#include "orv_lumo_spi.h"

namespace orv::bridge {

struct PortSettings {
    // Per transfer. 0, which the libraries take as no limit (a read-back that
    // never fills would wait for ever), is replaced by the default.
    std::uint32_t timeout_ms = 1000;
    std::uint32_t tck_khz = 1000;
    std::uint16_t jtag_direction = 0;
    std::uint16_t jtag_level = 0;
    std::uint32_t spi_khz = 6000;
    std::size_t max_readback = engine::DEFAULT_MAX_READBACK;
};

// The adapter as the bridges reach it: its handle, and the device library's
// session on it, which knows when its read-back must be emptied.
struct AdapterBinding {
    libusb_device_handle* handle = nullptr;
    orvdev_session* session = nullptr;
};

class AdapterPort {
public:
    AdapterPort(AdapterBinding adapter, const PortSettings& settings, std::ostream& log);

    // Runs `clocks` (after the JTAG set-up, if SPI was used last) and
    // appends the TDO level of each sampled one to `tdo`. Nothing of them
    // stays queued, whatever the result: what a session has not handed over
    // here is its own.
    [[nodiscard]] std::int32_t run_jtag(std::span<const engine::Clock> clocks,
                                        std::vector<std::uint8_t>& tdo);
    // Sets TCK to the fastest clock not above `hz` (the clock rule); `chosen` gets it.
    [[nodiscard]] std::int32_t set_tck(std::uint64_t hz, ClockChoice& chosen);

    // One chip-select window: `write` out, then `read.size()` bytes in.
    // TPW_ERROR_INVALID_PARAM (nothing sent) when the library cannot do it in
    // one transaction: more than 5 bytes out followed by a read, unless both
    // fit one full-duplex transfer of at most LUMO_SPI_MAX_READ_BYTES.
    [[nodiscard]] std::int32_t spi_transfer(std::span<const std::uint8_t> write,
                                            std::span<std::uint8_t> read);
    [[nodiscard]] std::int32_t set_spi_clock(std::uint64_t hz, std::uint32_t& actual_hz);

    // After a failed operation: the session throws away what the adapter
    // still holds (and empties it again before the next operation when bytes
    // may still come); a line on the log. The next operation re-sends its
    // set-up.
    void recover(std::string_view who);
    // When a client's session ends, for any reason: empties the read-back
    // (a line on the log only when it held something or the purge failed),
    // so that the next client starts from a clean adapter. The set-up stays.
    void end_session(std::string_view who);
    // The adapter came back under a new handle and session (after it was
    // unplugged): everything is set up again on it.
    void rebind(AdapterBinding adapter);

    // SPI operations run, for the summary at the end.
    [[nodiscard]] std::uint64_t spi_operations() const noexcept { return spi_operations_; }
    [[nodiscard]] const engine::SequenceStats& jtag_stats() const noexcept { return sequencer_.stats(); }
    [[nodiscard]] libusb_device_handle* handle() const noexcept { return handle_; }
    [[nodiscard]] std::uint32_t timeout_ms() const noexcept { return settings_.timeout_ms; }
    [[nodiscard]] std::ostream& log() noexcept { return log_; }

private:
    enum class Side { none, jtag, spi };
    [[nodiscard]] std::int32_t use_jtag();
    [[nodiscard]] std::int32_t use_spi();
    // Before each transfer: what an earlier failure may have left in the
    // read-back is emptied first, so that no exchange takes it as its own.
    [[nodiscard]] std::int32_t claim();

    libusb_device_handle* handle_;
    orvdev_session* session_;
    PortSettings settings_;
    std::ostream& log_;
    engine::JtagSequencer sequencer_;
    lumo_spi_config spi_{};
    Side side_ = Side::none;
    std::uint64_t spi_operations_ = 0;
};

// The library's text for a result code.
[[nodiscard]] std::string result_name(std::int32_t rc);

} // namespace orv::bridge
