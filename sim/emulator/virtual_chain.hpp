// A JTAG scan chain of IEEE 1149.1 test access ports, clocked one TCK at a
// time by the adapter model.
//
// Each TAP has its own controller state machine, instruction register and
// three data registers: IDCODE (32 bits), BYPASS (1 bit) and a USER register
// (user_length bits, at most 64). Test-Logic-Reset selects IDCODE, or BYPASS
// on a TAP without one (as IEEE 1149.1 devices without IDCODE do); Capture-IR
// loads the binary pattern ...01; an instruction that is none of the three
// selects BYPASS. Capture-DR loads the selected register (USER reads back what
// Update-DR last wrote into it).
//
// A TAP with a BSDL file (TapConfig::boundary_scan) has the file's
// instructions instead, its IR capture value, and a boundary register whose
// cells capture, shift and update as boundary_scan.hpp says; the chain's
// PinNetwork wires its pins to the other devices' (pin_network.hpp).
//
// TRST (test reset, active low) puts every TAP in Test-Logic-Reset and holds
// it there while asserted: clocks then move nothing and TDO stays high.
//
// Chain order: TAP 0 is nearest TDO. TDI feeds the last TAP, each TAP's TDO
// feeds the TAP before it, and TAP 0 drives the chain's TDO, so TAP 0's bits
// come out first. A chain without TAPs is either a wire from TDI to TDO or
// open (nothing connected: TDO pulled up).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/emulator/boundary_scan.hpp"
#include "sim/emulator/pin_network.hpp"
#include "sim/emulator/virtual_flash.hpp"
#include "sim/emulator/virtual_i2c_bus.hpp"

namespace orv::emu {

// TAP controller states, numbered as the JTAG library numbers them.
enum class TapState : std::uint8_t {
    test_logic_reset = 0,
    run_test_idle = 1,
    select_dr_scan = 2,
    capture_dr = 3,
    shift_dr = 4,
    exit1_dr = 5,
    pause_dr = 6,
    exit2_dr = 7,
    update_dr = 8,
    select_ir_scan = 9,
    capture_ir = 10,
    shift_ir = 11,
    exit1_ir = 12,
    pause_ir = 13,
    exit2_ir = 14,
    update_ir = 15,
};

// The IEEE 1149.1 transition for one TCK rising edge.
[[nodiscard]] TapState next_tap_state(TapState state, bool tms) noexcept;

struct TapConfig {
    std::string name;
    std::uint32_t idcode = 0;
    unsigned ir_length = 4; // 2..32
    std::uint32_t idcode_instruction = 0;
    std::uint32_t user_instruction = 0;
    std::uint32_t bypass_instruction = 0; // normally all ones
    unsigned user_length = 32;            // 1..64
    std::uint64_t user_reset_value = 0;
    bool has_idcode = true;                            // false: no IDCODE register, reset selects BYPASS
    std::uint32_t ir_capture = 0x1;                    // what Capture-IR loads
    std::optional<BoundaryScanConfig> boundary_scan{}; // a device described by a BSDL file
    bool operator==(const TapConfig&) const = default;
};

class Tap {
public:
    explicit Tap(TapConfig config);

    // The level this TAP drives on its TDO before the next rising edge: bit 0
    // of the shift register in Shift-IR/Shift-DR, 1 (released, pulled up)
    // otherwise.
    [[nodiscard]] bool tdo() const noexcept;
    // One TCK rising edge with the given TMS and TDI levels.
    void clock(bool tms, bool tdi) noexcept;
    // Test-Logic-Reset at once, as TRST asserted does.
    void reset() noexcept;

    [[nodiscard]] TapState state() const noexcept { return state_; }
    [[nodiscard]] std::uint32_t instruction() const noexcept { return instruction_; }
    [[nodiscard]] std::uint64_t user() const noexcept { return user_; }
    void set_user(std::uint64_t value) noexcept;
    [[nodiscard]] const TapConfig& config() const noexcept { return config_; }
    [[nodiscard]] std::uint64_t tck_count() const noexcept { return tck_count_; }

    // The register the instruction selects and what it does to the pins.
    [[nodiscard]] TapRegister selected() const noexcept { return selected_; }
    [[nodiscard]] PinMode pin_mode() const noexcept { return pin_mode_; }

    // Boundary-scan pins (none without a BSDL file): what each drives, and
    // the levels the board gives them (what input cells capture).
    [[nodiscard]] std::size_t pin_count() const noexcept { return pin_levels_.size(); }
    [[nodiscard]] PinDrive pin_drive(std::size_t pin) const noexcept;
    [[nodiscard]] std::span<std::uint8_t> pin_levels() noexcept { return pin_levels_; }
    [[nodiscard]] std::span<const std::uint8_t> pin_levels() const noexcept { return pin_levels_; }
    // True once after anything that may have changed what the pins drive.
    [[nodiscard]] bool take_pins_changed() noexcept;
    [[nodiscard]] const std::optional<BoundaryRegister>& boundary() const noexcept { return boundary_; }

private:
    [[nodiscard]] unsigned dr_length() const noexcept;
    void select(std::uint32_t instruction) noexcept;
    void reset_logic() noexcept;

    TapConfig config_;
    std::vector<InstructionDecode> decode_;
    TapState state_ = TapState::test_logic_reset;
    std::uint32_t instruction_ = 0;
    TapRegister selected_ = TapRegister::bypass;
    PinMode pin_mode_ = PinMode::normal;
    std::uint64_t user_ = 0;
    std::uint64_t shift_ = 0; // IR or DR shift register, whichever is shifting (not the boundary register)
    std::uint64_t tck_count_ = 0;
    std::optional<BoundaryRegister> boundary_;
    std::vector<std::uint8_t> pin_levels_;
    bool pins_changed_ = false;
};

// The nets a SPI flash behind boundary-scan pins hangs on (a board file's
// "connect"): indexes into NetworkConfig::nets.
struct SpiNets {
    std::size_t cs = 0;
    std::size_t sck = 0;
    std::size_t mosi = 0;
    std::size_t miso = 0;
    bool operator==(const SpiNets&) const = default;
};

// The nets an I2C bus behind boundary-scan pins has for its lines (a board
// file's "connect" on its i2c devices): indexes into NetworkConfig::nets.
struct I2cNets {
    std::size_t scl = 0;
    std::size_t sda = 0;
    bool operator==(const I2cNets&) const = default;
};

class JtagChain {
public:
    // What TDO shows when there are no TAPs.
    enum class Empty : std::uint8_t { wire, open };

    // taps[0] is nearest TDO; `network` wires the pins of its boundary-scan
    // devices.
    explicit JtagChain(std::vector<TapConfig> taps, Empty empty = Empty::wire, NetworkConfig network = {});

    // One TCK: returns the TDO level sampled at the rising edge (before the
    // TAPs shift), then clocks every TAP.
    bool clock(bool tms, bool tdi) noexcept;
    // The level on the chain's TDO now, with `tdi` on its TDI (a chain that
    // is only a wire shows it).
    [[nodiscard]] bool tdo(bool tdi) const noexcept;

    // The TRST line: asserted resets every TAP and holds them in
    // Test-Logic-Reset until it is released.
    void set_trst(bool asserted) noexcept;
    [[nodiscard]] bool trst() const noexcept { return trst_; }

    [[nodiscard]] std::size_t size() const noexcept { return taps_.size(); }
    [[nodiscard]] Tap& tap(std::size_t index) { return taps_.at(index); }
    [[nodiscard]] const Tap& tap(std::size_t index) const { return taps_.at(index); }
    [[nodiscard]] const PinNetwork& network() const noexcept { return network_; }

    // A flash on nets of the pins: selected while CS is low, clocked at each
    // rising SCK (mode 0 and 3 alike), driving MISO while selected, from
    // what the clock returned until the next one.
    void attach_flash(SpiFlash flash, SpiNets nets);
    [[nodiscard]] SpiFlash* pin_flash() noexcept { return pin_flash_ ? &pin_flash_->flash : nullptr; }

    // An I2C bus on nets of the pins, open drain: the pins drive a line low
    // or release it to the board's pull. The bus takes the SCL net's level
    // and what everything but its devices puts on SDA (START and STOP from
    // SDA moving while SCL is high, bits at the clock's edges); a device
    // holding SDA low (acknowledge, a 0 it sends) drives the SDA net low
    // until the bus says it lets go.
    void attach_i2c(I2cBus bus, I2cNets nets);
    [[nodiscard]] I2cBus* pin_i2c() noexcept { return pin_i2c_ ? &pin_i2c_->bus : nullptr; }
    // Clock stretching by a device of the attached bus: when SCL falls at the
    // end of an acknowledge clock while it is selected, the device drives the
    // SCL net low for the next `tck` TCK clocks, then lets go and the nets
    // resolve at the end of that last clock (a Capture-DR after it sees SCL
    // as the master leaves it). While SCL is held the master's rising edges
    // do not reach the bus; the release is the rising edge when the master
    // has let go. 0 stops it stretching. Nothing without an attached bus.
    void stretch_i2c(const I2cDevice& device, std::uint32_t tck);

private:
    struct PinFlash {
        SpiFlash flash;
        SpiNets nets;
        bool sck = false; // the clock net's level at the last resolve
        bool miso = true;
    };
    struct PinI2c {
        I2cBus bus;
        I2cNets nets;
        bool scl = true;         // the levels the bus was last given
        bool sda_master = true;  // SDA without the devices' pull
        bool device_low = false; // a device holds SDA low
        std::vector<std::pair<const I2cDevice*, std::uint32_t>> stretch{}; // TCK clocks per device
        unsigned acknowledges = 0;  // the bus's count when last looked at
        std::uint32_t scl_held = 0; // TCK clocks left of a device holding SCL low
    };
    // `external_changed`: a part let go of a net outside a resolve.
    void resolve_pins_if_changed(bool external_changed = false) noexcept;
    // One TCK of a device's hold on SCL; true when it let go just now.
    bool count_scl_hold() noexcept;
    // What the parts on the nets do with the levels just resolved; true
    // when what they drive changed.
    bool run_attached();
    bool run_flash();
    bool run_i2c();

    std::vector<Tap> taps_;
    PinNetwork network_;
    bool has_pins_ = false;
    Empty empty_ = Empty::wire;
    bool trst_ = false;
    std::optional<PinFlash> pin_flash_;
    std::optional<PinI2c> pin_i2c_;
};

} // namespace orv::emu
