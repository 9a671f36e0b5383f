// SPDX-License-Identifier: MIT
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "audio/audio_backend.hpp"
#include "audio/map_config.hpp"
#include "audio/playout/playout_stats.hpp"
#include "vban/stream_config.hpp"
#include "vban/vban.hpp"

// What an audio object is made for: the direction, the backend by name, the device handed to
// the backend (empty: its default) and the buffer size the backend interprets.
struct audio_config {
    std::int32_t direction;  // AUDIO_DIRECTION_IN (capture) or AUDIO_DIRECTION_OUT (playback)
    char backend[32];
    char device[PATH_MAX];      // a file or FIFO path may be as long as the system allows
    std::uint64_t buffer_size;  // bytes
    // Playback into an output that keeps its own time: the latency to hold from the network
    // to the speaker, and whether the samples must reach it untouched (no clock following).
    std::uint32_t target_ms;
    bool bit_exact;
    // The VBAN stream's name, which a sound server shows for the stream (may be empty).
    char stream_name[VBAN_STREAM_NAME_SIZE + 1];
};

// The largest device-side block of a mapped transfer: 256 channels of the largest payload.
constexpr std::size_t AUDIO_MAP_BUFFER_SIZE = 256 * 1436;

// One audio endpoint: a backend opened for the current stream configuration, with an optional
// channel map between the caller and the device. Used from one thread only.
struct audio_handle;

// Creates the object and its backend (still closed) and stores it through `out` at once;
// -19 when the backend name is unknown, and `*out` is null again.
[[nodiscard]] std::int32_t audio_init(audio_handle** out, const audio_config* config);

// Closes the backend, frees it and the object, stores null; the close's result.
std::int32_t audio_release(audio_handle** place);

// Reopens the backend when `config` differs from the current configuration; 0 and nothing
// else when it is the same. -EBUSY, and the current configuration stays open, when the output
// does not take a change now (a recording starts a new take at most once a second). After a
// failed open the configuration is all zero. A capture at rate 0 takes the rate of a device
// that has one of its own (a JACK server); -ERANGE when such a device runs at another rate
// than the one asked for. -EDEADLK when the output's library is stuck closing the last device:
// no output can be opened again in this process.
[[nodiscard]] std::int32_t audio_set_stream_config(audio_handle* handle,
                                                   const stream_config* config);

// The configuration as the caller sees it: for capture with a map, the map's channel count.
[[nodiscard]] std::int32_t audio_get_stream_config(audio_handle* handle, stream_config* out);

// Replaces the map for the next transfers; the device follows at the next reopen.
[[nodiscard]] std::int32_t audio_set_map_config(audio_handle* handle, const map_config* map);

// Plays `size` bytes of whole frames of the stream; returns the caller's bytes taken.
// Allocates nothing.
[[nodiscard]] std::int32_t audio_write(audio_handle* handle, const void* data, std::uint64_t size);

// Plays the samples of the stream's packet numbered `counter`, received at `now_ns` (a
// monotonic clock) after waiting `waited_ns` in the socket's queue. An output that keeps its own
// time gets them through the playout, which restores the packets' order, plays losses as silence,
// holds the latency at its target and follows the sender's clock (but with bit_exact); the others
// get them as they come, and the packets are only counted: without a channel map, they are held
// back until audio_flush (or until the hold is full), so that a batch of packets goes out in
// one write. `data` stays as it is until audio_flush or the next call: the first packet of a
// batch is copied only when another follows it. Returns `size`, or a negative code (of the
// write that made room). Allocates nothing.
[[nodiscard]] std::int32_t audio_write_packet(audio_handle* handle, const void* data,
                                              std::uint64_t size, std::uint32_t counter,
                                              std::int64_t now_ns, std::int64_t waited_ns = 0);

// Writes what audio_write_packet held back, all of it: 0, or the output's negative code
// (-EINTR when a signal cut the write short before a byte moved); what was held is then given
// up. For every batch of packets, after its last. Allocates nothing.
[[nodiscard]] std::int32_t audio_flush(audio_handle* handle);

// True when the output keeps its own time (its row of the backend table says so): then
// audio_write_packet uses each packet's arrival, and a receiver has the socket stamp it.
[[nodiscard]] bool audio_keeps_time(const audio_handle* handle);

// For an output that keeps time and is given what it plays (not one whose own thread takes
// it): when, on the monotonic clock, it should be looked at with audio_look if no packet
// comes first, so that late audio does not let it run dry; 0: no need.
[[nodiscard]] std::int64_t audio_look_at_ns(const audio_handle* handle);

// That look, at `now_ns`: silence for the output where its audio is late. 0, or the code of
// the write that failed.
[[nodiscard]] std::int32_t audio_look(audio_handle* handle, std::int64_t now_ns);

// What the packets of the current stream have met so far (the counts of every output; the
// latency and clock figures of an output that keeps time), for a report: the figures that
// cover the time since the last report (the headroom) start again after it. An output that
// only counts counts as dropped the packets given to audio_note_dropped. Not for the
// per-packet path.
[[nodiscard]] const playout_stats* audio_get_stats(audio_handle* handle);

// A packet dropped because the output did not take its configuration then. No allocation.
void audio_note_dropped(audio_handle* handle);

// Captures at most `size` bytes of frames, mapped; returns the bytes delivered. With a map,
// at most as many frames as the mapping buffer holds of the device's. Allocates nothing.
[[nodiscard]] std::int32_t audio_read(audio_handle* handle, void* data, std::uint64_t size);

// True when the capture's read returns what the input has ready without waiting for more
// (its row of the backend table says so): a sender may then read many packets at once.
[[nodiscard]] bool audio_reads_what_is_ready(const audio_handle* handle);

// Waits at most `timeout_ms` until the capture has something for audio_read or `other_fd`
// (a socket to serve meanwhile; -1: none) is readable: the AUDIO_WAIT_* mask, 0 after the
// timeout. A backend that cannot wait says its input is ready (its read then waits).
[[nodiscard]] std::int32_t audio_wait_input(audio_handle* handle, int other_fd, int timeout_ms);
