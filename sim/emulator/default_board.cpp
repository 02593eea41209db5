#include <memory>

#include "sim/emulator/adapter.hpp"

namespace orv::emu {

BoardConfig default_board_config()
{
    BoardConfig board;
    // A Zynq-7000's chain: the ARM debug access port nearest TDO, then the
    // XC7Z020's programmable logic.
    board.jtag.push_back(TapConfig{"arm_dap", 0x4BA00477, 4, 0xE, 0x8, 0xF, 32, 0});
    board.jtag.push_back(TapConfig{"xc7z020", 0x03727093, 6, 0x09, 0x02, 0x3F, 32, 0});

    // A W25Q32-like 4 MiB flash.
    board.spi_flash = SpiFlashConfig{};
    board.spi_flash->sfdp = true;

    using Type = I2cDeviceConfig::Type;
    // 24C02-style EEPROM.
    board.i2c.push_back(I2cDeviceConfig{Type::eeprom, 0x50, false, 256, 8, 1});
    // Register file: all registers reset to 0 but the power-management
    // register (sleep bit set) and the identity register, which reads the
    // device's own address and refuses writes.
    board.i2c.push_back(I2cDeviceConfig{
        Type::registers, 0x68, false, 256, 256, 1, {{0x6B, 0x40, false}, {0x75, 0x68, true}}});
    // A 10-bit memory.
    board.i2c.push_back(I2cDeviceConfig{Type::memory, 0x2A5, true, 256, 256, 1});
    return board;
}

Board make_default_board_parts()
{
    return build_board(default_board_config());
}

std::unique_ptr<Adapter> make_default_board(AdapterConfig config)
{
    return std::make_unique<Adapter>(config, make_default_board_parts());
}

std::unique_ptr<Adapter> make_board(const BoardConfig& board, AdapterConfig config)
{
    return std::make_unique<Adapter>(config, build_board(board));
}

} // namespace orv::emu
