// A virtual ORV bridge adapter on a virtual USB bus, built on umockdev.
//
// VirtualUsb creates a umockdev testbed (a private /sys and /dev that
// umockdev's preload library shows to this process and its children) and adds
// one USB device per adapter: VID 0x1209, PID 0x4F52, one interface with bulk
// endpoints 0x02 OUT, 0x81 IN and 0x83 IN. The usbdevfs ioctls that libusb
// sends to the device node are answered here: OUT transfers on 0x02 go to the
// adapter model's write_commands, 0x83 IN to its poll_count (4 bytes, little
// endian) and 0x81 IN to read_data. A program therefore uses the real
// libusb_init, libusb_open_device_with_vid_pid, libusb_claim_interface,
// libusb_bulk_transfer and libusb_close unchanged.
//
// The preload must be active in the process (run it under umockdev-wrapper,
// or see reexec_under_preload). The ioctls are served on a thread of
// VirtualUsb's own, so a libusb call that blocks in the calling thread is
// answered meanwhile. Each adapter has its own lock: two adapters driven from
// two threads at once do not interfere.
//
// Faults can be injected per adapter with set_fault; each names the errno a
// real device node would give and so the libusb result:
//   unplugged       URBs complete with -ENODEV: LIBUSB_ERROR_NO_DEVICE (-4)
//   stall           URBs complete with -EPIPE:  LIBUSB_ERROR_PIPE (-9)
//   timeout         URBs are never completed; libusb discards them when the
//                   transfer's timeout expires: LIBUSB_ERROR_TIMEOUT (-7)
//   short_transfer  URBs complete with fewer bytes than asked (OUT: the
//                   packet is not executed; 0x83: 3 of the 4 count bytes;
//                   0x81: one byte less than asked)
//   never_fill      0x83 always answers a count of 0, so a read-back never
//                   sees its bytes arrive (the model keeps them)
//   overcount       0x83 answers OVERCOUNT_BYTES more than the model holds:
//                   a count that grows past what the adapter can deliver
//   overflow        0x81 sends more than asked: the bytes asked for arrive,
//                   one more byte the model held is lost, and the URB ends
//                   with -EOVERFLOW: LIBUSB_ERROR_OVERFLOW (-8)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/emulator/adapter.hpp"

namespace orv::sim {

inline constexpr std::uint16_t VIRTUAL_VID = 0x1209;
inline constexpr std::uint16_t VIRTUAL_PID = 0x4F52;

enum class FaultKind { none, unplugged, stall, timeout, short_transfer, never_fill, overcount, overflow };

// What an overcount fault adds to the count: more than any read-back of the
// libraries, so that no count it shows can be the one an I2C read-back waits for.
inline constexpr std::uint32_t OVERCOUNT_BYTES = 1024;

struct Fault {
    FaultKind kind = FaultKind::none;
    unsigned char endpoint = 0; // 0 = any endpoint (never_fill and overcount always act on 0x83,
                                // overflow on 0x81)
    int count = -1;             // transfers affected; -1 = until cleared
    unsigned after = 0;         // URBs on that endpoint that pass before the fault starts
};

// Fault kinds by the names the tools give them: none, unplugged, stall,
// timeout, short, never-fill.
std::optional<FaultKind> fault_kind_named(std::string_view name);
std::string_view fault_kind_name(FaultKind kind);
// "none, unplugged, stall, timeout, short or never-fill"
std::string fault_kind_names();

// A fault written as orvsim-run --fault and orvtool --sim-fault take it:
//   KIND[:EP[:AFTER[:COUNT]]]
// EP is any (or 0), 0x02, 0x81 or 0x83 (default any; never-fill acts on 0x83
// only); AFTER the URBs on that endpoint that pass before the fault starts
// (default 0); COUNT the URBs it then affects (default -1: all). "stall:0x81:3:1"
// stalls the fourth read from 0x81 and no other. nullopt and a message in
// *error (when not null) for anything else.
std::optional<Fault> parse_fault(std::string_view fault_text, std::string* error);

// True when umockdev's preload library is loaded in this process.
bool preload_active();

// Re-executes argv under umockdev-wrapper when the preload is not active.
// Returns false with *error when umockdev-wrapper is missing or cannot be
// started; does not return on success. Returns true at once when the preload
// is already active.
bool reexec_under_preload(int argc, char** argv, std::string* error);

class VirtualUsb {
public:
    // nullptr and a message in *error (when not null) without the preload or
    // when the testbed cannot be set up.
    static std::unique_ptr<VirtualUsb> create(std::string* error);
    ~VirtualUsb();
    VirtualUsb(const VirtualUsb&) = delete;
    VirtualUsb& operator=(const VirtualUsb&) = delete;

    // Adds one virtual adapter (bus 1, next device number) running `model`
    // (the default board when null). Call before libusb_init: libusb only
    // sees the devices present when it enumerates. Returns its index.
    std::size_t add_adapter(std::unique_ptr<orv::emu::Adapter> model = nullptr);
    std::size_t adapter_count() const;

    // The model behind adapter `index`. Touch it only while no transfer is in
    // flight on that adapter (the model itself is not thread-safe).
    orv::emu::Adapter& adapter(std::size_t index);

    // Replaces the adapter's fault; Fault{} clears it.
    void set_fault(std::size_t index, Fault fault);
    // Transfers the current fault still applies to (-1: until cleared, 0: done).
    int fault_remaining(std::size_t index) const;

    // Bulk URBs submitted to an endpoint (0x02, 0x81 or 0x83) of the adapter,
    // faulted ones included: the transfers libusb made, as the device saw them.
    std::uint64_t submitted(std::size_t index, unsigned char endpoint) const;

    std::uint8_t bus(std::size_t index) const;
    std::uint8_t address(std::size_t index) const;
    // Serial number string of the adapter (string descriptor 3), "ORVSIM%04u".
    std::string serial(std::size_t index) const;

    struct Device; // one virtual adapter; defined in device.hpp
    struct Server; // the testbed and its ioctl thread

private:
    VirtualUsb();
    std::unique_ptr<Server> server_;
    std::vector<std::unique_ptr<Device>> devices_;
};

} // namespace orv::sim
