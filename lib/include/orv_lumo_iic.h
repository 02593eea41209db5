/**
 * \file orv_lumo_iic.h
 * \brief orv_lumo_iic: I2C master through the ORV USB bridge adapter.
 *
 * The adapter has no I2C engine: the library makes START, repeated START and
 * STOP with pin commands on SCL (pin 0) and SDA (pin 2), shifts address and
 * data bytes out, clocks acknowledge bits and data in, and learns the target's
 * answers from the read-back. One transaction, START to STOP, is one bulk OUT
 * transfer followed by one read-back exchange; acknowledge bits are never
 * fetched one byte at a time.
 *
 * Every operation may also return #TPW_ERROR_CMD_ERR when the command sequence it
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
 *
 * \par Example
 * Writes two bytes to a 24C02-style EEPROM at 0x50 (word address 0x10, then
 * the data byte), waits for its write cycle, and reads the byte back: the
 * word address is written first, then a read transaction. Build with
 * `cc eeprom.c $(pkg-config --cflags --libs orv_lumo_iic orv_tapwire libusb-1.0)`
 * (orv_tapwire for the error texts).
 * \code{.c}
 * #include <stdio.h>
 * #include <unistd.h>
 * #include <orv_lumo_iic.h>
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
 *     const uint8_t write[2] = {0x10, 0xa5}, offset = 0x10;
 *     uint8_t byte = 0;
 *     int32_t rc = lumo_iic_init(handle, 400, 31);               // 400 kHz
 *     if (rc == 0)
 *         rc = lumo_iic_send_bytes(handle, 0x50, 7, write, sizeof write, 31);
 *     if (rc == 0) {
 *         usleep(5000);                                          // the EEPROM's write cycle
 *         rc = lumo_iic_send_bytes(handle, 0x50, 7, &offset, 1, 31);
 *     }
 *     if (rc == 0)
 *         rc = lumo_iic_read_bytes(handle, 0x50, 7, &byte, 1, 31);
 *     if (rc == 0)
 *         printf("0x50[0x10] = 0x%02x\n", byte);
 *     else if (rc == TPW_ERROR_OTHER)
 *         fprintf(stderr, "no device answers at 0x50\n");
 *     else
 *         fprintf(stderr, "I2C: %s (%d)\n", tapwire_get_err_info(rc), rc);
 *     libusb_release_interface(handle, 0);
 *     libusb_close(handle);
 *     libusb_exit(ctx);
 *     return rc == 0 ? 0 : 1;
 * }
 * \endcode
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
 * \brief Sets the bus clock and leaves the bus idle.
 *
 * Sends the clock divisor (60000 / clock_freq), the modes for a clock that
 * idles low and MSB-first data, and releases SCL and SDA (both high): 9
 * bytes, one transfer, nothing read back.
 *
 * \param handle the claimed adapter.
 * \param clock_freq the bus clock in kHz (the adapter's 60 MHz over a
 *        one-byte divisor: 235 kHz and above), above 0.
 * \param timeout milliseconds for the bulk transfer (0: none).
 * \retval 0 the settings were sent.
 * \retval TPW_ERROR_INVALID_PARAM a null handle or clock_freq 0; nothing
 *         sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the transfer.
 * \retval TPW_ERROR_USBTRANS_ERR other than 9 bytes were moved.
 * \onfailure Nothing of the caller's is written.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t lumo_iic_init(libusb_device_handle* handle, uint32_t clock_freq, uint32_t timeout);

/**
 * \brief Writes bytes to an I2C target in one transaction, START to STOP.
 *
 * START, the address in the write direction, len data bytes each with the
 * target's acknowledge sampled, STOP; one bulk OUT transfer and one read-back
 * exchange of the acknowledge bits. len 0 sends the address alone: a presence
 * probe.
 *
 * \param handle the claimed adapter.
 * \param addr the target's address: 0..0x7f with addr_bits 7, 0..0x3ff with
 *        addr_bits 10.
 * \param addr_bits 7 or 10.
 * \param[in] write_buf len bytes to write; not null, also with len 0.
 * \param len bytes to write, 0..#LUMO_IIC_MAX_WRITE_BYTES.
 * \param timeout milliseconds per transfer; the read-back gives up after
 *        10 x timeout polls (never with timeout 0: it then polls until the
 *        count is right or a poll fails).
 * \retval 0 the address and every byte were acknowledged.
 * \retval TPW_ERROR_OTHER the address was not acknowledged.
 * \retval TPW_ERROR_USBTRANS_ERR a data byte was not acknowledged, or the
 *         read-back was short.
 * \retval TPW_ERROR_INVALID_PARAM addr_bits other than 7 or 10, an addr
 *         beyond its form (above 0x7f, above 0x3ff: another device would be
 *         written), a null handle or write_buf (also with len 0), len above
 *         4088; nothing allocated or sent.
 * \retval LIBUSB_ERROR_NO_MEM a buffer could not be allocated.
 * \retval TPW_ERROR_TIMEOUT the read-back never arrived (also what a failed
 *         command transfer shows as).
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code when the read-back data read
 *         fails, when a poll finds the adapter gone (LIBUSB_ERROR_NO_DEVICE),
 *         or when a poll fails with timeout 0 (a poll of other than 4 bytes
 *         then gives TPW_ERROR_USBTRANS_ERR).
 * \onfailure Nothing of the caller's is written. After libusb's code,
 *         TPW_ERROR_USBTRANS_ERR for a short read-back or TPW_ERROR_TIMEOUT,
 *         empty the adapter's read-back before the next transaction
 *         (orv_result.h).
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t lumo_iic_send_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits,
                                    const uint8_t* write_buf, uint32_t len, uint32_t timeout);

/**
 * \brief Reads bytes from an I2C target in one transaction, START to STOP.
 *
 * START, the address in the read direction, len data bytes, every one but
 * the last acknowledged by the master, STOP. A 10-bit read sends the address
 * in the write direction, a repeated START and the header in the read
 * direction. One bulk OUT transfer and one read-back exchange.
 *
 * \param handle the claimed adapter.
 * \param addr the target's address: 0..0x7f with addr_bits 7, 0..0x3ff with
 *        addr_bits 10.
 * \param addr_bits 7 or 10.
 * \param[out] read_buf room for len bytes; not null, also with len 0.
 * \param len bytes to read, 0..#LUMO_IIC_MAX_READ_BYTES.
 * \param timeout milliseconds per transfer; the read-back gives up after
 *        10 x timeout polls (never with timeout 0).
 * \retval 0 read_buf holds len bytes.
 * \retval TPW_ERROR_OTHER the address was not acknowledged.
 * \retval TPW_ERROR_INVALID_PARAM addr_bits other than 7 or 10, an addr
 *         beyond its form (above 0x7f, above 0x3ff), a null handle or
 *         read_buf (also with len 0), len above 511; nothing allocated or
 *         sent.
 * \retval LIBUSB_ERROR_NO_MEM a buffer could not be allocated.
 * \retval TPW_ERROR_TIMEOUT the read-back never arrived (also what a failed
 *         command transfer shows as).
 * \retval TPW_ERROR_USBTRANS_ERR a short read-back.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code, as for
 *         lumo_iic_send_bytes().
 * \onfailure read_buf is written only on success: every failure leaves it as
 *         it was. After libusb's code, TPW_ERROR_USBTRANS_ERR or
 *         TPW_ERROR_TIMEOUT, empty the adapter's read-back before the next
 *         transaction (orv_result.h).
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t lumo_iic_read_bytes(libusb_device_handle* handle, uint32_t addr, int32_t addr_bits,
                                    uint8_t* read_buf, uint32_t len, uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* ORV_LUMO_IIC_H */
