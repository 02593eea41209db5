// A SPI NOR flash, driven one clock at a time by the adapter model.
//
// Commands: 0x9F JEDEC ID, 0x03 read, 0x0B fast read (one dummy byte, that
// is 8 clocks, after the address), 0x05 read status, 0x06 write enable, 0x04
// write disable, 0x02 page program (wraps within its page), 0x20 sector
// erase, 0xC7 (and 0x60) chip erase. Addresses are 24 bits. Program and
// erase need the write-enable latch (WEL, status bit 1), happen when chip
// select goes inactive, clear WEL and leave the busy bit (WIP, status bit 0)
// set for a number of status bytes read afterwards. While busy the flash
// ignores every command but 0x05. Programming only clears bits (NOR).
//
// Bit order: the first clock of a transaction (the command byte) fixes it for
// that transaction. MSB-first transactions are the usual SPI form. In an
// LSB-first transaction every field travels least significant bit first:
// each byte bit 0 first and the address low byte first, so the wire stream is
// the exact bit reverse of the MSB-first one. Data bytes keep their values in
// both orders.
//
// MISO reads 1 when the flash is not driving it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bit_order.hpp"
#include "spi_nor.hpp"

namespace orv::emu {

struct SpiFlashConfig {
    std::array<std::uint8_t, 3> jedec_id{0xEF, 0x40, 0x16};
    std::size_t size = 4u * 1024u * 1024u;
    std::size_t page_size = nor::PAGE_SIZE;
    std::size_t sector_size = nor::SECTOR_SIZE;
    unsigned busy_reads_after_program = 2; // status bytes read with WIP still set
    unsigned busy_reads_after_erase = 3;
};

class SpiFlash {
public:
    static constexpr std::uint8_t STATUS_WIP = nor::STATUS_BUSY;
    static constexpr std::uint8_t STATUS_WEL = nor::STATUS_WEL;

    explicit SpiFlash(SpiFlashConfig config = {});

    void select() noexcept;
    void deselect();
    [[nodiscard]] bool selected() const noexcept { return selected_; }
    // One clock while selected: returns MISO (what the flash drives during
    // this clock) and takes MOSI. `order` is the shift command's bit order.
    bool clock(bool mosi, BitOrder order);

    [[nodiscard]] std::span<std::uint8_t> memory() noexcept { return memory_; }
    [[nodiscard]] std::span<const std::uint8_t> memory() const noexcept { return memory_; }
    [[nodiscard]] std::uint8_t status() const noexcept;
    [[nodiscard]] bool busy() const noexcept { return busy_reads_left_ > 0; }
    [[nodiscard]] const SpiFlashConfig& config() const noexcept { return config_; }
    // Completed program / erase operations, for tests.
    [[nodiscard]] unsigned programs() const noexcept { return programs_; }
    [[nodiscard]] unsigned erases() const noexcept { return erases_; }

private:
    void byte_received(std::uint8_t value);
    [[nodiscard]] std::uint8_t next_output_byte();
    [[nodiscard]] std::size_t wrap(std::size_t address) const noexcept { return address % memory_.size(); }

    SpiFlashConfig config_;
    std::vector<std::uint8_t> memory_;
    bool selected_ = false;
    bool wel_ = false;
    unsigned busy_reads_left_ = 0;
    unsigned programs_ = 0;
    unsigned erases_ = 0;

    // Transaction in progress.
    BitOrder order_ = BitOrder::msb_first;
    bool order_known_ = false;
    unsigned bit_ = 0;           // bits of the current byte so far
    std::uint8_t in_ = 0;        // byte being received
    std::uint8_t out_ = 0xFF;    // byte being sent (MISO released)
    std::size_t byte_index_ = 0; // bytes completed in this transaction
    std::uint8_t command_ = 0;
    bool ignored_ = false; // command not accepted (busy, unknown)
    std::uint32_t address_ = 0;
    std::size_t data_index_ = 0; // data bytes read or programmed so far
    std::vector<std::uint8_t> page_buffer_;
    std::vector<bool> page_written_;
};

} // namespace orv::emu
