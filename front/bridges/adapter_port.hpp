// One adapter shared by the bridges: a raw JTAG port for the clocks of
// remote_bitbang and XVC, and a raw SPI port for serprog's windows, both
// leases of the device library's session. The session knows which of them
// (or which other user) the adapter's clock, pins and modes were last set
// for, and sends a port's set-up again when it must; it also empties the
// adapter's read-back after a failure.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "orv_devices.h"

namespace orv::bridge {

struct PortSettings {
    std::uint32_t tck_khz = 1000;
    std::uint32_t spi_khz = 6000;
    std::uint32_t max_readback = 512; // the most any bus library call asks of the adapter
};

class AdapterPort {
public:
    // Opens the ports on `session`; nothing is sent.
    AdapterPort(orvdev_session* session, const PortSettings& settings, std::ostream& log);
    ~AdapterPort();
    AdapterPort(const AdapterPort&) = delete;
    AdapterPort& operator=(const AdapterPort&) = delete;

    // Runs `clocks` (orvdev_clock_flag bytes) and puts the TDO level of each
    // sampled one into `tdo`, which has room for exactly those. What a
    // session has not handed over here is its own. 0 or the library's code.
    [[nodiscard]] std::int32_t run_jtag(std::span<const std::uint8_t> clocks, std::span<std::uint8_t> tdo);
    // Sets TCK to the fastest clock not above `hz` (the clock rule); `chosen` gets it.
    [[nodiscard]] std::int32_t set_tck(std::uint64_t hz, orvdev_clock& chosen);
    // Drives the connector's TRST pin (an orvdev_trst); the port keeps it so
    // until it is changed or released.
    [[nodiscard]] std::int32_t set_trst(std::int32_t trst);
    // The TRST level the port holds (ORVDEV_TRST_Z: released, as at the start).
    [[nodiscard]] std::int32_t trst() const noexcept { return trst_; }

    // One chip-select window: `write` out, then `read.size()` bytes in.
    // ORVDEV_ERROR_INVALID_ARGUMENT (nothing sent) when the SPI library
    // cannot make it one transaction: more than 5 bytes out followed by a
    // read, unless both fit one full-duplex transfer of 512 bytes.
    [[nodiscard]] std::int32_t spi_transfer(std::span<const std::uint8_t> write,
                                            std::span<std::uint8_t> read);
    [[nodiscard]] std::int32_t set_spi_clock(std::uint64_t hz, std::uint32_t& actual_hz);

    // After a failed operation: a line on the log. The library emptied the
    // adapter's read-back after the failure (and empties it again before the
    // next operation when bytes may still come); the next operation sends
    // its set-up again.
    void recover(std::string_view who);
    // When a client's session ends, for any reason: empties the read-back
    // (a line on the log only when it held something or the purge failed),
    // so that the next client starts from a clean adapter. The set-up stays.
    void end_session(std::string_view who);
    // When a JTAG client's session ends: TRST released again if the client
    // drove it (a line on the log when that fails), so that the next client
    // does not find the TAPs held in reset.
    void release_trst(std::string_view who);
    // The adapter went away: the ports close before its session does.
    void unbind() noexcept;
    // The adapter came back under a new session (after it was unplugged):
    // the ports open on it, and everything is set up again.
    void rebind(orvdev_session* session);

    // What the ports did since the server started, for the summary at the end.
    [[nodiscard]] orvdev_jtag_port_stats jtag_stats() const noexcept;
    [[nodiscard]] std::uint64_t spi_operations() const noexcept;
    [[nodiscard]] std::ostream& log() noexcept { return log_; }

private:
    void open_ports();

    orvdev_session* session_;
    PortSettings settings_;
    std::ostream& log_;
    orvdev_jtag_port* jtag_ = nullptr;
    orvdev_spi_port* spi_ = nullptr;
    // The clocks the clients chose last: kept across a rebind.
    std::uint64_t tck_hz_ = 0;
    std::uint64_t spi_hz_ = 0;
    std::int32_t trst_ = ORVDEV_TRST_Z;
    // What ports closed by unbind() had done.
    orvdev_jtag_port_stats carried_{};
    std::uint64_t carried_spi_ = 0;
};

// The library's text for a result code.
[[nodiscard]] std::string result_name(std::int32_t rc);

} // namespace orv::bridge
