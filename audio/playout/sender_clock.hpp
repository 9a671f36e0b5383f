// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

// Measures the sender's sample clock against the local monotonic clock from packet arrivals
// alone: each packet's place in the stream (frames since the first) against the time it
// arrived. Delays only ever make a packet late, never early, so the earliest packet of each
// quarter second (the lower envelope of the delays) follows the sender's clock; a line fitted
// through those over the last half minute gives the rate. A stretch that a stall or a burst
// made late sits above the line and is left out; a delay that stays changed (another route)
// starts the line afresh. Within a second it knows the rate to about a hundred ppm, within
// five seconds to a few. Plain state, fixed storage, no allocation; one thread.

// One quarter second's earliest packet: x is its place in the stream, y its delay (arrival
// time less x), both seconds since the first packet.
struct sender_clock_point {
    double x = 0.0;
    double y = 0.0;
};

// How many stretches the line is fitted through: 30 s.
constexpr std::uint32_t SENDER_CLOCK_POINTS = 120;

struct sender_clock {
    double stream_rate = 0.0;  // the sender's nominal frames per second
    bool started = false;
    std::int64_t origin_ns = 0;       // arrival of the first packet
    double origin_frames = 0.0;       // its place in the stream
    std::int64_t stretch_end_ns = 0;  // when the stretch being gathered ends
    bool stretch_has_point = false;
    sender_clock_point stretch_best;  // the earliest packet of the stretch so far
    std::array<sender_clock_point, SENDER_CLOCK_POINTS> points{};
    std::uint32_t count = 0;       // points in the ring
    std::uint32_t head = 0;        // where the next one goes
    std::uint32_t late_run = 0;    // newest points in a row that were left out as late
    bool valid = false;            // `ppm` holds a measurement
    double ppm = 0.0;              // how much faster the sender runs than the local clock
    double uncertainty_ppm = 0.0;  // the standard error of `ppm`
    bool has_line = false;         // the points in the ring have been fitted
    double line_a = 0.0;           // the fitted line: delay = a + b x
    double line_b = 0.0;
    double spread_s = 0.0;  // the scatter of the points about the line (robust), seconds
};

// Starts afresh for a stream of `stream_rate` frames per second; forgets any measurement.
void sender_clock_init(sender_clock* clock, double stream_rate);

// Starts the line afresh (a new sender: its place in the stream means nothing against the old
// one's) but keeps the last measurement, valid, until a new one is made.
void sender_clock_restart(sender_clock* clock);

// How long after the sender's clock line a packet at `position` arrived at `arrival_ns`, in
// seconds (0 for one on the line or earlier; before there is a line, against the earliest
// packet of the last half second): its share of the network's jitter.
[[nodiscard]] double sender_clock_lateness(const sender_clock* clock, double position,
                                           std::int64_t arrival_ns);

// One packet: `position` is the stream frame its first sample has (counted from any fixed
// origin, so a lost packet leaves its place empty and a late one takes its own), `arrival_ns`
// the time it arrived at (the socket's stamp, so that the receiver's own delays do not count).
void sender_clock_observe(sender_clock* clock, double position, std::int64_t arrival_ns);
