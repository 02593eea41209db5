// The C functions that say which adapter is meant; nothing here touches USB.
#include <cstring>
#include <string>

#include "lib/devices/discovery/adapter_select.hpp"
#include "lib/devices/session/api_guard.hpp"

using namespace orv::dev;

extern "C" {

void orvdev_adapter_selector_init(orvdev_adapter_selector* selector)
{
    if (selector != nullptr) {
        *selector = orvdev_adapter_selector{-1, -1, -1, -1, nullptr};
    }
}

int32_t orvdev_adapter_selector_parse(const char* text, orvdev_adapter_selector* selector,
                                      orvdev_report* report)
{
    if (text == nullptr || selector == nullptr) {
        return refuse(report, ORVDEV_ERROR_INVALID_ARGUMENT, "no text, or nowhere to put the selector");
    }
    return guarded(nullptr, report, [&] {
        // A serial number never holds a colon, and VID:PID always does: the
        // colon alone tells the two apart, so a serial of hex digits is
        // still a serial.
        if (std::strchr(text, ':') == nullptr) {
            if (const auto fault = discovery::serial_fault(text)) {
                throw Failure(ORVDEV_ERROR_INVALID_ARGUMENT, "'" + std::string(text) + "' is " + *fault,
                              "give the serial number orvdev_adapter_list() shows, or VID:PID[:BUS:ADDR]");
            }
            *selector = orvdev_adapter_selector{-1, -1, -1, -1, text};
            return;
        }
        const auto parsed = discovery::parse_selector(text);
        if (!parsed) {
            throw Failure(
                ORVDEV_ERROR_INVALID_ARGUMENT, "'" + std::string(text) + "' is not VID:PID[:BUS:ADDR]",
                "give VID:PID in hex (1209:4f52), optionally with :BUS:ADDR in decimal (1209:4f52:1:5), "
                "or a serial number (no colon)");
        }
        *selector = *parsed;
    });
}

} // extern "C"
