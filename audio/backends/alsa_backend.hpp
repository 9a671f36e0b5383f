#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "alsa" backend: playback and capture through one ALSA PCM device.
[[nodiscard]] std::int32_t alsa_backend_init(audio_backend** out);
