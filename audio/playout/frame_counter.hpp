// SPDX-License-Identifier: MIT
#pragma once

#include <bitset>
#include <cstdint>

// Sequence tracking by the 32-bit packet counter of VBAN audio headers (+1 a packet, wrapping
// from 4294967295 to 0), in serial-number arithmetic. It knows which counter is to be played
// next (`next`: everything before it has been played or given up) and which counters of the
// last 256 have arrived, and classifies each packet against them. Used alone by the outputs
// that only count (file, pipe), and by the playout to restore order. Plain state, no
// allocation; one thread.

// What a packet is, relative to what came before.
enum class frame_class : std::int32_t {
    in_order,   // the next counter, and nothing newer has arrived
    ahead,      // newer than any seen, with counters missing before it
    reordered,  // one of the missing counters, arriving after a newer one: put in its place
    duplicate,  // seen already
    late,       // given up as lost already (or too old to be remembered): dropped
    restart,    // a new sender: the tracker started again at this counter
};

// How far from what it has seen a counter may jump before it counts as a new sender.
constexpr std::int64_t FRAME_COUNTER_RESTART_DISTANCE = 1 << 16;

// Counters remembered for duplicates and reordering.
constexpr std::uint32_t FRAME_COUNTER_WINDOW = 256;

// One stream's tracking state and counts.
struct frame_counter {
    bool started = false;                    // a first packet has come
    std::uint32_t next = 0;                  // the counter to be played next
    std::uint32_t newest = 0;                // the newest counter seen
    std::uint32_t strays = 0;                // packets in a row older than the window
    std::bitset<FRAME_COUNTER_WINDOW> seen;  // by counter % window, for (newest - window, newest]
    std::uint64_t received = 0;              // packets counted in, duplicates and late ones apart
    std::uint64_t lost = 0;                  // counters given up without having arrived
    std::uint64_t duplicated = 0;            // packets seen twice
    std::uint64_t reordered = 0;  // packets that came after a newer one, in time to be used
    std::uint64_t late = 0;       // packets that came after their counter was given up
    std::uint64_t restarts = 0;   // senders that started again
};

// Classifies the packet with `counter`, counts it and records it as seen. Does not move
// `next`: the caller does, as it plays or gives up counters.
[[nodiscard]] frame_class frame_counter_classify(frame_counter* fc, std::uint32_t counter);

// Moves `next` forward to `to` (no effect when `to` is not newer): every counter passed over
// that has not arrived is counted lost.
void frame_counter_advance(frame_counter* fc, std::uint32_t to);

// True when `counter` has arrived and is still remembered.
[[nodiscard]] bool frame_counter_seen(const frame_counter* fc, std::uint32_t counter);

// Signed distance from `from` to `to` in serial-number arithmetic: 4294967295 to 0 is +1.
[[nodiscard]] inline std::int32_t frame_counter_distance(std::uint32_t from, std::uint32_t to) {
    return static_cast<std::int32_t>(to - from);
}

struct playout_stats;

// Copies the counts into `stats` (received, lost, duplicated, reordered, late).
void frame_counter_report(const frame_counter* fc, playout_stats* stats);

// For an output that writes every packet as it comes and only counts: classifies, then
// keeps `next` 64 counters behind the newest, so that a packet up to 64 counters out of
// order counts as reordered rather than as a loss and a late arrival.
[[nodiscard]] frame_class frame_counter_note(frame_counter* fc, std::uint32_t counter);
