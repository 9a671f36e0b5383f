// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

// At most one line a second of one kind of message, and the count of the lines of that kind
// that were held back meanwhile: whatever a flood of datagrams causes, the log gets a few
// lines a second. Time is passed in, so the rhythm is the same under any clock. Used from one
// thread; allocates nothing.
class log_limit {
public:
    using clock = std::chrono::steady_clock;

    // True when a line of this kind may go out at `now`: none has, or the last one went out a
    // second or more before. Counts nothing.
    [[nodiscard]] bool ready(clock::time_point now) const;

    // A line of this kind is due at `now`. True when it may go out: `*held` is then how many
    // were held back since the last one that went out, and the count starts again. False when
    // it is held back, and counted.
    [[nodiscard]] bool admit(clock::time_point now, std::uint64_t* held);

    // True when lines were held back and no line of this kind came to carry their count for a
    // second after one could have gone out (or `now_or_never`, at the end): `*held` is then
    // their count, for a line of its own, and the count starts again.
    [[nodiscard]] bool take_held(clock::time_point now, bool now_or_never, std::uint64_t* held);

    // True while lines are held back, to be told by take_held.
    [[nodiscard]] bool holding() const { return held_ != 0; }

private:
    clock::time_point last_{};
    bool any_ = false;  // a line of this kind went out
    std::uint64_t held_ = 0;
};

// Logs one line as logger_log does, ending with how many lines of its kind were held back
// since the last one (`held`, from log_limit::admit) when there were any. The pattern:
//     std::uint64_t held = 0;
//     if (logger_enabled(level) && limit.admit(now, &held)) {
//         logger_log_held(level, held, ...);
//     }
// so that a hidden line is neither counted nor formatted.
void logger_log_held(std::int32_t level, std::uint64_t held, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
