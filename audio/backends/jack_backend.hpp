#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "jack" backend: playback into a JACK server (no capture).
//
// Opening makes a JACK client named after the device ("vban" without one) with one output
// port per channel, playback_1 .. playback_N, connected in order to the server's physical
// playback ports. Writes store the raw samples in a lock-free ring buffer, pre-filled at open
// with silence of the buffer size (at least one JACK period of the stream); JACK's process
// thread drains one period per cycle and converts it to float. Once the server has shut the
// client down, the next write closes the backend and answers -ENODEV.
[[nodiscard]] std::int32_t jack_backend_init(audio_backend** out);

// The silence put ahead of a stream, in bytes: `buffer_size` cut to whole frames of
// `frame_bytes`, and at least one JACK period of `period_frames`. Never a part of a frame,
// which would shift every later sample to the next channel's port.
[[nodiscard]] std::uint64_t jack_cushion_size(std::uint64_t buffer_size,
                                              std::uint64_t period_frames,
                                              std::uint64_t frame_bytes);
