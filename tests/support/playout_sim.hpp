// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <vector>

// The playout against a model of what it meets on a real JACK server, on a simulated clock: a
// sender whose sample clock runs off by some ppm, a network with delay jitter, loss,
// duplicates and swaps, a receiver that is busy opening its output when the first packet
// comes, and a device that takes one period at the start of each cycle (through
// playout_cycle, as the JACK backend does) and reports its fill smoothly. Stalls of each of the
// three hold everything up as a descheduled process does: the network delivers what it held at
// once, the device resumes its cycles from where the stall left it without catching up (as
// jack2's dummy driver does), the receiver finds the packets waiting in its socket.
namespace test_support {

struct playout_sim_options {
    double drift_ppm = 0.0;   // the sender's clock against the local one
    double device_ppm = 0.0;  // the device's clock against the local one
    double target_ms = 16.0;
    double delay_ms = 2.0;   // mean network delay
    double jitter_ms = 1.0;  // the delay is uniform within this either side of the mean
    double loss = 0.0;       // probability of each fault, per packet
    double duplicate = 0.0;
    double swap = 0.0;
    double open_ms = 40.0;  // the output takes this long to open at the first packet
    // Stalls of `stall_ms` at these times (seconds; negative: none).
    double network_stall_at = -1.0;
    double device_stall_at = -1.0;
    double receiver_stall_at = -1.0;
    double sender_stall_at = -1.0;  // the sender loses that much time: it goes on behind
    double stall_ms = 100.0;
    // A busy host (a virtual machine whose neighbours take its cores): every so many seconds
    // (on average; 0: never) it stops for `host_stall_ms`, and the sender, the device and the
    // receiver all lose that time together, none catching up.
    double host_stall_every_s = 0.0;
    double host_stall_ms = 1.0;
    // A busy output server alone: as often, it loses `host_stall_ms` of cycles for good.
    double device_stall_every_s = 0.0;
    double loss_burst_at = -1.0;  // the packets sent within `loss_burst_ms` of it are lost
    double loss_burst_ms = 16.0;
    bool device_catches_up = false;  // the device runs the cycles its stall missed at once
    // From this time (negative: never) the device's server runs `cycles_missed` cycles without
    // the receiver, which was late for them, as a busy host's JACK server does.
    double cycles_missed_at = -1.0;
    std::uint32_t cycles_missed = 1;
    // The device takes its first period this long after the output starts, holding meanwhile
    // what it was given (a sound server slow to start a stream).
    double device_starts_after_ms = 0.0;
    // The device is given what it plays (ALSA's): it plays its queue, runs dry where that is
    // short, and starts again once the playout has filled up; the receiver looks at it
    // (playout_tick) when the playout asks to.
    bool push_device = false;
    double seconds = 60.0;
    std::uint32_t seed = 1;
    std::uint32_t first_counter = 1;  // the counter of the first packet
    bool bit_exact = false;  // the samples pass untouched: the sim checks what the device plays
};

// The playout's statistics a quarter second apart, as the receiver would print them.
struct playout_sim_sample {
    double seconds;
    double latency_ms;
    double ratio_ppm;
    bool playing;
};

struct playout_sim_result {
    double first_latency_ms = 0.0;  // L as the output starts playing (after trimming)
    std::uint64_t underruns = 0;
    std::uint64_t concealed = 0;
    std::uint64_t dropped = 0;
    std::uint64_t lost = 0;
    double trimmed_ms = 0.0;
    std::vector<playout_sim_sample> samples;
    // Bit-exact only: what the device played, every frame of sound in the order sent (no
    // frame repeated or out of order), and the frames of silence between.
    bool in_order = true;
    std::uint64_t sound_frames = 0;
    std::uint64_t silent_frames = 0;
};

// Runs the simulation (2 channels of 16I at 48 kHz, 256-frame packets and device periods;
// each frame holds its place in the stream, counted from 1, so that what plays can be checked).
playout_sim_result run_playout_sim(const playout_sim_options& options);

// The first time from which the latency stays within `tolerance_ms` of `target_ms` for 95 %
// of the next 30 s of samples; negative when it never does.
double playout_sim_lock_seconds(const playout_sim_result& result, double target_ms,
                                double tolerance_ms = 1.0);

// The median of the 1-s medians of the correction's distance from `drift_ppm` (the sender's
// clock against the device's), from `from_s`.
double playout_sim_pitch_error_ppm(const playout_sim_result& result, double drift_ppm,
                                   double from_s);

// The median latency of the samples from `from_s` to `to_s`.
double playout_sim_median_latency_ms(const playout_sim_result& result, double from_s, double to_s);

// How far the correction moved between `from_s` and `to_s`, at most.
double playout_sim_ratio_swing_ppm(const playout_sim_result& result, double from_s, double to_s);

}  // namespace test_support
