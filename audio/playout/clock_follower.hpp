// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Follows the sender's sample clock with the output's: the correction to resample by, in
// ppm, so that the total latency L (device fill plus what the playout holds, in output frames)
// stays at its target. Two parts, kept apart so that each does one job:
// - the rates, measured (clock_estimate): the sender's from the packet arrivals, the output's
//   from what it takes, each against the local clock; they are known within a second or two
//   and do not depend on L, so neither an underrun, a refill nor a stall can hide a drift or
//   fake one;
// - a proportional-integral hold on L, low-passed: it brings L back to the target after the
//   first second (before the rates are known) and takes up what the measured rates do not
//   hold. It is quick while it acquires (its first 5 s) and calm after, and it is frozen while
//   L is being disturbed on purpose (filling, trimming a backlog), so that a stall moves the
//   correction by little.
// The result is bounded to +-2000 ppm and slewed, so the pitch never steps. A device that does
// not keep time (one that takes whatever it is given at once: its fill has not risen above
// half a period yet, or not for 3 s of playing) gives nothing to follow: then the follower
// reports "not following" and 0 ppm. Plain state, no allocation, no system call; the caller's
// thread only.

// What the follower is made for, in output frames.
struct clock_follower_config {
    double rate;           // output frames per second
    double target_frames;  // the L to hold
    double period_frames;  // the device's period
};

// The sender's rate as measured from arrivals, for one observation.
struct clock_follower_rate {
    bool valid = false;
    double ppm = 0.0;          // how much faster the sender runs than the local clock
    double uncertainty = 0.0;  // its standard error, ppm
};

// The follower's state; the caller may read `filtered`, `following` and `error_frames`.
struct clock_follower {
    clock_follower_config config{};
    bool primed = false;                 // `filtered` holds an estimate
    std::int64_t last_ns = 0;            // time of the last observation
    std::int64_t primed_ns = 0;          // when `filtered` was started afresh
    bool acquiring = false;              // the hold has begun
    std::int64_t acquiring_from_ns = 0;  // when it began
    bool settled = false;                // it has acquired: it is calm from now on
    double filtered = 0.0;               // low-passed L, frames
    double error_frames = 0.0;           // filtered L less the target
    double hold_ppm = 0.0;               // the hold's proportional part
    double integral = 0.0;               // the hold's integral part, ppm
    double rate_ppm = 0.0;               // the measured rate as applied
    double ppm = 0.0;                    // the correction handed out
    bool following = false;              // the correction is live (else it is 0)
    bool kept_time = false;              // the device has shown that it keeps time
    std::int64_t last_kept_ns = 0;       // when its fill was last above half a period
};

// The bound of the correction, ppm.
constexpr double CLOCK_FOLLOWER_MAX_PPM = 2000.0;

// Starts a follower from rest (0 ppm, not following).
void clock_follower_init(clock_follower* follower, const clock_follower_config& config);

// One observation at `now_ns`: the total latency and the device's own fill (both in output
// frames), and the sender's measured rate. `playing` false (the output fills up to its
// target) or `disturbed` true (a backlog is being trimmed, a sender has started again) holds
// the hold as it is, and its low-pass starts afresh at the next steady observation.
void clock_follower_observe(clock_follower* follower, double latency_frames,
                            double device_fill_frames, std::int64_t now_ns, bool playing,
                            bool disturbed, const clock_follower_rate& rate);

// The correction to resample by, ppm (positive: the sender's clock is fast).
[[nodiscard]] inline double clock_follower_ppm(const clock_follower* follower) {
    return follower->ppm;
}
