// A child program for orvsim-run: opens every adapter listed in
// ORVSIM_ADAPTERS ("bus:address,...") with the real libusb and reads both
// IDCODEs of its JTAG chain. Exit 0 when all adapters answered correctly;
// "--exit N" exits with N afterwards (to check that the status comes back).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libusb.h>

#include "orv_tapwire.h"

namespace {

bool read_idcodes(libusb_context* context, unsigned bus, unsigned address)
{
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(context, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < n; ++i) {
        if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
            libusb_open(list[i], &handle);
        }
    }
    libusb_free_device_list(list, 1);
    if (handle == nullptr || libusb_claim_interface(handle, 0) != 0) {
        std::fprintf(stderr, "cannot open adapter %u:%u\n", bus, address);
        if (handle != nullptr) {
            libusb_close(handle);
        }
        return false;
    }
    int32_t state = TPW_TAP_RUN_TEST_IDLE;
    const std::uint8_t tdi[8] = {};
    std::uint8_t tdo[8] = {};
    const bool ok = tapwire_reset(handle, &state, 1000) == 0 &&
                    tapwire_shift_dr(handle, &state, 64, tdi, tdo, 0, 1000) == 0 &&
                    std::memcmp(tdo, "\x77\x04\xA0\x4B\x93\x70\x72\x03", 8) == 0;
    std::printf("adapter %u:%u: %s\n", bus, address, ok ? "IDCODEs 4ba00477 03727093" : "wrong answer");
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    const char* adapters = std::getenv("ORVSIM_ADAPTERS");
    if (adapters == nullptr || *adapters == '\0') {
        std::fprintf(stderr, "ORVSIM_ADAPTERS is not set: run me under orvsim-run\n");
        return 1;
    }
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        return 1;
    }
    int found = 0;
    bool ok = true;
    std::string list = adapters;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::min(list.find(',', start), list.size());
        unsigned bus = 0, address = 0;
        if (std::sscanf(list.substr(start, end - start).c_str(), "%u:%u", &bus, &address) != 2) {
            ok = false;
        } else {
            ok = read_idcodes(context, bus, address) && ok;
            ++found;
        }
        start = end + 1;
    }
    libusb_exit(context);
    std::printf("%d adapters\n", found);
    if (argc == 3 && std::strcmp(argv[1], "--exit") == 0) {
        return std::atoi(argv[2]);
    }
    return ok ? 0 : 1;
}
