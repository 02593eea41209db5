// A scripted stand-in for the adapter at the libusb_bulk_transfer boundary.
//
// Unit-test programs link the library code with this file instead of libusb.
// A test creates a FakeAdapter, scripts the replies it expects to give, and
// passes fake.handle() to the library as its device handle; the stand-in for
// libusb_bulk_transfer finds the FakeAdapter through that handle, so there is
// no global state and two fakes never meet.
//
// Every transfer is recorded (endpoint, requested length, timeout, bytes sent).
// Each one consumes the next scripted step, which names the endpoint it
// expects; a transfer on another endpoint, or one past the end of the script,
// is a test failure (reported with ADD_FAILURE) and gets LIBUSB_ERROR_OTHER.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <libusb.h>

namespace orv::test {

inline constexpr unsigned char EP_OUT = 0x02;
inline constexpr unsigned char EP_DATA = 0x81;
inline constexpr unsigned char EP_COUNT = 0x83;

using Bytes = std::vector<std::uint8_t>;

struct Transfer {
    unsigned char endpoint = 0;
    int length = 0; // length the library asked for
    unsigned timeout = 0;
    Bytes sent; // OUT: the bytes handed to libusb
};

// One scripted reply. For IN transfers `data` is what the adapter delivers
// (never more than the requested length is written); `actual` overrides the
// transferred count (default: the bytes delivered for IN, the whole request
// for OUT).
struct Reply {
    int rc = 0;
    std::optional<int> actual;
    Bytes data;
};

class FakeAdapter {
public:
    FakeAdapter() = default;
    FakeAdapter(const FakeAdapter&) = delete;
    FakeAdapter& operator=(const FakeAdapter&) = delete;

    [[nodiscard]] libusb_device_handle* handle() noexcept
    {
        return reinterpret_cast<libusb_device_handle*>(this);
    }

    // Script. Each call appends `times` identical steps.
    FakeAdapter& out(int rc = 0, std::optional<int> actual = std::nullopt, int times = 1);
    FakeAdapter& count(std::uint32_t value, int times = 1); // a complete 4-byte poll
    FakeAdapter& poll(int rc, std::optional<int> actual, std::uint32_t value, int times = 1);
    FakeAdapter& data(Bytes bytes, int rc = 0, std::optional<int> actual = std::nullopt);
    // Replies computed from the transfer itself, for long or unusual scripts.
    FakeAdapter& custom(unsigned char endpoint, std::function<Reply(const Transfer&)> reply, int times = 1);

    [[nodiscard]] const std::vector<Transfer>& log() const noexcept { return log_; }
    [[nodiscard]] std::size_t transfers_on(unsigned char endpoint) const noexcept;
    // The bytes of the n-th OUT transfer.
    [[nodiscard]] Bytes sent(std::size_t n = 0) const;
    [[nodiscard]] bool script_done() const noexcept { return steps_.empty(); }
    [[nodiscard]] std::size_t steps_left() const noexcept { return steps_.size(); }

    // Called by the libusb_bulk_transfer stand-in.
    int transfer(unsigned char endpoint, unsigned char* data, int length, int* transferred, unsigned timeout);

private:
    struct Step {
        unsigned char endpoint;
        std::function<Reply(const Transfer&)> reply;
    };
    std::deque<Step> steps_;
    std::vector<Transfer> log_;
};

// Little-endian bytes of a count, as the adapter sends it on EP_COUNT.
Bytes le32(std::uint32_t value);
// "5B 02 01 7B ..." -> bytes; for golden vectors.
Bytes hex(const std::string& text);
std::string to_hex(const Bytes& bytes);

} // namespace orv::test
