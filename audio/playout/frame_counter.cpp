// SPDX-License-Identifier: MIT
#include "audio/playout/frame_counter.hpp"

#include "audio/playout/playout_stats.hpp"

#include <algorithm>

namespace {

constexpr std::int32_t window = static_cast<std::int32_t>(FRAME_COUNTER_WINDOW);

// A single stray may be a packet held up in the network; this many in a row are a sender
// that started again from another counter.
constexpr std::uint32_t strays_for_restart = 3;

void start_at(frame_counter* fc, std::uint32_t counter) {
    fc->started = true;
    fc->next = counter;
    fc->newest = counter - 1;
    fc->strays = 0;
    fc->seen.reset();
}

// Makes `counter` the newest: the slots of the counters that enter the window are cleared.
void move_newest(frame_counter* fc, std::uint32_t counter) {
    const std::int32_t step = frame_counter_distance(fc->newest, counter);
    if (step >= window) {
        fc->seen.reset();
    } else {
        for (std::int32_t i = 1; i <= step; ++i) {
            fc->seen.reset((fc->newest + static_cast<std::uint32_t>(i)) % FRAME_COUNTER_WINDOW);
        }
    }
    fc->newest = counter;
}

}  // namespace

bool frame_counter_seen(const frame_counter* fc, std::uint32_t counter) {
    const std::int32_t age = frame_counter_distance(counter, fc->newest);
    return fc->started && age >= 0 && age < window && fc->seen.test(counter % FRAME_COUNTER_WINDOW);
}

frame_class frame_counter_classify(frame_counter* fc, std::uint32_t counter) {
    frame_class result = frame_class::in_order;
    if (!fc->started) {
        start_at(fc, counter);
    }
    const std::int64_t from_newest = frame_counter_distance(fc->newest, counter);
    const std::int32_t from_next = frame_counter_distance(fc->next, counter);
    const bool stray = from_next < -window;
    fc->strays = stray ? fc->strays + 1 : 0;
    // A sender that starts again usually starts from 0 or 1; one that starts elsewhere shows
    // as a run of strays, or as a jump no network delay explains.
    if (std::abs(from_newest) > FRAME_COUNTER_RESTART_DISTANCE ||
        (stray && (counter <= 1 || fc->strays >= strays_for_restart))) {
        start_at(fc, counter);
        ++fc->restarts;
        result = frame_class::restart;
    } else if (frame_counter_seen(fc, counter)) {
        ++fc->duplicated;
        return frame_class::duplicate;
    } else if (from_next < 0) {
        ++fc->late;
        return frame_class::late;
    } else if (frame_counter_distance(fc->newest, counter) < 0) {
        ++fc->reordered;
        result = frame_class::reordered;
    } else if (from_next > 0) {
        result = frame_class::ahead;
    }
    if (frame_counter_distance(fc->newest, counter) > 0) {
        move_newest(fc, counter);
    }
    fc->seen.set(counter % FRAME_COUNTER_WINDOW);
    ++fc->received;
    return result;
}

void frame_counter_advance(frame_counter* fc, std::uint32_t to) {
    const std::int32_t distance = frame_counter_distance(fc->next, to);
    if (distance <= 0) {
        return;
    }
    // Only the counters still in the window can have arrived; the loop is bounded by it.
    std::int64_t arrived = 0;
    const std::int32_t checked = std::min(distance, window);
    for (std::int32_t i = distance - checked; i < distance; ++i) {
        arrived += frame_counter_seen(fc, fc->next + static_cast<std::uint32_t>(i)) ? 1 : 0;
    }
    fc->lost += static_cast<std::uint64_t>(distance - arrived);
    fc->next = to;
}

frame_class frame_counter_note(frame_counter* fc, std::uint32_t counter) {
    const frame_class result = frame_counter_classify(fc, counter);
    constexpr std::uint32_t kept = 64;
    frame_counter_advance(fc, fc->newest - kept + 1);
    return result;
}

void frame_counter_report(const frame_counter* fc, playout_stats* stats) {
    stats->received = fc->received;
    stats->lost = fc->lost;
    stats->duplicated = fc->duplicated;
    stats->reordered = fc->reordered;
    stats->late = fc->late;
}
