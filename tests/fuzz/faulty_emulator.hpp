// The emulated adapter behind the in-process transfer seam, with faults at
// chosen transfers and a record of where every read-back byte came from.
//
// Each byte the model adds to its read-back is tagged with the operation that
// was current when its command buffer ran (set_operation); each data read
// records the bytes it delivered with their tags. A check can then tell
// whether the data an operation returned is what the adapter produced for
// that very operation, or bytes an earlier one left behind.
//
// Faults are one transfer each, at an index counted over all transfers since
// construction, or, as the virtual USB device's --sim-fault makes them, on
// one endpoint after some of its transfers have passed, once or for good.
// What each does mirrors the virtual USB device's faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "lib/wire/wire.hpp"
#include "sim/emulator/adapter.hpp"
#include "sim/transfer_seam/transfer_device.hpp"

namespace orv::fuzz {

enum class TransferFault : std::uint8_t {
    none,
    no_device,  // LIBUSB_ERROR_NO_DEVICE, nothing executed or delivered
    stall,      // LIBUSB_ERROR_PIPE, nothing executed or delivered
    io_error,   // LIBUSB_ERROR_IO, nothing executed or delivered
    timed_out,  // LIBUSB_ERROR_TIMEOUT, nothing executed or delivered
    short_move, // OUT: the packet dropped, one byte less reported; poll: 3 of 4 bytes; data: one less
    never_fill, // poll: a count of 0, the model not polled
    overcount,  // poll: the model's count plus 1..8
    overflow,   // data: the bytes asked for, one more lost, LIBUSB_ERROR_OVERFLOW
    count,      // number of kinds
};

// The flash of the write-fault reports: JEDEC ID ef4011, 128 KiB, 4 KiB and
// 64 KiB erases, SFDP (short typical times, so waits cost little); busy for
// a number of status reads rather than for a time, so that a run makes the
// same transfers every time, and at most 50 ms, as a real part's busy time
// ends however late a loaded host polls it.
inline constexpr std::size_t FAULT_FLASH_SIZE = 128 * 1024;
[[nodiscard]] emu::BoardConfig fault_flash_board(unsigned busy_after_program, unsigned busy_after_erase);

class FaultyEmulator final : public seam::TransferDevice {
public:
    explicit FaultyEmulator(std::unique_ptr<emu::Adapter> model) : model_(std::move(model)) {}

    emu::Adapter& model() noexcept { return *model_; }

    // The fault the transfer with this index (0 = the first one) meets.
    void schedule(std::uint64_t transfer, TransferFault fault, std::uint8_t detail = 0);
    // The fault the transfers on `endpoint` (0: any) meet once `after` of
    // them have passed: `count` of them, or all until clear_lasting() with
    // count -1. never_fill and overcount act on the count endpoint only.
    void schedule_on(unsigned char endpoint, std::uint64_t after, TransferFault fault, int count = 1);
    void clear_lasting() noexcept { lasting_ = Lasting{}; }
    // Read-back bytes produced from now on belong to `operation`.
    void set_operation(std::uint32_t operation) noexcept
    {
        operation_ = operation;
        polls_ = 0;
    }
    // More polls than this in one operation (other than operation 0, the
    // purge) abort the process: the operation hangs.
    void set_poll_limit(std::uint64_t polls) noexcept { poll_limit_ = polls; }
    [[nodiscard]] std::uint64_t transfers() const noexcept { return transfers_; }
    // Transfers on one endpoint since construction.
    [[nodiscard]] std::uint64_t transfers_on(unsigned char endpoint) const noexcept
    {
        return endpoint == EP_COMMAND_OUT         ? out_transfers_
               : endpoint == EP_READBACK_COUNT_IN ? count_transfers_
                                                  : data_transfers_;
    }
    // While set, never_fill and overcount faults are not made: a count that
    // lies for longer than the read-back lags is beyond what a purge can see.
    void set_honest_counts(bool honest) noexcept { honest_counts_ = honest; }
    // While set, faults on the command endpoint are not made: an I2C
    // transaction whose commands never ran waits for ever with timeout 0.
    void set_commands_always_arrive(bool arrive) noexcept { commands_always_arrive_ = arrive; }

    struct Delivery {
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint32_t> operations; // the operation each byte was produced for
        std::uint32_t reader = 0;              // the operation that was current when it was read
        bool failed = false;                   // the data read returned a libusb error
    };
    // The last data read's bytes (empty after forget_delivery).
    [[nodiscard]] const Delivery& last_delivery() const noexcept { return last_; }
    void forget_delivery() noexcept { last_ = Delivery{}; }
    // Bytes the model holds (whole bytes), and which operations they are from.
    [[nodiscard]] const std::deque<std::uint32_t>& held() const noexcept { return tags_; }

    seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override;
    seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override;
    seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override;
    // The libraries never make a call the seam refuses: each one is a finding.
    int refused(unsigned char endpoint, int length, int rc) noexcept override;

private:
    struct Scheduled {
        TransferFault fault = TransferFault::none;
        std::uint8_t detail = 0;
    };
    struct Lasting {
        TransferFault fault = TransferFault::none;
        unsigned char endpoint = 0;
        std::uint64_t after = 0;
        int count = 0;
    };
    Scheduled next(unsigned char endpoint);
    // Pops up to out.size() bytes from the model with their tags.
    std::size_t pop(std::span<std::uint8_t> out, std::vector<std::uint32_t>* tags);

    std::unique_ptr<emu::Adapter> model_;
    std::map<std::uint64_t, Scheduled> faults_;
    Lasting lasting_;
    std::deque<std::uint32_t> tags_;
    std::uint32_t operation_ = 0;
    std::uint64_t transfers_ = 0;
    std::uint64_t out_transfers_ = 0;
    std::uint64_t count_transfers_ = 0;
    std::uint64_t data_transfers_ = 0;
    std::uint64_t polls_ = 0;
    std::uint64_t poll_limit_ = UINT64_MAX;
    bool honest_counts_ = false;
    bool commands_always_arrive_ = false;
    Delivery last_;
};

} // namespace orv::fuzz
