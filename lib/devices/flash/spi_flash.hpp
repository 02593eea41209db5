// A 25-series SPI NOR flash on an SPI bus (spi_bus.hpp: the adapter's own
// connector, or pins driven through boundary scan): identification (JEDEC
// ID, SFDP, the built-in part table), reads (fast read where the part has
// it), the status registers, and the one write command step that every
// program, erase and status write goes through (write enable, the command,
// then the busy bit polled with waits of the part's typical time, up to a
// limit from its longest time). When that step fails, the part may still be
// busy with the command (only the status poll may have failed): the next
// transaction, whatever it is, first waits until the part is ready, since a
// busy part ignores commands and its reads give 0xFF. Parts above 16 MiB are
// addressed with 4-byte opcodes or in 4-byte address mode, whichever they
// offer. Failures throw Failure; nothing here prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "lib/wire/clock_rule.hpp"

#include "lib/devices/flash/flash_params.hpp"
#include "lib/devices/flash/spi_bus.hpp"
#include "lib/devices/session/session.hpp"

namespace orv::dev::flash {

// What the caller says of the part, over what the part says of itself.
struct Overrides {
    std::string part;       // empty: identify
    std::uint64_t size = 0; // 0: as identified
};

class Flash {
public:
    // Configures the SPI connector for the flash at the fastest clock not
    // above clock_khz.
    Flash(Session& session, std::uint32_t clock_khz);
    // On another bus.
    explicit Flash(std::unique_ptr<SpiBus> bus);
    // Leaves 4-byte address mode when identify() entered it.
    ~Flash();
    Flash(Flash&&) = delete;
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;
    Flash& operator=(Flash&&) = delete;

    // Command 0x9F with room for continuation codes.
    JedecId read_id();
    // read_id(), refusing an empty bus; waits first for a flash still busy
    // with a program or erase (it answers nothing else meanwhile).
    JedecId require_flash();
    // The SFDP tables, or empty when the part has none that parse.
    std::optional<FlashParams> read_sfdp();
    // The JEDEC ID and the part's parameters (SFDP, else the built-in table,
    // else the capacity byte; or the part named and the size given by the
    // caller); sets up addressing of the whole part. Throws when none of them
    // gives a size.
    const FlashParams& identify(const Overrides& overrides = Overrides());
    const FlashParams& params() const { return params_; }
    const JedecId& id() const { return id_; }
    const ClockChoice& clock() const { return bus_->clock(); }
    Session& session() const { return bus_->session(); }
    SpiBus& bus() const { return *bus_; }

    // Status register 1 (0x05), or another status register by its command.
    std::uint8_t read_status(std::uint8_t command = orv::nor::CMD_READ_STATUS);
    // Write enable, 0x01 with one byte, and the wait.
    void write_status(std::uint8_t value);
    // Write enable, 0x01 with status registers 1 and 2, and the wait.
    void write_status_pair(std::uint8_t status1, std::uint8_t status2);
    // Write disable: clears a write enable latch left set.
    void write_disable();

    // Reads [addr, addr + out.size()) in transactions of at most the bus's
    // max_read(); `progressed` gets the bytes read so far.
    void read(std::uint64_t addr, std::span<std::uint8_t> out, const Progressed& progressed = {});
    // Bytes of the SFDP space (command 0x5A, three address bytes).
    void read_sfdp_bytes(std::uint32_t addr, std::span<std::uint8_t> out);
    // One page program; [addr, addr + data.size()) stays within one page.
    void program(std::uint64_t addr, std::span<const std::uint8_t> data);
    // What a caller hears just before a command that changes the part goes
    // out: from then on the part may have taken it, whatever fails.
    using Sending = std::function<void()>;
    // The block of `type` at addr (aligned).
    void erase(std::uint64_t addr, const EraseType& type, const Sending& sending = {});
    void erase_chip(const Sending& sending = {});

private:
    using Clock = std::chrono::steady_clock;
    struct Timing {
        std::chrono::microseconds typical;
        std::chrono::microseconds longest;
    };

    // One transaction, after settle(): the command byte, the address when
    // given (three or four bytes as configured, or three for SFDP), dummy
    // clocks, then `out` written or `in` read.
    void transact(std::uint8_t command, std::optional<std::uint64_t> addr, std::span<const std::uint8_t> out,
                  std::span<std::uint8_t> in, const std::string& doing, std::uint32_t dummy_clocks = 0,
                  bool sfdp = false);
    // The same without settle(): for the write command and its busy polls.
    void send(std::uint8_t command, std::optional<std::uint64_t> addr, std::span<const std::uint8_t> out,
              std::span<std::uint8_t> in, const std::string& doing, std::uint32_t dummy_clocks = 0,
              bool sfdp = false);
    // Status register 1 by send().
    std::uint8_t poll_status();
    // Write enable (with a check of the latch the first time, after a
    // failure, or always when `check_latch`), the command, then wait_ready.
    void write_command(std::uint8_t command, std::optional<std::uint64_t> addr,
                       std::span<const std::uint8_t> data, Timing timing, const std::string& doing,
                       bool check_latch = true, const Sending& sending = {});
    // Throws unless the write enable latch is set; a part found busy (which
    // ignores the write enable) is waited for and asked again first.
    void require_latch(const std::string& doing);
    // Polls the busy bit: first after the typical time less one poll's
    // round trip (at once with `poll_at_once`), then every eighth of it,
    // until the busy bit clears or the limit (the longest time and a margin)
    // passes.
    void wait_ready(Clock::time_point started, Timing timing, const std::string& doing,
                    bool poll_at_once = false);
    // After a write command failed: waits until the part is ready, up to the
    // longest time of that command; the flag stays set while it cannot.
    void settle();
    void enter_four_byte_addressing();
    std::uint8_t address_opcode(std::uint8_t three_byte, std::uint8_t four_byte) const;

    std::unique_ptr<SpiBus> bus_;
    unsigned address_bytes_ = orv::nor::ADDRESS_BYTES_3;
    JedecId id_{};
    FlashParams params_{};
    bool four_byte_opcodes_ = false;
    bool entered_four_byte_ = false;
    bool latch_checked_ = false;
    // A write command failed and the part may still be busy with it; the
    // times of the last one sent.
    bool may_be_busy_ = false;
    Timing last_command_{};
    Clock::duration poll_round_trip_{};
};

} // namespace orv::dev::flash
