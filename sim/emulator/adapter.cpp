#include "sim/emulator/adapter.hpp"

#include <utility>

namespace orv::emu {

Adapter::Adapter(AdapterConfig config, Board board)
    : BoardHold(std::move(board)), AdapterModel(config, BoardHold::targets)
{
}

Adapter::~Adapter() = default;

std::span<std::uint8_t> Adapter::i2c_memory(std::uint16_t address, bool ten_bit) noexcept
{
    auto* memory = dynamic_cast<I2cMemory*>(BoardHold::board.i2c.find(address, ten_bit));
    if (memory == nullptr) {
        return {};
    }
    return memory->memory();
}

} // namespace orv::emu
