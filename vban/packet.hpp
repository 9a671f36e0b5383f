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

// Why a datagram is not a valid audio packet of a stream, in the order packet_check tests.
enum class packet_fault : std::uint8_t {
    none,
    too_small,       // 28 bytes or less: a header without payload
    not_vban,        // no "VBAN" magic
    other_stream,    // another stream name
    reserved_bit,    // the reserved format bit is set
    service,         // the service sub-protocol (pings and their replies)
    other_protocol,  // text or serial, which share ports with audio on purpose
    other_codec,     // not PCM
    sample_rate,     // a rate index beyond the table
    payload_size,    // not the payload its header announces
};
constexpr std::size_t PACKET_FAULT_COUNT = 10;

// The reason the `size` bytes at `buffer` are not a valid audio packet of `streamname`, as
// packet_check finds it (none for a valid one), without logging anything.
[[nodiscard]] packet_fault packet_find_fault(const char* streamname, const void* buffer,
                                             std::size_t size);

// The words packet_check logs for a fault ("invalid vban magic fourc").
[[nodiscard]] const char* packet_fault_text(packet_fault fault);
