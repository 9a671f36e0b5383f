#include "audio/playout/clock_follower.hpp"

#include <algorithm>

namespace {

// Loop dynamics, tuned in the simulation of tests/playout_test.cpp. L is an integrator of
// the drift left over, so the PI loop is of second order with a natural frequency of
// sqrt(ki) and a damping of kp / (2 sqrt(ki)): 0.05 rad/s, critically damped, so a step of
// drift settles in about a minute without overshoot, and a drift of 500 ppm moves L by about
// 500e-6 / 0.05 / e = 3.7 ms at most on the way.
constexpr double kp = 0.1;     // ppm·1e-6 per second of latency error
constexpr double ki = 0.0025;  // the same per second of error per second
// The low-pass's time constant: ten times faster than the loop, so it costs little phase,
// and long enough to average a few hundred packets' jitter.
constexpr double lowpass_seconds = 2.0;
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
    if (device_fill_frames > f->config.period_frames / 2.0) {
        f->kept_time = true;
        f->last_kept_ns = now_ns;
    }
    f->following = f->kept_time && now_ns - f->last_kept_ns <= keeps_time_ns;
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
