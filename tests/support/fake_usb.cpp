#include "fake_usb.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

namespace orv::test {

FakeAdapter& FakeAdapter::out(int rc, std::optional<int> actual, int times)
{
    return custom(
        EP_OUT,
        [rc, actual](const Transfer& t) {
            return Reply{rc, actual.has_value() ? actual : std::optional<int>(rc == 0 ? t.length : 0), {}};
        },
        times);
}

FakeAdapter& FakeAdapter::count(std::uint32_t value, int times)
{
    return poll(0, 4, value, times);
}

FakeAdapter& FakeAdapter::poll(int rc, std::optional<int> actual, std::uint32_t value, int times)
{
    return custom(
        EP_COUNT,
        [rc, actual, value](const Transfer&) {
            return Reply{rc, actual, le32(value)};
        },
        times);
}

FakeAdapter& FakeAdapter::data(Bytes bytes, int rc, std::optional<int> actual)
{
    return custom(EP_DATA, [bytes = std::move(bytes), rc, actual](const Transfer&) {
        return Reply{rc, actual, bytes};
    });
}

FakeAdapter& FakeAdapter::custom(unsigned char endpoint, std::function<Reply(const Transfer&)> reply,
                                 int times)
{
    for (int i = 0; i < times; ++i) {
        steps_.push_back(Step{endpoint, reply});
    }
    return *this;
}

std::size_t FakeAdapter::transfers_on(unsigned char endpoint) const noexcept
{
    return static_cast<std::size_t>(std::count_if(
        log_.begin(), log_.end(), [endpoint](const Transfer& t) { return t.endpoint == endpoint; }));
}

Bytes FakeAdapter::sent(std::size_t n) const
{
    for (const Transfer& t : log_) {
        if (t.endpoint == EP_OUT && n-- == 0) {
            return t.sent;
        }
    }
    ADD_FAILURE() << "no OUT transfer with that index";
    return {};
}

int FakeAdapter::transfer(unsigned char endpoint, unsigned char* data, int length, int* transferred,
                          unsigned timeout)
{
    Transfer record{endpoint, length, timeout, {}};
    if (endpoint == EP_OUT && length > 0) {
        record.sent.assign(data, data + length);
    }
    log_.push_back(record);
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0) {
        ADD_FAILURE() << "negative transfer length " << length;
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (steps_.empty()) {
        ADD_FAILURE() << "unexpected transfer on endpoint 0x" << std::hex << int(endpoint)
                      << " (script used up)";
        return LIBUSB_ERROR_OTHER;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.endpoint != endpoint) {
        ADD_FAILURE() << "transfer on endpoint 0x" << std::hex << int(endpoint) << ", script expected 0x"
                      << int(step.endpoint);
        return LIBUSB_ERROR_OTHER;
    }
    const Reply reply = step.reply(record);
    int moved = 0;
    if (endpoint != EP_OUT) {
        // An IN transfer never delivers more than was asked for.
        moved = std::min<int>(length, static_cast<int>(reply.data.size()));
        if (moved > 0) {
            std::memcpy(data, reply.data.data(), static_cast<std::size_t>(moved));
        }
    } else {
        moved = length;
    }
    if (reply.actual.has_value()) {
        moved = *reply.actual;
    }
    if (transferred != nullptr) {
        *transferred = moved;
    }
    return reply.rc;
}

Bytes le32(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Bytes hex(const std::string& text)
{
    // Hex digit pairs; spaces and commas between bytes are ignored.
    Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string to_hex(const Bytes& bytes)
{
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += cell;
    }
    return text;
}

} // namespace orv::test

// The stand-in the library code links against in unit tests.
extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int timeout)
{
    if (handle == nullptr) {
        ADD_FAILURE() << "libusb_bulk_transfer called with a null handle";
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return reinterpret_cast<orv::test::FakeAdapter*>(handle)->transfer(endpoint, data, length, transferred,
                                                                       timeout);
}
