// The adapter's one shift engine and its three connectors (JTAG, SPI, I2C):
// which connector a pin command selects, what the selected connector's
// target sees of the pins and the clocks, and what a connector that is left
// sees.
//
// Selection (exactly one connector at a time; JTAG at power-up):
//   - 0x20 with direction SPI_DIRECTION (0xF7) selects SPI;
//   - 0x20 with I2C_DIRECTION_DRIVEN or I2C_DIRECTION_SDA_RELEASED (0xFF,
//     0xFB) selects I2C;
//   - 0x20 with any other direction, 0x21 and the TMS commands select JTAG.
// A connector that is left sees released lines: the flash is deselected (an
// unfinished program or erase is dropped), the I2C devices go idle, the JTAG
// chain gets no clocks.
//
// Pin use (low group, wire.hpp): SPI clock on SPI_PIN_CLOCK, chip select on
// SPI_PIN_CHIP_SELECT (selecting when it differs from the inactive level);
// I2C SCL and SDA open drain with pull-ups (a released line reads 1 unless a
// device pulls it low). JTAG's TCK, TMS, TDI and TDO are the engine's, as far
// as the last pin command that selected JTAG drives them: with TCK released
// the chain sees no edge, with TMS or TDI released it sees them high (pulled
// up); TRST
// (JTAG_PIN_TRST, active low, pulled up when released) follows the pin
// commands that select JTAG, and is released when the JTAG connector is left.
#pragma once

#include <cstdint>

#include "lib/wire/wire.hpp"
#include "sim/adapter/bit_order.hpp"
#include "sim/adapter/targets.hpp"

namespace orv::emu {

enum class Connector : std::uint8_t { none, jtag, spi, i2c };

struct PinGroup {
    std::uint8_t direction = 0; // bit set: driven by the adapter
    std::uint8_t level = 0;
};

// A pin's line with nothing else pulling it: driven at its level, or
// released (direction bit clear) and pulled up.
[[nodiscard]] constexpr bool pin_high(PinGroup pins, std::uint8_t pin) noexcept
{
    return (pins.direction & pin) == 0 || (pins.level & pin) != 0;
}

class ConnectorRouter {
public:
    explicit ConnectorRouter(Targets& targets) noexcept : targets_(targets) {}

    // The connector a low-group pin command with this direction mask selects.
    [[nodiscard]] static Connector selected_by(std::uint8_t low_direction) noexcept;

    // 0x20: new low-group pins; selects their connector and shows them to it.
    void set_low_pins(PinGroup pins);
    // Makes `connector` the active one; the one left sees released lines.
    void activate(Connector connector);
    // One clock of the shift engine on the active connector, driving `out` on
    // its data line (and `tms` on JTAG). Returns the sampled input line.
    bool clock(bool tms, bool out, BitOrder order);
    // What a clock-only cycle drives on the data line: where the last shift
    // left it; on I2C the line is released (SDA is the pin command's).
    [[nodiscard]] bool held_data_level() const noexcept;

    [[nodiscard]] Connector active() const noexcept { return active_; }
    [[nodiscard]] PinGroup low_pins() const noexcept { return low_; }
    // The chip-select level that leaves the flash deselected.
    [[nodiscard]] bool chip_select_inactive_level() const noexcept { return cs_inactive_; }
    void set_chip_select_inactive_level(bool level) noexcept { cs_inactive_ = level; }

private:
    void show_pins_to_connector();

    Targets& targets_;
    PinGroup low_;
    // The JTAG connector's pins, as the last pin command that selected JTAG
    // set them (the other connectors' pin commands do not reach it). At
    // power-up its outputs are driven (TCK and TDI low, TMS high): a program
    // that never sets the pins still reaches the chain.
    PinGroup jtag_pins_{static_cast<std::uint8_t>(JTAG_DEFAULT_DIRECTION),
                        static_cast<std::uint8_t>(JTAG_DEFAULT_LEVEL)};
    Connector active_ = Connector::jtag; // the JTAG connector until a pin command says otherwise
    bool cs_inactive_ = true;            // chip select active low until set-up says otherwise
    bool data_out_ = false;              // last level the shift engine drove on its data output
};

} // namespace orv::emu
