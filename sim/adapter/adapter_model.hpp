// A software model of the USB bridge adapter: what it does with the command
// stream, whatever is behind its connectors.
//
// The adapter executes the command buffers that arrive on bulk endpoint 0x02
// (write_commands), keeps its pin, clock and mode settings, drives its
// connectors' targets through its one shift engine, and collects the sampled
// input bits in a bounded read-back FIFO that the host polls on 0x83
// (poll_count) and reads on 0x81 (read_data).
//
// It is put together from parts, one job each:
//   command_decoder   a buffer cut into whole commands, arguments named;
//                     unknown or cut commands end the buffer (reported)
//   connector_router  which connector a pin command selects, what the
//                     targets see of pins and clocks, what a connector left
//                     behind sees
//   readback_fifo     bit packing, flush, capacity, the latency-limited count
//   targets           what is behind the connectors (a board of the
//                     emulator, or nothing known: a real adapter's trace)
//   line_trace        (optional) the connector lines over time, for VCD
//                     traces (set_trace)
// This class executes each command on them and keeps the settings. Oddities
// that do not stop a buffer are reported in diagnostics() and executed: a TMS
// count above 7 (clamped), a bit count above 8 (clamped), JTAG-form clock
// count bytes that disagree on bit 7, a SPI clock resting against the 0xCB
// polarity mode, FIFO overflow (once per buffer).
//
// Two policies belong to the stream rather than to one part:
//   - 0x9C samples in the bit order set by 0xDB (0x11 LSB first, any other
//     value MSB first; LSB first before any 0xDB);
//   - a 20 F7 that directly follows the mode set-up (0xCB/0xDB, only clock
//     divisor commands between, in the same buffer) names the chip-select
//     level that leaves the flash deselected.
//
// Thread-compatible: one model per device, calls serialised by its owner.
// No global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lib/wire/wire.hpp"
#include "sim/adapter/bit_order.hpp"
#include "sim/adapter/command_decoder.hpp"
#include "sim/adapter/connector_router.hpp"
#include "sim/adapter/diagnostics.hpp"
#include "sim/adapter/line_trace.hpp"
#include "sim/adapter/readback_fifo.hpp"
#include "sim/adapter/targets.hpp"

namespace orv::emu {

struct AdapterConfig {
    std::size_t readback_capacity =
        4096;                   // bounded read-back FIFO (bytes); overflow is reported, extra bits dropped
    unsigned latency_polls = 2; // the reported count reaches its true value over this many polls
};

struct TransferCounts {
    std::uint64_t out = 0, polls = 0, data_reads = 0;
    std::uint64_t out_bytes = 0;
};

class AdapterModel {
public:
    // `targets` outlives the model.
    AdapterModel(AdapterConfig config, Targets& targets);
    virtual ~AdapterModel();
    AdapterModel(const AdapterModel&) = delete;
    AdapterModel& operator=(const AdapterModel&) = delete;

    void write_commands(std::span<const std::uint8_t> stream); // endpoint 0x02: execute a command buffer
    std::uint32_t poll_count();                         // endpoint 0x83: the (latency-limited) ready count
    std::size_t read_data(std::span<std::uint8_t> out); // endpoint 0x81: pops up to out.size() bytes
    const TransferCounts& counts() const noexcept { return counts_; }
    void reset_counts() noexcept { counts_ = {}; }
    // Malformed/truncated streams, FIFO overflow. At most MAX_DIAGNOSTICS
    // entries are kept; diagnostics_dropped() counts the rest.
    const std::vector<std::string>& diagnostics() const noexcept { return diagnostics_.entries(); }
    std::size_t diagnostics_dropped() const noexcept { return diagnostics_.dropped(); }
    void clear_diagnostics() noexcept { diagnostics_.clear(); }
    static constexpr std::size_t MAX_DIAGNOSTICS = DiagnosticLog::MAX_ENTRIES;

    // Adapter settings, as the stream left them.
    [[nodiscard]] PinGroup low_pins() const noexcept { return router_.low_pins(); }
    [[nodiscard]] PinGroup high_pins() const noexcept { return high_; }
    [[nodiscard]] std::uint8_t clock_divisor() const noexcept { return divisor_; }
    [[nodiscard]] bool clock_fast() const noexcept { return clock_fast_; } // 0xAB (true) or 0xAC
    [[nodiscard]] std::uint8_t polarity_mode() const noexcept { return polarity_mode_; }   // last 0xCB value
    [[nodiscard]] std::uint8_t bit_order_mode() const noexcept { return bit_order_mode_; } // last 0xDB value
    [[nodiscard]] Connector active_connector() const noexcept { return router_.active(); }
    // Chip-select level that counts as inactive (learnt from SPI set-up).
    [[nodiscard]] bool spi_cs_inactive_level() const noexcept { return router_.chip_select_inactive_level(); }
    // Whole bytes in the FIFO and sampled bits waiting for a flush.
    [[nodiscard]] std::size_t readback_size() const noexcept { return fifo_.size(); }
    [[nodiscard]] unsigned pending_bits() const noexcept { return fifo_.pending_bits(); }
    [[nodiscard]] const AdapterConfig& config() const noexcept { return config_; }

    // Records every level change on the connectors from now on (null: no
    // longer). The trace is told the lines as they stand at once. Only while
    // no command buffer is running.
    void set_trace(LineTrace* trace);

private:
    void execute(const Command& command);
    void track_chip_select_window(const Command& command);
    void clock_engine(bool tms, bool out, BitOrder order, bool sample_input);
    void check_spi_clock_level();
    void clock_tms(const Command& command);
    void shift_bits(unsigned n, std::uint8_t data, BitOrder order, bool sample_input);
    void clocks(unsigned n, bool sample_input, BitOrder order);
    [[nodiscard]] unsigned clock_count(const Command& command);
    [[nodiscard]] unsigned clamped_count(const Command& command, unsigned limit, const char* kind,
                                         const char* unit);
    void sample(bool bit, BitOrder order);
    void flush();
    void report_overflow();
    [[nodiscard]] BitOrder mode_order() const noexcept;

    AdapterConfig config_;
    Targets& targets_;
    ConnectorRouter router_{targets_};
    ReadbackFifo fifo_;
    TransferCounts counts_;
    DiagnosticLog diagnostics_;
    LineTrace* trace_ = nullptr;

    PinGroup high_;
    std::uint8_t divisor_ = 0;
    bool clock_fast_ = false;
    std::uint8_t polarity_mode_ = MODE_CLOCK_IDLE_LOW;
    std::uint8_t bit_order_mode_ = MODE_LSB_FIRST;
    bool bit_order_set_ = false;
    bool cs_learn_armed_ = false; // a 0x20 right after the mode set-up names the idle CS level
    bool overflow_reported_ = false;
    bool clock_mismatch_reported_ = false;
};

} // namespace orv::emu
