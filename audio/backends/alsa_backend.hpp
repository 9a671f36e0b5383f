// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "alsa" backend: playback and capture through one ALSA PCM device.
[[nodiscard]] std::int32_t alsa_backend_init(audio_backend** out);

// The latency the device is opened with: the duration in microseconds of the whole frames of
// `frame_size` bytes that fit in `buffer_size` bytes at `sample_rate` Hz, truncated, and held
// at the largest 32-bit value ALSA can take. `frame_size` and `sample_rate` must not be 0.
[[nodiscard]] std::uint32_t alsa_latency_us(std::uint64_t buffer_size, std::uint64_t frame_size,
                                            std::uint32_t sample_rate);
