// TAP navigation and IR/DR scans: each is one bulk OUT transfer, then for a
// capture the read-back. The caller's TAP state is copied, moved along with the
// TMS clocks, and stored back only when everything succeeded.
#include <array>
#include <cstdio>

#include "heap_buffer.hpp"
#include "wire.hpp"
#include "orv_tapwire.h"
#include "result.hpp"
#include "scan_stream.hpp"
#include "tap_state.hpp"
#include "transport.hpp"

namespace {

using namespace orv;

enum class ScanKind { instruction, data };

// The DR scan reports a failed command transfer on standard output.
void report_send_failure(ScanKind kind, std::int32_t rc) noexcept
{
    if (kind != ScanKind::data) {
        return;
    }
    if (rc == RESULT_SHORT_TRANSFER) {
        std::puts("TPW_ERROR_USBTRANS_ERR");
    } else {
        std::printf("usb trans error: %d\n", rc);
    }
}

std::int32_t shift(ScanKind kind, libusb_device_handle* handle, std::int32_t* state, std::int32_t bit_count,
                   const std::uint8_t* tdi, std::uint8_t* tdo, std::uint16_t idle_clocks,
                   std::uint32_t timeout) noexcept
{
    if (handle == nullptr || state == nullptr || tdi == nullptr || bit_count <= 0 ||
        !jtag::is_tap_state(*state)) {
        return RESULT_INVALID_PARAM;
    }
    const bool capture = tdo != nullptr;
    const auto bound = jtag::scan_length_bound(bit_count, capture);
    if (!bound) {
        return RESULT_INVALID_PARAM;
    }
    HeapBuffer buffer = HeapBuffer::allocate(*bound);
    if (!buffer.ok()) {
        return RESULT_NO_MEMORY;
    }
    CommandStream stream(buffer.span());
    std::int32_t working = *state;
    const jtag::ScanRequest request{
        kind == ScanKind::data ? TPW_TAP_SHIFT_DR : TPW_TAP_SHIFT_IR,
        kind == ScanKind::data ? TPW_TAP_EXIT1_DR : TPW_TAP_EXIT1_IR,
        bit_count,
        tdi,
        capture,
        idle_clocks,
    };
    jtag::append_scan(stream, working, request);
    if (stream.faulted()) {
        return RESULT_CMD_ERR;
    }
    const std::int32_t sent = send(handle, stream.bytes(), timeout);
    if (sent != RESULT_OK) {
        report_send_failure(kind, sent);
        return sent;
    }
    if (capture) {
        const std::int32_t read = tapwire_readback_tdo(handle, bit_count, tdo, timeout);
        if (read != RESULT_OK) {
            return read;
        }
    }
    *state = working;
    return RESULT_OK;
}

} // namespace

extern "C" {

std::int32_t tapwire_goto_idle(libusb_device_handle* handle, std::int32_t* state, std::uint16_t idle_clocks,
                               std::uint32_t timeout)
{
    if (handle == nullptr || state == nullptr || !jtag::is_tap_state(*state)) {
        return RESULT_INVALID_PARAM;
    }
    std::array<std::uint8_t, 6> storage{};
    CommandStream stream(storage);
    std::int32_t working = *state;
    std::int32_t count = -1;
    std::uint32_t pattern = 0;
    if (jtag_generate_tms_array(&working, TPW_TAP_RUN_TEST_IDLE, &count, &pattern) != RESULT_OK) {
        return RESULT_CMD_ERR;
    }
    if (count >= 0) {
        append_tms(stream, static_cast<std::uint8_t>(pattern & 0x3FU), static_cast<unsigned>(count + 1),
                   false);
    }
    if (idle_clocks != 0) {
        append_clocks(stream, OP_CLOCKS, idle_clocks, ClockCountForm::jtag_shift7);
    }
    if (stream.faulted()) {
        return RESULT_CMD_ERR;
    }
    // Sent even when empty: the caller sees the adapter answer either way.
    const std::int32_t rc = send(handle, stream.bytes(), timeout);
    if (rc == RESULT_OK) {
        *state = working;
    }
    return rc;
}

std::int32_t tapwire_shift_ir(libusb_device_handle* handle, std::int32_t* state, std::int32_t bit_count,
                              const std::uint8_t* tdi, std::uint8_t* tdo, std::uint16_t idle_clocks,
                              std::uint32_t timeout)
{
    return shift(ScanKind::instruction, handle, state, bit_count, tdi, tdo, idle_clocks, timeout);
}

std::int32_t tapwire_shift_dr(libusb_device_handle* handle, std::int32_t* state, std::int32_t bit_count,
                              const std::uint8_t* tdi, std::uint8_t* tdo, std::uint16_t idle_clocks,
                              std::uint32_t timeout)
{
    return shift(ScanKind::data, handle, state, bit_count, tdi, tdo, idle_clocks, timeout);
}

} // extern "C"
