// One device's boundary register as boundary-scan work uses it: which cells
// capture, drive and enable each pin, the register's safe contents, a
// captured register read back as pin levels, and pins set to drive or to let
// go. Bits are one byte each (0 or 1), cell n at index n: cell 0 is nearest
// TDO, the first bit a scan shifts out and the last it shifts in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/formats/bsdl/bsdl.hpp"

namespace orv::dev::bscan {

using Bits = std::vector<std::uint8_t>;

// What a pin can do, by its cells: observe only, drive always (a two-state
// output), drive or let go without observing, or both.
enum class PinDirection : std::uint8_t { in, out, inout, out3 };
[[nodiscard]] std::string_view name_of(PinDirection direction) noexcept;

// A pin with at least one boundary cell.
struct PinCells {
    std::size_t pin = 0; // bsdl::Device::pins index
    PinDirection direction = PinDirection::in;
    std::optional<unsigned> input;   // the cell that captures the pin
    std::optional<unsigned> output;  // the cell that drives it
    std::optional<unsigned> control; // the output's enable; the output itself for open drain
    std::uint8_t disable = 0;        // the control value that lets the pin go
    bsdl::DisabledResult released = bsdl::DisabledResult::z;
    // Open drain: its output cell is its own control, so it drives only the
    // disable value's opposite and lets the pin go for the other.
    [[nodiscard]] bool open_drain() const noexcept { return control && control == output; }
};

// A pin as a capture shows it.
struct PinLevel {
    std::optional<bool> value; // what the pin shows, or what the device drives on an output
    bool driven = false;       // the device drives the pin
};

class Boundary {
public:
    explicit Boundary(std::shared_ptr<const bsdl::Device> device);

    [[nodiscard]] const bsdl::Device& device() const noexcept { return *device_; }
    [[nodiscard]] const std::shared_ptr<const bsdl::Device>& shared() const noexcept { return device_; }
    [[nodiscard]] unsigned length() const noexcept { return device_->boundary_length; }
    // Pins with cells, in the file's pin order.
    [[nodiscard]] const std::vector<PinCells>& pins() const noexcept { return pins_; }
    [[nodiscard]] const std::string& name_of(const PinCells& pin) const
    {
        return device_->pins[pin.pin].name;
    }
    // The entry of pins() for a bsdl::Device::pins index (none for a pin
    // without cells).
    [[nodiscard]] std::optional<std::size_t> cells_of(std::size_t device_pin) const;
    // A pin by name, any letter case; none when the file has no such pin or
    // it has no cells.
    [[nodiscard]] std::optional<std::size_t> find(std::string_view name) const;
    // The pins sharing a control cell (an enable that drives them all).
    [[nodiscard]] std::vector<std::size_t> sharing_control(unsigned control) const;

    // Every cell at its safe value: X as 0, a control cell's X as its
    // disable value.
    [[nodiscard]] const Bits& safe() const noexcept { return safe_; }

    // A pin from a capture. Control and output cells capture what the
    // device's logic wants; under EXTEST what the pins drive is `driving`
    // (the register's update stage) instead.
    [[nodiscard]] static PinLevel read(const PinCells& pin, std::span<const std::uint8_t> capture,
                                       const Bits* driving = nullptr);
    // Sets `image` so that the pin drives `level` (an open-drain pin lets go
    // for the level its disable value stands for).
    static void drive(Bits& image, const PinCells& pin, bool level);
    // Sets `image` so that the pin drives nothing (its output cell untouched).
    static void release(Bits& image, const PinCells& pin);

    // The instruction's opcode as bits, bit 0 the first shifted (X as 0);
    // none when the file does not name it.
    [[nodiscard]] std::optional<Bits> opcode(std::string_view instruction) const;

private:
    std::shared_ptr<const bsdl::Device> device_;
    std::vector<PinCells> pins_;
    std::vector<std::int32_t> by_device_pin_; // -1: no cells
    Bits safe_;
};

} // namespace orv::dev::bscan
