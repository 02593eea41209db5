#include "orv_lumo_spi.h"
// Placeholder until the SPI master lands.
int32_t lumo_spi_set_config(libusb_device_handle*, const lumo_spi_config*, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
int32_t lumo_spi_read_write_bytes(libusb_device_handle*, uint32_t, const uint8_t*, uint8_t*, uint32_t,
                                  uint8_t, uint32_t, const lumo_spi_config*, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
int32_t lumo_spi_read_miso(libusb_device_handle*, uint32_t, uint8_t*, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
int32_t lumo_spi_read_write_bits(libusb_device_handle*, uint32_t, const uint8_t*, uint8_t*, uint32_t, uint8_t,
                                 uint32_t, const lumo_spi_config*, uint32_t)
{
    return TPW_ERROR_CMD_ERR;
}
