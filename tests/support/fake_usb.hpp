// A scripted stand-in for the adapter behind the in-process transfer seam.
//
// Unit-test programs link the library code with this instead of libusb. A
// test creates a FakeAdapter, scripts the replies it expects to give, and
// passes fake.handle() to the library as its device handle; the seam's
// libusb_bulk_transfer reaches the FakeAdapter through that handle, so there
// is no global state and two fakes never meet.
//
// Every transfer is recorded (endpoint, requested length, timeout, bytes sent).
// Each one consumes the next scripted step, which names the endpoint it
// expects; a transfer on another endpoint, or one past the end of the script,
// is a test failure (reported with ADD_FAILURE) and gets LIBUSB_ERROR_OTHER.
// A call the seam refuses (a negative length, a count poll into a buffer too
// small for the count, an unknown endpoint) is a test failure too.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "lib/wire/wire.hpp"
#include "sim/transfer_seam/transfer_device.hpp"
#include "tests/support/byte_text.hpp"

namespace orv::test {

struct Transfer {
    unsigned char endpoint = 0;
    int length = 0; // length the library asked for
    unsigned timeout = 0;
    Bytes sent; // OUT: the bytes handed to libusb
};

class FakeAdapter final : public seam::TransferDevice {
public:
    // Script. Each call appends `times` identical steps. `rc` is the transfer's
    // result; `actual` the byte count it reports (default: the whole request
    // for OUT, the bytes delivered for IN; an IN transfer never delivers more
    // than was asked for).
    FakeAdapter& out(int rc = 0, std::optional<int> actual = std::nullopt, int times = 1);
    FakeAdapter& count(std::uint32_t value, int times = 1); // a complete 4-byte poll
    FakeAdapter& poll(int rc, std::optional<int> actual, std::uint32_t value, int times = 1);
    FakeAdapter& data(Bytes bytes, int rc = 0, std::optional<int> actual = std::nullopt);

    [[nodiscard]] const std::vector<Transfer>& log() const noexcept { return log_; }
    [[nodiscard]] std::size_t transfers_on(unsigned char endpoint) const noexcept;
    // The bytes of the n-th OUT transfer.
    [[nodiscard]] Bytes sent(std::size_t n = 0) const;
    [[nodiscard]] bool script_done() const noexcept { return steps_.empty(); }
    [[nodiscard]] std::size_t steps_left() const noexcept { return steps_.size(); }

private:
    struct Step {
        unsigned char endpoint = 0;
        int rc = 0;
        std::optional<int> actual;
        std::uint32_t count = 0; // a poll's count
        Bytes data;              // a data read's bytes
    };

    FakeAdapter& append(const Step& step, int times);
    // Records the transfer and takes its step; none when it is not the one
    // the script expects.
    std::optional<Step> take(Transfer record);

    // The seam's calls.
    seam::Outcome out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept override;
    seam::CountOutcome poll_count(std::size_t length, unsigned timeout) noexcept override;
    seam::Outcome read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept override;
    int refused(unsigned char endpoint, int length, int rc) noexcept override;

    std::deque<Step> steps_;
    std::vector<Transfer> log_;
};

} // namespace orv::test
