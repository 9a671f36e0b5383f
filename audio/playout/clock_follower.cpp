// SPDX-License-Identifier: MIT
#include "audio/playout/clock_follower.hpp"

#include <algorithm>
#include <cmath>

namespace {

// The hold acquires, then holds. For its first 5 s of following it is quick: its low-pass
// lasts 0.3 s and an error of L is taken back over 1.5 s, so that the offset L gathers before
// the rates are known (about a millisecond at 1000 ppm) is gone in a few seconds. Then it is
// calm for good: the low-pass lasts a second, which averages some 190 packets of what jitter
// the steady latency still shows, and an error is taken back over 12 s, so that what a stall
// leaves behind hardly reaches the pitch (a millisecond of error moves it by 83 ppm).
constexpr double acquiring_lowpass_seconds = 0.3;
constexpr double acquiring_seconds = 1.5;
constexpr std::int64_t acquiring_ns = 5'000'000'000;
constexpr double lowpass_seconds = 1.0;
constexpr double holding_seconds = 12.0;
// An error larger than this is no drift the hold let gather (that stays within a fraction of
// it) but L knocked off its target, by a burst or a device that took a stall's periods at once:
// it is taken back over 4 s, before the margin it ate into is needed (5 ms at 1250 ppm).
constexpr double large_error_seconds = 2e-3;
constexpr double recovering_seconds = 4.0;
// The integral learns what the measured rate leaves over (the output's own clock against the
// local one, tens of ppm): slow beside the proportional part, so that the loop is well damped
// in both modes, and bounded to what a real clock is off by.
constexpr double integral_seconds = 30.0;
constexpr double integral_bound_ppm = 500.0;
// The sender's clock is off by about this much before anything is measured: an early
// measurement is trusted in proportion (a Kalman-like shrink towards no drift).
constexpr double prior_ppm = 1000.0;
// The slew: 1000 ppm/s is 1.7 cents in a second, far below what an ear hears as a glide.
constexpr double slew_ppm_per_second = 1000.0;
// A gap between observations longer than this (a stall) counts as this much.
constexpr double longest_step_seconds = 0.1;
// How long the fill may stay low before the device counts as not keeping time.
constexpr std::int64_t keeps_time_ns = 3'000'000'000;

void stop_following(clock_follower* f) {
    f->following = false;
    f->acquiring = false;
    f->settled = false;
    f->primed = false;
    f->hold_ppm = 0.0;
    f->integral = 0.0;
    f->rate_ppm = 0.0;
    f->ppm = 0.0;
}

// The hold: a proportional-integral controller on the low-passed error of L.
void hold(clock_follower* f, double latency_frames, double dt, std::int64_t now_ns) {
    if (!f->primed) {
        f->filtered = latency_frames;
        f->primed = true;
        f->primed_ns = now_ns;
        f->acquiring_from_ns = f->acquiring ? f->acquiring_from_ns : now_ns;
        f->acquiring = true;
    }
    f->settled = f->settled || now_ns - f->acquiring_from_ns >= acquiring_ns;
    // A plain mean over the low-pass's time after priming, then the low-pass: one early
    // sample's jitter does not set the level.
    const double averaged = static_cast<double>(now_ns - f->primed_ns) * 1e-9;
    const double span =
        std::min(averaged, f->settled ? lowpass_seconds : acquiring_lowpass_seconds) + dt;
    if (span > 0.0) {
        f->filtered += dt / span * (latency_frames - f->filtered);
    }
    f->error_frames = f->filtered - f->config.target_frames;
    const double error = f->error_frames / f->config.rate;  // seconds
    const double seconds = !f->settled                              ? acquiring_seconds
                           : std::abs(error) >= large_error_seconds ? recovering_seconds
                                                                    : holding_seconds;
    f->hold_ppm = error / seconds * 1e6;
    f->integral = std::clamp(f->integral + error * dt / integral_seconds / integral_seconds * 1e6,
                             -integral_bound_ppm, integral_bound_ppm);
}

}  // namespace

void clock_follower_init(clock_follower* follower, const clock_follower_config& config) {
    *follower = clock_follower{};
    follower->config = config;
}

void clock_follower_observe(clock_follower* f, double latency_frames, double device_fill_frames,
                            std::int64_t now_ns, bool playing, bool disturbed,
                            const clock_follower_rate& rate) {
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
    if (rate.valid) {
        const double weight =
            prior_ppm * prior_ppm / (prior_ppm * prior_ppm + rate.uncertainty * rate.uncertainty);
        f->rate_ppm = rate.ppm * weight;
    }
    if (playing && !disturbed) {
        hold(f, latency_frames, dt, now_ns);
    } else {
        // L is being moved on purpose: the proportional part has nothing to say about the
        // clocks, the integral keeps what it learnt, and the low-pass starts afresh after.
        f->primed = false;
        f->hold_ppm = 0.0;
    }
    const double wanted = std::clamp(f->rate_ppm + f->hold_ppm + f->integral,
                                     -CLOCK_FOLLOWER_MAX_PPM, CLOCK_FOLLOWER_MAX_PPM);
    const double step = slew_ppm_per_second * dt;
    f->ppm += std::clamp(wanted - f->ppm, -step, step);
}
