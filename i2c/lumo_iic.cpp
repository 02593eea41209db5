#include "orv_lumo_iic.h"
// Placeholder until the I2C master lands.
int32_t lumo_iic_init(libusb_device_handle*, uint32_t, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
int32_t lumo_iic_send_bytes(libusb_device_handle*, uint32_t, int32_t, const uint8_t*, uint32_t, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
int32_t lumo_iic_read_bytes(libusb_device_handle*, uint32_t, int32_t, uint8_t*, uint32_t, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
