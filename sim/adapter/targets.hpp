// What the adapter's three connectors reach: the lines the parts behind them
// drive and the clocks they see. The adapter model knows the connectors and
// nothing of the parts; a board of the emulator is one set of targets, and a
// real adapter whose inputs are unknown (the host's reconstruction of a
// trace) is another, with nothing connected.
#pragma once

#include "sim/adapter/bit_order.hpp"

namespace orv::emu {

class Targets {
public:
    virtual ~Targets() = default;

    // JTAG. TRST as the chain sees it (asserted: held in reset).
    virtual void set_trst(bool asserted) = 0;
    [[nodiscard]] virtual bool trst() const = 0;
    // TDO before the next clock, while TDI stands at `tdi` (a chain of no
    // TAPs passes TDI through, or floats high).
    [[nodiscard]] virtual bool tdo(bool tdi) const = 0;
    // One TCK with these TMS and TDI levels at its rising edge: the TDO
    // level sampled there.
    virtual bool jtag_clock(bool tms, bool tdi) = 0;
    // What is sampled when the adapter lets TCK go and the chain sees no
    // edge: the nearest TAP's TDO output as it stands (high with no TAP).
    [[nodiscard]] virtual bool tdo_unclocked() const = 0;

    // SPI: the flash on the chip select, if any (MISO floats high without).
    [[nodiscard]] virtual bool has_flash() const = 0;
    [[nodiscard]] virtual bool flash_selected() const = 0;
    virtual void select_flash() = 0;
    virtual void deselect_flash() = 0;
    // One clock while selected: MOSI out, the MISO level back.
    virtual bool flash_clock(bool mosi, BitOrder order) = 0;

    // I2C: SCL and SDA open drain, pulled up.
    virtual void i2c_set_master(bool scl, bool sda) = 0;
    // One SCL pulse with the master's SDA at `sda` (released: true): the
    // bus level sampled while SCL is high.
    virtual bool i2c_clock(bool sda) = 0;
    // The connector is left: the devices go idle.
    virtual void i2c_disconnect() = 0;
    [[nodiscard]] virtual bool i2c_device_pulls_sda() const = 0;
};

// A real adapter as the host sees it: nothing known behind the connectors.
// Every input reads released (high) and nothing is selected.
class UnconnectedTargets final : public Targets {
public:
    void set_trst(bool asserted) override { trst_ = asserted; }
    [[nodiscard]] bool trst() const override { return trst_; }
    [[nodiscard]] bool tdo(bool /*tdi*/) const override { return true; }
    bool jtag_clock(bool /*tms*/, bool /*tdi*/) override { return true; }
    [[nodiscard]] bool tdo_unclocked() const override { return true; }
    [[nodiscard]] bool has_flash() const override { return false; }
    [[nodiscard]] bool flash_selected() const override { return false; }
    void select_flash() override {}
    void deselect_flash() override {}
    bool flash_clock(bool /*mosi*/, BitOrder /*order*/) override { return true; }
    void i2c_set_master(bool /*scl*/, bool /*sda*/) override {}
    bool i2c_clock(bool sda) override { return sda; }
    void i2c_disconnect() override {}
    [[nodiscard]] bool i2c_device_pulls_sda() const override { return false; }

private:
    bool trst_ = false;
};

} // namespace orv::emu
