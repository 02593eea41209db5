// Playing a compiled SVF or XSVF program on the adapter, and its dry run.
//
// The player queues the clocks of consecutive statements in the JTAG
// sequence engine, as runs, and sends them only when it must: at the end,
// before a TCK change, a TRST pin change or a wait on the host, before a scan
// that may be repeated is judged, and every FLUSH_AT_CLOCKS clocks (to bound
// memory). The engine cuts what is queued into batches by the read-back
// bound, one OUT transfer and at most one read-back exchange each. TDO checks
// are evaluated as their batch comes back, 64 bits at a time; the first one
// that fails stops playback before the next batch.
//
// A run of more than RAW_RUN_FROM idle clocks (TMS low) goes out as its own
// OUT transfer of 0x9B commands after what is queued.
//
// A stop asked for (Ctrl-C) is honoured between statements, between batches
// and while a batch is planned: playback ends as after a failure, with what
// had been played.
//
// The dry run compiles the same way and plans the same batches without an
// adapter, so its counts are what playing would send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <libusb.h>

#include "lib/formats/svf/compiler.hpp"
#include "lib/formats/svf/program.hpp"
#include "lib/wire/wire.hpp"

namespace orv::svf {

inline constexpr std::size_t FLUSH_AT_CLOCKS = std::size_t{1} << 22;
inline constexpr std::uint64_t RAW_RUN_FROM = std::uint64_t{1} << 16;

// The read-back bound accepted: the adapter's read-back buffer holds 4 KiB.
inline constexpr std::size_t MAX_READBACK_BOUND = 4096;

struct PlayerOptions {
    std::uint32_t timeout_ms = 1000;
    std::uint32_t tck_khz = 1000; // as the JTAG library takes it
    std::uint16_t direction = JTAG_DEFAULT_DIRECTION;
    std::uint16_t level = JTAG_DEFAULT_LEVEL;
    std::size_t max_readback = engine::DEFAULT_MAX_READBACK; // 1..MAX_READBACK_BOUND
};

// The TCK the player starts with for a given --tck: the fastest clock not
// above it (the clock rule), raised to the slowest clock below that.
[[nodiscard]] ClockChoice tck_for_khz(std::uint32_t khz) noexcept;

// What the player drives. Each call is one OUT transfer (send, set_tck,
// set_pins) or one read-back exchange (read_back); 0 or a library result
// code.
class PlayerWire : public engine::Wire {
public:
    [[nodiscard]] virtual std::int32_t set_tck(const ClockChoice& clock) = 0;
    [[nodiscard]] virtual std::int32_t set_pins(std::uint16_t direction, std::uint16_t level) = 0;
    // After a failure: nothing of this run is left in the adapter's read-back.
    virtual void purge() = 0;
    virtual void sleep(double seconds) = 0;
    // Whether read_back() brings levels the chain drove: without, TDO checks
    // are not judged (they are counted).
    [[nodiscard]] virtual bool reads_the_chain() const = 0;
};

// What was sent, or would be: the sequence engine's counts and the waits.
struct WireCounts : engine::SequenceStats {
    std::uint64_t host_waits = 0;
    double wait_seconds = 0;
};

// A failed TDO check: the scan as shifted, in its three parts.
struct Mismatch {
    Origin statement;
    struct Part {
        Command command = Command::sdr; // HIR/HDR, the scan's own, TIR/TDR
        Bits expected;
        Bits actual; // levels read; 0 where nothing was sampled
        Bits mask;   // the bits compared
        [[nodiscard]] std::uint32_t differing() const;
    };
    Part header, body, trailer;
};

struct PlayResult {
    CompileCounts compiled;
    std::uint64_t statements_played = 0; // whose clocks all ran and came back
    std::uint64_t checks_passed = 0;
    std::uint64_t repeats = 0; // scans shifted again after their TDO differed
    WireCounts wire;
    double seconds = 0;
    std::optional<Mismatch> mismatch;
    std::int32_t rc = 0;      // a failed transfer's result code
    std::string failed_doing; // what the failed transfer was for
    bool stopped = false;     // at the caller's request
    // When it failed or stopped: the first statement not played to the end
    // (none when the set-up before the first one failed, or all were
    // played), and the last statement whose TDO checks had all passed (none
    // before the first check). The statements from the first unknown one on
    // may have clocked, but what they read did not come back.
    std::optional<Origin> first_unknown;
    std::optional<Origin> last_checked;
};

// Told how many statements have been played and where in the file they end.
using PlayProgress = std::function<void(std::uint64_t statements, std::uint64_t bytes)>;

// Whether the options are in range (TCK 1..60000 kHz, the read-back bound
// 1..MAX_READBACK_BOUND): play() refuses others with TPW_ERROR_INVALID_PARAM,
// sending nothing; dry_run() counts as if they were clamped.
[[nodiscard]] bool options_valid(const PlayerOptions& options) noexcept;

// Sets TCK and the JTAG pins, then plays `program` from a TAP reset.
[[nodiscard]] PlayResult play(const Program& program, libusb_device_handle* handle,
                              const PlayerOptions& options, const PlayProgress& progress = {},
                              const StopCheck& stop = {});
// The same on any wire (`options.timeout_ms` is the wire's business).
[[nodiscard]] PlayResult play(const Program& program, PlayerWire& wire, const PlayerOptions& options,
                              const PlayProgress& progress = {}, const StopCheck& stop = {});

struct DryRunResult {
    CompileCounts compiled;
    WireCounts wire;
    bool stopped = false;
};

// The player on a wire that sends nothing: what playing would send. Options
// out of range count as if they were clamped.
[[nodiscard]] DryRunResult dry_run(const Program& program, const PlayerOptions& options,
                                   const StopCheck& stop = {});

} // namespace orv::svf
