// SPDX-License-Identifier: MIT
// A preloaded library that counts the heap allocations of the program it is loaded into.
// The count is written to the file named by ALLOC_COUNT_FILE when the program receives SIGUSR2
// (a program that runs until it is stopped) and when it exits.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

std::atomic<unsigned long> allocations{0};

// Only async-signal-safe calls: this runs in a signal handler too.
void write_count() {
    const char* path = getenv("ALLOC_COUNT_FILE");
    if (path == nullptr) {
        return;
    }
    char text[32];
    int length = 0;
    unsigned long value = allocations.load();
    char digits[32];
    do {
        digits[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < length; ++i) {
        text[i] = digits[length - 1 - i];
    }
    text[length++] = '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, text, static_cast<std::size_t>(length));
        (void)ignored;
        close(fd);
    }
}

void on_signal(int) {
    int saved = errno;
    write_count();
    errno = saved;
}

__attribute__((constructor)) void install() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART;  // the program's blocking calls go on undisturbed
    sigaction(SIGUSR2, &action, nullptr);
}

__attribute__((destructor)) void report() {
    write_count();
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *out = pointer;
    return 0;
}
}
