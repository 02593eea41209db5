#include "lib/devices/session/spi_port.hpp"

#include <algorithm>
#include <vector>

#include "lib/wire/spi_phases.hpp"

#include "lib/devices/session/failure.hpp"

namespace orv::dev {

namespace {

// The command byte and the address bytes after it.
constexpr std::size_t MAX_PREAMBLE = 1 + spi::MAX_ADDRESS_BYTES;

} // namespace

bool SpiPort::one_window(std::size_t write, std::size_t read) noexcept
{
    const bool preamble_then_read = write <= MAX_PREAMBLE && read <= LUMO_SPI_MAX_READ_BYTES;
    const bool duplex = write + read <= LUMO_SPI_MAX_READ_BYTES;
    return read == 0 || preamble_then_read || duplex;
}

void SpiPort::transfer(std::span<const std::uint8_t> write, std::span<std::uint8_t> read)
{
    if (write.empty() && read.empty()) {
        return;
    }
    lease_.claim();
    ++transfers_;
    const Session& s = session();
    lumo_spi_config window = config();
    std::int32_t rc = 0;
    if (read.empty()) {
        // The first byte as the command byte, the rest as data.
        window.cmd_enable = 1;
        const auto data = write.subspan(1);
        rc = lumo_spi_read_write_bytes(s.handle(), static_cast<std::uint32_t>(data.size()),
                                       data.empty() ? nullptr : data.data(), nullptr, 0, write[0], 0, &window,
                                       s.timeout_ms());
    } else if (write.size() <= MAX_PREAMBLE && read.size() <= LUMO_SPI_MAX_READ_BYTES) {
        // Command byte, then the address bytes in the order written (the
        // library sends an address from the end its bit order starts at).
        const bool low_first = spi::bit_order_of(window) == BitOrder::lsb_first;
        std::uint32_t address = 0;
        for (std::size_t i = 1; i < write.size(); ++i) {
            address =
                low_first ? address | std::uint32_t{write[i]} << (8 * (i - 1)) : address << 8 | write[i];
        }
        window.cmd_enable = write.empty() ? 0 : 1;
        window.addr_bytes = static_cast<std::uint8_t>(write.empty() ? 0 : write.size() - 1);
        rc = lumo_spi_read_write_bytes(s.handle(), static_cast<std::uint32_t>(read.size()), nullptr,
                                       read.data(), address, write.empty() ? 0 : write[0], 0, &window,
                                       s.timeout_ms());
    } else {
        // Everything as one full-duplex data phase; what comes in during the
        // write is dropped.
        std::vector<std::uint8_t> out(write.begin(), write.end());
        out.resize(write.size() + read.size(), 0xFF);
        std::vector<std::uint8_t> in(out.size());
        rc = lumo_spi_read_write_bytes(s.handle(), static_cast<std::uint32_t>(out.size()), out.data(),
                                       in.data(), 0, 0, 0, &window, s.timeout_ms());
        if (rc == 0) {
            std::copy(in.begin() + static_cast<std::ptrdiff_t>(write.size()), in.end(), read.begin());
        }
    }
    if (rc != 0) {
        check_bus(rc, "running an SPI transaction");
    }
}

void SpiPort::set_clock(const ClockChoice& clock)
{
    SpiSetup changed{config()};
    changed.config.clock_freq = clock.request_khz;
    lease_.set_setup(changed);
    if (lease_.holds_adapter()) {
        // The divisor goes out with the whole set-up.
        lease_.forget_adapter();
        lease_.claim();
    }
}

} // namespace orv::dev
