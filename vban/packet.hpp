// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

#include "vban/stream_config.hpp"

// Operations on VBAN audio packets held in a caller's buffer that starts with a vban_header.
// They allocate nothing and keep nothing between calls.

// Fills the header for `config` under `streamname` (at most 16 characters kept: a name of 16
// fills the field without a terminator): magic, rate index (21 when the rate is not in the
// table), channels, format, name, counter 0. Byte 5 is left as it is.
[[nodiscard]] std::int32_t packet_init_header(void* buffer, const stream_config* config,
                                              const char* streamname);

// The payload size to use for every packet of the header's stream: the most whole frames, at
// most 256, that fit in 1436 bytes. -22 for a format without a sample size (12I, 10I).
[[nodiscard]] std::int32_t packet_get_max_payload_size(const void* buffer);

// Stamps the header for a payload of `payload_size` bytes: samples per channel and counter + 1.
[[nodiscard]] std::int32_t packet_set_new_content(void* buffer, std::size_t payload_size);

// 0 when the `size` bytes at `buffer` are a valid audio packet of the stream `streamname`,
// else -22 with the reason logged (some reasons silently).
[[nodiscard]] std::int32_t packet_check(const char* streamname, const void* buffer,
                                        std::size_t size);

// The PCM part of packet_check: rate index and payload length.
[[nodiscard]] std::int32_t packet_pcm_check(const void* buffer, std::size_t size);

// Reads the stream configuration of a packet that passed packet_check.
[[nodiscard]] std::int32_t packet_get_stream_config(const void* buffer, stream_config* config);

// The frame counter of a packet that passed packet_check.
[[nodiscard]] std::uint32_t packet_get_counter(const void* buffer);

// True when the `size` bytes at `buffer` hold a VBAN header whose stream name is not
// `streamname` (which is why packet_check refused it).
[[nodiscard]] bool packet_has_other_name(const char* streamname, const void* buffer,
                                         std::size_t size);
