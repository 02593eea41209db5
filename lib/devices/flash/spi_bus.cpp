#include "lib/devices/flash/spi_bus.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev::flash {

namespace {

// Mode 0 (clock idles low), most significant bit first, chip select active
// low; a command byte, then addr_bytes of address.
lumo_spi_config config(std::uint32_t clock_khz, unsigned addr_bytes)
{
    return lumo_spi_config{.clock_freq = clock_khz,
                           .bit_order = 0,
                           .clock_polarity = 0,
                           .reserved = 0,
                           .cs_polarity = 0,
                           .addr_bytes = static_cast<std::uint8_t>(addr_bytes),
                           .cmd_enable = 1};
}

} // namespace

AdapterSpiBus::AdapterSpiBus(Session& session, std::uint32_t clock_khz)
    : session_(session), clock_(clock_not_above_khz(clock_khz)),
      lease_(session, SpiSetup{config(clock_.request_khz, 0)})
{
    lease_.claim();
}

void AdapterSpiBus::transact(const SpiCommand& c, const std::string& doing)
{
    lease_.claim();
    const lumo_spi_config cfg = config(clock_.request_khz, c.addr ? c.addr_bytes : 0);
    const auto len = static_cast<std::uint32_t>(c.in.empty() ? c.out.size() : c.in.size());
    check_bus(lumo_spi_read_write_bytes(session_.handle(), len, c.out.empty() ? nullptr : c.out.data(),
                                        c.in.empty() ? nullptr : c.in.data(),
                                        static_cast<std::uint32_t>(c.addr.value_or(0)), c.command,
                                        c.dummy_clocks, &cfg, session_.timeout_ms()),
              doing);
}

} // namespace orv::dev::flash
