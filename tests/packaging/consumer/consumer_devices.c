/*
 * A C program that uses orv_devices the way an application outside this
 * project would: found through pkg-config or find_package(orv), the header
 * from the installed include/orv, linked against the installed device library
 * (which brings the bus libraries it runs on).
 *
 * It opens the adapter by VID:PID, starts a session, scans the JTAG chain and
 * checks what the virtual adapter's default board has: two TAPs, the one
 * nearest TDO first, IDCODEs 0x4BA00477 (IR 4 bits) and 0x03727093 (IR 6
 * bits), 10 IR bits in all.
 */
#include <orv_devices.h>

#include <libusb.h>
#include <stdint.h>
#include <stdio.h>

#define ADAPTER_VID 0x1209
#define ADAPTER_PID 0x4F52

static int run(libusb_device_handle* handle)
{
    static const uint32_t expected[2] = {0x4BA00477u, 0x03727093u};
    static const uint32_t expected_ir[2] = {4u, 6u};
    orvdev_report report;
    orvdev_session* session = NULL;
    orvdev_jtag* jtag = NULL;
    static orvdev_chain chain;
    int status = 1;
    int32_t rc = orvdev_session_open(handle, NULL, &session, &report);

    if (rc == 0) {
        rc = orvdev_jtag_open(session, NULL, &jtag, &report);
    }
    if (rc == 0) {
        rc = orvdev_chain_scan(jtag, &chain, &report);
    }
    if (rc != 0) {
        fprintf(stderr, "consumer_devices: %s (%d): %s\n", orvdev_strerror(rc), (int)rc, report.message);
    } else if (chain.count != 2 || chain.ir_total != 10) {
        fprintf(stderr, "consumer_devices: %u TAPs, %u IR bits; expected 2 and 10\n", (unsigned)chain.count,
                (unsigned)chain.ir_total);
    } else {
        uint32_t i;
        status = 0;
        for (i = 0; i < chain.count; ++i) {
            const orvdev_tap* tap = &chain.taps[i];
            printf("consumer_devices: tap%u IDCODE 0x%08X IR %u (%s)\n", (unsigned)i, (unsigned)tap->idcode,
                   (unsigned)tap->ir_length, tap->vendor != NULL ? tap->vendor : "maker not listed");
            if (!tap->has_idcode || tap->idcode != expected[i] || !tap->ir_length_known ||
                tap->ir_length != expected_ir[i]) {
                fprintf(stderr, "consumer_devices: tap%u: expected IDCODE 0x%08X, IR %u\n", (unsigned)i,
                        (unsigned)expected[i], (unsigned)expected_ir[i]);
                status = 1;
            }
        }
    }
    orvdev_jtag_close(jtag);
    orvdev_session_close(session);
    return status;
}

int main(void)
{
    libusb_context* context = NULL;
    libusb_device_handle* handle = NULL;
    int status = 1;
    int rc = libusb_init(&context);

    if (rc != 0) {
        fprintf(stderr, "consumer_devices: libusb_init: %s\n", libusb_error_name(rc));
        return 1;
    }
    handle = libusb_open_device_with_vid_pid(context, ADAPTER_VID, ADAPTER_PID);
    if (handle == NULL) {
        fprintf(stderr, "consumer_devices: no adapter %04x:%04x\n", ADAPTER_VID, ADAPTER_PID);
    } else {
        rc = libusb_claim_interface(handle, 0);
        if (rc != 0) {
            fprintf(stderr, "consumer_devices: claim interface 0: %s\n", libusb_error_name(rc));
        } else {
            status = run(handle);
            libusb_release_interface(handle, 0);
        }
        libusb_close(handle);
    }
    libusb_exit(context);
    return status;
}
