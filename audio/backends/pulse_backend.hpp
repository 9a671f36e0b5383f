// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "pulse" backend: playback into a sink, or capture from a source, of the
// PulseAudio server that libpulse finds (PipeWire's PulseAudio server too).
//
// The device names the sink or the source (a sink's monitor, "<sink>.monitor", captures what
// plays there); without one the server's default is used. The stream carries the VBAN
// stream's name, at the stream's rate, channels (at most 32) and format (8I travels as
// unsigned 8-bit, 64F as 32-bit float; the server converts to its device). Playback keeps
// time: the audio object feeds it through a playout, the fill is the stream's latency as the
// server reports it, the server starts playing once the target is buffered (and again so after
// an underrun, which it reports to the playout). Capture reads fragments of one packet. Once
// the server has gone, the next transfer closes the backend and answers -ENODEV.
[[nodiscard]] std::int32_t pulse_backend_init(audio_backend** out);
