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

// The most messages one receive in batches takes (each a datagram, or a burst of one
// sender's datagrams that the system coalesced).
constexpr std::size_t SOCKET_BATCH_MESSAGES = 16;

// One datagram of a batch: its bytes (valid until the next receive), its sender, and its
// arrival on the monotonic clock (std::chrono::steady_clock's), 0 when it was not stamped.
struct socket_datagram {
    const std::uint8_t* data;
    std::size_t size;
    sockaddr_in sender;
    std::int64_t arrived_ns;
};

// Has the system stamp each datagram's arrival (off at first), for a receiver that measures
// how long datagrams waited in the queue: every datagram then carries a control message, so
// a receiver that does not keep time leaves it off. 0 or -1.
[[nodiscard]] std::int32_t socket_set_arrival_stamps(socket_handle* handle, bool on);

// Prepares an in socket for socket_receive_batch, its only receive from then on: the buffers
// of SOCKET_BATCH_MESSAGES messages (1 MiB), allocated and touched here once, so that what
// arrives later does not grow the program, and the system's coalescing of a sender's bursts
// where it has it. 0, -EINVAL or -ENOMEM.
[[nodiscard]] std::int32_t socket_enable_batches(socket_handle* handle);

// Waits, as long as the receive timeout allows, for a datagram from any sender, and takes
// with it those queued behind it, up to the bound. While datagrams come close together (more
// than about 4,000 a second), it first lets them gather for up to 1 ms after the last
// receive, so that one wake-up takes tens of them: the number of
// messages, walked with socket_batch_next; -1 as socket_receive_pending fails (EAGAIN after
// the timeout and EINTR after a signal are not logged). Allocates nothing.
[[nodiscard]] std::int32_t socket_receive_batch(socket_handle* handle);

// Waits until a datagram is queued or the monotonic clock reaches `until_ns`: 1, 0 at the
// deadline, -1 as socket_receive_pending fails (EINTR after a signal, not logged), -EINVAL
// without an open socket.
[[nodiscard]] std::int32_t socket_wait_until(socket_handle* handle, std::int64_t until_ns);

// When the last socket_receive_batch returned, on the monotonic clock (steady_clock's), as it
// read it for its own pacing: a receiver that needs the time of the batch reads no clock
// again. 0 before the first batch.
[[nodiscard]] std::int64_t socket_batch_time_ns(const socket_handle* handle);

// The next datagram of the last batch, in the order they came, into `out`; false after the
// last one. Each keeps its own arrival stamp (datagrams that the system coalesced came
// together and share theirs). Allocates nothing.
[[nodiscard]] bool socket_batch_next(socket_handle* handle, socket_datagram* out);

// Receives one datagram from any sender without waiting, copying at most `size` bytes of it
// into `buffer` and the sender into `sender`: its length, or -1 (socket_last_error tells
// why; EAGAIN at once when no datagram is queued, not logged).
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

// The most datagrams, and the most bytes of them, that one burst sends (the system's bounds for
// a send it cuts into datagrams).
constexpr std::size_t SOCKET_BURST_DATAGRAMS = 64;
constexpr std::size_t SOCKET_BURST_BYTES = 65507;

// How many datagrams of `size` bytes one burst may hold: at least 1.
[[nodiscard]] std::size_t socket_burst_capacity(std::size_t size);

// Sends `count` datagrams (at most socket_burst_capacity(size)) to the configured address and
// port, in order: laid one after the other at `data`, each `size` bytes, the last
// `last_size` (at most `size`). Where the system can, in one send that it cuts into the
// datagrams, else in one call for all. Returns how many went out, the first ones: all of them,
// or fewer when the one after them failed (socket_last_error tells why, logged as
// socket_write does); -EINVAL for a burst it cannot send. Allocates nothing.
[[nodiscard]] std::int32_t socket_write_burst(socket_handle* handle, const void* data,
                                              std::size_t size, std::size_t count,
                                              std::size_t last_size);

// The socket's descriptor, for a poll that waits on it together with something else; the
// endpoint keeps it.
[[nodiscard]] int socket_descriptor(const socket_handle* handle);

// The errno of the handle's last failed send or receive; 0 when none has failed.
[[nodiscard]] int socket_last_error(const socket_handle* handle);

// True for the send errors a stream lives through by dropping the packet: the network, the
// route or the peer is away for a while, or a firewall drops the packet.
[[nodiscard]] bool socket_send_error_is_transient(int error);
