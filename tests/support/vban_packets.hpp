// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "vban/stream_config.hpp"

// VBAN datagrams built byte by byte for the tests, independent of the code under test.
namespace test_support {

// An audio packet: header for `config` under `name` with `counter`, then `payload`. The
// samples-per-channel byte follows from the payload (which should hold whole frames).
std::string audio_packet(const std::string& name, stream_config config, const std::string& payload,
                         std::uint32_t counter = 1);

// A service PING0 request as a peer that discovers devices sends it, without its own identity.
std::string ping0_request(std::uint32_t counter);

// A PING0 reply's field: the little-endian 32-bit number, or the zero-padded text, at
// `offset` of the 676-byte identity that follows the header.
std::uint32_t ping0_number(const std::string& reply, std::size_t offset);
std::string ping0_text(const std::string& reply, std::size_t offset, std::size_t size);

// A text packet as a VBAN text sender builds it.
std::string text_packet(const std::string& name, const std::string& text);

// `count` bytes of a repeatable pseudo-random pattern: a different `seed` gives other bytes.
std::string pattern(std::size_t count, std::uint32_t seed);

// `frames` frames of a sine in signed 16-bit little-endian, `channels` channels, each channel
// at its own frequency.
std::string sine_16(std::size_t frames, unsigned channels, unsigned rate);

}  // namespace test_support
