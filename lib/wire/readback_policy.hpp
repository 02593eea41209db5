// How an operation waits for its read-back: the rules in which the three
// libraries differ, and the one policy each of them uses.
//
// The exchange itself (transport.hpp) is the same for all: poll the count on
// EP_READBACK_COUNT_IN until it satisfies the count rule, then read that many
// bytes from EP_READBACK_DATA_IN; after too many unsatisfied polls, drain what
// the adapter reported and give up with TPW_ERROR_TIMEOUT.
#pragma once

#include <cstdint>

namespace orv {

// When a reported count is enough to read.
enum class CountRule {
    at_least,        // count >= E, unsigned
    at_least_signed, // count >= E, both as signed 32-bit: a count with bit 31 set never is
    exactly,         // count == E: anything else is a transaction still under way
};

// What a poll that fails (a libusb error, or other than 4 bytes) does.
enum class FailedPoll {
    ends_exchange,      // its code (or TPW_ERROR_USBTRANS_ERR) is returned at once
    counts_unsatisfied, // polling goes on; the last count that arrived is kept. With
                        // timeout 0 there is no poll limit to end it, so there it ends
                        // the exchange after all
};

// Where the drain at the poll limit puts the bytes it takes out of the adapter.
enum class DrainTarget {
    scratch,                // a scratch buffer of the reported count; the destination is untouched
    destination,            // the destination (the count is below E, so it fits)
    destination_or_scratch, // the destination, or scratch when the count is above E
};

struct ReadBackPolicy {
    CountRule count_rule;
    FailedPoll failed_poll;
    // The exchange gives up after 10 x timeout + extra_polls unsatisfied polls.
    std::uint32_t extra_polls;
    DrainTarget drain;
    // A scratch buffer that cannot be allocated for the drain is reported
    // (usb insufficient memory) instead of the timeout.
    bool drain_allocation_failure_reported;
    // A poll that fails with LIBUSB_ERROR_NO_DEVICE ends the exchange at once
    // with that code, whatever failed_poll says: a device that is gone never
    // answers, and polling it to the limit would cost 10 x timeout polls of up
    // to timeout milliseconds each.
    bool gone_device_ends_exchange;

    friend constexpr bool operator==(const ReadBackPolicy&, const ReadBackPolicy&) = default;
};

// Polls per millisecond of timeout before the exchange gives up.
inline constexpr std::uint32_t POLLS_PER_TIMEOUT_MS = 10;

// JTAG (TDO of a scan, tapwire_readback_tdo).
inline constexpr ReadBackPolicy JTAG_READBACK{
    CountRule::at_least_signed, FailedPoll::ends_exchange, 1, DrainTarget::scratch, true, true};

// SPI (the data phase of a transfer, lumo_spi_read_miso).
inline constexpr ReadBackPolicy SPI_READBACK{
    CountRule::at_least, FailedPoll::ends_exchange, 1, DrainTarget::destination, false, true};

// I2C: the address acknowledges, then the data acknowledges or data bytes. The
// read-back is the only answer of a transaction, so a failed poll is just one
// more poll without it, unless the device is gone.
inline constexpr ReadBackPolicy I2C_READBACK{
    CountRule::exactly, FailedPoll::counts_unsatisfied, 0, DrainTarget::destination_or_scratch, false, true};

} // namespace orv
