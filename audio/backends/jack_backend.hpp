// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "jack" backend: playback into a JACK server (no capture).
//
// Opening makes a JACK client named after the device ("vban" without one) with one output
// port per channel, playback_1 .. playback_N, connected in order to the server's physical
// audio playback ports. It keeps time: the audio object feeds it through a playout, whose
// blocks (at the server's rate) wait in a lock-free ring buffer; JACK's process thread drains
// one period per cycle and converts it to float, and plays silence while the playout fills up
// to its target latency. Once the server has shut the client down, the next write closes the
// backend and answers -ENODEV.
[[nodiscard]] std::int32_t jack_backend_init(audio_backend** out);
