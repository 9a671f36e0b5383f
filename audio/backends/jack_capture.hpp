// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "audio/audio_backend.hpp"

// Creates a closed "jack" backend for capture from a JACK server.
//
// Opening makes a JACK client named after the device ("quellor" without one) with one input
// port per channel, capture_1 .. capture_N, connected in order from the server's physical
// audio capture ports where there are some. It runs at the server's rate: a configuration at
// rate 0 takes that rate, another rate is refused with -ERANGE. JACK's process thread copies
// every cycle, interleaved, into a lock-free ring; a read waits for its frames there and
// converts them to the stream's format on the caller's thread. Cycles lost to a full ring and
// the server's xruns are counted there and reported by the reads, at most once a second. Once
// the server has shut the client down, the next read closes the backend and answers -ENODEV.
[[nodiscard]] std::int32_t jack_capture_backend_init(audio_backend** out);
