#include "lib/devices/session/lease.hpp"

#include <orv_lumo_iic.h>
#include <orv_tapwire.h>

#include "lib/devices/session/failure.hpp"

namespace orv::dev {

namespace {

template <typename... Ts> struct Overloaded : Ts... {
    using Ts::operator()...;
};
// Spelled out for compilers without C++20's deduction for aggregates (clang 14).
template <typename... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

} // namespace

void send_setup(const Session& session, const Setup& setup)
{
    libusb_device_handle* handle = session.handle();
    const std::uint32_t timeout = session.timeout_ms();
    std::visit(Overloaded{
                   [&](const JtagSetup& s) {
                       check_bus(tapwire_tckset(handle, s.tck_khz, timeout), "setting the TCK clock");
                       check_bus(tapwire_ioset(handle, s.direction, s.level, timeout),
                                 "setting the JTAG pins");
                   },
                   [&](const SpiSetup& s) {
                       check_bus(lumo_spi_set_config(handle, &s.config, timeout), "configuring the SPI port");
                   },
                   [&](const I2cSetup& s) {
                       check_bus(lumo_iic_init(handle, s.clock_khz, s.timeout_ms), "setting up the I2C bus");
                   },
               },
               setup);
}

} // namespace orv::dev
