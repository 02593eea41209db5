/*
 * Result codes shared by the ORV adapter libraries (orv_tapwire, orv_lumo_spi,
 * orv_lumo_iic).
 *
 * Every operation returns a signed 32-bit result: 0 on success, negative on
 * failure. -1 to -12 are libusb's own error codes (LIBUSB_ERROR_IO ..
 * LIBUSB_ERROR_NOT_SUPPORTED), passed through unchanged from the bulk transfer
 * that failed; -11 is also returned when a heap buffer cannot be allocated.
 * -13 to -17 are the libraries' own codes below. tapwire_get_err_info() in
 * orv_tapwire maps every code to a text.
 */
#ifndef ORV_RESULT_H
#define ORV_RESULT_H

#ifndef ORV_API
#if defined(ORV_BUILDING_LIBRARY)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif
#endif

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
