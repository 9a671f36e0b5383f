// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

// Measures a sample clock against the local monotonic clock from (position, time) pairs: a
// sender's, from each packet's place in the stream (frames since the first) against the time
// it arrived; an output's, from the frames it has taken against the time they were counted.
// Delays only ever make a pair late, never early, so the earliest of each quarter second (the
// lower envelope of the delays) follows the clock; a line fitted through those over the last
// half minute gives the rate. A stretch that a stall or a burst made late sits above the line
// and is left out. A delay that stays changed (another route; a server that lost time, which
// a busy host makes happen every few seconds) begins a new segment: the segments share the
// slope, each has its own offset, so a step neither bends the line nor costs what was
// measured before it. Within a second it knows the rate to about a hundred ppm, within five
// seconds to a few. Plain state, fixed storage, no allocation; one thread.

// One quarter second's earliest pair: x is its place in the stream, y its delay (its time
// less x), both seconds since the first pair.
struct clock_estimate_point {
    double x = 0.0;
    double y = 0.0;
    std::uint32_t segment = 0;  // points of one segment lie on one line
};

// How many stretches the line is fitted through: 30 s.
constexpr std::uint32_t CLOCK_ESTIMATE_POINTS = 120;

struct clock_estimate {
    double stream_rate = 0.0;  // the clock's nominal frames per second
    bool started = false;
    std::int64_t origin_ns = 0;       // time of the first pair
    double origin_frames = 0.0;       // its place in the stream
    std::int64_t stretch_end_ns = 0;  // when the stretch being gathered ends
    bool stretch_has_point = false;
    clock_estimate_point stretch_best;  // the earliest pair of the stretch so far
    std::array<clock_estimate_point, CLOCK_ESTIMATE_POINTS> points{};
    std::uint32_t count = 0;       // points in the ring
    std::uint32_t head = 0;        // where the next one goes
    std::uint32_t late_run = 0;    // newest points in a row that were left out as late
    std::uint32_t segment = 0;     // the segment new points belong to
    bool valid = false;            // `ppm` holds a measurement
    bool provisional = false;      // the line is new, and `ppm` is still the one made before
    double ppm = 0.0;              // how much faster the clock runs than the local one
    double uncertainty_ppm = 0.0;  // the standard error of `ppm`
    bool has_line = false;         // the points in the ring have been fitted
    double line_a = 0.0;           // the fitted line of the newest segment: delay = a + b x
    double line_b = 0.0;
    double spread_s = 0.0;  // the scatter of the points about the line (robust), seconds
};

// Starts afresh for a clock of `stream_rate` frames per second; forgets any measurement.
void clock_estimate_init(clock_estimate* clock, double stream_rate);

// Starts the line afresh (a new sender, an output that stopped: positions mean nothing against
// the old ones) but keeps the last measurement, valid, until a new one is made.
void clock_estimate_restart(clock_estimate* clock);

// The pairs stop for a while (the clock they are measured against is not to be trusted
// meanwhile): the stretch being gathered is forgotten, for its earliest pair may be one of the
// last before the pause; the line goes on with the pairs after it.
void clock_estimate_pause(clock_estimate* clock);

// How long after the clock's line a packet at `position` arrived at `arrival_ns`, in
// seconds (0 for one on the line or earlier; before there is a line, against the earliest
// packet of the last half second): its share of the network's jitter.
[[nodiscard]] double clock_estimate_lateness(const clock_estimate* clock, double position,
                                             std::int64_t arrival_ns);

// One packet: `position` is the stream frame its first sample has (counted from any fixed
// origin, so a lost packet leaves its place empty and a late one takes its own), `arrival_ns`
// the time it arrived at (the socket's stamp, so that the receiver's own delays do not count).
void clock_estimate_observe(clock_estimate* clock, double position, std::int64_t arrival_ns);
