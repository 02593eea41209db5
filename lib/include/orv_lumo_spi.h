/**
 * \file orv_lumo_spi.h
 * \brief orv_lumo_spi: SPI master through the ORV USB bridge adapter.
 *
 * The caller opens the adapter with libusb, claims its interface, fills one
 * lumo_spi_config per target and calls lumo_spi_set_config once before the
 * first transfer (and again when the clock, polarity, bit order or chip-select
 * polarity change). Each transfer is one whole transaction, from chip select
 * to deselect, in one bulk OUT transfer: select, optional command byte,
 * optional address bytes, optional dummy clocks, the data phase, deselect.
 * Transfers that read then fetch the sampled bytes with lumo_spi_read_miso.
 *
 * The data phase is chosen by the two buffers:
 * | write_buf | read_buf | data phase                             |
 * |-----------|----------|----------------------------------------|
 * | set       | null     | write only                             |
 * | set       | set      | full duplex                            |
 * | null      | set      | read only (clocks with input sampled)  |
 * | null      | null     | clocks only                            |
 *
 * Every transfer may also return #TPW_ERROR_CMD_ERR when the command sequence it
 * built came out malformed: an internal fault of the library, with nothing sent.
 *
 * Results are the codes of orv_result.h; tapwire_get_err_info() in
 * orv_tapwire gives their texts. Calls on one adapter must be serialised.
 *
 * A read buffer holds valid data only when the result is 0; after a failed
 * read it may hold partial bytes. After a read that failed, empty the
 * adapter's read-back before the next transfer that reads (recipe in
 * orv_result.h): the next read would otherwise return the bytes left behind,
 * with 0. A timeout of 0 is no limit (orv_result.h): a read then waits for as
 * long as the adapter reports too few bytes.
 *
 * \par Example
 * Reads an SPI NOR flash's JEDEC ID (command 0x9f) and its first 16 bytes
 * (command 0x03 with a 3-byte address). Build with
 * `cc flash.c $(pkg-config --cflags --libs orv_lumo_spi orv_tapwire libusb-1.0)`
 * (orv_tapwire for the error texts).
 * \code{.c}
 * #include <stdio.h>
 * #include <orv_lumo_spi.h>
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
 *     // 6 MHz, mode 0, MSB first, chip select active low, a command byte.
 *     lumo_spi_config config = {.clock_freq = 6000, .bit_order = 0, .clock_polarity = 0,
 *                               .cs_polarity = 0, .addr_bytes = 0, .cmd_enable = 1};
 *     uint8_t id[3], data[16];
 *     int32_t rc = lumo_spi_set_config(handle, &config, 1000);
 *     if (rc == 0)
 *         rc = lumo_spi_read_write_bytes(handle, sizeof id, NULL, id, 0, 0x9f, 0, &config, 1000);
 *     if (rc == 0) {
 *         config.addr_bytes = 3;
 *         rc = lumo_spi_read_write_bytes(handle, sizeof data, NULL, data, 0x000000, 0x03, 0, &config, 1000);
 *     }
 *     if (rc == 0) {
 *         printf("JEDEC ID %02x %02x %02x, first byte 0x%02x\n", id[0], id[1], id[2], data[0]);
 *     } else {
 *         fprintf(stderr, "SPI: %s (%d)\n", tapwire_get_err_info(rc), rc);
 *     }
 *     libusb_release_interface(handle, 0);
 *     libusb_close(handle);
 *     libusb_exit(ctx);
 *     return rc == 0 ? 0 : 1;
 * }
 * \endcode
 */
#ifndef ORV_LUMO_SPI_H
#define ORV_LUMO_SPI_H

#include <stdint.h>

#include <libusb.h>

#include "orv_result.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Most data bytes a transfer that reads may carry. */
#define LUMO_SPI_MAX_READ_BYTES 512u
/** Most data bits of one bit transfer. */
#define LUMO_SPI_MAX_BITS 2048u

/** Settings of one SPI target; the library only reads it. */
typedef struct lumo_spi_config {
    /** Requested clock frequency in kHz; the divisor byte is 60000 / clock_freq. Not 0. */
    uint32_t clock_freq;
    /** 1: least significant bit first; any other value: most significant first. */
    int32_t bit_order;
    /** 0: clock idles low; non-zero: clock idles high. */
    int32_t clock_polarity;
    /** Not read. */
    uint32_t reserved;
    /** 0: chip select active low; non-zero: active high. */
    int32_t cs_polarity;
    /** Address bytes sent after the command byte, 0..4. */
    uint8_t addr_bytes;
    /** Non-zero: one command byte is sent first. */
    uint8_t cmd_enable;
} lumo_spi_config;

/**
 * \brief Sends the clock, the mode values and the idle levels of one SPI
 *        target.
 *
 * The clock divisor, the clock-polarity and bit-order mode values and the
 * idle levels (clock at rest, chip select inactive): 9 bytes, one transfer,
 * nothing read back. The adapter keeps them until the next call; the
 * transfers do not send them again.
 *
 * \param handle the claimed adapter.
 * \param[in] config the target's settings; clock_freq above 0.
 * \param timeout milliseconds for the bulk transfer (0: none).
 * \retval 0 the settings were sent.
 * \retval TPW_ERROR_INVALID_PARAM a null handle or config, or a clock_freq of
 *         0; nothing sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of the transfer.
 * \retval TPW_ERROR_USBTRANS_ERR other than 9 bytes were moved.
 * \onfailure Nothing of the caller's is written.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent. The configuration record is only read, so one
 *         record may serve several threads.
 */
ORV_API int32_t lumo_spi_set_config(libusb_device_handle* handle, const lumo_spi_config* config,
                                    uint32_t timeout);

/**
 * \brief One byte-wise SPI transaction, from chip select to deselect.
 *
 * Select, the command byte (when config->cmd_enable is set), the address
 * bytes, the dummy clocks, len data bytes, deselect. Data goes in commands of
 * up to 256 bytes, all in one transfer. A transaction that reads carries at
 * most #LUMO_SPI_MAX_READ_BYTES; write-only and clock-only ones have no limit
 * of their own. With len 0 there is no data phase and nothing is read back (a
 * command-only transaction such as a flash write enable). A transaction that
 * reads then runs the read-back exchange (lumo_spi_read_miso()).
 *
 * \param handle the claimed adapter.
 * \param len data bytes; at most 512 when read_buf is set.
 * \param[in] write_buf len bytes to send, or null (see the table in
 *        orv_lumo_spi.h).
 * \param[out] read_buf room for len bytes sampled from MISO, or null for no
 *        read-back.
 * \param addr the address phase: the low config->addr_bytes bytes, in the
 *        configured bit order.
 * \param cmd the command byte, sent when config->cmd_enable is set.
 * \param dummy_clocks clock cycles after the address, 0..65535.
 * \param[in] config the target's settings (addr_bytes 0..4, cmd_enable).
 * \param timeout milliseconds for each bulk transfer (0: none); the read-back
 *        gives up after 10 x timeout + 1 polls.
 * \retval 0 done; read_buf holds len bytes.
 * \retval TPW_ERROR_INVALID_PARAM a null handle or config, read_buf with len
 *         above 512, addr_bytes above 4, dummy_clocks above 65535, or a
 *         stream too long for one bulk transfer (write-only lengths near
 *         2 GiB); nothing allocated or sent.
 * \retval LIBUSB_ERROR_NO_MEM the command buffer, or the scratch buffer for
 *         read-back bytes beyond len, could not be allocated.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of a transfer that failed.
 * \retval TPW_ERROR_USBTRANS_ERR a short transfer.
 * \retval TPW_ERROR_TIMEOUT the read-back never filled.
 * \onfailure read_buf is valid only on 0: the read-back's failures may leave
 *         partial bytes in it (see lumo_spi_read_miso()), never more than
 *         len. Empty the adapter's read-back before the next transaction
 *         that reads (orv_result.h).
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent. The configuration record is only read, so one
 *         record may serve several threads.
 */
ORV_API int32_t lumo_spi_read_write_bytes(libusb_device_handle* handle, uint32_t len,
                                          const uint8_t* write_buf, uint8_t* read_buf, uint32_t addr,
                                          uint8_t cmd, uint32_t dummy_clocks, const lumo_spi_config* config,
                                          uint32_t timeout);

/**
 * \brief Collects read-back bytes of an SPI transaction.
 *
 * Polls endpoint 0x83 until at least len bytes are ready, then reads them
 * from endpoint 0x81 into read_buf. Bytes beyond len are read and dropped.
 * Gives up after 10 x timeout + 1 polls that found too few (never with
 * timeout 0: it then polls until enough bytes are there or a poll fails),
 * after reading the partial bytes into read_buf.
 *
 * \param handle the claimed adapter.
 * \param len the bytes expected.
 * \param[out] read_buf room for len bytes; may be null with len 0.
 * \param timeout milliseconds for each bulk transfer (0: none).
 * \retval 0 read_buf holds len bytes.
 * \retval TPW_ERROR_INVALID_PARAM a null handle, or a null read_buf with len
 *         above 0; nothing transferred.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of a poll or of the data
 *         read.
 * \retval TPW_ERROR_USBTRANS_ERR a poll of other than 4 bytes, or a short
 *         data read.
 * \retval TPW_ERROR_TIMEOUT the poll limit was reached with too few bytes.
 * \retval LIBUSB_ERROR_NO_MEM the scratch buffer for bytes beyond len could
 *         not be allocated.
 * \onfailure read_buf holds valid data only on 0; after TPW_ERROR_TIMEOUT it
 *         holds the partial bytes, after a failed or short data read the
 *         bytes that arrived (never more than len).
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent.
 */
ORV_API int32_t lumo_spi_read_miso(libusb_device_handle* handle, uint32_t len, uint8_t* read_buf,
                                   uint32_t timeout);

/**
 * \brief One bit-wise SPI transaction of 1..2048 data bits.
 *
 * As lumo_spi_read_write_bytes(), with a data phase of bit_count bits. Bit i
 * of the string is bit (i mod 8) of byte (i div 8); with bit_order 1 it goes
 * out from bit 0 up, otherwise from bit bit_count - 1 down. The stream is
 * built on the stack: no heap use (only a read-back surplus beyond
 * ceil(bit_count / 8) goes through a scratch buffer).
 *
 * \param handle the claimed adapter.
 * \param bit_count data bits, 1..#LUMO_SPI_MAX_BITS.
 * \param[in] write_buf ceil(bit_count / 8) bytes to send, or null.
 * \param[out] read_buf room for ceil(bit_count / 8) bytes, as the adapter
 *        packs them, or null for no read-back.
 * \param addr the address phase: the low config->addr_bytes bytes.
 * \param cmd the command byte, sent when config->cmd_enable is set.
 * \param dummy_clocks clock cycles after the address, 0..65535.
 * \param[in] config the target's settings (addr_bytes 0..4, cmd_enable).
 * \param timeout milliseconds for each bulk transfer (0: none).
 * \retval 0 done; read_buf holds ceil(bit_count / 8) bytes.
 * \retval TPW_ERROR_INVALID_PARAM a null handle or config, bit_count 0 or
 *         above 2048, addr_bytes above 4 or dummy_clocks above 65535;
 *         nothing sent.
 * \retval LIBUSB_ERROR_* (-1..-12) libusb's code of a transfer that failed.
 * \retval TPW_ERROR_USBTRANS_ERR a short transfer.
 * \retval TPW_ERROR_TIMEOUT the read-back never filled.
 * \retval LIBUSB_ERROR_NO_MEM as for lumo_spi_read_miso().
 * \onfailure read_buf is valid only on 0 and may hold partial bytes, as
 *         lumo_spi_read_miso() leaves it.
 * \threadsafety One call at a time per adapter; calls on different adapters
 *         are independent. The configuration record is only read, so one
 *         record may serve several threads.
 */
ORV_API int32_t lumo_spi_read_write_bits(libusb_device_handle* handle, uint32_t bit_count,
                                         const uint8_t* write_buf, uint8_t* read_buf, uint32_t addr,
                                         uint8_t cmd, uint32_t dummy_clocks, const lumo_spi_config* config,
                                         uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* ORV_LUMO_SPI_H */
