// Every bulk transfer this program makes, seen on its way: orvtool defines
// libusb_bulk_transfer itself and hands each call on to libusb's own. The
// program's code and the shared libraries it loads (the orv libraries call
// libusb_bulk_transfer, which the dynamic linker finds in the program first)
// all come through here, so a trace of a real adapter sees the whole session
// without a change to any library. Only in the orvtool program, never in a
// library.
#pragma once

#include <cstdint>
#include <span>

#include <libusb.h>

namespace orvtool {

// Told what moved on the adapter's endpoints.
class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    // The bytes the adapter accepted on 0x02.
    virtual void sent(std::span<const std::uint8_t> stream) = 0;
    // The bytes that came from 0x81.
    virtual void read_back(std::span<const std::uint8_t> bytes) = 0;
};

// From now on the transfers on `handle` go to `observer` too; a null
// observer stops that. One observer at a time.
void tap_transfers(libusb_device_handle* handle, TransferObserver* observer) noexcept;

} // namespace orvtool
