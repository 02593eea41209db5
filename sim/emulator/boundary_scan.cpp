#include "sim/emulator/boundary_scan.hpp"

#include <algorithm>

namespace orv::emu {

namespace {

using bsdl::CellFunction;

PinPull pull_of(bsdl::DisabledResult result) noexcept
{
    switch (result) {
    case bsdl::DisabledResult::weak0:
    case bsdl::DisabledResult::pull0:
        return PinPull::low;
    case bsdl::DisabledResult::weak1:
    case bsdl::DisabledResult::pull1:
        return PinPull::high;
    case bsdl::DisabledResult::keeper:
        return PinPull::keeper;
    case bsdl::DisabledResult::z:
        break;
    }
    return PinPull::none;
}

bool observes_pin(CellFunction f) noexcept
{
    return f == CellFunction::input || f == CellFunction::clock || f == CellFunction::observe_only ||
           f == CellFunction::bidir;
}

} // namespace

bool BoundaryScanConfig::operator==(const BoundaryScanConfig& other) const
{
    const bool same_device = device == other.device || (device && other.device && *device == *other.device);
    return same_device && normal_drive == other.normal_drive && user_instruction == other.user_instruction;
}

std::uint32_t opcode_value(std::string_view bits) noexcept
{
    const auto masked = bsdl::masked_bits(bits);
    return masked ? static_cast<std::uint32_t>(masked->value) : 0;
}

std::vector<InstructionDecode> instruction_table(const BoundaryScanConfig& config, bool has_idcode)
{
    const bsdl::Device& device = *config.device;
    const unsigned bits = device.instruction_length;
    const std::uint32_t all = bits >= 32 ? 0xFFFFFFFFU : (std::uint32_t{1} << bits) - 1;
    std::vector<InstructionDecode> table;
    if (config.user_instruction) {
        table.push_back({*config.user_instruction, all, TapRegister::user, PinMode::normal});
    }
    for (const bsdl::Instruction& instruction : device.instructions) {
        const std::string_view name = instruction.name;
        PinMode pins = PinMode::normal;
        if (bsdl::same_name(name, "CLAMP") || bsdl::same_name(name.substr(0, 6), "EXTEST") ||
            bsdl::same_name(name.substr(0, 6), "INTEST")) {
            pins = PinMode::extest;
        } else if (bsdl::same_name(name, "HIGHZ")) {
            pins = PinMode::highz;
        }
        TapRegister selects = TapRegister::bypass;
        const auto covers_user = [&](const std::string& opcode) {
            const auto masked = bsdl::masked_bits(opcode);
            return config.user_instruction && masked && masked->matches(*config.user_instruction);
        };
        if (std::any_of(instruction.opcodes.begin(), instruction.opcodes.end(), covers_user)) {
            selects = TapRegister::user; // every code of the board's USER instruction
        } else if (bsdl::same_name(name, "USERCODE")) {
            selects = device.usercode ? TapRegister::usercode : TapRegister::bypass;
        } else if (const auto reg = device.data_register(name)) {
            if (bsdl::same_name(reg->name, "BOUNDARY")) {
                selects = TapRegister::boundary;
            } else if (bsdl::same_name(reg->name, "DEVICE_ID") && has_idcode) {
                selects = TapRegister::idcode;
            }
        }
        for (const std::string& opcode : instruction.opcodes) {
            const auto masked = bsdl::masked_bits(opcode);
            if (masked) {
                table.push_back({static_cast<std::uint32_t>(masked->value),
                                 static_cast<std::uint32_t>(masked->care), selects, pins});
            }
        }
    }
    return table;
}

BoundaryRegister::BoundaryRegister(const BoundaryScanConfig& config)
{
    const bsdl::Device& device = *config.device;
    const unsigned length = device.boundary_length;
    shift_.assign(length, 0);
    update_.assign(length, 0);
    capture_.assign(length, Capture{});

    // The pins: which cells drive and enable them, and what they show when
    // they do not drive.
    pins_.resize(device.pins.size());
    std::vector<std::int8_t> enabled_by(length, -1); // per control cell: does the logic drive its outputs
    std::vector<std::int8_t> disable_of(length, -1); // per control cell: its disable value
    for (std::size_t p = 0; p < device.pins.size(); ++p) {
        PinCells& pin = pins_[p];
        pin.normal = p < config.normal_drive.size() ? config.normal_drive[p] : std::int8_t{-1};
        if (!device.pins[p].output_cell) {
            continue;
        }
        const bsdl::Cell& output = device.cells[*device.pins[p].output_cell];
        pin.output = static_cast<std::int32_t>(output.number);
        pin.pull = pull_of(output.disabled_result);
        if (output.control) {
            pin.control = static_cast<std::int32_t>(*output.control);
            pin.disable = output.disable_value == bsdl::Bit::one ? 1 : 0;
            disable_of[*output.control] = static_cast<std::int8_t>(pin.disable);
            if (pin.normal >= 0 || enabled_by[*output.control] < 0) {
                enabled_by[*output.control] = pin.normal >= 0 ? 1 : 0;
            }
        }
    }

    // What Capture-DR loads into each cell: of a merged cell's entries, the
    // one that observes a pin, else an output's, else a control's.
    std::vector<int> rank(length, 0);
    for (const bsdl::Cell& cell : device.cells) {
        Capture capture;
        int cell_rank = 1;
        if (observes_pin(cell.function) && cell.pin) {
            capture.pin = static_cast<std::int32_t>(*cell.pin);
            cell_rank = 4;
        } else if ((cell.function == CellFunction::output2 || cell.function == CellFunction::output3) &&
                   cell.pin) {
            const PinCells& pin = pins_[*cell.pin];
            capture.level = pin.normal == 1 ? 1 : 0;
            if (pin.normal < 0 && pin.control == static_cast<std::int32_t>(cell.number)) {
                // Open drain (the cell is its own control): a pin the logic
                // does not pull low shows the level that lets it go.
                capture.level = pin.disable;
            }
            cell_rank = 3;
        } else if ((cell.function == CellFunction::control || cell.function == CellFunction::controlr) &&
                   disable_of[cell.number] >= 0) {
            const auto disable = static_cast<std::uint8_t>(disable_of[cell.number]);
            capture.level = enabled_by[cell.number] == 1 ? static_cast<std::uint8_t>(1 - disable) : disable;
            cell_rank = 2;
            if (cell.function == CellFunction::controlr) {
                reset_values_.emplace_back(cell.number, disable);
            }
        } else {
            capture.level = cell.safe == bsdl::Bit::one ? 1 : 0;
        }
        if (cell_rank > rank[cell.number]) {
            rank[cell.number] = cell_rank;
            capture_[cell.number] = capture;
            update_[cell.number] = cell.safe == bsdl::Bit::one ? 1 : 0;
        }
    }
}

void BoundaryRegister::capture(std::span<const std::uint8_t> pin_levels) noexcept
{
    head_ = 0;
    for (std::size_t i = 0; i < capture_.size(); ++i) {
        const Capture& c = capture_[i];
        shift_[i] = c.pin >= 0 && static_cast<std::size_t>(c.pin) < pin_levels.size()
                        ? pin_levels[static_cast<std::size_t>(c.pin)]
                        : c.level;
    }
}

void BoundaryRegister::shift(bool tdi) noexcept
{
    shift_[head_] = tdi ? 1 : 0;
    head_ = head_ + 1 == shift_.size() ? 0 : head_ + 1;
}

void BoundaryRegister::update() noexcept
{
    const std::size_t tail = shift_.size() - head_;
    std::copy(shift_.begin() + static_cast<std::ptrdiff_t>(head_), shift_.end(), update_.begin());
    std::copy(shift_.begin(), shift_.begin() + static_cast<std::ptrdiff_t>(head_),
              update_.begin() + static_cast<std::ptrdiff_t>(tail));
}

void BoundaryRegister::reset() noexcept
{
    for (const auto& [cell, value] : reset_values_) {
        update_[cell] = value;
    }
}

PinDrive BoundaryRegister::drive(std::size_t pin, PinMode mode) const noexcept
{
    const PinCells& p = pins_[pin];
    PinDrive drive;
    drive.pull = p.pull;
    switch (mode) {
    case PinMode::normal:
        // A two-state output has no way to let go: its logic drives it, low
        // unless the board says otherwise, as its output cell captures.
        if (p.normal >= 0 || (p.output >= 0 && p.control < 0)) {
            drive.driven = true;
            drive.level = p.normal == 1;
        }
        break;
    case PinMode::extest:
        if (p.output >= 0 && (p.control < 0 || update_[static_cast<std::size_t>(p.control)] != p.disable)) {
            drive.driven = true;
            drive.level = update_[static_cast<std::size_t>(p.output)] != 0;
        }
        break;
    case PinMode::highz:
        break;
    }
    return drive;
}

} // namespace orv::emu
