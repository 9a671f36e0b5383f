// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "vban/vban.hpp"

// Answers to VBAN service pings (PING0), by which mixers and control apps discover the devices
// on a network: the test of a request, the identity a program announces, the reply, and the
// rate limit that keeps a program from becoming a reflector of spoofed floods.
//
// Use, on the thread that reads the socket:
//     if (service_is_ping0_request(datagram, size) &&
//         service_rate_allow(&limit, sender_address, now_ns)) {
//         std::int32_t reply_size = service_build_reply(&identity, datagram, size, reply, 704);
//         ... send `reply_size` bytes of `reply` to the address and port the request came from
//     }

// Byte 5 of a service packet: the function, with the reply bit set in replies.
constexpr std::uint8_t VBAN_SERVICE_FN_PING0 = 0x00;
constexpr std::uint8_t VBAN_SERVICE_FN_REPLY = 0x80;
// Byte 6 of a service packet: the service type.
constexpr std::uint8_t VBAN_SERVICE_IDENTIFICATION = 0x00;

// Device type flags of the identity.
constexpr std::uint32_t VBAN_SERVICE_RECEPTOR = 0x00000001;
constexpr std::uint32_t VBAN_SERVICE_TRANSMITTER = 0x00000002;
// Feature flags of the identity.
constexpr std::uint32_t VBAN_SERVICE_FEATURE_AUDIO = 0x00000001;

// The identity payload of a PING0 reply, field by field as it travels (little-endian).
struct service_identity {
    std::uint32_t device_type;     // VBAN_SERVICE_RECEPTOR, VBAN_SERVICE_TRANSMITTER
    std::uint32_t features;        // VBAN_SERVICE_FEATURE_AUDIO
    std::uint32_t extra_features;  // 0
    std::uint32_t preferred_rate;  // Hz
    std::uint32_t min_rate;        // Hz
    std::uint32_t max_rate;        // Hz
    std::uint32_t colour;          // 0x00RRGGBB
    std::uint8_t version[4];       // least significant part first: 2.1.0 is 00 00 01 02
    char gps_position[8];
    char user_position[8];
    char language_code[8];
    char reserved_ascii[8];
    char reserved_ex[64];
    char distant_ip[32];
    std::uint16_t distant_port;
    std::uint16_t reserved_port;
    char device_name[64];
    char manufacturer_name[64];
    char application_name[64];
    char host_name[64];
    char user_name[128];     // UTF-8
    char user_comment[128];  // UTF-8
};
static_assert(sizeof(service_identity) == 676, "the PING0 payload is 676 bytes without gaps");

constexpr std::size_t VBAN_SERVICE_PING0_SIZE = VBAN_HEADER_SIZE + sizeof(service_identity);  // 704

// What a program tells about itself; the rest of the identity (features, version, language,
// manufacturer, host and user names) is the same for every program of this system.
struct service_identity_config {
    std::uint32_t device_type;   // VBAN_SERVICE_RECEPTOR or VBAN_SERVICE_TRANSMITTER
    std::uint32_t sample_rate;   // Hz of the stream; 0 before any stream (VBAN's whole range)
    std::uint32_t colour;        // 0x00RRGGBB
    const char* application;     // "dorvane", "quellor"
    const char* device_name;     // the audio device, or the backend without one; may be null
    const char* distant_ip;      // the peer streamed to or listened to; may be null
    std::uint16_t distant_port;  // quellor: the destination's; dorvane: its own
    const char* user_comment;    // may be null
};

// True for a VBAN datagram of the service sub-protocol (any function, request or reply).
[[nodiscard]] bool service_is_service_packet(const void* datagram, std::size_t size);

// True for a PING0 identification request, with or without the requester's own identity.
// Replies never are, so that two answering devices cannot keep each other talking.
[[nodiscard]] bool service_is_ping0_request(const void* datagram, std::size_t size);

// Fills `identity` once at start-up: the config's fields, then this system's own (reads the
// host and login names, so it may block on the name service). Texts are cut to their fields
// at a UTF-8 character boundary and zero padded, always keeping one terminating zero.
[[nodiscard]] std::int32_t service_identity_init(service_identity* identity,
                                                 const service_identity_config* config);

// Announces the rate of the stream now playing, or with 0 VBAN's whole range (48000 preferred,
// 6000 to 705600). Three stores: cheap enough for every stream change.
void service_identity_set_sample_rate(service_identity* identity, std::uint32_t sample_rate);

// Builds the reply to a PING0 `request` into `reply`: the request's header with the reply bit
// set, then `identity`. Returns the reply's size (704), or -22 when the request is not a PING0
// request or `reply_size` is under 704. No allocation, no log line: about two memcpy.
[[nodiscard]] std::int32_t service_build_reply(const service_identity* identity,
                                               const void* request, std::size_t request_size,
                                               void* reply, std::size_t reply_size);

// Replies allowed per sender address: a bucket of 4, refilled with one every 500 ms.
constexpr std::uint32_t SERVICE_SENDER_BURST = 4;
constexpr std::uint64_t SERVICE_SENDER_INTERVAL_NS = 500'000'000;
// Replies allowed in all: a bucket of 20, refilled with one every 50 ms.
constexpr std::uint32_t SERVICE_TOTAL_BURST = 20;
constexpr std::uint64_t SERVICE_TOTAL_INTERVAL_NS = 50'000'000;
// Senders remembered; a new one replaces the one heard from least recently.
constexpr std::size_t SERVICE_SENDERS_MAX_NB = 16;

// The rate limit's state; zero-initialised means nobody heard yet.
struct service_rate_limit {
    // One sender: its IPv4 address, when its bucket is full again, when last heard from.
    struct sender {
        std::uint32_t address;
        std::uint64_t full_at_ns;
        std::uint64_t heard_ns;
    };
    std::array<sender, SERVICE_SENDERS_MAX_NB> senders;
    std::size_t nb_senders;
    std::uint64_t total_full_at_ns;
};

// True when a reply to `address` (IPv4, any byte order used consistently) may be sent at
// `now_ns` (a monotonic clock, nanoseconds), and counts it. Both the sender's and the total
// bucket must allow it; a refused reply costs neither. No allocation, no system call.
[[nodiscard]] bool service_rate_allow(service_rate_limit* limit, std::uint32_t address,
                                      std::uint64_t now_ns);
