// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

// Sequence tracking by the 32-bit packet counter of VBAN audio headers (+1 a packet, wrapping
// from 4294967295 to 0), in serial-number arithmetic. It knows which counter is to be played
// next (`next`: everything before it has been played or given up) and which counters of the
// last 256 have arrived and when, and classifies each packet against them and its arrival
// time. Used alone by the outputs that only count (file, pipe), and by the playout to restore
// order. Plain state, no allocation; one thread.
//
// A sender that starts again counts from the start of its run (quellor from 1), so its
// counters meet those of its previous run: a counter back at the start after a pause, or a
// far one that the next packet follows in order, is a new run and tracked from there. A far
// counter that nothing follows is a stray (forged or corrupted), dropped without moving
// anything, so that one packet cannot make the genuine ones after it lost or late.

// What a packet is, relative to what came before.
enum class frame_class : std::int32_t {
    in_order,   // the next counter, and nothing newer has arrived
    ahead,      // newer than any seen, with counters missing before it
    reordered,  // one of the missing counters, arriving after a newer one: put in its place
    duplicate,  // seen already, a moment ago
    late,       // given up as lost already: dropped
    stray,      // far from the stream: dropped, unless the next packet follows it in order
    restart,    // the stream goes on from the stray before this packet (kept in `candidate`),
                // or from this packet: the tracker started again there
};

// A jump that the next packet confirms is an outage of the same sender up to this distance
// ahead (the counters between are lost), and a new sender beyond it or behind.
constexpr std::int64_t FRAME_COUNTER_RESTART_DISTANCE = 1 << 16;

// Counters remembered for duplicates and reordering; a counter further than this from the
// stream is a stray until the next packet confirms it.
constexpr std::uint32_t FRAME_COUNTER_WINDOW = 256;

// A counter seen again later than this after its first arrival is not the network's
// duplicate but another packet with the same number: a new run of the sender. A few packets'
// time at the slowest packet rate (256 frames at 6000 Hz: 43 ms).
constexpr std::int64_t FRAME_COUNTER_DUPLICATE_NS = 100'000'000;

// Nothing for this long, then counter 0 or 1: a sender that started again, believed at once.
constexpr std::int64_t FRAME_COUNTER_PAUSE_NS = 100'000'000;

// One stream's tracking state and counts.
struct frame_counter {
    bool started = false;                    // a first packet has come
    std::uint32_t next = 0;                  // the counter to be played next
    std::uint32_t newest = 0;                // the newest counter seen
    std::bitset<FRAME_COUNTER_WINDOW> seen;  // by counter % window, for (newest - window, newest]
    std::array<std::int64_t, FRAME_COUNTER_WINDOW> arrived_ns{};  // first arrival, by slot
    std::int64_t last_ns = 0;                                     // the last packet's arrival
    bool pending = false;         // the last packet was a stray that the next one may confirm
    std::uint32_t candidate = 0;  // its counter
    std::int64_t candidate_ns = 0;
    std::uint64_t received = 0;    // packets counted in, duplicates, late ones and strays apart
    std::uint64_t lost = 0;        // counters given up without having arrived
    std::uint64_t duplicated = 0;  // packets seen twice
    std::uint64_t reordered = 0;   // packets that came after a newer one, in time to be used
    std::uint64_t late = 0;        // packets that came after their counter was given up
    std::uint64_t strays = 0;      // packets far from the stream that nothing confirmed
    std::uint64_t restarts = 0;    // senders that started again

    bool operator==(const frame_counter&) const = default;
};

// Classifies the packet with `counter`, arriving at `now_ns` of a monotonic clock, counts it
// and records it as seen. Does not move `next` but for a restart: the caller does, as it
// plays or gives up counters. After `restart`, `next` is the counter the stream goes on from:
// `candidate` when the stray before this packet was confirmed (the caller plays it first),
// otherwise this packet's.
[[nodiscard]] frame_class frame_counter_classify(frame_counter* fc, std::uint32_t counter,
                                                 std::int64_t now_ns);

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

// Copies the counts into `stats` (received, lost, duplicated, reordered, late, strays,
// restarts).
void frame_counter_report(const frame_counter* fc, playout_stats* stats);

// For an output that writes every packet as it comes and only counts: classifies, then
// keeps `next` 64 counters behind the newest, so that a packet up to 64 counters out of
// order counts as reordered rather than as a loss and a late arrival.
[[nodiscard]] frame_class frame_counter_note(frame_counter* fc, std::uint32_t counter,
                                             std::int64_t now_ns);
