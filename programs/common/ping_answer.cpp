// SPDX-License-Identifier: MIT
#include "programs/common/ping_answer.hpp"

#include "common/logger.hpp"

std::int32_t ping_answer_init(ping_answer* answer, const service_identity_config& config) {
    *answer = ping_answer{};
    return service_identity_init(&answer->identity, &config);
}

bool ping_answer_handle(ping_answer* answer, socket_handle* socket, const void* datagram,
                        std::size_t size, const sockaddr_in& sender, std::int64_t now_ns) {
    if (!service_is_service_packet(datagram, size)) {
        return false;
    }
    if (!service_is_ping0_request(datagram, size) ||
        !service_rate_allow(&answer->limit, sender.sin_addr.s_addr,
                            static_cast<std::uint64_t>(now_ns))) {
        return true;
    }
    std::uint8_t reply[VBAN_SERVICE_PING0_SIZE];
    const std::int32_t length =
        service_build_reply(&answer->identity, datagram, size, reply, sizeof reply);
    if (length > 0 && socket_send_to(socket, reply, static_cast<std::size_t>(length), sender) < 0) {
        logger_log(LOG_DEBUG, "%s: could not answer a ping", "ping_answer");
    }
    return true;
}

void ping_answer_pending(ping_answer* answer, socket_handle* socket, std::int64_t now_ns) {
    // A few a call: a flood of datagrams must not hold the stream up.
    constexpr int most_per_call = 8;
    std::uint8_t request[VBAN_SERVICE_PING0_SIZE];
    for (int i = 0; i < most_per_call; ++i) {
        sockaddr_in sender{};
        const std::int32_t size = socket_receive_pending(socket, request, sizeof request, &sender);
        if (size < 0) {
            return;
        }
        (void)ping_answer_handle(answer, socket, request, static_cast<std::size_t>(size), sender,
                                 now_ns);
    }
}
