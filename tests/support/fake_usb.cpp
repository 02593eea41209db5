#include "tests/support/fake_usb.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

namespace orv::test {

FakeAdapter& FakeAdapter::append(const Step& step, int times)
{
    for (int i = 0; i < times; ++i) {
        steps_.push_back(step);
    }
    return *this;
}

FakeAdapter& FakeAdapter::out(int rc, std::optional<int> actual, int times)
{
    return append(Step{EP_COMMAND_OUT, rc, actual, 0, {}}, times);
}

FakeAdapter& FakeAdapter::count(std::uint32_t value, int times)
{
    return poll(0, static_cast<int>(READBACK_COUNT_LENGTH), value, times);
}

FakeAdapter& FakeAdapter::poll(int rc, std::optional<int> actual, std::uint32_t value, int times)
{
    return append(Step{EP_READBACK_COUNT_IN, rc, actual, value, {}}, times);
}

FakeAdapter& FakeAdapter::data(Bytes bytes, int rc, std::optional<int> actual)
{
    return append(Step{EP_READBACK_DATA_IN, rc, actual, 0, std::move(bytes)}, 1);
}

std::size_t FakeAdapter::transfers_on(unsigned char endpoint) const noexcept
{
    return static_cast<std::size_t>(std::count_if(
        log_.begin(), log_.end(), [endpoint](const Transfer& t) { return t.endpoint == endpoint; }));
}

Bytes FakeAdapter::sent(std::size_t n) const
{
    for (const Transfer& t : log_) {
        if (t.endpoint == EP_COMMAND_OUT && n-- == 0) {
            return t.sent;
        }
    }
    ADD_FAILURE() << "no OUT transfer with that index";
    return {};
}

std::optional<FakeAdapter::Step> FakeAdapter::take(Transfer record)
{
    const unsigned char endpoint = record.endpoint;
    log_.push_back(std::move(record));
    if (steps_.empty()) {
        ADD_FAILURE() << "unexpected transfer on endpoint 0x" << std::hex << int(endpoint)
                      << " (script used up)";
        return std::nullopt;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    if (step.endpoint != endpoint) {
        ADD_FAILURE() << "transfer on endpoint 0x" << std::hex << int(endpoint) << ", script expected 0x"
                      << int(step.endpoint);
        return std::nullopt;
    }
    return step;
}

seam::Outcome FakeAdapter::out(std::span<const std::uint8_t> stream, unsigned timeout) noexcept
{
    const int length = static_cast<int>(stream.size());
    const std::optional<Step> step =
        take(Transfer{EP_COMMAND_OUT, length, timeout, Bytes(stream.begin(), stream.end())});
    if (!step) {
        return {LIBUSB_ERROR_OTHER, 0};
    }
    return {step->rc, step->actual.value_or(step->rc == 0 ? length : 0)};
}

seam::CountOutcome FakeAdapter::poll_count(std::size_t length, unsigned timeout) noexcept
{
    const std::optional<Step> step =
        take(Transfer{EP_READBACK_COUNT_IN, static_cast<int>(length), timeout, {}});
    if (!step) {
        return {LIBUSB_ERROR_OTHER, 0, 0};
    }
    return {step->rc, step->actual.value_or(static_cast<int>(READBACK_COUNT_LENGTH)), step->count};
}

seam::Outcome FakeAdapter::read_data(std::span<std::uint8_t> buffer, unsigned timeout) noexcept
{
    const std::optional<Step> step =
        take(Transfer{EP_READBACK_DATA_IN, static_cast<int>(buffer.size()), timeout, {}});
    if (!step) {
        return {LIBUSB_ERROR_OTHER, 0};
    }
    const std::size_t delivered = std::min(buffer.size(), step->data.size());
    std::copy_n(step->data.begin(), delivered, buffer.begin());
    return {step->rc, step->actual.value_or(static_cast<int>(delivered))};
}

int FakeAdapter::refused(unsigned char endpoint, int length, int rc) noexcept
{
    ADD_FAILURE() << "transfer refused with " << rc << ": endpoint 0x" << std::hex << int(endpoint)
                  << std::dec << ", length " << length;
    return rc;
}

} // namespace orv::test
