// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Follows the sender's sample clock with the output's: from the total latency L (device fill
// plus what the playout holds, in output frames) sampled with a monotonic time, it estimates
// how much faster the sender's clock runs than the output's, in ppm, so that resampling by
// it holds L at its target. A PI controller on a low-passed L: the proportional part pulls L
// back, the integral learns the drift, and the low-pass takes out the sawtooth of packet
// arrivals against device periods and the arrival jitter. The result is bounded to +-2000
// ppm and slewed (a bounded rate of change), so the pitch never steps. A device that does not
// keep time (one that takes whatever it is given at once: its fill has not risen above half a
// period yet, or not for 3 s of playing) gives nothing to follow: then the follower reports
// "not following" and 0 ppm. Plain state, no allocation, no system call; the caller's thread only.

// What the follower is made for, in output frames.
struct clock_follower_config {
    double rate;           // output frames per second
    double target_frames;  // the L to hold
    double period_frames;  // the device's period
};

// The follower's state; the caller may read `filtered` and `following`.
struct clock_follower {
    clock_follower_config config{};
    bool primed = false;            // `filtered` holds an estimate
    std::int64_t last_ns = 0;       // time of the last observation
    double filtered = 0.0;          // low-passed L, frames
    double integral = 0.0;          // the drift learnt, ppm
    double ppm = 0.0;               // the correction handed out
    bool following = false;         // the correction is live (else it is 0)
    bool kept_time = false;         // the device has shown that it keeps time
    std::int64_t last_kept_ns = 0;  // when its fill was last above half a period
};

// The bound of the correction, ppm.
constexpr double CLOCK_FOLLOWER_MAX_PPM = 2000.0;

// Starts a follower from rest (0 ppm, not following).
void clock_follower_init(clock_follower* follower, const clock_follower_config& config);

// One observation at `now_ns`: the total latency and the device's own fill (both in output
// frames). With `playing` false (the output is filling up to its target, so L rises on
// purpose) the estimate is held and the low-pass starts afresh at the next playing one.
void clock_follower_observe(clock_follower* follower, double latency_frames,
                            double device_fill_frames, std::int64_t now_ns, bool playing);

// The correction to resample by, ppm (positive: the sender's clock is fast).
[[nodiscard]] inline double clock_follower_ppm(const clock_follower* follower) {
    return follower->ppm;
}
