// TAP navigation and IR/DR scans: each is one bulk OUT transfer, then for a
// capture the read-back. The caller's TAP state is copied, moved along with the
// TMS clocks, and stored back only when everything succeeded.
#include <array>
#include <cstdio>

#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/operation.hpp"
#include "lib/wire/tap_phases.hpp"
#include "lib/wire/tap_state.hpp"
#include "orv_tapwire.h"

namespace {

using namespace orv;

enum class ScanKind { instruction, data };

// The DR scan reports a failed command transfer on standard output. Deliberate:
// callers match these lines in their logs, so the texts stay as they are.
void report_send_failure(std::int32_t rc) noexcept
{
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
    // check
    if (handle == nullptr || state == nullptr || tdi == nullptr || bit_count <= 0 ||
        !jtag::is_tap_state(*state)) {
        return RESULT_INVALID_PARAM;
    }
    const bool capture = tdo != nullptr;
    // size
    const auto length = jtag::scan_length_bound(bit_count, capture);
    if (!length) {
        return RESULT_INVALID_PARAM;
    }
    // allocate
    HeapBuffer buffer = HeapBuffer::allocate(*length);
    if (!buffer.ok()) {
        return RESULT_NO_MEMORY;
    }
    // build
    CommandStream stream(buffer.span());
    std::int32_t working = *state;
    const bool data = kind == ScanKind::data;
    jtag::append_scan(stream, working,
                      jtag::ScanRequest{data ? TPW_TAP_SHIFT_DR : TPW_TAP_SHIFT_IR,
                                        data ? TPW_TAP_EXIT1_DR : TPW_TAP_EXIT1_IR, bit_count, tdi, capture,
                                        idle_clocks});
    // send, read back
    const std::span<std::uint8_t> sampled =
        capture ? std::span(tdo, bytes_for_bits(static_cast<std::uint64_t>(bit_count)))
                : std::span<std::uint8_t>();
    const Outcome outcome = transact(handle, stream, sampled, timeout, JTAG_READBACK);
    if (outcome.result != RESULT_OK) {
        if (data && outcome.failed_at == FailedStep::send) {
            report_send_failure(outcome.result);
        }
        return outcome.result;
    }
    // commit
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
    std::array<std::uint8_t, TMS_LENGTH + CLOCKS_LENGTH> storage{};
    CommandStream stream(storage);
    std::int32_t working = *state;
    jtag::append_tms_path(stream, working, TPW_TAP_RUN_TEST_IDLE);
    jtag::append_idle_clocks(stream, idle_clocks);
    // Sent even when empty: the caller sees the adapter answer either way.
    const std::int32_t rc = transact(handle, stream, timeout);
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
