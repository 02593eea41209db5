// An adapter behind the in-process transfer seam that answers at once, for
// measuring what the libraries themselves cost. Give handle() to the
// libraries: OUT transfers are accepted whole (their length recorded, their
// bytes not touched), every poll reports `ready` bytes, and a data read
// delivers the bytes asked for (zeros: an acknowledged I2C transaction).
#pragma once

#include <cstdint>

#include "sim/transfer_seam/transfer_device.hpp"

namespace orv::bench {

struct InstantAdapter final : seam::TransferDevice {
    std::uint32_t ready = 0; // count every poll reports
    int last_out = 0;        // length of the latest OUT transfer
    int last_in = 0;         // length of the latest data read

    seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override;
    seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override;
    seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override;
};

} // namespace orv::bench
