#include "adapter.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "wire.hpp"

namespace orv::emu {

namespace {

// Pin use on the board's connectors (low pin group).
constexpr std::uint8_t SPI_DIRECTION = 0xF7; // pin 3 (MISO) the only input
constexpr std::uint8_t SPI_CLOCK_PIN = 0x01;
constexpr std::uint8_t SPI_CS_PIN = 0x02;
constexpr std::uint8_t I2C_DIRECTION_DRIVE = 0xFF;
constexpr std::uint8_t I2C_DIRECTION_RELEASE = 0xFB;
constexpr std::uint8_t I2C_SCL_PIN = 0x01;
constexpr std::uint8_t I2C_SDA_PIN = 0x04;

std::string hex_byte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Argument bytes after the opcode; -1 for an opcode the adapter does not know.
constexpr int argument_bytes(std::uint8_t opcode) noexcept
{
    switch (opcode) {
    case OP_SET_IO_LOW:
    case OP_SET_IO_HIGH:
    case OP_TMS_OUT:
    case OP_TMS_IO:
    case OP_BITS_OUT_LSB:
    case OP_BITS_IO_LSB:
    case OP_BITS_OUT_MSB:
    case OP_BITS_IO_MSB:
    case OP_CLOCKS:
    case OP_CLOCKS_READ:
    case OP_CLOCKS_READ_MSB:
        return 2;
    case OP_BYTES_OUT_LSB:
    case OP_BYTES_IO_LSB:
    case OP_BYTES_OUT_MSB:
    case OP_BYTES_IO_MSB:
        return 1; // then count + 1 data bytes
    case OP_SET_CLOCK_FAST:
    case OP_SET_CLOCK_SLOW:
    case OP_SET_CLOCK_POLARITY:
    case OP_SET_BIT_ORDER:
        return 1;
    case OP_FLUSH:
        return 0;
    default:
        return -1;
    }
}

constexpr bool is_byte_shift(std::uint8_t opcode) noexcept
{
    return opcode == OP_BYTES_OUT_LSB || opcode == OP_BYTES_IO_LSB || opcode == OP_BYTES_OUT_MSB ||
           opcode == OP_BYTES_IO_MSB;
}

// Two-byte clock counts. The low byte always holds (n - 1) mod 256; the high
// byte differs between the libraries that send these commands. The SPI form
// carries bits 8..15 of n. The JTAG form carries bits 7..14 of n, so bit 7 of
// n appears in both bytes and n is known modulo 32768 only (the smaller value
// is taken; extra clocks in Run-Test/Idle change nothing on the chain).
constexpr unsigned spi_clock_count(std::uint8_t low, std::uint8_t high) noexcept
{
    const unsigned n = 256u * high + ((unsigned{low} + 1u) & 0xFFu);
    return n == 0 ? 65536u : n;
}

constexpr unsigned jtag_clock_count(std::uint8_t low, std::uint8_t high) noexcept
{
    const unsigned n = (unsigned{high} << 7) | ((unsigned{low} + 1u) & 0x7Fu);
    return n == 0 ? 32768u : n;
}

constexpr bool jtag_clock_count_consistent(std::uint8_t low, std::uint8_t high) noexcept
{
    return (((unsigned{low} + 1u) >> 7) & 1u) == (high & 1u);
}

} // namespace

Adapter::Adapter(AdapterConfig config, Board board) : config_(config), board_(std::move(board)) {}

Adapter::~Adapter() = default;

void Adapter::clear_diagnostics() noexcept
{
    diagnostics_.clear();
    diagnostics_dropped_ = 0;
}

void Adapter::report(std::string message)
{
    if (diagnostics_.size() < MAX_DIAGNOSTICS) {
        diagnostics_.push_back(std::move(message));
    } else {
        ++diagnostics_dropped_;
    }
}

void Adapter::write_commands(std::span<const std::uint8_t> stream)
{
    ++counts_.out;
    counts_.out_bytes += stream.size();
    const std::size_t before = fifo_.size();
    overflow_reported_ = false;
    clock_mismatch_reported_ = false;
    cs_learn_armed_ = false; // the idle-level window never spans buffers
    execute(stream);
    if (fifo_.size() != before) {
        polls_left_ = config_.latency_polls;
    }
}

std::uint32_t Adapter::poll_count()
{
    ++counts_.polls;
    const std::size_t real = fifo_.size();
    reported_ = std::min(reported_, real);
    if (polls_left_ > 1) {
        reported_ += (real - reported_) / polls_left_;
        --polls_left_;
    } else {
        reported_ = real;
        polls_left_ = 0;
    }
    return static_cast<std::uint32_t>(std::min<std::size_t>(reported_, 0xFFFFFFFFu));
}

std::size_t Adapter::read_data(std::span<std::uint8_t> out)
{
    ++counts_.data_reads;
    const std::size_t n = std::min(out.size(), fifo_.size());
    std::copy_n(fifo_.begin(), n, out.begin());
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(n));
    reported_ = reported_ > n ? reported_ - n : 0;
    return n;
}

std::span<std::uint8_t> Adapter::i2c_memory(std::uint16_t address, bool ten_bit) noexcept
{
    auto* memory = dynamic_cast<I2cMemory*>(board_.i2c.find(address, ten_bit));
    if (memory == nullptr) {
        return {};
    }
    return memory->memory();
}

BitOrder Adapter::mode_order() const noexcept
{
    if (!bit_order_set_) {
        return BitOrder::lsb_first;
    }
    return bit_order_mode_ == MODE_LSB_FIRST ? BitOrder::lsb_first : BitOrder::msb_first;
}

void Adapter::execute(std::span<const std::uint8_t> stream)
{
    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::uint8_t opcode = stream[pos];
        const int args = argument_bytes(opcode);
        if (args < 0) {
            report("unknown opcode " + hex_byte(opcode) + " at offset " + std::to_string(pos) + " of " +
                   std::to_string(stream.size()) + ": rest of the buffer ignored");
            return;
        }
        std::size_t length = 1 + static_cast<std::size_t>(args);
        if (is_byte_shift(opcode) && pos + 1 < stream.size()) {
            length += std::size_t{stream[pos + 1]} + 1;
        }
        if (stream.size() - pos < length || (is_byte_shift(opcode) && pos + 1 >= stream.size())) {
            report("truncated command " + hex_byte(opcode) + " at offset " + std::to_string(pos) +
                   ": needs " +
                   std::to_string(is_byte_shift(opcode) && pos + 1 >= stream.size() ? 2 : length) +
                   " bytes, " + std::to_string(stream.size() - pos) + " left");
            return;
        }
        const auto command = stream.subspan(pos, length);
        pos += length;

        const std::uint8_t a = length > 1 ? command[1] : 0;
        const std::uint8_t b = length > 2 ? command[2] : 0;
        // A pin command right after the mode set-up names the idle chip-select
        // level; anything else in between ends that window.
        const bool keeps_window = opcode == OP_SET_CLOCK_FAST || opcode == OP_SET_CLOCK_SLOW ||
                                  opcode == OP_SET_CLOCK_POLARITY || opcode == OP_SET_BIT_ORDER;
        const bool armed = cs_learn_armed_;
        if (!keeps_window) {
            cs_learn_armed_ = false;
        }

        switch (opcode) {
        case OP_SET_IO_LOW:
            if (armed && a == SPI_DIRECTION) {
                cs_inactive_ = (b & SPI_CS_PIN) != 0;
            }
            set_low_pins(a, b);
            break;
        case OP_SET_IO_HIGH:
            high_ = PinGroup{a, b};
            activate(Connector::jtag);
            break;
        case OP_TMS_OUT:
        case OP_TMS_IO:
            activate(Connector::jtag);
            if (a >= MAX_TMS_CLOCKS) {
                report("TMS command " + hex_byte(opcode) + " with count byte " + hex_byte(a) +
                       " (more than 7 clocks)");
            }
            clock_tms(a, b, opcode == OP_TMS_IO);
            break;
        case OP_BITS_OUT_LSB:
        case OP_BITS_IO_LSB:
            if (a >= MAX_BITS_PER_COMMAND) {
                report("bit command " + hex_byte(opcode) + " with count byte " + hex_byte(a) +
                       " (more than 8 bits)");
            }
            shift_bits(std::min<unsigned>(a + 1u, 8u), b, BitOrder::lsb_first, opcode == OP_BITS_IO_LSB);
            break;
        case OP_BITS_OUT_MSB:
        case OP_BITS_IO_MSB:
            if (a >= MAX_BITS_PER_COMMAND) {
                report("bit command " + hex_byte(opcode) + " with count byte " + hex_byte(a) +
                       " (more than 8 bits)");
            }
            shift_bits(std::min<unsigned>(a + 1u, 8u), b, BitOrder::msb_first, opcode == OP_BITS_IO_MSB);
            break;
        case OP_BYTES_OUT_LSB:
        case OP_BYTES_IO_LSB:
            shift_bytes(command.subspan(2), BitOrder::lsb_first, opcode == OP_BYTES_IO_LSB);
            break;
        case OP_BYTES_OUT_MSB:
        case OP_BYTES_IO_MSB:
            shift_bytes(command.subspan(2), BitOrder::msb_first, opcode == OP_BYTES_IO_MSB);
            break;
        case OP_FLUSH:
            flush();
            break;
        case OP_CLOCKS:
            clocks(clock_count(opcode, a, b), false, mode_order());
            break;
        case OP_CLOCKS_READ:
            clocks(clock_count(opcode, a, b), true, mode_order());
            break;
        case OP_CLOCKS_READ_MSB:
            clocks(clock_count(opcode, a, b), true, BitOrder::msb_first);
            break;
        case OP_SET_CLOCK_FAST:
        case OP_SET_CLOCK_SLOW:
            divisor_ = a;
            clock_fast_ = opcode == OP_SET_CLOCK_FAST;
            break;
        case OP_SET_CLOCK_POLARITY:
            polarity_mode_ = a;
            cs_learn_armed_ = true;
            break;
        case OP_SET_BIT_ORDER:
            bit_order_mode_ = a;
            bit_order_set_ = true;
            cs_learn_armed_ = true;
            break;
        default:
            break;
        }
    }
}

unsigned Adapter::clock_count(std::uint8_t opcode, std::uint8_t low, std::uint8_t high)
{
    // Only the JTAG library sends the shifted-by-seven form, and only while
    // its connector is active.
    if (active_ == Connector::jtag && opcode == OP_CLOCKS) {
        if (!jtag_clock_count_consistent(low, high)) {
            report("clock command " + hex_byte(opcode) + " " + hex_byte(low) + " " + hex_byte(high) +
                   ": count bytes disagree on bit 7");
        }
        return jtag_clock_count(low, high);
    }
    return spi_clock_count(low, high);
}

void Adapter::set_low_pins(std::uint8_t direction, std::uint8_t level)
{
    low_ = PinGroup{direction, level};
    if (direction == SPI_DIRECTION) {
        activate(Connector::spi);
    } else if (direction == I2C_DIRECTION_DRIVE || direction == I2C_DIRECTION_RELEASE) {
        activate(Connector::i2c);
    } else {
        activate(Connector::jtag);
    }
    apply_pins_to_connector();
}

void Adapter::activate(Connector connector)
{
    if (connector == active_) {
        return;
    }
    // The connector left behind sees released lines.
    switch (active_) {
    case Connector::spi:
        if (board_.flash.selected()) {
            board_.flash.deselect();
        }
        break;
    case Connector::i2c:
        board_.i2c.disconnect();
        break;
    default:
        break;
    }
    active_ = connector;
    apply_pins_to_connector();
}

void Adapter::apply_pins_to_connector()
{
    switch (active_) {
    case Connector::spi: {
        const bool cs = (low_.level & SPI_CS_PIN) != 0;
        const bool select = cs != cs_inactive_;
        if (select && !board_.flash.selected()) {
            board_.flash.select();
        } else if (!select && board_.flash.selected()) {
            board_.flash.deselect();
        }
        break;
    }
    case Connector::i2c: {
        const bool scl = (low_.direction & I2C_SCL_PIN) == 0 || (low_.level & I2C_SCL_PIN) != 0;
        const bool sda = (low_.direction & I2C_SDA_PIN) == 0 || (low_.level & I2C_SDA_PIN) != 0;
        board_.i2c.set_master(scl, sda);
        data_out_ = (low_.level & I2C_SDA_PIN) != 0;
        break;
    }
    default:
        break;
    }
}

bool Adapter::clock_connector(bool tms, bool out, BitOrder order)
{
    data_out_ = out;
    switch (active_) {
    case Connector::jtag:
        return board_.jtag.clock(tms, out);
    case Connector::spi:
        check_spi_clock_level();
        if (!board_.flash.selected()) {
            return true; // MISO pulled up
        }
        return board_.flash.clock(out, order);
    case Connector::i2c: {
        // Data goes out on SDA only while the adapter drives that pin.
        const bool driven = (low_.direction & I2C_SDA_PIN) != 0;
        return board_.i2c.clock(driven ? out : true);
    }
    case Connector::none:
        break;
    }
    return true;
}

void Adapter::check_spi_clock_level()
{
    // The clock line rests where the pin command left it; the polarity mode
    // must agree, or the adapter would clock the wrong edges.
    const bool idles_high = (low_.level & SPI_CLOCK_PIN) != 0;
    const bool mode_high = polarity_mode_ != MODE_CLOCK_IDLE_LOW;
    if (idles_high != mode_high && !clock_mismatch_reported_) {
        report(std::string("SPI clock rests ") + (idles_high ? "high" : "low") +
               " but the polarity mode is " + hex_byte(polarity_mode_));
        clock_mismatch_reported_ = true;
    }
}

void Adapter::clock_tms(std::uint8_t count, std::uint8_t pattern, bool sample)
{
    const unsigned n = std::min<unsigned>(count + 1u, MAX_TMS_CLOCKS);
    const bool tdi = (pattern & TMS_TDI_BIT) != 0;
    for (unsigned k = 0; k < n; ++k) {
        const bool tdo = board_.jtag.clock(((pattern >> k) & 1) != 0, tdi);
        if (sample) {
            push_sample(tdo, BitOrder::lsb_first);
        }
    }
    data_out_ = tdi;
}

void Adapter::shift_bits(unsigned n, std::uint8_t data, BitOrder order, bool sample)
{
    for (unsigned k = 0; k < n; ++k) {
        const unsigned bit = order == BitOrder::lsb_first ? k : 7 - k;
        const bool in = clock_connector(false, ((data >> bit) & 1) != 0, order);
        if (sample) {
            push_sample(in, order);
        }
    }
}

void Adapter::shift_bytes(std::span<const std::uint8_t> data, BitOrder order, bool sample)
{
    for (const std::uint8_t byte : data) {
        shift_bits(8, byte, order, sample);
    }
}

void Adapter::clocks(unsigned n, bool sample, BitOrder order)
{
    // Clock-only cycles keep the data output where the last shift left it;
    // on the I2C connector that is whatever the pin command drives.
    for (unsigned k = 0; k < n; ++k) {
        const bool in = clock_connector(false, active_ == Connector::i2c ? true : data_out_, order);
        if (sample) {
            push_sample(in, order);
        }
    }
}

void Adapter::push_sample(bool bit, BitOrder order)
{
    // Next free position counted from the order's own end of the byte.
    unsigned position = 0;
    if (order == BitOrder::lsb_first) {
        while (position < 8 && ((pending_used_ >> position) & 1) != 0) {
            ++position;
        }
    } else {
        position = 7;
        while (position > 0 && ((pending_used_ >> position) & 1) != 0) {
            --position;
        }
    }
    pending_used_ = static_cast<std::uint8_t>(pending_used_ | (1u << position));
    if (bit) {
        pending_ = static_cast<std::uint8_t>(pending_ | (1u << position));
    }
    ++pending_count_;
    if (pending_count_ == 8) {
        push_byte(pending_);
        pending_ = 0;
        pending_used_ = 0;
        pending_count_ = 0;
    }
}

void Adapter::flush()
{
    if (pending_count_ == 0) {
        return;
    }
    push_byte(pending_);
    pending_ = 0;
    pending_used_ = 0;
    pending_count_ = 0;
}

void Adapter::push_byte(std::uint8_t value)
{
    if (fifo_.size() >= config_.readback_capacity) {
        if (!overflow_reported_) {
            report("read-back FIFO full (" + std::to_string(config_.readback_capacity) +
                   " bytes): sampled bits dropped");
            overflow_reported_ = true;
        }
        return;
    }
    fifo_.push_back(value);
}

} // namespace orv::emu
