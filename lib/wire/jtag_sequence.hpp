// The JTAG sequence engine: arbitrary per-clock TMS and TDI, with TDO wanted
// on any clock, turned into the fewest adapter command bytes and batched.
//
// The JTAG library's calls move the TAP along fixed paths and always end in
// Run-Test/Idle. Network clients (remote_bitbang, XVC) and SVF playback
// describe their work clock by clock instead; this engine takes such clocks,
// plans the stream and runs it, one OUT transfer and at most one read-back
// exchange per batch.
//
// Command forms: only those the JTAG library itself emits, in its forms, as
// those are what an adapter is known to execute as the libraries expect:
//   0x5B  1..7 TMS clocks, TDI (bit 7) held for all of them
//   0x5C  one sampled TMS clock (count 0)
//   0x7B/0x7C  1..256 bytes LSB first, TMS low
//   0x6B/0x6C  1..7 bits LSB first, TMS low
//   0x9B  idle clocks (TMS low, TDI low) in the JTAG count form
//   0x8B  flush, closing each batch's read-back
// Shift and idle commands are only emitted while the TMS line is low, that is
// after a TMS command whose last clock was TMS 0, as the library does: an
// adapter may hold TMS at its last level during them.
//
// Read-back: the sampled bits of a batch come back packed in clock order,
// least significant bit first, the last byte padded by the flush.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include <libusb.h>

namespace orv::engine {

// One TCK clock: the TMS and TDI levels at its rising edge, and whether the
// TDO level at that edge is wanted.
struct Clock {
    bool tms = false;
    bool tdi = false;
    bool sample = false;

    friend constexpr bool operator==(const Clock&, const Clock&) = default;
};

// The largest read-back any library call asks of the adapter in one exchange.
inline constexpr std::size_t DEFAULT_MAX_READBACK = 512;

// The JTAG count form shifts the count by seven into a byte: 32767 clocks is
// the most it carries exactly.
inline constexpr unsigned MAX_IDLE_CLOCKS = 32767;

// One OUT transfer and, when `readback_bytes` is not 0, one exchange.
struct Batch {
    std::vector<std::uint8_t> stream;
    std::size_t readback_bytes = 0;
    // For each sampled clock wanted by the client, in clock order, its bit
    // position in this batch's read-back.
    std::vector<std::uint32_t> wanted_bits;
    std::size_t clocks = 0; // of those planned, in order
};

struct Plan {
    std::vector<Batch> batches;
    bool tms_low_after = false; // TMS line level once the plan has run
};

// Plans `clocks`: the fewest stream bytes (then the fewest read-back bits),
// split into batches whose read-back stays within `max_readback` bytes.
// `tms_low` says whether the TMS line is low before the first clock.
[[nodiscard]] Plan plan_sequence(std::span<const Clock> clocks, bool tms_low,
                                 std::size_t max_readback = DEFAULT_MAX_READBACK);

// What a sequence cost on the wire.
struct SequenceStats {
    std::uint64_t flushes = 0; // flush() calls with clocks to run: the client's own waits
    std::uint64_t clocks = 0;
    std::uint64_t stream_bytes = 0;
    std::uint64_t out_transfers = 0;
    std::uint64_t exchanges = 0;
    std::uint64_t readback_bytes = 0;
};

// Where a sequencer's batches go: the adapter, or a stand-in (the SVF dry run
// counts what would be sent).
class Wire {
public:
    virtual ~Wire() = default;
    // One OUT transfer of `stream`; 0 or a library result code.
    [[nodiscard]] virtual std::int32_t send(std::span<const std::uint8_t> stream) = 0;
    // One read-back exchange that fills `bytes` whole; 0 or a library result code.
    [[nodiscard]] virtual std::int32_t read_back(std::span<std::uint8_t> bytes) = 0;
};

// The adapter through libusb: the send rule and the JTAG library's read-back
// policy, `timeout_ms` per transfer.
class UsbWire final : public Wire {
public:
    UsbWire(libusb_device_handle* handle, std::uint32_t timeout_ms) noexcept
        : handle_(handle), timeout_(timeout_ms)
    {
    }
    [[nodiscard]] std::int32_t send(std::span<const std::uint8_t> stream) override;
    [[nodiscard]] std::int32_t read_back(std::span<std::uint8_t> bytes) override;
    void set_handle(libusb_device_handle* handle) noexcept { handle_ = handle; }
    void set_timeout(std::uint32_t timeout_ms) noexcept { timeout_ = timeout_ms; }

private:
    libusb_device_handle* handle_;
    std::uint32_t timeout_;
};

// Queues clocks and runs them on one wire. Not thread-safe: one owner, or
// calls serialised by the caller, as for the libraries. Not copied or moved:
// it may send through a wire of its own.
class JtagSequencer {
public:
    // On the adapter behind `handle`.
    JtagSequencer(libusb_device_handle* handle, std::uint32_t timeout_ms,
                  std::size_t max_readback = DEFAULT_MAX_READBACK) noexcept
        : usb_(handle, timeout_ms), wire_(&usb_), max_readback_(max_readback)
    {
    }
    // On `wire`, which outlives the sequencer.
    explicit JtagSequencer(Wire& wire, std::size_t max_readback = DEFAULT_MAX_READBACK) noexcept
        : usb_(nullptr, 0), wire_(&wire), max_readback_(max_readback)
    {
    }
    JtagSequencer(const JtagSequencer&) = delete;
    JtagSequencer& operator=(const JtagSequencer&) = delete;

    void queue(Clock clock) { pending_.push_back(clock); }
    void queue(std::span<const Clock> clocks)
    {
        pending_.insert(pending_.end(), clocks.begin(), clocks.end());
    }
    void queue(bool tms, bool tdi, bool sample) { pending_.push_back(Clock{tms, tdi, sample}); }
    [[nodiscard]] std::size_t pending() const noexcept { return pending_.size(); }
    [[nodiscard]] std::span<const Clock> queued() const noexcept { return pending_; }

    // Called after each batch has come back with the number of TDO levels
    // collected so far and the clocks that batch ran; returning false stops
    // before the next batch.
    using BatchDone = std::function<bool(std::size_t levels, std::size_t clocks)>;

    // Runs everything queued, batch by batch, and appends the TDO level (0 or
    // 1) of each sampled clock, in clock order, to `tdo` as its batch comes
    // back. The queue is empty afterwards, whatever the result. Returns 0
    // (also when `batch_done` stopped it) or the result code of the failing
    // transfer (the library codes); the levels of the batches before it stay
    // appended.
    [[nodiscard]] std::int32_t flush(std::vector<std::uint8_t>& tdo, const BatchDone& batch_done = {});

    // The TMS line level is unknown until a TMS command sets it; after an
    // adapter reset or a failed batch, assume it high again.
    void forget_tms_level() noexcept { tms_low_ = false; }
    // For the adapter of the first constructor.
    void set_timeout(std::uint32_t timeout_ms) noexcept { usb_.set_timeout(timeout_ms); }
    void set_handle(libusb_device_handle* handle) noexcept { usb_.set_handle(handle); }
    [[nodiscard]] const SequenceStats& stats() const noexcept { return stats_; }

private:
    UsbWire usb_;
    Wire* wire_;
    std::size_t max_readback_;
    bool tms_low_ = false;
    std::vector<Clock> pending_;
    SequenceStats stats_;
};

} // namespace orv::engine
