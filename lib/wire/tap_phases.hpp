// The JTAG phases as adapter commands, spelled once: TMS clocks, the TMS path
// between two states, whole bytes and the bits of a last byte shifted with
// TMS low, the final bit on the exit clock, and idle clocks. The JTAG
// library's scans, the builder that writes a scan into a caller's buffer, the
// move to Run-Test/Idle and the JTAG sequence engine all build their streams
// from these.
//
// A scan of n bits, B = ceil(n / 8) data bytes, L bits in the last byte:
//   path into Shift-xR           0x5B count pattern        (absent when there)
//   whole bytes 0..B-2           0x7B/0x7C n-1 data...     (absent when B = 1;
//                                                           256 bytes a command)
//   bits 0..L-2 of the last byte 0x6B/0x6C L-2 byte        (absent when L = 1)
//   final bit on the exit clock  0x5B/0x5C 00 (bit<<7)|01  (Shift-xR -> Exit1-xR)
//   path to Run-Test/Idle        0x5B 01 01                (through Update-xR)
//   idle clocks                  0x9B (n-1) (n>>7)         (absent when 0)
//   flush                        0x8B                      (capture only)
// TDI is held low while the TAP moves; the capture forms are used only for the
// data and the exit clock. Shifts and idle clocks keep TMS low: they are only
// sent while the TMS line is low, after a TMS command whose last clock was
// TMS 0, as an adapter may hold TMS at its last level during them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "lib/wire/command_stream.hpp"

namespace orv::jtag {

// The bit commands of a shift carry 1..7 bits: a scan's last bit goes with
// the exit clock.
inline constexpr unsigned MAX_SHIFT_BITS = MAX_BITS_PER_COMMAND - 1;

// The JTAG count form of the idle command shifts the count by seven into its
// second byte: 32767 clocks is the most it carries exactly.
inline constexpr unsigned MAX_EXACT_IDLE_CLOCKS = 32767;

// `clocks` (1..7) TMS clocks, TMS of clock k from bit k of `pattern` (bit 7
// clear), TDI held at `tdi`; `read` samples TDO, with `clocks` 1 only (the
// adapter samples one clock). Adds TMS_LENGTH bytes.
void append_tms_clocks(CommandStream& stream, std::uint8_t pattern, unsigned clocks, bool tdi,
                       bool read) noexcept;

// TMS path from the working state to `target` (TDI low), moving the working
// state along; nothing when it is there. Both states 0..15.
// Adds at most TMS_LENGTH bytes.
void append_tms_path(CommandStream& stream, std::int32_t& working_state, std::int32_t target) noexcept;

// Whole bytes shifted with TMS low, bit 0 of byte 0 first, in commands of at
// most 256 bytes; `capture` samples every bit.
void append_shift_bytes(CommandStream& stream, std::span<const std::uint8_t> bytes, bool capture) noexcept;

// Bits 0..count-1 of `bits` (count 1..7: a scan's last bit goes with the exit
// clock) shifted with TMS low. Adds BITS_LENGTH bytes.
void append_shift_bits(CommandStream& stream, std::uint8_t bits, unsigned count, bool capture) noexcept;

// Idle clocks in the JTAG count form, one command; nothing for 0. The count
// is sent as the library always sent it, also above MAX_EXACT_IDLE_CLOCKS.
// Adds at most CLOCKS_LENGTH bytes.
void append_idle_clocks(CommandStream& stream, std::uint16_t idle_clocks) noexcept;

// `clocks` idle clocks in commands of at most MAX_EXACT_IDLE_CLOCKS: the
// count each command carries is the count run. Adds CLOCKS_LENGTH bytes a
// command.
void append_idle_run(CommandStream& stream, std::uint64_t clocks) noexcept;

// Commands append_idle_run() makes for `clocks`.
[[nodiscard]] constexpr std::uint64_t idle_commands(std::uint64_t clocks) noexcept
{
    return (clocks + MAX_EXACT_IDLE_CLOCKS - 1) / MAX_EXACT_IDLE_CLOCKS;
}

struct ScanRequest {
    std::int32_t shift_state; // TPW_TAP_SHIFT_IR or TPW_TAP_SHIFT_DR
    std::int32_t exit_state;  // TPW_TAP_EXIT1_IR or TPW_TAP_EXIT1_DR
    std::int32_t bit_count;   // 1 or more
    const std::uint8_t* tdi;  // ceil(bit_count / 8) bytes
    bool capture;
    std::uint16_t idle_clocks;
};

// The longest sequence a scan can make: every optional command present.
// B + 16 bytes, B + 17 with capture, plus a byte command head for each 256
// whole bytes after the first. nullopt if it does not fit size_t.
[[nodiscard]] std::optional<std::size_t> scan_length_bound(std::int32_t bit_count, bool capture) noexcept;

// Appends the scan to `stream`, moving `working_state` along with the TMS
// clocks; on return it is Run-Test/Idle. `working_state` must be 0..15 and the
// request valid. A shortage of room faults the stream.
void append_scan(CommandStream& stream, std::int32_t& working_state, const ScanRequest& request) noexcept;

} // namespace orv::jtag
