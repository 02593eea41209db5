#include "lib/wire/tap_phases.hpp"

#include <algorithm>

#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/tap_state.hpp"
#include "lib/wire/wire.hpp"
#include "orv_tapwire.h"

namespace orv::jtag {

namespace {

std::size_t data_bytes(std::int32_t bit_count) noexcept
{
    return bytes_for_bits(static_cast<std::uint64_t>(bit_count));
}

unsigned last_byte_bits(std::int32_t bit_count) noexcept
{
    const unsigned rest = static_cast<unsigned>(bit_count) % 8;
    return rest == 0 ? 8 : rest;
}

std::size_t whole_byte_commands(std::size_t whole_bytes) noexcept
{
    return (whole_bytes + MAX_BYTES_PER_COMMAND - 1) / MAX_BYTES_PER_COMMAND;
}

// The scan's final bit rides on the one TMS clock that leaves the shift state.
void append_exit_with_final_bit(CommandStream& stream, std::int32_t& working_state, std::int32_t exit_state,
                                bool final_bit, bool capture) noexcept
{
    const TmsPath path = tms_path(working_state, exit_state);
    if (path.clocks != 1) {
        stream.fault();
        return;
    }
    working_state = exit_state;
    append_tms_clocks(stream, path.pattern, 1, final_bit, capture);
}

} // namespace

void append_tms_clocks(CommandStream& stream, std::uint8_t pattern, unsigned clocks, bool tdi,
                       bool read) noexcept
{
    append_tms(stream, static_cast<std::uint8_t>(pattern | (tdi ? TMS_TDI_BIT : 0U)), clocks, read);
}

void append_tms_path(CommandStream& stream, std::int32_t& working_state, std::int32_t target) noexcept
{
    const TmsPath path = tms_path(working_state, target);
    if (path.clocks != 0) {
        append_tms_clocks(stream, path.pattern, path.clocks, false, false);
    }
    working_state = target;
}

void append_shift_bytes(CommandStream& stream, std::span<const std::uint8_t> bytes, bool capture) noexcept
{
    while (!bytes.empty()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), MAX_BYTES_PER_COMMAND);
        append_bytes(stream, BitOrder::lsb_first, capture, bytes.first(chunk));
        bytes = bytes.subspan(chunk);
    }
}

void append_shift_bits(CommandStream& stream, std::uint8_t bits, unsigned count, bool capture) noexcept
{
    append_bits(stream, BitOrder::lsb_first, capture, count, bits);
}

void append_idle_clocks(CommandStream& stream, std::uint16_t idle_clocks) noexcept
{
    if (idle_clocks != 0) {
        append_clocks(stream, OP_CLOCKS, idle_clocks, JTAG_CLOCK_COUNT);
    }
}

void append_idle_run(CommandStream& stream, std::uint64_t clocks) noexcept
{
    while (clocks != 0) {
        const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(clocks, MAX_EXACT_IDLE_CLOCKS));
        append_idle_clocks(stream, n);
        clocks -= n;
    }
}

std::optional<std::size_t> scan_length_bound(std::int32_t bit_count, bool capture) noexcept
{
    if (bit_count <= 0) {
        return std::nullopt;
    }
    const std::size_t bytes = data_bytes(bit_count);
    const std::size_t commands = whole_byte_commands(bytes - 1);
    // Path in, one byte command head, the last byte's bits, the exit clock,
    // the path to Run-Test/Idle, idle clocks; then the flush when capturing.
    constexpr std::size_t frame =
        TMS_LENGTH + BYTES_HEAD_LENGTH + BITS_LENGTH + TMS_LENGTH + TMS_LENGTH + CLOCKS_LENGTH;
    const std::size_t extra_heads = commands > 1 ? BYTES_HEAD_LENGTH * (commands - 1) : 0;
    const auto bound = checked_add(bytes - 1, frame + (capture ? FLUSH_LENGTH : 0));
    return bound ? checked_add(*bound, extra_heads) : std::nullopt;
}

void append_scan(CommandStream& stream, std::int32_t& working_state, const ScanRequest& request) noexcept
{
    const std::size_t bytes = data_bytes(request.bit_count);
    const unsigned bits = last_byte_bits(request.bit_count);
    const std::uint8_t last_byte = request.tdi[bytes - 1];
    const bool final_bit = (last_byte >> (bits - 1) & 1U) != 0;

    append_tms_path(stream, working_state, request.shift_state);
    append_shift_bytes(stream, std::span(request.tdi, bytes - 1), request.capture);
    if (bits > 1) {
        append_shift_bits(stream, last_byte, bits - 1, request.capture);
    }
    append_exit_with_final_bit(stream, working_state, request.exit_state, final_bit, request.capture);
    append_tms_path(stream, working_state, TPW_TAP_RUN_TEST_IDLE);
    append_idle_clocks(stream, request.idle_clocks);
    if (request.capture) {
        append_flush(stream);
    }
}

} // namespace orv::jtag
