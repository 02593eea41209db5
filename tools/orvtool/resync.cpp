#include "resync.hpp"

#include <string>

#include <orv_tapwire.h>
#include <readback_purge.hpp>

#include "errors.hpp"

namespace orvtool {

namespace {

std::string bytes_text(std::uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string code_text(std::int32_t rc)
{
    return std::string(tapwire_get_err_info(rc)) + " (code " + std::to_string(rc) + ")";
}

} // namespace

void purge_at_open(const Link& link, std::ostream& log)
{
    std::uint64_t purged = 0;
    const std::int32_t rc = orv::purge_readback(link.handle, link.timeout_ms, purged);
    if (rc != 0) {
        throw ToolError(Exit::failed, "cannot empty the adapter's read-back: " + code_text(rc),
                        rc == TPW_ERROR_TIMEOUT ? "the adapter keeps reporting read-back bytes: unplug and "
                                                  "replug it, then retry"
                                                : hint_for_result(rc),
                        rc);
    }
    if (purged > 0) {
        log << "orvtool: threw away " << bytes_text(purged)
            << " of read-back that the adapter still held (left by an earlier failure)\n";
    }
}

void purge_after_failure(const Link& link, std::ostream& log) noexcept
{
    try {
        std::uint64_t purged = 0;
        const std::int32_t rc = orv::purge_readback(link.handle, link.timeout_ms, purged);
        if (rc == 0) {
            if (purged > 0) {
                log << "orvtool: emptied the adapter's read-back after the failure (" << bytes_text(purged)
                    << " thrown away)\n";
            }
        } else {
            log << "orvtool: could not empty the adapter's read-back after the failure: " << code_text(rc)
                << "\n";
        }
    } catch (...) {
        // Logging failed; nothing more to do on the way out.
    }
}

} // namespace orvtool
