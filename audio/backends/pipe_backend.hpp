#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// The named pipe that the "pipe" backend creates on every open and removes on every close.
constexpr const char* PIPE_BACKEND_FIFO_PATH = "/tmp/vban_0";

// Creates a closed "pipe" backend: raw PCM through the named pipe, or the path given as the
// device. Opening blocks until a program opens the other end.
[[nodiscard]] std::int32_t pipe_backend_init(audio_backend** out);
