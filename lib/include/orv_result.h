/**
 * \file orv_result.h
 * \brief Result codes shared by the ORV adapter libraries (orv_tapwire,
 * orv_lumo_spi, orv_lumo_iic), and what all three do with timeouts, output
 * buffers and the adapter's read-back.
 *
 * Every operation returns a signed 32-bit result: 0 on success, negative on
 * failure. -1 to -12 are libusb's own error codes (LIBUSB_ERROR_IO ..
 * LIBUSB_ERROR_NOT_SUPPORTED), passed through unchanged from the bulk transfer
 * that failed; -11 (LIBUSB_ERROR_NO_MEM) is also returned when a heap buffer
 * cannot be allocated. -13 to -17 are the libraries' own codes, #tpw_result.
 * tapwire_get_err_info() in orv_tapwire maps every code to a text.
 *
 * \par Timeout
 * Every operation takes a timeout in milliseconds and passes it to each of
 * its libusb_bulk_transfer calls. An operation that reads input then polls
 * the adapter's count (endpoint 0x83) until the bytes it expects are there
 * and reads them (endpoint 0x81); it gives up with #TPW_ERROR_TIMEOUT after
 * about 10 x timeout polls that found too few. A timeout of 0 means no limit:
 * to libusb (a transfer the adapter never completes waits for ever) and to the
 * polls (a read-back that never arrives is waited for for ever). With 0, an
 * adapter that never fills the count, or for orv_lumo_iic a count that can
 * never equal the one expected (as when bytes of an earlier operation are
 * still there), keeps the call from returning. Give a timeout above 0 unless
 * the caller bounds the call itself.
 *
 * \par Output buffers
 * Output buffers hold valid data only when the result is 0. What a failed
 * operation leaves in them is stated with each operation: orv_lumo_iic never
 * writes them on failure; orv_tapwire and orv_lumo_spi may leave the bytes
 * that arrived before a failed or short data read (never more than the
 * buffer's length). State the caller passes by pointer (a TAP state, a
 * capacity) is written only on success.
 *
 * \par Threads
 * No library starts a thread, takes a lock or keeps mutable global state; every
 * call blocks in libusb. Calls on different adapters (handles, state
 * variables, buffers) are independent and may run in parallel. Calls on one
 * adapter must be serialised by the caller, because a read-back takes
 * whatever bytes the adapter holds.
 *
 * \par Stale read-back
 * The adapter keeps the bytes it sampled until they are read from endpoint
 * 0x81, and the libraries keep nothing between calls: each read-back takes
 * whatever bytes the adapter holds as its own. After an operation that read
 * input failed (libusb's code, #TPW_ERROR_USBTRANS_ERR or #TPW_ERROR_TIMEOUT
 * from its polls or its data read) the adapter may still hold bytes of it,
 * and the next operation would return them as its own data, with 0. Before
 * going on after such a failure, and after opening an adapter that another
 * program may have left so, empty the read-back (the ORV tools do this):
 *
 * \code{.c}
 * int empty = 0;
 * for (int polls = 0; empty < 4 && polls < 32; ++polls) {
 *     uint8_t raw[4], scratch[4096];
 *     int n = 0;
 *     if (libusb_bulk_transfer(handle, 0x83, raw, 4, &n, timeout) != 0 || n != 4)
 *         break;                       // failed: reconnect the adapter
 *     uint32_t count = raw[0] | raw[1] << 8 | raw[2] << 16 | (uint32_t)raw[3] << 24;
 *     if (count == 0) {
 *         ++empty;                     // several zeros in a row: the count
 *         continue;                    // can lag behind the bytes
 *     }
 *     empty = 0;
 *     // Whole 512-byte packets, so that bytes arriving meanwhile cannot
 *     // overflow the read; a larger count takes several rounds.
 *     libusb_bulk_transfer(handle, 0x81, scratch,
 *                          count < sizeof scratch ? (int)((count + 511) / 512 * 512)
 *                                                 : (int)sizeof scratch,
 *                          &n, timeout);
 * }
 * \endcode
 *
 * The read-back is empty when four polls in a row read 0 (timeout above 0).
 * Bytes of a command stream still running when the purge starts can arrive
 * after it; a purge cannot resynchronise a command stream that reached the
 * adapter only in part.
 */
#ifndef ORV_RESULT_H
#define ORV_RESULT_H

#ifndef ORV_API
/** Marks a function the shared library exports (default visibility while the
 *  library is built; nothing for its callers). */
#if defined(ORV_BUILDING_LIBRARY)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif
#endif

/** The libraries' own result codes, beside 0 and libusb's -1..-12. */
enum tpw_result {
    /** The operation succeeded. */
    TPW_SUCCESS = 0,
    /** A bulk transfer moved another number of bytes than it asked for, or
     *  (I2C write) a data byte was not acknowledged. */
    TPW_ERROR_USBTRANS_ERR = -13,
    /** An argument was refused before anything was allocated or sent. */
    TPW_ERROR_INVALID_PARAM = -14,
    /** The adapter never reported the expected read-back count within the
     *  poll limit (10 x timeout polls). */
    TPW_ERROR_TIMEOUT = -15,
    /** A built command sequence did not have the length it must have: an
     *  internal fault of the library. */
    TPW_ERROR_CMD_ERR = -16,
    /** I2C: the target did not acknowledge its address. Also the text of
     *  every code outside 0..-16. */
    TPW_ERROR_OTHER = -17
};

#endif /* ORV_RESULT_H */
