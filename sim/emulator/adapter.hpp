// The emulator: the adapter model (sim/adapter) with a board behind its
// connectors (board.hpp: a JTAG chain, a SPI NOR flash or none, an I2C bus
// with its devices), as the tests, orvsim-run and orvtool --sim use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "sim/adapter/adapter_model.hpp"
#include "sim/adapter/targets.hpp"
#include "sim/emulator/board.hpp"

namespace orv::emu {

// A board's parts as the adapter's connectors reach them.
class BoardTargets final : public Targets {
public:
    explicit BoardTargets(Board& board) noexcept : board_(board) {}

    void set_trst(bool asserted) override { board_.jtag.set_trst(asserted); }
    [[nodiscard]] bool trst() const override { return board_.jtag.trst(); }
    [[nodiscard]] bool tdo(bool tdi) const override { return board_.jtag.tdo(tdi); }
    bool jtag_clock(bool tms, bool tdi) override { return board_.jtag.clock(tms, tdi); }
    [[nodiscard]] bool tdo_unclocked() const override
    {
        return board_.jtag.size() == 0 || board_.jtag.tap(0).tdo();
    }
    [[nodiscard]] bool has_flash() const override { return board_.flash.has_value(); }
    [[nodiscard]] bool flash_selected() const override { return board_.flash && board_.flash->selected(); }
    void select_flash() override { board_.flash->select(); }
    void deselect_flash() override { board_.flash->deselect(); }
    bool flash_clock(bool mosi, BitOrder order) override { return board_.flash->clock(mosi, order); }
    void i2c_set_master(bool scl, bool sda) override { board_.i2c.set_master(scl, sda); }
    bool i2c_clock(bool sda) override { return board_.i2c.clock(sda); }
    void i2c_disconnect() override { board_.i2c.disconnect(); }
    [[nodiscard]] bool i2c_device_pulls_sda() const override { return board_.i2c.device_pulls_sda(); }

private:
    Board& board_;
};

namespace detail {
// Constructed before the model that drives it (a base before the other).
struct BoardHold {
    explicit BoardHold(Board b) : board(std::move(b)) {}
    Board board;
    BoardTargets targets{board};
};
} // namespace detail

class Adapter : private detail::BoardHold, public AdapterModel {
public:
    Adapter(AdapterConfig config, Board board);
    ~Adapter() override;

    // The board and its targets (flash() throws std::bad_optional_access on a
    // board without flash; flash_memory() is then empty).
    [[nodiscard]] Board& board() noexcept { return BoardHold::board; }
    [[nodiscard]] JtagChain& jtag() noexcept { return BoardHold::board.jtag; }
    [[nodiscard]] SpiFlash& flash() { return BoardHold::board.flash.value(); }
    [[nodiscard]] I2cBus& i2c() noexcept { return BoardHold::board.i2c; }
    [[nodiscard]] std::span<std::uint8_t> flash_memory() noexcept
    {
        return BoardHold::board.flash ? BoardHold::board.flash->memory() : std::span<std::uint8_t>{};
    }
    // Memory of an I2cMemory device (empty when there is none at that address).
    [[nodiscard]] std::span<std::uint8_t> i2c_memory(std::uint16_t address, bool ten_bit = false) noexcept;
    // The default board's 24C02 at 0x50.
    [[nodiscard]] std::span<std::uint8_t> eeprom_memory() noexcept { return i2c_memory(0x50); }
};

// The default board (README.md) behind an adapter.
std::unique_ptr<Adapter> make_default_board(AdapterConfig config = {});
// The board described by `board` behind an adapter (throws ImageError when an
// image cannot be read).
std::unique_ptr<Adapter> make_board(const BoardConfig& board, AdapterConfig config = {});

} // namespace orv::emu
