/*
 * orv_tapwire: JTAG through the ORV USB bridge adapter.
 *
 * The caller opens the adapter with libusb, claims its interface and passes
 * the handle into every operation. The library keeps nothing between calls:
 * the caller owns the TAP state variable (a tpw_tap_state value) that mirrors
 * the target's TAP controller, and every operation that moves the TAP takes a
 * pointer to it. The variable is written only when the whole operation
 * succeeded.
 *
 * Each operation sends its whole work in one bulk OUT transfer; a scan that
 * captures TDO then fetches the captured bytes with the read-back exchange
 * (tapwire_readback_tdo). Results are the codes of orv_result.h: 0, libusb's
 * own -1..-12, or -13..-17.
 *
 * Operations that build a command sequence may also return TPW_ERROR_CMD_ERR
 * when it came out malformed: an internal fault of the library, nothing sent.
 *
 * Bit strings: bit i of a scan is bit (i mod 8) of byte (i div 8), byte 0
 * first, shifted least significant bit first.
 *
 * Calls on one adapter must be serialised by the caller: a read-back takes
 * whatever bytes the adapter holds. After a capture that failed, empty the
 * adapter's read-back before the next one (recipe in orv_result.h), or the
 * next capture returns the bytes left behind as its TDO, with 0. A timeout of
 * 0 is no limit (orv_result.h): a capture then waits for as long as the
 * adapter reports too few bytes.
 */
#ifndef ORV_TAPWIRE_H
#define ORV_TAPWIRE_H

#include <stdint.h>

#include <libusb.h>

#include "orv_result.h"

#ifdef __cplusplus
extern "C" {
#endif

/** TAP controller states (IEEE 1149.1), as held in the caller's state variable. */
enum tpw_tap_state {
    TPW_TAP_TEST_LOGIC_RESET = 0,
    TPW_TAP_RUN_TEST_IDLE = 1,
    TPW_TAP_SELECT_DR_SCAN = 2,
    TPW_TAP_CAPTURE_DR = 3,
    TPW_TAP_SHIFT_DR = 4,
    TPW_TAP_EXIT1_DR = 5,
    TPW_TAP_PAUSE_DR = 6,
    TPW_TAP_EXIT2_DR = 7,
    TPW_TAP_UPDATE_DR = 8,
    TPW_TAP_SELECT_IR_SCAN = 9,
    TPW_TAP_CAPTURE_IR = 10,
    TPW_TAP_SHIFT_IR = 11,
    TPW_TAP_EXIT1_IR = 12,
    TPW_TAP_PAUSE_IR = 13,
    TPW_TAP_EXIT2_IR = 14,
    TPW_TAP_UPDATE_IR = 15
};

/* ---- Read-back and result texts ---------------------------------------- */

/**
 * Fetches the TDO bytes of an earlier scan (for instance one built with
 * tapwire_build_shift_dr_cmd with the read flag and sent by the caller).
 * Polls endpoint 0x83 until the adapter holds at least ceil(bit_count / 8)
 * bytes, then reads them from endpoint 0x81 into tdo_buf. Bytes the adapter
 * reports beyond that are read and dropped; tdo_buf receives exactly
 * ceil(bit_count / 8) bytes.
 *
 * \param timeout milliseconds for each bulk transfer (0: none); the exchange
 *        gives up after 10 x timeout + 1 polls that found too few bytes
 *        (never with timeout 0: it then polls until enough bytes are there or
 *        a poll fails).
 * \returns 0 on success;
 *          TPW_ERROR_INVALID_PARAM for bit_count <= 0, a null handle or a null
 *          tdo_buf (nothing transferred);
 *          libusb's code when a poll or the data read fails;
 *          TPW_ERROR_USBTRANS_ERR when a poll moves other than 4 bytes or the
 *          data read other than the reported count;
 *          TPW_ERROR_TIMEOUT at the poll limit;
 *          LIBUSB_ERROR_NO_MEM when a scratch buffer cannot be allocated.
 *          tdo_buf holds valid TDO only on 0. When the adapter reports exactly
 *          ceil(bit_count / 8) bytes they are read straight into tdo_buf, so a
 *          data read that fails (libusb's code) or moves fewer bytes
 *          (TPW_ERROR_USBTRANS_ERR) may leave the bytes that arrived there;
 *          never more than ceil(bit_count / 8). On every other failure tdo_buf
 *          is untouched. After any failure but TPW_ERROR_INVALID_PARAM the
 *          adapter may still hold TDO bytes: purge them (orv_result.h).
 */
ORV_API int32_t tapwire_readback_tdo(libusb_device_handle* handle, int32_t bit_count, uint8_t* tdo_buf,
                                     uint32_t timeout);

/**
 * Text of a result code of any of the ORV libraries. Never null; static
 * storage, not to be freed. Codes 0..-16 have their own text; -17, every
 * lower code and every positive code give "tapwire other error".
 */
ORV_API const char* tapwire_get_err_info(int32_t code);

/* ---- Adapter set-up ---------------------------------------------------- */

/**
 * Sets the TCK clock divisor: the low eight bits of 60000 / freq, with the
 * fast divisor command above 240 and the slow one at 240 and below.
 * \returns 0; TPW_ERROR_INVALID_PARAM for freq 0 or a null handle (nothing
 *          sent); libusb's code; TPW_ERROR_USBTRANS_ERR for a short transfer.
 */
ORV_API int32_t tapwire_tckset(libusb_device_handle* handle, uint32_t freq, uint32_t timeout);

/**
 * Sets the direction (bit set: output) and level of the adapter's pins, and
 * the clock-idles-low, LSB-first mode values. Bits 0..7 go to the low pin
 * group, bits 7..14 to the second group.
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle; libusb's code;
 *          TPW_ERROR_USBTRANS_ERR for a short transfer.
 */
ORV_API int32_t tapwire_ioset(libusb_device_handle* handle, uint16_t direction, uint16_t level,
                              uint32_t timeout);

/**
 * Forces the TAP into Test-Logic-Reset (seven clocks with TMS high) and, on
 * success, sets *state to TPW_TAP_TEST_LOGIC_RESET.
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle or state (nothing
 *          sent); libusb's code; TPW_ERROR_USBTRANS_ERR for a short transfer.
 *          On failure *state is unchanged.
 */
ORV_API int32_t tapwire_reset(libusb_device_handle* handle, int32_t* state, uint32_t timeout);

/* ---- TAP state machine ------------------------------------------------- */

/**
 * Computes the shortest TMS sequence from *state to target. On success
 * *count is the number of clocks minus one (-1 when *state already equals
 * target), bit k of *pattern is TMS of clock k (bits above the path clear),
 * and *state is set to target. Nothing is sent.
 * \returns 0; TPW_ERROR_INVALID_PARAM when *state or target is outside 0..15
 *          or a pointer is null; then *state, *count and *pattern are unchanged.
 */
ORV_API int32_t jtag_generate_tms_array(int32_t* state, int32_t target, int32_t* count, uint32_t* pattern);

/**
 * Name of a TAP state ("state error" for values outside 0..15); static
 * storage. Prints "state code local: %02x  " with the table index to
 * standard output on every call.
 */
ORV_API const char* jtag_get_state_str(int32_t state);

/* ---- Navigation and scans ---------------------------------------------- */

/**
 * Moves the TAP to Run-Test/Idle and gives idle_clocks extra clocks there.
 * One bulk OUT transfer of 0 to 6 bytes, made even when there is nothing to
 * send. On success *state is TPW_TAP_RUN_TEST_IDLE.
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle or state, or *state
 *          outside 0..15 (nothing sent); libusb's code; TPW_ERROR_USBTRANS_ERR
 *          for a short transfer. On failure *state is unchanged.
 */
ORV_API int32_t tapwire_goto_idle(libusb_device_handle* handle, int32_t* state, uint16_t idle_clocks,
                                  uint32_t timeout);

/**
 * Shifts bit_count bits of tdi through the instruction register and returns
 * to Run-Test/Idle, followed by idle_clocks clocks there. When tdo is not
 * null the TDO bits are captured and ceil(bit_count / 8) bytes are stored in
 * tdo. One bulk OUT transfer, then for a capture the read-back exchange.
 * Scans of any length are accepted.
 * \returns 0 (then *state is TPW_TAP_RUN_TEST_IDLE);
 *          TPW_ERROR_INVALID_PARAM for bit_count <= 0, a null handle, state or
 *          tdi, or *state outside 0..15 (nothing allocated or sent);
 *          LIBUSB_ERROR_NO_MEM when the command buffer cannot be allocated;
 *          libusb's code when the OUT transfer fails; TPW_ERROR_USBTRANS_ERR
 *          for a short OUT transfer; the codes of tapwire_readback_tdo for a
 *          capture, with tdo as it leaves it (valid only on 0). On failure
 *          *state is unchanged, although the adapter may have clocked the scan:
 *          reset the TAP or move it to a known state before relying on it.
 */
ORV_API int32_t tapwire_shift_ir(libusb_device_handle* handle, int32_t* state, int32_t bit_count,
                                 const uint8_t* tdi, uint8_t* tdo, uint16_t idle_clocks, uint32_t timeout);

/**
 * As tapwire_shift_ir, through the selected data register. When its OUT
 * transfer fails it also prints "usb trans error: %d\n" (libusb error) or
 * "TPW_ERROR_USBTRANS_ERR\n" (short transfer) to standard output.
 */
ORV_API int32_t tapwire_shift_dr(libusb_device_handle* handle, int32_t* state, int32_t bit_count,
                                 const uint8_t* tdi, uint8_t* tdo, uint16_t idle_clocks, uint32_t timeout);

/* ---- Pre-built DR scan ------------------------------------------------- */

/**
 * Writes the command sequence of one DR scan, the bytes tapwire_shift_dr
 * would send, to out instead of sending it, so that many scans can go in one
 * transfer of the caller's. *capacity is the room left at out. The needed
 * room is B + 16 bytes (B + 17 with read set), B = ceil(bit_count / 8); a
 * scan longer than 2056 bits carries its whole bytes in several byte
 * commands of 256 bytes and needs 2 more bytes for each command after the
 * first.
 * On success the sequence is at out, *written holds its length (at most the
 * needed room), *capacity is reduced by it and *state is
 * TPW_TAP_RUN_TEST_IDLE. With read set the sequence captures TDO; fetch the
 * bytes with tapwire_readback_tdo once it has been sent. No allocation, no
 * USB traffic.
 * \returns 0;
 *          LIBUSB_ERROR_NO_MEM when *capacity is below the needed room (nothing
 *          written, nothing changed);
 *          TPW_ERROR_INVALID_PARAM for bit_count <= 0, a null pointer or *state
 *          outside 0..15 (nothing written);
 *          TPW_ERROR_CMD_ERR if the sequence came out longer than the needed
 *          room, an internal fault (outputs unchanged).
 */
ORV_API int32_t tapwire_build_shift_dr_cmd(int32_t* state, int32_t bit_count, const uint8_t* tdi,
                                           uint16_t idle_clocks, uint8_t read, uint8_t* out,
                                           int32_t* capacity, int32_t* written);

#ifdef __cplusplus
}
#endif

#endif /* ORV_TAPWIRE_H */
