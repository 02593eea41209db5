// An Adapter behind the in-process transfer seam (target orv_emu_inproc): a
// program linked with it instead of libusb runs the libraries straight
// against the model. Give handle() to the libraries; endpoint 0x02 goes to
// write_commands, 0x83 to poll_count, 0x81 to read_data.
#pragma once

#include "sim/emulator/adapter.hpp"
#include "sim/transfer_seam/transfer_device.hpp"

namespace orv::emu {

class InprocUsb final : public seam::TransferDevice {
public:
    explicit InprocUsb(Adapter& adapter) noexcept : adapter_(adapter) {}

    seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override;
    seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override;
    seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override;

private:
    Adapter& adapter_;
};

} // namespace orv::emu
