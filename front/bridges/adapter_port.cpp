#include "front/bridges/adapter_port.hpp"

#include <algorithm>
#include <vector>

#include "lib/wire/result_codes.hpp"
#include "lib/wire/wire.hpp"
#include "orv_tapwire.h"

namespace orv::bridge {

namespace {

// A stream address phase carries at most four bytes after the command byte.
constexpr std::size_t MAX_PREAMBLE = 5;

PortSettings with_bounded_timeout(PortSettings settings) noexcept
{
    if (settings.timeout_ms == 0) {
        settings.timeout_ms = PortSettings{}.timeout_ms;
    }
    return settings;
}

} // namespace

std::string result_name(std::int32_t rc)
{
    return std::string(tapwire_get_err_info(rc)) + " (" + std::to_string(rc) + ")";
}

AdapterPort::AdapterPort(AdapterBinding adapter, const PortSettings& settings, std::ostream& log)
    : handle_(adapter.handle), session_(adapter.session), settings_(with_bounded_timeout(settings)),
      log_(log), sequencer_(adapter.handle, settings_.timeout_ms, settings_.max_readback)
{
    spi_.clock_freq = settings.spi_khz;
    spi_.bit_order = 0;      // most significant bit first
    spi_.clock_polarity = 0; // mode 0
    spi_.cs_polarity = 0;    // chip select active low
}

std::int32_t AdapterPort::use_jtag()
{
    if (side_ == Side::jtag) {
        return RESULT_OK;
    }
    std::int32_t rc = tapwire_tckset(handle_, settings_.tck_khz, settings_.timeout_ms);
    if (rc == RESULT_OK) {
        rc = tapwire_ioset(handle_, settings_.jtag_direction, settings_.jtag_level, settings_.timeout_ms);
    }
    if (rc == RESULT_OK) {
        side_ = Side::jtag;
        sequencer_.forget_tms_level();
    }
    return rc;
}

std::int32_t AdapterPort::run_jtag(std::span<const engine::Clock> clocks, std::vector<std::uint8_t>& tdo)
{
    if (clocks.empty()) {
        return RESULT_OK;
    }
    std::int32_t rc = claim();
    if (rc == RESULT_OK) {
        rc = use_jtag();
    }
    if (rc != RESULT_OK) {
        return rc;
    }
    sequencer_.queue(clocks);
    return sequencer_.flush(tdo); // empties the queue on every path
}

std::int32_t AdapterPort::set_tck(std::uint64_t hz, ClockChoice& chosen)
{
    chosen = clock_not_above_hz(hz);
    settings_.tck_khz = chosen.request_khz;
    if (side_ != Side::jtag) {
        return RESULT_OK; // sent with the JTAG set-up
    }
    const std::int32_t rc = claim();
    return rc != RESULT_OK ? rc : tapwire_tckset(handle_, settings_.tck_khz, settings_.timeout_ms);
}

std::int32_t AdapterPort::use_spi()
{
    if (side_ == Side::spi) {
        return RESULT_OK;
    }
    const std::int32_t rc = lumo_spi_set_config(handle_, &spi_, settings_.timeout_ms);
    if (rc == RESULT_OK) {
        side_ = Side::spi;
    }
    return rc;
}

std::int32_t AdapterPort::set_spi_clock(std::uint64_t hz, std::uint32_t& actual_hz)
{
    const ClockChoice s = clock_not_above_hz(hz);
    spi_.clock_freq = s.request_khz;
    actual_hz = s.actual_hz;
    if (side_ != Side::spi) {
        return RESULT_OK;
    }
    side_ = Side::none; // re-send the configuration with the new divisor
    const std::int32_t rc = claim();
    return rc != RESULT_OK ? rc : use_spi();
}

std::int32_t AdapterPort::spi_transfer(std::span<const std::uint8_t> write, std::span<std::uint8_t> read)
{
    const bool preamble_then_read = write.size() <= MAX_PREAMBLE && read.size() <= LUMO_SPI_MAX_READ_BYTES;
    const bool duplex = write.size() + read.size() <= LUMO_SPI_MAX_READ_BYTES;
    if (!read.empty() && !preamble_then_read && !duplex) {
        return RESULT_INVALID_PARAM;
    }
    if (write.empty() && read.empty()) {
        return RESULT_OK;
    }
    std::int32_t set = claim();
    if (set == RESULT_OK) {
        set = use_spi();
    }
    if (set != RESULT_OK) {
        return set;
    }
    ++spi_operations_;
    lumo_spi_config config = spi_;
    const std::uint32_t timeout = settings_.timeout_ms;
    if (read.empty()) {
        // The first byte as the command byte, the rest as data.
        config.cmd_enable = 1;
        const auto data = write.subspan(1);
        return lumo_spi_read_write_bytes(handle_, static_cast<std::uint32_t>(data.size()),
                                         data.empty() ? nullptr : data.data(), nullptr, 0, write[0], 0,
                                         &config, timeout);
    }
    if (preamble_then_read) {
        // Command byte, up to four address bytes (top byte first), then the read.
        std::uint32_t address = 0;
        for (std::size_t i = 1; i < write.size(); ++i) {
            address = address << 8 | write[i];
        }
        config.cmd_enable = write.empty() ? 0 : 1;
        config.addr_bytes = static_cast<std::uint8_t>(write.empty() ? 0 : write.size() - 1);
        return lumo_spi_read_write_bytes(handle_, static_cast<std::uint32_t>(read.size()), nullptr,
                                         read.data(), address, write.empty() ? 0 : write[0], 0, &config,
                                         timeout);
    }
    // Everything as one full-duplex data phase; what comes in during the
    // write is dropped.
    std::vector<std::uint8_t> out(write.begin(), write.end());
    out.resize(write.size() + read.size(), 0xFF);
    std::vector<std::uint8_t> in(out.size());
    const std::int32_t rc = lumo_spi_read_write_bytes(handle_, static_cast<std::uint32_t>(out.size()),
                                                      out.data(), in.data(), 0, 0, 0, &config, timeout);
    if (rc == RESULT_OK) {
        std::copy(in.begin() + static_cast<std::ptrdiff_t>(write.size()), in.end(), read.begin());
    }
    return rc;
}

std::int32_t AdapterPort::claim()
{
    orvdev_report report{};
    const std::int32_t rc = orvdev_session_claim(session_, &report);
    if (rc == 0) {
        return RESULT_OK;
    }
    // The bus libraries' code of the purge that failed, as every other
    // failure of this port.
    return report.bus_code != 0 ? report.bus_code : TPW_ERROR_OTHER;
}

void AdapterPort::recover(std::string_view who)
{
    // What the failed operation left set up is unknown: set up again.
    side_ = Side::none;
    sequencer_.forget_tms_level();
    log_ << who << ": emptying the adapter's read-back after a failed operation\n";
    orvdev_session_recover(session_);
}

void AdapterPort::end_session(std::string_view who)
{
    std::uint64_t purged = 0;
    orvdev_report report{};
    const std::int32_t rc = orvdev_session_purge(session_, &purged, &report);
    if (rc != 0) {
        log_ << who << ": could not empty the adapter's read-back after the client left: " << report.message
             << "\n";
        orvdev_session_recover(session_); // emptied again before the next client's first transfer
    } else if (purged != 0) {
        log_ << who << ": threw away " << purged << " read-back bytes after the client left\n";
    }
}

void AdapterPort::rebind(AdapterBinding adapter)
{
    handle_ = adapter.handle;
    session_ = adapter.session;
    sequencer_.set_handle(adapter.handle);
    side_ = Side::none;
    sequencer_.forget_tms_level();
}

} // namespace orv::bridge
