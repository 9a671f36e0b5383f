// SPDX-License-Identifier: MIT
#include "audio/playout/frame_counter.hpp"

#include "audio/playout/playout_stats.hpp"

#include <algorithm>

namespace {

constexpr std::int32_t window = static_cast<std::int32_t>(FRAME_COUNTER_WINDOW);

// The packet after a stray confirms it when it follows it by at most this many counters (a
// packet or two lost between them).
constexpr std::int32_t confirm_span = 4;

void start_at(frame_counter* fc, std::uint32_t counter) {
    fc->started = true;
    fc->next = counter;
    fc->newest = counter - 1;
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

// Counts `counter`, which arrived at `now_ns`, in.
void record(frame_counter* fc, std::uint32_t counter, std::int64_t now_ns) {
    if (frame_counter_distance(fc->newest, counter) > 0) {
        move_newest(fc, counter);
    }
    fc->seen.set(counter % FRAME_COUNTER_WINDOW);
    fc->arrived_ns[counter % FRAME_COUNTER_WINDOW] = now_ns;
    ++fc->received;
}

// The stream goes on from `counter`, which the packet after it confirmed. A little ahead, it
// is the same sender after an outage: what did not arrive before it is lost. Further, or
// behind, it is a sender that started again.
void jump_to(frame_counter* fc, std::uint32_t counter) {
    const std::int32_t ahead = frame_counter_distance(fc->newest, counter);
    if (ahead > 0 && ahead <= FRAME_COUNTER_RESTART_DISTANCE) {
        frame_counter_advance(fc, fc->newest + 1);
        fc->lost += static_cast<std::uint32_t>(ahead - 1);
    } else {
        ++fc->restarts;
    }
    start_at(fc, counter);
}

frame_class classify_in_stream(frame_counter* fc, std::uint32_t counter, std::int64_t now_ns) {
    const std::int32_t from_next = frame_counter_distance(fc->next, counter);
    const std::int32_t from_newest = frame_counter_distance(fc->newest, counter);
    const bool seen = frame_counter_seen(fc, counter);
    // Far from the stream, or a number used again long after its packet came: a stray until
    // the next packet says whether it starts a new run.
    if (from_newest > window || from_next < -window ||
        (seen &&
         now_ns - fc->arrived_ns[counter % FRAME_COUNTER_WINDOW] > FRAME_COUNTER_DUPLICATE_NS)) {
        ++fc->strays;
        fc->pending = true;
        fc->candidate = counter;
        fc->candidate_ns = now_ns;
        return frame_class::stray;
    }
    if (seen) {
        ++fc->duplicated;
        return frame_class::duplicate;
    }
    if (from_next < 0) {
        ++fc->late;
        return frame_class::late;
    }
    frame_class result = frame_class::in_order;
    if (from_newest < 0) {
        ++fc->reordered;
        result = frame_class::reordered;
    } else if (from_next > 0) {
        result = frame_class::ahead;
    }
    record(fc, counter, now_ns);
    return result;
}

}  // namespace

bool frame_counter_seen(const frame_counter* fc, std::uint32_t counter) {
    const std::int32_t age = frame_counter_distance(counter, fc->newest);
    return fc->started && age >= 0 && age < window && fc->seen.test(counter % FRAME_COUNTER_WINDOW);
}

frame_class frame_counter_classify(frame_counter* fc, std::uint32_t counter, std::int64_t now_ns) {
    const std::int64_t quiet = now_ns - fc->last_ns;
    fc->last_ns = now_ns;
    if (!fc->started) {
        start_at(fc, counter);
        record(fc, counter, now_ns);
        return frame_class::in_order;
    }
    const bool pending = fc->pending;
    fc->pending = false;
    const std::int32_t after_candidate = frame_counter_distance(fc->candidate, counter);
    if (pending && after_candidate > 0 && after_candidate <= confirm_span) {
        --fc->strays;  // confirmed: no stray, and played after all
        jump_to(fc, fc->candidate);
        record(fc, fc->candidate, fc->candidate_ns);
        (void)classify_in_stream(fc, counter, now_ns);
        return frame_class::restart;
    }
    // quellor counts from 1, other senders from 0: the start of a run after a pause needs no
    // confirmation, so that a run of a single packet plays too.
    if (counter <= 1 && counter != fc->next && quiet >= FRAME_COUNTER_PAUSE_NS) {
        ++fc->restarts;
        start_at(fc, counter);
        record(fc, counter, now_ns);
        return frame_class::restart;
    }
    return classify_in_stream(fc, counter, now_ns);
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

frame_class frame_counter_note(frame_counter* fc, std::uint32_t counter, std::int64_t now_ns) {
    constexpr std::uint32_t kept = 64;
    static_assert(kept < FRAME_COUNTER_WINDOW);
    // Nearly every packet is the one after the newest, with `next` already `kept` behind: it
    // is ahead of `next`, and `next` moves on by one. Done here in a few steps, as the packet
    // path of an output that only counts does it at every packet.
    if (fc->started && !fc->pending && counter == fc->newest + 1 && counter > 1 &&
        fc->next == counter - kept) {
        const std::uint32_t slot = counter % FRAME_COUNTER_WINDOW;
        fc->last_ns = now_ns;
        fc->newest = counter;
        fc->seen.set(slot);
        fc->arrived_ns[slot] = now_ns;
        ++fc->received;
        fc->lost += fc->seen.test(fc->next % FRAME_COUNTER_WINDOW) ? 0 : 1;
        ++fc->next;
        return frame_class::ahead;
    }
    const frame_class result = frame_counter_classify(fc, counter, now_ns);
    frame_counter_advance(fc, fc->newest - kept + 1);
    return result;
}

void frame_counter_report(const frame_counter* fc, playout_stats* stats) {
    stats->received = fc->received;
    stats->lost = fc->lost;
    stats->duplicated = fc->duplicated;
    stats->reordered = fc->reordered;
    stats->late = fc->late;
    stats->strays = fc->strays;
    stats->restarts = fc->restarts;
}
