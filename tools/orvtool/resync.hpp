// Keeping the adapter's read-back in step with orvtool's operations.
//
// The libraries take whatever bytes the adapter holds as the answer of the
// operation at hand. Bytes left behind by a failed exchange (in this run, or
// in another program before it) would be handed out as the next operation's
// data, with success. So orvtool empties the read-back when it opens the
// adapter and after an operation failed, and says so on its log (stderr)
// when that threw bytes away or failed.
#pragma once

#include <ostream>

#include "link.hpp"

namespace orvtool {

// At open: throws ToolError(Exit::failed) when the read-back cannot be
// emptied; logs a line when it threw bytes away.
void purge_at_open(const Link& link, std::ostream& log);

// After a failed operation: never throws; logs a line when it threw bytes
// away or could not empty the read-back.
void purge_after_failure(const Link& link, std::ostream& log) noexcept;

} // namespace orvtool
