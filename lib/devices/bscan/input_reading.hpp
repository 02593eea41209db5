// The C functions that read files (BSDL files, netlists, layouts): a refused
// file (BadInput) fills the caller's orvdev_input_error beside the report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/devices/bscan/netlist.hpp"
#include "lib/devices/session/api_guard.hpp"
#include "orv_devices.h"

namespace orv::dev::bscan {

inline void fill_where(orvdev_input_error* where, const BadInput& e) noexcept
{
    if (where == nullptr) {
        return;
    }
    std::memset(where, 0, sizeof *where);
    std::snprintf(where->file, sizeof where->file, "%s", e.file().c_str());
    where->line = e.line();
    where->column = e.column();
    std::snprintf(where->path, sizeof where->path, "%s", e.path().c_str());
    std::snprintf(where->reason, sizeof where->reason, "%s", e.reason().c_str());
}

// Runs `work` as guarded() does; a refused file also fills `where`, which is
// all zeros otherwise.
template <typename Work> std::int32_t reading(orvdev_input_error* where, orvdev_report* report, Work&& work)
{
    if (where != nullptr) {
        std::memset(where, 0, sizeof *where);
    }
    return guarded(nullptr, report, [&] {
        try {
            work();
        } catch (const BadInput& e) {
            fill_where(where, e);
            throw;
        }
    });
}

} // namespace orv::dev::bscan
