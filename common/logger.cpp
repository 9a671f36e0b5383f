// SPDX-License-Identifier: MIT
#include "common/logger.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

// Relaxed is enough: the level is set before any other thread starts.
std::atomic<std::int32_t> process_level{LOG_ERROR};
std::atomic<bool> process_muted{false};

constexpr const char* level_prefixes[] = {"Fatal: ", "Error: ", "Warning: ", "Info: ", "Debug: "};

void write_line(std::FILE* stream, std::int32_t level, const char* format, va_list args) {
    std::fputs(level_prefixes[level], stream);
    std::vfprintf(stream, format, args);
    std::fputc('\n', stream);
}

}  // namespace

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
    write_line(level <= LOG_WARNING ? stderr : stdout, level, format, args);
    va_end(args);
}

void logger_log_always(std::int32_t level, const char* format, ...) {
    if (static_cast<std::uint32_t>(level) > static_cast<std::uint32_t>(LOG_DEBUG)) {
        return;
    }
    va_list args;
    va_start(args, format);
    write_line(stderr, level, format, args);
    va_end(args);
}
