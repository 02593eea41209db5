// A software model of the USB bridge adapter and the board behind it.
//
// The adapter executes the byte-coded command stream that arrives on bulk
// endpoint 0x02 (write_commands), keeps its pin, clock and mode settings,
// drives the board's buses with its pins and shift engine, and collects the
// sampled input bits in a bounded read-back FIFO that the host polls on 0x83
// (poll_count) and reads on 0x81 (read_data).
//
// Stream decoding: every opcode has a fixed argument length (plus n data bytes
// for 0x7B..0x7E). An unknown opcode or a command cut off by the end of the
// buffer is reported in diagnostics() and ends the execution of that buffer;
// the commands before it have run, nothing after it is read.
//
// Read-back packing: sampled bits go into the FIFO without gaps between
// commands (and between buffers); 0x8B closes a partly filled byte (its free
// bit positions read 0) and adds nothing when no bit is pending. Only whole
// bytes are visible to the host. Bit positions inside a byte:
//   - LSB-first samplers (0x5C, 0x6C, 0x7C) put each sample at the lowest free
//     bit position of the byte being filled (the first sample of a byte lands
//     in bit 0);
//   - MSB-first samplers (0x6E, 0x7E, 0x9D) put it at the highest free position
//     (the first sample lands in bit 7);
//   - 0x9C follows the bit order set by 0xDB: 0x11 LSB first, 0xFF (any other
//     value) MSB first; before any 0xDB it is LSB first.
// So a byte filled by one order alone reads as that order's shift register,
// and a byte shared by both orders keeps every sample (the LSB samples fill
// upward from bit 0, the MSB samples downward from bit 7).
//
// Also reported: a SPI clock whose resting level (bit 0 of the pin command)
// disagrees with the 0xCB polarity mode.
//
// FIFO bound: at most readback_capacity whole bytes are held; a byte that
// would exceed it is dropped and the overflow reported.
//
// Latency: poll_count() does not show new bytes at once. When bytes arrive,
// the count reported to the host grows over the next latency_polls polls
// (with 2: half of the new bytes on the first poll, all on the second); it
// never exceeds what the FIFO holds. latency_polls 0 reports the true count.
//
// Routing (the board has three connectors on one shift engine, one active at
// a time):
//   - 0x5B/0x5C and 0x21 make the JTAG connector active; so does 0x20 with a
//     direction mask other than 0xF7, 0xFF and 0xFB;
//   - 0x20 with direction 0xF7 makes the SPI connector active;
//   - 0x20 with direction 0xFF or 0xFB makes the I2C connector active.
// Shift and clock commands go to the active connector. An inactive connector
// sees released lines: the flash is deselected, the I2C bus idle, the JTAG
// chain unclocked. See README.md for the pin use of each connector.
//
// Thread-compatible: one Adapter per device, calls serialised by its owner.
// No global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "i2c_bus.hpp"
#include "jtag_chain.hpp"
#include "spi_flash.hpp"

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

enum class Connector : std::uint8_t { none, jtag, spi, i2c };

struct PinGroup {
    std::uint8_t direction = 0; // bit set: driven by the adapter
    std::uint8_t level = 0;
};

// What the board carries. The default board: make_default_board().
struct Board {
    JtagChain jtag;
    SpiFlash flash;
    I2cBus i2c;
};

class Adapter {
public:
    explicit Adapter(AdapterConfig config, Board board);
    virtual ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    void write_commands(std::span<const std::uint8_t> stream); // endpoint 0x02: execute a command buffer
    std::uint32_t poll_count();                         // endpoint 0x83: the (latency-limited) ready count
    std::size_t read_data(std::span<std::uint8_t> out); // endpoint 0x81: pops up to out.size() bytes
    const TransferCounts& counts() const noexcept { return counts_; }
    void reset_counts() noexcept { counts_ = {}; }
    // Malformed/truncated streams, FIFO overflow. At most MAX_DIAGNOSTICS
    // entries are kept; diagnostics_dropped() counts the rest.
    const std::vector<std::string>& diagnostics() const noexcept { return diagnostics_; }
    std::size_t diagnostics_dropped() const noexcept { return diagnostics_dropped_; }
    void clear_diagnostics() noexcept;
    static constexpr std::size_t MAX_DIAGNOSTICS = 256;

    // Adapter settings, as the stream left them.
    [[nodiscard]] PinGroup low_pins() const noexcept { return low_; }
    [[nodiscard]] PinGroup high_pins() const noexcept { return high_; }
    [[nodiscard]] std::uint8_t clock_divisor() const noexcept { return divisor_; }
    [[nodiscard]] bool clock_fast() const noexcept { return clock_fast_; } // 0xAB (true) or 0xAC
    [[nodiscard]] std::uint8_t polarity_mode() const noexcept { return polarity_mode_; }   // last 0xCB value
    [[nodiscard]] std::uint8_t bit_order_mode() const noexcept { return bit_order_mode_; } // last 0xDB value
    [[nodiscard]] Connector active_connector() const noexcept { return active_; }
    // Chip-select level that counts as inactive (learnt from SPI set-up).
    [[nodiscard]] bool spi_cs_inactive_level() const noexcept { return cs_inactive_; }
    // Whole bytes in the FIFO and sampled bits waiting for a flush.
    [[nodiscard]] std::size_t readback_size() const noexcept { return fifo_.size(); }
    [[nodiscard]] unsigned pending_bits() const noexcept { return pending_count_; }
    [[nodiscard]] const AdapterConfig& config() const noexcept { return config_; }

    // The board's targets, for tests.
    [[nodiscard]] JtagChain& jtag() noexcept { return board_.jtag; }
    [[nodiscard]] SpiFlash& flash() noexcept { return board_.flash; }
    [[nodiscard]] I2cBus& i2c() noexcept { return board_.i2c; }
    [[nodiscard]] std::span<std::uint8_t> flash_memory() noexcept { return board_.flash.memory(); }
    // Memory of an I2cMemory device (empty when there is none at that address).
    [[nodiscard]] std::span<std::uint8_t> i2c_memory(std::uint16_t address, bool ten_bit = false) noexcept;
    // The default board's 24C02 at 0x50.
    [[nodiscard]] std::span<std::uint8_t> eeprom_memory() noexcept { return i2c_memory(0x50); }

private:
    void execute(std::span<const std::uint8_t> stream);
    void set_low_pins(std::uint8_t direction, std::uint8_t level);
    void activate(Connector connector);
    void apply_pins_to_connector();
    bool clock_connector(bool tms, bool out, BitOrder order);
    void check_spi_clock_level();
    void clock_tms(std::uint8_t count, std::uint8_t pattern, bool sample);
    void shift_bits(unsigned n, std::uint8_t data, BitOrder order, bool sample);
    void shift_bytes(std::span<const std::uint8_t> data, BitOrder order, bool sample);
    void clocks(unsigned n, bool sample, BitOrder order);
    unsigned clock_count(std::uint8_t opcode, std::uint8_t low, std::uint8_t high);
    void push_sample(bool bit, BitOrder order);
    void flush();
    void push_byte(std::uint8_t value);
    void report(std::string message);
    [[nodiscard]] BitOrder mode_order() const noexcept;

    AdapterConfig config_;
    Board board_;
    TransferCounts counts_;
    std::vector<std::string> diagnostics_;
    std::size_t diagnostics_dropped_ = 0;

    PinGroup low_;
    PinGroup high_;
    std::uint8_t divisor_ = 0;
    bool clock_fast_ = false;
    std::uint8_t polarity_mode_ = 0x11;
    std::uint8_t bit_order_mode_ = 0x11;
    bool bit_order_set_ = false;
    Connector active_ = Connector::jtag; // the JTAG connector until a pin command says otherwise
    bool cs_inactive_ = true;            // chip select active low until set-up says otherwise
    bool cs_learn_armed_ = false;        // a 0x20 right after the mode set-up names the idle CS level
    bool data_out_ = false;              // last level the shift engine drove on its data output

    std::deque<std::uint8_t> fifo_;
    std::uint8_t pending_ = 0;      // byte being filled
    std::uint8_t pending_used_ = 0; // bit positions taken in it
    unsigned pending_count_ = 0;
    bool overflow_reported_ = false;
    bool clock_mismatch_reported_ = false;
    std::size_t reported_ = 0; // count the host has been shown
    unsigned polls_left_ = 0;  // polls until the count is fully shown
};

// The default board: the JTAG chain, SPI flash and I2C devices described in
// README.md.
Board make_default_board_parts();
std::unique_ptr<Adapter> make_default_board(AdapterConfig config = {});

} // namespace orv::emu
