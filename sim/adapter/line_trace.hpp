// The connector lines over time, as the adapter moves them: what a trace of
// the virtual board, or of a real adapter's command stream, records.
//
// The Adapter tells a LineTrace about each pin command, change of connector,
// clock divisor and shift-engine clock as it executes them (set_trace); the
// LineTrace turns them into level changes with times and hands them to a
// LineSink (a VCD file, or the sample resolver of a host-side trace).
//
// Time. The adapter's clock runs at 60 MHz / d for divisor byte d (see
// base_periods_per_clock), and time is counted in ticks of half a base
// period (1/120 MHz, 8.3 ns), so every edge falls on a tick. Each clock of
// the shift engine takes one clock period: the data lines change at its
// start, the clock's leading edge comes half a period later and its
// trailing edge at the end. Each pin command (0x20, 0x21) also takes one
// clock period, its new levels standing from its start: the I2C phases
// repeat pin commands to hold the bus in one state for a while (two idle
// commands before a START, one or two with SCL low after it), which only
// means something if every pin command lasts the same time, and at the
// bus's clock one period meets the I2C set-up and hold times. Commands that
// move no line (clock divisor, modes, flush) take no time. The time between
// USB transfers is not shown: the trace is the adapter's time, not the
// host's.
//
// Lines of each connector:
//   JTAG  TCK rests low and pulses once per clock; TMS and TDI change at the
//         start of a clock (TMS is the TMS command's pattern bit, low during
//         shifts; TDI the data bit), so both are stable at the rising edge;
//         TDO changes at the falling edge, where the TAPs drive it, and is
//         sampled at the rising one. A JTAG pin command sets TMS and TDI from
//         its pins (a released pin reads high: IEEE 1149.1 pull-ups) and
//         TRST as the chain sees it.
//   SPI   SCK rests where the pin command put it and pulses around that
//         level; MOSI and MISO change on the clock's shift edge (the start of
//         the clock when SCK rests low, mode 0; its leading, falling edge when
//         SCK rests high, mode 3) and are sampled on the other. CS follows the
//         pin command; MISO is released (high) at every change of CS.
//   I2C   SCL and SDA open drain with pull-ups: SCL pulses once per clock;
//         the adapter's data bit goes on SDA at the start of the clock while
//         SCL is low; a device changes SDA after SCL falls. sda is the bus
//         level, sda_adapter and sda_device what each side does to it. When
//         one pin command moves both lines, SDA moves while SCL is low (half a
//         period before SCL rises, or half a period after it falls), as the
//         bus model takes it: never a START or STOP.
// A connector that is not active shows released lines: JTAG TMS, TDI and
// TRST high and TCK low, SPI chip select inactive and MISO high (SCK and
// MOSI keep their levels), I2C both lines high.
//
// Inputs (TDO, MISO, what a device does to SDA) come from the board, or, for
// a trace of a real adapter, are unknown except where the adapter sampled
// them into its read-back: then the sink is told which read-back bit holds
// the level, for the span in which it was valid. SDA is an input of a real
// adapter only while it has released the pin; while it drives the pin, the
// trace shows the level it drives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "sim/adapter/bit_order.hpp"
#include "sim/adapter/connector_router.hpp"
#include "sim/adapter/lines.hpp"
#include "sim/adapter/readback_fifo.hpp"

namespace orv::emu {

// Ticks per second of trace time: half periods of the adapter's 60 MHz base.
inline constexpr std::uint64_t TICKS_PER_SECOND = 120'000'000;

// Whole nanoseconds of a tick count, rounded to the nearest: a tick is
// 8.3 ns, so two ticks never share a nanosecond.
[[nodiscard]] constexpr std::uint64_t ticks_to_ns(std::uint64_t ticks) noexcept
{
    return (ticks * 25 + 1) / 3;
}

// Where a LineTrace's changes go, in time order. A line may change more than
// once at one tick; the last change holds.
class LineSink {
public:
    virtual ~LineSink() = default;
    // From `tick` on, `line` is at `level`.
    virtual void change(std::uint64_t tick, Line line, Level level) = 0;
    // From `tick` on, `line` is at the level the adapter sampled into `slot`
    // (only in a trace whose inputs come from the samples).
    virtual void sampled(std::uint64_t tick, Line line, ReadbackSlot slot) = 0;
};

// One clock of the shift engine, as the adapter ran it.
struct EngineClock {
    bool tms = false;                   // TMS level (JTAG)
    bool out = false;                   // the data line the engine drove
    bool in = false;                    // the input line it sampled at the sample edge
    std::optional<ReadbackSlot> sample; // where that sample went, when it was kept
};

class LineTrace {
public:
    enum class Inputs : std::uint8_t {
        board,   // from the board's parts
        samples, // unknown, except where sampled
    };

    LineTrace(LineSink& sink, Inputs inputs) noexcept : sink_(sink), inputs_(inputs) {}

    // Every line's level at tick 0 for this router and board (a real
    // adapter's: unknown until the stream sets them), with the clock of
    // `divisor`. The first command starts at tick 0 too: where it moves a
    // line, the file shows only its level.
    void begin(const ConnectorRouter& router, const Targets& targets, std::uint8_t divisor);
    void clock_divisor(std::uint8_t divisor) noexcept;
    // A pin command has run (on the low pin group, or the high one, which
    // only chooses the JTAG connector): the lines as it left them, for one
    // clock period.
    void pin_command(const ConnectorRouter& router, const Targets& targets, bool low_group);
    // The active connector changed without a pin command (a TMS command
    // chose JTAG): the lines now, taking no time.
    void connector_changed(const ConnectorRouter& router, const Targets& targets);
    // One clock of the shift engine on the active connector has run.
    void clocked(const ConnectorRouter& router, const Targets& targets, const EngineClock& clock);

    // The tick the next command starts at: the trace's length so far.
    [[nodiscard]] std::uint64_t now() const noexcept { return tick_; }

private:
    // Every line as the router and board show them at `tick`. `low_pins`: a
    // low-group pin command ran, whose pins the JTAG lines take; `timed`: it
    // owns a clock period, in which both I2C lines may move one after the
    // other.
    void settle(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets, bool low_pins,
                bool timed);
    void settle_jtag(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets,
                     bool low_pins);
    void settle_spi(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets);
    void settle_i2c(std::uint64_t tick, const ConnectorRouter& router, const Targets& targets, bool timed);
    void clock_jtag(const Targets& targets, const EngineClock& clock);
    void clock_spi(const EngineClock& clock);
    void clock_i2c(const ConnectorRouter& router, const Targets& targets, const EngineClock& clock);

    void set(std::uint64_t tick, Line line, Level level);
    void mark_sampled(std::uint64_t tick, Line line, ReadbackSlot slot);
    void set(std::uint64_t tick, Line line, bool high) { set(tick, line, level_of(high)); }
    // An input line during one clock: the board's level, or the sample.
    void input(std::uint64_t tick, Line line, bool board_level, const EngineClock& clock);
    // What the adapter does to SDA: drives it (at `level`) or lets go.
    struct SdaDrive {
        bool driven;
        bool level;
        [[nodiscard]] bool high() const noexcept { return !driven || level; }
    };
    // SDA from both sides: the device's level, or its sample, or unknown.
    void sda(std::uint64_t tick, SdaDrive adapter, Level device,
             const std::optional<ReadbackSlot>& device_sample);
    [[nodiscard]] bool high(Line line) const noexcept { return shown_[index_of(line)] == Level::high; }

    LineSink& sink_;
    Inputs inputs_;
    std::uint64_t tick_ = 0;
    std::uint64_t half_ = 1; // half a clock period, in ticks
    std::array<Level, LINE_COUNT> shown_{};
    std::array<bool, LINE_COUNT> sampled_{}; // the line's last change was a sample
    bool jtag_tms_ = true;                   // what the engine or the last JTAG pin command drives
    bool jtag_tdi_ = true;
    bool flash_selected_ = false;
    bool started_ = false; // begin() has given every line its first level
};

} // namespace orv::emu
