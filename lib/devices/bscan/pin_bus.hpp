// Buses made of a boundary-scan device's pins: an SPI master on four of them
// (CS, SCK, MOSI, MISO), driven in EXTEST while the chain's other devices
// are in BYPASS and every other pin of the device keeps the level it had.
//
// An SPI clock is two EXTEST updates: the data with SCK low, then SCK high.
// Each DR scan goes straight from Update-DR to the next (Select-DR, Capture,
// Shift), so a scan costs the DR length and four TMS clocks; TDO is sampled
// only at the MISO cell, only in the scans whose capture holds a bit the
// caller reads: the capture of the scan after the rising edge, which sees
// MISO as the part drove it for that edge (it changes only at the falling
// edge). The scans are spelled with the JTAG library's own command forms
// (tap_phases.hpp): the register's bits write-only, the MISO cell's bit alone
// in a one-bit read, the exit of one scan and the entry into the next in
// one TMS command. A transaction goes out in as few OUT transfers and
// read-back exchanges as the read-back bound allows: one bit of read-back
// per bit read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/devices/bscan/boundary_chain.hpp"
#include "lib/devices/flash/spi_bus.hpp"

namespace orv::dev::bscan {

// The pins of an SPI bus, by name.
struct SpiPinNames {
    std::string cs, sck, mosi, miso;
};

// What one transaction costs on the chain (for the bench).
struct PinBusStats {
    std::uint64_t scans = 0;
    std::uint64_t spi_clocks = 0;
    engine::SequenceStats wire;
};

class PinSpiBus final : public flash::SpiBus {
public:
    // Checks the TAP (a BSDL file with SAMPLE/PRELOAD and EXTEST) and the
    // pins (CS, SCK, MOSI must drive; MISO must be read; four different
    // pins) before anything is sent: Failure(ORVDEV_ERROR_INVALID_ARGUMENT
    // or ORVDEV_ERROR_BSCAN_UNSUPPORTED). Then samples the pins, holds the
    // device in EXTEST with every pin at what it showed, CS high, SCK at its
    // idle level, MOSI low, and checks that SCK and MOSI read back both
    // levels and CS its high one (a stuck or shorted net:
    // ORVDEV_ERROR_NO_FLASH naming the line). `mode` is 0 or 3.
    PinSpiBus(BoundaryChain& chain, std::size_t tap, const SpiPinNames& names, int mode);
    // Returns the devices to their normal function (Test-Logic-Reset).
    ~PinSpiBus() override;

    [[nodiscard]] Session& session() const noexcept override { return chain_.jtag().session(); }
    // The JTAG clock; an SPI clock takes 2 x (DR length + 4) of them.
    [[nodiscard]] const ClockChoice& clock() const noexcept override { return chain_.jtag().clock(); }
    [[nodiscard]] std::size_t max_read() const noexcept override { return MAX_READ; }
    void transact(const flash::SpiCommand& command, const std::string& doing) override;

    [[nodiscard]] const PinBusStats& stats() const noexcept { return stats_; }
    // TCK clocks of one SPI clock.
    [[nodiscard]] std::uint64_t clocks_per_spi_clock() const noexcept { return 2 * (dr_length_ + 4); }
    // "MISO (PA6)", for messages.
    [[nodiscard]] std::string line(const char* role) const;

    static constexpr std::size_t MAX_READ = 512;

private:
    struct Line {
        const char* role;
        std::size_t pin = 0; // Boundary::pins() index
    };
    class Batch;
    void hold();
    // One DR scan into the batch.
    void scan(Batch& batch, bool cs, bool sck, bool mosi, bool sample);

    BoundaryChain& chain_;
    std::size_t tap_;
    int mode_;
    Line cs_{"CS"}, sck_{"SCK"}, mosi_{"MOSI"}, miso_{"MISO"};
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

} // namespace orv::dev::bscan
