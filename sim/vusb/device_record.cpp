// How each virtual adapter appears in the testbed: its bus position, device
// node and serial number, and the sysfs record (uevent properties,
// attributes and the "descriptors" blob) that libusb reads when it
// enumerates.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "sim/vusb/ioctl_log.hpp"
#include "sim/vusb/virtual_device.hpp"

namespace orv::sim {

void VirtualUsb::Device::name(std::size_t position)
{
    index = position;
    devnum = static_cast<std::uint8_t>(position + 2); // 1 is the root hub's
    char text[64];
    std::snprintf(text, sizeof text, "/dev/bus/usb/%03u/%03u", BUS_NUMBER, devnum);
    devnode = text;
    std::snprintf(text, sizeof text, "ORVSIM%04zu", position);
    serial = text;
}

void VirtualUsb::Device::add_record(UMockdevTestbed* testbed) const
{
    const unsigned port = static_cast<unsigned>(index) + 1;
    const std::span<const std::uint8_t> descriptors = descriptor_blob();
    char record[1024];
    std::snprintf(record, sizeof record,
                  "P: /devices/pci0000:00/0000:00:14.0/usb%u/%u-%u\n"
                  "N: bus/usb/%03u/%03u\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DEVNAME=/dev/bus/usb/%03u/%03u\n"
                  "E: BUSNUM=%03u\n"
                  "E: DEVNUM=%03u\n"
                  "E: PRODUCT=%x/%x/100\n"
                  "A: busnum=%u\n"
                  "A: devnum=%u\n"
                  "A: idVendor=%04x\n"
                  "A: idProduct=%04x\n"
                  "A: bConfigurationValue=1\n"
                  "A: bNumInterfaces= 1\n"
                  "A: speed=480\n"
                  "A: serial=%s\n"
                  "H: descriptors=%s\n",
                  BUS_NUMBER, BUS_NUMBER, port, BUS_NUMBER, devnum, BUS_NUMBER, devnum, BUS_NUMBER, devnum,
                  VIRTUAL_VID, VIRTUAL_PID, BUS_NUMBER, devnum, VIRTUAL_VID, VIRTUAL_PID, serial.c_str(),
                  hex_string(descriptors.data(), descriptors.size()).c_str());
    GError* gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record, &gerror)) {
        std::string text = gerror != nullptr ? gerror->message : "unknown error";
        g_clear_error(&gerror);
        throw std::runtime_error("umockdev: cannot add " + devnode + ": " + text);
    }
    trace("added %s (serial %s)", devnode.c_str(), serial.c_str());
}

} // namespace orv::sim
