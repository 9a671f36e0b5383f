// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "file" backend: raw PCM to or from a regular file named by the device,
// or, without a name, to standard output (playback) or from standard input (capture). A
// playback path ending in .wav, .flac or .w64 is recorded in that container instead, one
// numbered take per stream configuration (take.wav, take-2.wav, ...).
[[nodiscard]] std::int32_t file_backend_init(audio_backend** out);
