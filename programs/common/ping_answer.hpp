// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "common/udp_socket.hpp"
#include "vban/service.hpp"

// A program's answers to VBAN service pings, by which peers discover it: its identity, built
// once, and the rate limit that keeps it from being turned into a reflector.
struct ping_answer {
    service_identity identity;
    service_rate_limit limit;
};

// Fills `answer` for the program; see service_identity_config for the fields.
[[nodiscard]] std::int32_t ping_answer_init(ping_answer* answer,
                                            const service_identity_config& config);

// Answers the pings already queued on `socket` (a sender's socket, whose only visitors are
// pings), at most a few per call, without waiting; anything else there is dropped.
void ping_answer_pending(ping_answer* answer, socket_handle* socket, std::int64_t now_ns);

// True when `datagram` belongs to the service sub-protocol: a PING0 request is answered to its
// sender (within the rate limit), everything else of that sub-protocol is dropped quietly.
// False for any other datagram, which the caller goes on with. No allocation.
[[nodiscard]] bool ping_answer_handle(ping_answer* answer, socket_handle* socket,
                                      const void* datagram, std::size_t size,
                                      const sockaddr_in& sender, std::int64_t now_ns);
