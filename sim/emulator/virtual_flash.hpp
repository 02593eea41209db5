// A SPI NOR flash of the 25 series (W25Q-like), driven one clock at a time by
// the adapter model. Any JEDEC id, size, page size and set of erase sizes.
//
// Commands (lib/wire/spi_nor.hpp names them, with their lengths):
//   0x9F JEDEC ID; 0x05 / 0x35 status register 1 / 2 (repeated while
//   clocked); 0x06 / 0x04 write enable / disable; 0x01 write status (SR1,
//   optionally SR2); 0x03 read, 0x0B fast read (one dummy byte); 0x02 page
//   program (wraps within its page); 0x20 / 0x52 / 0xD8 erase, each only when
//   the part has that erase size; 0xC7 and 0x60 chip erase; 0x5A read SFDP
//   (three address bytes and one dummy byte, always), when the part has SFDP.
//   Parts above 16 MiB also know 0xB7 / 0xE9 (enter / exit 4-byte address
//   mode: then 0x03, 0x0B, 0x02 and the erases take four address bytes) and
//   the 4-byte opcodes 0x13, 0x0C, 0x12, 0x21, 0xDC (0x21 erases like 0x20,
//   0xDC like 0xD8). Other opcodes are ignored.
//
// Writing: program, erase and write status need the write-enable latch (WEL,
// status bit 1); they happen when chip select goes inactive on a byte
// boundary, clear WEL, and leave the part busy (WIP, status bit 0): for a
// number of status bytes read, or, with program_us / erase_us set, for that
// long in real time (a status write takes program_us). Busy reads end at the
// latest busy_reads_within_us after the operation began, as a real part's
// busy time ends however seldom it is polled: a host that times its wait
// (on a loaded machine each poll may take tens of milliseconds) sees the
// part ready once its deadline has passed. While busy the part
// ignores everything but the status reads. Programming only clears bits.
//
// Block protection, as the W25Q parts do it: BP0..BP2 (status bits 2..4)
// protect, from the top of the memory (from the bottom with TB, bit 5), a
// region of unit << (BP - 1) bytes, where unit is 64 KiB or 1/64 of the part
// if that is larger; BP = 7 protects everything. A program or erase that
// touches the region, and a chip erase while any of it is protected, is refused:
// nothing changes, WEL clears, the part does not go busy. With SEC (bit 6)
// BP counts 4 KiB sectors instead: 4, 8, 16, 32 KiB, then 32 KiB again. CMP
// (bit 6 of status register 2) protects the complement of that region. SRP
// (bit 7) is kept as written; the WP# pin is not wired, so the status
// register stays writable. Status register 2's other bits are kept as
// written and have no effect.
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
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "lib/wire/spi_nor.hpp"
#include "sim/adapter/bit_order.hpp"

namespace orv::emu {

struct EraseType {
    std::uint8_t opcode = 0; // 0x20, 0x52 or 0xD8
    std::size_t size = 0;    // bytes, a power of two
    bool operator==(const EraseType&) const = default;
};

struct SpiFlashConfig {
    std::array<std::uint8_t, 3> jedec_id{0xEF, 0x40, 0x16};
    std::size_t size = 4u * 1024u * 1024u;
    std::size_t page_size = nor::PAGE_SIZE;
    std::vector<EraseType> erase{{nor::CMD_SECTOR_ERASE, 4u * 1024u},
                                 {nor::CMD_BLOCK_ERASE_32K, 32u * 1024u},
                                 {nor::CMD_BLOCK_ERASE_64K, 64u * 1024u}};
    bool sfdp = false;       // answers Read SFDP with a table that matches this configuration
    std::uint8_t status = 0; // status register 1 at power-up (its BP, TB, bit 6 and SRP bits)
    unsigned program_us = 0; // busy time of a page program or status write; 0: busy reads instead
    unsigned erase_us = 0;   // busy time of any erase; 0: busy reads instead
    unsigned busy_reads_after_program = 2; // status bytes read with WIP still set
    unsigned busy_reads_after_erase = 3;
    unsigned busy_reads_within_us = 50000; // busy reads end by then at the latest; 0: never (a stuck part)
    bool operator==(const SpiFlashConfig&) const = default;
};

// The SFDP area (JESD216 header, one parameter header, the basic flash
// parameter table) that describes a flash of this configuration.
[[nodiscard]] std::vector<std::uint8_t> sfdp_table(const SpiFlashConfig& config);

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
    [[nodiscard]] std::uint8_t status() const noexcept; // status register 1 as 0x05 reads it
    [[nodiscard]] std::uint8_t status_2() const noexcept { return status_2_; }
    [[nodiscard]] bool busy() const noexcept;
    [[nodiscard]] bool four_byte_mode() const noexcept { return four_byte_mode_; }
    // The bytes block protection guards: [first, second), empty when none.
    [[nodiscard]] std::pair<std::size_t, std::size_t> protected_range() const noexcept;
    [[nodiscard]] const SpiFlashConfig& config() const noexcept { return config_; }
    // Completed program / erase operations, for tests.
    [[nodiscard]] unsigned programs() const noexcept { return programs_; }
    [[nodiscard]] unsigned erases() const noexcept { return erases_; }
    // A program or erase changed the memory since construction or the last
    // clear_modified() (what persisting an image asks).
    [[nodiscard]] bool modified() const noexcept { return modified_; }
    void clear_modified() noexcept { modified_ = false; }

private:
    using Clock = std::chrono::steady_clock;
    enum class Op : std::uint8_t {
        ignored,
        read_jedec_id,
        read_status,
        read_status_2,
        write_enable,
        write_disable,
        write_status,
        read,
        read_sfdp,
        page_program,
        erase,
        chip_erase,
        enter_4byte,
        exit_4byte,
    };
    // What a command byte starts: the operation, its address and dummy
    // bytes, and for an erase its size.
    struct Command {
        Op op = Op::ignored;
        unsigned address_bytes = 0;
        unsigned dummy_bytes = 0;
        std::size_t erase_size = 0;
    };
    [[nodiscard]] Command decode(std::uint8_t opcode) const noexcept;
    [[nodiscard]] std::size_t erase_size(std::uint8_t opcode) const noexcept;
    [[nodiscard]] bool is_protected(std::size_t first, std::size_t length) const noexcept;
    void byte_received(std::uint8_t value);
    [[nodiscard]] std::uint8_t next_output_byte();
    void finish_write_status();
    void finish_program();
    void finish_erase();
    void start_busy(unsigned microseconds, unsigned status_reads);
    [[nodiscard]] std::size_t wrap(std::size_t address) const noexcept { return address % memory_.size(); }
    [[nodiscard]] std::size_t header_length() const noexcept
    {
        return 1 + command_.address_bytes + command_.dummy_bytes;
    }

    SpiFlashConfig config_;
    std::vector<std::uint8_t> memory_;
    std::vector<std::uint8_t> sfdp_;
    bool selected_ = false;
    bool wel_ = false;
    std::uint8_t status_bits_ = 0; // status register 1 bits 2..7 as written
    std::uint8_t status_2_ = 0;
    bool four_byte_mode_ = false;
    unsigned busy_reads_left_ = 0;
    Clock::time_point busy_reads_until_{}; // when busy reads end at the latest (with busy_reads_within_us)
    Clock::time_point busy_until_{};
    unsigned programs_ = 0;
    unsigned erases_ = 0;
    bool modified_ = false;

    // Transaction in progress.
    BitOrder order_ = BitOrder::msb_first;
    bool order_known_ = false;
    unsigned bit_ = 0;           // bits of the current byte so far
    std::uint8_t in_ = 0;        // byte being received
    std::uint8_t out_ = 0xFF;    // byte being sent (MISO released)
    std::size_t byte_index_ = 0; // bytes completed in this transaction
    Command command_;
    std::uint32_t address_ = 0;
    std::array<std::uint8_t, 2> status_in_{}; // write status data bytes
    std::size_t data_index_ = 0;              // data bytes read or programmed so far
    std::vector<std::uint8_t> page_buffer_;
    std::vector<bool> page_written_;
};

} // namespace orv::emu
