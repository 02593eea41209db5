#include "front/bridges/adapter_port.hpp"

namespace orv::bridge {

std::string result_name(std::int32_t rc)
{
    return std::string(orvdev_strerror(rc)) + " (" + std::to_string(rc) + ")";
}

AdapterPort::AdapterPort(orvdev_session* session, const PortSettings& settings, std::ostream& log)
    : session_(session), settings_(settings), log_(log)
{
    open_ports();
}

AdapterPort::~AdapterPort()
{
    unbind();
}

void AdapterPort::open_ports()
{
    orvdev_jtag_port_options jtag{};
    orvdev_jtag_port_options_init(&jtag);
    jtag.tck_khz = settings_.tck_khz;
    jtag.max_readback = settings_.max_readback;
    orvdev_spi_port_options spi{};
    orvdev_spi_port_options_init(&spi);
    spi.clock_khz = settings_.spi_khz;
    // Opening sends nothing; it fails only for want of memory, and a port
    // left null refuses every operation.
    (void)orvdev_jtag_port_open(session_, &jtag, &jtag_, nullptr);
    (void)orvdev_spi_port_open(session_, &spi, &spi_, nullptr);
    // The clocks the clients chose, sent with the set-up.
    orvdev_clock chosen{};
    if (tck_hz_ != 0) {
        (void)orvdev_jtag_port_set_tck(jtag_, tck_hz_, &chosen, nullptr);
    }
    if (spi_hz_ != 0) {
        (void)orvdev_spi_port_set_clock(spi_, spi_hz_, &chosen, nullptr);
    }
}

std::int32_t AdapterPort::run_jtag(std::span<const std::uint8_t> clocks, std::span<std::uint8_t> tdo)
{
    return orvdev_jtag_clocks(jtag_, clocks.data(), clocks.size(), tdo.data(), tdo.size(), nullptr);
}

std::int32_t AdapterPort::set_tck(std::uint64_t hz, orvdev_clock& chosen)
{
    const std::int32_t rc = orvdev_jtag_port_set_tck(jtag_, hz, &chosen, nullptr);
    tck_hz_ = hz;
    return rc;
}

std::int32_t AdapterPort::set_trst(std::int32_t trst)
{
    trst_ = trst;
    return orvdev_jtag_port_set_trst(jtag_, trst, nullptr);
}

void AdapterPort::release_trst(std::string_view who)
{
    if (trst_ == ORVDEV_TRST_Z) {
        return;
    }
    trst_ = ORVDEV_TRST_Z;
    orvdev_report report{};
    if (orvdev_jtag_port_set_trst(jtag_, ORVDEV_TRST_Z, &report) != 0) {
        // The port keeps TRST released and sends its whole set-up before its
        // next operation.
        log_ << who << ": could not release TRST after the client left: " << report.message << "\n";
    }
}

std::int32_t AdapterPort::spi_transfer(std::span<const std::uint8_t> write, std::span<std::uint8_t> read)
{
    return orvdev_spi_transfer(spi_, write.data(), write.size(), read.data(), read.size(), nullptr);
}

std::int32_t AdapterPort::set_spi_clock(std::uint64_t hz, std::uint32_t& actual_hz)
{
    orvdev_clock chosen{};
    const std::int32_t rc = orvdev_spi_port_set_clock(spi_, hz, &chosen, nullptr);
    spi_hz_ = hz;
    actual_hz = chosen.actual_hz;
    return rc;
}

void AdapterPort::recover(std::string_view who)
{
    log_ << who << ": emptying the adapter's read-back after a failed operation\n";
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

void AdapterPort::unbind() noexcept
{
    carried_ = jtag_stats();
    carried_spi_ = spi_operations();
    orvdev_jtag_port_close(jtag_);
    orvdev_spi_port_close(spi_);
    jtag_ = nullptr;
    spi_ = nullptr;
}

void AdapterPort::rebind(orvdev_session* session)
{
    unbind();
    session_ = session;
    trst_ = ORVDEV_TRST_Z; // the new ports start with it released
    open_ports();
}

orvdev_jtag_port_stats AdapterPort::jtag_stats() const noexcept
{
    orvdev_jtag_port_stats now{};
    orvdev_jtag_port_get_stats(jtag_, &now);
    return orvdev_jtag_port_stats{carried_.runs + now.runs,
                                  carried_.clocks + now.clocks,
                                  carried_.out_transfers + now.out_transfers,
                                  carried_.stream_bytes + now.stream_bytes,
                                  carried_.exchanges + now.exchanges,
                                  carried_.readback_bytes + now.readback_bytes};
}

std::uint64_t AdapterPort::spi_operations() const noexcept
{
    return carried_spi_ + orvdev_spi_port_transfers(spi_);
}

} // namespace orv::bridge
