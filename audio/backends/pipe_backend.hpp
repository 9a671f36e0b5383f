// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// The named pipe that the "pipe" backend makes when no device names another path.
constexpr const char* PIPE_BACKEND_FIFO_PATH = "/tmp/vban_0";

// Creates a closed "pipe" backend: raw PCM through a named pipe (FIFO) at the device path
// ("/tmp/vban_0" without one). A FIFO of this user that the device names is used as it is and
// left there; otherwise the backend makes one, readable and writable by this user only, and
// removes it when it is destroyed. Opening waits until a program opens the other end (for
// playback, until a stop is requested: stop_request_make). The FIFO stays open across a change
// of stream configuration, so the program at the other end is not cut off; it is closed only
// when the backend is destroyed.
[[nodiscard]] std::int32_t pipe_backend_init(audio_backend** out);
