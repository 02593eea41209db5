// A C++ program that uses orv_lumo_iic and orv_lumo_spi (with orv_tapwire for
// the result texts) as an outside application would, including the headers in
// their <orv/...> form. Expected, on the virtual adapter's default board: an
// EEPROM that acknowledges at 0x50, nothing at 0x51, and a SPI NOR flash with
// JEDEC ID EF 40 16.
#include <orv/orv_lumo_iic.h>
#include <orv/orv_lumo_spi.h>
#include <orv/orv_tapwire.h>

#include <libusb.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace {

constexpr std::uint16_t ADAPTER_VID = 0x1209;
constexpr std::uint16_t ADAPTER_PID = 0x4F52;
constexpr std::uint32_t TIMEOUT_MS = 1000;

struct ContextDeleter {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
struct HandleDeleter {
    void operator()(libusb_device_handle* handle) const
    {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
    }
};

bool expect(const char* what, std::int32_t rc, std::int32_t wanted)
{
    if (rc != wanted) {
        std::printf("consumer_cxx: %s -> %d (%s), expected %d (%s)\n", what, rc, tapwire_get_err_info(rc),
                    wanted, tapwire_get_err_info(wanted));
        return false;
    }
    std::printf("consumer_cxx: %s -> %d (%s)\n", what, rc, tapwire_get_err_info(rc));
    return true;
}

bool run(libusb_device_handle* handle)
{
    constexpr std::uint8_t present = 0x50;
    constexpr std::uint8_t absent = 0x51;
    // Every check runs, so that one failure does not hide the others.
    const std::uint8_t none = 0;
    const bool bus = expect("lumo_iic_init", lumo_iic_init(handle, 100, TIMEOUT_MS), TPW_SUCCESS);
    const bool found =
        bus &&
        expect("probe 0x50", lumo_iic_send_bytes(handle, present, 7, &none, 0, TIMEOUT_MS), TPW_SUCCESS);
    const bool missing =
        bus &&
        expect("probe 0x51", lumo_iic_send_bytes(handle, absent, 7, &none, 0, TIMEOUT_MS), TPW_ERROR_OTHER);

    lumo_spi_config config{};
    config.clock_freq = 1000;
    config.bit_order = 0;
    config.clock_polarity = 0;
    config.cs_polarity = 0;
    config.addr_bytes = 0;
    config.cmd_enable = 1;
    constexpr std::uint8_t read_jedec_id = 0x9F;
    std::array<std::uint8_t, 3> id{};
    const bool configured =
        expect("lumo_spi_set_config", lumo_spi_set_config(handle, &config, TIMEOUT_MS), TPW_SUCCESS);
    const bool read =
        configured && expect("JEDEC ID",
                             lumo_spi_read_write_bytes(handle, static_cast<std::uint32_t>(id.size()), nullptr,
                                                       id.data(), 0, read_jedec_id, 0, &config, TIMEOUT_MS),
                             TPW_SUCCESS);
    if (read) {
        std::printf("consumer_cxx: JEDEC ID %02X %02X %02X\n", id[0], id[1], id[2]);
    }
    return found && missing && read && id == std::array<std::uint8_t, 3>{0xEF, 0x40, 0x16};
}

} // namespace

int main()
{
    libusb_context* raw_context = nullptr;
    if (int rc = libusb_init(&raw_context); rc != 0) {
        std::fprintf(stderr, "consumer_cxx: libusb_init: %s\n", libusb_error_name(rc));
        return 1;
    }
    std::unique_ptr<libusb_context, ContextDeleter> context(raw_context);
    libusb_device_handle* raw_handle =
        libusb_open_device_with_vid_pid(context.get(), ADAPTER_VID, ADAPTER_PID);
    if (raw_handle == nullptr) {
        std::fprintf(stderr, "consumer_cxx: no adapter %04x:%04x\n", ADAPTER_VID, ADAPTER_PID);
        return 1;
    }
    if (int rc = libusb_claim_interface(raw_handle, 0); rc != 0) {
        std::fprintf(stderr, "consumer_cxx: claim interface 0: %s\n", libusb_error_name(rc));
        libusb_close(raw_handle);
        return 1;
    }
    std::unique_ptr<libusb_device_handle, HandleDeleter> handle(raw_handle);
    return run(handle.get()) ? 0 : 1;
}
