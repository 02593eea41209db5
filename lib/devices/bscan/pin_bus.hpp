// Buses made of a boundary-scan device's pins: an SPI master on four of them
// (CS, SCK, MOSI, MISO) and an I2C master on two (SCL, SDA, open drain),
// driven in EXTEST while the chain's other devices are in BYPASS and every
// other pin of the device keeps the level it had.
//
// Each change of the lines is one EXTEST update. Each DR scan goes straight
// from Update-DR to the next (Select-DR, Capture, Shift), so a scan costs
// the DR length and four TMS clocks; TDO is sampled only at the cells of the
// lines read, only in the scans whose capture holds a level the caller
// reads: the capture of a scan sees the lines as the update before left
// them. The scans are spelled with the JTAG library's own command forms
// (tap_phases.hpp): the register's bits write-only, each sampled cell's bit
// alone in a one-bit read, the exit of one scan and the entry into the next
// in one TMS command. A transaction goes out in as few OUT transfers and
// read-back exchanges as the read-back bound allows: one bit of read-back
// per level read.
//
// SPI: a clock is two updates, the data with SCK low, then SCK high; MISO
// is read in the capture of the scan after the rising edge (the part
// changes it only at the falling edge).
//
// I2C: a line is driven low (output 0, enabled) or let go (the control cell
// at its disable value), never driven high; a let-go line reads the board's
// pull-up. A bit is the data with SCL low, SCL let go, SCL low again (the
// data update left out when SDA keeps its level); SDA and SCL are read in
// the capture of the scan after SCL was let go. SCL reading low there means
// its net is held (stuck, or a device stretching the clock): the
// transaction is refused as failed rather than read wrong; a bus opened to
// wait for SCL sends the scans so far at each release and reads SCL until
// it is high before it goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lib/devices/bscan/boundary_chain.hpp"
#include "lib/devices/flash/spi_bus.hpp"
#include "lib/devices/i2c/i2c_link.hpp"

namespace orv::dev::bscan {

// What one transaction costs on the chain (for the bench).
struct PinBusStats {
    std::uint64_t scans = 0;
    std::uint64_t spi_clocks = 0; // SPI clocks, or I2C bit clocks
    engine::SequenceStats wire;
};

// A line of a bus: its role ("MISO") and its pin.
struct PinLine {
    const char* role;
    std::size_t pin = 0; // Boundary::pins() index
};

// One device held in EXTEST for a bus on some of its pins, and the DR scans
// that move them.
class HeldPins {
public:
    // A cell of the device's boundary register set to a value.
    struct Cell {
        std::size_t index = 0; // in the device's register
        std::uint8_t value = 0;
    };
    class Batch;

    // Checks that the TAP has a file naming SAMPLE/PRELOAD and EXTEST
    // (Failure(ORVDEV_ERROR_INVALID_ARGUMENT or ORVDEV_ERROR_BSCAN_UNSUPPORTED)).
    HeldPins(BoundaryChain& chain, std::size_t tap);
    // Returns the devices to their normal function (Test-Logic-Reset).
    ~HeldPins();
    HeldPins(const HeldPins&) = delete;
    HeldPins& operator=(const HeldPins&) = delete;

    [[nodiscard]] BoundaryChain& chain() const noexcept { return chain_; }
    [[nodiscard]] std::size_t tap() const noexcept { return tap_; }
    [[nodiscard]] const Boundary& boundary() const { return chain_.boundary(tap_); }
    [[nodiscard]] Session& session() const noexcept { return chain_.jtag().session(); }
    // A pin of the device by name for a line (Failure(ORVDEV_ERROR_UNKNOWN_PIN)).
    [[nodiscard]] std::size_t find(const char* role, const std::string& name) const;
    // "MISO (PA6)", for messages.
    [[nodiscard]] std::string name(const PinLine& line) const;
    // Whether the device can drive the pin (it has an output cell).
    [[nodiscard]] static bool can_drive(const PinCells& pin);
    // Adds `pin` to the bus's `used` pins; Failure(ORVDEV_ERROR_INVALID_ARGUMENT)
    // when another line has it.
    static void use_once(const char* role, const std::string& name, std::vector<std::size_t>& used,
                         std::size_t pin);

    // Samples the pins; every pin but `bus` keeps what it shows from now on
    // (driven ones their level, the rest let go).
    void keep_others(const std::vector<std::size_t>& bus);
    // PRELOAD and EXTEST with the bus pins as `bus` says and the others
    // kept: the device is held from here; returns what the pins read.
    Readout hold(const std::vector<PinSetting>& bus);
    // After the first hold: the chain's DR in EXTEST (the other TAPs in
    // BYPASS, this one at its held image), which the scans change.
    void take_register();
    // Holds the device again when another user of the adapter (or a
    // failure) came between, then makes the adapter the chain's.
    void rehold(const std::vector<PinSetting>& bus);
    // Releases the device now (a failed open).
    void release_now() noexcept;

    // A transaction's scans: begin() before the first, scan() for each,
    // end() after the last, then the batch's send(); finish() with its
    // result (a failed one forgets the holds).
    void begin() noexcept { first_scan_ = stats_.scans; }
    // One DR scan: `set` cells changed first, then the cells of `sample`
    // (register indices, ascending) read, in that order.
    void scan(Batch& batch, std::span<const Cell> set, std::span<const std::size_t> sample);
    void end(Batch& batch);
    void finish(std::int32_t rc, const std::string& doing);

    [[nodiscard]] std::size_t dr_length() const noexcept { return dr_length_; }
    [[nodiscard]] PinBusStats& stats() noexcept { return stats_; }
    [[nodiscard]] const PinBusStats& stats() const noexcept { return stats_; }

private:
    BoundaryChain& chain_;
    std::size_t tap_;
    std::vector<PinSetting> kept_; // the other pins as they were
    Bits dr_;                      // the chain's DR in EXTEST, shift order
    std::size_t dr_length_ = 0;
    std::size_t offset_ = 0; // of the TAP's register in dr_
    bool holding_ = false;
    PinBusStats stats_;
    // While a transaction is built: the scan that enters from Run-Test/Idle
    // (or from an Update-DR reached already), the last bit of the scan
    // before (it goes with the exit clock), whether that scan has exited.
    std::uint64_t first_scan_ = 0;
    bool last_bit_ = false;
    bool exited_ = false;
};

// The scans of a transaction as adapter commands, cut into batches whose
// read-back stays within the bound; each batch ends in a flush and goes out
// as one OUT transfer and one read-back exchange.
class HeldPins::Batch {
public:
    static constexpr std::size_t MAX_READBACK_BITS = 8 * engine::DEFAULT_MAX_READBACK;

    Batch(const Session& session, PinBusStats& stats);

    // TMS clocks (pattern bit k for clock k), TDI held at `tdi`.
    void tms(std::uint8_t pattern, unsigned clocks, bool tdi, bool read = false);
    // Bits [from, to) of `bits` shifted with TMS low, none read.
    void shift(const Bits& bits, std::size_t from, std::size_t to);
    // One bit shifted with TMS low, TDO read.
    void read_bit(bool tdi);
    // Sends the batch when `more` levels read would not fit its read-back;
    // `levels` gets what it read.
    [[nodiscard]] std::int32_t send_if_full(std::vector<std::uint8_t>& levels, std::size_t more = 1);
    [[nodiscard]] std::int32_t send(std::vector<std::uint8_t>& levels);

private:
    template <typename F> void command(F&& put);

    engine::UsbWire wire_;
    PinBusStats& stats_;
    std::vector<std::uint8_t> stream_;
    std::size_t size_ = 0;
    std::size_t sampled_ = 0;
};

// The pins of an SPI bus, by name.
struct SpiPinNames {
    std::string cs, sck, mosi, miso;
};

class PinSpiBus final : public flash::SpiBus {
public:
    // Checks the TAP and the pins (CS, SCK, MOSI must drive; MISO must be
    // read; four different pins) before anything is sent:
    // Failure(ORVDEV_ERROR_INVALID_ARGUMENT, ORVDEV_ERROR_UNKNOWN_PIN or
    // ORVDEV_ERROR_BSCAN_UNSUPPORTED). Then samples the pins, holds the
    // device in EXTEST with every pin at what it showed, CS high, SCK at its
    // idle level, MOSI low, and checks that SCK and MOSI read back both
    // levels and CS its high one (a stuck or shorted net:
    // ORVDEV_ERROR_NO_FLASH naming the line). `mode` is 0 or 3.
    PinSpiBus(BoundaryChain& chain, std::size_t tap, const SpiPinNames& names, int mode);

    [[nodiscard]] Session& session() const noexcept override { return pins_.session(); }
    // The JTAG clock; an SPI clock takes 2 x (DR length + 4) of them.
    [[nodiscard]] const ClockChoice& clock() const noexcept override { return pins_.chain().jtag().clock(); }
    [[nodiscard]] std::size_t max_read() const noexcept override { return MAX_READ; }
    void transact(const flash::SpiCommand& command, const std::string& doing) override;

    [[nodiscard]] const PinBusStats& stats() const noexcept { return pins_.stats(); }
    // TCK clocks of one SPI clock.
    [[nodiscard]] std::uint64_t clocks_per_spi_clock() const noexcept { return 2 * (pins_.dr_length() + 4); }
    // "MISO (PA6)", for messages.
    [[nodiscard]] std::string line(const char* role) const;

    static constexpr std::size_t MAX_READ = 512;

private:
    [[nodiscard]] std::vector<PinSetting> at_rest() const;
    // One DR scan into the batch.
    void scan(HeldPins::Batch& batch, bool cs, bool sck, bool mosi, bool sample);

    HeldPins pins_;
    int mode_;
    PinLine cs_{"CS"}, sck_{"SCK"}, mosi_{"MOSI"}, miso_{"MISO"};
};

// The pins of an I2C bus, by name.
struct I2cPinNames {
    std::string scl, sda;
};

class PinI2cLink final : public i2c::Link {
public:
    // Checks the TAP and the pins (each must be driven low and let go: an
    // output cell and a control cell; SDA must be read; two different pins)
    // before anything is sent: Failure(ORVDEV_ERROR_INVALID_ARGUMENT,
    // ORVDEV_ERROR_UNKNOWN_PIN or ORVDEV_ERROR_BSCAN_UNSUPPORTED). Then
    // samples the pins, holds the device in EXTEST with every pin at what it
    // showed and both lines let go, and checks that they read high and
    // follow a drive low (a stuck net or one without its pull-up:
    // ORVDEV_ERROR_I2C_LINE_HELD naming the line). With `wait_for_scl`
    // (SCL must have an input cell) every release of SCL is followed by
    // reads of it until it is high, for devices that stretch the clock: a
    // read-back exchange per bit clock.
    PinI2cLink(BoundaryChain& chain, std::size_t tap, const I2cPinNames& names, bool ten_bit,
               bool wait_for_scl = false);

    [[nodiscard]] Session& session() const noexcept override { return pins_.session(); }
    // The JTAG clock; an I2C bit takes 2 or 3 x (DR length + 4) of them.
    [[nodiscard]] const ClockChoice& clock() const noexcept override { return pins_.chain().jtag().clock(); }
    [[nodiscard]] bool ten_bit() const noexcept override { return ten_bit_; }
    [[nodiscard]] std::size_t max_read() const noexcept override { return MAX_READ; }
    void claim() override { pins_.rehold(at_rest()); }

    std::optional<i2c::TransferFault> probe(std::uint32_t addr, bool read) override;
    std::optional<i2c::TransferFault> read(std::uint32_t addr, std::span<std::uint8_t> out) override;
    std::optional<i2c::TransferFault> write(std::uint32_t addr, std::span<const std::uint8_t> bytes) override;
    std::optional<i2c::TransferFault> transfer(std::span<const i2c::Message> messages) override;

    [[nodiscard]] const PinBusStats& stats() const noexcept { return pins_.stats(); }
    [[nodiscard]] std::string line(const char* role) const;

    static constexpr std::size_t MAX_READ = 256;

private:
    // The cells that pull a line low, and those that let it go.
    struct OpenDrain {
        std::vector<HeldPins::Cell> low, released;
    };
    class Transaction;
    [[nodiscard]] std::vector<PinSetting> at_rest() const;
    std::optional<i2c::TransferFault> run(std::span<const i2c::Message> messages);

    HeldPins pins_;
    bool ten_bit_;
    PinLine scl_{"SCL"}, sda_{"SDA"};
    OpenDrain scl_cells_, sda_cells_;
    std::size_t scl_input_ = 0, sda_input_ = 0; // register cells; SCL's when it has one
    bool scl_read_ = false;
    bool wait_for_scl_ = false;
};

} // namespace orv::dev::bscan
