// SPDX-License-Identifier: MIT
#include "common/logger.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Relaxed is enough: the level is set before any other thread starts.
std::atomic<std::int32_t> process_level{LOG_ERROR};
std::atomic<bool> process_muted{false};
std::atomic<bool> samples_on_standard_output{false};

constexpr const char* level_prefixes[] = {"Fatal: ", "Error: ", "Warning: ", "Info: ", "Debug: "};

// A line that fits here is formatted on the stack; a longer one (paths may take 4095 bytes
// each) on the heap.
constexpr std::size_t line_capacity = 8192;

// Hands the line to the system whole; a write cut short by a signal or a full pipe goes on
// where it stopped, and an interruption is retried a few times only.
void write_whole(int fd, const char* line, std::size_t size) {
    int interruptions = 0;
    while (size > 0) {
        const ssize_t written = ::write(fd, line, size);
        if (written < 0) {
            if (errno == EINTR && ++interruptions < 8) {
                continue;
            }
            return;
        }
        line += written;
        size -= static_cast<std::size_t>(written);
    }
}

void write_line(int fd, std::int32_t level, const char* format, va_list args) {
    const int saved_errno = errno;
    char stack_line[line_capacity];
    char* line = stack_line;
    std::unique_ptr<char[]> heap_line;
    const std::size_t prefix = std::strlen(level_prefixes[level]);
    std::memcpy(line, level_prefixes[level], prefix);
    va_list again;
    va_copy(again, args);
    // One byte is kept for the newline that replaces the terminator.
    int length = std::vsnprintf(line + prefix, line_capacity - prefix - 1, format, args);
    if (length >= 0 && prefix + static_cast<std::size_t>(length) + 2 > line_capacity) {
        const std::size_t needed = prefix + static_cast<std::size_t>(length) + 2;
        heap_line.reset(new (std::nothrow) char[needed]);
        if (heap_line != nullptr) {
            line = heap_line.get();
            std::memcpy(line, level_prefixes[level], prefix);
            length = std::vsnprintf(line + prefix, needed - prefix - 1, format, again);
        } else {
            length = static_cast<int>(line_capacity - prefix - 2);  // the part that fitted
        }
    }
    va_end(again);
    if (length >= 0) {
        const std::size_t size = prefix + static_cast<std::size_t>(length);
        line[size] = '\n';
        if (fd == STDOUT_FILENO) {
            std::fflush(stdout);  // what the program printed before the line stays before it
        }
        write_whole(fd, line, size + 1);
    }
    errno = saved_errno;
}

}  // namespace

void logger_set_standard_output(bool carries_samples) {
    samples_on_standard_output.store(carries_samples, std::memory_order_relaxed);
    if (!carries_samples) {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    }
}

void logger_set_level(std::int32_t level) {
    process_level.store(level, std::memory_order_relaxed);
}

void logger_mute(bool muted) {
    process_muted.store(muted, std::memory_order_relaxed);
}

bool logger_enabled(std::int32_t level) {
    // Compared unsigned, so that a negative level admits everything.
    const auto admitted = static_cast<std::uint32_t>(process_level.load(std::memory_order_relaxed));
    const auto asked = static_cast<std::uint32_t>(level);
    if (admitted < asked || asked > static_cast<std::uint32_t>(LOG_DEBUG)) {
        return false;
    }
    return asked == static_cast<std::uint32_t>(LOG_DEBUG) ||
           admitted >= static_cast<std::uint32_t>(LOG_DEBUG) ||
           !process_muted.load(std::memory_order_relaxed);
}

void logger_log(std::int32_t level, const char* format, ...) {
    if (!logger_enabled(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    const bool on_standard_error =
        level <= LOG_WARNING || samples_on_standard_output.load(std::memory_order_relaxed);
    write_line(on_standard_error ? STDERR_FILENO : STDOUT_FILENO, level, format, args);
    va_end(args);
}

void logger_log_always(std::int32_t level, const char* format, ...) {
    if (static_cast<std::uint32_t>(level) > static_cast<std::uint32_t>(LOG_DEBUG)) {
        return;
    }
    va_list args;
    va_start(args, format);
    write_line(STDERR_FILENO, level, format, args);
    va_end(args);
}
