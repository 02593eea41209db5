// VirtualUsb itself: the testbed, the adapters added to it, and the access
// that tests and tools have to them (faults, counters, names). Serving the
// adapters' ioctls is device.hpp's work.
#include "sim/vusb/virtual_usb.hpp"

#include <stdexcept>

#include "lib/wire/wire.hpp"
#include "sim/vusb/virtual_device.hpp"

namespace orv::sim {

// umockdev serves the ioctls of every attached handler on the testbed's own
// worker thread (with its private GMainContext, created with the testbed), so
// nothing here needs a main loop of its own: a libusb call blocking in any
// thread of the process is answered from there.
struct VirtualUsb::Server {
    UMockdevTestbed* testbed = nullptr;

    ~Server()
    {
        if (testbed != nullptr) {
            g_object_unref(testbed);
        }
    }
};

VirtualUsb::VirtualUsb() = default;

VirtualUsb::~VirtualUsb()
{
    // Detach the handlers first: no ioctl may reach a device being dropped.
    if (server_ != nullptr) {
        for (const auto& device : devices_) {
            device->detach(server_->testbed);
        }
    }
    devices_.clear();
    server_.reset();
}

std::unique_ptr<VirtualUsb> VirtualUsb::create(std::string* error)
{
    if (!preload_active()) {
        if (error != nullptr) {
            *error = "umockdev's preload library is not active: run the program under umockdev-wrapper";
        }
        return nullptr;
    }
    std::unique_ptr<VirtualUsb> usb(new VirtualUsb());
    usb->server_ = std::make_unique<Server>();
    usb->server_->testbed = umockdev_testbed_new();
    if (usb->server_->testbed == nullptr) {
        if (error != nullptr) {
            *error = "cannot create the umockdev testbed";
        }
        return nullptr;
    }
    return usb;
}

std::size_t VirtualUsb::add_adapter(std::unique_ptr<emu::Adapter> model)
{
    auto device = std::make_unique<Device>();
    device->name(devices_.size());
    device->model = model != nullptr ? std::move(model) : emu::make_default_board();
    device->attach(server_->testbed); // before the record: the node's ioctls go to the handler
    try {
        device->add_record(server_->testbed);
    } catch (...) {
        device->detach(server_->testbed);
        throw;
    }
    devices_.push_back(std::move(device));
    return devices_.size() - 1;
}

std::size_t VirtualUsb::adapter_count() const
{
    return devices_.size();
}

emu::Adapter& VirtualUsb::adapter(std::size_t index)
{
    return *devices_.at(index)->model;
}

void VirtualUsb::set_fault(std::size_t index, Fault fault)
{
    Device& device = *devices_.at(index);
    std::lock_guard lock(device.mutex);
    device.fault = fault.count == 0 ? Fault{} : fault;
}

int VirtualUsb::fault_remaining(std::size_t index) const
{
    const Device& device = *devices_.at(index);
    std::lock_guard lock(device.mutex);
    return device.fault.kind == FaultKind::none ? 0 : device.fault.count;
}

std::uint64_t VirtualUsb::submitted(std::size_t index, unsigned char endpoint) const
{
    const Device& device = *devices_.at(index);
    std::lock_guard lock(device.mutex);
    switch (endpoint) {
    case EP_COMMAND_OUT:
        return device.submitted_out;
    case EP_READBACK_DATA_IN:
        return device.submitted_data;
    case EP_READBACK_COUNT_IN:
        return device.submitted_count;
    default:
        return 0;
    }
}

std::uint8_t VirtualUsb::bus(std::size_t index) const
{
    (void)devices_.at(index);
    return BUS_NUMBER;
}

std::uint8_t VirtualUsb::address(std::size_t index) const
{
    return devices_.at(index)->devnum;
}

std::string VirtualUsb::serial(std::size_t index) const
{
    return devices_.at(index)->serial;
}

} // namespace orv::sim
