// SPDX-License-Identifier: MIT
#include "tests/support/playout_sim.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <queue>
#include <random>
#include <span>
#include <utility>

#include "audio/playout/playout.hpp"
#include "vban/vban.hpp"

namespace test_support {

namespace {

constexpr double rate = 48000.0;
constexpr std::uint32_t frames = 256;  // a packet, and a device period
constexpr double period_s = frames / rate;

// The device: a queue of frames taken a period at a time at the start of each cycle. Each
// frame is its place in the stream (0: silence), kept only when what plays is checked.
struct device_model {
    double queued = 0.0;
    double last_cycle = -1.0;
    bool checked = false;
    std::deque<std::uint32_t> frames_queued;
    std::uint32_t last_played = 0;
    playout_sim_result* result = nullptr;

    // What a frame written at `t` waits before a cycle takes it: the queue, less what has
    // played since the last cycle, up to four periods (as the JACK backend counts it).
    double fill(double t) const {
        const double elapsed =
            last_cycle < 0.0 ? 0.0 : std::clamp((t - last_cycle) * rate, 0.0, 4.0 * frames);
        return queued - elapsed;
    }

    static std::int32_t write(void* context, std::span<const std::uint8_t> block, std::uint32_t n) {
        auto& self = *static_cast<device_model*>(context);
        self.queued += n;
        for (std::uint32_t f = 0; self.checked && f < n; ++f) {
            std::uint32_t place = 0;
            std::memcpy(&place, block.data() + 4 * f, 4);
            self.frames_queued.push_back(place);
        }
        return 0;
    }

    // `n` frames of the queue that were due in cycles that played without them.
    void skip(std::uint32_t n) {
        queued -= n;
        for (std::uint32_t f = 0; checked && f < n && !frames_queued.empty(); ++f) {
            frames_queued.pop_front();
        }
    }

    // One period: `take` frames from the queue, silence for the rest.
    void play(std::uint32_t take) {
        queued -= take;
        for (std::uint32_t f = 0; checked && f < frames; ++f) {
            std::uint32_t place = 0;
            if (f < take && !frames_queued.empty()) {
                place = frames_queued.front();
                frames_queued.pop_front();
            }
            if (place == 0) {
                ++result->silent_frames;
                continue;
            }
            result->in_order = result->in_order && place > last_played;
            last_played = place;
            ++result->sound_frames;
        }
    }
};

bool within(double t, double at, double ms) {
    return at >= 0.0 && t >= at && t < at + ms * 1e-3;
}

// When the host (or the output's server alone) stops: `every_s` apart on average, at random.
std::vector<double> random_stalls(const playout_sim_options& o, double every_s,
                                  std::uint32_t seed) {
    std::vector<double> at;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> gap(0.2 * every_s, 1.8 * every_s);
    for (double t = gap(rng); every_s > 0.0 && t < o.seconds; t += gap(rng)) {
        at.push_back(t);
    }
    return at;
}

// The end of the host's stall that `t` falls in, or `t` when it falls in none.
double after_host_stall(const std::vector<double>& stalls, double ms, double t) {
    for (const double at : stalls) {
        if (within(t, at, ms)) {
            return at + ms * 1e-3;
        }
    }
    return t;
}

}  // namespace

playout_sim_result run_playout_sim(const playout_sim_options& o) {
    playout_sim_result result;
    std::mt19937 rng(o.seed);
    std::uniform_real_distribution<double> delay((o.delay_ms - o.jitter_ms) * 1e-3,
                                                 (o.delay_ms + o.jitter_ms) * 1e-3);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    using arrival = std::pair<double, std::uint32_t>;
    std::priority_queue<arrival, std::vector<arrival>, std::greater<>> network;
    const double interval = frames / (rate * (1.0 + o.drift_ppm * 1e-6));
    const std::vector<double> stalls = random_stalls(o, o.host_stall_every_s, o.seed + 1);
    std::vector<double> device_stalls = random_stalls(o, o.device_stall_every_s, o.seed + 2);
    device_stalls.insert(device_stalls.end(), stalls.begin(), stalls.end());
    std::uint64_t sent = 0;
    auto send_until = [&](double t) {
        for (; static_cast<double>(sent) * interval < t; ++sent) {
            double at = static_cast<double>(sent) * interval;
            if (o.sender_stall_at >= 0.0 && at >= o.sender_stall_at) {
                at += o.stall_ms * 1e-3;
            }
            for (const double stall : stalls) {
                at += stall < at ? o.host_stall_ms * 1e-3 : 0.0;
            }
            double arrives = at + delay(rng) + (chance(rng) < o.swap ? 1.5 * interval : 0.0);
            if (within(at, o.network_stall_at, o.stall_ms)) {
                // What the network held comes at once when it lets go, in order.
                arrives = o.network_stall_at + o.stall_ms * 1e-3 + delay.min() +
                          (at - o.network_stall_at) * 1e-3;
            }
            const auto counter = static_cast<std::uint32_t>(o.first_counter + sent);
            if (chance(rng) >= o.loss && !within(at, o.loss_burst_at, o.loss_burst_ms)) {
                network.push({arrives, counter});
            }
            if (chance(rng) < o.duplicate) {
                network.push({arrives + 1e-4, counter});
            }
        }
    };

    const playout_config config{2,
                                48000,
                                BIT_FMT_16I,
                                48000,
                                static_cast<std::uint32_t>(o.target_ms * rate / 1000.0),
                                frames,
                                o.bit_exact};
    playout* p = nullptr;
    if (playout_init(&p, &config) != 0) {
        return result;
    }
    device_model device;
    device.checked = o.bit_exact;
    device.result = &result;
    std::vector<std::uint8_t> payload(frames * 4);
    const double cycle_s = period_s / (1.0 + o.device_ppm * 1e-6);
    double next_cycle = cycle_s;
    double cycle_base = 0.0;
    std::uint64_t cycles = 0;
    std::uint32_t missed_left = o.cycles_missed_at >= 0.0 ? o.cycles_missed : 0;
    std::uint32_t missed_frames = 0;
    double busy_until = -1.0;  // the receiver opens its output at the first packet
    double next_sample = 0.25;
    bool started = false;
    const double end = o.seconds;
    while (true) {
        send_until(std::min(next_cycle, end) + 0.5);
        const double arrives =
            network.empty() ? std::numeric_limits<double>::max() : network.top().first;
        double take_at = std::max(arrives, busy_until);
        if (within(take_at, o.receiver_stall_at, o.stall_ms)) {
            take_at = o.receiver_stall_at + o.stall_ms * 1e-3;
        }
        take_at = after_host_stall(stalls, o.host_stall_ms, take_at);
        const std::int64_t look_ns = o.push_device ? playout_look_at_ns(p) : 0;
        const double look_at = look_ns != 0 ? std::max(look_ns * 1e-9, busy_until)
                                            : std::numeric_limits<double>::max();
        const double now = std::min({next_cycle, take_at, next_sample, look_at});
        if (now >= end) {
            break;
        }
        if (now == next_sample) {
            const playout_stats& s = *playout_get_stats(p);
            result.samples.push_back(
                {now, s.latency_ms, s.ratio_ppm, playout_get_state(p) == playout_state::playing});
            next_sample += 0.25;
        } else if (now == next_cycle && missed_left > 0 && now >= o.cycles_missed_at) {
            --missed_left;  // a cycle the receiver hears nothing of
            missed_frames += frames;
            ++cycles;
            next_cycle = cycle_base + static_cast<double>(cycles + 1) * cycle_s;
        } else if (now == next_cycle) {
            const bool playing = playout_get_state(p) == playout_state::playing;
            const std::uint32_t missed = std::exchange(missed_frames, 0);
            if (playing && !o.push_device) {
                device.skip(playout_missed(p, static_cast<std::uint32_t>(device.queued), missed));
            }
            const auto queued = static_cast<std::uint32_t>(std::min(device.queued, 1.0 * frames));
            if (playing && !o.push_device) {
                device.play(playout_cycle(p, queued, frames));
            } else if (playing) {
                device.play(queued);
                if (queued < frames) {
                    playout_note_underrun(p);
                }
            }
            device.last_cycle = now;
            ++cycles;
            next_cycle = std::max(now, cycle_base + static_cast<double>(cycles + 1) * cycle_s);
            if (within(next_cycle, o.device_stall_at, o.stall_ms) && o.device_catches_up) {
                next_cycle = o.device_stall_at + o.stall_ms * 1e-3;  // the missed cycles at once
            } else if (within(next_cycle, o.device_stall_at, o.stall_ms)) {
                cycle_base = o.device_stall_at + o.stall_ms * 1e-3 -
                             static_cast<double>(cycles + 1) * cycle_s;
                next_cycle = cycle_base + static_cast<double>(cycles + 1) * cycle_s;
            }
            for (const double stall : device_stalls) {
                if (stall > now && stall <= next_cycle) {
                    cycle_base += o.host_stall_ms * 1e-3;
                    next_cycle += o.host_stall_ms * 1e-3;
                }
            }
        } else if (now == look_at && now != take_at) {
            (void)playout_tick(p, static_cast<std::int32_t>(std::lround(device.fill(now))),
                               static_cast<std::int64_t>(now * 1e9),
                               {device_model::write, &device});
        } else {
            const std::uint32_t counter = network.top().second;
            network.pop();
            for (std::uint32_t f = 0; f < frames; ++f) {
                const std::uint32_t place = (counter - o.first_counter) * frames + f + 1;
                std::memcpy(payload.data() + 4 * f, &place, 4);
            }
            double stamp = now;  // the receiver's clock when it took the packet
            double waited = now - arrives;
            if (busy_until < 0.0) {
                // The first packet opens the output: the receiver is busy meanwhile, and the
                // packet is played with the time it was received at.
                busy_until = now + o.open_ms * 1e-3;
                stamp = arrives;
                waited = 0.0;
            }
            const bool was_filling = playout_get_state(p) == playout_state::filling;
            const double fill = device.fill(std::max(now, busy_until));
            (void)playout_push(
                p, counter, payload, frames, static_cast<std::int32_t>(std::lround(fill)),
                static_cast<std::int64_t>(stamp * 1e9), {device_model::write, &device},
                static_cast<std::int64_t>(waited * 1e9));
            if (!started && was_filling && playout_get_state(p) == playout_state::playing) {
                started = true;
                result.first_latency_ms = playout_get_stats(p)->latency_ms;
                if (o.device_starts_after_ms > 0.0) {
                    device.last_cycle = -1.0;  // its fill stands still until then
                    cycle_base = now + o.device_starts_after_ms * 1e-3 -
                                 static_cast<double>(cycles + 1) * cycle_s;
                    next_cycle = cycle_base + static_cast<double>(cycles + 1) * cycle_s;
                }
            }
        }
    }
    const playout_stats& s = *playout_get_stats(p);
    result.underruns = s.underruns.load();
    result.concealed = s.concealed.load();
    result.dropped = s.dropped;
    result.lost = s.lost;
    result.trimmed_ms = s.trimmed_ms;
    playout_release(&p);
    return result;
}

double playout_sim_lock_seconds(const playout_sim_result& result, double target_ms,
                                double tolerance_ms) {
    const std::vector<playout_sim_sample>& s = result.samples;
    constexpr std::size_t window = 120;  // 30 s of quarter seconds
    for (std::size_t i = 0; i + window <= s.size(); ++i) {
        std::size_t within_tolerance = 0;
        for (std::size_t j = i; j < i + window; ++j) {
            within_tolerance +=
                s[j].playing && std::abs(s[j].latency_ms - target_ms) <= tolerance_ms;
        }
        if (within_tolerance >= window * 95 / 100) {
            return s[i].seconds;
        }
    }
    return -1.0;
}

double playout_sim_median_latency_ms(const playout_sim_result& result, double from_s, double to_s) {
    std::vector<double> latencies;
    for (const playout_sim_sample& sample : result.samples) {
        if (sample.seconds >= from_s && sample.seconds < to_s) {
            latencies.push_back(sample.latency_ms);
        }
    }
    if (latencies.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
    return latencies[latencies.size() / 2];
}

double playout_sim_pitch_error_ppm(const playout_sim_result& result, double drift_ppm,
                                   double from_s) {
    std::vector<double> seconds;
    std::vector<double> second;
    for (const playout_sim_sample& sample : result.samples) {
        if (sample.seconds < from_s) {
            continue;
        }
        second.push_back(std::abs(sample.ratio_ppm - drift_ppm));
        if (second.size() == 4) {
            std::nth_element(second.begin(), second.begin() + 2, second.end());
            seconds.push_back(second[2]);
            second.clear();
        }
    }
    if (seconds.empty()) {
        return std::numeric_limits<double>::infinity();
    }
    std::nth_element(seconds.begin(), seconds.begin() + seconds.size() / 2, seconds.end());
    return seconds[seconds.size() / 2];
}

double playout_sim_ratio_swing_ppm(const playout_sim_result& result, double from_s, double to_s) {
    double low = std::numeric_limits<double>::max();
    double high = std::numeric_limits<double>::lowest();
    for (const playout_sim_sample& sample : result.samples) {
        if (sample.seconds >= from_s && sample.seconds <= to_s) {
            low = std::min(low, sample.ratio_ppm);
            high = std::max(high, sample.ratio_ppm);
        }
    }
    return high - low;
}

}  // namespace test_support
