// The C functions that say which adapter is meant; nothing here touches USB.
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
    const auto parsed = discovery::parse_selector(text);
    return guarded(nullptr, report, [&] {
        if (!parsed) {
            throw Failure(
                ORVDEV_ERROR_INVALID_ARGUMENT, "'" + std::string(text) + "' is not VID:PID[:BUS:ADDR]",
                "give VID:PID in hex (1209:4f52), optionally with :BUS:ADDR in decimal (1209:4f52:1:5)");
        }
        *selector = *parsed;
    });
}

} // extern "C"
