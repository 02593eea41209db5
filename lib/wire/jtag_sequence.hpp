// The JTAG sequence engine: arbitrary per-clock TMS and TDI, with TDO wanted
// on any clock, turned into the fewest adapter command bytes and batched.
//
// The JTAG library's calls move the TAP along fixed paths and always end in
// Run-Test/Idle. Network clients (remote_bitbang, XVC), boundary scan and SVF
// playback describe their work as clocks instead: clock by clock, or as runs
// of clocks alike in TMS and sampling whose TDI is a bit string (a shift of a
// million bits is one run). This engine takes either, plans the stream and
// runs it, one OUT transfer and at most one read-back exchange per batch.
//
// Command forms: only those the JTAG library itself emits, built by the same
// phase functions (tap_phases.hpp):
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
// Planning: stretches of TMS-low clocks sampled alike are shifted in whole
// byte commands, taken directly at word level; the clocks around them, and
// stretches whose TDI holds runs of zeros that idle commands may clock
// cheaper, go to a search clock by clock for the fewest bytes. A run of idle
// clocks (TMS low, TDI low, not sampled) too long for that search is
// shortened by whole idle commands first and given them back after: the
// fewest bytes for any length, at a cost that does not grow with it.
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

#include "lib/wire/bit_view.hpp"
#include "lib/wire/tap_phases.hpp"

namespace orv::engine {

// One TCK clock: the TMS and TDI levels at its rising edge, and whether the
// TDO level at that edge is wanted.
struct Clock {
    bool tms = false;
    bool tdi = false;
    bool sample = false;

    friend constexpr bool operator==(const Clock&, const Clock&) = default;
};

// `clocks` clocks with TMS at `tms` and TDO wanted on each when `sample`; TDI
// of clock k is bit k of `tdi`.
struct Run {
    std::uint64_t clocks = 0;
    bool tms = false;
    bool sample = false;
    BitView tdi;
};

// The largest read-back any library call asks of the adapter in one exchange.
inline constexpr std::size_t DEFAULT_MAX_READBACK = 512;

// The most idle clocks one command carries exactly (tap_phases.hpp).
inline constexpr unsigned MAX_IDLE_CLOCKS = jtag::MAX_EXACT_IDLE_CLOCKS;

// Asked between steps of a long planning or sending loop: true to stop.
using StopCheck = std::function<bool()>;

// Clocks waiting to be planned, as segments alike in TMS and sampling. TDI
// bits are copied in, except a constant level, which is kept as such: a run of
// any length costs a segment.
class ClockQueue {
public:
    struct Segment {
        std::uint64_t clocks = 0;
        bool tms = false;
        bool sample = false;
        bool stored = false;   // TDI in the queue's bits from `bit` on; else constant
        bool level = false;    // the constant TDI level
        std::uint64_t bit = 0; // of the queue's bits
    };

    void push(const Clock& clock);
    // Copies the run's TDI bits; nothing for an empty run.
    void push(const Run& run);
    [[nodiscard]] std::uint64_t clocks() const noexcept { return clocks_; }
    [[nodiscard]] bool empty() const noexcept { return clocks_ == 0; }
    void clear() noexcept;
    [[nodiscard]] std::span<const Segment> segments() const noexcept { return segments_; }
    // The TDI of a segment's clocks.
    [[nodiscard]] BitView tdi(const Segment& segment) const noexcept
    {
        return segment.stored ? bits_.view().from(segment.bit) : BitView{{}, 0, segment.level};
    }

private:
    void push_constant(std::uint64_t clocks, bool tms, bool sample, bool level);

    std::vector<Segment> segments_;
    BitBuffer bits_;
    std::uint64_t clocks_ = 0;
};

// Bits [first, first + count) of a batch's read-back.
struct BitRange {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

// One OUT transfer and, when `readback_bytes` is not 0, one exchange.
struct Batch {
    std::vector<std::uint8_t> stream;
    std::size_t readback_bytes = 0;
    // Where the levels of the sampled clocks wanted by the client lie in this
    // batch's read-back, in clock order.
    std::vector<BitRange> wanted;
    std::uint64_t clocks = 0; // of those planned, in order
};

// The levels a batch hands over: the bits of its wanted ranges.
[[nodiscard]] std::uint64_t wanted_count(const Batch& batch) noexcept;

struct Plan {
    std::vector<Batch> batches;
    bool tms_low_after = false; // TMS line level once the plan has run
    bool stopped = false;       // `stop` asked to stop: the plan is empty
};

// Plans `clocks`: the fewest stream bytes (then the fewest read-back bits),
// split into batches whose read-back stays within `max_readback` bytes.
// `tms_low` says whether the TMS line is low before the first clock.
[[nodiscard]] Plan plan_sequence(std::span<const Clock> clocks, bool tms_low,
                                 std::size_t max_readback = DEFAULT_MAX_READBACK);
// The same for the queued clocks; `stop` is asked between steps.
[[nodiscard]] Plan plan_queue(const ClockQueue& queue, bool tms_low,
                              std::size_t max_readback = DEFAULT_MAX_READBACK, const StopCheck& stop = {});

// What a sequence cost on the wire.
struct SequenceStats {
    std::uint64_t flushes = 0; // flush() calls with clocks to run: the client's own waits
    std::uint64_t clocks = 0;
    std::uint64_t stream_bytes = 0;
    std::uint64_t out_transfers = 0;
    std::uint64_t exchanges = 0;
    std::uint64_t readback_bytes = 0;
};

SequenceStats& operator+=(SequenceStats& stats, const SequenceStats& more) noexcept;
// What `later` adds to `earlier`, both of one count.
[[nodiscard]] SequenceStats operator-(const SequenceStats& later, const SequenceStats& earlier) noexcept;

// Where a sequencer's batches go: the adapter, or a stand-in (the SVF dry run
// counts what would be sent).
class Wire {
public:
    Wire() = default;
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;
    Wire(Wire&&) = delete;
    Wire& operator=(Wire&&) = delete;
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
    JtagSequencer(JtagSequencer&&) = delete;
    JtagSequencer& operator=(JtagSequencer&&) = delete;
    ~JtagSequencer() = default;

    void queue(Clock clock) { pending_.push(clock); }
    void queue(std::span<const Clock> clocks)
    {
        for (const Clock& c : clocks) {
            pending_.push(c);
        }
    }
    void queue(bool tms, bool tdi, bool sample) { pending_.push(Clock{tms, tdi, sample}); }
    // A run; its TDI bits are copied.
    void queue(const Run& run) { pending_.push(run); }
    // Clocks queued.
    [[nodiscard]] std::uint64_t pending() const noexcept { return pending_.clocks(); }

    // Called after each batch has come back with the number of TDO levels
    // collected so far and the clocks that batch ran; returning false stops
    // before the next batch.
    using BatchDone = std::function<bool(std::size_t levels, std::size_t clocks)>;
    // Called after each batch has come back with the TDO levels of its wanted
    // clocks, packed in clock order (`count` of them), and the clocks it ran;
    // returning false stops before the next batch.
    using BatchLevels = std::function<bool(const BitView& levels, std::uint64_t count, std::uint64_t clocks)>;

    // Runs everything queued, batch by batch, and appends the TDO level (0 or
    // 1) of each sampled clock, in clock order, to `tdo` as its batch comes
    // back. The queue is empty afterwards, whatever the result. Returns 0
    // (also when `batch_done` stopped it) or the result code of the failing
    // transfer (the library codes); the levels of the batches before it stay
    // appended.
    [[nodiscard]] std::int32_t flush(std::vector<std::uint8_t>& tdo, const BatchDone& batch_done = {});
    // The same with the levels handed over packed, batch by batch; `stop` is
    // also asked while planning (nothing is sent once it says stop).
    [[nodiscard]] std::int32_t flush(const BatchLevels& batch_levels, const StopCheck& stop = {});

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
    ClockQueue pending_;
    SequenceStats stats_;
    std::vector<std::uint8_t> readback_;
    BitBuffer levels_;
};

} // namespace orv::engine
