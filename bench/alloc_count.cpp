#include "bench/alloc_count.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>

// glibc's allocator under its internal names; replacing the public names in
// the executable makes every caller, shared libraries included, come here.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
std::atomic<std::uint64_t> g_allocations{0};

void count() noexcept
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

std::uint64_t orv::bench::allocations() noexcept
{
    return g_allocations.load(std::memory_order_relaxed);
}

extern "C" {

void* malloc(std::size_t size)
{
    count();
    return __libc_malloc(size);
}

void* calloc(std::size_t n, std::size_t size)
{
    count();
    return __libc_calloc(n, size);
}

void* realloc(void* pointer, std::size_t size)
{
    count();
    return __libc_realloc(pointer, size);
}

void* memalign(std::size_t alignment, std::size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size)
{
    count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *result = p;
    return 0;
}

} // extern "C"
