// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "audio/playout/playout_stats.hpp"

// The receiving side's playout policy for one stream, in front of a clocked output's own
// buffer: it restores packet order by the VBAN counter (holding packets behind a gap until the
// missing one comes or the output would starve), plays lost packets as silence of their
// length, starts the output when the total latency L (device fill, what waits for the start
// and what it holds) reaches the target, trimming the oldest audio so that L is the target
// itself, keeps L there by resampling the sender's clock to the output's (each measured
// against the local clock) with a slow hold on L, and cuts a backlog back to the target.
// It knows no device and no datagram: the caller gives each packet's counter and samples,
// the device's fill and a monotonic time, and receives blocks of the stream's format to write;
// the device's thread asks each period how much to take (playout_cycle).
// Everything is allocated when it is made; pushing allocates nothing, takes no lock, makes no
// system call and logs only one line per episode (a backlog, a restarted sender, the output
// starting or stopping to keep time) and one a second about underruns. One thread (the one
// that writes to the device), apart from playout_get_state, playout_cycle and
// playout_note_underrun, which the device's own thread may call.

// One stream's playout, as it is made. Frames of the output are at `output_rate`.
struct playout_config {
    std::uint32_t nb_channels;    // 1..256
    std::uint32_t sample_rate;    // the stream's, Hz
    std::uint32_t bit_fmt;        // the stream's format, 0..5 (8I .. 64F)
    std::uint32_t output_rate;    // the device's, Hz
    std::uint32_t target_frames;  // L to hold, output frames (raised to period + one packet)
    std::uint32_t period_frames;  // the device's period, output frames
    bool bit_exact;               // no resampling: bytes pass untouched, the clock is not followed
};

// Whether the output should play: after the start and after an underrun it fills up to the
// target first (meanwhile nothing is written to it; a device that runs plays silence).
enum class playout_state : std::int32_t { filling, playing };

// Where the blocks go: `write` gets whole frames in the stream's format and returns 0 or a
// negative code, which ends the push with that code.
struct playout_sink {
    std::int32_t (*write)(void* context, std::span<const std::uint8_t> block, std::uint32_t frames);
    void* context;
};

struct playout;

// Makes a playout for `config` and stores it through `out`; -EINVAL for a configuration it
// cannot play (bit_exact between two rates, a format without whole-byte samples, a frame
// larger than a packet), -ENOMEM.
[[nodiscard]] std::int32_t playout_init(playout** out, const playout_config* config);

// Frees the playout and stores null; null is accepted. Held packets are not played.
void playout_release(playout** place);

// One received packet: its counter, its samples (`frames` whole frames of the stream's
// format) and the device's fill at `now_ns` of a monotonic clock: how long, in output frames,
// a frame written now would wait before the device takes it (what is queued, counted smoothly
// where the device takes a period at a time: see audio_backend::device_fill). `waited_ns` is
// how long the packet waited before it was taken in (in the socket's queue): its arrival, for
// the measurement of the sender's clock, was that long before `now_ns`; and a packet that
// waited longer than the target, or so long that, counted in, the latency would pass its cap,
// is stale, and is dropped like a backlog (the oldest first, as they come). Writes to `sink`
// what is ready. 0, -EINVAL for a payload that is not `frames` frames (1..256) of at most 1436
// bytes, or the sink's code.
[[nodiscard]] std::int32_t playout_push(playout* p, std::uint32_t counter,
                                        std::span<const std::uint8_t> payload, std::uint32_t frames,
                                        std::int32_t device_fill, std::int64_t now_ns,
                                        playout_sink sink, std::int64_t waited_ns = 0);

// The device's fill at `now_ns` without a packet, for a device that is given what it plays
// rather than taking it through playout_cycle: gives up a missing packet when the output would
// starve, and where the fill has fallen below a period and a millisecond while it plays, gives
// it silence in place of the late audio (counted as concealed; as much of that audio is
// skipped when it comes, as with playout_cycle, and past the same limit the stream has stopped
// and the device is left to run dry). The clock follower, the latency and the headroom wait
// for the next packet. 0 or the sink's code.
[[nodiscard]] std::int32_t playout_tick(playout* p, std::int32_t device_fill, std::int64_t now_ns,
                                        playout_sink sink);

// When such a device should next be looked at with playout_tick if no packet comes first, on
// the clock of `now_ns`: as its fill, as the last push or tick left it, falls to the mark; 0
// while it fills up, once it ran dry, or once the stream has stopped.
[[nodiscard]] std::int64_t playout_look_at_ns(const playout* p);

// Writes to `sink` what waits for the output to start (a stream that ended before the output
// filled up to its target), for an output about to close. 0 or the sink's code.
[[nodiscard]] std::int32_t playout_flush(playout* p, playout_sink sink);

// Filling or playing. Lock-free: the device's thread may ask it every cycle.
[[nodiscard]] playout_state playout_get_state(const playout* p);

// The device ran dry: counts an underrun and goes back to filling up to the target, which the
// next push or tick that finds the fill there ends. Lock-free, no allocation: the device's
// thread (JACK's process callback) may call it.
void playout_note_underrun(playout* p);

// One period of the device, on the device's own thread, while it plays: of the `available`
// frames queued it takes the period's worth, or when fewer have come (a packet late or lost,
// which the writer learns of only when the next one comes) all of them, and the rest of the
// period plays silence; the cycle counts as concealed. When the packet turns out lost, that
// silence stands in for the silence it plays as: as much of it is skipped, so that the stream
// keeps its time. When it was late by a packet or two, as much of its start goes too; when it
// was later (the sender paused), it plays in full, that much later. When the silence
// so played passes 50 ms (or the target, if longer), the stream has stopped: an underrun (as
// playout_note_underrun).
// Returns the frames to take. Lock-free, no allocation.
[[nodiscard]] std::uint32_t playout_cycle(playout* p, std::uint32_t available,
                                          std::uint32_t period);

// The device ran `missed` frames of cycles without asking (a server that ran a cycle without
// this client, which was late): on the device's own thread, at its next cycle, before
// playout_cycle. What was due in them played as something else, so as much of the `available`
// frames queued is skipped, the rest of the stream plays at its time and L stays where it was;
// counted as concealed. Returns the frames to skip. Lock-free, no allocation.
[[nodiscard]] std::uint32_t playout_missed(playout* p, std::uint32_t available,
                                           std::uint32_t missed);

// The counters and figures, for the caller's thread.
[[nodiscard]] const playout_stats* playout_get_stats(const playout* p);

// Starts a new window for the figures that cover the time since the last report (the
// headroom): the caller's thread, after it has reported them.
void playout_stats_window(playout* p);
