#include <array>
#include <memory>

#include "adapter.hpp"

namespace orv::emu {

namespace {

// Register file at 0x68: all registers reset to 0 but these.
constexpr std::array<I2cRegisterFile::Register, 2> REGISTER_FILE_RESET{{
    {0x6B, 0x40, false}, // power management: sleep bit set
    {0x75, 0x68, true},  // identity: reads the device's own address, refuses writes
}};

} // namespace

Board make_default_board_parts(SpiFlashConfig flash)
{
    std::vector<TapConfig> taps;
    taps.push_back(TapConfig{"tap0", 0x4BA00477, 4, 0xE, 0x8, 0xF, 32, 0});
    taps.push_back(TapConfig{"tap1", 0x06B5C093, 6, 0x09, 0x02, 0x3F, 32, 0});

    I2cBus i2c;
    i2c.add(std::make_unique<I2cMemory>(0x50, false, 256, 8));
    i2c.add(std::make_unique<I2cRegisterFile>(0x68, REGISTER_FILE_RESET));
    i2c.add(std::make_unique<I2cMemory>(0x2A5, true, 256, 256));

    return Board{JtagChain(std::move(taps)), SpiFlash(flash), std::move(i2c)};
}

std::unique_ptr<Adapter> make_default_board(AdapterConfig config, SpiFlashConfig flash)
{
    return std::make_unique<Adapter>(config, make_default_board_parts(flash));
}

} // namespace orv::emu
