// The SPI connector for transactions as a caller describes them: one
// chip-select window at a time, bytes written then bytes read (flashrom's
// serprog operations), or the caller's own transactions through the SPI
// library (orvdev_spi_port_claim).
//
// The port is a lease: its set-up (clock, modes, idle levels) goes out before
// its first window and again whenever another lease, the caller's own work or
// a failure came in between; a changed clock goes out at once while the
// adapter holds the port's set-up. Failures throw Failure with the bus code;
// the C functions around it empty the read-back after them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "lib/wire/clock_rule.hpp"

#include "lib/devices/session/lease.hpp"
#include "lib/devices/session/session.hpp"

namespace orv::dev {

class SpiPort {
public:
    // Sends nothing.
    SpiPort(Session& session, const SpiSetup& setup) noexcept : lease_(session, setup) {}
    SpiPort(const SpiPort&) = delete;
    SpiPort& operator=(const SpiPort&) = delete;

    [[nodiscard]] Session& session() const noexcept { return lease_.session(); }

    // Whether the SPI library makes a window of `write` bytes out, then
    // `read` bytes in, in one transaction: a command byte with up to four
    // address bytes before a read of at most LUMO_SPI_MAX_READ_BYTES, or
    // both in one full-duplex data phase of at most that many.
    [[nodiscard]] static bool one_window(std::size_t write, std::size_t read) noexcept;

    // One chip-select window (one_window() must hold; an empty one sends
    // nothing): `write` out, then `read.size()` bytes into `read`.
    void transfer(std::span<const std::uint8_t> write, std::span<std::uint8_t> read);

    // The clock from now on.
    void set_clock(const ClockChoice& clock);

    // The adapter made the port's for the caller's own work through the SPI
    // library, which must leave the set-up as it is.
    void claim_for_caller() { lease_.claim(); }

    // Windows sent (failed ones included).
    [[nodiscard]] std::uint64_t transfers() const noexcept { return transfers_; }

private:
    [[nodiscard]] const lumo_spi_config& config() const noexcept
    {
        return std::get<SpiSetup>(lease_.setup()).config;
    }

    Lease lease_;
    std::uint64_t transfers_ = 0;
};

} // namespace orv::dev

// The C handle is the port.
struct orvdev_spi_port : orv::dev::SpiPort {
    using SpiPort::SpiPort;
};
