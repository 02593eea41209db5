#include "lib/devices/bscan/boundary.hpp"

#include <array>

namespace orv::dev::bscan {

namespace {

using bsdl::CellFunction;

bool is_control(CellFunction f) noexcept
{
    return f == CellFunction::control || f == CellFunction::controlr;
}

} // namespace

std::string_view name_of(PinDirection direction) noexcept
{
    static constexpr std::array<std::string_view, 4> NAMES{"in", "out", "inout", "out3"};
    return NAMES[static_cast<std::size_t>(direction)];
}

Boundary::Boundary(std::shared_ptr<const bsdl::Device> device) : device_(std::move(device))
{
    const bsdl::Device& d = *device_;
    by_device_pin_.assign(d.pins.size(), -1);
    std::vector<std::int8_t> disable_of(d.boundary_length, -1); // per control cell
    for (std::size_t p = 0; p < d.pins.size(); ++p) {
        const bsdl::Pin& pin = d.pins[p];
        if (!pin.input_cell && !pin.output_cell) {
            continue;
        }
        PinCells cells;
        cells.pin = p;
        if (pin.input_cell) {
            cells.input = d.cells[*pin.input_cell].number;
        }
        if (pin.output_cell) {
            const bsdl::Cell& output = d.cells[*pin.output_cell];
            cells.output = output.number;
            cells.released = output.disabled_result;
            if (pin.control_cell) {
                cells.control = d.cells[*pin.control_cell].number;
                cells.disable = output.disable_value == bsdl::Bit::one ? 1 : 0;
                disable_of[*cells.control] = static_cast<std::int8_t>(cells.disable);
            }
        }
        if (cells.output) {
            cells.direction =
                cells.input ? PinDirection::inout : (cells.control ? PinDirection::out3 : PinDirection::out);
        }
        by_device_pin_[p] = static_cast<std::int32_t>(pins_.size());
        pins_.push_back(cells);
    }

    // Of a merged cell's entries a control's safe value wins: it decides
    // whether outputs drive.
    safe_.assign(d.boundary_length, 0);
    std::vector<std::uint8_t> decided(d.boundary_length, 0);
    for (const bsdl::Cell& cell : d.cells) {
        const bool control = is_control(cell.function);
        if (decided[cell.number] != 0 && !control) {
            continue;
        }
        std::uint8_t value = cell.safe == bsdl::Bit::one ? 1 : 0;
        if (control && cell.safe == bsdl::Bit::x && disable_of[cell.number] >= 0) {
            value = static_cast<std::uint8_t>(disable_of[cell.number]);
        }
        safe_[cell.number] = value;
        decided[cell.number] = 1;
    }
}

std::optional<std::size_t> Boundary::cells_of(std::size_t device_pin) const
{
    if (device_pin >= by_device_pin_.size() || by_device_pin_[device_pin] < 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(by_device_pin_[device_pin]);
}

std::optional<std::size_t> Boundary::find(std::string_view name) const
{
    const auto pin = device_->find_pin(name);
    return pin ? cells_of(*pin) : std::nullopt;
}

std::vector<std::size_t> Boundary::sharing_control(unsigned control) const
{
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < pins_.size(); ++i) {
        if (pins_[i].control == control) {
            found.push_back(i);
        }
    }
    return found;
}

PinLevel Boundary::read(const PinCells& pin, std::span<const std::uint8_t> capture, const Bits* driving)
{
    const std::span<const std::uint8_t> drive =
        driving != nullptr ? std::span<const std::uint8_t>(*driving) : capture;
    PinLevel level;
    if (pin.output) {
        // A control cell (an open-drain output's own cell) holds whether the
        // output is enabled.
        level.driven = !pin.control || drive[*pin.control] != pin.disable;
    }
    if (pin.input) {
        level.value = capture[*pin.input] != 0;
    } else if (level.driven) {
        level.value = drive[*pin.output] != 0;
    }
    return level;
}

void Boundary::drive(Bits& image, const PinCells& pin, bool level)
{
    image[*pin.output] = level ? 1 : 0;
    if (pin.control && !pin.open_drain()) {
        image[*pin.control] = static_cast<std::uint8_t>(1 - pin.disable);
    }
}

void Boundary::release(Bits& image, const PinCells& pin)
{
    if (pin.control) {
        image[*pin.control] = pin.disable;
    }
}

std::optional<Bits> Boundary::opcode(std::string_view instruction) const
{
    const auto text = device_->opcode(instruction);
    if (!text) {
        return std::nullopt;
    }
    // The last character is bit 0, the first to be shifted in.
    Bits bits(text->size());
    for (std::size_t i = 0; i < text->size(); ++i) {
        bits[i] = (*text)[text->size() - 1 - i] == '1' ? 1 : 0;
    }
    return bits;
}

} // namespace orv::dev::bscan
