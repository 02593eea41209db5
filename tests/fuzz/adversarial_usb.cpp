#include "tests/fuzz/adversarial_usb.hpp"

#include <algorithm>
#include <cstdlib>

#include "lib/wire/wire.hpp"

namespace orv::fuzz {

namespace {

// Bytes the adapter's counts reach at most when they are not an edge value:
// enough for every read-back the libraries make, small enough that a scratch
// buffer sized from it stays cheap.
constexpr std::uint32_t LARGE_COUNT_LIMIT = 1u << 20;

} // namespace

int AdversarialAdapter::libusb_error()
{
    const std::uint8_t pick = input_.byte() % 13;
    return pick == 12 ? LIBUSB_ERROR_OTHER : -1 - pick;
}

void AdversarialAdapter::begin(unsigned timeout) noexcept
{
    // A transfer with timeout 0 could wait for ever on a real adapter; the
    // operations here are all given small timeouts, which must reach libusb.
    if (timeout == 0) {
        std::abort();
    }
    if (++transfers_ > MAX_TRANSFERS) {
        std::abort(); // the read-back exchange did not stop at its poll limit
    }
}

int AdversarialAdapter::refused(unsigned char /*endpoint*/, int /*length*/, int /*rc*/) noexcept
{
    std::abort(); // a bad argument, an unknown endpoint or a count buffer too small
}

seam::Outcome AdversarialAdapter::out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept
{
    begin(timeout);
    const int length = static_cast<int>(stream.size());
    switch (input_.byte() % 8) {
    case 0:
        return {libusb_error(), 0};
    case 1: // short transfer
        return {0, length > 0 ? static_cast<int>(input_.u16() % static_cast<unsigned>(length)) : 0};
    default:
        return {0, length};
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

seam::CountOutcome AdversarialAdapter::poll_count(std::size_t length, unsigned timeout) noexcept
{
    begin(timeout);
    const std::uint8_t shape = input_.byte() % 10;
    if (shape == 0) {
        return {libusb_error(), 0, 0};
    }
    const std::uint32_t count = reported_count();
    int moved = static_cast<int>(std::min(length, READBACK_COUNT_LENGTH));
    if (shape == 1) {
        moved = std::min(moved, static_cast<int>(input_.byte() % 4)); // short poll
    }
    return {0, moved, count};
}

seam::Outcome AdversarialAdapter::read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept
{
    begin(timeout);
    const std::uint8_t shape = input_.byte() % 8;
    if (shape == 0) {
        return {libusb_error(), 0};
    }
    std::size_t moved = buffer.size();
    if (shape == 1 && !buffer.empty()) {
        moved = input_.u32() % buffer.size(); // short read
    }
    // libusb never moves more than it was asked for, so neither does this.
    std::size_t i = 0;
    for (; i < moved && !input_.empty(); ++i) {
        buffer[i] = input_.byte();
    }
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(i),
              buffer.begin() + static_cast<std::ptrdiff_t>(moved), static_cast<std::uint8_t>(0xA5));
    return {0, static_cast<int>(moved)};
}

} // namespace orv::fuzz
