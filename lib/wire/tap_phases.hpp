// The JTAG phases as adapter commands: moving the TAP along a path, the idle
// clocks, and the phases of an IR or DR scan. The scans that send a scan, the
// builder that writes one into a caller's buffer and the move to Run-Test/Idle
// all build their streams from these.
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
// data and the exit clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "lib/wire/command_stream.hpp"

namespace orv::jtag {

// TMS path from the working state to `target` (TDI low), moving the working
// state along; nothing when it is there. Both states 0..15.
// Adds at most TMS_LENGTH bytes.
void append_tms_path(CommandStream& stream, std::int32_t& working_state, std::int32_t target) noexcept;

// Idle clocks in Run-Test/Idle; nothing for 0. Adds at most CLOCKS_LENGTH bytes.
void append_idle_clocks(CommandStream& stream, std::uint16_t idle_clocks) noexcept;

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
