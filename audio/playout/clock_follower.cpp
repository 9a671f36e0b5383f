// SPDX-License-Identifier: MIT
#include "audio/playout/clock_follower.hpp"

#include <algorithm>

namespace {

// Loop dynamics, tuned in the simulation of tests/playout_test.cpp (500 ppm of drift, 3 ms of
// arrival jitter). L integrates the drift left over, so the PI loop is of second order with a
// natural frequency of sqrt(ki) = 0.05 rad/s and a damping of kp / (2 sqrt(ki)) = 0.7: a step
// of drift settles in about a minute with little overshoot, moving L by 5 to 6 ms on the way;
// locked, L stays within 0.5 ms of the target and the correction within 30 ppm of the drift.
// A larger kp shortens the excursion but passes more jitter into the pitch; a smaller one
// does the opposite.
constexpr double kp = 0.07;    // 1/s: correction (a ratio) per second of latency error
constexpr double ki = 0.0025;  // 1/s²: the same, per second of error and second of time
// The low-pass's time constant: five times faster than the loop, so it costs little phase,
// and long enough to average a thousand packets' jitter.
constexpr double lowpass_seconds = 4.0;
// The slew: the correction crosses its whole range in 20 s at most; 200 ppm/s is a third of
// a cent per second, far below what an ear hears as a pitch change.
constexpr double slew_ppm_per_second = 200.0;
// A gap between observations longer than this (a stall) counts as this much.
constexpr double longest_step_seconds = 0.1;
// How long the fill may stay low before the device counts as not keeping time.
constexpr std::int64_t keeps_time_ns = 3'000'000'000;

void stop_following(clock_follower* f) {
    f->following = false;
    f->primed = false;
    f->integral = 0.0;
    f->ppm = 0.0;
}

}  // namespace

void clock_follower_init(clock_follower* follower, const clock_follower_config& config) {
    *follower = clock_follower{};
    follower->config = config;
}

void clock_follower_observe(clock_follower* f, double latency_frames, double device_fill_frames,
                            std::int64_t now_ns, bool playing) {
    // Only a playing output is judged. While it fills up to its target it has not started:
    // every output's fill rises then, also one that takes whatever it is given once it plays.
    // And while it fills up again after a stall its fill is low because nothing came, and
    // what was learnt of the drift is kept for when it plays.
    if (playing && device_fill_frames > f->config.period_frames / 2.0) {
        f->kept_time = true;
        f->last_kept_ns = now_ns;
    } else if (playing && now_ns - f->last_kept_ns > keeps_time_ns) {
        f->kept_time = false;
    }
    f->following = f->kept_time;
    if (!f->following) {
        stop_following(f);
        f->last_ns = now_ns;
        return;
    }
    const double dt =
        std::clamp(static_cast<double>(now_ns - f->last_ns) * 1e-9, 0.0, longest_step_seconds);
    f->last_ns = now_ns;
    if (!playing) {
        f->primed = false;
        return;
    }
    if (!f->primed) {
        f->filtered = latency_frames;
        f->primed = true;
        return;
    }
    f->filtered += dt / (lowpass_seconds + dt) * (latency_frames - f->filtered);
    const double error = (f->filtered - f->config.target_frames) / f->config.rate;  // seconds
    const double proportional = kp * error * 1e6;
    const double wanted =
        std::clamp(proportional + f->integral, -CLOCK_FOLLOWER_MAX_PPM, CLOCK_FOLLOWER_MAX_PPM);
    const double step = slew_ppm_per_second * dt;
    const double moved = std::clamp(wanted - f->ppm, -step, step);
    // While the slew holds the output back, the integral would wind up against it.
    if (moved == wanted - f->ppm || (error > 0) != (wanted > f->ppm)) {
        f->integral = std::clamp(f->integral + ki * error * dt * 1e6, -CLOCK_FOLLOWER_MAX_PPM,
                                 CLOCK_FOLLOWER_MAX_PPM);
    }
    f->ppm += moved;
}
