// Fixture for the end-to-end tests: a fresh umockdev testbed with two virtual
// adapters (default boards unless board() says otherwise), opened and claimed
// through the real libusb, as an application would. Each test runs in its own process (CTest), so every test
// starts from erased flash, blank EEPROM and TAPs in reset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libusb.h>

#include "lib/wire/readback_purge.hpp"
#include "lib/wire/wire.hpp"
#include "sim/emulator/board_file.hpp"
#include "sim/vusb/virtual_usb.hpp"

namespace orv::e2e {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t TIMEOUT_MS = 1000;

class VirtualAdapterTest : public ::testing::Test {
protected:
    static constexpr std::size_t ADAPTERS = 2;

    void SetUp() override
    {
        std::string error;
        usb_ = orv::sim::VirtualUsb::create(&error);
        ASSERT_NE(usb_, nullptr) << error;
        for (std::size_t i = 0; i < ADAPTERS; ++i) {
            usb_->add_adapter(orv::emu::make_board(board(i)));
        }
        ASSERT_EQ(libusb_init(&context_), 0);
        for (std::size_t i = 0; i < ADAPTERS; ++i) {
            handles_.push_back(open(usb_->bus(i), usb_->address(i)));
            ASSERT_NE(handles_.back(), nullptr) << "adapter " << i;
            ASSERT_EQ(libusb_claim_interface(handles_.back(), 0), 0);
        }
    }

    void TearDown() override
    {
        for (libusb_device_handle* handle : handles_) {
            if (handle != nullptr) {
                libusb_release_interface(handle, 0);
                libusb_close(handle);
            }
        }
        handles_.clear();
        if (context_ != nullptr) {
            libusb_exit(context_);
            context_ = nullptr;
        }
        usb_.reset();
    }

    // The board behind adapter `index`.
    virtual orv::emu::BoardConfig board(std::size_t /*index*/) const
    {
        return orv::emu::default_board_config();
    }

    // The adapter at bus:address, found in libusb's device list.
    libusb_device_handle* open(std::uint8_t bus, std::uint8_t address)
    {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context_, &list);
        libusb_device_handle* handle = nullptr;
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
                libusb_device_descriptor descriptor{};
                if (libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
                    descriptor.idVendor == orv::sim::VIRTUAL_VID &&
                    descriptor.idProduct == orv::sim::VIRTUAL_PID) {
                    libusb_open(list[i], &handle);
                }
                break;
            }
        }
        libusb_free_device_list(list, 1);
        return handle;
    }

    libusb_device_handle* handle(std::size_t index = 0) { return handles_.at(index); }
    orv::emu::Adapter& model(std::size_t index = 0) { return usb_->adapter(index); }
    // A fault on adapter `index`; `after` URBs on that endpoint pass first.
    void fault(orv::sim::FaultKind kind, unsigned char endpoint = 0, int count = -1, std::size_t index = 0,
               unsigned after = 0)
    {
        usb_->set_fault(index, orv::sim::Fault{kind, endpoint, count, after});
    }
    void clear_fault(std::size_t index = 0) { usb_->set_fault(index, orv::sim::Fault{}); }

    // Empties the adapter's read-back through USB, as a program must before it
    // goes on after a failed exchange (the libraries' headers give the
    // recipe; the tools use this function). Returns the bytes thrown away.
    std::uint64_t purge(std::size_t index = 0)
    {
        std::uint64_t purged = 0;
        EXPECT_EQ(orv::purge_readback(handle(index), TIMEOUT_MS, purged), 0);
        return purged;
    }

    std::unique_ptr<orv::sim::VirtualUsb> usb_;
    libusb_context* context_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
};

} // namespace orv::e2e
