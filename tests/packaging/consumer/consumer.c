/*
 * A C program that uses orv_tapwire the way an application outside this
 * project would: found through pkg-config or find_package(orv), headers from
 * the installed include/orv, linked against the installed shared library.
 *
 * It opens the adapter by VID:PID, sets it up for JTAG, resets the TAP chain
 * and reads the IDCODE of every TAP, which Test-Logic-Reset selects.
 * Expected chain (the virtual adapter's default board): two TAPs, the one
 * nearest TDO first, IDCODEs 0x4BA00477 and 0x03727093.
 */
#include <orv_tapwire.h>

#include <libusb.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define ADAPTER_VID 0x1209
#define ADAPTER_PID 0x4F52
#define TIMEOUT_MS 1000u

/* TCK pin 0, TDI pin 1, TMS pin 3 driven; TDO pin 2 read. TMS rests high. */
#define JTAG_DIRECTION 0x000Bu
#define JTAG_LEVEL 0x0008u

static uint32_t le32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static int check(const char* what, int32_t rc)
{
    if (rc != 0) {
        fprintf(stderr, "consumer_c: %s failed: %d (%s)\n", what, rc, tapwire_get_err_info(rc));
        return 0;
    }
    return 1;
}

static int run(libusb_device_handle* handle)
{
    static const uint32_t expected[2] = {0x4BA00477u, 0x03727093u};
    int32_t state = TPW_TAP_RUN_TEST_IDLE;
    uint8_t tdi[8];
    uint8_t tdo[8];

    if (!check("tapwire_tckset", tapwire_tckset(handle, 1000, TIMEOUT_MS)) ||
        !check("tapwire_ioset", tapwire_ioset(handle, JTAG_DIRECTION, JTAG_LEVEL, TIMEOUT_MS)) ||
        !check("tapwire_reset", tapwire_reset(handle, &state, TIMEOUT_MS))) {
        return 1;
    }
    if (state != TPW_TAP_TEST_LOGIC_RESET) {
        fprintf(stderr, "consumer_c: state after reset is %d\n", (int)state);
        return 1;
    }
    memset(tdi, 0xFF, sizeof tdi);
    memset(tdo, 0, sizeof tdo);
    if (!check("tapwire_shift_dr", tapwire_shift_dr(handle, &state, 64, tdi, tdo, 0, TIMEOUT_MS))) {
        return 1;
    }
    printf("consumer_c: IDCODE tap0 0x%08X tap1 0x%08X, state %d\n", (unsigned)le32(tdo),
           (unsigned)le32(tdo + 4), (int)state);
    if (le32(tdo) != expected[0] || le32(tdo + 4) != expected[1] || state != TPW_TAP_RUN_TEST_IDLE) {
        fprintf(stderr, "consumer_c: expected 0x%08X 0x%08X in Run-Test/Idle\n", (unsigned)expected[0],
                (unsigned)expected[1]);
        return 1;
    }
    printf("consumer_c: text of %d is \"%s\"\n", TPW_ERROR_TIMEOUT, tapwire_get_err_info(TPW_ERROR_TIMEOUT));
    return 0;
}

int main(void)
{
    libusb_context* context = NULL;
    libusb_device_handle* handle = NULL;
    int status = 1;
    int rc = libusb_init(&context);

    if (rc != 0) {
        fprintf(stderr, "consumer_c: libusb_init: %s\n", libusb_error_name(rc));
        return 1;
    }
    handle = libusb_open_device_with_vid_pid(context, ADAPTER_VID, ADAPTER_PID);
    if (handle == NULL) {
        fprintf(stderr, "consumer_c: no adapter %04x:%04x\n", ADAPTER_VID, ADAPTER_PID);
    } else {
        rc = libusb_claim_interface(handle, 0);
        if (rc != 0) {
            fprintf(stderr, "consumer_c: claim interface 0: %s\n", libusb_error_name(rc));
        } else {
            status = run(handle);
            libusb_release_interface(handle, 0);
        }
        libusb_close(handle);
    }
    libusb_exit(context);
    return status;
}
