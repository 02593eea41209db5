// The phases of an SPI transaction as the adapter runs it, each one a small
// function that appends its commands to the transaction's stream:
//
//   select, [command byte], [address bytes], [dummy clocks], data, deselect
//
// The byte and the bit transfer share everything but the data phase and the
// place of the flush. Pins: the SPI connector's map in wire.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "lib/wire/command_stream.hpp"
#include "orv_lumo_spi.h"

namespace orv::spi {

// Largest address phase: the address value is 32 bits wide.
inline constexpr std::uint8_t MAX_ADDRESS_BYTES = 4;
// Dummy clocks go in one clock command.
inline constexpr std::uint32_t MAX_DUMMY_CLOCKS = 65535;

// Only 1 means least significant bit first; every other value is taken as
// most significant bit first, in the set-up and in both transfers alike.
[[nodiscard]] constexpr BitOrder bit_order_of(const lumo_spi_config& config) noexcept
{
    return config.bit_order == 1 ? BitOrder::lsb_first : BitOrder::msb_first;
}

// The clock rests at its idle level in every pin command, so that driving
// chip select never makes a clock edge.
[[nodiscard]] constexpr std::uint8_t clock_idle_bit(const lumo_spi_config& config) noexcept
{
    return config.clock_polarity != 0 ? SPI_PIN_CLOCK : 0;
}

// Chip select inactive: high for an active-low select, low for active-high.
[[nodiscard]] constexpr std::uint8_t idle_level(const lumo_spi_config& config) noexcept
{
    return static_cast<std::uint8_t>(clock_idle_bit(config) |
                                     (config.cs_polarity == 0 ? SPI_PIN_CHIP_SELECT : 0));
}

[[nodiscard]] constexpr std::uint8_t select_level(const lumo_spi_config& config) noexcept
{
    return static_cast<std::uint8_t>(clock_idle_bit(config) |
                                     (config.cs_polarity != 0 ? SPI_PIN_CHIP_SELECT : 0));
}

// The argument checks both transfers share: a device and a configuration to
// work with, an address that fits its 32-bit value and dummy clocks that fit
// one clock command.
[[nodiscard]] constexpr bool transaction_args_valid(const libusb_device_handle* handle,
                                                    const lumo_spi_config* config,
                                                    std::uint32_t dummy_clocks) noexcept
{
    return handle != nullptr && config != nullptr && config->addr_bytes <= MAX_ADDRESS_BYTES &&
           dummy_clocks <= MAX_DUMMY_CLOCKS;
}

// Bytes each phase appends.
inline constexpr std::size_t SELECT_LENGTH = SET_IO_LENGTH;
inline constexpr std::size_t COMMAND_PHASE_LENGTH = BYTES_HEAD_LENGTH + 1;
[[nodiscard]] constexpr std::size_t address_phase_length(std::size_t address_bytes) noexcept
{
    return address_bytes == 0 ? 0 : BYTES_HEAD_LENGTH + address_bytes;
}
inline constexpr std::size_t DUMMY_PHASE_LENGTH = CLOCKS_LENGTH;
inline constexpr std::size_t DESELECT_LENGTH = SET_IO_LENGTH;

// Bytes of select, command, address and dummy phases together, for a
// configuration that passed transaction_args_valid.
[[nodiscard]] constexpr std::size_t preamble_length(const lumo_spi_config& config,
                                                    std::uint32_t dummy_clocks) noexcept
{
    return SELECT_LENGTH + (config.cmd_enable != 0 ? COMMAND_PHASE_LENGTH : 0) +
           address_phase_length(config.addr_bytes) + (dummy_clocks != 0 ? DUMMY_PHASE_LENGTH : 0);
}

// Chip select active, clock at rest.
void append_select(CommandStream& stream, const lumo_spi_config& config) noexcept;
// The command byte, when the configuration has one; never sampled.
void append_command_phase(CommandStream& stream, const lumo_spi_config& config, std::uint8_t cmd) noexcept;
// The low addr_bytes bytes of addr in the configured bit order (least
// significant byte first for LSB-first targets); never sampled.
void append_address_phase(CommandStream& stream, const lumo_spi_config& config, std::uint32_t addr) noexcept;
// Dummy clocks (0 for none), with nothing shifted or sampled.
void append_dummy_phase(CommandStream& stream, std::uint32_t dummy_clocks) noexcept;
// Everything before the data: select, command byte, address, dummy clocks.
void append_preamble(CommandStream& stream, const lumo_spi_config& config, std::uint8_t cmd,
                     std::uint32_t addr, std::uint32_t dummy_clocks) noexcept;
// Chip select inactive, clock at rest.
void append_deselect(CommandStream& stream, const lumo_spi_config& config) noexcept;

} // namespace orv::spi
