/**
 * \file orv_devices.h
 * \brief orv_devices: SPI NOR flash, JTAG chains, I2C devices and boundary
 *        scan through the ORV USB bridge adapter.
 *
 * The three bus libraries (orv_tapwire, orv_lumo_spi, orv_lumo_iic) run one
 * transaction per call and keep nothing. This library knows what lies beyond
 * them: SPI NOR flash (JEDEC ID, SFDP, a table of common parts, 4-byte
 * addressing, busy waits, the smart write that erases and programs only what
 * differs), the JTAG chain (device count, IR lengths, IDCODEs with their
 * makers' names, raw IR/DR scans), I2C devices (probes as i2cdetect makes
 * them, registers with 1- or 2-byte addresses, EEPROM page writes with the
 * write-cycle wait, combined messages with repeated STARTs) and boundary
 * scan from BSDL files (a device's pins sampled and driven, the
 * interconnect test of a netlist).
 *
 * The caller opens the adapter with libusb, claims its interface and starts
 * a session on the handle (orvdev_session_open()); a JTAG, flash or I2C
 * handle is made from the session. The session keeps the adapter sound:
 *
 *   - the adapter's read-back is emptied when the session opens and after
 *     every operation that failed on the wire, and again before the next
 *     operation when that purge failed or bytes may come late (a timeout),
 *     so that bytes left by a failure are never returned as the next
 *     operation's data (the log callback says when bytes were thrown away);
 *   - every transfer has a time limit (a timeout of 0 is refused), and I2C
 *     transfers use at most #ORVDEV_I2C_MAX_TIMEOUT_MS each, so that an
 *     adapter that stops answering costs seconds, not hours;
 *   - the adapter has one clock and one active connector: each handle (a
 *     JTAG chain, a flash, an I2C bus, a raw JTAG or SPI port) sends its
 *     set-up again when another one, or the caller through the bus libraries
 *     (orvdev_session_touch()), used the adapter in between, and never
 *     otherwise;
 *   - clocks are never faster than asked: the fastest clock the adapter can
 *     make that is not above the request.
 *
 * Results. Every function that can fail returns a signed 32-bit result: 0 on
 * success, else a negative code. -1..-12 are libusb's codes and -13..-17 the
 * bus libraries' (orv_result.h), passed through from the transfer that
 * failed: "a bus code" below; the session has emptied the adapter's
 * read-back after it. The codes of #orvdev_result are this library's;
 * orvdev_strerror() gives the text of any code. Besides the codes each
 * function lists, any function that returns a result may return
 * #ORVDEV_ERROR_INTERNAL (an unexpected fault inside the library) and
 * LIBUSB_ERROR_NO_MEM (out of memory). Functions that take an orvdev_report
 * (may be NULL) fill it on every return: on failure the same code, the bus
 * code behind it, a message in the user's terms, a hint, the bus library's
 * text, and what the operation had done before it stopped (orvdev_done); on
 * success its code is 0 and its texts are empty. An argument refused before
 * anything is sent fills only the code and the message.
 *
 * Progress and stopping. Long operations (flash read, write, verify and
 * erase; I2C reads, EEPROM writes and detection; the chain scan; the
 * interconnect test) call the session's progress callback as they go. When
 * it returns #ORVDEV_STOP, the operation ends at the next point where the
 * part is left consistent (never in the middle of a program or erase
 * command) and returns #ORVDEV_ERROR_STOPPED, with the report saying how far
 * it got.
 *
 * Threads. The library starts no thread and keeps no global state. A session
 * and the handles made from it belong to one thread at a time; sessions on
 * different adapters are independent.
 *
 * Buffers. Output buffers hold valid data only when the result is 0; after a
 * failure they may hold part of the data, never more than their length.
 *
 * \par Example
 * Identifies the SPI flash on the adapter's SPI connector and reads its first
 * 16 bytes. Build with
 * `cc flash.c $(pkg-config --cflags --libs orv_devices libusb-1.0)`.
 * \code{.c}
 * #include <stdio.h>
 * #include <orv_devices.h>
 *
 * int main(void)
 * {
 *     libusb_context* ctx = NULL;
 *     if (libusb_init(&ctx) != 0)
 *         return 1;
 *     // 1209:4f52 is orvsim-run's virtual adapter; use your adapter's VID:PID.
 *     libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx, 0x1209, 0x4f52);
 *     if (handle == NULL || libusb_claim_interface(handle, 0) != 0) {
 *         fprintf(stderr, "no adapter\n");
 *         return 1;
 *     }
 *     orvdev_report report;
 *     orvdev_session* session = NULL;
 *     orvdev_flash* flash = NULL;
 *     uint8_t data[16];
 *     // Defaults: 1 s per transfer, SPI at 6 MHz, the part identified.
 *     int32_t rc = orvdev_session_open(handle, NULL, &session, &report);
 *     if (rc == 0)
 *         rc = orvdev_flash_open(session, NULL, &flash, &report);
 *     if (rc == 0)
 *         rc = orvdev_flash_read(flash, 0, data, sizeof data, &report);
 *     if (rc == 0) {
 *         orvdev_flash_info info;
 *         orvdev_flash_get_info(flash, &info);
 *         printf("JEDEC ID %02x %02x %02x (%s, %llu bytes), first byte 0x%02x\n", info.jedec_id[0],
 *                info.jedec_id[1], info.jedec_id[2], info.part[0] != '\0' ? info.part : "not in the table",
 *                (unsigned long long)info.size, data[0]);
 *     } else {
 *         fprintf(stderr, "flash: %s (%d): %s\n", orvdev_strerror(rc), rc, report.message);
 *     }
 *     orvdev_flash_close(flash);
 *     orvdev_session_close(session);
 *     libusb_release_interface(handle, 0);
 *     libusb_close(handle);
 *     libusb_exit(ctx);
 *     return rc == 0 ? 0 : 1;
 * }
 * \endcode
 */
#ifndef ORV_DEVICES_H
#define ORV_DEVICES_H

#include <stddef.h>
#include <stdint.h>

#include <libusb.h>

#include "orv_result.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Results                                                                  */

/** This library's result codes (beside libusb's -1..-12 and the bus
 *  libraries' -13..-17). */
enum orvdev_result {
    /** An argument was refused; nothing was sent. */
    ORVDEV_ERROR_INVALID_ARGUMENT = -100,
    /** A range goes past the end of the part (a flash address and length);
     *  nothing was sent. */
    ORVDEV_ERROR_OUT_OF_RANGE = -101,
    /** The progress callback asked to stop; the report says how far the
     *  operation got. */
    ORVDEV_ERROR_STOPPED = -102,
    /** The adapter keeps reporting read-back bytes: it cannot be emptied. */
    ORVDEV_ERROR_READBACK_STUCK = -103,
    /** What was read back differs from what was expected (a verify, an
     *  erase check, a register read back after a write). */
    ORVDEV_ERROR_MISMATCH = -104,
    /** An unexpected fault inside the library. */
    ORVDEV_ERROR_INTERNAL = -105,

    /** No flash answers: the JEDEC ID reads all zeros or all ones. */
    ORVDEV_ERROR_NO_FLASH = -110,
    /** The flash's size cannot be told (no SFDP, not in the part table, no
     *  plausible capacity byte); give it as an override. */
    ORVDEV_ERROR_FLASH_UNKNOWN = -111,
    /** The flash stayed busy past the longest time its program, erase or
     *  status write may take. */
    ORVDEV_ERROR_FLASH_BUSY = -112,
    /** The flash did not set its write enable latch. */
    ORVDEV_ERROR_FLASH_WRITE_ENABLE = -113,
    /** The range is write-protected by the status register's BP bits. */
    ORVDEV_ERROR_FLASH_PROTECTED = -114,
    /** The status register is locked (SRP set and WP# low). */
    ORVDEV_ERROR_FLASH_LOCKED = -115,
    /** The flash refused a status register write. */
    ORVDEV_ERROR_FLASH_STATUS_REFUSED = -116,
    /** The flash names no erase command of a usable size. */
    ORVDEV_ERROR_FLASH_NO_ERASE = -117,
    /** The part named as an override is not in the part table. */
    ORVDEV_ERROR_UNKNOWN_PART = -118,
    /** The flash has no SFDP table. */
    ORVDEV_ERROR_NO_SFDP = -119,

    /** TDO stays high: no JTAG device answers. */
    ORVDEV_ERROR_CHAIN_SILENT = -130,
    /** TDO follows TDI without delay: there is no TAP in the chain. */
    ORVDEV_ERROR_CHAIN_NO_TAP = -131,
    /** The chain's answers do not add up (broken, too long, or a device
     *  without a working BYPASS). */
    ORVDEV_ERROR_CHAIN_BROKEN = -132,

    /** I2C: no device acknowledged the address. */
    ORVDEV_ERROR_I2C_NO_ACK = -140,
    /** I2C: the device refused a data byte (orvdev_report.byte_index says
     *  which), where the operation can tell that from a short transfer. */
    ORVDEV_ERROR_I2C_DATA_NACK = -141,
    /** I2C: a write or a data byte failed, and the bus library cannot tell a
     *  refused data byte from a short read-back. */
    ORVDEV_ERROR_I2C_WRITE_FAILED = -142,
    /** I2C: an EEPROM did not finish its write cycle in time. */
    ORVDEV_ERROR_I2C_BUSY = -143,
    /** I2C through boundary-scan pins: SCL or SDA read low while the bus
     *  had let it go (its net stuck low or without a pull-up, or a device
     *  stretching the clock); the message names the line and its pin. */
    ORVDEV_ERROR_I2C_LINE_HELD = -144,

    /** A BSDL file, netlist or layout file was refused: orvdev_input_error
     *  says where and why; nothing was sent. */
    ORVDEV_ERROR_BAD_INPUT = -150,
    /** A pin name the BSDL file does not have; the message lists the nearest
     *  names it has. Nothing was sent. */
    ORVDEV_ERROR_UNKNOWN_PIN = -151,
    /** The BSDL files do not fit the chain: an instruction length or IDCODE
     *  the chain contradicts, a TAP whose instruction length nothing tells. */
    ORVDEV_ERROR_BSDL_MISMATCH = -152,
    /** The device's BSDL file names no instruction for the operation
     *  (SAMPLE, PRELOAD, EXTEST). */
    ORVDEV_ERROR_BSCAN_UNSUPPORTED = -153,

    /** No adapter could be found or opened: orvdev_no_adapter says why. */
    ORVDEV_ERROR_NO_ADAPTER = -160
};

/**
 * \brief Text of any result code: 0, libusb's, the bus libraries' and this
 *        library's.
 *
 * \param code a result of any ORV library call.
 * \returns the code's text, never NULL; static storage, not to be freed.
 *          Codes no library gives have a text that says so.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads a constant table only.
 */
ORV_API const char* orvdev_strerror(int32_t code);

/**
 * \brief What the user can do about a failure of the wire, in general terms.
 *
 * The hint the library puts in orvdev_report.hint when a transfer fails,
 * for callers that get a bus code elsewhere (from the bus libraries).
 *
 * \param code a result code.
 * \returns for libusb's codes and the bus libraries' (-1..-17), what to do
 *          about it ("the adapter stalled an endpoint: unplug and replug
 *          it"); "" for 0 and for this library's codes, whose reports carry
 *          their own hints. Never NULL; static storage, not to be freed.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads a constant table only.
 */
ORV_API const char* orvdev_hint(int32_t code);

/** Room for orvdev_count.unit, the terminating NUL included. */
#define ORVDEV_UNIT_MAX 24
/** Room for orvdev_done.action, the terminating NUL included. */
#define ORVDEV_ACTION_MAX 24
/** Counts of one orvdev_done at most. */
#define ORVDEV_COUNTS_MAX 3
/** Steps of one orvdev_report at most (the last ones when there were more). */
#define ORVDEV_DONE_MAX 6
/** Room for a message or detail text, the terminating NUL included. */
#define ORVDEV_MESSAGE_MAX 512
/** Room for orvdev_report.hint, the terminating NUL included. */
#define ORVDEV_HINT_MAX 256
/** Room for a file name, the terminating NUL included. */
#define ORVDEV_PATH_MAX 4096

/** One count of what an operation had done: `done` of `total` `unit`. */
typedef struct orvdev_count {
    /** Plural: "bytes", "pages", "blocks", "addresses", "devices", "IR bits". */
    char unit[ORVDEV_UNIT_MAX];
    /** How many were done. */
    uint64_t done;
    /** Valid when has_total is non-zero. */
    uint64_t total;
    /** Non-zero when total is known. */
    int32_t has_total;
} orvdev_count;

/** One step of a failed operation and how far it got. */
typedef struct orvdev_done {
    /** Past tense: "read", "erased", "programmed", "read back", "measured". */
    char action[ORVDEV_ACTION_MAX];
    /** The first leads; the others follow it in brackets in a sentence. */
    orvdev_count counts[ORVDEV_COUNTS_MAX];
    /** Entries of counts in use. */
    uint32_t count_count;
    /** The first address the step worked on (valid when has_from). */
    uint64_t from;
    /** Non-zero when from is valid. */
    int32_t has_from;
    /** Where the step that failed started (valid when has_stopped_at). */
    uint64_t stopped_at;
    /** Non-zero when stopped_at is valid. */
    int32_t has_stopped_at;
    /** Hex digits to show addresses with: 6 for flash, 2 or 3 for I2C. */
    int32_t address_digits;
} orvdev_done;

/** What a failed operation says about itself. Owned by the caller; filled by
 *  every function that takes one. */
typedef struct orvdev_report {
    /** The result the function returned. */
    int32_t code;
    /** The bus library's result behind it (libusb's or -13..-17), 0 when the
     *  failure was found above the wire. */
    int32_t bus_code;
    /** The failure in the user's terms ("no device acknowledged address
     *  0x51"); empty on success. */
    char message[ORVDEV_MESSAGE_MAX];
    /** What the user can do about it, in general terms; may be empty. */
    char hint[ORVDEV_HINT_MAX];
    /** The transfer and the bus library's text ("reading from 0x51: tapwire
     *  other error (code -17)"); may be empty. */
    char detail[ORVDEV_MESSAGE_MAX];
    /** ORVDEV_ERROR_I2C_DATA_NACK: the refused data byte, counted from 0 over
     *  the bytes written. -1 otherwise. */
    int32_t byte_index;
    /** What had been done, earliest first. */
    orvdev_done done[ORVDEV_DONE_MAX];
    /** Entries of done in use. */
    uint32_t done_count;
    /** A file the operation wrote to keep data it could not put back (a
     *  failed flash write's old content); empty when none. */
    char recovery_file[ORVDEV_PATH_MAX];
    /** ORVDEV_ERROR_I2C_NO_ACK and ORVDEV_ERROR_I2C_DATA_NACK from
     *  orvdev_i2c_transfer: the message refused, counted from 0. -1
     *  otherwise. */
    int32_t message_index;
} orvdev_report;

/** Where a file was refused. */
typedef struct orvdev_input_error {
    /** The file refused. */
    char file[ORVDEV_PATH_MAX];
    /** 1-based; 0 when the place is a JSON path (or the whole file). */
    uint32_t line;
    /** 1-based column of line; 0 with line 0. */
    uint32_t column;
    /** The JSON path of a netlist key ("nets.SDA[1]"); empty otherwise. */
    char path[ORVDEV_MESSAGE_MAX];
    /** What was expected there ("expected ')' after the cell"). */
    char reason[ORVDEV_MESSAGE_MAX];
} orvdev_input_error;

/* ------------------------------------------------------------------------ */
/* Adapters on the USB buses                                                */
/*
 * An adapter is a USB device with one interface whose first setting has
 * exactly three bulk endpoints, 0x02 OUT (commands), 0x81 IN (read-back
 * bytes) and 0x83 IN (read-back count), whatever its VID:PID. These calls
 * find such devices and open one with its interface claimed, ready for
 * orvdev_session_open(). When none can be opened they say why, in
 * orvdev_no_adapter and in the report's message and hint, in the terms of
 * what the user can do about it (the udev rule, /dev/bus/usb, the program
 * that holds it). Each call runs in a libusb context of its own: calls from
 * different threads are independent.
 */

/** Room for a USB string (serial number, product), the terminating NUL
 *  included. */
#define ORVDEV_USB_STRING_MAX 128
/** Room for orvdev_adapter_info.port_path, the terminating NUL included. */
#define ORVDEV_PORT_PATH_MAX 40

/** A USB device that looks like an adapter. */
typedef struct orvdev_adapter_info {
    /** The USB vendor id. */
    uint16_t vid;
    /** The USB product id. */
    uint16_t pid;
    /** The bus number, as lsusb shows it. */
    uint8_t bus;
    /** The device number on the bus (a new one at every replug). */
    uint8_t address;
    /** Where it is plugged in, as the kernel names it: the bus, then the
     *  port of each hub from the root ("1-1.3"); the same after a replug
     *  into the same port. "" when the system does not tell. */
    char port_path[ORVDEV_PORT_PATH_MAX];
    /** The serial number string; "" when the device has none, or could not
     *  be opened to ask (see open_error). */
    char serial[ORVDEV_USB_STRING_MAX];
    /** The product string; "" as serial. */
    char product[ORVDEV_USB_STRING_MAX];
    /** 0 when the device was opened to read its strings; else libusb's code
     *  (LIBUSB_ERROR_ACCESS: no permission to open it). */
    int32_t open_error;
} orvdev_adapter_info;

/** Which adapter: every field given must match
 *  (orvdev_adapter_selector_init(): any adapter). */
typedef struct orvdev_adapter_selector {
    /** The USB vendor id, 0..0xFFFF; -1: any. */
    int32_t vid;
    /** The USB product id, 0..0xFFFF; -1: any. */
    int32_t pid;
    /** The bus number, 0..255; -1: any. */
    int32_t bus;
    /** The device number on the bus, 0..255; -1: any. */
    int32_t address;
    /** The serial number string, whole; NULL: any. */
    const char* serial;
} orvdev_adapter_selector;

/**
 * \brief Fills a selector that matches any adapter.
 *
 * \param[out] selector the selector; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_adapter_selector_init(orvdev_adapter_selector* selector);

/**
 * \brief Reads a selector written "VID:PID", "VID:PID:BUS:ADDR" or as a
 *        serial number.
 *
 * VID and PID in hex as lsusb prints them (1 to 4 digits, 0x optional), BUS
 * and ADDR in decimal (0 to 255); the serial is then left NULL. A text
 * without a colon is a serial number, whatever its characters (a serial of
 * hex digits too): every field but the serial is left -1 and the serial
 * points at text itself, which must stay valid while the selector is used.
 *
 * \param[in] text the text.
 * \param[out] selector receives the ids (and the bus and address), or the
 *        serial number.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report); its hint gives the form.
 * \retval 0 *selector holds what text says.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL text or selector, a text with
 *         a colon of another form, or a serial number that cannot be one
 *         (empty, of ORVDEV_USB_STRING_MAX characters or more, or with a
 *         character outside printable ASCII).
 * \onfailure *selector is unchanged.
 * \threadsafety Thread-safe: touches only its arguments.
 */
ORV_API int32_t orvdev_adapter_selector_parse(const char* text, orvdev_adapter_selector* selector,
                                              orvdev_report* report);

/** Why no adapter is listed or opened (orvdev_no_adapter.cause). */
enum orvdev_no_adapter_cause {
    /** An adapter was found (and opened). */
    ORVDEV_ADAPTER_FOUND = 0,
    /** No adapter matches the selector (or none is there at all). */
    ORVDEV_ADAPTER_NOT_FOUND = 1,
    /** More than one matches: orvdev_adapter_list() names them. */
    ORVDEV_ADAPTER_SEVERAL = 2,
    /** The system refused to open the adapter or to claim its interface:
     *  no permission (the udev rule). */
    ORVDEV_ADAPTER_PERMISSION = 3,
    /** /dev/bus/usb does not exist (a container without it): no program
     *  here can open a USB device. */
    ORVDEV_ADAPTER_NO_USBFS = 4,
    /** Another program has claimed the adapter's interface. */
    ORVDEV_ADAPTER_BUSY = 5,
    /** The adapter went away while it was being opened. */
    ORVDEV_ADAPTER_GONE = 6,
    /** libusb failed otherwise: it could not start, list the devices, open
     *  or claim the adapter (usb_code says how). */
    ORVDEV_ADAPTER_USB_FAILED = 7
};

/** Why no adapter is listed or opened, and what the host shows. */
typedef struct orvdev_no_adapter {
    /** An #orvdev_no_adapter_cause. */
    int32_t cause;
    /** libusb's code behind the cause; 0 for ORVDEV_ADAPTER_NOT_FOUND and
     *  ORVDEV_ADAPTER_SEVERAL. */
    int32_t usb_code;
    /** Adapters the selector matched. */
    uint32_t matches;
    /** The adapter that could not be opened (PERMISSION, BUSY, GONE, and
     *  USB_FAILED while opening it); all zeros otherwise. */
    orvdev_adapter_info adapter;
    /** Non-zero when /dev/bus/usb exists. */
    int32_t device_dir;
    /** The adapter's udev rule (60-orv-adapter.rules) where udev reads it,
     *  "" when it is in neither /etc/udev/rules.d nor /usr/lib/udev/rules.d. */
    char udev_rule[ORVDEV_PATH_MAX];
} orvdev_no_adapter;

/**
 * \brief Lists the adapters on the USB buses.
 *
 * Every device that looks like an adapter and matches the selector, in bus
 * and address order. Each is opened briefly to read its serial number and
 * product strings (one that cannot be opened is listed with open_error set);
 * nothing is sent to an adapter.
 *
 * \param[in] selector NULL for every adapter; with a serial, only adapters
 *        whose serial number could be read and is that one.
 * \param[out] adapters room for capacity entries; may be NULL when capacity
 *        is 0.
 * \param capacity entries that fit at adapters.
 * \param[out] count receives how many adapters match (more than capacity
 *        when they do not all fit: the first capacity are written).
 * \param[out] why NULL, or receives why none is listed (cause
 *        #ORVDEV_ADAPTER_FOUND when some are).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report), with a hint.
 * \retval 0 *count adapters match, at least one.
 * \retval ORVDEV_ERROR_NO_ADAPTER none matches (cause NOT_FOUND, or NO_USBFS
 *         where /dev/bus/usb is missing), or libusb could not list the
 *         devices (USB_FAILED).
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL count, a NULL adapters with a
 *         capacity, a selector field out of its range.
 * \onfailure *count is 0 (unchanged after ORVDEV_ERROR_INVALID_ARGUMENT);
 *         adapters is unchanged.
 * \threadsafety Thread-safe: each call uses a libusb context of its own.
 */
ORV_API int32_t orvdev_adapter_list(const orvdev_adapter_selector* selector, orvdev_adapter_info* adapters,
                                    uint32_t capacity, uint32_t* count, orvdev_no_adapter* why,
                                    orvdev_report* report);

/** An adapter opened with its interface claimed (orvdev_adapter_open()). */
typedef struct orvdev_adapter orvdev_adapter;

/**
 * \brief Opens the one adapter the selector matches and claims its
 *        interface.
 *
 * A kernel driver bound to the interface is detached while it is claimed.
 * Nothing is sent to the adapter: start a session on its handle
 * (orvdev_adapter_handle(), orvdev_session_open()).
 *
 * \param[in] selector NULL for the only adapter there is.
 * \param[out] out receives the adapter, to be closed with
 *        orvdev_adapter_close().
 * \param[out] why NULL, or receives why no adapter could be opened (cause
 *        #ORVDEV_ADAPTER_FOUND on success).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report), with a hint.
 * \retval 0 *out is the adapter.
 * \retval ORVDEV_ERROR_NO_ADAPTER none matches, several do, or the one that
 *         does cannot be opened or claimed: *why says which.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL out, a selector field out of
 *         its range.
 * \retval LIBUSB_ERROR_NO_MEM no memory.
 * \onfailure *out is unchanged; no device is left open.
 * \threadsafety Thread-safe: each adapter has a libusb context of its own.
 */
ORV_API int32_t orvdev_adapter_open(const orvdev_adapter_selector* selector, orvdev_adapter** out,
                                    orvdev_no_adapter* why, orvdev_report* report);

/**
 * \brief The libusb handle of an opened adapter, its interface claimed.
 *
 * \param[in] adapter the adapter.
 * \returns the handle, the adapter's until orvdev_adapter_close(); NULL for
 *          a NULL adapter.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads the adapter only.
 */
ORV_API libusb_device_handle* orvdev_adapter_handle(const orvdev_adapter* adapter);

/**
 * \brief What the bus says of an opened adapter.
 *
 * \param[in] adapter the adapter.
 * \param[out] info receives its ids, place and strings.
 * \onfailure Cannot fail; with a NULL adapter or info nothing is written.
 * \threadsafety Thread-safe: reads the adapter only.
 */
ORV_API void orvdev_adapter_get_info(const orvdev_adapter* adapter, orvdev_adapter_info* info);

/**
 * \brief Releases the adapter's interface and closes it.
 *
 * Sends nothing. Close the session on its handle first.
 *
 * \param adapter the adapter; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the adapter or its handle.
 */
ORV_API void orvdev_adapter_close(orvdev_adapter* adapter);

/* ------------------------------------------------------------------------ */
/* Session                                                                  */

/** An opened adapter as this library uses it (orvdev_session_open()). */
typedef struct orvdev_session orvdev_session;

/** Log levels of the log callback. */
enum orvdev_log_level {
    ORVDEV_LOG_INFO = 0,   /**< What the session did, as expected. */
    ORVDEV_LOG_WARNING = 1 /**< Bytes thrown away, or a purge that failed. */
};

/**
 * Told of what the session does on its own (bytes of stale read-back
 * thrown away, a purge that failed).
 * \param user the log_user of orvdev_session_options.
 * \param level an #orvdev_log_level.
 * \param message one line without a newline, valid during the call.
 */
typedef void (*orvdev_log_fn)(void* user, int32_t level, const char* message);

/** What the progress callback returns. */
enum orvdev_progress_answer {
    ORVDEV_CONTINUE = 0, /**< Go on. */
    ORVDEV_STOP = 1      /**< End the operation at the next safe point. */
};

/** Units of progress. */
enum orvdev_progress_unit {
    ORVDEV_UNIT_BYTES = 0,  /**< Bytes read, written or checked. */
    ORVDEV_UNIT_BLOCKS = 1, /**< Erase blocks. */
    ORVDEV_UNIT_ITEMS = 2   /**< Addresses probed, devices, patterns. */
};

/**
 * Told how far a long operation is. A stage starts with done 0.
 * \param user the user pointer given to orvdev_session_set_progress().
 * \param stage "read", "erase", "write", "verify", "check", "probe", "scan"
 *        or "test"; valid during the call.
 * \param done units done in the stage so far.
 * \param total units of the whole stage.
 * \param unit an #orvdev_progress_unit.
 * \returns #ORVDEV_CONTINUE, or #ORVDEV_STOP to end the operation at the
 *          next safe point.
 */
typedef int32_t (*orvdev_progress_fn)(void* user, const char* stage, uint64_t done, uint64_t total,
                                      int32_t unit);

/** Default time limit of one USB transfer. */
#define ORVDEV_DEFAULT_TIMEOUT_MS 1000u
/** Longest time limit of one I2C transfer: the I2C read-back waits up to
 *  10 x timeout polls of up to timeout each, so 31 ms keeps a dead adapter's
 *  cost of one transaction under 10 s. */
#define ORVDEV_I2C_MAX_TIMEOUT_MS 31u

/** How a session runs (orvdev_session_options_init() for the defaults). */
typedef struct orvdev_session_options {
    /** Per USB transfer, 1..600000 ms (0 is refused: it would let a
     *  read-back wait for ever). */
    uint32_t timeout_ms;
    /** May be NULL. */
    orvdev_log_fn log;
    /** Passed to log as its first argument. */
    void* log_user;
} orvdev_session_options;

/**
 * \brief Fills session options with the defaults.
 *
 * #ORVDEV_DEFAULT_TIMEOUT_MS per transfer, no log callback.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_session_options_init(orvdev_session_options* options);

/**
 * \brief Starts a session on an opened adapter.
 *
 * The caller has opened the adapter and claimed its interface. The session
 * empties the adapter's read-back (bytes another program or an earlier
 * failure left there; the log callback is told how many). The handle stays
 * the caller's: close the session, and every handle made from it, before
 * closing the handle.
 *
 * \param handle the claimed adapter; not NULL.
 * \param[in] options NULL for the defaults (orvdev_session_options_init()).
 * \param[out] out receives the session, to be closed with
 *        orvdev_session_close().
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the session; the read-back is empty.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or out, a timeout of
 *         0 or above 600000 ms; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the adapter kept reporting bytes: the
 *         read-back cannot be emptied.
 * \retval -1..-17 a bus code: a poll or read of the purge failed or was
 *         short.
 * \retval LIBUSB_ERROR_NO_MEM no memory for the session.
 * \onfailure *out is unchanged; no session exists.
 * \threadsafety One call at a time per adapter; sessions on different
 *         adapters are independent.
 */
ORV_API int32_t orvdev_session_open(libusb_device_handle* handle, const orvdev_session_options* options,
                                    orvdev_session** out, orvdev_report* report);

/**
 * \brief Ends a session.
 *
 * Sends nothing. Close every handle made from the session first.
 *
 * \param session the session; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the session or its handles.
 */
ORV_API void orvdev_session_close(orvdev_session* session);

/**
 * \brief Sets (or with NULL clears) the callback told of progress.
 *
 * \param session the session; NULL is accepted (nothing done).
 * \param progress the callback, or NULL for none.
 * \param user passed to progress as its first argument.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_session_set_progress(orvdev_session* session, orvdev_progress_fn progress, void* user);

/**
 * \brief Where the running operation is among its stages, for the progress
 *        callback.
 *
 * A flash write runs as up to four stages (read, erase, write, verify), an
 * erase as two (erase, check); called from the progress callback it says
 * which stage is being told of (from 1) and how many the operation has. The
 * count is first the most the operation may run and drops when a stage
 * turns out not to be needed (nothing to erase). Outside such an operation,
 * and for single-stage ones (read, verify, probe, scan), both are 0.
 *
 * \param session the session; NULL is accepted (both 0).
 * \param[out] index NULL, or receives the stage, from 1; 0 when none.
 * \param[out] count NULL, or receives the number of stages; 0 when none.
 * \onfailure Cannot fail.
 * \threadsafety From the progress callback, or one call at a time per
 *         session.
 */
ORV_API void orvdev_session_progress_stage(const orvdev_session* session, uint32_t* index, uint32_t* count);

/**
 * \brief Says that the caller used the adapter through the bus libraries.
 *
 * The next handle to run an operation sends its set-up (clock, pins, modes)
 * again. Sends nothing.
 *
 * \param session the session; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_session_touch(orvdev_session* session);

/**
 * \brief Tells the session the adapter's USB serial number.
 *
 * It names the recovery files of a failed flash write
 * (orvdev_flash_write()), so that two adapters' files are told apart.
 * Sends nothing.
 *
 * \param session the session; NULL is accepted (nothing done).
 * \param serial the serial number (copied, cut to 63 bytes); NULL or empty:
 *        not known.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_session_set_serial(orvdev_session* session, const char* serial);

/**
 * \brief Makes the adapter ready for the caller's own work through the bus
 *        libraries.
 *
 * When a failure left the read-back unsettled (its purge failed, or bytes
 * may have come late), empties it first, so that the caller's exchange does
 * not take them as its data; and the next handle sends its set-up again (as
 * orvdev_session_touch()). Sends nothing when the read-back is settled.
 *
 * \param session the session.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the adapter is the caller's.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back cannot be emptied.
 * \retval -1..-17 a bus code of the purge.
 * \onfailure The read-back stays unsettled: call again before the next try.
 *         The next handle sends its set-up again all the same.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_session_claim(orvdev_session* session, orvdev_report* report);

/**
 * \brief Empties the adapter's read-back now.
 *
 * Polls the adapter's count and reads what it holds until several polls in
 * a row find it empty.
 *
 * \param session the session.
 * \param[out] purged NULL, or receives the bytes thrown away.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the read-back is empty; *purged holds the count.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the adapter kept reporting bytes.
 * \retval -1..-17 a bus code: a poll or read failed or was short.
 * \onfailure *purged is unchanged; the read-back stays unsettled (emptied
 *         again before the next operation).
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_session_purge(orvdev_session* session, uint64_t* purged, orvdev_report* report);

/**
 * \brief Cleans up after a failure of the caller's own work on the adapter.
 *
 * After the caller's own work through the bus libraries failed: empties the
 * read-back, telling the log callback when that threw bytes away or failed,
 * leaves it unsettled (bytes may still come: orvdev_session_claim() and the
 * handles empty it again before the next operation), and makes the next
 * handle send its set-up again. The library does this itself after its own
 * operations fail.
 *
 * \param session the session; NULL is accepted (nothing done).
 * \onfailure Cannot fail: a purge that fails is told to the log callback.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_session_recover(orvdev_session* session);

/**
 * \brief The per-transfer time limit of a session.
 *
 * \param[in] session the session.
 * \returns the limit in milliseconds (of orvdev_session_options), or 0 for a
 *          NULL session.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API uint32_t orvdev_session_timeout(const orvdev_session* session);

/* ------------------------------------------------------------------------ */
/* Clocks                                                                   */

/** A clock as the adapter runs it. */
typedef struct orvdev_clock {
    /** The clock that runs: 60 MHz over the divisor, rounded down. */
    uint32_t actual_hz;
    /** The adapter's divisor, 1..255. */
    uint32_t divisor;
    /** What to pass the bus libraries for it (their clock_freq / freq). */
    uint32_t request_khz;
    /** Non-zero when the request was below the slowest clock (235.3 kHz),
     *  which it got instead. */
    int32_t raised;
} orvdev_clock;

/**
 * \brief The fastest clock the adapter makes that is not above a request.
 *
 * Nothing is sent. Below the slowest clock (235.3 kHz, 0 included) the
 * result is the slowest clock with raised set.
 *
 * \param khz the requested clock in kHz.
 * \returns the clock, always one the adapter makes.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: computes from its argument only.
 */
ORV_API orvdev_clock orvdev_clock_for_khz(uint32_t khz);

/**
 * \brief The period of a clock, in whole nanoseconds.
 *
 * Rounded up: never shorter than the clock that runs. Nothing is sent.
 *
 * \param clock a clock of this library (orvdev_clock_for_khz(),
 *        orvdev_jtag_port_set_tck()).
 * \returns the period of its divisor at the adapter's 60 MHz; 0 for a
 *          divisor of 0.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: computes from its argument only.
 */
ORV_API uint32_t orvdev_clock_period_ns(orvdev_clock clock);

/* ------------------------------------------------------------------------ */
/* Raw JTAG and SPI ports                                                   */

/*
 * A port is one user of the adapter, as a flash, a chain or an I2C bus is:
 * its set-up (clock, pins, modes) goes out before its first operation and
 * again whenever another handle or port, the caller's own work through the
 * bus libraries (orvdev_session_touch()) or a failure used the adapter in
 * between, and never otherwise. Opening a port sends nothing.
 *
 * A JTAG port runs clocks as the caller describes them, one by one (the
 * network bridges' clients and SVF players work this way), planned into the
 * fewest adapter commands: one OUT transfer and at most one read-back
 * exchange per batch of clocks whose read-back fits max_readback. An SPI
 * port runs one chip-select window at a time. For the caller's own
 * transactions through the bus libraries with a port's settings,
 * orvdev_jtag_port_claim() and orvdev_spi_port_claim() make the adapter the
 * port's first.
 */

/** The JTAG connector for clocks one by one (orvdev_jtag_port_open()). */
typedef struct orvdev_jtag_port orvdev_jtag_port;
/** The SPI connector for chip-select windows (orvdev_spi_port_open()). */
typedef struct orvdev_spi_port orvdev_spi_port;

/** How a JTAG port is set up (orvdev_jtag_port_options_init() for the
 *  defaults). */
typedef struct orvdev_jtag_port_options {
    /** TCK in kHz, above 0; the fastest clock not above it. */
    uint32_t tck_khz;
    /** Pin directions for tapwire_ioset (one bit per pin, set: output). */
    uint16_t direction;
    /** Pin levels for tapwire_ioset (the level driven on the outputs). */
    uint16_t level;
    /** Most read-back bytes of one exchange, 1..1048576: a longer read-back
     *  is cut into several batches. */
    uint32_t max_readback;
} orvdev_jtag_port_options;

/** One clock of orvdev_jtag_clocks(): a byte of these flags. */
enum orvdev_clock_flag {
    ORVDEV_CLOCK_TMS = 1,   /**< TMS high at the rising TCK edge. */
    ORVDEV_CLOCK_TDI = 2,   /**< TDI high at the rising TCK edge. */
    ORVDEV_CLOCK_SAMPLE = 4 /**< The TDO level at that edge is wanted. */
};

/** The TRST pin (orvdev_jtag_port_set_trst()). */
enum orvdev_trst {
    ORVDEV_TRST_ON = 0,  /**< Driven low: the TAPs are held in reset. */
    ORVDEV_TRST_OFF = 1, /**< Driven high. */
    ORVDEV_TRST_Z = 2    /**< Not driven. */
};

/** What a JTAG port's clocks cost on the wire (set-up and pin commands
 *  aside). */
typedef struct orvdev_jtag_port_stats {
    /** orvdev_jtag_clocks() calls with clocks: the caller's waits. */
    uint64_t runs;
    /** Clocks run. */
    uint64_t clocks;
    /** OUT transfers of their commands. */
    uint64_t out_transfers;
    /** Command bytes of those transfers. */
    uint64_t stream_bytes;
    /** Read-back exchanges. */
    uint64_t exchanges;
    /** Read-back bytes of those exchanges. */
    uint64_t readback_bytes;
} orvdev_jtag_port_stats;

/**
 * \brief Fills JTAG port options with the defaults.
 *
 * 1000 kHz, the connector's usual pins (TCK, TDI and TMS out, TMS high),
 * read-back exchanges of at most 512 bytes (the most any bus library call
 * asks of the adapter).
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_jtag_port_options_init(orvdev_jtag_port_options* options);

/**
 * \brief Opens a JTAG port on the session.
 *
 * Sends nothing: the clock and the pins go out before the port's first
 * operation.
 *
 * \param session the session.
 * \param[in] options NULL for the defaults (orvdev_jtag_port_options_init()).
 * \param[out] out receives the port, to be closed with
 *        orvdev_jtag_port_close() before the session.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the port.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session or out, a TCK of 0, a
 *         read-back bound of 0 or above 1048576.
 * \retval LIBUSB_ERROR_NO_MEM no memory for the port.
 * \onfailure *out is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_port_open(orvdev_session* session, const orvdev_jtag_port_options* options,
                                      orvdev_jtag_port** out, orvdev_report* report);

/**
 * \brief Closes a JTAG port.
 *
 * Sends nothing: the TAPs and the pins stay as they are.
 *
 * \param port the port; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_jtag_port_close(orvdev_jtag_port* port);

/**
 * \brief Runs clocks on the JTAG connector and returns the TDO of those
 *        sampled.
 *
 * Each clock is a byte of #orvdev_clock_flag: the TMS and TDI levels at its
 * rising TCK edge, and whether the TDO level at that edge is wanted. The
 * port's set-up goes first when the adapter does not hold it. The clocks
 * are planned into the JTAG library's own command forms and sent in
 * batches, one OUT transfer and at most one read-back exchange each.
 *
 * \param port the port.
 * \param[in] clocks count clock bytes; may be NULL when count is 0.
 * \param count the clocks; 0 sends nothing.
 * \param[out] tdo receives the TDO level (0 or 1) of each sampled clock, one
 *        byte each, in clock order; NULL when none is sampled.
 * \param tdo_size bytes of tdo, at least the sampled clocks.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 every clock ran; tdo holds one level per sampled clock.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port, NULL clocks with a
 *         count, a clock byte with other bits than #orvdev_clock_flag's,
 *         less room in tdo than sampled clocks; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code: the set-up or a batch failed.
 * \onfailure tdo may hold the levels of the batches before the one that
 *         failed; how many clocks ran is not known. The next call sends the
 *         set-up again.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_clocks(orvdev_jtag_port* port, const uint8_t* clocks, size_t count, uint8_t* tdo,
                                   size_t tdo_size, orvdev_report* report);

/**
 * \brief Changes a JTAG port's TCK.
 *
 * The fastest clock not above hz (below the slowest clock, the slowest, with
 * raised set). Sent at once (tapwire_tckset) while the adapter holds the
 * port's set-up, else with the set-up before the port's next operation.
 *
 * \param port the port.
 * \param hz the clock asked for, in Hz.
 * \param[out] chosen NULL, or receives the clock chosen.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the port runs at *chosen from now on.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code of the clock command.
 * \onfailure The port keeps the new clock (in *chosen, when given) and
 *         sends its whole set-up before its next operation.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_port_set_tck(orvdev_jtag_port* port, uint64_t hz, orvdev_clock* chosen,
                                         orvdev_report* report);

/**
 * \brief Changes a JTAG port's pins.
 *
 * Sent at once (tapwire_ioset) while the adapter holds the port's set-up,
 * else with the set-up before the port's next operation. TMS takes the level
 * given.
 *
 * \param port the port.
 * \param direction pin directions (one bit per pin, set: output).
 * \param level pin levels driven on the outputs.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the pins are the port's from now on.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code of the pin command.
 * \onfailure The port keeps the new pins and sends its whole set-up before
 *         its next operation.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_port_set_pins(orvdev_jtag_port* port, uint16_t direction, uint16_t level,
                                          orvdev_report* report);

/**
 * \brief Drives or lets go the TRST pin of a JTAG port.
 *
 * The port's pins change in their TRST bit only; the port's set-up goes
 * first when the adapter does not hold it (and drives TRST then), else one
 * pin command for the low pin group (which drives TMS to the pins' level
 * too). Clocks run as before.
 *
 * \param port the port.
 * \param trst an #orvdev_trst.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 TRST is as asked.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port, trst not an
 *         #orvdev_trst; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code of the set-up or the pin command.
 * \onfailure The port keeps the new TRST level and sends its whole set-up
 *         before its next operation.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_port_set_trst(orvdev_jtag_port* port, int32_t trst, orvdev_report* report);

/**
 * \brief Makes the adapter a JTAG port's for the caller's own work through
 *        the JTAG library.
 *
 * Empties a read-back an earlier failure left unsettled, then sends the
 * port's set-up when the adapter does not hold it. The caller's scans must
 * leave the clock and the pins as they are (else call
 * orvdev_session_touch() after them); after a scan of the caller's that
 * failed, call orvdev_session_recover().
 *
 * \param port the port.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the adapter holds the port's set-up and an empty read-back.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back cannot be emptied.
 * \retval -1..-17 a bus code of the purge or the set-up.
 * \onfailure The adapter is nobody's: the next operation of any handle or
 *         port sends its set-up again.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_port_claim(orvdev_jtag_port* port, orvdev_report* report);

/**
 * \brief What a JTAG port's clocks have cost since it opened.
 *
 * \param[in] port the port.
 * \param[out] stats receives the counts; set-up and pin commands are not
 *        among them.
 * \onfailure Cannot fail: with a NULL port or stats nothing is done.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_jtag_port_get_stats(const orvdev_jtag_port* port, orvdev_jtag_port_stats* stats);

/** How an SPI port is set up (orvdev_spi_port_options_init() for the
 *  defaults). */
typedef struct orvdev_spi_port_options {
    /** The clock in kHz, above 0; the fastest clock not above it. */
    uint32_t clock_khz;
    /** SPI mode 0 (clock idles low) or 3 (idles high): the adapter samples
     *  on the edge its clock polarity gives, so modes 1 and 2 are refused. */
    uint32_t mode;
    /** Non-zero: least significant bit first. */
    int32_t lsb_first;
    /** Non-zero: chip select active high. */
    int32_t cs_active_high;
} orvdev_spi_port_options;

/**
 * \brief Fills SPI port options with the defaults.
 *
 * 6000 kHz, mode 0, most significant bit first, chip select active low.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_spi_port_options_init(orvdev_spi_port_options* options);

/**
 * \brief Opens an SPI port on the session.
 *
 * Sends nothing: the set-up (lumo_spi_set_config) goes out before the
 * port's first operation.
 *
 * \param session the session.
 * \param[in] options NULL for the defaults (orvdev_spi_port_options_init()).
 * \param[out] out receives the port, to be closed with
 *        orvdev_spi_port_close() before the session.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the port.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session or out, a clock of
 *         0, a mode other than 0 and 3.
 * \retval LIBUSB_ERROR_NO_MEM no memory for the port.
 * \onfailure *out is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_spi_port_open(orvdev_session* session, const orvdev_spi_port_options* options,
                                     orvdev_spi_port** out, orvdev_report* report);

/**
 * \brief Closes an SPI port.
 *
 * Sends nothing.
 *
 * \param port the port; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_spi_port_close(orvdev_spi_port* port);

/**
 * \brief One chip-select window: bytes written, then bytes read.
 *
 * One SPI transaction: with nothing to read, the first byte as the command
 * byte and the rest as data; a read after at most five bytes, as a command
 * byte and up to four address bytes (in the order written); else, when
 * write_size + read_size is at most 512, one full-duplex data phase whose
 * bytes sampled during the write are dropped (0xFF clocked out during the
 * read). The port's set-up goes first when the adapter does not hold it.
 *
 * \param port the port.
 * \param[in] write write_size bytes; may be NULL when write_size is 0.
 * \param write_size bytes to write.
 * \param[out] read receives read_size bytes; may be NULL when read_size is
 *        0.
 * \param read_size bytes to read, at most 512 (LUMO_SPI_MAX_READ_BYTES).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the window ran; read holds its bytes. Nothing is sent when both
 *         sizes are 0.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port, a NULL buffer with a
 *         size, a window that is not one transaction (more than five bytes
 *         before a read and more than 512 in all, or more than 512 read);
 *         nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code of the set-up or the transaction.
 * \onfailure read may hold part of the bytes.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_spi_transfer(orvdev_spi_port* port, const uint8_t* write, size_t write_size,
                                    uint8_t* read, size_t read_size, orvdev_report* report);

/**
 * \brief Changes an SPI port's clock.
 *
 * The fastest clock not above hz (below the slowest clock, the slowest, with
 * raised set). The set-up goes out again at once while the adapter holds the
 * port's, else before the port's next operation.
 *
 * \param port the port.
 * \param hz the clock asked for, in Hz.
 * \param[out] chosen NULL, or receives the clock chosen.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the port runs at *chosen from now on.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code of the set-up.
 * \onfailure The port keeps the new clock (in *chosen, when given) and
 *         sends its set-up before its next operation.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_spi_port_set_clock(orvdev_spi_port* port, uint64_t hz, orvdev_clock* chosen,
                                          orvdev_report* report);

/**
 * \brief Makes the adapter an SPI port's for the caller's own work through
 *        the SPI library.
 *
 * Empties a read-back an earlier failure left unsettled, then sends the
 * port's set-up when the adapter does not hold it. The caller's
 * transactions must leave the set-up as it is (else call
 * orvdev_session_touch() after them); after a transaction of the caller's
 * that failed, call orvdev_session_recover().
 *
 * \param port the port.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the adapter holds the port's set-up and an empty read-back.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port; nothing sent.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back cannot be emptied.
 * \retval -1..-17 a bus code of the purge or the set-up.
 * \onfailure The adapter is nobody's: the next operation of any handle or
 *         port sends its set-up again.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_spi_port_claim(orvdev_spi_port* port, orvdev_report* report);

/**
 * \brief The windows an SPI port has sent since it opened.
 *
 * \param[in] port the port.
 * \returns the orvdev_spi_transfer() calls that sent a transaction, failed
 *          ones included; 0 for a NULL port.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API uint64_t orvdev_spi_port_transfers(const orvdev_spi_port* port);

/* ------------------------------------------------------------------------ */
/* JTAG chain                                                               */

/** The JTAG connector, set up for a chain (orvdev_jtag_open()). */
typedef struct orvdev_jtag orvdev_jtag;

/** TAPs of one chain at most (orvdev_chain.taps). */
#define ORVDEV_JTAG_MAX_DEVICES 64u

/** How the JTAG connector is set up (orvdev_jtag_options_init() for the
 *  defaults). */
typedef struct orvdev_jtag_options {
    /** TCK in kHz; the fastest clock not above it (orvdev_clock_for_khz). */
    uint32_t tck_khz;
    /** Pin directions for tapwire_ioset (one bit per pin, set: output). */
    uint16_t direction;
    /** Pin levels for tapwire_ioset (the level driven on the outputs). */
    uint16_t level;
} orvdev_jtag_options;

/**
 * \brief Fills JTAG options with the defaults.
 *
 * 1000 kHz and the connector's usual pins: TCK, TDI and TMS out, TMS high.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_jtag_options_init(orvdev_jtag_options* options);

/**
 * \brief Sets the JTAG connector up for a chain.
 *
 * Sends the clock and the pins (tapwire_tckset, tapwire_ioset). The handle
 * sends them again whenever another handle or the caller used the adapter
 * in between.
 *
 * \param session the session.
 * \param[in] options NULL for the defaults (orvdev_jtag_options_init()).
 * \param[out] out receives the handle, to be closed with
 *        orvdev_jtag_close() before the session.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the handle.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session or out, a TCK of 0;
 *         nothing sent.
 * \retval -1..-17 a bus code of the set-up.
 * \onfailure *out is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_open(orvdev_session* session, const orvdev_jtag_options* options,
                                 orvdev_jtag** out, orvdev_report* report);
/**
 * \brief Closes a JTAG handle.
 *
 * Sends nothing: the TAPs stay where they are. Close every boundary-scan
 * handle made with it first.
 *
 * \param jtag the handle; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_jtag_close(orvdev_jtag* jtag);
/**
 * \brief The clock a JTAG chain runs at.
 *
 * \param[in] jtag the handle.
 * \returns the clock chosen for tck_khz; all zeros for a NULL handle.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API orvdev_clock orvdev_jtag_clock(const orvdev_jtag* jtag);

/** One TAP of a scanned chain. */
typedef struct orvdev_tap {
    /** Non-zero when the device loads an IDCODE at reset (else it came up in
     *  BYPASS and the fields below are 0). */
    int32_t has_idcode;
    /** The IDCODE as read. */
    uint32_t idcode;
    /** IDCODE bits 11..1: the JEP106 code (continuation count, id). */
    uint16_t manufacturer;
    /** JEP106 bank, 1-based. */
    uint32_t jep106_bank;
    /** The 7-bit JEP106 id within the bank. */
    uint8_t jep106_id;
    /** IDCODE bits 27..12: the part number. */
    uint16_t part;
    /** IDCODE bits 31..28: the version. */
    uint8_t version;
    /** The JEP106 name, or NULL when the code is not listed. Static. */
    const char* vendor;
    /** Non-zero when the IR capture pattern told the length. */
    int32_t ir_length_known;
    /** The instruction register's length in bits; 0 when not known. */
    uint32_t ir_length;
} orvdev_tap;

/** A scanned JTAG chain. */
typedef struct orvdev_chain {
    /** TAPs found, up to ORVDEV_JTAG_MAX_DEVICES. */
    uint32_t count;
    /** The IR lengths summed. */
    uint32_t ir_total;
    /** taps[0] is nearest TDO. */
    orvdev_tap taps[ORVDEV_JTAG_MAX_DEVICES];
} orvdev_chain;

/**
 * \brief Resets the TAPs and measures the chain.
 *
 * Finds the summed IR length, the device count (up to
 * #ORVDEV_JTAG_MAX_DEVICES), the IDCODEs and each IR length where the
 * capture pattern tells it. Leaves the TAPs in Run-Test/Idle. Progress
 * stage "scan".
 *
 * \param jtag the handle.
 * \param[out] chain receives the chain.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *chain holds the chain.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or chain; nothing
 *         sent.
 * \retval ORVDEV_ERROR_CHAIN_SILENT TDO stays high: no device answers.
 * \retval ORVDEV_ERROR_CHAIN_NO_TAP TDO follows TDI: no TAP in the chain.
 * \retval ORVDEV_ERROR_CHAIN_BROKEN the measurements do not add up.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure *chain is unchanged. The TAPs may be in any state; the next
 *         scan resets them.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_chain_scan(orvdev_jtag* jtag, orvdev_chain* chain, orvdev_report* report);

/**
 * \brief Decodes an IDCODE.
 *
 * Fills the IDCODE fields of tap (has_idcode set) and clears the others
 * (the IR length unknown). Nothing is sent.
 *
 * \param idcode the 32-bit IDCODE.
 * \param[out] tap the TAP to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its arguments and constant tables.
 */
ORV_API void orvdev_idcode_decode(uint32_t idcode, orvdev_tap* tap);

/** Which register a raw scan goes through. */
enum orvdev_jtag_register {
    ORVDEV_JTAG_IR = 0, /**< The instruction registers of the chain. */
    ORVDEV_JTAG_DR = 1  /**< The selected data registers of the chain. */
};

/** One raw scan. Bit i of a bit string is bit (i mod 8) of byte (i div 8),
 *  bit 0 first out. */
typedef struct orvdev_raw_scan {
    /** #ORVDEV_JTAG_IR or #ORVDEV_JTAG_DR. */
    int32_t reg;
    /** The scan's length in bits, above 0. */
    uint32_t bits;
    /** (bits + 7) / 8 bytes to shift in. */
    const uint8_t* tdi;
    /** Non-zero: reset the TAPs first; else one clock with TMS low takes
     *  them from Run-Test/Idle or Test-Logic-Reset to Run-Test/Idle, keeping
     *  their instructions. */
    int32_t reset;
    /** A data scan can load an instruction first (0 bits: none). */
    uint32_t ir_bits;
    /** (ir_bits + 7) / 8 bytes of that instruction; NULL when ir_bits is 0. */
    const uint8_t* ir;
} orvdev_raw_scan;

/**
 * \brief Shifts one raw scan, ending in Run-Test/Idle.
 *
 * \param jtag the handle.
 * \param[in] scan the scan.
 * \param[out] tdo receives (bits + 7) / 8 bytes of TDO.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 tdo holds the scan's TDO; the TAPs are in Run-Test/Idle.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, scan, tdi or tdo, no
 *         bits, reg not an #orvdev_jtag_register, an instruction without
 *         its bytes or before an IR scan; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure tdo is unchanged. The TAPs may be in any state.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_jtag_raw_scan(orvdev_jtag* jtag, const orvdev_raw_scan* scan, uint8_t* tdo,
                                     orvdev_report* report);

/* ------------------------------------------------------------------------ */
/* SPI NOR flash                                                            */

/** A 25-series SPI NOR flash on the SPI connector, identified
 *  (orvdev_flash_open()). */
typedef struct orvdev_flash orvdev_flash;

/** Erase sizes of one part at most. */
#define ORVDEV_FLASH_ERASE_TYPES_MAX 8u
/** Room for orvdev_flash_info.part, the terminating NUL included. */
#define ORVDEV_NAME_MAX 64

/** How a flash is opened (orvdev_flash_options_init() for the defaults). */
typedef struct orvdev_flash_options {
    /** SPI clock in kHz; the fastest clock not above it. */
    uint32_t clock_khz;
    /** NULL: identify the part. Else a part table name ("W25Q32", or with
     *  the maker, "Winbond W25Q32"; see orvdev_flash_part_name) whose
     *  parameters are used whatever the part says. */
    const char* part;
    /** 0: as identified. Else the size in bytes to use (a power of two,
     *  256 bytes to 4 GiB), for parts without SFDP whose capacity byte lies. */
    uint64_t size;
} orvdev_flash_options;

/**
 * \brief Fills flash options with the defaults.
 *
 * 6000 kHz, the part identified, no size override.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_flash_options_init(orvdev_flash_options* options);

/** Where the parameters came from. */
enum orvdev_flash_source {
    ORVDEV_SOURCE_SFDP = 0,     /**< The part's SFDP tables. */
    ORVDEV_SOURCE_TABLE = 1,    /**< The library's part table, by JEDEC ID. */
    ORVDEV_SOURCE_CAPACITY = 2, /**< The JEDEC ID's capacity byte alone. */
    ORVDEV_SOURCE_OVERRIDE = 3  /**< The caller's part or size. */
};

/** How addresses past the third byte reach a part above 16 MiB. */
enum orvdev_four_byte {
    ORVDEV_ADDRESS_3 = 0,            /**< Three bytes reach the whole part. */
    ORVDEV_ADDRESS_4_OPCODES = 1,    /**< 4-byte opcodes (0x13, 0x0C, 0x12, 0x21, ...). */
    ORVDEV_ADDRESS_4_ENTER = 2,      /**< 0xB7 enters 4-byte address mode. */
    ORVDEV_ADDRESS_4_ENTER_WREN = 3, /**< Write enable, then 0xB7. */
    ORVDEV_ADDRESS_4_ALWAYS = 4      /**< The part always takes four bytes. */
};

/** One erase command of a part. */
typedef struct orvdev_erase_type {
    /** Bytes one command erases. */
    uint32_t size;
    /** The command with 3-byte addresses. */
    uint8_t opcode;
    /** The command with 4-byte addresses; 0 when the part has none. */
    uint8_t opcode_4byte;
    /** Typical time of one erase in microseconds. */
    uint32_t typical_us;
    /** Longest time of one erase in microseconds: the busy wait's limit. */
    uint32_t max_us;
} orvdev_erase_type;

/** What is known of an opened flash (orvdev_flash_get_info()). */
typedef struct orvdev_flash_info {
    /** Manufacturer, memory type, capacity (after continuation codes). */
    uint8_t jedec_id[3];
    /** JEP106 bank of the manufacturer code (1 + continuation codes). */
    uint32_t jep106_bank;
    /** The JEP106 name (NULL: not listed), and the name the flash's maker
     *  goes by today where the part table knows it (NULL otherwise): JEP106
     *  lists 0xEF as "NEXCOM", the maker of W25Q parts is Winbond. Static. */
    const char* vendor;
    /** The maker's name of today (see vendor); NULL when not known. Static. */
    const char* maker;
    /** "Winbond W25Q32" when the part table knows the id; else empty. */
    char part[ORVDEV_NAME_MAX];
    /** An #orvdev_flash_source. */
    int32_t source;
    /** The size in bytes in use. */
    uint64_t size;
    /** 2^capacity byte when plausible, else 0. */
    uint64_t capacity_size;
    /** Bytes of one page program. */
    uint32_t page_size;
    /** Smallest first. */
    orvdev_erase_type erase_types[ORVDEV_FLASH_ERASE_TYPES_MAX];
    /** Entries of erase_types in use. */
    uint32_t erase_type_count;
    /** The chip erase command. */
    uint8_t chip_erase_opcode;
    /** Typical time of one page program in microseconds. */
    uint32_t page_program_us;
    /** Longest time of one page program in microseconds. */
    uint32_t page_program_max_us;
    /** Typical time of a chip erase in microseconds. */
    uint64_t chip_erase_us;
    /** Longest time of a chip erase in microseconds. */
    uint64_t chip_erase_max_us;
    /** Non-zero: reads use fast read (0x0B with 8 dummy clocks). */
    int32_t fast_read;
    /** An #orvdev_four_byte. */
    int32_t four_byte;
    /** The SPI clock. */
    orvdev_clock clock;
} orvdev_flash_info;

/**
 * \brief Sets the SPI connector up and identifies the flash on it.
 *
 * Configures the SPI connector, reads the JEDEC ID (waiting first for a
 * flash still busy with an earlier program or erase), then the parameters:
 * the SFDP tables, else the part table, else the capacity byte; or the
 * overrides. A part above 16 MiB is set up for 4-byte addresses.
 *
 * \param session the session.
 * \param[in] options NULL for the defaults (orvdev_flash_options_init()).
 * \param[out] out receives the handle, to be closed with
 *        orvdev_flash_close() before the session.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the handle.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session or out, a clock of 0,
 *         a size that is not a power of two from 256 bytes to 4 GiB;
 *         nothing sent.
 * \retval ORVDEV_ERROR_UNKNOWN_PART options->part is not in the part table;
 *         nothing sent.
 * \retval ORVDEV_ERROR_NO_FLASH the JEDEC ID reads all zeros or all ones.
 * \retval ORVDEV_ERROR_FLASH_UNKNOWN the size cannot be told: give it.
 * \retval ORVDEV_ERROR_FLASH_BUSY the flash stayed busy.
 * \retval -1..-17 a bus code.
 * \onfailure *out is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_open(orvdev_session* session, const orvdev_flash_options* options,
                                  orvdev_flash** out, orvdev_report* report);
/**
 * \brief Closes a flash handle.
 *
 * Leaves 4-byte address mode when open entered it (a boot ROM expects
 * three-byte addresses).
 *
 * \param flash the handle; NULL is accepted.
 * \onfailure Cannot fail: a failed exit from 4-byte mode is not reported.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_flash_close(orvdev_flash* flash);
/**
 * \brief What is known of an opened flash.
 *
 * Nothing is sent.
 *
 * \param[in] flash the handle.
 * \param[out] info receives the identification and parameters.
 * \onfailure Cannot fail; with a NULL flash or info nothing is written.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_flash_get_info(const orvdev_flash* flash, orvdev_flash_info* info);

/**
 * \brief The name of a parameter source.
 *
 * \param source an #orvdev_flash_source.
 * \returns the name; "?" for other values. Static, never NULL.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: constant texts.
 */
ORV_API const char* orvdev_flash_source_name(int32_t source);
/**
 * \brief The name of an addressing mode ("3-byte", ...).
 *
 * \param four_byte an #orvdev_four_byte.
 * \returns the name; "?" for other values. Static, never NULL.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: constant texts.
 */
ORV_API const char* orvdev_flash_four_byte_name(int32_t four_byte);

/**
 * \brief The names of the part table, one by one.
 *
 * \param index from 0.
 * \returns the maker and part ("Winbond W25Q32"), as orvdev_flash_options
 *          takes it; NULL past the end. Static.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: a constant table.
 */
ORV_API const char* orvdev_flash_part_name(size_t index);

/**
 * \brief Reads a range of the flash.
 *
 * Reads [addr, addr + len) into buf in chunks (progress stage "read").
 *
 * \param flash the handle.
 * \param addr the first byte.
 * \param[out] buf room for len bytes.
 * \param len bytes to read; 0 reads nothing.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 buf holds the bytes.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, or a NULL buf with a
 *         length; nothing sent.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range goes past the end of the
 *         part; nothing sent.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop; the
 *         report's done says how far the read got.
 * \retval -1..-17 a bus code.
 * \onfailure buf may hold the chunks read before the failure, never more
 *         than len bytes.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_read(orvdev_flash* flash, uint64_t addr, uint8_t* buf, uint64_t len,
                                  orvdev_report* report);

/** Erased blocks of one size. */
typedef struct orvdev_erase_count {
    /** The block size in bytes. */
    uint32_t size;
    /** Blocks of that size erased. */
    uint64_t count;
} orvdev_erase_count;

/** What a write did, or had done when it stopped. */
typedef struct orvdev_write_report {
    /** The write's first byte. */
    uint64_t addr;
    /** The write's length. */
    uint64_t len;
    /** Bytes of [addr, addr + len) the flash already held as wanted. */
    uint64_t unchanged_bytes;
    /** Non-zero when the whole chip was erased at once. */
    int32_t chip_erased;
    /** Sizes with at least one block erased, smallest first. */
    orvdev_erase_count erased[ORVDEV_FLASH_ERASE_TYPES_MAX];
    /** Entries of erased in use. */
    uint32_t erased_count;
    /** Pages programmed. */
    uint64_t pages_programmed;
    /** Non-zero when a read-back was asked for. */
    int32_t verify;
    /** Bytes read back and found as written. */
    uint64_t verified_bytes;
    /** Erase commands the plan needs. */
    uint64_t erases_planned;
    /** Page programs the plan needs. */
    uint64_t pages_planned;
    /** The whole blocks the write touches: read first, and kept until the
     *  write is done (a failure puts their old content back). */
    uint64_t range_addr;
    /** The length of those blocks (see range_addr). */
    uint64_t range_len;
} orvdev_write_report;

/** How a flash write runs (orvdev_write_options_init() for the defaults). */
typedef struct orvdev_write_options {
    /** Non-zero: read back every byte erased or programmed. */
    int32_t verify;
    /** NULL: none. Else the old content of the whole blocks the write
     *  touches (range_addr, range_len of the result) is saved to this file
     *  before anything is erased. */
    const char* backup_file;
    /** Where a failed write saves what it could not put back; NULL: the
     *  working directory. When that directory takes no file, the home
     *  directory, then the temporary directory (TMPDIR, /tmp) do. */
    const char* recovery_dir;
} orvdev_write_options;

/**
 * \brief Fills write options with the defaults.
 *
 * Verify, no backup, recovery files in the working directory.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_write_options_init(orvdev_write_options* options);

/**
 * \brief Writes data into the flash, keeping what it held around it.
 *
 * Reads the blocks the write touches, erases only blocks where a bit must
 * rise (the erase sizes that take least time), programs only pages that
 * change, then (verify) reads back what it erased or programmed. Stages
 * "read", "erase", "write", "verify". A block counts as erased from the
 * moment its erase command is sent. When a step fails (or is stopped) after
 * an erase, the write waits (bounded) until the flash is ready, programs the
 * old bytes of the erased blocks outside [addr, addr + len) back once and
 * reads them back; only bytes read back as they were count as restored
 * (report.done: "restored" with the bytes of how many). When any other is
 * left, the blocks' old content is saved to a new file,
 * flash-recovery-SERIAL-ADDR-PID-N.bin (the session's serial number when it
 * has one, result.range_addr, the process, a count), created only where no
 * file has that name and written whole or not at all; report.recovery_file
 * names it, and the message says which bytes were not put back. It is to be
 * written at result.range_addr. After any failure the next operation on the
 * flash first waits until it is ready.
 *
 * \param flash the handle.
 * \param addr the first byte to write.
 * \param[in] data len bytes.
 * \param len bytes to write, above 0.
 * \param[in] options NULL for the defaults (orvdev_write_options_init()).
 * \param[out] result NULL, or receives what the write did.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the flash holds data at addr (verified when asked).
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or data, a length of
 *         0, or a backup file that cannot be written; nothing erased.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range goes past the end of the
 *         part; nothing sent.
 * \retval ORVDEV_ERROR_FLASH_PROTECTED the range is write-protected;
 *         nothing erased.
 * \retval ORVDEV_ERROR_FLASH_NO_ERASE the part names no usable erase.
 * \retval ORVDEV_ERROR_FLASH_WRITE_ENABLE the write enable latch did not
 *         set.
 * \retval ORVDEV_ERROR_FLASH_BUSY an erase or program did not end in time.
 * \retval ORVDEV_ERROR_MISMATCH the read-back differs from what was
 *         written.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure *result (when given) says what had been done, and is all zeros
 *         after a refused argument. The flash may hold part of data; the
 *         blocks' old content outside [addr, addr + len) was put back, or
 *         report.recovery_file names the file that keeps it (empty when
 *         no directory took it: the message says why).
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_write(orvdev_flash* flash, uint64_t addr, const uint8_t* data, uint64_t len,
                                   const orvdev_write_options* options, orvdev_write_report* result,
                                   orvdev_report* report);

/** The first difference found by a verify. */
typedef struct orvdev_mismatch {
    /** Where the first difference is. */
    uint64_t addr;
    /** The byte given there. */
    uint8_t expected;
    /** The byte the flash holds there. */
    uint8_t found;
    /** Differing bytes in all. */
    uint64_t count;
} orvdev_mismatch;

/**
 * \brief Compares a range of the flash with data.
 *
 * Reads [addr, addr + len) and compares it with data (stage "verify").
 *
 * \param flash the handle.
 * \param addr the first byte.
 * \param[in] data len bytes to compare with.
 * \param len bytes to compare; 0 compares nothing.
 * \param[out] mismatch NULL, or receives the first difference.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the flash holds data.
 * \retval ORVDEV_ERROR_MISMATCH it differs: *mismatch says where first and
 *         how many bytes in all.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, or a NULL data with a
 *         length; nothing sent.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range goes past the end of the
 *         part; nothing sent.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure *mismatch is all zeros unless the result is
 *         ORVDEV_ERROR_MISMATCH.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_verify(orvdev_flash* flash, uint64_t addr, const uint8_t* data, uint64_t len,
                                    orvdev_mismatch* mismatch, orvdev_report* report);

/** What an erase did. */
typedef struct orvdev_erase_report {
    /** Non-zero when the chip erase command was used. */
    int32_t chip_erased;
    /** Sizes with at least one block erased, smallest first. */
    orvdev_erase_count erased[ORVDEV_FLASH_ERASE_TYPES_MAX];
    /** Entries of erased in use. */
    uint32_t erased_count;
    /** Bytes read back as 0xFF. */
    uint64_t checked_bytes;
} orvdev_erase_report;

/**
 * \brief Erases a range of the flash, or the whole chip, and checks it.
 *
 * Erases [addr, addr + len) in whole blocks of the smallest erase size
 * (addr and len multiples of it), or with chip the whole chip, then reads
 * the range back and checks that it is all 0xFF (stages "erase", "check").
 *
 * \param flash the handle.
 * \param addr the first byte; ignored with chip.
 * \param len bytes to erase, above 0; ignored with chip.
 * \param chip non-zero: erase the whole chip.
 * \param[out] result NULL, or receives what was erased.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the range reads as 0xFF.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, a length of 0, a
 *         range not made of whole blocks; nothing sent.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range goes past the end of the
 *         part; nothing sent.
 * \retval ORVDEV_ERROR_FLASH_PROTECTED the range is write-protected;
 *         nothing erased.
 * \retval ORVDEV_ERROR_FLASH_NO_ERASE the part names no usable erase.
 * \retval ORVDEV_ERROR_FLASH_WRITE_ENABLE the write enable latch did not
 *         set.
 * \retval ORVDEV_ERROR_FLASH_BUSY an erase did not end in time.
 * \retval ORVDEV_ERROR_MISMATCH the check found bytes other than 0xFF.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop (between
 *         erase commands).
 * \retval -1..-17 a bus code.
 * \onfailure *result is all zeros; the report's done says what had been
 *         erased. Part of the range may be erased.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_erase(orvdev_flash* flash, uint64_t addr, uint64_t len, int32_t chip,
                                   orvdev_erase_report* result, orvdev_report* report);

/** Status register 1 decoded as W25Q-style parts lay it out. */
typedef struct orvdev_flash_status {
    /** Status register 1 (0x05). */
    uint8_t status1;
    /** Status register 2 (0x35); 0xFF when the part has none. */
    uint8_t status2;
    /** Status register 3 (0x15); 0xFF when the part has none. */
    uint8_t status3;
    /** BUSY (WIP): a program, erase or status write runs. */
    int32_t busy;
    /** WEL: the write enable latch is set. */
    int32_t write_enabled;
    /** The block protect bits BP0.. as a number. */
    uint32_t bp;
    /** TB: BP counts from the bottom. */
    int32_t tb;
    /** SEC: BP counts in 4 KiB sectors. */
    int32_t sec;
    /** SRP: the status register is protected (by WP#). */
    int32_t srp;
    /** CMP of status register 2: the range below is the complement of the
     *  one BP, TB and SEC name. */
    int32_t cmp;
    /** The protected range [protected_from, protected_to); equal when
     *  nothing is protected. */
    uint64_t protected_from;
    /** The end of the protected range (see protected_from). */
    uint64_t protected_to;
} orvdev_flash_status;

/**
 * \brief Reads and decodes the status registers.
 *
 * \param flash the handle.
 * \param[out] status receives the registers and the protected range.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *status holds the registers.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or status; nothing
 *         sent.
 * \retval -1..-17 a bus code.
 * \onfailure *status is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_read_status(orvdev_flash* flash, orvdev_flash_status* status,
                                         orvdev_report* report);

/**
 * \brief Decodes status register values as orvdev_flash_read_status() does.
 *
 * Nothing is sent: for values read earlier (the before and after of
 * orvdev_flash_unprotect()).
 *
 * \param status1 status register 1.
 * \param status2 status register 2; 0xFF for a part without one (its CMP
 *        bit is then not taken).
 * \param status3 status register 3; 0xFF for a part without one.
 * \param size the part's size in bytes, for the protected range.
 * \param[out] status receives the registers decoded; NULL is accepted
 *        (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its arguments.
 */
ORV_API void orvdev_flash_status_decode(uint8_t status1, uint8_t status2, uint8_t status3, uint64_t size,
                                        orvdev_flash_status* status);

/**
 * \brief Lifts the flash's block protection.
 *
 * Clears BP, TB, SEC and SRP in status register 1.
 *
 * \param flash the handle.
 * \param[out] before NULL, or receives status register 1 before.
 * \param[out] after NULL, or receives status register 1 after.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 nothing is protected (also when nothing was).
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle; nothing sent.
 * \retval ORVDEV_ERROR_FLASH_LOCKED SRP is set and WP# low.
 * \retval ORVDEV_ERROR_FLASH_STATUS_REFUSED the register kept its bits.
 * \retval ORVDEV_ERROR_FLASH_WRITE_ENABLE the write enable latch did not
 *         set.
 * \retval ORVDEV_ERROR_FLASH_BUSY the status write did not end in time.
 * \retval -1..-17 a bus code.
 * \onfailure *before and *after are unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_unprotect(orvdev_flash* flash, uint8_t* before, uint8_t* after,
                                       orvdev_report* report);

/** A range of the flash. */
typedef struct orvdev_range {
    /** The first byte. */
    uint64_t addr;
    /** The length in bytes. */
    uint64_t len;
} orvdev_range;

/** Ranges orvdev_flash_protectable() gives at most. */
#define ORVDEV_PROTECTABLE_MAX 64u

/**
 * \brief Protects exactly a range against program and erase.
 *
 * Sets the BP, TB and SEC bits of status register 1 and, on parts with a
 * status register 2, its CMP bit; the other status bits are kept.
 *
 * \param flash the handle.
 * \param addr the first byte.
 * \param len the length; 0 protects nothing.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 exactly [addr, addr + len) is protected.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, or the part cannot
 *         protect that range alone (the report lists the ranges it can);
 *         nothing written.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range goes past the end of the
 *         part; nothing sent.
 * \retval ORVDEV_ERROR_FLASH_LOCKED SRP is set.
 * \retval ORVDEV_ERROR_FLASH_STATUS_REFUSED the register kept its bits.
 * \retval ORVDEV_ERROR_FLASH_WRITE_ENABLE the write enable latch did not
 *         set.
 * \retval ORVDEV_ERROR_FLASH_BUSY the status write did not end in time.
 * \retval -1..-17 a bus code.
 * \onfailure Nothing of the caller's is written. The protection may have
 *         changed when a status write failed: read it back
 *         (orvdev_flash_read_status()).
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_protect(orvdev_flash* flash, uint64_t addr, uint64_t len, orvdev_report* report);

/**
 * \brief The ranges orvdev_flash_protect() can set on this part.
 *
 * Sorted; at most #ORVDEV_PROTECTABLE_MAX.
 *
 * \param flash the handle.
 * \param[out] ranges room for capacity ranges.
 * \param capacity entries that fit at ranges; more ranges are left out.
 * \param[out] count receives the ranges written.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 ranges holds *count ranges.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or count, a NULL
 *         ranges with a capacity; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure *count is 0 (unchanged after ORVDEV_ERROR_INVALID_ARGUMENT);
 *         ranges is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_protectable(orvdev_flash* flash, orvdev_range* ranges, uint32_t capacity,
                                         uint32_t* count, orvdev_report* report);

/**
 * \brief Reads bytes of the SFDP space.
 *
 * Command 0x5A with 3-byte addresses and 8 dummy clocks.
 *
 * \param flash the handle.
 * \param addr the first byte in the SFDP space.
 * \param[out] buf room for len bytes.
 * \param len bytes to read; addr + len at most 16 MiB.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 buf holds the bytes.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or buf, a range past
 *         3-byte addresses; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure buf may hold part of the bytes, never more than len.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_read_sfdp(orvdev_flash* flash, uint32_t addr, uint8_t* buf, uint32_t len,
                                       orvdev_report* report);

/** One parameter table the SFDP header lists. */
typedef struct orvdev_sfdp_table {
    /** MSB << 8 | LSB: 0xFF00 the basic table, 0xFF84 4-byte instructions. */
    uint16_t id;
    /** The table's major revision. */
    uint8_t major;
    /** The table's minor revision. */
    uint8_t minor;
    /** The table's length in 32-bit words. */
    uint32_t dwords;
    /** Byte address in the SFDP space. */
    uint32_t pointer;
} orvdev_sfdp_table;

/** Parameter tables orvdev_flash_sfdp_tables() gives at most. */
#define ORVDEV_SFDP_TABLES_MAX 32u

/**
 * \brief The SFDP header's revision and its parameter headers.
 *
 * \param flash the handle.
 * \param[out] major NULL, or receives the SFDP major revision.
 * \param[out] minor NULL, or receives the SFDP minor revision.
 * \param[out] tables room for #ORVDEV_SFDP_TABLES_MAX entries.
 * \param[out] count receives the tables written.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 tables holds *count tables.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, tables or count;
 *         nothing sent.
 * \retval ORVDEV_ERROR_NO_SFDP the header has no "SFDP" signature.
 * \retval -1..-17 a bus code.
 * \onfailure *count is 0 (unchanged after ORVDEV_ERROR_INVALID_ARGUMENT)
 *         and tables is unchanged; *major and *minor may hold the revision
 *         when the parameter headers' read failed.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_sfdp_tables(orvdev_flash* flash, uint8_t* major, uint8_t* minor,
                                         orvdev_sfdp_table* tables, uint32_t* count, orvdev_report* report);

/* ------------------------------------------------------------------------ */
/* flashrom's layouts                                                       */
/*
 * A layout file names regions of a flash, one a line, as flashrom reads
 * them: "START:END NAME", START and END in hex (0x optional), END the
 * region's last byte. Beyond flashrom, blank lines, lines whose first word
 * starts with '#' and a '#' comment after the name are taken. A file is
 * refused, with the line and column, for a line of another form, a number
 * that is not hex or lies past four address bytes, END before START, a name
 * given twice, longer than 255 characters or with control characters, and
 * regions that overlap. Reading, writing and verifying over a layout work on
 * the bytes of the regions chosen (orvdev_layout_include()) alone; a chosen
 * region past the end of the flash is refused with its line.
 */

/** A layout file, read (orvdev_layout_load()). */
typedef struct orvdev_layout orvdev_layout;

/**
 * \brief Reads a layout file.
 *
 * Nothing is sent. No region is chosen yet.
 *
 * \param[in] path the file (at most 16 MiB).
 * \param[out] out receives the layout, to be freed with orvdev_layout_free().
 * \param[out] where NULL, or filled when the result is
 *        ORVDEV_ERROR_BAD_INPUT: the file, line and column, and what was
 *        expected there; else all zeros.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the layout.
 * \retval ORVDEV_ERROR_BAD_INPUT the file is unreadable or refused.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL path or out.
 * \retval LIBUSB_ERROR_NO_MEM out of memory.
 * \onfailure *out is unchanged; *where says why after
 *         ORVDEV_ERROR_BAD_INPUT (unchanged after
 *         ORVDEV_ERROR_INVALID_ARGUMENT).
 * \threadsafety Thread-safe: reads the file into a new object.
 */
ORV_API int32_t orvdev_layout_load(const char* path, orvdev_layout** out, orvdev_input_error* where,
                                   orvdev_report* report);

/**
 * \brief Reads a layout from text, as orvdev_layout_load() reads a file.
 *
 * \param[in] text len bytes; may be NULL when len is 0.
 * \param len the text's length.
 * \param[in] name what to call the text in messages (its file's name).
 * \param[out] out receives the layout, to be freed with orvdev_layout_free().
 * \param[out] where NULL, or filled when the result is
 *        ORVDEV_ERROR_BAD_INPUT; else all zeros.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the layout.
 * \retval ORVDEV_ERROR_BAD_INPUT the text is refused.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL name or out, a NULL text with
 *         a length.
 * \retval LIBUSB_ERROR_NO_MEM out of memory.
 * \onfailure As orvdev_layout_load().
 * \threadsafety Thread-safe: reads the text into a new object.
 */
ORV_API int32_t orvdev_layout_parse(const char* text, size_t len, const char* name, orvdev_layout** out,
                                    orvdev_input_error* where, orvdev_report* report);

/**
 * \brief Frees a layout.
 *
 * \param layout the layout; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the layout.
 */
ORV_API void orvdev_layout_free(orvdev_layout* layout);

/** A region of a layout. */
typedef struct orvdev_layout_region {
    /** Its name; lives as long as the layout. */
    const char* name;
    /** Its first byte. */
    uint64_t start;
    /** Its last byte. */
    uint64_t end;
    /** Its line in the file, from 1. */
    uint32_t line;
    /** Non-zero when it is chosen (orvdev_layout_include()). */
    int32_t included;
} orvdev_layout_region;

/**
 * \brief How many regions a layout has.
 *
 * \param[in] layout the layout.
 * \returns the regions, in the file's order; 0 for a NULL layout.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads the layout only.
 */
ORV_API uint32_t orvdev_layout_region_count(const orvdev_layout* layout);

/**
 * \brief A region of a layout.
 *
 * \param[in] layout the layout.
 * \param index from 0, in the file's order.
 * \param[out] region receives the region.
 * \retval 0 *region is the region.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL layout or region, an index
 *         past the end.
 * \onfailure *region is unchanged.
 * \threadsafety Thread-safe: reads the layout only.
 */
ORV_API int32_t orvdev_layout_get_region(const orvdev_layout* layout, uint32_t index,
                                         orvdev_layout_region* region);

/**
 * \brief Chooses a region to work on (flashrom's --include).
 *
 * Choosing a region twice is choosing it once.
 *
 * \param layout the layout.
 * \param[in] name the region's name, as the file writes it.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the region is chosen.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL layout or name, or a name
 *         the layout does not have (the hint lists those it has).
 * \onfailure The regions chosen stay as they were.
 * \threadsafety Not while another call uses the layout.
 */
ORV_API int32_t orvdev_layout_include(orvdev_layout* layout, const char* name, orvdev_report* report);

/** What an operation over a layout covered. */
typedef struct orvdev_layout_result {
    /** The chosen regions with bytes in the range. */
    uint32_t regions;
    /** The contiguous pieces they make, adjacent regions joined. */
    uint32_t spans;
    /** The bytes read, written or compared: those of the chosen regions
     *  within the range. */
    uint64_t bytes;
} orvdev_layout_result;

/**
 * \brief Reads the chosen regions' bytes of a range of the flash.
 *
 * The rest of the buffer reads as erased flash (0xFF), as flashrom leaves
 * it. Stage "read" for each piece.
 *
 * \param flash the handle.
 * \param[in] layout the layout, with the regions to read chosen.
 * \param addr the range's first byte.
 * \param[out] buf room for len bytes.
 * \param len the range's length, above 0.
 * \param[out] covered NULL, or receives what was read.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 buf holds the range.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, layout or buf, a
 *         length of 0, no region chosen or none in the range; nothing sent.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range, or a chosen region (its line
 *         named), goes past the end of the part; nothing sent.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure buf may hold part of the bytes, never more than len; *covered
 *         is all zeros.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_layout_read(orvdev_flash* flash, const orvdev_layout* layout, uint64_t addr,
                                   uint8_t* buf, uint64_t len, orvdev_layout_result* covered,
                                   orvdev_report* report);

/**
 * \brief Writes the chosen regions' bytes of an image into the flash.
 *
 * The smart write of orvdev_flash_write() on each piece the chosen regions
 * make of [addr, addr + len); the flash outside them keeps what it holds.
 * With options->backup_file, one backup is saved before anything is erased:
 * the whole blocks from the first piece's to the last one's (result's
 * range_addr and range_len), to be written back at range_addr.
 *
 * \param flash the handle.
 * \param[in] layout the layout, with the regions to write chosen.
 * \param addr where the image's first byte goes.
 * \param[in] data len bytes: the image.
 * \param len the image's length, above 0.
 * \param[in] options NULL for the defaults (orvdev_write_options_init()).
 * \param[out] result NULL, or receives what the write did, the pieces added
 *        up: len is the bytes written, addr the first of them.
 * \param[out] covered NULL, or receives what was written.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the flash holds the chosen regions' bytes of the image
 *         (verified when asked).
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, layout or data, a
 *         length of 0, no region chosen or none in the range, a backup file
 *         that cannot be written; nothing erased.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range, or a chosen region (its line
 *         named), goes past the end of the part; nothing sent.
 * \retval ORVDEV_ERROR_FLASH_PROTECTED a piece is write-protected.
 * \retval ORVDEV_ERROR_FLASH_NO_ERASE the part names no usable erase.
 * \retval ORVDEV_ERROR_FLASH_WRITE_ENABLE the write enable latch did not
 *         set.
 * \retval ORVDEV_ERROR_FLASH_BUSY an erase or program did not end in time.
 * \retval ORVDEV_ERROR_MISMATCH the read-back differs from what was
 *         written.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure *result says what had been done (all zeros after a refused
 *         argument), its range_addr and range_len those of the piece that
 *         failed: where report.recovery_file's content goes. *covered is all
 *         zeros. The pieces before the one that failed are written; that one
 *         fails as orvdev_flash_write() does.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_layout_write(orvdev_flash* flash, const orvdev_layout* layout, uint64_t addr,
                                    const uint8_t* data, uint64_t len, const orvdev_write_options* options,
                                    orvdev_write_report* result, orvdev_layout_result* covered,
                                    orvdev_report* report);

/**
 * \brief Compares the chosen regions' bytes of a range of the flash with an
 *        image.
 *
 * Stage "verify" for each piece.
 *
 * \param flash the handle.
 * \param[in] layout the layout, with the regions to compare chosen.
 * \param addr where the image's first byte lies.
 * \param[in] data len bytes: the image.
 * \param len the image's length, above 0.
 * \param[out] mismatch NULL, or receives the first difference and how many
 *        bytes of the chosen regions differ in all.
 * \param[out] covered NULL, or receives what was compared (also when the
 *        result is ORVDEV_ERROR_MISMATCH).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the flash holds the chosen regions' bytes of the image.
 * \retval ORVDEV_ERROR_MISMATCH it differs: *mismatch says where first and
 *         how many bytes in all.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, layout or data, a
 *         length of 0, no region chosen or none in the range; nothing sent.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the range, or a chosen region (its line
 *         named), goes past the end of the part; nothing sent.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure *mismatch is all zeros unless the result is
 *         ORVDEV_ERROR_MISMATCH; *covered is all zeros unless it is 0 or
 *         ORVDEV_ERROR_MISMATCH.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_layout_verify(orvdev_flash* flash, const orvdev_layout* layout, uint64_t addr,
                                     const uint8_t* data, uint64_t len, orvdev_mismatch* mismatch,
                                     orvdev_layout_result* covered, orvdev_report* report);

/* ------------------------------------------------------------------------ */
/* I2C                                                                      */

/** The I2C connector, set up as a bus master (orvdev_i2c_open()). */
typedef struct orvdev_i2c orvdev_i2c;

/** How the I2C connector is set up (orvdev_i2c_options_init() for the
 *  defaults). */
typedef struct orvdev_i2c_options {
    /** Bus clock in kHz; the fastest clock not above it. The adapter's
     *  slowest is 235.3 kHz: below it the clock is raised, see raised in
     *  orvdev_i2c_clock(). */
    uint32_t clock_khz;
    /** Non-zero: addresses are 10-bit (0x000..0x3FF), else 7-bit. */
    int32_t ten_bit;
} orvdev_i2c_options;

/**
 * \brief Fills I2C options with the defaults.
 *
 * 400 kHz, 7-bit addresses.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_i2c_options_init(orvdev_i2c_options* options);

/**
 * \brief Sets the I2C connector up as a bus master.
 *
 * Sends the bus set-up (lumo_iic_init). Every transfer of the handle has a time
 * limit of the session's, at most #ORVDEV_I2C_MAX_TIMEOUT_MS.
 *
 * \param session the session.
 * \param[in] options NULL for the defaults (orvdev_i2c_options_init()).
 * \param[out] out receives the handle, to be closed with
 *        orvdev_i2c_close() before the session.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the handle.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL session or out, a clock of
 *         0; nothing sent.
 * \retval -1..-17 a bus code of the set-up.
 * \onfailure *out is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_open(orvdev_session* session, const orvdev_i2c_options* options, orvdev_i2c** out,
                                orvdev_report* report);
/**
 * \brief Closes an I2C handle.
 *
 * Sends nothing.
 *
 * \param i2c the handle; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_i2c_close(orvdev_i2c* i2c);
/**
 * \brief The clock an I2C bus runs at.
 *
 * \param[in] i2c the handle.
 * \returns the clock chosen for clock_khz (raised set when it is faster
 *          than asked); all zeros for a NULL handle.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API orvdev_clock orvdev_i2c_clock(const orvdev_i2c* i2c);

/** How an address is probed. */
enum orvdev_i2c_probe {
    /** As i2cdetect: a read of one byte at 0x30-0x37 and 0x50-0x5F (EEPROMs
     *  take a quick write as the start of a write), else a quick write. */
    ORVDEV_PROBE_AUTO = 0,
    /** The address alone, write bit. */
    ORVDEV_PROBE_QUICK_WRITE = 1,
    /** The address with the read bit and one byte read. */
    ORVDEV_PROBE_READ_BYTE = 2
};

/**
 * \brief Tells whether a device acknowledges an address.
 *
 * \param i2c the handle.
 * \param addr the address, 0x00..0x7F (10-bit: 0x000..0x3FF).
 * \param mode an #orvdev_i2c_probe; with #ORVDEV_PROBE_AUTO on 10-bit
 *        addresses, a quick write.
 * \param[out] present receives 1 when a device acknowledged, else 0.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *present says whether a device answered.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or present, an
 *         unknown mode, an address the bus cannot reach; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure *present is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_probe(orvdev_i2c* i2c, uint32_t addr, int32_t mode, int32_t* present,
                                 orvdev_report* report);

/**
 * \brief Probes a range of addresses, as i2cdetect does.
 *
 * Probes first..last in order (progress stage "probe"). With
 * #ORVDEV_PROBE_AUTO on 10-bit addresses every address gets a quick write.
 *
 * \param i2c the handle.
 * \param first the first address.
 * \param last the last address, not below first and one the bus reaches.
 * \param mode an #orvdev_i2c_probe.
 * \param[out] present last - first + 1 bytes: present[k] receives 1 when
 *        first + k answered, else 0.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 present holds the answers.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or present, an
 *         unknown mode, first above last, last out of the bus's addresses;
 *         nothing sent.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure present is all zeros (unchanged after
 *         ORVDEV_ERROR_INVALID_ARGUMENT).
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_detect(orvdev_i2c* i2c, uint32_t first, uint32_t last, int32_t mode,
                                  uint8_t* present, orvdev_report* report);

/**
 * \brief Writes bytes to a device in one transaction.
 *
 * START, the address, the bytes, STOP.
 *
 * \param i2c the handle.
 * \param addr the device's address.
 * \param[in] data len bytes.
 * \param len bytes to write, 1..4088.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the device took every byte.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or data, a length
 *         outside 1..4088, an address the bus cannot reach; nothing sent.
 * \retval ORVDEV_ERROR_I2C_NO_ACK no device acknowledged the address.
 * \retval ORVDEV_ERROR_I2C_DATA_NACK (len up to 511) the device refused a
 *         data byte; the report's byte_index names it, from 0.
 * \retval ORVDEV_ERROR_I2C_WRITE_FAILED (len 512 and more) a data byte was
 *         refused or the adapter's answer came up short (the bus library
 *         cannot tell which).
 * \retval -1..-17 a bus code.
 * \onfailure Nothing of the caller's is written. The device may have taken
 *         some of the bytes.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_write(orvdev_i2c* i2c, uint32_t addr, const uint8_t* data, uint32_t len,
                                 orvdev_report* report);

/**
 * \brief Reads bytes from a device.
 *
 * Any length, in transactions of at most 511 bytes (progress stage "read").
 * The device's own pointer says where from.
 *
 * \param i2c the handle.
 * \param addr the device's address.
 * \param[out] buf room for len bytes.
 * \param len bytes to read, above 0.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 buf holds the bytes.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or buf, a length of
 *         0, an address the bus cannot reach; nothing sent.
 * \retval ORVDEV_ERROR_I2C_NO_ACK no device acknowledged the address.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure buf may hold the transactions read before the failure, never
 *         more than len bytes.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_read(orvdev_i2c* i2c, uint32_t addr, uint8_t* buf, uint32_t len,
                                orvdev_report* report);

/**
 * \brief Reads bytes from a register (or memory offset) of a device.
 *
 * A write of the register number ending in STOP, then the reads as
 * orvdev_i2c_read().
 *
 * \param i2c the handle.
 * \param addr the device's address.
 * \param reg the register or offset; must fit reg_bytes.
 * \param reg_bytes address bytes, 1, or 2 for 24C32 and larger EEPROMs
 *        (most significant byte first).
 * \param[out] buf room for len bytes.
 * \param len bytes to read, above 0.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 buf holds the bytes.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or buf, a length of
 *         0, an address the bus cannot reach, reg_bytes not 1 or 2, reg too
 *         large for them; nothing sent.
 * \retval ORVDEV_ERROR_I2C_NO_ACK no device acknowledged the address.
 * \retval ORVDEV_ERROR_I2C_WRITE_FAILED the register number was refused or
 *         the adapter's answer came up short.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop.
 * \retval -1..-17 a bus code.
 * \onfailure buf may hold part of the bytes, never more than len.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_read_reg(orvdev_i2c* i2c, uint32_t addr, uint32_t reg, int32_t reg_bytes,
                                    uint8_t* buf, uint32_t len, orvdev_report* report);

/**
 * \brief Writes bytes to a register of a device in one transaction.
 *
 * START, the address, the register number, the bytes, STOP.
 *
 * \param i2c the handle.
 * \param addr the device's address.
 * \param reg the register or offset; must fit reg_bytes.
 * \param reg_bytes address bytes, 1 or 2 (most significant byte first).
 * \param[in] data len bytes; may be NULL when len is 0.
 * \param len bytes to write, 0..4086 (0: the register number alone).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the device took every byte.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, a NULL data with a
 *         length, a length above 4086, an address the bus cannot reach,
 *         reg_bytes not 1 or 2, reg too large for them; nothing sent.
 * \retval ORVDEV_ERROR_I2C_NO_ACK no device acknowledged the address.
 * \retval ORVDEV_ERROR_I2C_WRITE_FAILED a byte was refused or the adapter's
 *         answer came up short.
 * \retval -1..-17 a bus code.
 * \onfailure Nothing of the caller's is written. The device may have taken
 *         some of the bytes.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_write_reg(orvdev_i2c* i2c, uint32_t addr, uint32_t reg, int32_t reg_bytes,
                                     const uint8_t* data, uint32_t len, orvdev_report* report);

/**
 * \brief Writes bytes into an EEPROM, page by page, with the write-cycle
 *        wait.
 *
 * One page write at a time, never across a page boundary (where the EEPROM
 * would wrap), each followed by the write cycle: acknowledge polling until
 * the EEPROM answers again, up to write_cycle_ms. Progress stage "write".
 *
 * \param i2c the handle.
 * \param addr the EEPROM's address.
 * \param offset the first byte in the EEPROM; offset + len - 1 must fit
 *        offset_bytes.
 * \param offset_bytes address bytes, 1 or 2 (24C32 and larger).
 * \param page_size the EEPROM's page, 1..256, a power of two.
 * \param[in] data len bytes.
 * \param len bytes to write, above 0.
 * \param write_cycle_ms the longest write cycle to wait for; 0: 10 ms (the
 *        24Cxx maximum) times 2.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the EEPROM holds data at offset.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or data, a length of
 *         0, an address the bus cannot reach, offset_bytes not 1 or 2, a
 *         range too large for them, a page size that is not a power of two
 *         up to 256; nothing sent.
 * \retval ORVDEV_ERROR_I2C_NO_ACK no device acknowledged the address.
 * \retval ORVDEV_ERROR_I2C_BUSY the EEPROM did not finish a write cycle in
 *         time.
 * \retval ORVDEV_ERROR_I2C_WRITE_FAILED a byte was refused or the adapter's
 *         answer came up short.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop (between
 *         pages).
 * \retval -1..-17 a bus code.
 * \onfailure Nothing of the caller's is written. The pages before the
 *         failure are written (the report's done says how many bytes).
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_eeprom_write(orvdev_i2c* i2c, uint32_t addr, uint32_t offset, int32_t offset_bytes,
                                        uint32_t page_size, const uint8_t* data, uint32_t len,
                                        uint32_t write_cycle_ms, orvdev_report* report);

/** One message of a combined transaction. */
typedef struct orvdev_i2c_message {
    /** The device's address. */
    uint32_t addr;
    /** Non-zero: read `len` bytes into buf; else write `len` bytes from buf. */
    int32_t read;
    /** Bytes of the message; a read needs at least 1. */
    uint32_t len;
    /** len bytes; may be NULL when len is 0. */
    uint8_t* buf;
} orvdev_i2c_message;

/** Messages of one orvdev_i2c_transfer() at most. */
#define ORVDEV_I2C_MAX_MESSAGES 42u

/**
 * \brief Runs messages as one transaction with repeated STARTs, as
 *        i2ctransfer does.
 *
 * START, each message with its address, a repeated START between messages,
 * STOP at the end; no STOP in between, for devices that lose their register
 * pointer on STOP. One OUT transfer and one read-back exchange: the
 * acknowledges and the bytes read must fit 512 read-back bytes (one per
 * message and one per byte read; about 500 bytes read, or 4000 written). A
 * write message of no bytes is the address alone.
 *
 * \param i2c the handle.
 * \param[in,out] messages count messages; the read messages' buffers
 *        receive the bytes read.
 * \param count messages, 1 to #ORVDEV_I2C_MAX_MESSAGES.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 every message ran; the read messages' buffers hold the bytes.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or messages, no
 *         messages or more than #ORVDEV_I2C_MAX_MESSAGES, a message without
 *         its buffer, a read of 0 bytes, an address the bus cannot reach,
 *         too long for one exchange; nothing sent.
 * \retval ORVDEV_ERROR_I2C_NO_ACK an address went unanswered:
 *         report.message_index is its message, report.byte_index -1.
 * \retval ORVDEV_ERROR_I2C_DATA_NACK a data byte was refused:
 *         report.message_index and report.byte_index say which, the byte
 *         counted within its message.
 * \retval -1..-17 a bus code.
 * \onfailure The read messages' buffers may hold part of their bytes,
 *         never more than their len. The device may have taken the bytes
 *         written before the refused one.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_transfer(orvdev_i2c* i2c, orvdev_i2c_message* messages, uint32_t count,
                                    orvdev_report* report);

/* ------------------------------------------------------------------------ */
/* Boundary scan                                                            */
/*
 * A device's pins through its boundary register (IEEE 1149.1), described by
 * its BSDL file: sampling every pin, driving pins, and the interconnect test
 * of a netlist. Every operation is one sequence of IR and DR scans: one OUT
 * transfer and one read-back exchange while its read-back fits the bound of
 * 512 bytes, as few as it allows beyond. TAPs that take no part in an
 * operation are in BYPASS during it.
 *
 * Texts (names, ports, paths) returned by these functions stay valid while
 * the object they came from lives: a BSDL file's while the file, or a
 * boundary-scan handle opened with it, lives.
 */

/** A BSDL file, read (orvdev_bsdl_load()). */
typedef struct orvdev_bsdl orvdev_bsdl;

/**
 * \brief Reads a BSDL file.
 *
 * IEEE 1149.1-1990, -1994 or -2001. Parts of the language a boundary-scan
 * tool does not need are skipped and listed as notices
 * (orvdev_bsdl_get_notice()), never a failure. Nothing is sent.
 *
 * \param[in] path the file.
 * \param[out] out receives the file, to be freed with orvdev_bsdl_free().
 * \param[out] where NULL, or filled when the result is
 *        ORVDEV_ERROR_BAD_INPUT: the file, line and column, and what was
 *        expected there; else all zeros.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the file.
 * \retval ORVDEV_ERROR_BAD_INPUT the file is unreadable, broken or
 *         contradicts itself.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL path or out.
 * \retval LIBUSB_ERROR_NO_MEM out of memory.
 * \onfailure *out is unchanged; *where says why after
 *         ORVDEV_ERROR_BAD_INPUT (unchanged after
 *         ORVDEV_ERROR_INVALID_ARGUMENT).
 * \threadsafety Thread-safe: reads the file into a new object.
 */
ORV_API int32_t orvdev_bsdl_load(const char* path, orvdev_bsdl** out, orvdev_input_error* where,
                                 orvdev_report* report);
/**
 * \brief Frees a BSDL file.
 *
 * Handles opened with the file keep what they need; texts taken from the
 * file alone end with it.
 *
 * \param file the file; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the file.
 */
ORV_API void orvdev_bsdl_free(orvdev_bsdl* file);

/** What a BSDL file says of its device (orvdev_bsdl_get_info()). */
typedef struct orvdev_bsdl_info {
    /** The file's path as given. */
    const char* path;
    /** The entity: the device's name in the file. */
    const char* entity;
    /** The package of the use clause: "STD_1149_1_2001". */
    const char* standard;
    /** The instruction register's length in bits. */
    uint32_t instruction_length;
    /** The boundary register's length in cells. */
    uint32_t boundary_length;
    /** Non-zero when the file gives an IDCODE; then bits of idcode_care
     *  that are 1 must match (the others are the file's X bits, read 0). */
    int32_t has_idcode;
    /** The file's IDCODE, X bits 0. */
    uint32_t idcode;
    /** The IDCODE bits that must match (see has_idcode). */
    uint32_t idcode_care;
    /** Pins with boundary cells (orvdev_bsdl_get_pin). */
    uint32_t pin_count;
    /** Instructions the file names (orvdev_bsdl_instruction). */
    uint32_t instruction_count;
    /** Notices of what the reader skipped (orvdev_bsdl_get_notice). */
    uint32_t notice_count;
} orvdev_bsdl_info;

/**
 * \brief What a BSDL file says of its device.
 *
 * \param[in] file the file.
 * \param[out] info receives the summary; its texts live as long as file.
 * \onfailure Cannot fail; with a NULL file or info nothing is written.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API void orvdev_bsdl_get_info(const orvdev_bsdl* file, orvdev_bsdl_info* info);

/**
 * \brief An instruction of a BSDL file.
 *
 * \param[in] file the file.
 * \param index from 0, in the file's order.
 * \param[out] is_private NULL, or receives 1 for a private instruction,
 *        else 0.
 * \returns the instruction's name, living as long as file; NULL past the end
 *          or for a NULL file.
 * \onfailure *is_private is unchanged when the result is NULL.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API const char* orvdev_bsdl_instruction(const orvdev_bsdl* file, uint32_t index, int32_t* is_private);

/**
 * \brief An opcode of an instruction of a BSDL file.
 *
 * \param[in] file the file.
 * \param instruction from 0, in the file's order (orvdev_bsdl_instruction()).
 * \param index from 0: an instruction may have several opcodes.
 * \returns the opcode as the file writes it, 0, 1 and X, the bit shifted
 *          first last ("00010"), living as long as file; NULL past the end
 *          or for a NULL file.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API const char* orvdev_bsdl_opcode(const orvdev_bsdl* file, uint32_t instruction, uint32_t index);

/** More of what a BSDL file says (orvdev_bsdl_get_details()). */
typedef struct orvdev_bsdl_details {
    /** What the instruction register captures (INSTRUCTION_CAPTURE), as
     *  opcodes are written; "" when the file does not say. */
    const char* instruction_capture;
    /** The pin map in use (the package); "" when the file maps no package
     *  pins. */
    const char* pin_map;
    /** COMPONENT_CONFORMANCE; "" when the file does not say. */
    const char* conformance;
    /** Ports the file declares, with or without boundary cells. */
    uint32_t port_count;
} orvdev_bsdl_details;

/**
 * \brief More of what a BSDL file says of its device.
 *
 * \param[in] file the file.
 * \param[out] details receives them; its texts live as long as file.
 * \onfailure Cannot fail; with a NULL file or details nothing is written.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API void orvdev_bsdl_get_details(const orvdev_bsdl* file, orvdev_bsdl_details* details);

/** What the reader skipped, at its line and column. */
typedef struct orvdev_bsdl_notice {
    /** 1-based line. */
    uint32_t line;
    /** 1-based column. */
    uint32_t column;
    /** What was skipped; lives as long as the file. */
    const char* text;
} orvdev_bsdl_notice;

/**
 * \brief A notice of what the reader skipped in a BSDL file.
 *
 * \param[in] file the file.
 * \param index from 0, below notice_count of orvdev_bsdl_info.
 * \param[out] notice receives the notice.
 * \retval 0 *notice is the notice.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL file or notice, an index
 *         past the end.
 * \onfailure *notice is unchanged.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API int32_t orvdev_bsdl_get_notice(const orvdev_bsdl* file, uint32_t index, orvdev_bsdl_notice* notice);

/** What a pin can do, by its boundary cells. */
enum orvdev_pin_direction {
    ORVDEV_PIN_IN = 0,    /**< Observed only. */
    ORVDEV_PIN_OUT = 1,   /**< A two-state output: drives at all times in EXTEST. */
    ORVDEV_PIN_INOUT = 2, /**< Drives or lets go, and is observed. */
    ORVDEV_PIN_OUT3 = 3   /**< Drives or lets go (open drain too), not observed. */
};

/** A pin with boundary cells, and what a scan saw of it. */
typedef struct orvdev_bscan_pin {
    /** The port name, a vector's element as "D(3)". */
    const char* port;
    /** The first package pin of the pin map in use; "" when it names none. */
    const char* package_pin;
    /** An #orvdev_pin_direction. */
    int32_t direction;
    /** The level the pin shows; for an output without an input cell, the
     *  level the device drives; -1 when nothing is seen (an output that
     *  lets go and has no input cell, and before any scan). */
    int32_t value;
    /** Non-zero when the device drives the pin (outputs only). */
    int32_t driven;
} orvdev_bscan_pin;

/**
 * \brief A pin of a BSDL file as the file describes it.
 *
 * value is -1 and driven 0: nothing is scanned.
 *
 * \param[in] file the file.
 * \param index from 0, below pin_count of orvdev_bsdl_info.
 * \param[out] pin receives the pin; its texts live as long as file.
 * \retval 0 *pin is the pin.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL file or pin, an index past
 *         the end.
 * \onfailure *pin is unchanged.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API int32_t orvdev_bsdl_get_pin(const orvdev_bsdl* file, uint32_t index, orvdev_bscan_pin* pin);

/** The boundary cells of a pin (orvdev_bsdl_get_cells()): cell numbers,
 *  cell 0 nearest TDO, -1 for none. */
typedef struct orvdev_bsdl_cells {
    /** The cell that captures the pin. */
    int32_t input;
    /** The cell that drives it. */
    int32_t output;
    /** The output's enable; the output cell itself for an open drain. */
    int32_t control;
    /** The value of control that lets the pin go; 0 without control. */
    int32_t disable;
} orvdev_bsdl_cells;

/**
 * \brief The boundary cells of a pin of a BSDL file.
 *
 * \param[in] file the file.
 * \param index from 0, below pin_count of orvdev_bsdl_info.
 * \param[out] cells receives the cells.
 * \retval 0 *cells are the pin's.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL file or cells, an index past
 *         the end.
 * \onfailure *cells is unchanged.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API int32_t orvdev_bsdl_get_cells(const orvdev_bsdl* file, uint32_t index, orvdev_bsdl_cells* cells);

/**
 * \brief The index of a pin by name.
 *
 * \param[in] file the file.
 * \param[in] name a port name ("PA0", "d(3)"), any letter case.
 * \param[out] index receives the pin's index (as orvdev_bsdl_get_pin()
 *        takes it).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *index is the pin.
 * \retval ORVDEV_ERROR_UNKNOWN_PIN the file has no such pin: the message
 *         names the nearest pins.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL file, name or index, or a
 *         pin without boundary cells.
 * \onfailure *index is unchanged.
 * \threadsafety Thread-safe: reads the file only.
 */
ORV_API int32_t orvdev_bsdl_find_pin(const orvdev_bsdl* file, const char* name, uint32_t* index,
                                     orvdev_report* report);

/** How a TAP of a scanned chain and the files given fit. */
enum orvdev_bsdl_match_status {
    /** `file` describes the TAP: its IDCODE (X bits masked) and its
     *  instruction length are the chain's. */
    ORVDEV_MATCH_FOUND = 0,
    /** No file has the TAP's IDCODE. */
    ORVDEV_MATCH_NONE = 1,
    /** `file` has the TAP's IDCODE but an instruction length the chain
     *  contradicts. */
    ORVDEV_MATCH_IR_LENGTH = 2,
    /** The TAP came up in BYPASS: it has no IDCODE to match by. */
    ORVDEV_MATCH_NO_IDCODE = 3
};

/** The file of one TAP (orvdev_bsdl_match_chain()). */
typedef struct orvdev_bsdl_match {
    /** An #orvdev_bsdl_match_status. */
    int32_t status;
    /** Index into the files given; -1 when none. */
    int32_t file;
} orvdev_bsdl_match;

/**
 * \brief Finds the BSDL file of each TAP of a scanned chain.
 *
 * For each TAP, the first of files that describes it. Nothing is sent.
 *
 * \param[in] chain a chain from orvdev_chain_scan().
 * \param[in] files count files, none NULL; may be NULL when count is 0.
 * \param count files given.
 * \param[out] matches room for chain->count entries; entry i is TAP i's.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 matches holds an entry per TAP.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL chain or matches, a NULL
 *         file.
 * \onfailure matches is unchanged.
 * \threadsafety Thread-safe: reads its arguments only.
 */
ORV_API int32_t orvdev_bsdl_match_chain(const orvdev_chain* chain, const orvdev_bsdl* const* files,
                                        uint32_t count, orvdev_bsdl_match* matches, orvdev_report* report);

/** BSDL files read from files and directories (orvdev_bsdl_files_load()). */
typedef struct orvdev_bsdl_files orvdev_bsdl_files;

/**
 * \brief Reads the BSDL files of a list of files and directories.
 *
 * Each source is a BSDL file, or a directory whose BSDL files (*.bsd,
 * *.bsdl, any letter case) are read in name order. With use_path_variable,
 * the entries of the environment variable ORV_BSDL_PATH (separated by ':',
 * empty entries skipped) follow the sources given. Every file is read whole
 * before the call returns; nothing is sent.
 *
 * \param[in] sources count paths, none NULL; may be NULL when count is 0.
 * \param count sources given.
 * \param use_path_variable non-zero: ORV_BSDL_PATH's entries follow.
 * \param[out] out receives the files (none when no source is given), to be
 *        freed with orvdev_bsdl_files_free().
 * \param[out] where NULL, or filled when the result is
 *        ORVDEV_ERROR_BAD_INPUT: the source or file refused, with the line
 *        and column of a broken file (0 for a source that does not exist or
 *        a directory without BSDL files), and why; else all zeros.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out holds the files.
 * \retval ORVDEV_ERROR_BAD_INPUT a source that does not exist, a directory
 *         without BSDL files, a file that is unreadable, broken or
 *         contradicts itself.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL out, a NULL source.
 * \retval LIBUSB_ERROR_NO_MEM out of memory.
 * \onfailure *out is unchanged.
 * \threadsafety Thread-safe: reads the files into a new object (and the
 *         environment, which no other thread may change meanwhile).
 */
ORV_API int32_t orvdev_bsdl_files_load(const char* const* sources, uint32_t count, int32_t use_path_variable,
                                       orvdev_bsdl_files** out, orvdev_input_error* where,
                                       orvdev_report* report);

/**
 * \brief How many files were read.
 *
 * \param[in] files the files.
 * \returns the files read; 0 for NULL.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads the object only.
 */
ORV_API uint32_t orvdev_bsdl_files_count(const orvdev_bsdl_files* files);

/**
 * \brief One of the files read.
 *
 * \param[in] files the files.
 * \param index from 0: the sources' order, a directory's files by name.
 * \returns the file, which lives as long as files; NULL past the end or for
 *          NULL.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads the object only.
 */
ORV_API const orvdev_bsdl* orvdev_bsdl_files_get(const orvdev_bsdl_files* files, uint32_t index);

/**
 * \brief Frees the files read.
 *
 * Handles opened with them keep what they need.
 *
 * \param files the files; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses them.
 */
ORV_API void orvdev_bsdl_files_free(orvdev_bsdl_files* files);

/** How a TAP was chosen for boundary scan, or why none was. */
enum orvdev_tap_choice_status {
    /** tap is the TAP. */
    ORVDEV_TAP_CHOSEN = 0,
    /** The TAP asked for is past the end of the chain. */
    ORVDEV_TAP_NO_SUCH = 1,
    /** No file describes the TAP asked for: match says why. */
    ORVDEV_TAP_NO_FILE = 2,
    /** The TAP asked for has no pins with boundary cells. */
    ORVDEV_TAP_NO_PINS = 3,
    /** No TAP fits: none has a file with pins (with every pin named, or of
     *  the entity named). */
    ORVDEV_TAP_NONE_FITS = 4,
    /** Several TAPs fit: candidates lists them. */
    ORVDEV_TAP_SEVERAL = 5
};

/** The TAP chosen for boundary scan (orvdev_bsdl_choose_tap()). */
typedef struct orvdev_tap_choice {
    /** An #orvdev_tap_choice_status. */
    int32_t status;
    /** The TAP chosen, or the TAP asked for (NO_SUCH, NO_FILE, NO_PINS). */
    uint32_t tap;
    /** How the TAP and the files fit (of the TAP asked for or chosen). */
    orvdev_bsdl_match match;
    /** The same in words: "described by FILE", "no BSDL file has IDCODE
     *  0x06439041", "FILE has its IDCODE but an instruction register of 5
     *  bits; the chain's is 4", "no IDCODE (BYPASS after reset): ...";
     *  empty when no TAP was asked for or chosen. */
    char why[ORVDEV_MESSAGE_MAX];
    /** ORVDEV_TAP_SEVERAL: the TAPs that fit, in chain order. */
    uint32_t candidates[ORVDEV_JTAG_MAX_DEVICES];
    /** Entries of candidates in use. */
    uint32_t candidate_count;
} orvdev_tap_choice;

/**
 * \brief Chooses the TAP of a scanned chain to sample or drive.
 *
 * The TAP asked for; else the one TAP whose file has the entity named; else
 * the one TAP whose file has pins with boundary cells, every pin named among
 * them. The files are matched to the chain as orvdev_bsdl_match_chain()
 * matches them. Nothing is sent. Also for the TAPs of a listing: asked for
 * a TAP no file describes, the report's message says why.
 *
 * \param[in] chain a chain from orvdev_chain_scan().
 * \param[in] files count files, none NULL; may be NULL when count is 0.
 * \param count files given.
 * \param tap the TAP asked for, from 0 (nearest TDO); -1 to choose.
 * \param[in] entity NULL, or (with tap -1) the entity of the device wanted,
 *        any letter case.
 * \param[in] pins pin_count pin names the TAP's file must have (with tap -1
 *        and no entity); may be NULL when pin_count is 0.
 * \param pin_count pins given.
 * \param[out] choice receives the TAP, or why there is none.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report): "TAP 0 (CortexMx) has no pins with
 *        boundary cells".
 * \retval 0 choice->tap is the TAP (status #ORVDEV_TAP_CHOSEN).
 * \retval ORVDEV_ERROR_BSDL_MISMATCH no file describes the TAP asked for
 *         (NO_FILE), or no TAP fits (NONE_FITS).
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL chain, choice or file, a NULL
 *         pins with a count; or the TAP asked for is not there (NO_SUCH) or
 *         has no pins (NO_PINS), or several fit (SEVERAL).
 * \onfailure *choice says why no TAP was chosen (unchanged when an argument
 *         is NULL).
 * \threadsafety Thread-safe: reads its arguments only.
 */
ORV_API int32_t orvdev_bsdl_choose_tap(const orvdev_chain* chain, const orvdev_bsdl* const* files,
                                       uint32_t count, int32_t tap, const char* entity,
                                       const char* const* pins, uint32_t pin_count, orvdev_tap_choice* choice,
                                       orvdev_report* report);

/** How a pin name fits the BSDL files (orvdev_pin_check.problem). */
enum orvdev_pin_problem {
    /** A file has the pin, able to do what is asked of it. */
    ORVDEV_PIN_FITS = 0,
    /** No file has a pin of that name: nearest lists the names nearest. */
    ORVDEV_PIN_UNKNOWN = 1,
    /** The file has the port, without boundary cells. */
    ORVDEV_PIN_NO_CELLS = 2,
    /** An input, asked to drive: it has no cell to drive it. */
    ORVDEV_PIN_INPUT = 3,
    /** A two-state output, asked to let go: it drives at all times. */
    ORVDEV_PIN_TWO_STATE = 4
};

/** Names of orvdev_pin_check.nearest at most. */
#define ORVDEV_NEAREST_MAX 16u

/** A pin name near one no file has. */
typedef struct orvdev_nearest_pin {
    /** The name; lives as long as its file. */
    const char* name;
    /** Index of its file among those given. */
    int32_t file;
} orvdev_nearest_pin;

/** What orvdev_bsdl_check_pins() found. */
typedef struct orvdev_pin_check {
    /** An #orvdev_pin_problem: of the first pin refused, else
     *  ORVDEV_PIN_FITS. */
    int32_t problem;
    /** The index of the pin refused among those given. */
    uint32_t pin;
    /** The file the problem concerns (NO_CELLS, INPUT, TWO_STATE), else -1. */
    int32_t file;
    /** ORVDEV_PIN_UNKNOWN: the names nearest, up to 4 of each file with
     *  pins, in the files' order, fewest edits first within a file. */
    orvdev_nearest_pin nearest[ORVDEV_NEAREST_MAX];
    /** Entries of nearest in use. */
    uint32_t nearest_count;
} orvdev_pin_check;

/**
 * \brief Checks pin names against BSDL files before anything is sent.
 *
 * Each pin must be one of a file's pins with boundary cells (any letter
 * case), and, where levels are given, able to take its level there: an
 * input cannot drive, a two-state output cannot let go.
 *
 * \param[in] files count files, none NULL.
 * \param count files given.
 * \param[in] pins pin_count names.
 * \param[in] levels NULL when the pins are only read; else pin_count
 *        #orvdev_pin_level values, the level each pin is to take.
 * \param pin_count pins given.
 * \param[out] check NULL, or receives what was found.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report): "no pin PA13 in the BSDL files; nearest:
 *        STM32F301: PA1, PA3, PA10, PA11".
 * \retval 0 every pin fits.
 * \retval ORVDEV_ERROR_UNKNOWN_PIN a pin no file has.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a pin without boundary cells, an
 *         input driven, a two-state output let go; a NULL file, a NULL pins
 *         with a count.
 * \onfailure *check says which pin was refused and why (unchanged when an
 *         argument is NULL).
 * \threadsafety Thread-safe: reads its arguments only.
 */
ORV_API int32_t orvdev_bsdl_check_pins(const orvdev_bsdl* const* files, uint32_t count,
                                       const char* const* pins, const int32_t* levels, uint32_t pin_count,
                                       orvdev_pin_check* check, orvdev_report* report);

/** The boundary registers of a chain (orvdev_bscan_open()). */
typedef struct orvdev_bscan orvdev_bscan;

/**
 * \brief Opens the boundary registers of a chain.
 *
 * Checks that the files fit the chain (instruction lengths, their sum,
 * IDCODEs); a TAP without a file needs its instruction length from the
 * chain scan, or from the others' when it is the only one. Nothing is sent.
 *
 * \param jtag the chain's JTAG handle; it must outlive the boundary-scan
 *        handle.
 * \param[in] chain the chain from orvdev_chain_scan().
 * \param[in] tap_files chain->count entries: tap_files[i] describes TAP i,
 *        NULL for a TAP without a file (only ever in BYPASS).
 * \param[out] out receives the handle, to be closed with
 *        orvdev_bscan_close().
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the handle.
 * \retval ORVDEV_ERROR_BSDL_MISMATCH the files do not fit the chain.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, chain, tap_files or
 *         out.
 * \onfailure *out is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_bscan_open(orvdev_jtag* jtag, const orvdev_chain* chain,
                                  const orvdev_bsdl* const* tap_files, orvdev_bscan** out,
                                  orvdev_report* report);
/**
 * \brief Closes a boundary-scan handle.
 *
 * Sends nothing: a device held in EXTEST stays so (orvdev_bscan_release()
 * first to return it to its normal function).
 *
 * \param bscan the handle; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety One call at a time per session.
 */
ORV_API void orvdev_bscan_close(orvdev_bscan* bscan);

/**
 * \brief Samples every pin of a device (SAMPLE).
 *
 * One IR scan and one DR scan, in one OUT transfer and one read-back
 * exchange; the device stays in its normal function (a device held in
 * EXTEST stays held, and shows its pins as driven).
 *
 * \param bscan the handle.
 * \param tap the TAP, from 0 (nearest TDO).
 * \param[out] pins one entry per pin with boundary cells, in the file's
 *        order (pin_count of its orvdev_bsdl_info); NULL with capacity 0
 *        for a device without such pins (its cells all internal).
 * \param capacity entries that fit at pins.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 pins holds every pin.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, NULL pins with a
 *         capacity, no such TAP, a TAP without a file, too small a
 *         capacity; nothing sent.
 * \retval ORVDEV_ERROR_BSCAN_UNSUPPORTED the file names no SAMPLE
 *         instruction; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure pins is unchanged.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_bscan_sample(orvdev_bscan* bscan, uint32_t tap, orvdev_bscan_pin* pins,
                                    uint32_t capacity, orvdev_report* report);

/** A level to drive a pin to. */
enum orvdev_pin_level {
    ORVDEV_LEVEL_LOW = 0,  /**< Drive low. */
    ORVDEV_LEVEL_HIGH = 1, /**< Drive high. */
    ORVDEV_LEVEL_Z = 2     /**< Let go (high impedance). */
};

/** One pin to drive (orvdev_bscan_drive()). */
typedef struct orvdev_pin_setting {
    /** A pin name as orvdev_bsdl_find_pin takes it. */
    const char* pin;
    /** enum orvdev_pin_level; an open-drain pin drives its active level and
     *  lets go for the other. */
    int32_t level;
} orvdev_pin_setting;

/**
 * \brief Drives pins of a device (PRELOAD, EXTEST).
 *
 * PRELOAD of the boundary register with every other cell at its safe value
 * (so that nothing glitches when EXTEST takes the pins), EXTEST, and a DR
 * scan that reads every pin as driven. With hold the device stays in
 * EXTEST: later calls change its pins from what they drive (without a
 * PRELOAD), samples of the other devices keep it, and
 * orvdev_bscan_release() ends it. Without, the device returns to its normal
 * function at the end: Test-Logic-Reset, or, while another device is held,
 * BYPASS. One OUT transfer, one read-back exchange.
 *
 * \param bscan the handle.
 * \param tap the TAP, from 0 (nearest TDO).
 * \param[in] settings count pins and their levels.
 * \param count settings, above 0.
 * \param hold non-zero: the device stays in EXTEST.
 * \param[out] pins NULL, or one entry per pin with boundary cells, as
 *        driven.
 * \param capacity entries that fit at pins (when pins is given).
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the pins are driven; pins holds every pin.
 * \retval ORVDEV_ERROR_UNKNOWN_PIN a pin the file does not have; nothing
 *         sent.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle or settings, no
 *         settings, no such TAP or one without a file, a pin twice, an input
 *         or a pin without boundary cells driven, a two-state output let go,
 *         a level outside #orvdev_pin_level, too small a capacity; nothing
 *         sent.
 * \retval ORVDEV_ERROR_BSCAN_UNSUPPORTED the file names no PRELOAD or
 *         EXTEST instruction; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure pins is unchanged. After a bus code the device may be in
 *         EXTEST: orvdev_bscan_release() returns it to its normal function.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_bscan_drive(orvdev_bscan* bscan, uint32_t tap, const orvdev_pin_setting* settings,
                                   uint32_t count, int32_t hold, orvdev_bscan_pin* pins, uint32_t capacity,
                                   orvdev_report* report);

/**
 * \brief Returns every device of the chain to its normal function.
 *
 * Test-Logic-Reset: nothing stays held in EXTEST.
 *
 * \param bscan the handle.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the TAPs are reset.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle; nothing sent.
 * \retval -1..-17 a bus code.
 * \onfailure The devices may still be held: call again.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_bscan_release(orvdev_bscan* bscan, orvdev_report* report);

/** The pins of an SPI bus made of a boundary-scan device's pins
 *  (orvdev_flash_open_bscan()): port names of its BSDL file, any letter
 *  case. */
typedef struct orvdev_spi_pins {
    /** Chip select, driven (active low). */
    const char* cs;
    /** The clock, driven. */
    const char* sck;
    /** Data to the part, driven. */
    const char* mosi;
    /** Data from the part, read through its input cell. */
    const char* miso;
    /** SPI mode: 0 (SCK idles low) or 3 (SCK idles high). */
    int32_t mode;
} orvdev_spi_pins;

/**
 * \brief Opens a 25-series SPI NOR flash wired to pins of a boundary-scan
 * device, and identifies it.
 *
 * The device is held in EXTEST from here until the flash is closed (the
 * chain's other devices in BYPASS): its other pins keep the levels a SAMPLE
 * showed (driven ones driven, the rest let go), CS rests high, SCK at the
 * mode's idle level, MOSI low. Each SPI clock is two DR scans (data with SCK
 * low, then SCK high); a transaction is one clock sequence, with TDO read
 * only at the MISO cell of the scans that hold a bit read. The handle takes
 * every orvdev_flash_* call as one on the SPI connector does;
 * orvdev_flash_get_info() gives the JTAG clock as its clock.
 * orvdev_flash_close() returns the devices to their normal function.
 *
 * \param bscan the chain's boundary-scan handle; it must outlive the flash.
 * \param tap the TAP of the device, from 0 (nearest TDO); it needs a BSDL
 *        file naming SAMPLE (or SAMPLE/PRELOAD) and EXTEST.
 * \param[in] pins the bus's pins and mode.
 * \param[in] options NULL, or the part and size overrides
 *        (orvdev_flash_options; clock_khz is not used: the JTAG clock is).
 * \param[out] out receives the handle, to be closed with orvdev_flash_close().
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the identified flash.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, pins or out, a pin
 *         not named, a mode other than 0 and 3, a bad size, a TAP out of
 *         the chain or without a BSDL file, CS, SCK or MOSI on a pin the
 *         device cannot drive, MISO on a pin it cannot read, a pin given
 *         twice; nothing sent.
 * \retval ORVDEV_ERROR_UNKNOWN_PIN a pin the TAP's file does not have (or
 *         without boundary cells); nothing sent.
 * \retval ORVDEV_ERROR_UNKNOWN_PART options name a part the table lacks;
 *         nothing sent.
 * \retval ORVDEV_ERROR_BSCAN_UNSUPPORTED the TAP's file names no SAMPLE,
 *         PRELOAD or EXTEST; nothing sent.
 * \retval ORVDEV_ERROR_NO_FLASH CS, SCK or MOSI does not read back as driven
 *         (its net stuck or shorted; the message names the line and pin),
 *         or the JEDEC ID reads all zeros or all ones (the message names
 *         MISO's pin: an open net, no part, no power).
 * \retval ORVDEV_ERROR_FLASH_UNKNOWN no SFDP, table entry or capacity gives
 *         the size.
 * \retval -1..-17 a bus code.
 * \onfailure *out is unchanged; the devices are back in their normal
 *         function where the adapter still answers.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_flash_open_bscan(orvdev_bscan* bscan, uint32_t tap, const orvdev_spi_pins* pins,
                                        const orvdev_flash_options* options, orvdev_flash** out,
                                        orvdev_report* report);

/** The pins of an I2C bus made of a boundary-scan device's pins
 *  (orvdev_i2c_open_bscan()): port names of its BSDL file, any letter case.
 *  Both are open drain: pulled low through the output cell, let go through
 *  the control cell; a let-go line reads the board's pull-up. */
typedef struct orvdev_i2c_pins {
    /** The clock: needs an output and a control cell; its input cell, when
     *  it has one, is read to see that nothing holds it low. */
    const char* scl;
    /** The data line: needs an output, a control and an input cell. */
    const char* sda;
    /** Non-zero: wait for a device that stretches the clock. After each
     *  release of SCL the scans so far go out and SCL is read until it is
     *  high (within the session's time limit): a read-back exchange per
     *  bit clock. SCL needs an input cell. Zero: a transaction goes out
     *  whole, and SCL read low while let go fails it. */
    int32_t stretch;
} orvdev_i2c_pins;

/**
 * \brief Sets up an I2C bus master on two pins of a boundary-scan device.
 *
 * The device is held in EXTEST from here until the handle is closed (the
 * chain's other devices in BYPASS): its other pins keep the levels a SAMPLE
 * showed (driven ones driven, the rest let go), SCL and SDA let go. Opening
 * checks that both read high let go and low pulled low. Each change of the
 * lines is one DR scan; a bit clock is two or three (data, SCL let go, SCL
 * low); a transaction is one clock sequence, with TDO read only at the SDA
 * and SCL cells of the scans that hold an acknowledge or a bit read. The
 * handle takes every orvdev_i2c_* call as one on the I2C connector does
 * (reads in transactions of up to 256 bytes); orvdev_i2c_clock() gives the
 * JTAG clock. A device stretching the clock is waited for when the pins
 * ask for it (stretch); otherwise SCL read low while let go fails the
 * transaction with #ORVDEV_ERROR_I2C_LINE_HELD.
 * orvdev_i2c_close() returns the devices to their normal function.
 *
 * \param bscan the chain's boundary-scan handle; it must outlive the bus.
 * \param tap the TAP of the device, from 0 (nearest TDO); it needs a BSDL
 *        file naming SAMPLE (or SAMPLE/PRELOAD) and EXTEST.
 * \param[in] pins the bus's pins.
 * \param[in] options NULL, or the addresses' width (ten_bit; clock_khz is
 *        not used: the JTAG clock is).
 * \param[out] out receives the handle, to be closed with orvdev_i2c_close().
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the bus.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, pins or out, a pin
 *         not named, a TAP out of the chain or without a BSDL file, a line
 *         on a pin the device cannot pull low or cannot let go (no output or
 *         no control cell), SDA on a pin it cannot read (or SCL, with
 *         stretch), one pin for both; nothing sent.
 * \retval ORVDEV_ERROR_UNKNOWN_PIN a pin the TAP's file does not have (or
 *         without boundary cells); nothing sent.
 * \retval ORVDEV_ERROR_BSCAN_UNSUPPORTED the TAP's file names no SAMPLE,
 *         PRELOAD or EXTEST; nothing sent.
 * \retval ORVDEV_ERROR_I2C_LINE_HELD SCL or SDA reads low let go (its net
 *         stuck low or without its pull-up) or high pulled low (stuck high,
 *         or not this pin's net); the message names the line and its pin.
 * \retval -1..-17 a bus code.
 * \onfailure *out is unchanged; the devices are back in their normal
 *         function where the adapter still answers.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_i2c_open_bscan(orvdev_bscan* bscan, uint32_t tap, const orvdev_i2c_pins* pins,
                                      const orvdev_i2c_options* options, orvdev_i2c** out,
                                      orvdev_report* report);

/** A netlist for the interconnect test, read and checked against its BSDL
 *  files (see orvtool(1), NETLIST FILES). */
typedef struct orvdev_netlist orvdev_netlist;

/**
 * \brief Reads a netlist and the BSDL files it names.
 *
 * Reads the netlist (JSON, a regular file) and the BSDL files it names
 * (relative to it, and in its directory or below it: a netlist from
 * elsewhere reads no other file of the host; orvdev_netlist_load_flags()
 * with #ORVDEV_NETLIST_BSDL_ANYWHERE allows any), and checks it before
 * anything is driven: a key twice in one object, every pin an I/O of its
 * device (a pin the file does not have is refused with the nearest names),
 * at most one pin of a net that always drives it, unknown devices and keys,
 * at most #ORVDEV_JTAG_MAX_DEVICES BSDL files. A device that gives an
 * "idcode" and no "bsdl" takes the first of files with that IDCODE. Nothing
 * is sent.
 *
 * \param[in] path the netlist.
 * \param[in] files count BSDL files, none NULL; may be NULL when count is 0.
 * \param count files given.
 * \param[out] out receives the netlist, to be freed with
 *        orvdev_netlist_free().
 * \param[out] where NULL, or filled when the result is
 *        ORVDEV_ERROR_BAD_INPUT (the netlist with a JSON path, or a BSDL
 *        file with its line); else all zeros.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the netlist.
 * \retval ORVDEV_ERROR_BAD_INPUT the netlist or a BSDL file was refused.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL path or out, a NULL file.
 * \retval LIBUSB_ERROR_NO_MEM out of memory.
 * \onfailure *out is unchanged; *where says why after
 *         ORVDEV_ERROR_BAD_INPUT (unchanged after
 *         ORVDEV_ERROR_INVALID_ARGUMENT).
 * \threadsafety Thread-safe: reads the files into a new object.
 */
ORV_API int32_t orvdev_netlist_load(const char* path, const orvdev_bsdl* const* files, uint32_t count,
                                    orvdev_netlist** out, orvdev_input_error* where, orvdev_report* report);

/** How orvdev_netlist_load_flags() reads a netlist. */
enum orvdev_netlist_flag {
    /** The BSDL files it names may lie anywhere, not only in its directory
     *  and below. */
    ORVDEV_NETLIST_BSDL_ANYWHERE = 1
};

/**
 * \brief Reads a netlist and the BSDL files it names, as asked.
 *
 * orvdev_netlist_load() with flags: #orvdev_netlist_flag values, or-ed.
 *
 * \param[in] path the netlist.
 * \param[in] files count BSDL files, none NULL; may be NULL when count is 0.
 * \param count files given.
 * \param flags #orvdev_netlist_flag values; 0 reads as orvdev_netlist_load().
 * \param[out] out receives the netlist, to be freed with
 *        orvdev_netlist_free().
 * \param[out] where NULL, or filled when the result is
 *        ORVDEV_ERROR_BAD_INPUT (the netlist with a JSON path, or a BSDL
 *        file with its line); else all zeros.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *out is the netlist.
 * \retval ORVDEV_ERROR_BAD_INPUT the netlist or a BSDL file was refused.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL path or out, a NULL file,
 *         a flag that is not an #orvdev_netlist_flag.
 * \retval LIBUSB_ERROR_NO_MEM out of memory.
 * \onfailure *out is unchanged; *where says why after
 *         ORVDEV_ERROR_BAD_INPUT (unchanged after
 *         ORVDEV_ERROR_INVALID_ARGUMENT).
 * \threadsafety Thread-safe: reads the files into a new object.
 */
ORV_API int32_t orvdev_netlist_load_flags(const char* path, const orvdev_bsdl* const* files, uint32_t count,
                                          uint32_t flags, orvdev_netlist** out, orvdev_input_error* where,
                                          orvdev_report* report);
/**
 * \brief Frees a netlist.
 *
 * \param netlist the netlist; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the netlist.
 */
ORV_API void orvdev_netlist_free(orvdev_netlist* netlist);

/**
 * \brief Places the netlist's devices on a scanned chain.
 *
 * The files of the netlist's devices at their places in chain (by "tap",
 * or by "idcode"), for orvdev_bscan_open(). Nothing is sent.
 *
 * \param[in] netlist the netlist.
 * \param[in] chain the chain from orvdev_chain_scan().
 * \param[out] tap_files receives chain->count entries, NULL for TAPs the
 *        netlist does not name; they live as long as the netlist.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 tap_files holds an entry per TAP.
 * \retval ORVDEV_ERROR_BSDL_MISMATCH a position past the chain, an IDCODE
 *         no TAP or several TAPs have, a file whose IDCODE or instruction
 *         length the TAP contradicts, two devices on one TAP.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL netlist, chain or tap_files.
 * \onfailure tap_files is unchanged.
 * \threadsafety Thread-safe: reads its arguments only.
 */
ORV_API int32_t orvdev_netlist_taps(const orvdev_netlist* netlist, const orvdev_chain* chain,
                                    const orvdev_bsdl** tap_files, orvdev_report* report);

/** How shorted nets combine. */
enum orvdev_short_behaviour {
    ORVDEV_SHORT_AND = 0,    /**< A wired AND: a 0 on one wins. */
    ORVDEV_SHORT_OR = 1,     /**< A wired OR: a 1 on one wins. */
    ORVDEV_SHORT_UNKNOWN = 2 /**< Neither: the readings do not tell. */
};

/** An open found by the interconnect test. */
typedef struct orvdev_connect_open {
    /** The net. */
    const char* net;
    /** The pin off the net ("U2.D(2)"): one that does not follow the net's
     *  driver, or the driver when none of its receivers follows it. */
    const char* pin;
    /** NULL, or, for a net of one driver (pin) and one receiver that does
     *  not follow it, the receiver: the net is open between the two, and
     *  the readings are the same at whichever pin it is. */
    const char* or_pin;
} orvdev_connect_open;

/** A short found by the interconnect test. */
typedef struct orvdev_connect_short {
    /** The nets that read each other's codes. */
    const char* const* nets;
    /** Entries of nets. */
    uint32_t net_count;
    /** An #orvdev_short_behaviour. */
    int32_t behaves_as;
} orvdev_connect_short;

/** A net stuck at one level. */
typedef struct orvdev_connect_stuck {
    /** The net. */
    const char* net;
    /** The level it stays at, 0 or 1. */
    int32_t value;
} orvdev_connect_stuck;

/** A net the interconnect test could not test. */
typedef struct orvdev_connect_untested {
    /** The net. */
    const char* net;
    /** Why: "no driver: ...", "no receiver: ...", "not in any BSDL: ...",
     *  "left alone: ...". */
    const char* why;
} orvdev_connect_untested;

/** What an interconnect test found; owned by the library
 *  (orvdev_connect_result_free). */
typedef struct orvdev_connect_result {
    /** Non-zero when nets were tested (nets_tested above 0) and no open,
     *  short or stuck net was found. */
    int32_t passed;
    /** Patterns driven. */
    uint32_t patterns;
    /** Nets with a pin to drive and a pin to read. */
    uint32_t nets_tested;
    /** The opens found. */
    const orvdev_connect_open* opens;
    /** Entries of opens. */
    uint32_t open_count;
    /** The shorts found. */
    const orvdev_connect_short* shorts;
    /** Entries of shorts. */
    uint32_t short_count;
    /** The nets stuck at 0 or 1. */
    const orvdev_connect_stuck* stuck;
    /** Entries of stuck. */
    uint32_t stuck_count;
    /** The nets not tested, with why. */
    const orvdev_connect_untested* untested;
    /** Entries of untested. */
    uint32_t untested_count;
    /** DR scans of the test, and what it took on the wire. */
    uint32_t scans;
    /** OUT transfers the test made. */
    uint32_t out_transfers;
    /** Read-back exchanges the test made. */
    uint32_t readback_exchanges;
    /** Bytes read back in all. */
    uint64_t readback_bytes;
} orvdev_connect_result;

/**
 * \brief Runs the interconnect test of a netlist.
 *
 * On a handle opened with the netlist's files (orvdev_netlist_taps()):
 * every net that has a pin to drive it and another to read it gets a code
 * of its own, neither all 0 nor all 1 (a counting sequence and its
 * complement); every pattern is one DR scan of the devices in EXTEST
 * (PRELOAD first), all scans in as few exchanges as the read-back bound
 * allows; then Test-Logic-Reset. Pins that do not drive are let go; pins in
 * "leave" and pins on no net keep their safe values. Found: opens (a pin
 * that does not follow its net's driver), shorts (nets that read each
 * other's codes, with the wired-AND or -OR they behave as), nets stuck at 0
 * or 1, and nets it could not test, with why. Progress stage "test"
 * (patterns).
 *
 * \param bscan the handle, opened with the netlist's files.
 * \param[in] netlist the netlist.
 * \param[out] out receives the result (also when the board fails the test:
 *        see passed), to be freed with orvdev_connect_result_free().
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 the test ran; *out says what it found.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL handle, netlist or out, a
 *         handle opened with other files; nothing sent.
 * \retval ORVDEV_ERROR_BSCAN_UNSUPPORTED a file names no PRELOAD or EXTEST
 *         instruction.
 * \retval ORVDEV_ERROR_STOPPED the progress callback asked to stop; the
 *         devices are back in their normal function.
 * \retval -1..-17 a bus code.
 * \onfailure *out is unchanged. After a bus code the devices may be in
 *         EXTEST: orvdev_bscan_release() returns them to their normal
 *         function.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_connect_test(orvdev_bscan* bscan, const orvdev_netlist* netlist,
                                    orvdev_connect_result** out, orvdev_report* report);
/**
 * \brief Frees the result of an interconnect test.
 *
 * \param result the result; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the result.
 */
ORV_API void orvdev_connect_result_free(orvdev_connect_result* result);

/* ------------------------------------------------------------------------ */
/* SVF and XSVF playback                                                    */
/*
 * A vector file (SVF text, or Xilinx's binary XSVF) is read and checked
 * whole by orvdev_svf_load() before anything is sent: a malformed file is
 * refused with its place. orvdev_svf_dry_run() plans the clocks without an
 * adapter; orvdev_svf_play() plays them on a JTAG port (its clock and pins,
 * its lease on the adapter), judging every TDO check as its batch comes
 * back. A failed check stops playback before the next batch and is kept in
 * the program for orvdev_svf_get_mismatch().
 */

/** A vector file read and checked whole (orvdev_svf_load()). */
typedef struct orvdev_svf orvdev_svf;

/** What a vector file is (orvdev_svf_load_options.format). */
enum orvdev_svf_format {
    ORVDEV_SVF_FORMAT_SVF = 0, /**< SVF text: places are lines and columns. */
    ORVDEV_SVF_FORMAT_XSVF = 1 /**< Xilinx XSVF: places are byte offsets and command indexes. */
};

/** Default largest file: the largest FPGA bitstreams in SVF fit with room. */
#define ORVDEV_SVF_DEFAULT_MAX_SIZE 268435456u
/** Default longest estimated playing time, in seconds. */
#define ORVDEV_SVF_DEFAULT_MAX_SECONDS 3600
/** Most read-back bytes of one exchange while playing (the adapter's
 *  read-back buffer holds 4 KiB). */
#define ORVDEV_SVF_MAX_READBACK 4096u
/** Room for a statement's command name ("SDR", "HIR"). */
#define ORVDEV_SVF_COMMAND_MAX 16

/**
 * Asked between statements, between batches and during waits on the host.
 * \param user the stop_user of the options.
 * \returns non-zero to stop at that point.
 */
typedef int32_t (*orvdev_svf_stop_fn)(void* user);

/**
 * Told after each batch came back how far playing went.
 * \param user the progress_user of orvdev_svf_play_options.
 * \param statements the statements (XSVF: commands) played to the end.
 * \param bytes where in the file they end.
 * \returns #ORVDEV_CONTINUE, or #ORVDEV_STOP to end playing before the next
 *          batch.
 */
typedef int32_t (*orvdev_svf_progress_fn)(void* user, uint64_t statements, uint64_t bytes);

/** How a file is read (orvdev_svf_load_options_init() for the defaults). */
typedef struct orvdev_svf_load_options {
    /** An #orvdev_svf_format. */
    int32_t format;
    /** Larger files are refused, 1.. bytes. */
    uint64_t max_size;
    /** Files whose playing takes longer by their clocks and waits are
     *  refused; 0: no limit. */
    double max_seconds;
    /** The TCK in kHz the estimate starts with (as orvdev_svf_play_options
     *  tck_khz; 0: 1000). */
    uint32_t tck_khz;
    /** NULL, or asked between statements while the file is read. */
    orvdev_svf_stop_fn stop;
    /** Passed to stop. */
    void* stop_user;
} orvdev_svf_load_options;

/** A place in a vector file. */
typedef struct orvdev_svf_place {
    /** Non-zero when the place is known. */
    int32_t known;
    /** Statements (XSVF: commands) before it, from 0. */
    uint64_t index;
    /** SVF: the 1-based line of the command word; 0 in XSVF. */
    uint32_t line;
    /** SVF: the 1-based column of the command word; 0 in XSVF. */
    uint32_t column;
    /** The byte offset of its first byte. */
    uint64_t offset;
    /** The command's name ("SDR", "XSDRTDO" reads as "SDR"). */
    char command[ORVDEV_SVF_COMMAND_MAX];
} orvdev_svf_place;

/** Where and why a file was refused (ORVDEV_ERROR_BAD_INPUT). */
typedef struct orvdev_svf_input_error {
    /** SVF: the 1-based line and column; 0 in XSVF. */
    uint32_t line;
    /** SVF: 1-based column; 0 in XSVF. */
    uint32_t column;
    /** XSVF: the byte offset of the fault; 0 in SVF. */
    uint64_t offset;
    /** XSVF: the index of the command at fault, from 0; 0 in SVF. */
    uint64_t command;
    /** What was expected there, without the place. */
    char reason[ORVDEV_MESSAGE_MAX];
} orvdev_svf_input_error;

/** What a file holds and how long playing it takes. */
typedef struct orvdev_svf_info {
    /** An #orvdev_svf_format. */
    int32_t format;
    /** Statements (XSVF: commands) in the file. */
    uint64_t statements;
    /** The file's size. */
    uint64_t bytes;
    /** TCK clocks of the estimate. */
    uint64_t estimated_clocks;
    /** Seconds of host waits in the estimate. */
    double estimated_wait_seconds;
    /** The clocks at their TCK and the waits, USB transfers not counted. */
    double estimated_seconds;
} orvdev_svf_info;

/** How a file is played (orvdev_svf_play_options_init() for the defaults). */
typedef struct orvdev_svf_play_options {
    /** TCK in kHz until the file sets one: the fastest clock not above it,
     *  the slowest when below that; 0: the port's clock. Becomes the port's
     *  clock. The dry run takes 0 as 1000. */
    uint32_t tck_khz;
    /** Most read-back bytes of one exchange, 1..#ORVDEV_SVF_MAX_READBACK. */
    uint32_t max_readback;
    /** NULL, or told how far playing went. */
    orvdev_svf_progress_fn progress;
    /** Passed to progress. */
    void* progress_user;
    /** NULL, or asked whether to stop. */
    orvdev_svf_stop_fn stop;
    /** Passed to stop. */
    void* stop_user;
} orvdev_svf_play_options;

/** What playing (or its dry run) did. */
typedef struct orvdev_svf_summary {
    /** Statements (XSVF: commands) compiled: all in the file when it went to
     *  the end. */
    uint64_t statements;
    /** Bits shifted by scans with their headers and trailers. */
    uint64_t scan_bits;
    /** Scans with a TDO check compiled. */
    uint64_t checks;
    /** Statements whose clocks all ran and came back. */
    uint64_t statements_played;
    /** TDO checks that passed. */
    uint64_t checks_passed;
    /** Scans shifted again after their TDO differed (XSVF's XREPEAT). */
    uint64_t repeats;
    /** TCK clocks. */
    uint64_t clocks;
    /** OUT transfers (set-up and pin commands among them). */
    uint64_t out_transfers;
    /** Command bytes of the OUT transfers of clocks. */
    uint64_t stream_bytes;
    /** Read-back exchanges. */
    uint64_t exchanges;
    /** Read-back bytes. */
    uint64_t readback_bytes;
    /** Waits on the host. */
    uint64_t host_waits;
    /** Seconds of those waits. */
    double wait_seconds;
    /** Seconds playing took; 0 in the dry run. */
    double seconds;
    /** The TCK asked for at the start, in kHz. */
    uint32_t tck_khz_asked;
    /** The clock the clock rule gives for it, in Hz: what ran at the start. */
    uint64_t tck_hz;
    /** Non-zero when tck_khz_asked was below the slowest clock. */
    int32_t tck_raised;
    /** FREQUENCY statements below the slowest clock, which ran instead. */
    uint64_t frequencies_raised;
    /** The first of them (known when frequencies_raised is not 0). */
    orvdev_svf_place first_raised;
    /** The frequency it asked for, in Hz. */
    double first_raised_hz;
    /** The slowest clock, in Hz: what ran for the raised clocks. */
    uint64_t slowest_hz;
    /** After a failure or a stop: the first statement not played to the
     *  end (not known when the set-up failed or all were played). */
    orvdev_svf_place first_unknown;
    /** After a failure or a stop: the last statement whose TDO checks had
     *  all passed (not known before the first check). */
    orvdev_svf_place last_checked;
} orvdev_svf_summary;

/** One part of a failed scan: the header (HIR/HDR), the scan, or the
 *  trailer (TIR/TDR). The bytes hold bit 0 in bit 0 of byte 0; they belong
 *  to the program and stay valid until its next orvdev_svf_play() or
 *  orvdev_svf_free(). */
typedef struct orvdev_svf_scan_part {
    /** "HIR", "SDR", "TDR", ... */
    char command[ORVDEV_SVF_COMMAND_MAX];
    /** Bits of the part; 0 when the scan has none. */
    uint32_t bits;
    /** (bits + 7) / 8 bytes of the levels expected. */
    const uint8_t* expected;
    /** The levels read; 0 where nothing was sampled. */
    const uint8_t* actual;
    /** The bits compared. */
    const uint8_t* mask;
    /** Compared bits that differ. */
    uint32_t differing;
} orvdev_svf_scan_part;

/** A failed TDO check (orvdev_svf_get_mismatch()). */
typedef struct orvdev_svf_mismatch {
    /** The statement whose check failed. */
    orvdev_svf_place statement;
    /** The header, the scan and the trailer as shifted. */
    orvdev_svf_scan_part header;
    /** The statement's own scan. */
    orvdev_svf_scan_part body;
    /** The trailer. */
    orvdev_svf_scan_part trailer;
    /** Statements played before it. */
    uint64_t statements_played;
    /** TDO checks passed before it. */
    uint64_t checks_passed;
} orvdev_svf_mismatch;

/**
 * \brief Fills load options with the defaults.
 *
 * SVF, #ORVDEV_SVF_DEFAULT_MAX_SIZE, #ORVDEV_SVF_DEFAULT_MAX_SECONDS, 1000
 * kHz, no stop callback.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_svf_load_options_init(orvdev_svf_load_options* options);

/**
 * \brief Reads and checks a whole SVF or XSVF file from memory.
 *
 * Needs no adapter and sends nothing.
 *
 * \param[in] data the file's bytes; may be NULL when size is 0.
 * \param size bytes of data.
 * \param[in] options NULL for the defaults (orvdev_svf_load_options_init()).
 * \param[out] out receives the program, to be freed with orvdev_svf_free().
 * \param[out] info NULL, or receives what the file holds and how long it
 *        plays; filled on success and on ORVDEV_ERROR_OUT_OF_RANGE for the
 *        time.
 * \param[out] where NULL, or receives the place of a malformed file's fault.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report; the message says the place and what was
 *        expected).
 * \retval 0 *out is the program.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT NULL out, NULL data with a size, a
 *         format not an #orvdev_svf_format, a max_size of 0, a negative
 *         max_seconds, a TCK above 60000 kHz.
 * \retval ORVDEV_ERROR_OUT_OF_RANGE the file is larger than max_size, or
 *         playing it takes longer than max_seconds (*info says how long).
 * \retval ORVDEV_ERROR_BAD_INPUT the file is malformed: *where says where.
 * \retval ORVDEV_ERROR_STOPPED the stop callback asked to stop.
 * \retval LIBUSB_ERROR_NO_MEM no memory for the program.
 * \onfailure *out is unchanged.
 * \threadsafety Thread-safe: touches only its arguments.
 */
ORV_API int32_t orvdev_svf_load(const void* data, size_t size, const orvdev_svf_load_options* options,
                                orvdev_svf** out, orvdev_svf_info* info, orvdev_svf_input_error* where,
                                orvdev_report* report);

/**
 * \brief Frees a program.
 *
 * \param program the program; NULL is accepted.
 * \onfailure Cannot fail.
 * \threadsafety Not while another call uses the program.
 */
ORV_API void orvdev_svf_free(orvdev_svf* program);

/**
 * \brief What a program holds and how long it plays.
 *
 * \param[in] program the program.
 * \param[out] info receives the counts and the estimate made at load.
 * \onfailure Cannot fail: with a NULL program or info nothing is done.
 * \threadsafety Thread-safe while no call plays the program.
 */
ORV_API void orvdev_svf_get_info(const orvdev_svf* program, orvdev_svf_info* info);

/**
 * \brief Fills play options with the defaults.
 *
 * The port's clock, read-back exchanges of at most 512 bytes, no callbacks.
 *
 * \param[out] options the options to fill; NULL is accepted (nothing done).
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: touches only its argument.
 */
ORV_API void orvdev_svf_play_options_init(orvdev_svf_play_options* options);

/**
 * \brief Plans a program as playing would, without an adapter.
 *
 * \param[in] program the program.
 * \param[in] options NULL for the defaults; the callbacks other than stop
 *        are not used.
 * \param[out] summary receives what playing would send: statements, TDO
 *        checks, clocks, transfers, waits.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report).
 * \retval 0 *summary is filled.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL program or summary, a TCK
 *         above 60000 kHz, a read-back bound of 0 or above
 *         #ORVDEV_SVF_MAX_READBACK.
 * \retval ORVDEV_ERROR_STOPPED the stop callback asked to stop; *summary
 *         holds the counts so far.
 * \retval LIBUSB_ERROR_NO_MEM no memory.
 * \onfailure *summary holds the counts so far, or is unchanged after a
 *         refused argument.
 * \threadsafety Thread-safe while no call plays the program.
 */
ORV_API int32_t orvdev_svf_dry_run(const orvdev_svf* program, const orvdev_svf_play_options* options,
                                   orvdev_svf_summary* summary, orvdev_report* report);

/**
 * \brief Plays a program on a JTAG port.
 *
 * Sets the TCK and the port's pins, then plays from a TAP reset. The
 * port's set-up goes first when the adapter does not hold it; FREQUENCY
 * and TRST statements change the port's clock and TRST pin.
 *
 * \param port the port.
 * \param program the program; keeps the mismatch of a failed check.
 * \param[in] options NULL for the defaults.
 * \param[out] summary NULL, or receives what was played, also on failure.
 * \param[out] report NULL, or receives the result and, on failure, what
 *        happened (orvdev_report; for a failed transfer the message says
 *        what it was for).
 * \retval 0 every statement played and every TDO check passed.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL port or program, a TCK above
 *         60000 kHz, a read-back bound of 0 or above
 *         #ORVDEV_SVF_MAX_READBACK; nothing sent.
 * \retval ORVDEV_ERROR_MISMATCH a TDO check failed: orvdev_svf_get_mismatch()
 *         says which and how; nothing was sent after its batch.
 * \retval ORVDEV_ERROR_STOPPED the progress or stop callback asked to stop.
 * \retval ORVDEV_ERROR_READBACK_STUCK the read-back an earlier failure left
 *         cannot be emptied; nothing else sent.
 * \retval -1..-17 a bus code: a transfer failed (report.message says what
 *         it was for); the read-back has been emptied.
 * \retval LIBUSB_ERROR_NO_MEM no memory.
 * \onfailure *summary says how far playing went (first_unknown,
 *         last_checked); the TAPs are where the file left them.
 * \threadsafety One call at a time per session.
 */
ORV_API int32_t orvdev_svf_play(orvdev_jtag_port* port, orvdev_svf* program,
                                const orvdev_svf_play_options* options, orvdev_svf_summary* summary,
                                orvdev_report* report);

/**
 * \brief The failed TDO check of a program's last play.
 *
 * \param[in] program the program.
 * \param[out] mismatch receives the check; its bytes stay valid until the
 *        program's next orvdev_svf_play() or orvdev_svf_free().
 * \retval 0 *mismatch is filled.
 * \retval ORVDEV_ERROR_INVALID_ARGUMENT a NULL program or mismatch, or the
 *         last play had no failed check.
 * \onfailure *mismatch is unchanged.
 * \threadsafety Thread-safe while no call plays the program.
 */
ORV_API int32_t orvdev_svf_get_mismatch(const orvdev_svf* program, orvdev_svf_mismatch* mismatch);

#ifdef __cplusplus
}
#endif

#endif /* ORV_DEVICES_H */
