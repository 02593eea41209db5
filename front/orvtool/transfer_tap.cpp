#include "front/orvtool/transfer_tap.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "lib/wire/wire.hpp"

namespace {

using BulkTransfer = int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int);

// The tap. A function the dynamic linker calls in libusb's place has no
// argument to find it through, so it lives here, set and cleared by
// tap_transfers; the lock keeps a transfer on another thread from seeing an
// observer that is being removed.
struct Tap {
    std::mutex lock;
    std::atomic<libusb_device_handle*> handle{nullptr};
    orvtool::TransferObserver* observer = nullptr;
};

Tap& tap()
{
    static Tap instance;
    return instance;
}

BulkTransfer libusb_own()
{
    static const auto real = reinterpret_cast<BulkTransfer>(dlsym(RTLD_NEXT, "libusb_bulk_transfer"));
    return real;
}

} // namespace

namespace orvtool {

void tap_transfers(libusb_device_handle* handle, TransferObserver* observer) noexcept
{
    Tap& t = tap();
    const std::lock_guard guard(t.lock);
    t.observer = observer;
    t.handle.store(observer != nullptr ? handle : nullptr);
}

} // namespace orvtool

// Exported from the program (see tools/CMakeLists.txt), so the shared
// libraries' calls resolve here.
extern "C" __attribute__((visibility("default"))) int
libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                     int* transferred, unsigned int timeout)
{
    const BulkTransfer real = libusb_own();
    if (real == nullptr) {
        return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    const int rc = real(handle, endpoint, data, length, transferred, timeout);
    Tap& t = tap();
    if (handle == nullptr || t.handle.load(std::memory_order_relaxed) != handle || transferred == nullptr ||
        *transferred <= 0 || data == nullptr) {
        return rc;
    }
    const std::lock_guard guard(t.lock);
    if (t.observer == nullptr || t.handle.load(std::memory_order_relaxed) != handle) {
        return rc;
    }
    // What moved, whatever the result: a timed-out OUT may have delivered
    // part of its bytes, an overflowing IN the ones asked for.
    const std::span<const std::uint8_t> moved(data, static_cast<std::size_t>(std::min(*transferred, length)));
    if (endpoint == orv::EP_COMMAND_OUT) {
        t.observer->sent(moved);
    } else if (endpoint == orv::EP_READBACK_DATA_IN) {
        t.observer->read_back(moved);
    }
    return rc;
}
