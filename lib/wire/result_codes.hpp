// Result codes and their texts.
#pragma once

#include <array>
#include <cstdint>

#include "orv_result.h"

namespace orv {

// Codes raised by the libraries themselves, beside libusb's -1..-12.
inline constexpr std::int32_t RESULT_OK = TPW_SUCCESS;
inline constexpr std::int32_t RESULT_NO_MEMORY = -11; // LIBUSB_ERROR_NO_MEM
inline constexpr std::int32_t RESULT_SHORT_TRANSFER = TPW_ERROR_USBTRANS_ERR;
inline constexpr std::int32_t RESULT_INVALID_PARAM = TPW_ERROR_INVALID_PARAM;
inline constexpr std::int32_t RESULT_TIMEOUT = TPW_ERROR_TIMEOUT;
inline constexpr std::int32_t RESULT_CMD_ERR = TPW_ERROR_CMD_ERR;
inline constexpr std::int32_t RESULT_NO_ACK = TPW_ERROR_OTHER;

// Entry i is the text of code -i; the last entry also serves every code
// outside 0..-16.
inline constexpr std::array<const char*, 18> tapwire_err_info = {
    "sucess", // spelt so on purpose: callers compare against this text
    "usb input output error",
    "usb invalid parameter",
    "usb access denied (insufficient permissions)",
    "usb no such device",
    "usb entity not found",
    "usb resource busy",
    "usb operation time out",
    "usb overflow",
    "usb pipe error",
    "usb system call interrupted (perhaps due to signal)",
    "usb insufficient memory",
    "usb operation not supported or unimplemented on this platform",
    "tapwire usb trans error",
    "tapwire invalid parameter",
    "tapwire timeout",
    "tapwire cmd error",
    "tapwire other error",
};
static_assert(tapwire_err_info.size() == 1 - TPW_ERROR_OTHER,
              "one text per code from 0 down to the last library code");

[[nodiscard]] constexpr const char* result_text(std::int32_t code) noexcept
{
    constexpr std::int64_t fallback = tapwire_err_info.size() - 1;
    const std::int64_t index = -static_cast<std::int64_t>(code);
    return tapwire_err_info[static_cast<std::size_t>(index < 0 || index >= fallback ? fallback : index)];
}

} // namespace orv
