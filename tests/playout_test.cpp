// SPDX-License-Identifier: MIT
// The playout policy in-process, on a simulated clock (tests/support/playout_sim.hpp): a
// sender whose sample clock drifts from the device's, a network with jitter, loss, duplicates
// and reordering from a seeded generator, a receiver busy opening its output at the first
// packet, and a device that takes a period at the start of each cycle as a JACK server does,
// with stalls of each of the three.

#include "audio/playout/playout.hpp"
#include "audio/playout/missed_cycles.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "audio/playout/clock_estimate.hpp"
#include "audio/playout/frame_counter.hpp"
#include "audio/playout/resampler.hpp"
#include "audio/playout/sample_convert.hpp"
#include "common/logger.hpp"
#include "tests/support/playout_sim.hpp"
#include "tests/support/sine_fit.hpp"
#include "vban/vban.hpp"

namespace {

using namespace test_support;

constexpr double rate = 48000.0;
constexpr std::uint32_t frames = 256;  // a packet, and a device period

TEST(FrameCounter, ClassifiesAcrossTheWrap) {
    frame_counter fc;
    using fcl = frame_class;
    const std::uint32_t top = 4294967295u;
    EXPECT_EQ(frame_counter_classify(&fc, top - 1, 0), fcl::in_order);
    frame_counter_advance(&fc, top);
    EXPECT_EQ(frame_counter_classify(&fc, 1, 0), fcl::ahead);  // top and 0 missing
    EXPECT_EQ(frame_counter_classify(&fc, top, 0), fcl::reordered);
    EXPECT_EQ(frame_counter_classify(&fc, 1, 0), fcl::duplicate);
    frame_counter_advance(&fc, 2);  // 0 given up
    EXPECT_EQ(frame_counter_classify(&fc, 0, 0), fcl::late);
    EXPECT_EQ(frame_counter_classify(&fc, top, 0), fcl::duplicate);
    EXPECT_EQ(fc.lost, 1u);
    EXPECT_EQ(fc.received, 3u);

    // Counting only, for the outputs that write at once: a swap is a reorder, not a loss.
    frame_counter alone;
    for (std::uint32_t c : {5u, 6u, 8u, 7u, 9u, 9u}) {
        (void)frame_counter_note(&alone, c, 0);
    }
    EXPECT_EQ(alone.reordered, 1u);
    EXPECT_EQ(alone.duplicated, 1u);
    EXPECT_EQ(alone.lost, 0u);
}

// Counting only gives, packet by packet and in every count, what classifying and then keeping
// `next` 64 behind the newest gives: through losses, duplicates, swaps, strays, restarts after
// a pause and the counter's wrap.
TEST(FrameCounter, CountingOnlyIsClassifyingAndKeepingSixtyFourBehind) {
    frame_counter noted, reference;
    std::mt19937 random(17);
    std::uint32_t counter = 4294967295u - 3000;
    std::int64_t now = 0;
    for (int k = 0; k < 20000; ++k, now += 5'000'000) {
        const unsigned dice = random() % 1000;
        std::uint32_t sent = ++counter;
        if (dice < 20) {
            sent = counter += 1 + random() % 3;  // lost
        } else if (dice < 30) {
            sent = counter - 1;  // duplicate
        } else if (dice < 40) {
            sent = counter + 1;  // swapped with the next, which comes after it
            counter -= 1;
        } else if (dice < 42) {
            sent = counter + 100000;  // stray
        } else if (dice < 44) {
            sent = counter = random() % 2;  // a sender started again
            now += 200'000'000;
        }
        const frame_class expected = frame_counter_classify(&reference, sent, now);
        frame_counter_advance(&reference, reference.newest - 63);
        ASSERT_EQ(frame_counter_note(&noted, sent, now), expected) << "packet " << k;
        ASSERT_TRUE(noted == reference) << "packet " << k;
    }
    EXPECT_GT(noted.lost * noted.duplicated * noted.reordered * noted.strays * noted.restarts, 0u);
}

// Senders that start again, and strays, on a clock of one packet every 5 ms.
TEST(FrameCounter, FollowsRestartedSendersAndIgnoresStrays) {
    frame_counter fc;
    std::int64_t now = 0;
    // Classifies counters `from` to `to` as they come and plays them: one letter for each, in
    // the order of frame_class (i)n order, (a)head, (r)eordered, (d)uplicate, (l)ate, (s)tray,
    // (R)estart.
    const auto run = [&](std::uint32_t from, std::uint32_t to) {
        std::string classes;
        for (std::uint32_t c = from; c <= to; ++c, now += 5'000'000) {
            classes += "iardlsR"[static_cast<int>(frame_counter_classify(&fc, c, now))];
            frame_counter_advance(&fc, fc.newest + 1);
        }
        return classes;
    };
    (void)run(1, 94);    // a clip of half a second
    now += 500'000'000;  // the next run of quellor starts from 1 after a pause: played whole
    EXPECT_EQ(run(1, 94), "R" + std::string(93, 'i'));
    now += 20'000'000;  // and again at once: 1 came long ago, so it is no duplicate but a stray,
    EXPECT_EQ(run(1, 94), "sR" + std::string(92, 'i'));  // which the next packet confirms
    EXPECT_EQ(fc.next, 95u);
    EXPECT_EQ(run(94, 94), "d");  // the network's duplicate, at once
    EXPECT_EQ(fc.restarts, 2u);
    EXPECT_EQ(fc.received, 3u * 94);

    // Runs in turn (a braced list is evaluated in order).
    const auto runs = [](std::initializer_list<std::string> parts) {
        return std::accumulate(parts.begin(), parts.end(), std::string());
    };
    // One stray 60000 ahead, or behind, or back at 1 without a pause, changes nothing.
    EXPECT_EQ(runs({run(95 + 60000, 95 + 60000), run(95, 96), run(97 - 60000, 97 - 60000),
                    run(97, 98), run(1, 1), run(99, 100)}),
              "siisiisii");
    EXPECT_EQ(fc.strays, 3u);
    EXPECT_EQ(fc.lost + fc.late, 0u);

    // A far jump that the packet after it confirms: ahead, an outage whose counters are lost;
    // behind or much further, a new sender.
    EXPECT_EQ(runs({run(1000, 1001), run(300, 302), run(70300, 70301)}), "sRsRisR");
    EXPECT_EQ(fc.lost, 1000u - 101u);
    EXPECT_EQ(fc.restarts, 4u);
    EXPECT_EQ(fc.strays, 3u);
}

TEST(SampleConvert, RoundTripsIntegersAndRoundsAndClipsFloats) {
    // 32I is left out: a float holds 24 bits.
    for (std::uint32_t fmt : {BIT_FMT_8I, BIT_FMT_16I, BIT_FMT_24I, BIT_FMT_64F}) {
        std::vector<std::uint8_t> in(bit_fmt_size[fmt] * 64);
        for (std::size_t i = 0; i < in.size(); ++i) {
            in[i] = static_cast<std::uint8_t>(i * 37 + 11);
        }
        if (fmt == BIT_FMT_64F) {  // a double that a float holds exactly
            for (std::size_t i = 0; i < 64; ++i) {
                const double v = (static_cast<double>(i) - 32.0) / 64.0;
                std::memcpy(in.data() + 8 * i, &v, 8);
            }
        }
        std::vector<float> f(64);
        std::vector<std::uint8_t> out(in.size());
        ASSERT_EQ(sample_convert_to_float(fmt, in.data(), 64, f.data()), 0);
        ASSERT_EQ(sample_convert_from_float(fmt, f.data(), 64, out.data()), 0);
        EXPECT_EQ(in, out) << bit_fmt_name(fmt);
    }
    const std::uint8_t in_bytes[2] = {};
    const float edge[] = {1.5f, -1.5f, 0.5f / 32768.0f, 1.5f / 32768.0f, NAN};
    std::int16_t s[5];
    ASSERT_EQ(sample_convert_from_float(BIT_FMT_16I, edge, 5, reinterpret_cast<std::uint8_t*>(s)),
              0);
    EXPECT_EQ(std::vector<std::int16_t>(s, s + 5),
              (std::vector<std::int16_t>{32767, -32768, 0, 2, 0}));
    float f;
    EXPECT_EQ(sample_convert_to_float(BIT_FMT_12I, in_bytes, 1, &f), -EINVAL);
}

TEST(Resampler, SineAtPlus1000PpmStaysClean) {
    resampler* r = nullptr;
    ASSERT_EQ(resampler_init(&r, 1, 48000, 48000), 0);
    resampler_set_ppm(r, 1000.0);
    std::vector<float> in(frames);
    std::vector<float> out(resampler_max_output(r, frames));
    std::vector<float> all;
    for (std::size_t k = 0; k < 400; ++k) {
        for (std::size_t i = 0; i < frames; ++i) {
            in[i] =
                static_cast<float>(0.5 * std::sin(2.0 * M_PI * 1000.0 * (k * frames + i) / rate));
        }
        std::size_t used = 0;
        const std::size_t made =
            resampler_process(r, in.data(), frames, &used, out.data(), out.size());
        EXPECT_EQ(used, frames);
        all.insert(all.end(), out.begin(), out.begin() + static_cast<long>(made));
    }
    resampler_release(&r);
    // The input is consumed 1000 ppm faster, so the tone comes out 1000 ppm higher. Measured:
    // 111.6 dB (libsamplerate 0.2.2, SINC_FASTEST).
    EXPECT_GT(test_support::sine_snr_db(all.data() + 4800, all.size() - 4800, 1, 1001.0 / rate),
              100.0);
    EXPECT_NEAR(static_cast<double>(all.size()), 400.0 * frames / 1.001, 64.0);
}

// The sender's rate from arrivals alone, through 2 +- 1 ms of jitter and 0.5 % loss: within
// a hundred ppm after a second and a half, a few after twenty; a 100 ms stall and a burst
// after it move it by nothing worth hearing; a delay that changes for good is taken in, and
// the rate measured before it stands until the new line is long enough to say more. From
// 42 s the delay steps by 1.5 ms every 3 s, up and down, as it does where two servers on a
// busy host each lose time: the rate holds within 10 ppm.
TEST(SenderClock, MeasuresTheRateThroughJitterLossAndStalls) {
    for (double drift : {1000.0, -1000.0, 0.0}) {
        clock_estimate c;
        clock_estimate_init(&c, rate);
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> delay(1e-3, 3e-3);
        const double interval = frames / (rate * (1.0 + drift * 1e-6));
        double before_stall = 0.0;
        for (std::uint32_t k = 0; k < 188 * 60; ++k) {
            const double sent = k * interval;
            double at = sent + delay(rng) + (sent > 40.0 ? 5e-3 : 0.0);  // 5 ms more from 40 s
            const int steps = sent > 42.0 ? static_cast<int>((sent - 42.0) / 3.0) + 1 : 0;
            at += 1.5e-3 * (steps % 2 == 1 ? 1 : 0) - 1.5e-3 * (steps / 2 % 2 == 1 ? 1 : 0);
            if (sent >= 20.0 && sent < 20.1) {
                at = 20.1 + delay(rng);
            }
            if (rng() % 200 != 0) {
                clock_estimate_observe(&c, k * double{frames}, static_cast<std::int64_t>(at * 1e9));
            }
            if (k == 282) {  // 1.5 s
                EXPECT_TRUE(c.valid);
                EXPECT_NEAR(c.ppm, drift, 100.0);
            }
            before_stall = sent < 19.9 ? c.ppm : before_stall;
            if (sent > 20.0 && sent < 40.0) {
                EXPECT_NEAR(c.ppm, before_stall, 5.0) << sent;
            }
            if (sent > 40.0) {  // the new line, short at first, replaces it only once proven
                EXPECT_NEAR(c.ppm, drift, 10.0) << sent;
            }
        }
        EXPECT_NEAR(c.ppm, drift, 3.0);
        EXPECT_LT(c.uncertainty_ppm, 10.0);  // segments of 3 s tell less than one line
        EXPECT_NEAR(clock_estimate_lateness(&c, 188 * 60 * double{frames}, 0) + 1.0, 1.0, 1e-9);
    }
}

// A step of the delay before there is a line (a server that lost 7 ms in the first second,
// as a busy host's does while everything starts) begins a segment of its own: from 1.5 s the
// rate is within 100 ppm, as without the step. Taken into the young line, the step tilted it
// by 9000 ppm.
TEST(SenderClock, AStepBeforeTheFirstLineDoesNotTiltIt) {
    for (double drift : {1000.0, -1000.0}) {
        clock_estimate c;
        clock_estimate_init(&c, rate);
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> delay(1e-3, 3e-3);
        const double interval = frames / (rate * (1.0 + drift * 1e-6));
        for (std::uint32_t k = 0; k < 188 * 4; ++k) {
            const double sent = k * interval;
            const double at = sent + delay(rng) + (sent >= 0.6 ? 7e-3 : 0.0);
            clock_estimate_observe(&c, k * double{frames}, static_cast<std::int64_t>(at * 1e9));
            if (sent >= 1.5) {
                EXPECT_TRUE(c.valid);
                EXPECT_NEAR(c.ppm, drift, 100.0) << sent;
            }
        }
    }
}

// What the receiver meets on a real server, at the default latency and at 32 ms, with a
// sender 0, 100 and 1000 ppm off either way (and once a device 500 ppm fast as well, as a
// sound card or a sound server's timer can be): the output starts at its target, never runs
// dry, drops nothing after the start, locks within ten seconds and holds the pitch within
// 20 ppm. Each lost packet plays as silence; when the device needs it before the next packet
// tells that it was lost, the device bridges the gap (concealed) and keeps its time; three
// lost in a row, which the device waits for, neither lengthen L nor cost a packet, whatever
// the jitter of the packet after them (seed 6 brings it late). A host that stops for 3 ms
// every second or two stops the sender's clock and the device's alike: against the local
// clock each of them jumps, against each other neither does, and the pitch holds. A device
// given what it plays, 485 ppm fast (ALSA's pulse plugin into PulseAudio), whose server takes
// 4.7 ms of its first buffers in a burst that its delay does not count, leaves L that much
// short at 32 ms: with a sender 1000 ppm slow the follower's bound left 515 ppm to take it
// back with, and it locked after 16 s, as on the real server; L is raised with silence.
TEST(Playout, StartsAtTheTargetAndHoldsItAgainstDrift) {
    struct run_case {
        double drift;
        double device;
        double target;
        double burst = -1.0;  // three packets lost in a row here, which the device waits for
        std::uint32_t seed = 1;
        double host_stalls_every = 0.0;  // the host stops for 3 ms this often, everything with it
        double short_ms = 0.0;           // L is left this much short at 3 s, on a push device
    };
    for (const run_case& c : {run_case{1000.0, 0.0, 16.0},
                              {-1000.0, 0.0, 16.0, 20.0},
                              {0.0, 0.0, 16.0, 20.0, 6},
                              {-1000.0, 0.0, 16.0, -1.0, 1, 1.5},
                              {-100.0, 0.0, 16.0},
                              {-1000.0, 500.0, 16.0},
                              {100.0, 0.0, 32.0},
                              {0.0, 0.0, 32.0},
                              {-1000.0, 0.0, 32.0},
                              {-1000.0, 485.0, 32.0, -1.0, 1, 0.0, 4.7}}) {
        const playout_sim_result r =
            run_playout_sim({.drift_ppm = c.drift,
                             .device_ppm = c.device,
                             .target_ms = c.target,
                             .loss = 0.005,
                             .sender_stall_at = c.short_ms > 0.0 ? 3.0 : -1.0,
                             .stall_ms = c.short_ms,
                             .host_stall_every_s = c.host_stalls_every,
                             .host_stall_ms = 3.0,
                             .loss_burst_at = c.burst,
                             .push_device = c.short_ms > 0.0,
                             .seconds = 70.0,
                             .seed = c.seed});
        const std::string what = std::to_string(c.drift) + " ppm, device " +
                                 std::to_string(c.device) + " ppm, " + std::to_string(c.target) +
                                 " ms";
        EXPECT_NEAR(r.first_latency_ms, c.target, 1.0) << what;
        EXPECT_EQ(r.underruns, 0u) << what;
        EXPECT_EQ(r.dropped, 0u) << what;
        EXPECT_GT(r.lost, 0u) << what;
        const double lock = playout_sim_lock_seconds(r, c.target);
        EXPECT_GE(lock, 0.0) << what;
        EXPECT_LE(lock, 10.0) << what;
        EXPECT_LE(playout_sim_pitch_error_ppm(r, c.drift - c.device, 60.0), 20.0) << what;
        double low = 1e9;
        double high = 0.0;
        // A host that stops all the time leaves the first seconds' lines short and broken.
        const double steady_from =
            c.host_stalls_every > 0.0 ? 10.0 : std::max(lock, c.short_ms > 0.0 ? 4.0 : 0.0) + 1.0;
        for (const playout_sim_sample& sample : r.samples) {
            if (sample.seconds >= steady_from) {
                low = std::min(low, sample.latency_ms);
                high = std::max(high, sample.latency_ms);
            }
        }
        EXPECT_LE(high - low, 2.0) << what;
        if (c.burst > 0.0) {
            EXPECT_NEAR(playout_sim_median_latency_ms(r, c.burst + 1.0, c.burst + 5.0),
                        playout_sim_median_latency_ms(r, c.burst - 5.0, c.burst), 0.25)
                << what;
        }
    }
}

// A 100 ms stall of the network, of the device, and of the receiver, 1000 ppm off: the
// correction moves by less than 100 ppm, the output plays on, and a second later the
// latency is back at its target. A network that holds packets back makes the output run
// dry and refill; a device that stops makes a backlog, trimmed back to the target with one
// line; a receiver that stops finds packets waiting, the stale ones dropped as it refills.
// A device that stops for 40 ms and then takes the periods it missed at once, after the
// backlog was trimmed, runs dry: it waits a cycle or two and starts again at the target,
// instead of going on at the few milliseconds left and waiting again and again. A sender
// that stops for 100 ms and goes on behind its old line runs the output dry once, and it
// refills at once: its packets all late by the same 100 ms are no jitter that says L is over
// its target (taken for jitter, every packet was trimmed for a second, and 22 dropped).
TEST(Playout, StallsMoveTheCorrectionLittleAndTheOutputPlaysOn) {
    for (int kind = 0; kind < 5; ++kind) {
        playout_sim_options o{.drift_ppm = 1000.0, .loss = 0.005, .seconds = 40.0};
        (kind == 0   ? o.network_stall_at
         : kind == 2 ? o.receiver_stall_at
         : kind == 4 ? o.sender_stall_at
                     : o.device_stall_at) = 30.0;
        o.device_catches_up = kind == 3;
        o.stall_ms = kind == 3 ? 40.0 : o.stall_ms;
        logger_set_level(LOG_WARNING);
        testing::internal::CaptureStderr();
        const playout_sim_result r = run_playout_sim(o);
        const std::string err = testing::internal::GetCapturedStderr();
        logger_set_level(LOG_ERROR);
        EXPECT_EQ(r.underruns, kind % 2 == 0 ? 1u : 0u) << kind;
        EXPECT_LE(r.concealed, kind == 3 ? 5u : 10u) << kind;
        EXPECT_EQ(err.find("dropping the oldest audio") != std::string::npos,
                  kind != 2 && kind != 4)
            << err;
        if (kind == 4) {  // the sender's time is lost: L is short by some and taken back
            EXPECT_EQ(r.dropped, 0u);
            EXPECT_LT(r.trimmed_ms, 50.0);
            continue;
        }
        EXPECT_LT(playout_sim_ratio_swing_ppm(r, 25.0, 40.0), 100.0) << kind;
        EXPECT_EQ(err.find("the output ran dry (1 times") != std::string::npos, kind % 2 == 0)
            << err;
        for (const playout_sim_sample& sample : r.samples) {
            if (sample.seconds >= 31.5) {
                EXPECT_TRUE(sample.playing) << kind;
                EXPECT_NEAR(sample.latency_ms, 16.0, 1.0) << kind << " at " << sample.seconds;
            }
        }
    }
}

// An output whose server alone loses 4 ms of cycles every 5 s or so (a busy host's dummy
// server): what it never plays is cut, once a step, and the pitch holds. Taken back by
// resampling instead (the bound left at the cap), the same steps cost no packet but keep the
// pitch 740 to 1210 ppm off while they go on: a device that loses time plays less than was
// sent, and the difference goes either as audio or as pitch.
TEST(Playout, AnOutputThatLosesTimeCostsADropAStepNotThePitch) {
    const playout_sim_result r = run_playout_sim({.drift_ppm = -1000.0,
                                                  .loss = 0.005,
                                                  .host_stall_ms = 4.0,
                                                  .device_stall_every_s = 5.0,
                                                  .seconds = 70.0,
                                                  .seed = 3});
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_GE(r.dropped, 8u);
    EXPECT_LE(r.dropped, 16u);  // one a step
    EXPECT_LE(playout_sim_pitch_error_ppm(r, -1000.0, 60.0), 20.0);
    EXPECT_NEAR(playout_sim_median_latency_ms(r, 40.0, 70.0), 16.0, 0.5);
}

// A JACK server that runs cycles without the receiver, late for them on a busy host: what was
// due in them is skipped as they pass, so nothing is dropped and L holds its target. Left in
// the queue, as before, each such cycle put L a period over its target, and 0.35 s later
// the oldest packets went as a backlog, as on the real server.
TEST(Playout, CyclesRunWithoutTheReceiverCostNoDrop) {
    for (const std::uint32_t cycles : {1u, 3u}) {
        const playout_sim_result r = run_playout_sim({.drift_ppm = -1000.0,
                                                      .loss = 0.005,
                                                      .cycles_missed_at = 30.0,
                                                      .cycles_missed = cycles,
                                                      .seconds = 40.0});
        EXPECT_EQ(r.underruns, 0u);
        EXPECT_EQ(r.dropped, 0u) << cycles;
        EXPECT_LT(playout_sim_ratio_swing_ppm(r, 25.0, 40.0), 20.0) << cycles;
        EXPECT_NEAR(playout_sim_median_latency_ms(r, 30.0, 40.0), 16.0, 0.3) << cycles;
    }
}

// The frames each cycle begins at, as a JACK server tells them: a jump of a period is a
// cycle run without the receiver only when the next cycle goes on from it; when the late
// receiver is run twice instead, told the same frame, nothing was missed.
TEST(MissedCycles, AJumpCountsOnceTheNextCycleConfirmsIt) {
    struct step {
        std::uint32_t frame;
        std::uint32_t skip;
    };
    const std::uint32_t near_wrap = 0xFFFFFF00u;
    const std::vector<std::vector<step>> runs = {
        {{1000, 0}, {1256, 0}, {1768, 0}, {2024, 256}, {2280, 0}},             // one missed
        {{1000, 0}, {1256, 0}, {1768, 0}, {1768, 0}, {2024, 0}},               // run twice instead
        {{1000, 0}, {1768, 0}, {2280, 512}, {2536, 256}, {2792, 0}},           // two jumps in a row
        {{near_wrap, 0}, {near_wrap + 512u, 0}, {near_wrap + 768u, 256}},      // across the wrap
        {{1000, 0}, {1256, 0}, {900000, 0}, {900256, 0}, {500, 0}, {756, 0}},  // new clocks
    };
    for (std::size_t r = 0; r < runs.size(); ++r) {
        missed_cycles m;
        for (const step& s : runs[r]) {
            EXPECT_EQ(missed_cycles_observe(&m, s.frame, 256, 48000), s.skip)
                << r << " " << s.frame;
        }
    }
}

// A sound server that starts its stream 1.2 s after the output's first write (ALSA's pulse
// plugin into PulseAudio): L stands still meanwhile, over the target by what comes, and what
// is cut belongs to the start, trimmed, not dropped; from there the output holds its target.
TEST(Playout, AnOutputSlowToStartTrimsWhatWaitedAndDropsNothing) {
    const playout_sim_result r = run_playout_sim(
        {.drift_ppm = -1000.0, .loss = 0.005, .device_starts_after_ms = 1200.0, .seconds = 70.0});
    EXPECT_EQ(r.dropped, 0u);
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_GT(r.trimmed_ms, 1100.0);
    EXPECT_NEAR(playout_sim_median_latency_ms(r, 5.0, 70.0), 16.0, 0.5);
    EXPECT_LE(playout_sim_pitch_error_ppm(r, -1000.0, 60.0), 20.0);
}

// A device that is given what it plays (ALSA's pulse plugin, 485 ppm fast) would run dry at
// 16 ms when three packets in a row are lost: the receiver looks at it in time, silence stands
// in for them as a pulling device plays it, and L comes back to its target. Bit-exact, what
// plays is what was sent, in order, with silence in place of what was lost and no more.
TEST(Playout, ADeviceGivenWhatItPlaysIsBridgedOverLostPackets) {
    playout_sim_options o{.drift_ppm = -1000.0,
                          .device_ppm = 485.0,
                          .loss = 0.005,
                          .loss_burst_at = 10.0,
                          .loss_burst_ms = 16.0,
                          .push_device = true,
                          .seconds = 70.0};
    const playout_sim_result r = run_playout_sim(o);
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_EQ(r.dropped, 0u);
    EXPECT_GT(r.concealed, 0u);
    EXPECT_NEAR(playout_sim_median_latency_ms(r, 12.0, 70.0), 16.0, 0.5);
    EXPECT_LE(playout_sim_pitch_error_ppm(r, (1.0 - 1000e-6) / (1.0 + 485e-6) * 1e6 - 1e6, 60.0),
              20.0);
    o.drift_ppm = 0.0;
    o.device_ppm = 0.0;
    o.bit_exact = true;
    const playout_sim_result exact = run_playout_sim(o);
    EXPECT_EQ(exact.underruns, 0u);
    EXPECT_TRUE(exact.in_order);
    EXPECT_NEAR(static_cast<double>(exact.silent_frames), static_cast<double>(exact.lost) * frames,
                frames);
}

// Without resampling the drift shows: L climbs at 0.5 ms/s to its bound (target, a packet
// and a period) and is cut back to the target there, a packet every 10.7 s on average. What is
// played is what was sent, in order; only lost packets and the cuts leave gaps.
TEST(Playout, BitExactPassesBytesAndDriftsToItsBound) {
    const playout_sim_result r = run_playout_sim(
        {.drift_ppm = 500.0, .target_ms = 32.0, .seconds = 300.0, .bit_exact = true});
    EXPECT_TRUE(r.in_order);
    EXPECT_EQ(r.underruns, 0u);
    EXPECT_NEAR(static_cast<double>(r.dropped), (300.0 - 21.0) / 10.7, 3.0);
    for (const playout_sim_sample& sample : r.samples) {
        EXPECT_LE(sample.latency_ms, 32.0 + 2 * frames * 1000.0 / rate + 3.0);
    }
    EXPECT_EQ(r.silent_frames, 0u);
    EXPECT_NEAR(static_cast<double>(r.sound_frames), 300.0 * rate, 0.1 * rate);
}

// Losses become silence of a packet's length in the counter's place; reordered and
// duplicated packets are put back in order, once; this across the counter's wrap.
TEST(Playout, RestoresOrderAndPlaysLossesAsSilenceAcrossTheWrap) {
    const playout_sim_result r = run_playout_sim({.target_ms = 32.0,
                                                  .loss = 0.01,
                                                  .duplicate = 0.01,
                                                  .swap = 0.02,
                                                  .seconds = 60.0,
                                                  .seed = 3,
                                                  .first_counter = 4294967295u - 3000,
                                                  .bit_exact = true});
    EXPECT_TRUE(r.in_order);
    EXPECT_GT(r.lost, 50u);
    EXPECT_EQ(r.dropped, 0u);
    EXPECT_EQ(r.underruns, 0u);
    // All but the stream's first packets (trimmed at the start) and its last (still queued).
    const double expected =
        60.0 * rate - r.trimmed_ms * 48.0 - static_cast<double>(r.lost) * frames;
    EXPECT_NEAR(static_cast<double>(r.sound_frames), expected, 40.0 * frames);
    EXPECT_NEAR(static_cast<double>(r.silent_frames), static_cast<double>(r.lost) * frames,
                4.0 * frames);
}

// A sender that starts again from 1 is played at once, after what the old one left held.
TEST(Playout, PlaysARestartedSenderAfterWhatWasHeld) {
    // The device holds plenty: nothing starves, so 504 and 505 wait for 503.
    const playout_config config{2, 48000, BIT_FMT_16I, 48000, 4096, frames, true};
    playout* p = nullptr;
    ASSERT_EQ(playout_init(&p, &config), 0);
    std::vector<std::uint32_t> played;
    const playout_sink sink{
        [](void* context, std::span<const std::uint8_t> block, std::uint32_t n) {
            auto& out = *static_cast<std::vector<std::uint32_t>*>(context);
            for (std::uint32_t f = 0; f < n; f += frames) {
                std::uint32_t counter = 0;
                std::memcpy(&counter, block.data() + 4 * f, 4);
                out.push_back(counter);
            }
            return 0;
        },
        &played};
    std::vector<std::uint8_t> payload(frames * 4);
    auto push = [&](std::uint32_t counter, std::int64_t at_ms) {
        std::memcpy(payload.data(), &counter, 4);
        return playout_push(p, counter, payload, frames, 4096 - frames, at_ms * 1'000'000, sink);
    };
    for (std::uint32_t c : {500u, 501u, 502u, 504u, 505u}) {  // 503 missing: 504 and 505 held
        ASSERT_EQ(push(c, c), 0);
    }
    ASSERT_EQ(push(1, 2000), 0);
    // One that starts again at once is played whole too, from the packet the next confirms.
    ASSERT_EQ(push(2, 2005), 0);
    ASSERT_EQ(push(1, 2205), 0);
    ASSERT_EQ(push(2, 2210), 0);
    EXPECT_EQ(played, (std::vector<std::uint32_t>{500, 501, 502, 504, 505, 1, 2, 1, 2}));
    EXPECT_EQ(playout_get_stats(p)->lost, 0u);
    EXPECT_EQ(playout_get_stats(p)->restarts, 2u);
    EXPECT_EQ(playout_get_stats(p)->strays, 0u);
    playout_release(&p);
}

}  // namespace
