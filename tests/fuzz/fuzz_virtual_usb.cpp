// Fuzz target: the virtual USB device's URB handling, through the real libusb
// and umockdev's preload in this process (the target re-executes itself under
// umockdev-wrapper when the preload is missing).
//
// The input is a sequence of actions on one virtual adapter: set a fault
// (any kind, endpoint, count, after), submit an asynchronous bulk transfer
// on any endpoint with any length (OUT data from the input), cancel a pending
// one (the device discards a held URB), let libusb reap what completed, make
// a synchronous transfer with a short timeout, read a string descriptor
// (a control URB), close and reopen the device when nothing is pending.
// At the end every pending transfer is cancelled and must come back.
//
// Beyond memory errors and undefined behaviour in the device's code (which
// runs on umockdev's thread in this process) it checks:
//   - every transfer completes exactly once, with no more bytes than asked;
//   - a count poll moves at most 4 bytes, 3 only under a short fault;
//   - the device counted every bulk URB that was submitted, on its endpoint;
//   - a cancelled transfer that the device held comes back (never lost).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <libusb.h>

#include "lib/wire/wire.hpp"
#include "sim/vusb/virtual_usb.hpp"
#include "tests/fuzz/input_reader.hpp"

namespace {

using orv::fuzz::InputReader;
using orv::sim::Fault;
using orv::sim::FaultKind;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct Rig {
    std::unique_ptr<orv::sim::VirtualUsb> usb;
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;

    void open()
    {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context, &list);
        for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
            if (libusb_get_bus_number(list[i]) == usb->bus(0) &&
                libusb_get_device_address(list[i]) == usb->address(0)) {
                require(libusb_open(list[i], &handle) == 0);
            }
        }
        libusb_free_device_list(list, 1);
        require(handle != nullptr && libusb_claim_interface(handle, 0) == 0);
    }
    void close()
    {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        handle = nullptr;
    }
};

Rig& rig()
{
    static Rig r;
    return r;
}

struct Pending {
    libusb_transfer* transfer = nullptr;
    std::vector<std::uint8_t> buffer;
    int completions = 0;
    bool in = false;
};

void LIBUSB_CALL completed(libusb_transfer* transfer)
{
    auto* p = static_cast<Pending*>(transfer->user_data);
    ++p->completions;
}

constexpr unsigned char ENDPOINTS[] = {orv::EP_COMMAND_OUT, orv::EP_READBACK_DATA_IN,
                                       orv::EP_READBACK_COUNT_IN};

class Session {
public:
    explicit Session(InputReader& in) : in_(in), r_(rig())
    {
        for (unsigned char ep : ENDPOINTS) {
            before_[index(ep)] = r_.usb->submitted(0, ep);
        }
    }

    void run()
    {
        for (unsigned n = 0; n < 32 && !in_.empty(); ++n) {
            switch (in_.byte() % 8) {
            case 0:
                fault();
                break;
            case 1:
            case 2:
                submit();
                break;
            case 3:
                cancel();
                break;
            case 4:
                reap(0);
                break;
            case 5:
                sync_transfer();
                break;
            case 6:
                descriptor();
                break;
            default:
                reopen();
                break;
            }
        }
        finish();
    }

private:
    static std::size_t index(unsigned char ep)
    {
        return ep == orv::EP_COMMAND_OUT ? 0 : ep == orv::EP_READBACK_DATA_IN ? 1 : 2;
    }

    unsigned char endpoint() { return ENDPOINTS[in_.byte() % 3]; }

    void fault()
    {
        Fault f;
        f.kind = static_cast<FaultKind>(in_.byte() % 8);
        const std::uint8_t ep = in_.byte();
        f.endpoint = ep % 5 == 0 ? 0 : ep % 5 == 4 ? ep : ENDPOINTS[ep % 3];
        f.count = static_cast<int>(in_.byte() % 5) - 1;
        f.after = in_.byte() % 4;
        // A timeout fault holds synchronous transfers for their whole timeout:
        // keep those on the endpoints the asynchronous transfers use.
        r_.usb->set_fault(0, f);
    }

    void submit()
    {
        if (pending_.size() >= 16) {
            return;
        }
        const unsigned char ep = endpoint();
        const std::size_t length = ep == orv::EP_READBACK_COUNT_IN ? in_.byte() % 9 : in_.u16() % 600;
        auto p = std::make_unique<Pending>();
        p->in = (ep & LIBUSB_ENDPOINT_IN) != 0;
        p->buffer.resize(length);
        if (!p->in) {
            for (auto& b : p->buffer) {
                b = in_.byte();
            }
        }
        p->transfer = libusb_alloc_transfer(0);
        require(p->transfer != nullptr);
        // No libusb timeout: a held URB ends only when it is cancelled.
        libusb_fill_bulk_transfer(p->transfer, r_.handle, ep, p->buffer.data(), static_cast<int>(length),
                                  completed, p.get(), 0);
        if (libusb_submit_transfer(p->transfer) == 0) {
            ++submitted_[index(ep)];
            pending_.push_back(std::move(p));
        } else {
            libusb_free_transfer(p->transfer);
        }
    }

    void cancel()
    {
        if (pending_.empty()) {
            return;
        }
        Pending& p = *pending_[in_.byte() % pending_.size()];
        if (p.completions == 0) {
            (void)libusb_cancel_transfer(p.transfer); // NOT_FOUND once it completed
        }
    }

    // Lets libusb reap what completed, waiting up to `ms`.
    void reap(int ms)
    {
        timeval tv{0, ms * 1000};
        (void)libusb_handle_events_timeout_completed(r_.context, &tv, nullptr);
        check_completions();
    }

    void check_completions()
    {
        for (const auto& p : pending_) {
            require(p->completions <= 1);
            if (p->completions == 1) {
                const libusb_transfer& t = *p->transfer;
                require(t.actual_length >= 0 && t.actual_length <= t.length);
                if (t.endpoint == orv::EP_READBACK_COUNT_IN && t.status == LIBUSB_TRANSFER_COMPLETED) {
                    require(t.actual_length == std::min(t.length, 4) ||
                            t.actual_length == std::min(t.length, 3));
                }
            }
        }
    }

    void sync_transfer()
    {
        const unsigned char ep = endpoint();
        std::vector<std::uint8_t> buffer(ep == orv::EP_READBACK_COUNT_IN ? 4 : in_.u16() % 600);
        for (auto& b : buffer) {
            b = in_.byte();
        }
        int moved = -1;
        const int rc = libusb_bulk_transfer(r_.handle, ep, buffer.data(), static_cast<int>(buffer.size()),
                                            &moved, 1 + in_.byte() % 2);
        ++submitted_[index(ep)];
        require(moved >= 0 && moved <= static_cast<int>(buffer.size()));
        require(rc <= 0);
        check_completions();
    }

    void descriptor()
    {
        unsigned char text[64];
        const int rc =
            libusb_get_string_descriptor_ascii(r_.handle, in_.byte() % 6, text, 1 + in_.byte() % 63);
        require(rc < static_cast<int>(sizeof text));
    }

    void reopen()
    {
        if (!pending_.empty()) {
            return;
        }
        r_.close();
        r_.open();
    }

    // Cancels what is pending; everything must come back.
    void finish()
    {
        for (const auto& p : pending_) {
            if (p->completions == 0) {
                (void)libusb_cancel_transfer(p->transfer);
            }
        }
        for (int round = 0; round < 500; ++round) {
            const bool all = std::all_of(pending_.begin(), pending_.end(),
                                         [](const auto& p) { return p->completions > 0; });
            if (all) {
                break;
            }
            reap(2);
        }
        check_completions();
        for (const auto& p : pending_) {
            require(p->completions == 1); // a URB the device held and never gave back
            libusb_free_transfer(p->transfer);
        }
        pending_.clear();
        for (unsigned char ep : ENDPOINTS) {
            require(r_.usb->submitted(0, ep) - before_[index(ep)] == submitted_[index(ep)]);
        }
        // The next input starts from a healthy, empty adapter.
        r_.usb->set_fault(0, Fault{});
        std::array<std::uint8_t, 4096> scratch{};
        while (r_.usb->adapter(0).read_data(scratch) > 0) {
        }
    }

    InputReader& in_;
    Rig& r_;
    std::vector<std::unique_ptr<Pending>> pending_;
    std::array<std::uint64_t, 3> before_{};
    std::array<std::uint64_t, 3> submitted_{};
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    std::string error;
    if (!orv::sim::reexec_under_preload(*argc, *argv, &error)) {
        std::fprintf(stderr, "fuzz_virtual_usb: %s\n", error.c_str());
        std::abort();
    }
    Rig& r = rig();
    orv::emu::AdapterConfig config;
    orv::emu::BoardConfig board = orv::emu::default_board_config();
    board.spi_flash->size = 64 * 1024;
    r.usb = orv::sim::VirtualUsb::create(&error);
    if (!r.usb) {
        std::fprintf(stderr, "fuzz_virtual_usb: %s\n", error.c_str());
        std::abort();
    }
    r.usb->add_adapter(orv::emu::make_board(board, config));
    require(libusb_init(&r.context) == 0);
    r.open();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    InputReader in({data, size});
    Session(in).run();
    return 0;
}
