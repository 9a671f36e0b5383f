// SPDX-License-Identifier: MIT
#include "bench/counting_allocator.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

// glibc's own allocator under its internal names, so that the counting versions below can
// stand in for malloc and its kin in the whole program, shared libraries included.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
std::atomic<std::size_t> allocations{0};

void* counted(void* pointer) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return pointer;
}
}  // namespace

std::size_t allocations_so_far() {
    return allocations.load(std::memory_order_relaxed);
}

extern "C" {
void* malloc(std::size_t size) {
    return counted(__libc_malloc(size));
}
void* calloc(std::size_t count, std::size_t size) {
    return counted(__libc_calloc(count, size));
}
void* realloc(void* pointer, std::size_t size) {
    return counted(__libc_realloc(pointer, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return counted(__libc_memalign(alignment, size));
}
void* memalign(std::size_t alignment, std::size_t size) {
    return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    void* pointer = counted(__libc_memalign(alignment, size));
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *out = pointer;
    return 0;
}
}

// operator new goes through the counting malloc above, so it is counted once.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
