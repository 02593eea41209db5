// A lease on the adapter: one user of it (a flash, a JTAG chain, an I2C bus,
// a raw JTAG or SPI port) with the set-up it needs.
//
// The adapter has one clock, one pair of modes and one set of pin levels,
// whoever set them last. Each lease holds its set-up as the parameters that
// make it; the session knows which lease's set-up the adapter holds, and a
// lease's claim() sends its set-up only when the adapter last ran another
// lease's, the caller's own work (orvdev_session_touch), or a failed
// operation. Users of the adapter never keep that knowledge themselves.
#pragma once

#include <cstdint>
#include <variant>

#include <orv_lumo_spi.h>

#include "lib/devices/session/session.hpp"

namespace orv::dev {

// The JTAG connector: TCK (as the JTAG library takes it) and the pins.
struct JtagSetup {
    std::uint32_t tck_khz = 0;
    std::uint16_t direction = 0;
    std::uint16_t level = 0;
};

// The SPI connector: the clock, the modes and the idle levels that
// lumo_spi_set_config sends for this record.
struct SpiSetup {
    lumo_spi_config config{};
};

// The I2C connector: the clock (as the I2C library takes it), sent with the
// per-transfer time limit of the bus.
struct I2cSetup {
    std::uint32_t clock_khz = 0;
    std::uint32_t timeout_ms = 0;
};

using Setup = std::variant<JtagSetup, SpiSetup, I2cSetup>;

// Sends `setup` (one OUT transfer: tapwire_tckset and tapwire_ioset for JTAG
// make two); throws Failure with the bus code.
void send_setup(const Session& session, const Setup& setup);

class Lease {
public:
    // Sends nothing: the set-up goes with the first claim().
    Lease(Session& session, const Setup& setup) noexcept : session_(session), setup_(setup) {}
    // Another lease made at this address must send its own set-up.
    ~Lease() { session_.release(*this); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    [[nodiscard]] Session& session() const noexcept { return session_; }
    [[nodiscard]] const Setup& setup() const noexcept { return setup_; }
    // Whether the adapter holds this lease's set-up now.
    [[nodiscard]] bool holds_adapter() const noexcept { return session_.holds(*this); }

    // Makes the adapter this lease's for an operation: empties a read-back
    // an earlier failure left unsettled, then sends the set-up unless the
    // adapter holds it already. True when it sent the set-up. Throws Failure.
    bool claim() { return session_.claim(*this); }

    // A new set-up, sent with the next claim() that needs it. While the
    // adapter holds this lease's set-up the caller sends what changed itself
    // (after Session::settle_readback), or calls forget_adapter() to have
    // the whole set-up sent again.
    void set_setup(const Setup& setup) noexcept { setup_ = setup; }
    void forget_adapter() noexcept { session_.release(*this); }

private:
    Session& session_;
    Setup setup_;
};

} // namespace orv::dev
