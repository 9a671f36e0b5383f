#include "common/logger.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

// Relaxed is enough: the level is set before any other thread starts.
std::atomic<std::int32_t> process_level{LOG_ERROR};
std::atomic<bool> process_muted{false};

constexpr const char* level_prefixes[] = {"Fatal: ", "Error: ", "Warning: ", "Info: ", "Debug: "};

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
    std::FILE* stream = level <= LOG_WARNING ? stderr : stdout;
    std::fputs(level_prefixes[level], stream);
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fputc('\n', stream);
}
