// SPDX-License-Identifier: MIT
#include "common/log_limit.hpp"

#include <cstdarg>
#include <cstdio>

#include "common/logger.hpp"

namespace {

constexpr auto interval = std::chrono::seconds(1);

}  // namespace

bool log_limit::ready(clock::time_point now) const {
    return !any_ || now - last_ >= interval;
}

bool log_limit::admit(clock::time_point now, std::uint64_t* held) {
    if (!ready(now)) {
        ++held_;
        return false;
    }
    any_ = true;
    last_ = now;
    *held = held_;
    held_ = 0;
    return true;
}

bool log_limit::take_held(clock::time_point now, bool now_or_never, std::uint64_t* held) {
    if (held_ == 0 || (!now_or_never && now - last_ < 2 * interval)) {
        return false;
    }
    last_ = now;
    *held = held_;
    held_ = 0;
    return true;
}

void logger_log_held(std::int32_t level, std::uint64_t held, const char* format, ...) {
    if (!logger_enabled(level)) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (held == 0) {
        logger_log(level, "%s", text);
    } else {
        logger_log(level, "%s (%llu more like it not shown)", text,
                   static_cast<unsigned long long>(held));
    }
}
