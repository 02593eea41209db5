// The bus a 25-series flash is driven over: one transaction at a time, chip
// select asserted for it alone, mode 0 (or 3), most significant bit first.
// The adapter's own SPI connector is one such bus; pins of a device on the
// JTAG chain, driven through boundary scan, are another. The flash driver
// above knows nothing of which it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <orv_lumo_spi.h>

#include "lib/wire/clock_rule.hpp"

#include "lib/devices/session/lease.hpp"
#include "lib/devices/session/session.hpp"

namespace orv::dev::flash {

// One transaction: the command byte, the address (addr_bytes of it, most
// significant first) when given, dummy clocks, then `out` written or `in`
// read (one data phase at most).
struct SpiCommand {
    std::uint8_t command = 0;
    std::optional<std::uint64_t> addr{};
    unsigned addr_bytes = 3;
    std::uint32_t dummy_clocks = 0;
    std::span<const std::uint8_t> out{};
    std::span<std::uint8_t> in{};
};

class SpiBus {
public:
    SpiBus() = default;
    SpiBus(const SpiBus&) = delete;
    SpiBus& operator=(const SpiBus&) = delete;
    SpiBus(SpiBus&&) = delete;
    SpiBus& operator=(SpiBus&&) = delete;
    virtual ~SpiBus() = default;

    [[nodiscard]] virtual Session& session() const noexcept = 0;
    // The clock the bus runs its own lines at.
    [[nodiscard]] virtual const ClockChoice& clock() const noexcept = 0;
    // The most bytes one transaction reads.
    [[nodiscard]] virtual std::size_t max_read() const noexcept = 0;
    // Throws Failure naming `doing`.
    virtual void transact(const SpiCommand& command, const std::string& doing) = 0;
};

// The adapter's SPI connector, through the SPI library: one call per
// transaction, the set-up sent again only when another user had the adapter.
class AdapterSpiBus final : public SpiBus {
public:
    // The fastest clock not above clock_khz; the set-up goes out at once.
    AdapterSpiBus(Session& session, std::uint32_t clock_khz);

    [[nodiscard]] Session& session() const noexcept override { return session_; }
    [[nodiscard]] const ClockChoice& clock() const noexcept override { return clock_; }
    [[nodiscard]] std::size_t max_read() const noexcept override { return LUMO_SPI_MAX_READ_BYTES; }
    void transact(const SpiCommand& command, const std::string& doing) override;

private:
    Session& session_;
    ClockChoice clock_;
    Lease lease_;
};

} // namespace orv::dev::flash
