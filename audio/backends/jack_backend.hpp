#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "jack" backend: playback into a JACK server (no capture).
[[nodiscard]] std::int32_t jack_backend_init(audio_backend** out);
