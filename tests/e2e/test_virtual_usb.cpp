// The virtual device itself, through raw libusb transfers: enumeration and
// descriptors, the three endpoints against the model, and every fault kind as
// libusb reports it.
#include <chrono>
#include <cstring>
#include <optional>

#include "tests/e2e/e2e_support.hpp"

namespace orv::e2e {
namespace {

using orv::sim::FaultKind;

class VirtualUsbTest : public VirtualAdapterTest {
protected:
    int out(const Bytes& stream, int* actual, unsigned timeout = TIMEOUT_MS, std::size_t index = 0)
    {
        Bytes copy = stream;
        return libusb_bulk_transfer(handle(index), EP_COMMAND_OUT, copy.data(), static_cast<int>(copy.size()),
                                    actual, timeout);
    }
    int poll(std::uint32_t* count, int* actual, unsigned timeout = TIMEOUT_MS, std::size_t index = 0)
    {
        CountBytes raw = {0xAA, 0xAA, 0xAA, 0xAA};
        const int result = libusb_bulk_transfer(handle(index), EP_READBACK_COUNT_IN, raw.data(),
                                                static_cast<int>(raw.size()), actual, timeout);
        *count = decode_count(raw);
        return result;
    }
    int data(std::uint8_t* buffer, int length, int* actual, unsigned timeout = TIMEOUT_MS,
             std::size_t index = 0)
    {
        return libusb_bulk_transfer(handle(index), EP_READBACK_DATA_IN, buffer, length, actual, timeout);
    }
    // Polls until at least `want` bytes are reported (bounded), returns the count.
    std::uint32_t wait_for(std::uint32_t want, std::size_t index = 0)
    {
        std::uint32_t count = 0;
        int actual = 0;
        for (int i = 0; i < 10 && count < want; ++i) {
            EXPECT_EQ(poll(&count, &actual, TIMEOUT_MS, index), 0);
        }
        return count;
    }
};

// Test-Logic-Reset, to Shift-DR, 64 bits in with TDO sampled (7 bytes, 7 bits,
// the last bit on the TMS clock to Exit1-DR), to Run-Test/Idle, flush.
const Bytes IDCODE_STREAM = {0x5B, 0x06, 0x7F, 0x5B, 0x03, 0x02, 0x7C, 0x06, 0,    0,    0,    0,   0,
                             0,    0,    0x6C, 0x06, 0x00, 0x5C, 0x00, 0x01, 0x5B, 0x01, 0x01, 0x8B};
// TAP0 (nearest TDO) first, each IDCODE little endian.
const Bytes BOTH_IDCODES = {0x77, 0x04, 0xA0, 0x4B, 0x93, 0x70, 0x72, 0x03};

TEST_F(VirtualUsbTest, EnumeratesAsTheAdapterWithItsEndpointsAndSerials)
{
    for (std::size_t i = 0; i < ADAPTERS; ++i) {
        libusb_device* device = libusb_get_device(handle(i));
        libusb_device_descriptor descriptor{};
        ASSERT_EQ(libusb_get_device_descriptor(device, &descriptor), 0);
        EXPECT_EQ(descriptor.idVendor, 0x1209);
        EXPECT_EQ(descriptor.idProduct, 0x4F52);
        EXPECT_EQ(libusb_get_bus_number(device), usb_->bus(i));
        EXPECT_EQ(libusb_get_device_address(device), usb_->address(i));

        libusb_config_descriptor* config = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(device, &config), 0);
        ASSERT_EQ(config->bNumInterfaces, 1);
        const libusb_interface_descriptor& interface = config->interface[0].altsetting[0];
        ASSERT_EQ(interface.bNumEndpoints, 3);
        const std::uint8_t expected[] = {EP_COMMAND_OUT, EP_READBACK_DATA_IN, EP_READBACK_COUNT_IN};
        for (int e = 0; e < 3; ++e) {
            EXPECT_EQ(interface.endpoint[e].bEndpointAddress, expected[e]);
            EXPECT_EQ(interface.endpoint[e].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_BULK);
        }
        libusb_free_config_descriptor(config);

        unsigned char text[64] = {};
        const int n =
            libusb_get_string_descriptor_ascii(handle(i), descriptor.iSerialNumber, text, sizeof text);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n)), usb_->serial(i));
    }
    EXPECT_NE(usb_->serial(0), usb_->serial(1));
    // Only interface 0 exists.
    EXPECT_NE(libusb_claim_interface(handle(0), 1), 0);
}

TEST_F(VirtualUsbTest, OpensByVidPidAndAnswersTheHousekeepingRequests)
{
    libusb_device_handle* by_id = libusb_open_device_with_vid_pid(context_, 0x1209, 0x4F52);
    ASSERT_NE(by_id, nullptr);
    const std::uint8_t address = libusb_get_device_address(libusb_get_device(by_id));
    EXPECT_TRUE(address == usb_->address(0) || address == usb_->address(1));
    const std::size_t index = address == usb_->address(0) ? 0 : 1;
    // No kernel driver is bound; claiming with auto-detach still works, once
    // the handle that holds the interface has let it go: one open file of the
    // device has it at a time, as with usbfs.
    EXPECT_EQ(libusb_kernel_driver_active(by_id, 0), 0);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(by_id, 1), 0);
    EXPECT_EQ(libusb_claim_interface(by_id, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(by_id, 0), 0);
    EXPECT_EQ(libusb_claim_interface(by_id, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(handle(index), 0), 0);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(by_id, 1), 0);
    EXPECT_EQ(libusb_claim_interface(by_id, 0), 0);
    int actual = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(poll(&count, &actual, TIMEOUT_MS, index), LIBUSB_ERROR_IO)
        << "a transfer on a claimed interface";
    EXPECT_EQ(libusb_set_interface_alt_setting(by_id, 0, 0), 0);
    EXPECT_EQ(libusb_clear_halt(by_id, EP_READBACK_DATA_IN), 0);
    int configuration = -1;
    EXPECT_EQ(libusb_get_configuration(by_id, &configuration), 0);
    EXPECT_EQ(configuration, 1);
    EXPECT_EQ(libusb_release_interface(by_id, 0), 0);
    libusb_close(by_id);
    EXPECT_EQ(libusb_claim_interface(handle(index), 0), 0);
}

TEST_F(VirtualUsbTest, HandWrittenJtagStreamReadsBothIdcodes)
{
    int actual = -1;
    ASSERT_EQ(out(IDCODE_STREAM, &actual), 0);
    EXPECT_EQ(actual, static_cast<int>(IDCODE_STREAM.size()));

    // The count grows over a few polls, as a real adapter's does.
    std::uint32_t count = 0;
    ASSERT_EQ(poll(&count, &actual), 0);
    EXPECT_EQ(actual, 4);
    EXPECT_LT(count, 8u);
    ASSERT_EQ(wait_for(8), 8u);

    std::uint8_t buffer[16] = {};
    ASSERT_EQ(data(buffer, sizeof buffer, &actual), 0);
    ASSERT_EQ(actual, 8);
    EXPECT_EQ(Bytes(buffer, buffer + 8), BOTH_IDCODES);
    EXPECT_EQ(model().counts().out, 1u);
    EXPECT_EQ(model().counts().data_reads, 1u);
    EXPECT_TRUE(model().diagnostics().empty());

    // Nothing leaked into the other adapter.
    EXPECT_EQ(model(1).counts().out, 0u);
    EXPECT_EQ(wait_for(1, 1), 0u);
}

TEST_F(VirtualUsbTest, ZeroLengthOutTransferCompletes)
{
    int actual = -1;
    EXPECT_EQ(out({}, &actual), 0);
    EXPECT_EQ(actual, 0);
}

TEST_F(VirtualUsbTest, StallAndUnplugAreLibusbPipeAndNoDevice)
{
    int actual = -1;
    fault(FaultKind::stall, EP_COMMAND_OUT, 1);
    EXPECT_EQ(out(IDCODE_STREAM, &actual), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(model().counts().out, 0u) << "a stalled packet is not executed";
    EXPECT_EQ(usb_->fault_remaining(0), 0);

    fault(FaultKind::unplugged);
    std::uint32_t count = 0;
    EXPECT_EQ(out(IDCODE_STREAM, &actual), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(poll(&count, &actual), LIBUSB_ERROR_NO_DEVICE);
    std::uint8_t buffer[8];
    EXPECT_EQ(data(buffer, 8, &actual), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(usb_->fault_remaining(0), -1);
    EXPECT_EQ(model(1).counts().out, 0u);
    clear_fault();
    EXPECT_EQ(out(IDCODE_STREAM, &actual), 0);
}

TEST_F(VirtualUsbTest, FaultOnOneEndpointLeavesTheOthersAlone)
{
    int actual = -1;
    fault(FaultKind::stall, EP_READBACK_DATA_IN, 2);
    ASSERT_EQ(out(IDCODE_STREAM, &actual), 0);
    ASSERT_EQ(wait_for(8), 8u);
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(data(buffer, 8, &actual), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(data(buffer, 8, &actual), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(8, 0)) << "a stalled read delivers nothing";
    ASSERT_EQ(data(buffer, 8, &actual), 0) << "the fault count is used up";
    EXPECT_EQ(Bytes(buffer, buffer + 8), BOTH_IDCODES);
}

TEST_F(VirtualUsbTest, ScheduledFaultStartsAfterItsCountOfUrbsOnItsEndpoint)
{
    int actual = -1;
    usb_->set_fault(0, orv::sim::Fault{FaultKind::stall, EP_COMMAND_OUT, 1, 2});
    std::uint32_t count = 0;
    EXPECT_EQ(poll(&count, &actual), 0) << "other endpoints do not count";
    EXPECT_EQ(out(IDCODE_STREAM, &actual), 0);
    EXPECT_EQ(out(IDCODE_STREAM, &actual), 0);
    EXPECT_EQ(out(IDCODE_STREAM, &actual), LIBUSB_ERROR_PIPE) << "the third OUT meets the stall";
    EXPECT_EQ(out(IDCODE_STREAM, &actual), 0);
    EXPECT_EQ(model().counts().out, 3u);
}

TEST(FaultSpec, KindEndpointAfterCount)
{
    struct Case {
        const char* fault_text;
        std::optional<orv::sim::Fault> fault; // none: refused
    };
    using orv::sim::Fault;
    const Case cases[] = {
        {"stall", Fault{FaultKind::stall, 0, -1, 0}},
        {"unplugged:any", Fault{FaultKind::unplugged, 0, -1, 0}},
        {"timeout:0x02", Fault{FaultKind::timeout, EP_COMMAND_OUT, -1, 0}},
        {"short:0x81:3", Fault{FaultKind::short_transfer, EP_READBACK_DATA_IN, -1, 3}},
        {"never-fill:0x83:0:2", Fault{FaultKind::never_fill, EP_READBACK_COUNT_IN, 2, 0}},
        {"stall:0:10:-1", Fault{FaultKind::stall, 0, -1, 10}},
        {"none", Fault{}},
        {"", std::nullopt},
        {"jam", std::nullopt},
        {"stall:0x82", std::nullopt},
        {"stall:0x81:-1", std::nullopt},
        {"stall:0x81:1:0", std::nullopt},
        {"stall:0x81:1:2:3", std::nullopt},
        {"stall:0x81:x", std::nullopt},
        {"never-fill:0x81", std::nullopt},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto fault = orv::sim::parse_fault(c.fault_text, &error);
        ASSERT_EQ(fault.has_value(), c.fault.has_value()) << c.fault_text << ": " << error;
        if (fault) {
            EXPECT_EQ(fault->kind, c.fault->kind) << c.fault_text;
            EXPECT_EQ(fault->endpoint, c.fault->endpoint) << c.fault_text;
            EXPECT_EQ(fault->count, c.fault->count) << c.fault_text;
            EXPECT_EQ(fault->after, c.fault->after) << c.fault_text;
        } else {
            EXPECT_FALSE(error.empty()) << c.fault_text;
        }
    }
}

TEST_F(VirtualUsbTest, TimeoutFaultExpiresAfterTheTransferTimeout)
{
    int actual = -1;
    std::uint32_t count = 0;
    fault(FaultKind::timeout, EP_READBACK_COUNT_IN, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(poll(&count, &actual, 30), LIBUSB_ERROR_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(25));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    EXPECT_EQ(actual, 0);
    EXPECT_EQ(model().counts().polls, 0u);
    // The discarded URB is gone: the next one is answered normally.
    EXPECT_EQ(poll(&count, &actual, 30), 0);
    EXPECT_EQ(actual, 4);
}

TEST_F(VirtualUsbTest, ShortTransfersOnEachEndpoint)
{
    int actual = -1;
    fault(FaultKind::short_transfer, EP_COMMAND_OUT, 1);
    EXPECT_EQ(out(IDCODE_STREAM, &actual), 0);
    EXPECT_EQ(actual, static_cast<int>(IDCODE_STREAM.size()) - 1);
    EXPECT_EQ(model().counts().out, 0u) << "a short OUT packet is dropped whole";

    ASSERT_EQ(out(IDCODE_STREAM, &actual), 0);
    ASSERT_EQ(wait_for(8), 8u);
    std::uint32_t count = 0;
    fault(FaultKind::short_transfer, EP_READBACK_COUNT_IN, 1);
    EXPECT_EQ(poll(&count, &actual), 0);
    EXPECT_EQ(actual, 3);

    fault(FaultKind::short_transfer, EP_READBACK_DATA_IN, 1);
    std::uint8_t buffer[8] = {};
    EXPECT_EQ(data(buffer, 8, &actual), 0);
    EXPECT_EQ(actual, 7);
    EXPECT_EQ(Bytes(buffer, buffer + 7), Bytes(BOTH_IDCODES.begin(), BOTH_IDCODES.begin() + 7));
}

TEST_F(VirtualUsbTest, NeverFillAnswersZeroAndKeepsTheBytes)
{
    int actual = -1;
    fault(FaultKind::never_fill);
    ASSERT_EQ(out(IDCODE_STREAM, &actual), 0);
    std::uint32_t count = 99;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(poll(&count, &actual), 0);
        EXPECT_EQ(actual, 4);
        EXPECT_EQ(count, 0u);
    }
    clear_fault();
    EXPECT_EQ(wait_for(8), 8u);
}

} // namespace
} // namespace orv::e2e

namespace orv::e2e {
namespace {

// An adapter may run a model of the caller's: here one that shows its
// read-back at once and holds at most 4 bytes.
TEST(VirtualUsbModelTest, ServesTheModelItIsGiven)
{
    std::string error;
    auto usb = orv::sim::VirtualUsb::create(&error);
    ASSERT_NE(usb, nullptr) << error;
    orv::emu::AdapterConfig config;
    config.latency_polls = 0;
    config.readback_capacity = 4;
    ASSERT_EQ(usb->add_adapter(orv::emu::make_default_board(config)), 0u);
    libusb_context* context = nullptr;
    ASSERT_EQ(libusb_init(&context), 0);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x1209, 0x4F52);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);

    Bytes stream = IDCODE_STREAM;
    int actual = 0;
    ASSERT_EQ(libusb_bulk_transfer(handle, EP_COMMAND_OUT, stream.data(), static_cast<int>(stream.size()),
                                   &actual, 1000),
              0);
    std::uint8_t count[4] = {};
    ASSERT_EQ(libusb_bulk_transfer(handle, EP_READBACK_COUNT_IN, count, 4, &actual, 1000), 0);
    EXPECT_EQ(count[0], 4) << "the whole (bounded) count on the first poll";
    std::uint8_t data[8] = {};
    ASSERT_EQ(libusb_bulk_transfer(handle, EP_READBACK_DATA_IN, data, 8, &actual, 1000), 0);
    ASSERT_EQ(actual, 4);
    EXPECT_EQ(Bytes(data, data + 4), Bytes(BOTH_IDCODES.begin(), BOTH_IDCODES.begin() + 4));
    EXPECT_FALSE(usb->adapter(0).diagnostics().empty()) << "the overflow is reported";

    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);
}

} // namespace
} // namespace orv::e2e
