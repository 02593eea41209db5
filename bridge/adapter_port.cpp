#include "adapter_port.hpp"

#include <algorithm>
#include <vector>

#include "orv_tapwire.h"
#include "result.hpp"
#include "wire.hpp"

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

AdapterPort::AdapterPort(libusb_device_handle* handle, const PortSettings& settings, std::ostream& log)
    : handle_(handle), settings_(with_bounded_timeout(settings)), log_(log),
      sequencer_(handle, settings_.timeout_ms, settings_.max_readback)
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
    const std::int32_t rc = use_jtag();
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
    return tapwire_tckset(handle_, settings_.tck_khz, settings_.timeout_ms);
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
    return use_spi();
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
    const std::int32_t set = use_spi();
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

void AdapterPort::recover(std::string_view who)
{
    // What the failed operation left set up is unknown: set up again.
    side_ = Side::none;
    sequencer_.forget_tms_level();
    purge(who, "after a failed operation", true);
}

void AdapterPort::end_session(std::string_view who)
{
    purge(who, "after the client left", false);
}

void AdapterPort::rebind(libusb_device_handle* handle)
{
    handle_ = handle;
    sequencer_.set_handle(handle);
    side_ = Side::none;
    sequencer_.forget_tms_level();
}

void AdapterPort::purge(std::string_view who, std::string_view why, bool always_log)
{
    std::uint64_t purged = 0;
    const std::int32_t rc = orv::purge_readback(handle_, settings_.timeout_ms, purged);
    if (always_log || purged != 0 || rc != RESULT_OK) {
        log_ << who << ": purged the adapter's read-back " << why << " (" << purged << " bytes"
             << (rc == RESULT_OK ? "" : ", purge stopped: " + result_name(rc)) << ")\n";
    }
}

} // namespace orv::bridge
