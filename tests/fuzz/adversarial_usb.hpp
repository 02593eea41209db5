// An adapter behind the in-process transfer seam whose answers come from fuzz
// input: it may report any read-back count, move short or long data, or fail
// any transfer. Give handle() to the libraries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/transfer_seam/transfer_device.hpp"
#include "tests/fuzz/input_reader.hpp"

namespace orv::fuzz {

class AdversarialAdapter final : public seam::TransferDevice {
public:
    // Transfers one operation may make before the stand-in calls it a hang: a
    // read-back with the small timeouts used here polls at most 10 x 3 + 1 times.
    static constexpr unsigned MAX_TRANSFERS = 4096;

    explicit AdversarialAdapter(InputReader& input) : input_(input) {}

    // Expected read-back count of the operation under test, around which the
    // reported counts cluster.
    void expect(std::uint32_t count) noexcept { expected_ = count; }
    [[nodiscard]] unsigned transfers() const noexcept { return transfers_; }

    seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override;
    seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override;
    seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override;
    // No library makes a call the seam refuses: each one is a finding.
    int refused(unsigned char endpoint, int length, int rc) noexcept override;

private:
    // Every transfer: a timeout of 0 and a transfer past MAX_TRANSFERS are findings.
    void begin(unsigned timeout) noexcept;
    std::uint32_t reported_count();
    // libusb's own error codes, -1..-12, and LIBUSB_ERROR_OTHER.
    int libusb_error();

    InputReader& input_;
    std::uint32_t expected_ = 0;
    unsigned transfers_ = 0;
};

} // namespace orv::fuzz
