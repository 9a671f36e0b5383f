// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

constexpr std::int32_t SOCKET_DIRECTION_IN = 0;   // receive: bind the port
constexpr std::int32_t SOCKET_DIRECTION_OUT = 1;  // send; every non-zero value behaves so

// The receive buffer an in socket asks for, in bytes.
constexpr int SOCKET_RECEIVE_BUFFER_SIZE = 4 * 1024 * 1024;

// One IPv4 UDP peer: the destination (out) or the only accepted sender (in).
struct socket_config {
    std::int32_t direction;
    char ip_address[32];  // dotted-decimal text, NUL-terminated
    std::uint16_t port;   // host byte order
};

// The endpoint; the caller only holds a pointer to it.
struct socket_handle;

// Creates an endpoint and stores it through `handle` at once. Out sockets may always
// broadcast; in sockets ask for a large receive buffer and are bound to the
// port on all local addresses.
// Returns 0, a negative code, or a positive errno when the bind or the broadcast option
// fails; on any failure `*handle` is null again.
[[nodiscard]] std::int32_t socket_init(socket_handle** handle, const socket_config* config);

// Closes and frees the endpoint in `*handle` and stores null; a null `*handle` gives 0.
std::int32_t socket_release(socket_handle** handle);

// Blocks until a datagram from the configured sender arrives and copies at most `size`
// bytes of it into `buffer`; datagrams from other senders are dropped. Returns its length.
[[nodiscard]] std::int32_t socket_read(socket_handle* handle, void* buffer, std::size_t size);

// Waits at most `timeout_ms` for each receive (0: for ever), so that a receiver that hears
// nothing still wakes up now and then; such a receive fails with EAGAIN. 0 or -1.
[[nodiscard]] std::int32_t socket_set_receive_timeout(socket_handle* handle, int timeout_ms);

// Has the system stamp each datagram's arrival (off at first), for a receiver that measures
// how long datagrams waited in the queue: every datagram then carries a control message, so
// a receiver that does not keep time leaves it off. 0 or -1.
[[nodiscard]] std::int32_t socket_set_arrival_stamps(socket_handle* handle, bool on);

// Receives one datagram from any sender, copying at most `size` bytes of it into `buffer`, the
// sender into `sender` and, when `waited_ns` is given, how long the datagram waited in the
// socket's queue (0 when the system did not stamp it: see socket_set_arrival_stamps). Returns its
// length, or -1 (socket_last_error tells why: EAGAIN after the receive timeout and EINTR after a
// signal are not logged).
[[nodiscard]] std::int32_t socket_receive(socket_handle* handle, void* buffer, std::size_t size,
                                          sockaddr_in* sender, std::int64_t* waited_ns = nullptr);

// Like socket_receive, without waiting: -1 with EAGAIN at once when no datagram is queued.
[[nodiscard]] std::int32_t socket_receive_pending(socket_handle* handle, void* buffer,
                                                  std::size_t size, sockaddr_in* sender);

// True when `sender` is the peer of the configuration (the only sender socket_read accepts).
[[nodiscard]] bool socket_is_peer(const socket_handle* handle, const sockaddr_in& sender);

// Sends `size` bytes as one datagram to `to` (an answer to whoever asked); -1 on failure, not
// logged.
[[nodiscard]] std::int32_t socket_send_to(socket_handle* handle, const void* data, std::size_t size,
                                          const sockaddr_in& to);

// Sends `size` bytes as one datagram to the configured address and port; -1 when the system
// refuses it (socket_last_error tells why). A failure is logged once per kind of error until
// a send succeeds again.
[[nodiscard]] std::int32_t socket_write(socket_handle* handle, const void* data, std::size_t size);

// The socket's descriptor, for a poll that waits on it together with something else; the
// endpoint keeps it.
[[nodiscard]] int socket_descriptor(const socket_handle* handle);

// The errno of the handle's last failed send or receive; 0 when none has failed.
[[nodiscard]] int socket_last_error(const socket_handle* handle);

// True for the send errors a stream lives through by dropping the packet: the network, the
// route or the peer is away for a while, or a firewall drops the packet.
[[nodiscard]] bool socket_send_error_is_transient(int error);
