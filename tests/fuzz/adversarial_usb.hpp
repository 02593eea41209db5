// A stand-in for libusb_bulk_transfer whose answers come from fuzz input: an
// adapter that may report any read-back count, move short or long data, or
// fail any transfer. The device handle is the AdversarialAdapter itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <libusb.h>

namespace orv::fuzz {

// Reads the fuzz input front to back; past its end every read gives 0.
class InputReader {
public:
    explicit InputReader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t byte()
    {
        if (position_ >= data_.size()) {
            return 0;
        }
        return data_[position_++];
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::uint32_t u32()
    {
        return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16);
    }
    [[nodiscard]] bool empty() const { return position_ >= data_.size(); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
};

class AdversarialAdapter {
public:
    // Transfers one operation may make before the stand-in calls it a hang: a
    // read-back with the small timeouts used here polls at most 10 x 3 + 1 times.
    static constexpr unsigned MAX_TRANSFERS = 4096;

    explicit AdversarialAdapter(InputReader& input) : input_(input) {}

    [[nodiscard]] libusb_device_handle* handle() noexcept
    {
        return reinterpret_cast<libusb_device_handle*>(this);
    }

    // Called by the libusb_bulk_transfer stand-in.
    int transfer(unsigned char endpoint, unsigned char* data, int length, int* transferred, unsigned timeout);

    // Expected read-back count of the operation under test, around which the
    // reported counts cluster.
    void expect(std::uint32_t count) noexcept { expected_ = count; }
    [[nodiscard]] unsigned transfers() const noexcept { return transfers_; }

private:
    int command_out(int length, int* transferred);
    int poll(unsigned char* data, int length, int* transferred);
    int data_read(unsigned char* data, int length, int* transferred);
    std::uint32_t reported_count();
    // libusb's own error codes, -1..-12, and LIBUSB_ERROR_OTHER.
    int libusb_error();

    InputReader& input_;
    std::uint32_t expected_ = 0;
    unsigned transfers_ = 0;
};

} // namespace orv::fuzz
