#include "sim/adapter/connector_router.hpp"

#include "lib/wire/wire.hpp"

namespace orv::emu {

Connector ConnectorRouter::selected_by(std::uint8_t low_direction) noexcept
{
    switch (low_direction) {
    case SPI_DIRECTION:
        return Connector::spi;
    case I2C_DIRECTION_DRIVEN:
    case I2C_DIRECTION_SDA_RELEASED:
        return Connector::i2c;
    default:
        return Connector::jtag;
    }
}

void ConnectorRouter::set_low_pins(PinGroup pins)
{
    low_ = pins;
    activate(selected_by(pins.direction));
    show_pins_to_connector();
    if (active_ == Connector::jtag) {
        jtag_pins_ = pins;
        // TRST, active low; released (direction bit clear) it is pulled up.
        targets_.set_trst(!pin_high(pins, JTAG_PIN_TRST));
    }
}

void ConnectorRouter::activate(Connector connector)
{
    if (connector == active_) {
        return;
    }
    // The connector left behind sees released lines.
    switch (active_) {
    case Connector::jtag:
        targets_.set_trst(false);
        break;
    case Connector::spi:
        if (targets_.flash_selected()) {
            targets_.deselect_flash();
        }
        break;
    case Connector::i2c:
        targets_.i2c_disconnect();
        break;
    default:
        break;
    }
    active_ = connector;
    show_pins_to_connector();
}

void ConnectorRouter::show_pins_to_connector()
{
    switch (active_) {
    case Connector::spi: {
        if (!targets_.has_flash()) {
            break;
        }
        const bool cs = (low_.level & SPI_PIN_CHIP_SELECT) != 0;
        const bool select = cs != cs_inactive_;
        if (select && !targets_.flash_selected()) {
            targets_.select_flash();
        } else if (!select && targets_.flash_selected()) {
            targets_.deselect_flash();
        }
        break;
    }
    case Connector::i2c: {
        // Open drain: a released line (direction bit clear) is pulled up.
        targets_.i2c_set_master(pin_high(low_, I2C_PIN_SCL), pin_high(low_, I2C_PIN_SDA));
        data_out_ = (low_.level & I2C_PIN_SDA) != 0;
        break;
    }
    default:
        break;
    }
}

bool ConnectorRouter::clock(bool tms, bool out, BitOrder order)
{
    data_out_ = out;
    switch (active_) {
    case Connector::jtag: {
        // Only pins the adapter drives reach the chain: a released TCK makes
        // no edge, released TMS and TDI read high (the TAPs pull them up).
        const auto driven = [this](std::uint16_t pin) { return (jtag_pins_.direction & pin) != 0; };
        if (!driven(JTAG_PIN_TCK)) {
            return targets_.tdo_unclocked();
        }
        return targets_.jtag_clock(!driven(JTAG_PIN_TMS) || tms, !driven(JTAG_PIN_TDI) || out);
    }
    case Connector::spi:
        if (!targets_.flash_selected()) {
            return true; // MISO pulled up
        }
        return targets_.flash_clock(out, order);
    case Connector::i2c: {
        // Data goes out on SDA only while the adapter drives that pin.
        const bool driven = (low_.direction & I2C_PIN_SDA) != 0;
        return targets_.i2c_clock(driven ? out : true);
    }
    case Connector::none:
        break;
    }
    return true;
}

bool ConnectorRouter::held_data_level() const noexcept
{
    return active_ == Connector::i2c ? true : data_out_;
}

} // namespace orv::emu
