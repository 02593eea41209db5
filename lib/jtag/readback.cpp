// The JTAG read-back entry and the result texts.
#include <span>

#include "lib/wire/heap_buffer.hpp"
#include "lib/wire/result_codes.hpp"
#include "lib/wire/transport.hpp"
#include "orv_tapwire.h"

extern "C" {

std::int32_t tapwire_readback_tdo(libusb_device_handle* handle, std::int32_t bit_count, std::uint8_t* tdo_buf,
                                  std::uint32_t timeout)
{
    if (handle == nullptr || tdo_buf == nullptr || bit_count <= 0) {
        return orv::RESULT_INVALID_PARAM;
    }
    const std::size_t expected = orv::bytes_for_bits(static_cast<std::uint64_t>(bit_count));
    return orv::read_back(handle, std::span(tdo_buf, expected), timeout, orv::JTAG_READBACK);
}

const char* tapwire_get_err_info(std::int32_t code)
{
    return orv::result_text(code);
}

} // extern "C"
