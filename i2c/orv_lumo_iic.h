/*
 * orv_lumo_iic: I2C master through the ORV USB bridge adapter.
 *
 * The adapter has no I2C engine: the library makes START, repeated START and
 * STOP with pin commands on SCL (pin 0) and SDA (pin 2), shifts address and
 * data bytes out, clocks acknowledge bits and data in, and learns the target's
 * answers from the read-back. One transaction, START to STOP, is one bulk OUT
 * transfer followed by one read-back exchange; acknowledge bits are never
 * fetched one byte at a time.
 *
 * Every operation may also return TPW_ERROR_CMD_ERR when the command sequence it
 * built came out malformed: an internal fault of the library, with nothing sent.
 *
 * Call lumo_iic_init once after opening the adapter. Results are the codes of
 * orv_result.h; tapwire_get_err_info() in orv_tapwire gives their texts.
 * Calls on one adapter must be serialised.
 *
 * The read-back of a transaction must have exactly the expected length: after
 * a transaction that failed with libusb's code, TPW_ERROR_USBTRANS_ERR for a
 * short read-back, or TPW_ERROR_TIMEOUT, bytes it left in the adapter would
 * make the next one wait to its poll limit (for ever with timeout 0) or take
 * them as its own. Empty the adapter's read-back first (recipe in
 * orv_result.h). The read-back polls are not judged one by one (a failed poll
 * is one more poll without the count), so a transaction on an adapter that
 * stops answering costs up to 10 x timeout polls of up to timeout
 * milliseconds each: choose the timeout with that in mind (31 ms keeps it
 * under 10 s). A poll that finds the adapter gone (LIBUSB_ERROR_NO_DEVICE)
 * ends the transaction at once with that code.
 */
#ifndef ORV_LUMO_IIC_H
#define ORV_LUMO_IIC_H

#include <stdint.h>

#include <libusb.h>

#include "orv_result.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Longest write: its read-back of acknowledge bits stays within 512 bytes. */
#define LUMO_IIC_MAX_WRITE_BYTES 4088u
/** Longest read: a read-back of 512 bytes. */
#define LUMO_IIC_MAX_READ_BYTES 511u

/**
 * Sets the bus clock divisor (60000 / clock_freq), the modes for a clock that
 * idles low and MSB-first data, and leaves the bus idle (SCL, SDA high).
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle or clock_freq 0
 *          (nothing sent); libusb's code; TPW_ERROR_USBTRANS_ERR when other
 *          than 9 bytes were moved.
 */
ORV_API int32_t lumo_iic_init(libusb_device_handle* handle, uint32_t clock_freq, uint32_t timeout);

/**
 * Writes len bytes to the target at addr (addr_bits 7 or 10: addr 0..0x7F or
 * 0..0x3FF) in one transaction. len 0 sends the address alone: a presence
 * probe.
 * \param timeout milliseconds per transfer; the read-back gives up after
 *        10 x timeout polls (never with timeout 0: it then polls until the
 *        count is right or a poll fails).
 * \returns 0 when the address and every byte were acknowledged;
 *          TPW_ERROR_OTHER when the address was not acknowledged;
 *          TPW_ERROR_USBTRANS_ERR when a data byte was not acknowledged or the
 *          read-back was short;
 *          TPW_ERROR_INVALID_PARAM for addr_bits other than 7 or 10, a null
 *          handle or write_buf (also with len 0), len above 4088 (nothing
 *          allocated or sent);
 *          LIBUSB_ERROR_NO_MEM when a buffer cannot be allocated;
 *          TPW_ERROR_TIMEOUT when the read-back never arrived (also what a
 *          failed command transfer shows as);
 *          libusb's code when the read-back data read fails, when a poll
 *          finds the adapter gone (LIBUSB_ERROR_NO_DEVICE), or when a poll
 *          fails with timeout 0 (a poll of other than 4 bytes then gives
 *          TPW_ERROR_USBTRANS_ERR).
 */
ORV_API int32_t lumo_iic_send_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits,
                                    const uint8_t* write_buf, uint32_t len, uint32_t timeout);

/**
 * Reads len (0..511) bytes from the target at addr (addr_bits 7 or 10: addr
 * 0..0x7F or 0..0x3FF) in one transaction; a 10-bit read sends the address in
 * the write direction, a repeated START and the header in the read direction. Every byte but the
 * last is acknowledged by the master. read_buf is written only on success:
 * every failure leaves it as it was.
 * \returns 0; TPW_ERROR_OTHER when the address was not acknowledged;
 *          TPW_ERROR_INVALID_PARAM for addr_bits other than 7 or 10, an addr
 *          beyond its form (above 0x7F, above 0x3FF), a null handle or
 *          read_buf (also with len 0), len above 511 (nothing allocated or
 *          sent);
 *          LIBUSB_ERROR_NO_MEM; TPW_ERROR_TIMEOUT; TPW_ERROR_USBTRANS_ERR for
 *          a short read-back; libusb's code as for lumo_iic_send_bytes.
 */
ORV_API int32_t lumo_iic_read_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits,
                                    uint8_t* read_buf, uint32_t len, uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* ORV_LUMO_IIC_H */
