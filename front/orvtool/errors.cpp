#include "front/orvtool/errors.hpp"

#include <orv_tapwire.h>

namespace orvtool {

std::string hint_for_result(std::int32_t code)
{
    switch (code) {
    case LIBUSB_ERROR_IO:
    case LIBUSB_ERROR_NO_DEVICE:
        return "the adapter stopped answering or was unplugged: reconnect it and run the command again";
    case LIBUSB_ERROR_ACCESS:
        return "no permission for the USB device: install orvtool's udev rule (60-orv-adapter.rules) or run "
               "as root";
    case LIBUSB_ERROR_BUSY:
        return "another program holds the adapter: close it and retry";
    case LIBUSB_ERROR_TIMEOUT:
    case TPW_ERROR_TIMEOUT:
        return "the adapter did not deliver its data in time: check that it is powered, or raise --timeout";
    case LIBUSB_ERROR_PIPE:
        return "the adapter stalled an endpoint: unplug and replug it";
    case LIBUSB_ERROR_OVERFLOW:
    case TPW_ERROR_USBTRANS_ERR:
        return "a USB transfer moved the wrong number of bytes: check the cable and retry";
    case LIBUSB_ERROR_NO_MEM:
        return "the host ran out of memory: try a shorter transfer";
    case TPW_ERROR_INVALID_PARAM:
        return "the library refused an argument: check the values given on the command line";
    case TPW_ERROR_OTHER:
        return "the target did not acknowledge: check its address, wiring and pull-ups";
    default:
        return "run the command again; if it keeps failing, reconnect the adapter";
    }
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
