/*
 * orv_lumo_spi: SPI master through the ORV USB bridge adapter.
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
 *   write_buf set,  read_buf null: write only
 *   write_buf set,  read_buf set:  full duplex
 *   write_buf null, read_buf set:  read only (clocks with input sampled)
 *   write_buf null, read_buf null: clocks only
 *
 * Every transfer may also return TPW_ERROR_CMD_ERR when the command sequence it
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
    /** Requested clock frequency; the divisor byte is 60000 / clock_freq. Not 0. */
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
 * Sends the clock divisor, the clock-polarity and bit-order mode values and
 * the idle levels (clock at rest, chip select inactive): 9 bytes, one
 * transfer, nothing read back.
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle or config or a
 *          clock_freq of 0 (nothing sent); libusb's code;
 *          TPW_ERROR_USBTRANS_ERR when other than 9 bytes were moved.
 */
ORV_API int32_t lumo_spi_set_config(libusb_device_handle* handle, const lumo_spi_config* config,
                                    uint32_t timeout);

/**
 * One byte-wise transaction of len data bytes. Data goes in commands of up to
 * 256 bytes, all in one transfer. A transaction that reads carries at most
 * LUMO_SPI_MAX_READ_BYTES; write-only and clock-only ones have no limit of
 * their own. With len 0 there is no data phase and nothing is read back (a
 * command-only transaction such as a flash write enable).
 * \param addr low config->addr_bytes bytes are the address phase, in the
 *        configured bit order.
 * \param cmd command byte, sent when config->cmd_enable is set.
 * \param dummy_clocks clock cycles after the address, 0..65535.
 * \returns 0 (read_buf holds len bytes);
 *          TPW_ERROR_INVALID_PARAM for a null handle or config, read_buf with
 *          len above 512, addr_bytes above 4, dummy_clocks above 65535, or a
 *          stream too long for one bulk transfer (write-only lengths near
 *          2 GiB) (nothing allocated or sent);
 *          LIBUSB_ERROR_NO_MEM when the command buffer, or the scratch buffer
 *          for read-back bytes beyond len, cannot be allocated;
 *          libusb's code when a transfer fails; TPW_ERROR_USBTRANS_ERR for a
 *          short transfer; TPW_ERROR_TIMEOUT when the read-back never filled.
 *          read_buf is valid only on 0: the read-back's failures may leave
 *          partial bytes in it (see lumo_spi_read_miso).
 */
ORV_API int32_t lumo_spi_read_write_bytes(libusb_device_handle* handle, uint32_t len,
                                          const uint8_t* write_buf, uint8_t* read_buf, uint32_t addr,
                                          uint8_t cmd, uint32_t dummy_clocks, const lumo_spi_config* config,
                                          uint32_t timeout);

/**
 * Collects len read-back bytes into read_buf: polls endpoint 0x83 until at
 * least len bytes are ready, then reads them from endpoint 0x81. Bytes beyond
 * len are read and dropped. Gives up after 10 x timeout + 1 polls that found
 * too few (never with timeout 0: it then polls until enough bytes are there
 * or a poll fails), after reading the partial bytes into read_buf.
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle, or a null read_buf
 *          with len above 0; libusb's code; TPW_ERROR_USBTRANS_ERR for a poll
 *          of other than 4 bytes or a short data read; TPW_ERROR_TIMEOUT;
 *          LIBUSB_ERROR_NO_MEM when the scratch buffer for bytes beyond len
 *          cannot be allocated. read_buf holds valid data only on 0; after
 *          TPW_ERROR_TIMEOUT it holds the partial bytes, after a failed or
 *          short data read the bytes that arrived (never more than len).
 */
ORV_API int32_t lumo_spi_read_miso(libusb_device_handle* handle, uint32_t len, uint8_t* read_buf,
                                   uint32_t timeout);

/**
 * One transaction of bit_count (1..2048) data bits, otherwise as
 * lumo_spi_read_write_bytes. Bit i of the string is bit (i mod 8) of byte
 * (i div 8); with bit_order 1 it goes out from bit 0 up, otherwise from bit
 * bit_count - 1 down. read_buf receives ceil(bit_count / 8) bytes as the
 * adapter packs them. The stream is built on the stack: no heap use (only a
 * read-back surplus beyond ceil(bit_count / 8) goes through a scratch buffer).
 * \returns 0; TPW_ERROR_INVALID_PARAM for a null handle or config, bit_count
 *          0 or above 2048, addr_bytes above 4 or dummy_clocks above 65535
 *          (nothing sent); libusb's code; TPW_ERROR_USBTRANS_ERR;
 *          TPW_ERROR_TIMEOUT; LIBUSB_ERROR_NO_MEM as for lumo_spi_read_miso.
 */
ORV_API int32_t lumo_spi_read_write_bits(libusb_device_handle* handle, uint32_t bit_count,
                                         const uint8_t* write_buf, uint8_t* read_buf, uint32_t addr,
                                         uint8_t cmd, uint32_t dummy_clocks, const lumo_spi_config* config,
                                         uint32_t timeout);

#ifdef __cplusplus
}
#endif

#endif /* ORV_LUMO_SPI_H */
