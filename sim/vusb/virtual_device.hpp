// One virtual adapter on the virtual bus: its identity, the model it runs,
// its fault and its URBs. Its work is spread over one file per job:
//   ioctl_dispatch.cpp   which usbdevfs ioctl goes where; the small answers
//   urb_lifetime.cpp     URBs submitted, held, reaped, discarded; faults taken
//   bulk_endpoints.cpp   what a bulk URB on 0x02, 0x81, 0x83 does to the model
//   descriptors.cpp      the descriptors and the standard control requests
//   device_record.cpp    the testbed's sysfs record and the device's names
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>

#include <umockdev.h>

#include "sim/emulator/adapter.hpp"
#include "sim/vusb/ioctl_data.hpp"
#include "sim/vusb/virtual_usb.hpp"

namespace orv::sim {

// Every virtual adapter sits on this bus (device 1 is the root hub).
inline constexpr std::uint8_t BUS_NUMBER = 1;

// A URB submitted by a client and not yet reaped.
struct Urb {
    UMockdevIoctlClient* client = nullptr; // identity only; not referenced
    DataRef data;                          // the client's struct usbdevfs_urb
    unsigned long client_addr = 0;         // its address in the client (DISCARDURB names it so)

    [[nodiscard]] usbdevfs_urb* request() const { return reinterpret_cast<usbdevfs_urb*>(data.data->data); }
};

struct VirtualUsb::Device {
    // device_record.cpp: bus position and names.
    std::size_t index = 0;
    std::uint8_t devnum = 0;
    std::string devnode;
    std::string serial;
    UMockdevIoctlBase* handler = nullptr;

    mutable std::mutex mutex; // guards everything below
    std::unique_ptr<emu::Adapter> model;
    Fault fault;
    std::deque<Urb> completed; // ready to be reaped, in completion order
    std::deque<Urb> held;      // swallowed by a timeout fault until discarded
    // The client (an open file of one program) that claimed interface 0:
    // another one's claim is refused with EBUSY until it releases it or
    // closes, as usbfs does. Referenced while it holds the claim, so that
    // whether it is still connected can be asked (umockdev does not say when
    // a client goes) and no new client can take its address.
    UMockdevIoctlClient* claimed_by = nullptr;
    std::uint64_t submitted_out = 0, submitted_data = 0, submitted_count = 0;

    Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device();

    // ioctl_dispatch.cpp
    void attach(UMockdevTestbed* testbed);
    void detach(UMockdevTestbed* testbed);
    void handle(UMockdevIoctlClient* client);
    void claim(UMockdevIoctlClient* client, unsigned int interface, bool take);
    // With `mutex` held: whether interface 0 is another client's. A holder
    // whose connection has closed (a program killed, or one that exited
    // without releasing it) is gone: its claim and URBs go with it, as the
    // kernel drops them when the last file of a program closes.
    [[nodiscard]] bool claimed_by_other(UMockdevIoctlClient* client);
    void set_claim(UMockdevIoctlClient* client);

    // urb_lifetime.cpp
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void client_gone(UMockdevIoctlClient* client);
    FaultKind take_fault(unsigned char endpoint);

    // bulk_endpoints.cpp
    void run_bulk(usbdevfs_urb& urb, UMockdevIoctlData* urb_data, FaultKind fault_now);

    // descriptors.cpp
    void control(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void run_control(usbdevfs_urb& urb, UMockdevIoctlData* urb_data);
    [[nodiscard]] std::vector<std::uint8_t> control_reply(const usb_ctrlrequest& setup) const;

    // device_record.cpp
    void name(std::size_t position);
    void add_record(UMockdevTestbed* testbed) const;
};

// descriptors.cpp: the device and configuration descriptors as one blob, as
// sysfs shows them in the "descriptors" attribute.
[[nodiscard]] std::span<const std::uint8_t> descriptor_blob() noexcept;

} // namespace orv::sim
