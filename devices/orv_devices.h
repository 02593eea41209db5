/*
 * orv_devices: the parts on the ORV adapter's connectors, and the discipline
 * of a session with the adapter.
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
 * interconnect test of a netlist). And it keeps a session with the adapter
 * sound:
 *
 *   - the adapter's read-back is emptied when the session opens and after
 *     every operation that failed on the wire, and again before the next
 *     operation when that purge failed or bytes may come late (a timeout),
 *     so that bytes left by a failure are never returned as the next
 *     operation's data (the log callback says when bytes were thrown away);
 *   - every transfer has a time limit (a timeout of 0 is refused), and I2C
 *     transfers use at most ORVDEV_I2C_MAX_TIMEOUT_MS each, so that an adapter
 *     that stops answering costs seconds, not hours;
 *   - the adapter has one clock and one active connector: each handle (a
 *     JTAG chain, a flash, an I2C bus) sends its set-up again when another
 *     one, or the caller through the bus libraries (orvdev_session_touch),
 *     used the adapter in between;
 *   - clocks are never faster than asked: the fastest clock the adapter can
 *     make that is not above the request.
 *
 * Results. Every function that can fail returns a signed 32-bit result: 0 on
 * success, else a negative code. -1..-12 are libusb's codes, -13..-17 the bus
 * libraries' (orv_result.h), passed through from the transfer that failed;
 * the codes of enum orvdev_result below are this library's. orvdev_strerror()
 * gives the text of any code. Functions that take an orvdev_report (may be
 * NULL) fill it on failure: the same code, the bus code behind it, a message
 * in the user's terms, a hint, the bus library's text, and what the
 * operation had done before it stopped (orvdev_done). On success the report's
 * code is 0 and its texts are empty.
 *
 * Progress and stopping. Long operations (flash read, write, verify and
 * erase; I2C reads and detection; the chain scan; the interconnect test)
 * call the session's progress
 * callback as they go. When it returns ORVDEV_STOP, the operation ends at the
 * next point where the part is left consistent (never in the middle of a
 * program or erase command) and returns ORVDEV_ERROR_STOPPED, with the
 * report saying how far it got.
 *
 * Threads. The library starts no thread and keeps no global state. A session
 * and the handles made from it belong to one thread at a time; sessions on
 * different adapters are independent.
 *
 * Buffers. Output buffers hold valid data only when the result is 0; after a
 * failure they may hold part of the data, never more than their length.
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

    /** A BSDL file or netlist was refused: orvdev_input_error says where
     *  and why; nothing was sent. */
    ORVDEV_ERROR_BAD_INPUT = -150,
    /** A pin name the BSDL file does not have; the message lists the nearest
     *  names it has. Nothing was sent. */
    ORVDEV_ERROR_UNKNOWN_PIN = -151,
    /** The BSDL files do not fit the chain: an instruction length or IDCODE
     *  the chain contradicts, a TAP whose instruction length nothing tells. */
    ORVDEV_ERROR_BSDL_MISMATCH = -152,
    /** The device's BSDL file names no instruction for the operation
     *  (SAMPLE, PRELOAD, EXTEST). */
    ORVDEV_ERROR_BSCAN_UNSUPPORTED = -153
};

/** The text of any result code: 0, libusb's, the bus libraries' and this
 *  library's. Never NULL; unknown codes give a text that says so. */
ORV_API const char* orvdev_strerror(int32_t code);

#define ORVDEV_UNIT_MAX 24
#define ORVDEV_ACTION_MAX 24
#define ORVDEV_COUNTS_MAX 3
#define ORVDEV_DONE_MAX 6
#define ORVDEV_MESSAGE_MAX 512
#define ORVDEV_HINT_MAX 256
#define ORVDEV_PATH_MAX 4096

/** One count of what an operation had done: `done` of `total` `unit`. */
typedef struct orvdev_count {
    /** Plural: "bytes", "pages", "blocks", "addresses", "devices", "IR bits". */
    char unit[ORVDEV_UNIT_MAX];
    uint64_t done;
    /** Valid when has_total is non-zero. */
    uint64_t total;
    int32_t has_total;
} orvdev_count;

/** One step of a failed operation and how far it got. */
typedef struct orvdev_done {
    /** Past tense: "read", "erased", "programmed", "read back", "measured". */
    char action[ORVDEV_ACTION_MAX];
    /** The first leads; the others follow it in brackets in a sentence. */
    orvdev_count counts[ORVDEV_COUNTS_MAX];
    uint32_t count_count;
    /** The first address the step worked on (valid when has_from). */
    uint64_t from;
    int32_t has_from;
    /** Where the step that failed started (valid when has_stopped_at). */
    uint64_t stopped_at;
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
    uint32_t done_count;
    /** A file the operation wrote to keep data it could not put back (a
     *  failed flash write's old content); empty when none. */
    char recovery_file[ORVDEV_PATH_MAX];
    /** ORVDEV_ERROR_I2C_NO_ACK and ORVDEV_ERROR_I2C_DATA_NACK from
     *  orvdev_i2c_transfer: the message refused, counted from 0. -1
     *  otherwise. */
    int32_t message_index;
} orvdev_report;

/* ------------------------------------------------------------------------ */
/* Session                                                                  */

/** An opened adapter as this library uses it. */
typedef struct orvdev_session orvdev_session;

/** Log levels of the log callback. */
enum orvdev_log_level { ORVDEV_LOG_INFO = 0, ORVDEV_LOG_WARNING = 1 };

/** Told of what the session does on its own (bytes of stale read-back
 *  thrown away, a purge that failed). `message` is one line without a
 *  newline, valid during the call. */
typedef void (*orvdev_log_fn)(void* user, int32_t level, const char* message);

/** What the progress callback returns. */
enum orvdev_progress_answer { ORVDEV_CONTINUE = 0, ORVDEV_STOP = 1 };

/** Units of progress. */
enum orvdev_progress_unit { ORVDEV_UNIT_BYTES = 0, ORVDEV_UNIT_BLOCKS = 1, ORVDEV_UNIT_ITEMS = 2 };

/** Told how far a long operation is: in `stage` ("read", "erase", "write",
 *  "verify", "check", "probe", "scan"), `done` of `total` units. A stage
 *  starts with done 0. Return ORVDEV_CONTINUE, or ORVDEV_STOP to end the
 *  operation at the next safe point. */
typedef int32_t (*orvdev_progress_fn)(void* user, const char* stage, uint64_t done, uint64_t total,
                                      int32_t unit);

/** Default time limit of one USB transfer. */
#define ORVDEV_DEFAULT_TIMEOUT_MS 1000u
/** Longest time limit of one I2C transfer: the I2C read-back waits up to
 *  10 x timeout polls of up to timeout each, so 31 ms keeps a dead adapter's
 *  cost of one transaction under 10 s. */
#define ORVDEV_I2C_MAX_TIMEOUT_MS 31u

typedef struct orvdev_session_options {
    /** Per USB transfer, 1..600000 ms (0 is refused: it would let a
     *  read-back wait for ever). */
    uint32_t timeout_ms;
    /** May be NULL. */
    orvdev_log_fn log;
    void* log_user;
} orvdev_session_options;

/** Fills `options` with the defaults (ORVDEV_DEFAULT_TIMEOUT_MS, no log). */
ORV_API void orvdev_session_options_init(orvdev_session_options* options);

/**
 * Starts a session on an opened adapter whose interface the caller has
 * claimed, and empties its read-back (bytes another program or an earlier
 * failure left there). The handle stays the caller's: close the session
 * before closing the handle.
 * \param handle the adapter; not NULL.
 * \param options NULL for the defaults.
 * \param out receives the session; set only on success.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT (NULL handle or out, timeout 0
 *          or above 600000); ORVDEV_ERROR_READBACK_STUCK; libusb's code when
 *          a poll or read of the purge failed; LIBUSB_ERROR_NO_MEM.
 */
ORV_API int32_t orvdev_session_open(libusb_device_handle* handle, const orvdev_session_options* options,
                                    orvdev_session** out, orvdev_report* report);

/** Ends the session. Close every handle made from it first. NULL is
 *  accepted. */
ORV_API void orvdev_session_close(orvdev_session* session);

/** Sets (or with NULL clears) the callback told of progress. */
ORV_API void orvdev_session_set_progress(orvdev_session* session, orvdev_progress_fn progress, void* user);

/** The caller used the adapter through the bus libraries: the next handle
 *  to run sends its set-up again. */
ORV_API void orvdev_session_touch(orvdev_session* session);

/** The caller is about to use the adapter through the bus libraries: when a
 *  failure left the read-back unsettled (its purge failed, or bytes may
 *  have come late), empties it first, so that the caller's exchange does
 *  not take them as its data; and the next handle sends its set-up again
 *  (as orvdev_session_touch). Sends nothing otherwise.
 * \returns 0; as orvdev_session_purge when the read-back still cannot be
 *          emptied (it stays unsettled: call again before the next try). */
ORV_API int32_t orvdev_session_claim(orvdev_session* session, orvdev_report* report);

/** Empties the adapter's read-back now; `purged` (may be NULL) receives the
 *  bytes thrown away. \returns as the purge of orvdev_session_open. */
ORV_API int32_t orvdev_session_purge(orvdev_session* session, uint64_t* purged, orvdev_report* report);

/** After a failure of the caller's own work on the adapter (through the bus
 *  libraries): empties the read-back, telling the log callback when that
 *  threw bytes away or failed, leaves it unsettled (bytes may still come:
 *  orvdev_session_claim and the handles empty it again before the next
 *  operation), and makes the next handle send its set-up again. Never
 *  fails; NULL is accepted. (The library does this itself after its own
 *  operations fail.) */
ORV_API void orvdev_session_recover(orvdev_session* session);

/** The per-transfer time limit of the session. */
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

/** The fastest clock the adapter makes that is not above `khz`. */
ORV_API orvdev_clock orvdev_clock_for_khz(uint32_t khz);

/* ------------------------------------------------------------------------ */
/* JTAG chain                                                               */

/** The JTAG connector, set up for a chain. */
typedef struct orvdev_jtag orvdev_jtag;

#define ORVDEV_JTAG_MAX_DEVICES 64u

typedef struct orvdev_jtag_options {
    /** TCK in kHz; the fastest clock not above it (orvdev_clock_for_khz). */
    uint32_t tck_khz;
    /** Pin directions and levels for tapwire_ioset. */
    uint16_t direction;
    uint16_t level;
} orvdev_jtag_options;

/** Fills `options` with the defaults: 1000 kHz and the connector's usual
 *  pins (TCK, TDI, TMS out, TMS high). */
ORV_API void orvdev_jtag_options_init(orvdev_jtag_options* options);

/** Sets the clock and the pins. `out` is set only on success.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT; the bus code of the set-up. */
ORV_API int32_t orvdev_jtag_open(orvdev_session* session, const orvdev_jtag_options* options,
                                 orvdev_jtag** out, orvdev_report* report);
ORV_API void orvdev_jtag_close(orvdev_jtag* jtag);
/** The clock the chain runs at. */
ORV_API orvdev_clock orvdev_jtag_clock(const orvdev_jtag* jtag);

/** One TAP of a scanned chain. */
typedef struct orvdev_tap {
    /** Non-zero when the device loads an IDCODE at reset (else it came up in
     *  BYPASS and the fields below are 0). */
    int32_t has_idcode;
    uint32_t idcode;
    /** IDCODE bits 11..1: the JEP106 code (continuation count, id). */
    uint16_t manufacturer;
    /** JEP106 bank, 1-based, and the 7-bit id within it. */
    uint32_t jep106_bank;
    uint8_t jep106_id;
    /** IDCODE bits 27..12 and 31..28. */
    uint16_t part;
    uint8_t version;
    /** The JEP106 name, or NULL when the code is not listed. Static. */
    const char* vendor;
    /** Non-zero when the IR capture pattern told the length. */
    int32_t ir_length_known;
    uint32_t ir_length;
} orvdev_tap;

typedef struct orvdev_chain {
    uint32_t count;
    /** The IR lengths summed. */
    uint32_t ir_total;
    /** taps[0] is nearest TDO. */
    orvdev_tap taps[ORVDEV_JTAG_MAX_DEVICES];
} orvdev_chain;

/**
 * Resets the TAPs and measures the chain: the summed IR length, the device
 * count (up to ORVDEV_JTAG_MAX_DEVICES), the IDCODEs and each IR length where
 * the capture pattern tells it. Leaves the TAPs in Run-Test/Idle.
 * \returns 0; ORVDEV_ERROR_CHAIN_SILENT, ORVDEV_ERROR_CHAIN_NO_TAP,
 *          ORVDEV_ERROR_CHAIN_BROKEN; a bus code; ORVDEV_ERROR_STOPPED.
 */
ORV_API int32_t orvdev_chain_scan(orvdev_jtag* jtag, orvdev_chain* chain, orvdev_report* report);

/** Decodes an IDCODE into `tap` (has_idcode set, IR length unknown). */
ORV_API void orvdev_idcode_decode(uint32_t idcode, orvdev_tap* tap);

/** Which register a raw scan goes through. */
enum orvdev_jtag_register { ORVDEV_JTAG_IR = 0, ORVDEV_JTAG_DR = 1 };

/** One raw scan. Bit i of a bit string is bit (i mod 8) of byte (i div 8),
 *  bit 0 first out. */
typedef struct orvdev_raw_scan {
    int32_t reg;
    uint32_t bits;
    const uint8_t* tdi;
    /** Non-zero: reset the TAPs first; else one clock with TMS low takes
     *  them from Run-Test/Idle or Test-Logic-Reset to Run-Test/Idle, keeping
     *  their instructions. */
    int32_t reset;
    /** A data scan can load an instruction first (0 bits: none). */
    uint32_t ir_bits;
    const uint8_t* ir;
} orvdev_raw_scan;

/** Shifts `scan`, ending in Run-Test/Idle; tdo receives (bits + 7) / 8 bytes.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT (no bits, a NULL buffer); a bus
 *          code. */
ORV_API int32_t orvdev_jtag_raw_scan(orvdev_jtag* jtag, const orvdev_raw_scan* scan, uint8_t* tdo,
                                     orvdev_report* report);

/* ------------------------------------------------------------------------ */
/* SPI NOR flash                                                            */

/** A 25-series SPI NOR flash on the SPI connector, identified. */
typedef struct orvdev_flash orvdev_flash;

#define ORVDEV_FLASH_ERASE_TYPES_MAX 8u
#define ORVDEV_NAME_MAX 64

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

/** Fills `options` with the defaults: 6000 kHz, no override. */
ORV_API void orvdev_flash_options_init(orvdev_flash_options* options);

/** Where the parameters came from. */
enum orvdev_flash_source {
    ORVDEV_SOURCE_SFDP = 0,
    ORVDEV_SOURCE_TABLE = 1,
    ORVDEV_SOURCE_CAPACITY = 2,
    ORVDEV_SOURCE_OVERRIDE = 3
};

/** How addresses past the third byte reach a part above 16 MiB. */
enum orvdev_four_byte {
    ORVDEV_ADDRESS_3 = 0,            /* three bytes reach the whole part */
    ORVDEV_ADDRESS_4_OPCODES = 1,    /* 4-byte opcodes (0x13, 0x0C, 0x12, 0x21, ...) */
    ORVDEV_ADDRESS_4_ENTER = 2,      /* 0xB7 enters 4-byte address mode */
    ORVDEV_ADDRESS_4_ENTER_WREN = 3, /* write enable, then 0xB7 */
    ORVDEV_ADDRESS_4_ALWAYS = 4      /* the part always takes four bytes */
};

typedef struct orvdev_erase_type {
    uint32_t size;
    uint8_t opcode;
    /** 0 when the part has none. */
    uint8_t opcode_4byte;
    uint32_t typical_us;
    uint32_t max_us;
} orvdev_erase_type;

typedef struct orvdev_flash_info {
    /** Manufacturer, memory type, capacity (after continuation codes). */
    uint8_t jedec_id[3];
    /** JEP106 bank of the manufacturer code (1 + continuation codes). */
    uint32_t jep106_bank;
    /** The JEP106 name (NULL: not listed), and the name the flash's maker
     *  goes by today where the part table knows it (NULL otherwise): JEP106
     *  lists 0xEF as "NEXCOM", the maker of W25Q parts is Winbond. Static. */
    const char* vendor;
    const char* maker;
    /** "Winbond W25Q32" when the part table knows the id; else empty. */
    char part[ORVDEV_NAME_MAX];
    int32_t source;
    uint64_t size;
    /** 2^capacity byte when plausible, else 0. */
    uint64_t capacity_size;
    uint32_t page_size;
    /** Smallest first. */
    orvdev_erase_type erase_types[ORVDEV_FLASH_ERASE_TYPES_MAX];
    uint32_t erase_type_count;
    uint8_t chip_erase_opcode;
    uint32_t page_program_us;
    uint32_t page_program_max_us;
    uint64_t chip_erase_us;
    uint64_t chip_erase_max_us;
    /** Non-zero: reads use fast read (0x0B with 8 dummy clocks). */
    int32_t fast_read;
    int32_t four_byte;
    /** The SPI clock. */
    orvdev_clock clock;
} orvdev_flash_info;

/**
 * Configures the SPI connector, reads the JEDEC ID (waiting first for a
 * flash still busy with an earlier program or erase), then the parameters:
 * the SFDP tables, else the part table, else the capacity byte; or the
 * overrides. A part above 16 MiB is set up for 4-byte addresses.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT (a size that is not a power of
 *          two in range, a NULL out); ORVDEV_ERROR_UNKNOWN_PART;
 *          ORVDEV_ERROR_NO_FLASH; ORVDEV_ERROR_FLASH_UNKNOWN;
 *          ORVDEV_ERROR_FLASH_BUSY; a bus code.
 */
ORV_API int32_t orvdev_flash_open(orvdev_session* session, const orvdev_flash_options* options,
                                  orvdev_flash** out, orvdev_report* report);
/** Leaves 4-byte address mode when open entered it (a boot ROM expects
 *  three-byte addresses). NULL is accepted. */
ORV_API void orvdev_flash_close(orvdev_flash* flash);
ORV_API void orvdev_flash_get_info(const orvdev_flash* flash, orvdev_flash_info* info);

/** The name of a source, of an addressing mode ("3-byte", ...). */
ORV_API const char* orvdev_flash_source_name(int32_t source);
ORV_API const char* orvdev_flash_four_byte_name(int32_t four_byte);

/** The names of the part table, one by one (index from 0): "Winbond
 *  W25Q32"; NULL past the end. */
ORV_API const char* orvdev_flash_part_name(size_t index);

/** Reads [addr, addr + len) into buf (progress stage "read").
 * \returns 0; ORVDEV_ERROR_OUT_OF_RANGE; ORVDEV_ERROR_INVALID_ARGUMENT; a
 *          bus code; ORVDEV_ERROR_STOPPED (the report's done says how far). */
ORV_API int32_t orvdev_flash_read(orvdev_flash* flash, uint64_t addr, uint8_t* buf, uint64_t len,
                                  orvdev_report* report);

/** Erased blocks of one size. */
typedef struct orvdev_erase_count {
    uint32_t size;
    uint64_t count;
} orvdev_erase_count;

/** What a write did, or had done when it stopped. */
typedef struct orvdev_write_report {
    uint64_t addr;
    uint64_t len;
    /** Bytes of [addr, addr + len) the flash already held as wanted. */
    uint64_t unchanged_bytes;
    int32_t chip_erased;
    /** Sizes with at least one block erased, smallest first. */
    orvdev_erase_count erased[ORVDEV_FLASH_ERASE_TYPES_MAX];
    uint32_t erased_count;
    uint64_t pages_programmed;
    /** Non-zero when a read-back was asked for. */
    int32_t verify;
    /** Bytes read back and found as written. */
    uint64_t verified_bytes;
    uint64_t erases_planned;
    uint64_t pages_planned;
    /** The whole blocks the write touches: read first, and kept until the
     *  write is done (a failure puts their old content back). */
    uint64_t range_addr;
    uint64_t range_len;
} orvdev_write_report;

typedef struct orvdev_write_options {
    /** Non-zero: read back every byte erased or programmed. */
    int32_t verify;
    /** NULL: none. Else the old content of the whole blocks the write
     *  touches (range_addr, range_len of the result) is saved to this file
     *  before anything is erased. */
    const char* backup_file;
    /** Where a failed write saves what it could not put back; NULL: the
     *  working directory. */
    const char* recovery_dir;
} orvdev_write_options;

/** Fills `options` with the defaults: verify, no backup, the working
 *  directory. */
ORV_API void orvdev_write_options_init(orvdev_write_options* options);

/**
 * Writes `data` at addr so that the flash holds it and keeps what it held
 * around it: reads the blocks the write touches, erases only blocks where a
 * bit must rise (the erase sizes that take least time), programs only pages
 * that change, then (verify) reads back what it erased or programmed.
 * Stages "read", "erase", "write", "verify". When a step fails (or is
 * stopped) after an erase, the old bytes of the erased blocks outside
 * [addr, addr + len) are programmed back once; if that fails too, the
 * blocks' old content is saved to a file named in report.recovery_file, to
 * be written at result.range_addr.
 * \param options NULL for the defaults.
 * \param result may be NULL; filled on success and on failure.
 * \returns 0; ORVDEV_ERROR_OUT_OF_RANGE; ORVDEV_ERROR_INVALID_ARGUMENT (also
 *          a backup file that cannot be written: nothing erased);
 *          ORVDEV_ERROR_FLASH_PROTECTED; ORVDEV_ERROR_FLASH_NO_ERASE;
 *          ORVDEV_ERROR_FLASH_WRITE_ENABLE; ORVDEV_ERROR_FLASH_BUSY;
 *          ORVDEV_ERROR_MISMATCH (verify); a bus code; ORVDEV_ERROR_STOPPED.
 */
ORV_API int32_t orvdev_flash_write(orvdev_flash* flash, uint64_t addr, const uint8_t* data, uint64_t len,
                                   const orvdev_write_options* options, orvdev_write_report* result,
                                   orvdev_report* report);

/** The first difference found by a verify. */
typedef struct orvdev_mismatch {
    uint64_t addr;
    uint8_t expected;
    uint8_t found;
    /** Differing bytes in all. */
    uint64_t count;
} orvdev_mismatch;

/** Reads [addr, addr + len) and compares it with `data` (stage "verify").
 * \param mismatch may be NULL; filled when the result is ORVDEV_ERROR_MISMATCH.
 * \returns 0 when identical; ORVDEV_ERROR_MISMATCH; ORVDEV_ERROR_OUT_OF_RANGE;
 *          a bus code; ORVDEV_ERROR_STOPPED. */
ORV_API int32_t orvdev_flash_verify(orvdev_flash* flash, uint64_t addr, const uint8_t* data, uint64_t len,
                                    orvdev_mismatch* mismatch, orvdev_report* report);

typedef struct orvdev_erase_report {
    int32_t chip_erased;
    orvdev_erase_count erased[ORVDEV_FLASH_ERASE_TYPES_MAX];
    uint32_t erased_count;
    /** Bytes read back as 0xFF. */
    uint64_t checked_bytes;
} orvdev_erase_report;

/** Erases [addr, addr + len) in whole blocks of the smallest erase size
 *  (addr and len multiples of it), or with `chip` the whole chip, then reads
 *  the range back and checks that it is all 0xFF (stages "erase", "check").
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT (not whole blocks);
 *          ORVDEV_ERROR_OUT_OF_RANGE; ORVDEV_ERROR_FLASH_PROTECTED;
 *          ORVDEV_ERROR_FLASH_NO_ERASE; ORVDEV_ERROR_FLASH_BUSY;
 *          ORVDEV_ERROR_MISMATCH (the check); a bus code; ORVDEV_ERROR_STOPPED. */
ORV_API int32_t orvdev_flash_erase(orvdev_flash* flash, uint64_t addr, uint64_t len, int32_t chip,
                                   orvdev_erase_report* result, orvdev_report* report);

/** Status register 1 decoded as W25Q-style parts lay it out. */
typedef struct orvdev_flash_status {
    uint8_t status1;
    /** Status registers 2 and 3 (0x35, 0x15); 0xFF when the part has none. */
    uint8_t status2;
    uint8_t status3;
    int32_t busy;
    int32_t write_enabled;
    uint32_t bp;
    int32_t tb;
    int32_t sec;
    int32_t srp;
    /** CMP of status register 2: the range below is the complement of the
     *  one BP, TB and SEC name. */
    int32_t cmp;
    /** The protected range [protected_from, protected_to); equal when
     *  nothing is protected. */
    uint64_t protected_from;
    uint64_t protected_to;
} orvdev_flash_status;

ORV_API int32_t orvdev_flash_read_status(orvdev_flash* flash, orvdev_flash_status* status,
                                         orvdev_report* report);

/** Clears BP, TB, SEC and SRP in status register 1. `before` and `after`
 *  (may be NULL) receive the register.
 * \returns 0 (also when nothing was protected); ORVDEV_ERROR_FLASH_LOCKED;
 *          ORVDEV_ERROR_FLASH_STATUS_REFUSED; ORVDEV_ERROR_FLASH_WRITE_ENABLE;
 *          ORVDEV_ERROR_FLASH_BUSY; a bus code. */
ORV_API int32_t orvdev_flash_unprotect(orvdev_flash* flash, uint8_t* before, uint8_t* after,
                                       orvdev_report* report);

/** A range of the flash. */
typedef struct orvdev_range {
    uint64_t addr;
    uint64_t len;
} orvdev_range;

#define ORVDEV_PROTECTABLE_MAX 64u

/**
 * Protects exactly [addr, addr + len) against program and erase (len 0:
 * nothing), with the BP, TB and SEC bits of status register 1 and, on parts
 * with a status register 2, its CMP bit; the other status bits are kept.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT when the part cannot protect
 *          that range alone (the report lists the ranges it can);
 *          ORVDEV_ERROR_FLASH_LOCKED (SRP set); ORVDEV_ERROR_FLASH_STATUS_REFUSED;
 *          ORVDEV_ERROR_FLASH_WRITE_ENABLE; ORVDEV_ERROR_FLASH_BUSY; a bus code.
 */
ORV_API int32_t orvdev_flash_protect(orvdev_flash* flash, uint64_t addr, uint64_t len, orvdev_report* report);

/** The ranges orvdev_flash_protect can set on this part, sorted (at most
 *  ORVDEV_PROTECTABLE_MAX; `count` receives how many).
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT; a bus code. */
ORV_API int32_t orvdev_flash_protectable(orvdev_flash* flash, orvdev_range* ranges, uint32_t capacity,
                                         uint32_t* count, orvdev_report* report);

/** The bytes of the SFDP space (command 0x5A) at [addr, addr + len), 3-byte
 *  addresses. \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT; a bus code. */
ORV_API int32_t orvdev_flash_read_sfdp(orvdev_flash* flash, uint32_t addr, uint8_t* buf, uint32_t len,
                                       orvdev_report* report);

/** One parameter table the SFDP header lists. */
typedef struct orvdev_sfdp_table {
    /** MSB << 8 | LSB: 0xFF00 the basic table, 0xFF84 4-byte instructions. */
    uint16_t id;
    uint8_t major;
    uint8_t minor;
    uint32_t dwords;
    /** Byte address in the SFDP space. */
    uint32_t pointer;
} orvdev_sfdp_table;

#define ORVDEV_SFDP_TABLES_MAX 32u

/** The SFDP header's revision and its parameter headers.
 * \returns 0; ORVDEV_ERROR_NO_SFDP (no "SFDP" signature); a bus code. */
ORV_API int32_t orvdev_flash_sfdp_tables(orvdev_flash* flash, uint8_t* major, uint8_t* minor,
                                         orvdev_sfdp_table* tables, uint32_t* count, orvdev_report* report);

/* ------------------------------------------------------------------------ */
/* I2C                                                                      */

/** The I2C connector, set up as a bus master. */
typedef struct orvdev_i2c orvdev_i2c;

typedef struct orvdev_i2c_options {
    /** Bus clock in kHz; the fastest clock not above it. The adapter's
     *  slowest is 235.3 kHz: below it the clock is raised, see raised in
     *  orvdev_i2c_clock(). */
    uint32_t clock_khz;
    /** Non-zero: addresses are 10-bit (0x000..0x3FF), else 7-bit. */
    int32_t ten_bit;
} orvdev_i2c_options;

/** Fills `options` with the defaults: 400 kHz, 7-bit addresses. */
ORV_API void orvdev_i2c_options_init(orvdev_i2c_options* options);

ORV_API int32_t orvdev_i2c_open(orvdev_session* session, const orvdev_i2c_options* options, orvdev_i2c** out,
                                orvdev_report* report);
ORV_API void orvdev_i2c_close(orvdev_i2c* i2c);
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

/** `present` receives 1 when a device acknowledged `addr`, else 0.
 * \returns 0 (present or not); ORVDEV_ERROR_INVALID_ARGUMENT; a bus code. */
ORV_API int32_t orvdev_i2c_probe(orvdev_i2c* i2c, uint32_t addr, int32_t mode, int32_t* present,
                                 orvdev_report* report);

/** Probes first..last (stage "probe"); present[k] receives 1 when
 *  first + k answered. present holds last - first + 1 bytes. With
 *  ORVDEV_PROBE_AUTO on 10-bit addresses every address gets a quick write. */
ORV_API int32_t orvdev_i2c_detect(orvdev_i2c* i2c, uint32_t first, uint32_t last, int32_t mode,
                                  uint8_t* present, orvdev_report* report);

/** One transaction: START, the address, len bytes (1..4088), STOP.
 * \returns 0; ORVDEV_ERROR_I2C_NO_ACK; ORVDEV_ERROR_I2C_WRITE_FAILED;
 *          ORVDEV_ERROR_INVALID_ARGUMENT; a bus code. */
ORV_API int32_t orvdev_i2c_write(orvdev_i2c* i2c, uint32_t addr, const uint8_t* data, uint32_t len,
                                 orvdev_report* report);

/** Reads len bytes (any length, in transactions of at most 511 bytes; stage
 *  "read"). The device's own pointer says where from.
 * \returns 0; ORVDEV_ERROR_I2C_NO_ACK; a bus code; ORVDEV_ERROR_STOPPED. */
ORV_API int32_t orvdev_i2c_read(orvdev_i2c* i2c, uint32_t addr, uint8_t* buf, uint32_t len,
                                orvdev_report* report);

/**
 * Reads len bytes from register (or memory offset) `reg` with reg_bytes (1,
 * or 2 for 24C32 and larger EEPROMs, most significant byte first) address
 * bytes: a write of the register number ending in STOP, then the reads.
 * \returns as orvdev_i2c_read; ORVDEV_ERROR_INVALID_ARGUMENT (reg_bytes not
 *          1 or 2, reg too large for them).
 */
ORV_API int32_t orvdev_i2c_read_reg(orvdev_i2c* i2c, uint32_t addr, uint32_t reg, int32_t reg_bytes,
                                    uint8_t* buf, uint32_t len, orvdev_report* report);

/** Writes len bytes to register `reg` (reg_bytes 1 or 2) in one transaction.
 * \returns as orvdev_i2c_write. */
ORV_API int32_t orvdev_i2c_write_reg(orvdev_i2c* i2c, uint32_t addr, uint32_t reg, int32_t reg_bytes,
                                     const uint8_t* data, uint32_t len, orvdev_report* report);

/**
 * Writes len bytes into an EEPROM at `offset` (offset_bytes 1 or 2), one
 * page write at a time (page_size 1..256, a power of two; never across a
 * page boundary, where the EEPROM would wrap), each followed by the write
 * cycle: acknowledge polling until the EEPROM answers again, up to
 * write_cycle_ms (0: 10 ms, the 24Cxx maximum, times 2). Stage "write".
 * \returns 0; ORVDEV_ERROR_I2C_NO_ACK; ORVDEV_ERROR_I2C_BUSY;
 *          ORVDEV_ERROR_I2C_WRITE_FAILED; ORVDEV_ERROR_INVALID_ARGUMENT; a
 *          bus code; ORVDEV_ERROR_STOPPED (between pages).
 */
ORV_API int32_t orvdev_i2c_eeprom_write(orvdev_i2c* i2c, uint32_t addr, uint32_t offset, int32_t offset_bytes,
                                        uint32_t page_size, const uint8_t* data, uint32_t len,
                                        uint32_t write_cycle_ms, orvdev_report* report);

/** One message of a combined transaction. */
typedef struct orvdev_i2c_message {
    uint32_t addr;
    /** Non-zero: read `len` bytes into buf; else write `len` bytes from buf. */
    int32_t read;
    uint32_t len;
    uint8_t* buf;
} orvdev_i2c_message;

#define ORVDEV_I2C_MAX_MESSAGES 42u

/**
 * Runs the messages as one transaction, as i2ctransfer does: START, each
 * message with its address, a repeated START between messages, STOP at the
 * end; no STOP in between, for devices that lose their register pointer on
 * STOP. One OUT transfer and one read-back exchange: the acknowledges and
 * the bytes read must fit 512 read-back bytes (about 500 bytes read, or
 * 4000 written). A write message of no bytes is the address alone.
 * \returns 0; ORVDEV_ERROR_I2C_NO_ACK (report.message_index: the message
 *          whose address went unanswered, report.byte_index -1);
 *          ORVDEV_ERROR_I2C_DATA_NACK (report.message_index and
 *          report.byte_index: the refused byte within its message);
 *          ORVDEV_ERROR_INVALID_ARGUMENT (no messages, more than
 *          ORVDEV_I2C_MAX_MESSAGES, a read of 0 bytes, too long for one
 *          exchange; nothing sent); a bus code.
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

/** Where a file was refused. */
typedef struct orvdev_input_error {
    char file[ORVDEV_PATH_MAX];
    /** 1-based; 0 when the place is a JSON path (or the whole file). */
    uint32_t line;
    uint32_t column;
    /** The JSON path of a netlist key ("nets.SDA[1]"); empty otherwise. */
    char path[ORVDEV_MESSAGE_MAX];
    /** What was expected there ("expected ')' after the cell"). */
    char reason[ORVDEV_MESSAGE_MAX];
} orvdev_input_error;

/** A BSDL file, read. */
typedef struct orvdev_bsdl orvdev_bsdl;

/**
 * Reads a BSDL file (IEEE 1149.1-1990, -1994 or -2001). Parts of the
 * language a boundary-scan tool does not need are skipped and listed as
 * notices (orvdev_bsdl_get_notice), never a failure.
 * \param where may be NULL; filled when the result is ORVDEV_ERROR_BAD_INPUT:
 *        the file, line and column, and what was expected there.
 * \returns 0; ORVDEV_ERROR_BAD_INPUT (unreadable, broken or contradicting
 *          itself); ORVDEV_ERROR_INVALID_ARGUMENT (NULL path or out);
 *          LIBUSB_ERROR_NO_MEM.
 */
ORV_API int32_t orvdev_bsdl_load(const char* path, orvdev_bsdl** out, orvdev_input_error* where,
                                 orvdev_report* report);
/** NULL is accepted. Handles opened with the file keep what they need. */
ORV_API void orvdev_bsdl_free(orvdev_bsdl* file);

typedef struct orvdev_bsdl_info {
    const char* path;
    /** The entity: the device's name in the file. */
    const char* entity;
    /** The package of the use clause: "STD_1149_1_2001". */
    const char* standard;
    uint32_t instruction_length;
    uint32_t boundary_length;
    /** Non-zero when the file gives an IDCODE; then bits of idcode_care
     *  that are 1 must match (the others are the file's X bits, read 0). */
    int32_t has_idcode;
    uint32_t idcode;
    uint32_t idcode_care;
    /** Pins with boundary cells (orvdev_bsdl_get_pin). */
    uint32_t pin_count;
    uint32_t instruction_count;
    uint32_t notice_count;
} orvdev_bsdl_info;

ORV_API void orvdev_bsdl_get_info(const orvdev_bsdl* file, orvdev_bsdl_info* info);

/** The name of instruction `index` (from 0), in the file's order; NULL past
 *  the end. `is_private` (may be NULL) receives 1 for a private one. */
ORV_API const char* orvdev_bsdl_instruction(const orvdev_bsdl* file, uint32_t index, int32_t* is_private);

/** What the reader skipped, at its line and column. */
typedef struct orvdev_bsdl_notice {
    uint32_t line;
    uint32_t column;
    const char* text;
} orvdev_bsdl_notice;

/** Notice `index` (from 0). \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT past
 *  the end. */
ORV_API int32_t orvdev_bsdl_get_notice(const orvdev_bsdl* file, uint32_t index, orvdev_bsdl_notice* notice);

/** What a pin can do, by its boundary cells. */
enum orvdev_pin_direction {
    ORVDEV_PIN_IN = 0,    /* observed only */
    ORVDEV_PIN_OUT = 1,   /* a two-state output: drives at all times in EXTEST */
    ORVDEV_PIN_INOUT = 2, /* drives or lets go, and is observed */
    ORVDEV_PIN_OUT3 = 3   /* drives or lets go (open drain too), not observed */
};

/** A pin with boundary cells, and what a scan saw of it. */
typedef struct orvdev_bscan_pin {
    /** The port name, a vector's element as "D(3)". */
    const char* port;
    /** The first package pin of the pin map in use; "" when it names none. */
    const char* package_pin;
    int32_t direction;
    /** The level the pin shows; for an output without an input cell, the
     *  level the device drives; -1 when nothing is seen (an output that
     *  lets go and has no input cell, and before any scan). */
    int32_t value;
    /** Non-zero when the device drives the pin (outputs only). */
    int32_t driven;
} orvdev_bscan_pin;

/** Pin `index` (from 0, below pin_count) as the file describes it: value -1,
 *  driven 0. \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT past the end. */
ORV_API int32_t orvdev_bsdl_get_pin(const orvdev_bsdl* file, uint32_t index, orvdev_bscan_pin* pin);

/** The index of a pin by name ("PA0", "d(3)", any letter case).
 * \returns 0; ORVDEV_ERROR_UNKNOWN_PIN (the message names the nearest pins;
 *          a pin without boundary cells is named as such). */
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

typedef struct orvdev_bsdl_match {
    int32_t status;
    /** Index into the files given; -1 when none. */
    int32_t file;
} orvdev_bsdl_match;

/** For each TAP of `chain`, the first of `files` that describes it.
 *  `matches` holds chain->count entries. Nothing is sent.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT. */
ORV_API int32_t orvdev_bsdl_match_chain(const orvdev_chain* chain, const orvdev_bsdl* const* files,
                                        uint32_t count, orvdev_bsdl_match* matches, orvdev_report* report);

/** The boundary registers of a chain. */
typedef struct orvdev_bscan orvdev_bscan;

/**
 * The chain's boundary registers: `tap_files[i]` describes TAP i (NULL: a
 * TAP without a file, only ever in BYPASS). `tap_files` holds chain->count
 * entries. Checks that the files fit the chain (instruction lengths, their
 * sum, IDCODEs); a TAP without a file needs its instruction length from the
 * chain scan, or from the others' when it is the only one. Nothing is sent.
 * The JTAG handle must outlive the boundary-scan handle.
 * \returns 0; ORVDEV_ERROR_BSDL_MISMATCH; ORVDEV_ERROR_INVALID_ARGUMENT.
 */
ORV_API int32_t orvdev_bscan_open(orvdev_jtag* jtag, const orvdev_chain* chain,
                                  const orvdev_bsdl* const* tap_files, orvdev_bscan** out,
                                  orvdev_report* report);
/** Sends nothing: a device held in EXTEST stays so (orvdev_bscan_release
 *  first to return it to its normal function). NULL is accepted. */
ORV_API void orvdev_bscan_close(orvdev_bscan* bscan);

/**
 * SAMPLE of every pin of TAP `tap`: one IR scan and one DR scan, in one OUT
 * transfer and one read-back exchange; the device stays in its normal
 * function (a device held in EXTEST stays held, and shows its pins as
 * driven). `pins` receives one entry per pin with boundary cells, in the
 * file's order (pin_count of its orvdev_bsdl_info); `capacity` entries fit.
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT (no such TAP, a TAP without a
 *          file, too small a capacity: nothing sent);
 *          ORVDEV_ERROR_BSCAN_UNSUPPORTED; a bus code.
 */
ORV_API int32_t orvdev_bscan_sample(orvdev_bscan* bscan, uint32_t tap, orvdev_bscan_pin* pins,
                                    uint32_t capacity, orvdev_report* report);

/** A level to drive a pin to. */
enum orvdev_pin_level { ORVDEV_LEVEL_LOW = 0, ORVDEV_LEVEL_HIGH = 1, ORVDEV_LEVEL_Z = 2 };

typedef struct orvdev_pin_setting {
    /** A pin name as orvdev_bsdl_find_pin takes it. */
    const char* pin;
    /** enum orvdev_pin_level; an open-drain pin drives its active level and
     *  lets go for the other. */
    int32_t level;
} orvdev_pin_setting;

/**
 * Drives pins of TAP `tap`: PRELOAD of the boundary register with every
 * other cell at its safe value (so that nothing glitches when EXTEST takes
 * the pins), EXTEST, and a DR scan that reads every pin as driven (into
 * `pins`, which may be NULL). With `hold` the device stays in EXTEST: later
 * calls change its pins from what they drive (without a PRELOAD), samples of
 * the other devices keep it, and orvdev_bscan_release ends it. Without, the
 * device returns to its normal function at the end: Test-Logic-Reset, or,
 * while another device is held, BYPASS. One OUT transfer, one read-back
 * exchange.
 * \returns 0; ORVDEV_ERROR_UNKNOWN_PIN; ORVDEV_ERROR_INVALID_ARGUMENT (no
 *          settings, a pin twice, an input driven, a two-state output let
 *          go, a level outside the enum, too small a capacity: nothing
 *          sent); ORVDEV_ERROR_BSCAN_UNSUPPORTED; a bus code.
 */
ORV_API int32_t orvdev_bscan_drive(orvdev_bscan* bscan, uint32_t tap, const orvdev_pin_setting* settings,
                                   uint32_t count, int32_t hold, orvdev_bscan_pin* pins, uint32_t capacity,
                                   orvdev_report* report);

/** Test-Logic-Reset: every device back to its normal function, nothing
 *  held. \returns 0; a bus code. */
ORV_API int32_t orvdev_bscan_release(orvdev_bscan* bscan, orvdev_report* report);

/** A netlist for the interconnect test, read and checked against its BSDL
 *  files (see orvtool(1), NETLIST FILES). */
typedef struct orvdev_netlist orvdev_netlist;

/**
 * Reads a netlist (JSON) and the BSDL files it names (relative to it), and
 * checks it before anything is driven: every pin an I/O of its device (a
 * pin the file does not have is refused with the nearest names), at most
 * one pin of a net that always drives it, unknown devices and keys. A
 * device that gives an "idcode" and no "bsdl" takes the first of `files`
 * with that IDCODE (files may be NULL when count is 0).
 * \param where may be NULL; filled when the result is ORVDEV_ERROR_BAD_INPUT
 *        (the netlist with a JSON path, or a BSDL file with its line).
 * \returns 0; ORVDEV_ERROR_BAD_INPUT; ORVDEV_ERROR_INVALID_ARGUMENT;
 *          LIBUSB_ERROR_NO_MEM.
 */
ORV_API int32_t orvdev_netlist_load(const char* path, const orvdev_bsdl* const* files, uint32_t count,
                                    orvdev_netlist** out, orvdev_input_error* where, orvdev_report* report);
ORV_API void orvdev_netlist_free(orvdev_netlist* netlist);

/**
 * The files of the netlist's devices at their places in `chain` (by "tap",
 * or by "idcode"), for orvdev_bscan_open: `tap_files` receives chain->count
 * entries, NULL for TAPs the netlist does not name. Nothing is sent.
 * \returns 0; ORVDEV_ERROR_BSDL_MISMATCH (a position past the chain, an
 *          IDCODE no TAP or several TAPs have, a file whose IDCODE or
 *          instruction length the TAP contradicts, two devices on one TAP);
 *          ORVDEV_ERROR_INVALID_ARGUMENT.
 */
ORV_API int32_t orvdev_netlist_taps(const orvdev_netlist* netlist, const orvdev_chain* chain,
                                    const orvdev_bsdl** tap_files, orvdev_report* report);

/** How shorted nets combine. */
enum orvdev_short_behaviour { ORVDEV_SHORT_AND = 0, ORVDEV_SHORT_OR = 1, ORVDEV_SHORT_UNKNOWN = 2 };

typedef struct orvdev_connect_open {
    const char* net;
    /** The pin that does not follow the net's driver ("U2.D(2)"). */
    const char* pin;
} orvdev_connect_open;

typedef struct orvdev_connect_short {
    const char* const* nets;
    uint32_t net_count;
    int32_t behaves_as;
} orvdev_connect_short;

typedef struct orvdev_connect_stuck {
    const char* net;
    int32_t value;
} orvdev_connect_stuck;

typedef struct orvdev_connect_untested {
    const char* net;
    /** Why: "no driver: ...", "no receiver: ...", "not in any BSDL: ...",
     *  "left alone: ...". */
    const char* why;
} orvdev_connect_untested;

/** What an interconnect test found; owned by the library
 *  (orvdev_connect_result_free). */
typedef struct orvdev_connect_result {
    /** Non-zero when no open, short or stuck net was found. */
    int32_t passed;
    uint32_t patterns;
    uint32_t nets_tested;
    const orvdev_connect_open* opens;
    uint32_t open_count;
    const orvdev_connect_short* shorts;
    uint32_t short_count;
    const orvdev_connect_stuck* stuck;
    uint32_t stuck_count;
    const orvdev_connect_untested* untested;
    uint32_t untested_count;
    /** DR scans of the test, and what it took on the wire. */
    uint32_t scans;
    uint32_t out_transfers;
    uint32_t readback_exchanges;
    uint64_t readback_bytes;
} orvdev_connect_result;

/**
 * The interconnect test of `netlist` on a handle opened with its files
 * (orvdev_netlist_taps): every net that has a pin to drive it and another
 * to read it gets a code of its own, neither all 0 nor all 1 (a counting
 * sequence and its complement); every pattern is one DR scan of the devices
 * in EXTEST (PRELOAD first), all scans in as few exchanges as the read-back
 * bound allows; then Test-Logic-Reset. Pins that do not drive are let go;
 * pins in "leave" and pins on no net keep their safe values. Found: opens
 * (a pin that does not follow its net's driver), shorts (nets that read
 * each other's codes, with the wired-AND or -OR they behave as), nets stuck
 * at 0 or 1, and nets it could not test, with why. Progress stage "test"
 * (patterns).
 * \param out receives the result on success (also when the board fails the
 *        test: see passed).
 * \returns 0; ORVDEV_ERROR_INVALID_ARGUMENT (a handle opened with other
 *          files: nothing sent); ORVDEV_ERROR_BSCAN_UNSUPPORTED; a bus code;
 *          ORVDEV_ERROR_STOPPED (the devices are back in their normal
 *          function).
 */
ORV_API int32_t orvdev_connect_test(orvdev_bscan* bscan, const orvdev_netlist* netlist,
                                    orvdev_connect_result** out, orvdev_report* report);
/** NULL is accepted. */
ORV_API void orvdev_connect_result_free(orvdev_connect_result* result);

#ifdef __cplusplus
}
#endif

#endif /* ORV_DEVICES_H */
