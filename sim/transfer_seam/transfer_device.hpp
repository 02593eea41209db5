// The one in-process libusb_bulk_transfer, for programs that run the library
// code against a model of the adapter instead of a USB device: the scripted
// unit-test fake, the emulator, the fuzz device and the benchmark device each
// implement TransferDevice, and the handle the libraries are given points at
// that object (handle()). libusb_bulk_transfer checks the call, then routes
// it by endpoint: EP_COMMAND_OUT to out(), EP_READBACK_COUNT_IN to
// poll_count(), EP_READBACK_DATA_IN to read_data().
//
// A program links this (through the target of its one device) instead of
// libusb, never beside it: a real libusb handle must not reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <libusb.h>

namespace orv::seam {

// One transfer as libusb_bulk_transfer reports it: its result (0 or a
// LIBUSB_ERROR_* code) and the bytes it says moved. Both reach the caller
// unchanged, so a device can fail any transfer, make it short, or both.
struct Outcome {
    int rc = 0;
    int transferred = 0;
};

// A count poll: the result, the count the adapter reports, and how many of
// its READBACK_COUNT_LENGTH bytes arrived. The seam writes the count's first
// `transferred` bytes (at most READBACK_COUNT_LENGTH) into the caller's
// buffer, so a short poll delivers only part of the count.
struct CountOutcome {
    int rc = 0;
    int transferred = 0;
    std::uint32_t count = 0;
};

class TransferDevice {
public:
    TransferDevice() = default;
    TransferDevice(const TransferDevice&) = delete;
    TransferDevice& operator=(const TransferDevice&) = delete;
    virtual ~TransferDevice() = default;

    // What the libraries are given as their device handle.
    [[nodiscard]] libusb_device_handle* handle() noexcept
    {
        return reinterpret_cast<libusb_device_handle*>(this);
    }

    // A command stream on EP_COMMAND_OUT.
    virtual Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept = 0;
    // A count poll on EP_READBACK_COUNT_IN into a buffer of `length` bytes,
    // never fewer than READBACK_COUNT_LENGTH.
    virtual CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept = 0;
    // Read-back bytes on EP_READBACK_DATA_IN: the device writes at most
    // buffer.size() bytes, the length asked for.
    virtual Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept = 0;

    // A call the seam answers with `rc` without routing it: a negative
    // length, a null buffer or byte-count pointer (INVALID_PARAM), a count
    // poll into a buffer too small for the count (OVERFLOW), an endpoint the
    // adapter does not have (NOT_FOUND). The library code never makes one;
    // a device used to check that code may treat it as a fault.
    virtual int refused(unsigned char /*endpoint*/, int /*length*/, int rc) noexcept { return rc; }
};

} // namespace orv::seam
