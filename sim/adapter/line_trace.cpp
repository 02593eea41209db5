#include "sim/adapter/line_trace.hpp"

#include "lib/wire/clock_rule.hpp"
#include "lib/wire/wire.hpp"

namespace orv::emu {

void LineTrace::begin(const ConnectorRouter& router, const Targets& targets, std::uint8_t divisor)
{
    clock_divisor(divisor);
    tick_ = 0;
    started_ = false;
    sampled_.fill(false);
    if (inputs_ == Inputs::samples) {
        // A real adapter's lines are not known until the stream sets them.
        for (const LineInfo& info : LINES) {
            set(0, info.line, Level::unknown);
        }
    } else {
        // SCK and MOSI keep their levels while SPI is not chosen: they start low.
        set(0, Line::sck, false);
        set(0, Line::mosi, false);
        settle(0, router, targets, true, false);
    }
    started_ = true;
}

void LineTrace::clock_divisor(std::uint8_t divisor) noexcept
{
    // A clock period is d base periods, two ticks each: half of it is d ticks.
    half_ = base_periods_per_clock(divisor);
}

void LineTrace::pin_command(const ConnectorRouter& router, const Targets& targets, bool low_group)
{
    settle(tick_, router, targets, low_group, true);
    tick_ += 2 * half_;
}

void LineTrace::connector_changed(const ConnectorRouter& router, const Targets& targets)
{
    settle(tick_, router, targets, false, false);
}

void LineTrace::clocked(const ConnectorRouter& router, const Targets& targets, const EngineClock& clock)
{
    switch (router.active()) {
    case Connector::jtag:
        clock_jtag(targets, clock);
        break;
    case Connector::spi:
        clock_spi(clock);
        break;
    case Connector::i2c:
        clock_i2c(router, targets, clock);
        break;
    case Connector::none:
        break;
    }
    tick_ += 2 * half_;
}

// ---- lines at rest ----------------------------------------------------------

void LineTrace::settle(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets,
                       bool low_pins, bool timed)
{
    settle_jtag(tick, router, targets, low_pins);
    settle_spi(tick, router, targets);
    settle_i2c(tick, router, targets, timed);
}

void LineTrace::settle_jtag(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets,
                            bool low_pins)
{
    if (router.active() != Connector::jtag) {
        jtag_tms_ = true; // released: pulled up
        jtag_tdi_ = true;
    } else if (low_pins) {
        jtag_tms_ = pin_high(router.low_pins(), JTAG_PIN_TMS);
        jtag_tdi_ = pin_high(router.low_pins(), JTAG_PIN_TDI);
    }
    set(tick, Line::tck, false);
    set(tick, Line::tms, jtag_tms_);
    set(tick, Line::tdi, jtag_tdi_);
    set(tick, Line::trst, !targets.trst());
    if (inputs_ == Inputs::board) {
        set(tick, Line::tdo, targets.tdo(jtag_tdi_));
    } else {
        set(tick, Line::tdo, Level::unknown);
    }
}

void LineTrace::settle_spi(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets)
{
    const bool active = router.active() == Connector::spi;
    const PinGroup pins = router.low_pins();
    const bool cs = active ? (pins.level & SPI_PIN_CHIP_SELECT) != 0 : router.chip_select_inactive_level();
    const bool cs_moved = !started_ || high(Line::cs) != cs;
    if (active) {
        set(tick, Line::sck, (pins.level & SPI_PIN_CLOCK) != 0);
    }
    set(tick, Line::cs, cs);
    if (inputs_ == Inputs::board) {
        // The flash releases MISO when it is selected and when it is let go.
        const bool selected = targets.flash_selected();
        if (!started_ || !selected || selected != flash_selected_) {
            set(tick, Line::miso, true);
        }
        flash_selected_ = selected;
    } else if (cs_moved) {
        set(tick, Line::miso, Level::unknown);
    }
}

void LineTrace::settle_i2c(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets,
                           bool timed)
{
    const bool active = router.active() == Connector::i2c;
    const PinGroup pins = router.low_pins();
    const bool scl = !active || pin_high(pins, I2C_PIN_SCL);
    const SdaDrive adapter{active && (pins.direction & I2C_PIN_SDA) != 0, (pins.level & I2C_PIN_SDA) != 0};
    const Level device =
        inputs_ == Inputs::board ? level_of(!targets.i2c_device_pulls_sda()) : Level::unknown;
    const Level scl_was = shown_[index_of(Line::scl)];
    const Level adapter_was = shown_[index_of(Line::sda_adapter)];
    if (timed && scl_was != Level::unknown && adapter_was != Level::unknown && level_of(scl) != scl_was &&
        level_of(adapter.high()) != adapter_was) {
        // Both lines move in one command: SDA while SCL is low.
        if (scl) {
            sda(tick, adapter, device, std::nullopt);
            set(tick + half_, Line::scl, true);
        } else {
            set(tick, Line::scl, false);
            sda(tick + half_, adapter, device, std::nullopt);
        }
        return;
    }
    set(tick, Line::scl, scl);
    sda(tick, adapter, device, std::nullopt);
}

// ---- one clock of the shift engine ----------------------------------------

void LineTrace::clock_jtag(const Targets& targets, const EngineClock& clock)
{
    const std::uint64_t start = tick_;
    const std::uint64_t rising = start + half_;
    const std::uint64_t falling = start + 2 * half_;
    jtag_tms_ = clock.tms;
    jtag_tdi_ = clock.out;
    set(start, Line::tms, clock.tms);
    set(start, Line::tdi, clock.out);
    input(start, Line::tdo, clock.in, clock);
    set(rising, Line::tck, true);
    set(falling, Line::tck, false);
    // The TAPs drive TDO anew after the falling edge.
    if (inputs_ == Inputs::board) {
        set(falling, Line::tdo, targets.tdo(clock.out));
    } else {
        set(falling, Line::tdo, Level::unknown);
    }
}

void LineTrace::clock_spi(const EngineClock& clock)
{
    const std::uint64_t start = tick_;
    const std::uint64_t leading = start + half_;
    const std::uint64_t trailing = start + 2 * half_;
    const bool rest = high(Line::sck);
    // Mode 0 (SCK rests low): data moves at the start, is sampled on the
    // rising edge. Mode 3 (rests high): data moves on the falling, leading
    // edge and is sampled on the rising, trailing one.
    const std::uint64_t shift = rest ? leading : start;
    if (!rest) {
        set(shift, Line::mosi, clock.out);
        input(shift, Line::miso, clock.in, clock);
    }
    set(leading, Line::sck, !rest);
    if (rest) {
        set(shift, Line::mosi, clock.out);
        input(shift, Line::miso, clock.in, clock);
    }
    set(trailing, Line::sck, rest);
}

void LineTrace::clock_i2c(const ConnectorRouter& router, const Targets& targets, const EngineClock& clock)
{
    const std::uint64_t start = tick_;
    const std::uint64_t rising = start + half_;
    const std::uint64_t falling = start + 2 * half_;
    // Data goes out on SDA only while the adapter drives that pin.
    const SdaDrive adapter{(router.low_pins().direction & I2C_PIN_SDA) != 0, clock.out};
    if (high(Line::scl)) {
        set(start, Line::scl, false); // the engine takes SCL low before its pulse
    }
    if (inputs_ == Inputs::board) {
        // While the adapter lets go, the level sampled is the device's.
        const Level device = adapter.high() ? level_of(clock.in) : shown_[index_of(Line::sda_device)];
        sda(start, adapter, device, std::nullopt);
    } else {
        sda(start, adapter, Level::unknown, adapter.driven ? std::nullopt : clock.sample);
    }
    set(rising, Line::scl, true);
    set(falling, Line::scl, false);
    // A device changes SDA after SCL has fallen.
    const Level after = inputs_ == Inputs::board ? level_of(!targets.i2c_device_pulls_sda()) : Level::unknown;
    sda(falling, adapter, after, std::nullopt);
}

// ---- levels to the sink -----------------------------------------------------

void LineTrace::set(std::uint64_t tick, Line line, Level level)
{
    const std::size_t i = index_of(line);
    if (started_ && shown_[i] == level && !sampled_[i]) {
        return;
    }
    shown_[i] = level;
    sampled_[i] = false;
    sink_.change(tick, line, level);
}

void LineTrace::mark_sampled(std::uint64_t tick, Line line, ReadbackSlot slot)
{
    const std::size_t i = index_of(line);
    shown_[i] = Level::unknown;
    sampled_[i] = true;
    sink_.sampled(tick, line, slot);
}

void LineTrace::input(std::uint64_t tick, Line line, bool board_level, const EngineClock& clock)
{
    if (inputs_ == Inputs::board) {
        set(tick, line, board_level);
    } else if (clock.sample) {
        mark_sampled(tick, line, *clock.sample);
    } else {
        set(tick, line, Level::unknown);
    }
}

void LineTrace::sda(std::uint64_t tick, SdaDrive adapter, Level device,
                    const std::optional<ReadbackSlot>& device_sample)
{
    set(tick, Line::sda_adapter, adapter.high());
    if (device_sample) {
        mark_sampled(tick, Line::sda_device, *device_sample);
    } else {
        set(tick, Line::sda_device, device);
    }
    if (inputs_ == Inputs::board) {
        // Open drain: low when anyone pulls it low.
        set(tick, Line::sda, adapter.high() && device == Level::high);
    } else if (adapter.driven) {
        // A real adapter's SDA is its output while it drives the pin.
        set(tick, Line::sda, adapter.level);
    } else if (device_sample) {
        mark_sampled(tick, Line::sda, *device_sample);
    } else {
        set(tick, Line::sda, Level::unknown);
    }
}

} // namespace orv::emu
