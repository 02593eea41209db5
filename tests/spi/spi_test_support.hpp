// Shared pieces of the SPI tests: configuration records and stream framing.
#pragma once

#include <cstdint>

#include "orv_lumo_spi.h"
#include "tests/support/fake_usb.hpp"

namespace orv::test {

inline lumo_spi_config spi_config(std::int32_t bit_order, std::int32_t clock_polarity = 0,
                                  std::int32_t cs_polarity = 0, std::uint8_t addr_bytes = 0,
                                  std::uint8_t cmd_enable = 0, std::uint32_t clock_freq = 1000)
{
    lumo_spi_config config{};
    config.clock_freq = clock_freq;
    config.bit_order = bit_order;
    config.clock_polarity = clock_polarity;
    config.reserved = 0xDEADBEEF; // never read
    config.cs_polarity = cs_polarity;
    config.addr_bytes = addr_bytes;
    config.cmd_enable = cmd_enable;
    return config;
}

// A deterministic, non-repeating-looking byte pattern for long data phases.
inline Bytes pattern(std::size_t n, std::uint8_t seed = 0x35)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + seed + (i >> 8));
    }
    return bytes;
}

inline Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace orv::test
