#include "front/orvtool/errors.hpp"

#include <orv_devices.h>
#include <orv_tapwire.h>

namespace orvtool {

std::string hint_for_result(std::int32_t code)
{
    // The device library's words, but where orvtool has the option to name.
    if (code == LIBUSB_ERROR_TIMEOUT || code == TPW_ERROR_TIMEOUT) {
        return "the adapter did not deliver its data in time: check that it is powered, or raise --timeout";
    }
    return orvdev_hint(code);
}

std::string result_text(std::int32_t code, const std::string& doing)
{
    return doing + ": " + tapwire_get_err_info(code) + " (code " + std::to_string(code) + ")";
}

void check_result(std::int32_t code, const std::string& doing, const std::string& hint)
{
    if (code == 0) {
        return;
    }
    throw ToolError(Exit::failed, result_text(code, doing), hint.empty() ? hint_for_result(code) : hint,
                    code);
}

} // namespace orvtool
