#include "sim/emulator/inproc_usb.hpp"

#include <exception>

#include "lib/wire/wire.hpp"

namespace orv::emu {

namespace {

// The model allocates as it runs; running out of memory is the one failure a
// transfer to it can have.
template <typename Result, typename Transfer> Result unless_out_of_memory(Transfer&& transfer) noexcept
{
    try {
        return transfer();
    } catch (const std::exception&) {
        return Result{LIBUSB_ERROR_NO_MEM};
    }
}

} // namespace

seam::Outcome InprocUsb::out(std::span<const std::uint8_t> stream, unsigned /*timeout*/) noexcept
{
    return unless_out_of_memory<seam::Outcome>([&] {
        adapter_.write_commands(stream);
        return seam::Outcome{0, static_cast<int>(stream.size())};
    });
}

seam::CountOutcome InprocUsb::poll_count(std::size_t /*length*/, unsigned /*timeout*/) noexcept
{
    return unless_out_of_memory<seam::CountOutcome>([&] {
        return seam::CountOutcome{0, static_cast<int>(READBACK_COUNT_LENGTH), adapter_.poll_count()};
    });
}

seam::Outcome InprocUsb::read_data(std::span<std::uint8_t> buffer, unsigned /*timeout*/) noexcept
{
    return unless_out_of_memory<seam::Outcome>([&] {
        return seam::Outcome{0, static_cast<int>(adapter_.read_data(buffer))};
    });
}

} // namespace orv::emu
