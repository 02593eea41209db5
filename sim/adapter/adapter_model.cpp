#include "sim/adapter/adapter_model.hpp"

#include <algorithm>
#include <utility>

namespace orv::emu {

AdapterModel::AdapterModel(AdapterConfig config, Targets& targets)
    : config_(config), targets_(targets), fifo_(config.readback_capacity, config.latency_polls)
{
}

AdapterModel::~AdapterModel() = default;

void AdapterModel::write_commands(std::span<const std::uint8_t> stream)
{
    ++counts_.out;
    counts_.out_bytes += stream.size();
    overflow_reported_ = false;
    clock_mismatch_reported_ = false;
    cs_learn_armed_ = false; // the idle-level window never spans buffers
    CommandDecoder decoder(stream);
    while (const auto command = decoder.next()) {
        execute(*command);
    }
    if (!decoder.error().empty()) {
        diagnostics_.report(decoder.error());
    }
    fifo_.buffer_done();
}

std::uint32_t AdapterModel::poll_count()
{
    ++counts_.polls;
    return fifo_.poll_count();
}

std::size_t AdapterModel::read_data(std::span<std::uint8_t> out)
{
    ++counts_.data_reads;
    return fifo_.pop(out);
}

void AdapterModel::set_trace(LineTrace* trace)
{
    trace_ = trace;
    if (trace_ != nullptr) {
        trace_->begin(router_, targets_, divisor_);
    }
}

BitOrder AdapterModel::mode_order() const noexcept
{
    if (!bit_order_set_) {
        return BitOrder::lsb_first;
    }
    return bit_order_mode_ == MODE_LSB_FIRST ? BitOrder::lsb_first : BitOrder::msb_first;
}

void AdapterModel::execute(const Command& command)
{
    track_chip_select_window(command);
    switch (command.opcode) {
    case OP_SET_IO_LOW:
        router_.set_low_pins(PinGroup{command.direction, command.level});
        if (trace_ != nullptr) {
            trace_->pin_command(router_, targets_, true);
        }
        break;
    case OP_SET_IO_HIGH:
        high_ = PinGroup{command.direction, command.level};
        router_.activate(Connector::jtag);
        if (trace_ != nullptr) {
            trace_->pin_command(router_, targets_, false);
        }
        break;
    case OP_TMS_OUT:
    case OP_TMS_IO:
        if (router_.active() != Connector::jtag) {
            router_.activate(Connector::jtag);
            if (trace_ != nullptr) {
                trace_->connector_changed(router_, targets_);
            }
        }
        clock_tms(command);
        break;
    case OP_BITS_OUT_LSB:
    case OP_BITS_IO_LSB:
        shift_bits(clamped_count(command, MAX_BITS_PER_COMMAND, "bit command", "bits"), command.data_byte,
                   BitOrder::lsb_first, command.opcode == OP_BITS_IO_LSB);
        break;
    case OP_BITS_OUT_MSB:
    case OP_BITS_IO_MSB:
        shift_bits(clamped_count(command, MAX_BITS_PER_COMMAND, "bit command", "bits"), command.data_byte,
                   BitOrder::msb_first, command.opcode == OP_BITS_IO_MSB);
        break;
    case OP_BYTES_OUT_LSB:
    case OP_BYTES_IO_LSB:
        for (const std::uint8_t byte : command.data) {
            shift_bits(8, byte, BitOrder::lsb_first, command.opcode == OP_BYTES_IO_LSB);
        }
        break;
    case OP_BYTES_OUT_MSB:
    case OP_BYTES_IO_MSB:
        for (const std::uint8_t byte : command.data) {
            shift_bits(8, byte, BitOrder::msb_first, command.opcode == OP_BYTES_IO_MSB);
        }
        break;
    case OP_FLUSH:
        flush();
        break;
    case OP_CLOCKS:
        clocks(clock_count(command), false, mode_order());
        break;
    case OP_CLOCKS_READ:
        clocks(clock_count(command), true, mode_order());
        break;
    case OP_CLOCKS_READ_MSB:
        clocks(clock_count(command), true, BitOrder::msb_first);
        break;
    case OP_SET_CLOCK_FAST:
    case OP_SET_CLOCK_SLOW:
        divisor_ = command.divisor;
        clock_fast_ = command.opcode == OP_SET_CLOCK_FAST;
        if (trace_ != nullptr) {
            trace_->clock_divisor(divisor_);
        }
        break;
    case OP_SET_CLOCK_POLARITY:
        polarity_mode_ = command.mode;
        cs_learn_armed_ = true;
        break;
    case OP_SET_BIT_ORDER:
        bit_order_mode_ = command.mode;
        bit_order_set_ = true;
        cs_learn_armed_ = true;
        break;
    default:
        break;
    }
}

void AdapterModel::track_chip_select_window(const Command& command)
{
    // A SPI pin command right after the mode set-up names the idle
    // chip-select level; anything but the set-up itself ends that window.
    const bool keeps_window = command.opcode == OP_SET_CLOCK_FAST || command.opcode == OP_SET_CLOCK_SLOW ||
                              command.opcode == OP_SET_CLOCK_POLARITY || command.opcode == OP_SET_BIT_ORDER;
    if (cs_learn_armed_ && command.opcode == OP_SET_IO_LOW && command.direction == SPI_DIRECTION) {
        router_.set_chip_select_inactive_level((command.level & SPI_PIN_CHIP_SELECT) != 0);
    }
    if (!keeps_window) {
        cs_learn_armed_ = false;
    }
}

unsigned AdapterModel::clamped_count(const Command& command, unsigned limit, const char* kind,
                                     const char* unit)
{
    if (command.count >= limit) {
        diagnostics_.report(std::string(kind) + " " + hex_byte(command.opcode) + " with count byte " +
                            hex_byte(command.count) + " (more than " + std::to_string(limit) + " " + unit +
                            ")");
    }
    return std::min<unsigned>(command.count + 1U, limit);
}

unsigned AdapterModel::clock_count(const Command& command)
{
    // Only the JTAG library sends the shifted-by-seven form, and only while
    // its connector is active.
    if (router_.active() == Connector::jtag && command.opcode == OP_CLOCKS) {
        if (!command.jtag_form_consistent()) {
            diagnostics_.report("clock command " + hex_byte(command.opcode) + " " + hex_byte(command.count) +
                                " " + hex_byte(command.count_high) + ": count bytes disagree on bit 7");
        }
        return command.clocks_jtag_form();
    }
    return command.clocks_spi_form();
}

void AdapterModel::clock_engine(bool tms, bool out, BitOrder order, bool sample_input)
{
    if (router_.active() == Connector::spi) {
        check_spi_clock_level();
    }
    const bool in = router_.clock(tms, out, order);
    if (trace_ != nullptr) {
        EngineClock clock{tms, out, in, std::nullopt};
        if (sample_input) {
            clock.sample = fifo_.next_slot(order);
        }
        trace_->clocked(router_, targets_, clock);
    }
    if (sample_input) {
        sample(in, order);
    }
}

void AdapterModel::check_spi_clock_level()
{
    // The clock line rests where the pin command left it; the polarity mode
    // must agree, or the adapter would clock the wrong edges.
    const bool idles_high = (router_.low_pins().level & SPI_PIN_CLOCK) != 0;
    const bool mode_high = polarity_mode_ != MODE_CLOCK_IDLE_LOW;
    if (idles_high != mode_high && !clock_mismatch_reported_) {
        diagnostics_.report(std::string("SPI clock rests ") + (idles_high ? "high" : "low") +
                            " but the polarity mode is " + hex_byte(polarity_mode_));
        clock_mismatch_reported_ = true;
    }
}

void AdapterModel::clock_tms(const Command& command)
{
    const unsigned n = clamped_count(command, MAX_TMS_CLOCKS, "TMS command", "clocks");
    const bool tdi = (command.pattern & TMS_TDI_BIT) != 0;
    for (unsigned k = 0; k < n; ++k) {
        clock_engine(((command.pattern >> k) & 1) != 0, tdi, BitOrder::lsb_first,
                     command.opcode == OP_TMS_IO);
    }
}

void AdapterModel::shift_bits(unsigned n, std::uint8_t data, BitOrder order, bool sample_input)
{
    for (unsigned k = 0; k < n; ++k) {
        const unsigned bit = order == BitOrder::lsb_first ? k : 7 - k;
        clock_engine(false, ((data >> bit) & 1) != 0, order, sample_input);
    }
}

void AdapterModel::clocks(unsigned n, bool sample_input, BitOrder order)
{
    // Clock-only cycles keep the data output where the last shift left it.
    for (unsigned k = 0; k < n; ++k) {
        clock_engine(false, router_.held_data_level(), order, sample_input);
    }
}

void AdapterModel::sample(bool bit, BitOrder order)
{
    if (!fifo_.push_sample(bit, order)) {
        report_overflow();
    }
}

void AdapterModel::flush()
{
    if (!fifo_.flush()) {
        report_overflow();
    }
}

void AdapterModel::report_overflow()
{
    if (!overflow_reported_) {
        diagnostics_.report("read-back FIFO full (" + std::to_string(fifo_.capacity()) +
                            " bytes): sampled bits dropped");
        overflow_reported_ = true;
    }
}

} // namespace orv::emu
