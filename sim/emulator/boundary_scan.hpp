// A TAP described by a BSDL file: its instruction decoding and its boundary
// register, cell by cell, with what each of its pins drives.
//
// Capture-DR loads every cell: input, clock, observe_only and bidir cells
// the level of their pin as the board resolves it; output cells the level
// the device's own logic drives on the pin (its normal-function drive, 0
// when it drives none, or for an open-drain output, which is its own
// control, the level that lets the pin go); control cells whether that logic
// enables the output; internal cells their safe value (0 for X); cells the
// file does not describe 0. Update-DR copies the shift stage into the update stage, which
// drives the pins only while the instruction says so:
//   - normal function (SAMPLE/PRELOAD, IDCODE, BYPASS, after reset): the
//     pins the board file's "drive" gives, and every two-state output (an
//     output2 cell without a control cell), low where "drive" gives none;
//   - EXTEST, INTEST, CLAMP (and instructions named EXTEST_...): each output
//     from its output cell, unless its control cell holds the disable value;
//     an output2 cell without a control cell always drives;
//   - HIGHZ: nothing.
// An output that does not drive shows its disabled result: WEAK0/PULL0 and
// WEAK1/PULL1 as a pull on the pin, KEEPER as the level it last had, Z as
// nothing. The update stage starts at the safe values (X as 0) and keeps
// what it holds across instructions; Test-Logic-Reset returns controlr cells
// to their disable value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "lib/formats/bsdl/bsdl.hpp"

namespace orv::emu {

// What a TAP's instruction selects between TDI and TDO.
enum class TapRegister : std::uint8_t { bypass, idcode, usercode, user, boundary };
// What the instruction does to the device's pins.
enum class PinMode : std::uint8_t { normal, extest, highz };

// One opcode of the instruction decoder: (IR & care) == value selects.
struct InstructionDecode {
    std::uint32_t value = 0;
    std::uint32_t care = 0;
    TapRegister selects = TapRegister::bypass;
    PinMode pins = PinMode::normal;
};

// What pulls a pin its device does not drive.
enum class PinPull : std::uint8_t { none, low, high, keeper };

struct PinDrive {
    bool driven = false;
    bool level = false;
    PinPull pull = PinPull::none; // when not driven
};

// The boundary-scan side of a TapConfig.
struct BoundaryScanConfig {
    std::shared_ptr<const bsdl::Device> device;
    // Per pin (bsdl::Device::pins): the level the device drives in its
    // normal function, -1 for none.
    std::vector<std::int8_t> normal_drive;
    // The instruction whose register the board file gives (USER), if any.
    std::optional<std::uint32_t> user_instruction;
    bool operator==(const BoundaryScanConfig& other) const;
};

// The decoder of a TAP with a BSDL file (first match wins; anything else
// selects BYPASS). `has_idcode`: the IDCODE instruction selects the IDCODE
// register.
[[nodiscard]] std::vector<InstructionDecode> instruction_table(const BoundaryScanConfig& config,
                                                               bool has_idcode);

// An opcode as a number, X bits as 0.
[[nodiscard]] std::uint32_t opcode_value(std::string_view bits) noexcept;

class BoundaryRegister {
public:
    explicit BoundaryRegister(const BoundaryScanConfig& config);

    [[nodiscard]] unsigned length() const noexcept { return static_cast<unsigned>(update_.size()); }
    [[nodiscard]] std::size_t pin_count() const noexcept { return pins_.size(); }

    // Capture-DR from the levels of the pins.
    void capture(std::span<const std::uint8_t> pin_levels) noexcept;
    // Bit 0 of the shift stage, what TDO shows in Shift-DR.
    [[nodiscard]] bool tdo() const noexcept { return shift_[head_] != 0; }
    // One Shift-DR clock: TDI enters at the last cell, bit 0 leaves.
    void shift(bool tdi) noexcept;
    void update() noexcept;
    // Test-Logic-Reset.
    void reset() noexcept;

    [[nodiscard]] PinDrive drive(std::size_t pin, PinMode mode) const noexcept;
    // The update stage's bit of a cell (test access).
    [[nodiscard]] bool update_bit(unsigned cell) const { return update_.at(cell) != 0; }

private:
    struct Capture {
        std::int32_t pin = -1; // the pin it observes, or -1: `level`
        std::uint8_t level = 0;
    };
    struct PinCells {
        std::int32_t output = -1; // cell numbers, -1 for none
        std::int32_t control = -1;
        std::uint8_t disable = 0;
        PinPull pull = PinPull::none;
        std::int8_t normal = -1;
    };

    std::vector<std::uint8_t> shift_; // a ring: bit i of the scan is shift_[(head_ + i) % length]
    std::size_t head_ = 0;
    std::vector<std::uint8_t> update_;
    std::vector<Capture> capture_;
    std::vector<PinCells> pins_;
    std::vector<std::pair<unsigned, std::uint8_t>> reset_values_; // controlr cells
};

} // namespace orv::emu
