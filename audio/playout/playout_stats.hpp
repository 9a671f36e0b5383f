// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// What a playout has seen, for the one-line summary that the main thread prints. The
// playout writes every field on the caller's thread, except `underruns`, which the device's
// own thread (JACK's process callback) may bump through playout_note_underrun: a relaxed
// atomic.
struct playout_stats {
    std::uint64_t received = 0;    // packets that arrived, duplicates and late ones apart
    std::uint64_t lost = 0;        // counters given up without having arrived (played as silence)
    std::uint64_t duplicated = 0;  // packets that had arrived already
    std::uint64_t reordered = 0;   // packets that arrived after a newer one, put in their place
    std::uint64_t late = 0;        // packets that arrived after being given up, dropped
    std::uint64_t strays = 0;      // packets far from the stream that nothing confirmed, dropped
    std::uint64_t restarts = 0;    // senders that started again (a new run of counters)
    std::atomic<std::uint64_t> underruns{0};  // the device ran dry (written by its thread)
    // Device periods that played silence in place of audio that was late, or that the
    // device's server ran without the receiver, keeping time (written by the device's thread).
    std::atomic<std::uint64_t> concealed{0};
    // Packets dropped (whole or in part) by the output: to bring the latency down, or because
    // it could not take their configuration then (a recording starts a new take at most once
    // a second).
    std::uint64_t dropped = 0;
    double trimmed_ms = 0.0;  // audio trimmed so that the output starts at its target
    double latency_ms = 0.0;  // the total latency: device fill and held (low-passed)
    double target_ms = 0.0;
    double headroom_ms = 0.0;  // the lowest device fill before a packet, in the last window
    double error_ms = 0.0;     // the latency less the target, as the clock follower sees it
    double ratio_ppm = 0.0;    // the clock correction: positive, the sender is fast
    bool following = false;    // false: the device does not keep time, or bit-exact
};

// Writes "stats: received 1000, lost 2, ..., ratio +12 ppm" (no newline) into `out` of
// `size` bytes; the length it needed, as snprintf, or -EINVAL without a buffer. Not for the
// per-packet path: it formats.
[[nodiscard]] std::int32_t playout_stats_format(const playout_stats* stats, char* out,
                                                std::size_t size);
