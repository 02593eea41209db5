// Fuzz target: the BSDL reader on any text, and the emulator's boundary
// register built from what it reads.
//
// Beyond memory errors, undefined behaviour and time, it checks what must
// hold for any input:
//   - a refusal names a line and column (from 1) and says what was expected;
//   - a device that is read is consistent: every cell below the boundary
//     length, every index of a pin, cell or port inside its list, every
//     opcode as long as the instruction register, the notices bounded;
//   - the lookups answer for every pin and instruction of the device;
//   - a boundary register of the device captures, shifts its whole length
//     and updates, in every pin mode.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "lib/formats/bsdl/bsdl.hpp"
#include "sim/emulator/boundary_scan.hpp"

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void check(const orv::bsdl::Device& d)
{
    using namespace orv::bsdl;
    require(d.instruction_length >= 2 && d.instruction_length <= MAX_INSTRUCTION_LENGTH);
    require(d.boundary_length >= 1 && d.boundary_length <= MAX_CELLS);
    require(d.pins.size() <= MAX_PINS && d.cells.size() <= 2 * std::size_t{d.boundary_length});
    require(d.notices.size() <= MAX_NOTICES + 1);
    for (const Instruction& i : d.instructions) {
        for (const std::string& code : i.opcodes) {
            require(code.size() == d.instruction_length);
        }
        require(d.opcode(i.name).has_value());
        (void)d.data_register(i.name);
    }
    for (const Cell& c : d.cells) {
        require(c.number < d.boundary_length);
        require(!c.pin || *c.pin < d.pins.size());
        require(!c.control || *c.control < d.boundary_length);
    }
    for (std::size_t p = 0; p < d.pins.size(); ++p) {
        const Pin& pin = d.pins[p];
        require(pin.port < d.ports.size());
        for (const auto& cell : {pin.input_cell, pin.output_cell, pin.control_cell}) {
            require(!cell || *cell < d.cells.size());
        }
        require(d.find_pin(pin.name) == p);
    }
    (void)d.opcode("SAMPLE");
    (void)d.opcode("PRELOAD");
    require(d.opcode("BYPASS").has_value());
    if (!d.pins.empty()) {
        require(!d.nearest_pins(d.pins.front().name + "x").empty());
    }
}

void exercise(std::shared_ptr<const orv::bsdl::Device> device)
{
    using namespace orv::emu;
    BoundaryScanConfig config{device, std::vector<std::int8_t>(device->pins.size(), 1), std::nullopt};
    (void)instruction_table(config, true);
    BoundaryRegister reg(config);
    require(reg.length() == device->boundary_length && reg.pin_count() == device->pins.size());
    const std::vector<std::uint8_t> levels(reg.pin_count(), 1);
    reg.capture(levels);
    for (unsigned i = 0; i < reg.length(); ++i) {
        reg.shift(i % 3 == 0);
    }
    reg.update();
    for (std::size_t p = 0; p < reg.pin_count(); ++p) {
        for (const PinMode mode : {PinMode::normal, PinMode::extest, PinMode::highz}) {
            const PinDrive drive = reg.drive(p, mode);
            require(mode != PinMode::highz || !drive.driven);
        }
    }
    reg.reset();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    orv::bsdl::ParseResult result = orv::bsdl::parse(text, "fuzz.bsd");
    if (!result.ok()) {
        require(result.error.line >= 1 && result.error.column >= 1 && !result.error.expected.empty());
        return 0;
    }
    check(*result.device);
    exercise(std::make_shared<const orv::bsdl::Device>(std::move(*result.device)));
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}
