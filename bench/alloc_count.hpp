// Counts heap allocations made anywhere in the program: malloc, calloc,
// realloc and the aligned forms are replaced by counting wrappers around
// glibc's own allocator (operator new reaches them through malloc). Only the
// benchmark programs that measure allocations link this.
#pragma once

#include <cstdint>

namespace orv::bench {

// Allocations since the program started.
std::uint64_t allocations() noexcept;

} // namespace orv::bench
