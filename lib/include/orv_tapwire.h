/**
 * \file orv_tapwire.h
 * \brief orv_tapwire: JTAG through the ORV USB bridge adapter.
 *
 * The caller opens the adapter with libusb, claims its interface and passes
 * the handle into every operation. The library keeps nothing between calls:
 * the caller owns the TAP state variable (a #tpw_tap_state value) that mirrors
 * the target's TAP controller, and every operation that moves the TAP takes a
 * pointer to it. The variable is written only when the whole operation
 * succeeded.
 *
 * Each operation sends its whole work in one bulk OUT transfer; a scan that
 * captures TDO then fetches the captured bytes with the read-back exchange
 * (tapwire_readback_tdo()). Results are the codes of orv_result.h: 0,
 * libusb's own -1..-12, or -13..-17.
 *
 * Operations that build a command sequence may also return #TPW_ERROR_CMD_ERR
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
 *
 * \par Example
 * Reads the IDCODE of the first TAP after a reset (Test-Logic-Reset selects
 * IDCODE, or BYPASS, in every TAP). Build with
 * `cc idcode.c $(pkg-config --cflags --libs orv_tapwire libusb-1.0)`.
 * \code{.c}
 * #include <stdio.h>
 * #include <orv_tapwire.h>
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
 *     int32_t state = TPW_TAP_TEST_LOGIC_RESET;
 *     uint8_t tdi[4] = {0xff, 0xff, 0xff, 0xff}, tdo[4];
 *     int32_t rc = tapwire_tckset(handle, 1000, 1000);        // TCK 1 MHz
 *     if (rc == 0)                                            // TCK, TDI, TMS out; TMS high
 *         rc = tapwire_ioset(handle, 0x000b, 0x0008, 1000);
 *     if (rc == 0)
 *         rc = tapwire_reset(handle, &state, 1000);
 *     if (rc == 0)
 *         rc = tapwire_shift_dr(handle, &state, 32, tdi, tdo, 0, 1000);
 *     if (rc == 0)
 *         printf("IDCODE 0x%02x%02x%02x%02x\n", tdo[3], tdo[2], tdo[1], tdo[0]);
 *     else
 *         fprintf(stderr, "JTAG: %s (%d)\n", tapwire_get_err_info(rc), rc);
 *     libusb_release_interface(handle, 0);
 *     libusb_close(handle);
 *     libusb_exit(ctx);
 *     return rc == 0 ? 0 : 1;
 * }
 * \endcode
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
    TPW_TAP_TEST_LOGIC_RESET = 0, /**< Test-Logic-Reset: the instruction is IDCODE (or BYPASS). */
    TPW_TAP_RUN_TEST_IDLE = 1,    /**< Run-Test/Idle: where every scan ends. */
    TPW_TAP_SELECT_DR_SCAN = 2,   /**< Select-DR-Scan. */
    TPW_TAP_CAPTURE_DR = 3,       /**< Capture-DR. */
    TPW_TAP_SHIFT_DR = 4,         /**< Shift-DR. */
    TPW_TAP_EXIT1_DR = 5,         /**< Exit1-DR. */
    TPW_TAP_PAUSE_DR = 6,         /**< Pause-DR. */
    TPW_TAP_EXIT2_DR = 7,         /**< Exit2-DR. */
    TPW_TAP_UPDATE_DR = 8,        /**< Update-DR. */
    TPW_TAP_SELECT_IR_SCAN = 9,   /**< Select-IR-Scan. */
    TPW_TAP_CAPTURE_IR = 10,      /**< Capture-IR. */
    TPW_TAP_SHIFT_IR = 11,        /**< Shift-IR. */
    TPW_TAP_EXIT1_IR = 12,        /**< Exit1-IR. */
    TPW_TAP_PAUSE_IR = 13,        /**< Pause-IR. */
    TPW_TAP_EXIT2_IR = 14,        /**< Exit2-IR. */
    TPW_TAP_UPDATE_IR = 15        /**< Update-IR. */
};

/* ---- Read-back and result texts ---------------------------------------- */

/**
 * \brief Fetches the TDO bytes of an earlier scan from the adapter's read-back.
 *
 * For a scan the caller sent itself, for instance one built with
 * tapwire_build_shift_dr_cmd() with the read flag. Polls endpoint 0x83 until
 * the adapter holds at least ceil(bit_count / 8) bytes, then reads them from
 * endpoint 0x81 into tdo_buf. Bytes the adapter reports beyond that are read
 * and dropped; tdo_buf receives exactly ceil(bit_count / 8) bytes.
 *
 * \param handle the claimed adapter.
 * \param bit_count the scan's length in bits, above 0.
 * \param[out] tdo_buf room for ceil(bit_count / 8) bytes; bit i of the scan
 *        lands in bit (i mod 8) of byte (i div 8).
 * \param timeout milliseconds for each bulk transfer (0: none); the exchange
 *        gives up after 10 x timeout + 1 polls that found too few bytes
 *        (never with timeout 0: it then polls until enough bytes are there or
 *        a poll fails).
 * \retval 0 tdo_buf holds the scan's TDO.
 * \retval TPW_ERROR_INVALID_PARAM bit_count <= 0, a null handle or a null
 *         tdo_buf; nothing transferred.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of a poll or of the data read
 *         that failed.
 * \retval TPW_ERROR_USBTRANS_ERR a poll moved other than 4 bytes, or the data
 *         read other than the reported count.
 * \retval TPW_ERROR_TIMEOUT the poll limit was reached with too few bytes.
 * \retval LIBUSB_ERROR_NO_MEM a scratch buffer for surplus bytes could not be
 *         allocated.
 * \onfailure tdo_buf holds valid TDO only on 0. When the adapter reports
 *         exactly ceil(bit_count / 8) bytes they are read straight into
 *         tdo_buf, so a data read that fails (libusb's code) or moves fewer
 *         bytes (TPW_ERROR_USBTRANS_ERR) may leave the bytes that arrived
 *         there; never more than ceil(bit_count / 8). On every other failure
 *         tdo_buf is untouched. After any failure but TPW_ERROR_INVALID_PARAM
 *         the adapter may still hold TDO bytes: purge them (orv_result.h).
 * \threadsafety One call at a time per adapter (it takes whatever bytes the
 *         adapter holds); calls on different adapters are independent.
 */
ORV_API int32_t tapwire_readback_tdo(libusb_device_handle* handle, int32_t bit_count, uint8_t* tdo_buf,
                                     uint32_t timeout);

/**
 * \brief Text of a result code of any of the ORV libraries.
 *
 * \param code a result of any orv_tapwire, orv_lumo_spi or orv_lumo_iic call.
 * \returns the code's text, never null; static storage, not to be freed.
 *          Codes 0..-16 have their own text; -17, every lower code and every
 *          positive code give "tapwire other error".
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe: reads a constant table only.
 */
ORV_API const char* tapwire_get_err_info(int32_t code);

/* ---- Adapter set-up ---------------------------------------------------- */

/**
 * \brief Sets the TCK clock divisor.
 *
 * The divisor is the low eight bits of 60000 / freq, with the fast divisor
 * command above 240 and the slow one at 240 and below. One bulk OUT transfer,
 * nothing read back. The adapter keeps the clock until the next call.
 *
 * \param handle the claimed adapter.
 * \param freq the requested TCK frequency in kHz (the adapter's 60 MHz
 *        divided), above 0.
 * \param timeout milliseconds for the bulk transfer (0: none).
 * \retval 0 the divisor was sent.
 * \retval TPW_ERROR_INVALID_PARAM freq 0 or a null handle; nothing sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the transfer.
 * \retval TPW_ERROR_USBTRANS_ERR a short transfer.
 * \onfailure Nothing of the caller's is written.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t tapwire_tckset(libusb_device_handle* handle, uint32_t freq, uint32_t timeout);

/**
 * \brief Sets the direction and level of the adapter's pins.
 *
 * Also sends the mode values for a clock that idles low and LSB-first data.
 * Bits 0..7 go to the low pin group, bits 7..14 to the second group. One bulk
 * OUT transfer, nothing read back.
 *
 * \param handle the claimed adapter.
 * \param direction one bit per pin, set: output. JTAG wiring: TCK pin 0,
 *        TDI pin 1, TDO pin 2 (input), TMS pin 3, so 0x000b.
 * \param level one bit per pin, the level driven on the outputs (0x0008:
 *        TMS high, so the TAP stays in Test-Logic-Reset).
 * \param timeout milliseconds for the bulk transfer (0: none).
 * \retval 0 the pins were set.
 * \retval TPW_ERROR_INVALID_PARAM a null handle; nothing sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the transfer.
 * \retval TPW_ERROR_USBTRANS_ERR a short transfer.
 * \onfailure Nothing of the caller's is written.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t tapwire_ioset(libusb_device_handle* handle, uint16_t direction, uint16_t level,
                              uint32_t timeout);

/**
 * \brief Forces the TAP into Test-Logic-Reset.
 *
 * Seven clocks with TMS high, in one bulk OUT transfer; on success *state is
 * set to #TPW_TAP_TEST_LOGIC_RESET.
 *
 * \param handle the claimed adapter.
 * \param[out] state the caller's TAP state variable.
 * \param timeout milliseconds for the bulk transfer (0: none).
 * \retval 0 the clocks were sent; *state is TPW_TAP_TEST_LOGIC_RESET.
 * \retval TPW_ERROR_INVALID_PARAM a null handle or state; nothing sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the transfer.
 * \retval TPW_ERROR_USBTRANS_ERR a short transfer.
 * \onfailure *state is unchanged.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t tapwire_reset(libusb_device_handle* handle, int32_t* state, uint32_t timeout);

/* ---- TAP state machine ------------------------------------------------- */

/**
 * \brief Computes the shortest TMS sequence from *state to target.
 *
 * Nothing is sent: the result is for the caller's own command streams, and
 * for tracking where the TAP goes.
 *
 * \param[in,out] state the TAP state to start from (0..15); set to target on
 *        success.
 * \param target the TAP state to reach, 0..15 (#tpw_tap_state).
 * \param[out] count the number of clocks minus one; -1 when *state already
 *        equals target.
 * \param[out] pattern bit k is TMS of clock k; bits above the path are clear.
 * \retval 0 *count and *pattern hold the path; *state is target.
 * \retval TPW_ERROR_INVALID_PARAM *state or target outside 0..15, or a null
 *         pointer.
 * \onfailure *state, *count and *pattern are unchanged.
 * \threadsafety Thread-safe: touches only its arguments and constant tables.
 */
ORV_API int32_t jtag_generate_tms_array(int32_t* state, int32_t target, int32_t* count, uint32_t* pattern);

/**
 * \brief Name of a TAP state.
 *
 * Prints "state code local: %02x  " with the table index to standard output
 * on every call.
 *
 * \param state a TAP state, 0..15 (#tpw_tap_state).
 * \returns the state's name in lower case ("run test idle", "shift dr"), or
 *          "state error" for values outside 0..15; static storage, not to
 *          be freed.
 * \onfailure Cannot fail.
 * \threadsafety Thread-safe (constant table; stdio locks standard output, but
 *         the prints of several threads may interleave).
 */
ORV_API const char* jtag_get_state_str(int32_t state);

/* ---- Navigation and scans ---------------------------------------------- */

/**
 * \brief Moves the TAP to Run-Test/Idle and gives idle_clocks extra clocks
 *        there.
 *
 * One bulk OUT transfer of 0 to 6 bytes, made even when there is nothing to
 * send.
 *
 * \param handle the claimed adapter.
 * \param[in,out] state the caller's TAP state variable, 0..15; set to
 *        #TPW_TAP_RUN_TEST_IDLE on success.
 * \param idle_clocks clocks with TMS low once in Run-Test/Idle.
 * \param timeout milliseconds for the bulk transfer (0: none).
 * \retval 0 sent; *state is TPW_TAP_RUN_TEST_IDLE.
 * \retval TPW_ERROR_INVALID_PARAM a null handle or state, or *state outside
 *         0..15; nothing sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the transfer.
 * \retval TPW_ERROR_USBTRANS_ERR a short transfer.
 * \onfailure *state is unchanged.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t tapwire_goto_idle(libusb_device_handle* handle, int32_t* state, uint16_t idle_clocks,
                                  uint32_t timeout);

/**
 * \brief Shifts bits through the instruction register, then returns to
 *        Run-Test/Idle.
 *
 * Moves the TAP to Shift-IR, shifts bit_count bits of tdi (the last one on
 * the clock that leaves Shift-IR), goes to Run-Test/Idle and gives
 * idle_clocks clocks there. When tdo is not null the TDO bits are captured.
 * One bulk OUT transfer, then for a capture the read-back exchange
 * (tapwire_readback_tdo()). Scans of any length are accepted.
 *
 * \param handle the claimed adapter.
 * \param[in,out] state the caller's TAP state variable, 0..15; set to
 *        #TPW_TAP_RUN_TEST_IDLE on success.
 * \param bit_count the number of bits, above 0.
 * \param[in] tdi ceil(bit_count / 8) bytes to shift in, bit 0 of byte 0 first.
 * \param[out] tdo null for no capture, or room for ceil(bit_count / 8) bytes
 *        of TDO, in the order of tdi.
 * \param idle_clocks clocks in Run-Test/Idle after the scan.
 * \param timeout milliseconds for each bulk transfer (0: none); the read-back
 *        gives up after 10 x timeout + 1 polls.
 * \retval 0 done; *state is TPW_TAP_RUN_TEST_IDLE and tdo holds the capture.
 * \retval TPW_ERROR_INVALID_PARAM bit_count <= 0, a null handle, state or
 *         tdi, or *state outside 0..15; nothing allocated or sent.
 * \retval LIBUSB_ERROR_NO_MEM the command buffer could not be allocated.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the OUT transfer, or of
 *         the capture's read-back.
 * \retval TPW_ERROR_USBTRANS_ERR a short OUT transfer, or a short poll or
 *         data read.
 * \retval TPW_ERROR_TIMEOUT the capture's read-back never filled.
 * \onfailure *state is unchanged, although the adapter may have clocked the
 *         scan: reset the TAP or move it to a known state before relying on
 *         it. tdo is valid only on 0 and may hold the bytes that arrived
 *         before a failed data read (as tapwire_readback_tdo() leaves it).
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t tapwire_shift_ir(libusb_device_handle* handle, int32_t* state, int32_t bit_count,
                                 const uint8_t* tdi, uint8_t* tdo, uint16_t idle_clocks, uint32_t timeout);

/**
 * \brief Shifts bits through the selected data register, then returns to
 *        Run-Test/Idle.
 *
 * As tapwire_shift_ir(), through Shift-DR. When its OUT transfer fails it
 * also prints "usb trans error: %d\n" (libusb error) or
 * "TPW_ERROR_USBTRANS_ERR\n" (short transfer) to standard output.
 *
 * \param handle the claimed adapter.
 * \param[in,out] state the caller's TAP state variable, 0..15; set to
 *        #TPW_TAP_RUN_TEST_IDLE on success.
 * \param bit_count the number of bits, above 0.
 * \param[in] tdi ceil(bit_count / 8) bytes to shift in, bit 0 of byte 0 first.
 * \param[out] tdo null for no capture, or room for ceil(bit_count / 8) bytes
 *        of TDO, in the order of tdi.
 * \param idle_clocks clocks in Run-Test/Idle after the scan.
 * \param timeout milliseconds for each bulk transfer (0: none); the read-back
 *        gives up after 10 x timeout + 1 polls.
 * \retval 0 done; *state is TPW_TAP_RUN_TEST_IDLE and tdo holds the capture.
 * \retval TPW_ERROR_INVALID_PARAM bit_count <= 0, a null handle, state or
 *         tdi, or *state outside 0..15; nothing allocated or sent.
 * \retval LIBUSB_ERROR_NO_MEM the command buffer could not be allocated.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the OUT transfer, or of
 *         the capture's read-back.
 * \retval TPW_ERROR_USBTRANS_ERR a short OUT transfer, or a short poll or
 *         data read.
 * \retval TPW_ERROR_TIMEOUT the capture's read-back never filled.
 * \onfailure *state is unchanged, although the adapter may have clocked the
 *         scan: reset the TAP or move it to a known state before relying on
 *         it. tdo is valid only on 0 and may hold the bytes that arrived
 *         before a failed data read (as tapwire_readback_tdo() leaves it).
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t tapwire_shift_dr(libusb_device_handle* handle, int32_t* state, int32_t bit_count,
                                 const uint8_t* tdi, uint8_t* tdo, uint16_t idle_clocks, uint32_t timeout);

/* ---- Pre-built DR scan ------------------------------------------------- */

/**
 * \brief Writes the command sequence of one DR scan to the caller's buffer
 *        instead of sending it.
 *
 * The bytes are those tapwire_shift_dr() would send, so that many scans can
 * go in one transfer of the caller's. The needed room is B + 16 bytes
 * (B + 17 with read set), B = ceil(bit_count / 8); a scan longer than 2056
 * bits carries its whole bytes in several byte commands of 256 bytes and
 * needs 2 more bytes for each command after the first. With read set the
 * sequence captures TDO: fetch the bytes with tapwire_readback_tdo() once it
 * has been sent. No allocation, no USB traffic.
 *
 * \param[in,out] state the TAP state the sequence starts from, 0..15; set to
 *        #TPW_TAP_RUN_TEST_IDLE on success.
 * \param bit_count the number of bits, above 0.
 * \param[in] tdi ceil(bit_count / 8) bytes to shift in, bit 0 of byte 0 first.
 * \param idle_clocks clocks in Run-Test/Idle after the scan.
 * \param read non-zero: the sequence captures TDO and ends with the flush
 *        that releases it.
 * \param[out] out where the sequence is written.
 * \param[in,out] capacity the room left at out; reduced by the length written
 *        on success.
 * \param[out] written the sequence's length (at most the needed room).
 * \retval 0 the sequence is at out.
 * \retval LIBUSB_ERROR_NO_MEM *capacity is below the needed room; nothing
 *         written.
 * \retval TPW_ERROR_INVALID_PARAM bit_count <= 0, a null pointer or *state
 *         outside 0..15; nothing written.
 * \retval TPW_ERROR_CMD_ERR the sequence came out longer than the needed
 *         room: an internal fault.
 * \onfailure *state, *capacity and *written are unchanged. Nothing is
 *         written at out, except after TPW_ERROR_CMD_ERR, which may leave a
 *         partial sequence there (never beyond the needed room).
 * \threadsafety Thread-safe: touches only its arguments (no USB traffic).
 */
ORV_API int32_t tapwire_build_shift_dr_cmd(int32_t* state, int32_t bit_count, const uint8_t* tdi,
                                           uint16_t idle_clocks, uint8_t read, uint8_t* out,
                                           int32_t* capacity, int32_t* written);

#ifdef __cplusplus
}
#endif

#endif /* ORV_TAPWIRE_H */
