// The C functions of the raw JTAG and SPI ports.
#include <algorithm>
#include <cstring>
#include <vector>

#include "lib/wire/jtag_sequence.hpp"

#include "lib/devices/session/api_guard.hpp"
#include "lib/devices/session/jtag_port.hpp"
#include "lib/devices/session/spi_port.hpp"

using namespace orv::dev;

namespace {

// The most read-back bytes one exchange of a JTAG port may ask for.
constexpr std::uint32_t MAX_READBACK_LIMIT = std::uint32_t{1} << 20;
constexpr std::uint8_t CLOCK_FLAGS = ORVDEV_CLOCK_TMS | ORVDEV_CLOCK_TDI | ORVDEV_CLOCK_SAMPLE;

} // namespace

extern "C" {

void orvdev_jtag_port_options_init(orvdev_jtag_port_options* options)
{
    if (options != nullptr) {
        *options = orvdev_jtag_port_options{1000, orv::JTAG_DEFAULT_DIRECTION, orv::JTAG_DEFAULT_LEVEL,
                                            static_cast<std::uint32_t>(orv::engine::DEFAULT_MAX_READBACK)};
    }
}

int32_t orvdev_jtag_port_open(orvdev_session* session, const orvdev_jtag_port_options* options,
                              orvdev_jtag_port** out, orvdev_report* report)
{
    if (session == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no session, or nowhere to put the JTAG port");
    }
    const orvdev_jtag_port_options chosen = given_or_default(options, orvdev_jtag_port_options_init);
    if (chosen.tck_khz == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "a TCK of 0 kHz");
    }
    if (chosen.max_readback == 0 || chosen.max_readback > MAX_READBACK_LIMIT) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "the read-back bound of one exchange must be 1 to 1048576 bytes");
    }
    orvdev_jtag_port* port = nullptr;
    const std::int32_t rc = guarded(session, report, [&] {
        const JtagSetup setup{orv::clock_not_above_khz(chosen.tck_khz).request_khz, chosen.direction,
                              chosen.level};
        port = new orvdev_jtag_port(*session, setup, chosen.max_readback);
    });
    if (rc == 0) {
        *out = port;
    }
    return rc;
}

void orvdev_jtag_port_close(orvdev_jtag_port* port)
{
    delete port;
}

int32_t orvdev_jtag_clocks(orvdev_jtag_port* port, const uint8_t* clocks, size_t count, uint8_t* tdo,
                           size_t tdo_size, orvdev_report* report)
{
    if (port == nullptr || (clocks == nullptr && count != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG port, or no clocks");
    }
    std::size_t sampled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if ((clocks[i] & ~CLOCK_FLAGS) != 0) {
            return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                          "a clock with bits other than ORVDEV_CLOCK_TMS, _TDI and _SAMPLE");
        }
        sampled += (clocks[i] & ORVDEV_CLOCK_SAMPLE) != 0 ? 1 : 0;
    }
    if (sampled > tdo_size || (sampled != 0 && tdo == nullptr)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no room for the TDO of every sampled clock");
    }
    if (count == 0) {
        orv::dev::clear_report(report);
        return 0;
    }
    return guarded(&port->session(), report, [&] {
        for (std::size_t i = 0; i < count; ++i) {
            port->queue(orv::engine::Clock{(clocks[i] & ORVDEV_CLOCK_TMS) != 0,
                                           (clocks[i] & ORVDEV_CLOCK_TDI) != 0,
                                           (clocks[i] & ORVDEV_CLOCK_SAMPLE) != 0});
        }
        port->levels.clear();
        port->flush(port->levels);
        std::copy(port->levels.begin(), port->levels.end(), tdo);
    });
}

int32_t orvdev_jtag_port_set_tck(orvdev_jtag_port* port, uint64_t hz, orvdev_clock* chosen,
                                 orvdev_report* report)
{
    if (port == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG port");
    }
    const orv::ClockChoice clock = orv::clock_not_above_hz(hz);
    const std::int32_t rc = guarded(&port->session(), report, [&] { port->set_tck(clock); });
    if (chosen != nullptr) {
        *chosen = clock_to_c(clock);
    }
    return rc;
}

int32_t orvdev_jtag_port_set_pins(orvdev_jtag_port* port, uint16_t direction, uint16_t level,
                                  orvdev_report* report)
{
    if (port == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG port");
    }
    return guarded(&port->session(), report, [&] { port->set_pins(direction, level); });
}

int32_t orvdev_jtag_port_set_trst(orvdev_jtag_port* port, int32_t trst, orvdev_report* report)
{
    if (port == nullptr || (trst != ORVDEV_TRST_ON && trst != ORVDEV_TRST_OFF && trst != ORVDEV_TRST_Z)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG port, or not an orvdev_trst");
    }
    const Trst mode = trst == ORVDEV_TRST_ON ? Trst::on : trst == ORVDEV_TRST_OFF ? Trst::off : Trst::z;
    return guarded(&port->session(), report, [&] { port->set_trst(mode); });
}

int32_t orvdev_jtag_port_claim(orvdev_jtag_port* port, orvdev_report* report)
{
    if (port == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no JTAG port");
    }
    return guarded(&port->session(), report, [&] { port->claim_for_caller(); });
}

void orvdev_jtag_port_get_stats(const orvdev_jtag_port* port, orvdev_jtag_port_stats* stats)
{
    if (port == nullptr || stats == nullptr) {
        return;
    }
    const orv::engine::SequenceStats s = port->stats();
    *stats = orvdev_jtag_port_stats{s.flushes,      s.clocks,    s.out_transfers,
                                    s.stream_bytes, s.exchanges, s.readback_bytes};
}

void orvdev_spi_port_options_init(orvdev_spi_port_options* options)
{
    if (options != nullptr) {
        *options = orvdev_spi_port_options{6000, 0, 0, 0};
    }
}

int32_t orvdev_spi_port_open(orvdev_session* session, const orvdev_spi_port_options* options,
                             orvdev_spi_port** out, orvdev_report* report)
{
    if (session == nullptr || out == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no session, or nowhere to put the SPI port");
    }
    const orvdev_spi_port_options chosen = given_or_default(options, orvdev_spi_port_options_init);
    if (chosen.clock_khz == 0) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "a clock of 0 kHz");
    }
    if (chosen.mode != 0 && chosen.mode != 3) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "SPI mode 0 or 3: the adapter's sampling edge follows the clock polarity");
    }
    orvdev_spi_port* port = nullptr;
    const std::int32_t rc = guarded(session, report, [&] {
        lumo_spi_config config{};
        config.clock_freq = orv::clock_not_above_khz(chosen.clock_khz).request_khz;
        config.bit_order = chosen.lsb_first != 0 ? 1 : 0;
        config.clock_polarity = chosen.mode == 3 ? 1 : 0;
        config.cs_polarity = chosen.cs_active_high != 0 ? 1 : 0;
        port = new orvdev_spi_port(*session, SpiSetup{config});
    });
    if (rc == 0) {
        *out = port;
    }
    return rc;
}

void orvdev_spi_port_close(orvdev_spi_port* port)
{
    delete port;
}

int32_t orvdev_spi_transfer(orvdev_spi_port* port, const uint8_t* write, size_t write_size, uint8_t* read,
                            size_t read_size, orvdev_report* report)
{
    if (port == nullptr || (write == nullptr && write_size != 0) || (read == nullptr && read_size != 0)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no SPI port, or no buffer for its bytes");
    }
    if (!SpiPort::one_window(write_size, read_size)) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT,
                      "not one SPI transaction: more than a command and four address bytes before a read, "
                      "or more than 512 bytes read");
    }
    return guarded(&port->session(), report, [&] {
        port->transfer(std::span<const std::uint8_t>(write, write_size),
                       std::span<std::uint8_t>(read, read_size));
    });
}

int32_t orvdev_spi_port_set_clock(orvdev_spi_port* port, uint64_t hz, orvdev_clock* chosen,
                                  orvdev_report* report)
{
    if (port == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no SPI port");
    }
    const orv::ClockChoice clock = orv::clock_not_above_hz(hz);
    const std::int32_t rc = guarded(&port->session(), report, [&] { port->set_clock(clock); });
    if (chosen != nullptr) {
        *chosen = clock_to_c(clock);
    }
    return rc;
}

int32_t orvdev_spi_port_claim(orvdev_spi_port* port, orvdev_report* report)
{
    if (port == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no SPI port");
    }
    return guarded(&port->session(), report, [&] { port->claim_for_caller(); });
}

uint64_t orvdev_spi_port_transfers(const orvdev_spi_port* port)
{
    return port != nullptr ? port->transfers() : 0;
}

} // extern "C"
