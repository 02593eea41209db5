#include "adversarial_usb.hpp"

#include <algorithm>
#include <cstdlib>

namespace orv::fuzz {

namespace {

// Bytes the adapter's counts reach at most when they are not an edge value:
// enough for every read-back the libraries make, small enough that a scratch
// buffer sized from it stays cheap.
constexpr std::uint32_t LARGE_COUNT_LIMIT = 1u << 20;

constexpr unsigned char EP_OUT = 0x02;
constexpr unsigned char EP_DATA = 0x81;
constexpr unsigned char EP_COUNT = 0x83;

} // namespace

int AdversarialAdapter::libusb_error()
{
    const std::uint8_t pick = input_.byte() % 13;
    return pick == 12 ? LIBUSB_ERROR_OTHER : -1 - pick;
}

int AdversarialAdapter::transfer(unsigned char endpoint, unsigned char* data, int length, int* transferred,
                                 unsigned timeout)
{
    // A transfer with timeout 0 could wait for ever on a real adapter; the
    // operations here are all given small timeouts, which must reach libusb.
    if (timeout == 0 || transferred == nullptr || length < 0 || (length > 0 && data == nullptr)) {
        std::abort();
    }
    if (++transfers_ > MAX_TRANSFERS) {
        std::abort(); // the read-back exchange did not stop at its poll limit
    }
    *transferred = 0;
    switch (endpoint) {
    case EP_OUT:
        return command_out(length, transferred);
    case EP_COUNT:
        return poll(data, length, transferred);
    case EP_DATA:
        return data_read(data, length, transferred);
    default:
        std::abort(); // no library talks to another endpoint
    }
}

int AdversarialAdapter::command_out(int length, int* transferred)
{
    switch (input_.byte() % 8) {
    case 0:
        return libusb_error();
    case 1: // short transfer
        *transferred = length > 0 ? static_cast<int>(input_.u16() % static_cast<unsigned>(length)) : 0;
        return 0;
    default:
        *transferred = length;
        return 0;
    }
}

std::uint32_t AdversarialAdapter::reported_count()
{
    switch (input_.byte() % 12) {
    case 0:
        return 0xFFFFFFFFu;
    case 1:
        return 0x80000000u;
    case 2:
        // Not INT_MAX: the libraries would honestly allocate and read 2 GiB
        // for it, which says nothing about their correctness but exhausts the
        // fuzzer's memory.
        return LARGE_COUNT_LIMIT;
    case 3:
        return expected_ - 1;
    case 4:
        return expected_ + 1 + input_.byte() % 8;
    case 5:
        return input_.u32() % (LARGE_COUNT_LIMIT + 1);
    case 6:
    case 7:
        return expected_ > 0 ? input_.u16() % (expected_ + 1) : 0; // still filling
    default:
        return expected_;
    }
}

int AdversarialAdapter::poll(unsigned char* data, int length, int* transferred)
{
    const std::uint8_t shape = input_.byte() % 10;
    if (shape == 0) {
        return libusb_error();
    }
    const std::uint32_t count = reported_count();
    const unsigned char bytes[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
                                    static_cast<unsigned char>(count >> 16),
                                    static_cast<unsigned char>(count >> 24)};
    int moved = std::min(length, 4);
    if (shape == 1) {
        moved = std::min(length, static_cast<int>(input_.byte() % 4)); // short poll
    }
    std::copy_n(bytes, std::min(moved, 4), data);
    *transferred = moved;
    return 0;
}

int AdversarialAdapter::data_read(unsigned char* data, int length, int* transferred)
{
    const std::uint8_t shape = input_.byte() % 8;
    if (shape == 0) {
        return libusb_error();
    }
    int moved = length;
    if (shape == 1 && length > 0) {
        moved = static_cast<int>(input_.u32() % static_cast<unsigned>(length)); // short read
    }
    // libusb never moves more than it was asked for, so neither does this.
    int i = 0;
    for (; i < moved && !input_.empty(); ++i) {
        data[i] = input_.byte();
    }
    std::fill(data + i, data + moved, static_cast<unsigned char>(0xA5));
    *transferred = moved;
    return 0;
}

} // namespace orv::fuzz

extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int timeout)
{
    return reinterpret_cast<orv::fuzz::AdversarialAdapter*>(handle)->transfer(endpoint, data, length,
                                                                              transferred, timeout);
}
