// SPDX-License-Identifier: MIT
#include "common/udp_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/descriptor.hpp"
#include "common/logger.hpp"

namespace {

// A message of a batch holds one datagram or, coalesced by the system, a burst of one
// sender's datagrams of one size: up to the largest UDP payload.
constexpr std::size_t message_size = 65536;

// Datagrams closer together than this (more than 4,000 a second) are received in batches.
constexpr std::int64_t dense_ns = 250'000;

// And let gather this long between two receives, so that a wake-up takes tens of them: the
// most a datagram waits more than it would alone.
constexpr std::int64_t gather_ns = 1'000'000;

// Room for a message's arrival stamp and its coalesced datagrams' size.
struct alignas(cmsghdr) message_control {
    char bytes[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(int))];
};

}  // namespace

// The messages of one receive in batches and where their walk is; allocated once.
struct socket_batch {
    std::array<mmsghdr, SOCKET_BATCH_MESSAGES> messages;
    std::array<iovec, SOCKET_BATCH_MESSAGES> data;
    std::array<sockaddr_in, SOCKET_BATCH_MESSAGES> senders;
    std::array<message_control, SOCKET_BATCH_MESSAGES> controls;
    std::unique_ptr<std::uint8_t[]> bytes;  // SOCKET_BATCH_MESSAGES * message_size
    std::int32_t count;                     // messages of the last receive
    std::int32_t message;                   // the message walked now
    bool entered;                           // its control message has been read
    std::size_t offset;                     // its bytes handed out so far
    std::size_t segment;                    // the size of its coalesced datagrams; 0: one datagram
    std::int64_t arrived;                   // its arrival on the monotonic clock; 0: not stamped
    std::int64_t offset_ns;  // the real-time clock less the monotonic one, at the receive
    std::int32_t filled = SOCKET_BATCH_MESSAGES;  // messages the last receive filled
    std::int64_t returned_ns = 0;  // when the last receive returned, on the monotonic clock
    std::int64_t apart_ns = 0;     // and how long after the one before
};

struct socket_handle {
    socket_config config;
    std::int32_t fd;  // 0: no socket open
    // Derived once from config.ip_address, which never changes for the life of the handle.
    sockaddr_in destination;
    bool sender_filter_matchable;  // false when no sender's dotted text can equal ip_address
    in_addr accepted_sender;
    int last_error;       // errno of the last failed send or receive
    int reported_error;   // the send error already logged; 0 once a send succeeds again
    bool arrival_stamps;  // the system stamps each datagram's arrival
    std::unique_ptr<socket_batch> batch;  // made by socket_enable_batches
    bool segmenting;  // bursts go out as one send that the system cuts into datagrams
    std::array<mmsghdr, SOCKET_BURST_DATAGRAMS> burst;  // a burst a datagram at a time
    std::array<iovec, SOCKET_BURST_DATAGRAMS> burst_data;
};

namespace {

// The sender filter compares the sender's dotted-decimal text with the configured text. Only a
// text in canonical form (as inet_ntoa prints it) can ever match, and then it matches exactly
// one address, so the comparison is done on the binary address instead of formatting a text
// for every datagram.
void prepare_sender_filter(socket_handle* handle) {
    handle->sender_filter_matchable = false;
    in_addr parsed{};
    if (inet_pton(AF_INET, handle->config.ip_address, &parsed) != 1) {
        return;
    }
    char canonical[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &parsed, canonical, sizeof canonical) == nullptr) {
        return;
    }
    if (std::strncmp(canonical, handle->config.ip_address, sizeof handle->config.ip_address) == 0) {
        handle->sender_filter_matchable = true;
        handle->accepted_sender = parsed;
    }
}

bool is_broadcast_text(const char* ip_address, std::size_t capacity) {
    std::size_t length = strnlen(ip_address, capacity);
    return length >= 3 && std::strncmp(ip_address + length - 3, "255", 3) == 0;
}

// The system's default receive buffer holds only about 90 datagrams of 1052 bytes, so any
// longer burst (a scheduling hiccup, a sender catching up) would be lost. A refusal or a smaller
// grant (the system caps it at net.core.rmem_max) still leaves a working socket.
void ask_for_receive_buffer(int fd) {
    int asked = SOCKET_RECEIVE_BUFFER_SIZE;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked) != 0) {
        logger_log(LOG_DEBUG, "%s: receive buffer of %d bytes refused: %s", "socket_open", asked,
                   strerror(errno));
        return;
    }
    // The system reports twice the usable size it granted.
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 && granted / 2 < asked) {
        logger_log(LOG_DEBUG, "%s: receive buffer of %d bytes asked, %d granted", "socket_open",
                   asked, granted / 2);
    }
}

std::int64_t nanoseconds(const timespec& time) {
    return time.tv_sec * 1'000'000'000LL + time.tv_nsec;
}

// The failed receive's errno kept, and logged unless it is an interruption or the receive
// timeout, which are how a receiver learns of a signal or of a quiet second.
std::int32_t receive_failed(socket_handle* handle, const char* name) {
    handle->last_error = errno;
    const int error = handle->last_error;
    if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
        logger_log(LOG_ERROR, "%s: recvfrom error %d %s", name, error, strerror(error));
    }
    return -1;
}

// Reads the control message of the batch's current message: its coalesced datagrams' size
// and its arrival, moved onto the monotonic clock.
void enter_message(socket_batch& batch) {
    msghdr& message = batch.messages[static_cast<std::size_t>(batch.message)].msg_hdr;
    batch.entered = true;
    batch.offset = 0;
    batch.segment = 0;
    batch.arrived = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            int segment = 0;
            std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
            batch.segment = segment > 0 ? static_cast<std::size_t>(segment) : 0;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec arrived{};
            std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
            batch.arrived = nanoseconds(arrived) - batch.offset_ns;
        }
    }
}

// One receive of one datagram.
std::int32_t receive_from(socket_handle* handle, void* buffer, std::size_t size,
                          sockaddr_in* sender, const char* name, int flags = 0) {
    socklen_t length = sizeof *sender;
    ssize_t received =
        recvfrom(handle->fd, buffer, size, flags, reinterpret_cast<sockaddr*>(sender), &length);
    if (received < 0) {
        return receive_failed(handle, name);
    }
    return static_cast<std::int32_t>(received);
}

// A send's outcome, for the log: a failure once per kind of error while it lasts (a sender
// that goes on through an unreachable network would otherwise write one line per packet),
// and a success ends it.
void note_send(socket_handle* handle, bool sent) {
    if (sent) {
        handle->reported_error = 0;
        return;
    }
    const int error = errno;
    handle->last_error = error;
    if (error != EINTR && error != handle->reported_error) {
        logger_log(LOG_ERROR, "%s: sendto error %d %s", "socket_write", error, strerror(error));
        handle->reported_error = error;
    }
}

// The burst as one send that the system cuts into datagrams of `size` bytes (UDP segmentation
// offload): one pass through the network stack for all of them. All or none go out.
bool send_segmented(socket_handle* handle, const std::uint8_t* data, std::size_t total,
                    std::size_t size) {
    iovec io{const_cast<std::uint8_t*>(data), total};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
    msghdr message{};
    message.msg_name = &handle->destination;
    message.msg_namelen = sizeof handle->destination;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto segment = static_cast<std::uint16_t>(size);
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    return sendmsg(handle->fd, &message, 0) >= 0;
}

// The burst a datagram at a time, in one call while they go out: how many did, the first
// ones; the error of the one that did not is in last_error.
std::size_t send_each(socket_handle* handle, const std::uint8_t* data, std::size_t size,
                      std::size_t count, std::size_t last_size) {
    for (std::size_t i = 0; i < count; ++i) {
        handle->burst_data[i] = {const_cast<std::uint8_t*>(data) + i * size,
                                 i + 1 == count ? last_size : size};
        msghdr& message = handle->burst[i].msg_hdr;
        message.msg_name = &handle->destination;
        message.msg_namelen = sizeof handle->destination;
        message.msg_iov = &handle->burst_data[i];
        message.msg_iovlen = 1;
    }
    std::size_t done = 0;
    while (done < count) {
        // After a failure the system says only how many went out; the next call tells why.
        const int sent = sendmmsg(handle->fd, handle->burst.data() + done,
                                  static_cast<unsigned>(count - done), 0);
        note_send(handle, sent > 0);
        if (sent <= 0) {
            break;
        }
        done += static_cast<std::size_t>(sent);
    }
    return done;
}

std::int32_t socket_close(socket_handle* handle) {
    logger_log(LOG_INFO, "%s: closing socket with port %d", "socket_close", handle->config.port);
    if (handle->fd != 0) {
        int result = close(handle->fd);
        handle->fd = 0;
        if (result != 0) {
            logger_log(LOG_ERROR, "%s: unable to close socket", "socket_close");
            return result;
        }
    }
    return 0;
}

std::int32_t socket_open(socket_handle* handle) {
    const char* name = "socket_open";
    logger_log(LOG_INFO, "%s: opening socket with port %d", name, handle->config.port);

    if (handle->fd != 0) {
        std::int32_t result = socket_close(handle);
        if (result != 0) {
            logger_log(LOG_ERROR, "%s: socket was open and unable to close it", name);
            return result;
        }
    }

    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd >= 0) {
        fd = descriptor_above_zero(fd);
    }
    if (fd < 0) {
        logger_log(LOG_ERROR, "%s: unable to create socket", name);
        handle->fd = 0;
        return fd;
    }
    handle->fd = fd;

    if (handle->config.direction != SOCKET_DIRECTION_IN) {
        if (is_broadcast_text(handle->config.ip_address, sizeof handle->config.ip_address)) {
            logger_log(LOG_DEBUG, "%s: broadcast address detected", name);
        }
        // Always: the broadcast address of a subnet is not always one that ends in 255 (a /25
        // has 127 or 255), and without the option the system refuses it with EPERM.
        std::int32_t enable = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable) != 0) {
            int error = errno;
            logger_log(LOG_ERROR, "%s: unable to set broadcast option", name);
            socket_close(handle);
            return error;
        }
    } else {
        ask_for_receive_buffer(fd);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(handle->config.port);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            int error = errno;
            if (error == EADDRINUSE) {
                logger_log(LOG_ERROR,
                           "%s: unable to bind socket to 0.0.0.0 port %u: port %u is in use", name,
                           handle->config.port, handle->config.port);
            } else {
                logger_log(LOG_ERROR, "%s: unable to bind socket to 0.0.0.0 port %u: %s", name,
                           handle->config.port, strerror(error));
            }
            socket_close(handle);
            return error;
        }
    }

    logger_log(LOG_INFO, "%s with port: %d", name, handle->config.port);
    return 0;
}

}  // namespace

std::int32_t socket_init(socket_handle** handle, const socket_config* config) {
    if (handle == nullptr || config == nullptr) {
        logger_log(LOG_FATAL, "%s: null handle or config pointer", "socket_init");
        return -EINVAL;
    }
    *handle = new (std::nothrow) socket_handle{};
    if (*handle == nullptr) {
        logger_log(LOG_FATAL, "%s: could not allocate memory", "socket_init");
        return -ENOMEM;
    }
    socket_handle* created = *handle;
    created->config = *config;
    // The caller's text may lack its terminator; ours never does.
    created->config.ip_address[sizeof created->config.ip_address - 1] = '\0';

    created->destination.sin_family = AF_INET;
    created->destination.sin_port = htons(created->config.port);
    // A text that is no valid address becomes 255.255.255.255, as inet_addr defines.
    created->destination.sin_addr.s_addr = inet_addr(created->config.ip_address);
    prepare_sender_filter(created);
    created->segmenting = true;

    std::int32_t result = socket_open(created);
    if (result != 0) {
        socket_release(handle);
    }
    return result;
}

std::int32_t socket_release(socket_handle** handle) {
    if (handle == nullptr) {
        logger_log(LOG_FATAL, "%s: null handle pointer", "socket_release");
        return -EINVAL;
    }
    if (*handle == nullptr) {
        return 0;
    }
    std::int32_t result = socket_close(*handle);
    delete *handle;
    *handle = nullptr;
    return result;
}

std::int32_t socket_read(socket_handle* handle, void* buffer, std::size_t size) {
    const char* name = "socket_read";
    logger_log(LOG_DEBUG, "%s invoked", name);
    if (handle == nullptr || buffer == nullptr) {
        logger_log(LOG_ERROR, "%s: one parameter is a null pointer", name);
        return -EINVAL;
    }
    logger_log(LOG_DEBUG, "%s ip %s", name, handle->config.ip_address);
    if (handle->fd == 0) {
        logger_log(LOG_ERROR, "%s: socket is not open", name);
        return -ENODEV;
    }

    for (;;) {
        sockaddr_in sender{};
        std::int32_t received = receive_from(handle, buffer, size, &sender, name);
        if (received < 0 || socket_is_peer(handle, sender)) {
            return received;
        }
        logger_log(LOG_DEBUG, "%s: packet received from wrong ip", name);
    }
}

std::int32_t socket_set_receive_timeout(socket_handle* handle, int timeout_ms) {
    if (handle == nullptr || handle->fd == 0) {
        return -1;
    }
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return setsockopt(handle->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 ? 0 : -1;
}

std::int32_t socket_set_arrival_stamps(socket_handle* handle, bool on) {
    if (handle == nullptr || handle->fd == 0) {
        return -1;
    }
    const int value = on ? 1 : 0;
    if (setsockopt(handle->fd, SOL_SOCKET, SO_TIMESTAMPNS, &value, sizeof value) != 0) {
        return -1;
    }
    handle->arrival_stamps = on;
    return 0;
}

std::int32_t socket_enable_batches(socket_handle* handle) {
    if (handle == nullptr || handle->fd == 0) {
        return -EINVAL;
    }
    auto batch = std::unique_ptr<socket_batch>(new (std::nothrow) socket_batch{});
    if (batch == nullptr) {
        return -ENOMEM;
    }
    // Zeroed, so that its pages are the program's from the start.
    batch->bytes.reset(new (std::nothrow) std::uint8_t[SOCKET_BATCH_MESSAGES * message_size]());
    if (batch->bytes == nullptr) {
        return -ENOMEM;
    }
    for (std::size_t i = 0; i < SOCKET_BATCH_MESSAGES; ++i) {
        batch->data[i] = {batch->bytes.get() + i * message_size, message_size};
        msghdr& message = batch->messages[i].msg_hdr;
        message.msg_name = &batch->senders[i];
        message.msg_iov = &batch->data[i];
        message.msg_iovlen = 1;
        message.msg_control = batch->controls[i].bytes;
    }
    // A burst that one sender sent in one call (quellor's, when its input is ahead) then comes
    // as one message; a system without it gives every datagram its own.
    const int coalesce = 1;
    setsockopt(handle->fd, SOL_UDP, UDP_GRO, &coalesce, sizeof coalesce);
    handle->batch = std::move(batch);
    return 0;
}

std::int32_t socket_receive_batch(socket_handle* handle) {
    if (handle == nullptr || handle->batch == nullptr) {
        return -EINVAL;
    }
    socket_batch& batch = *handle->batch;
    // Only the messages the last receive filled have their lengths changed.
    for (std::int32_t i = 0; i < batch.filled; ++i) {
        msghdr& message = batch.messages[static_cast<std::size_t>(i)].msg_hdr;
        message.msg_namelen = sizeof(sockaddr_in);
        message.msg_controllen = sizeof(message_control);
    }
    batch.count = 0;
    // Datagrams that come one at a time, far apart, are taken one at a time: a batch's second
    // look would find nothing and cost a tenth of the wake-up. Once they come close together,
    // or queue up, the receive waits for the first and takes those behind it in the same call.
    const bool close_together = batch.filled > 1 || batch.apart_ns < dense_ns;
    int received = 0;
    if (close_together && batch.filled < static_cast<std::int32_t>(SOCKET_BATCH_MESSAGES)) {
        // A full batch left more queued behind it: that is taken at once.
        const std::int64_t until = batch.returned_ns + gather_ns;
        const timespec wake{static_cast<time_t>(until / 1'000'000'000),
                            static_cast<long>(until % 1'000'000'000)};
        const int slept = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        if (slept == EINTR) {
            errno = EINTR;  // a signal: the receiver looks at it before it waits
            batch.filled = 0;
            return receive_failed(handle, "socket_receive_batch");
        }
    }
    if (close_together) {
        received = recvmmsg(handle->fd, batch.messages.data(), SOCKET_BATCH_MESSAGES,
                            MSG_WAITFORONE, nullptr);
    } else {
        const ssize_t size = recvmsg(handle->fd, &batch.messages[0].msg_hdr, 0);
        batch.messages[0].msg_len = static_cast<unsigned>(size);
        received = size < 0 ? -1 : 1;
    }
    if (received < 0) {
        batch.filled = 0;
        batch.apart_ns = dense_ns;  // a pause: the next is far from the last
        return receive_failed(handle, "socket_receive_batch");
    }
    timespec returned{};
    clock_gettime(CLOCK_MONOTONIC, &returned);
    batch.apart_ns = nanoseconds(returned) - batch.returned_ns;
    batch.returned_ns = nanoseconds(returned);
    batch.filled = received;
    if (handle->arrival_stamps) {
        // The system stamps on the real-time clock; one reading of both clocks moves every
        // stamp of the batch onto the monotonic clock.
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        batch.offset_ns = nanoseconds(real) - batch.returned_ns;
    }
    batch.count = received;
    batch.message = 0;
    batch.entered = false;
    return received;
}

std::int32_t socket_wait_until(socket_handle* handle, std::int64_t until_ns) {
    if (handle == nullptr || handle->fd == 0) {
        return -EINVAL;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t left = std::max<std::int64_t>(until_ns - nanoseconds(now), 0);
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                           static_cast<long>(left % 1'000'000'000)};
    pollfd watch{handle->fd, POLLIN, 0};
    const int ready = ppoll(&watch, 1, &timeout, nullptr);
    return ready < 0 ? receive_failed(handle, "socket_wait_until") : (ready > 0 ? 1 : 0);
}

std::int64_t socket_batch_time_ns(const socket_handle* handle) {
    return handle != nullptr && handle->batch != nullptr ? handle->batch->returned_ns : 0;
}

bool socket_batch_next(socket_handle* handle, socket_datagram* out) {
    if (handle == nullptr || handle->batch == nullptr || out == nullptr) {
        return false;
    }
    socket_batch& batch = *handle->batch;
    while (batch.message < batch.count) {
        const auto index = static_cast<std::size_t>(batch.message);
        const std::size_t length = batch.messages[index].msg_len;
        const bool first = !batch.entered;
        if (first) {
            enter_message(batch);
        }
        // An empty datagram is a datagram too.
        if (batch.offset < length || (first && length == 0)) {
            const std::size_t rest = length - batch.offset;
            const std::size_t size =
                batch.segment != 0 && batch.segment < rest ? batch.segment : rest;
            out->data = batch.bytes.get() + index * message_size + batch.offset;
            out->size = size;
            out->sender = batch.senders[index];
            out->arrived_ns = batch.arrived;
            batch.offset += size;
            return true;
        }
        ++batch.message;
        batch.entered = false;
    }
    return false;
}

std::int32_t socket_receive_pending(socket_handle* handle, void* buffer, std::size_t size,
                                    sockaddr_in* sender) {
    if (handle == nullptr || buffer == nullptr || sender == nullptr || handle->fd == 0) {
        return -EINVAL;
    }
    return receive_from(handle, buffer, size, sender, "socket_receive_pending", MSG_DONTWAIT);
}

bool socket_is_peer(const socket_handle* handle, const sockaddr_in& sender) {
    return handle != nullptr && handle->sender_filter_matchable && sender.sin_family == AF_INET &&
           sender.sin_addr.s_addr == handle->accepted_sender.s_addr;
}

std::int32_t socket_send_to(socket_handle* handle, const void* data, std::size_t size,
                            const sockaddr_in& to) {
    if (handle == nullptr || data == nullptr || handle->fd == 0) {
        return -EINVAL;
    }
    ssize_t sent =
        sendto(handle->fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? -1 : static_cast<std::int32_t>(sent);
}

std::int32_t socket_write(socket_handle* handle, const void* data, std::size_t size) {
    const char* name = "socket_write";
    logger_log(LOG_DEBUG, "%s invoked", name);
    if (handle == nullptr || data == nullptr) {
        logger_log(LOG_ERROR, "%s: one parameter is a null pointer", name);
        return -EINVAL;
    }
    if (handle->fd == 0) {
        logger_log(LOG_ERROR, "%s: socket is not open", name);
        return -ENODEV;
    }
    ssize_t sent =
        sendto(handle->fd, data, size, 0, reinterpret_cast<const sockaddr*>(&handle->destination),
               sizeof handle->destination);
    note_send(handle, sent >= 0);
    return sent < 0 ? -1 : static_cast<std::int32_t>(sent);
}

std::size_t socket_burst_capacity(std::size_t size) {
    const std::size_t fit = size != 0 ? SOCKET_BURST_BYTES / size : 1;
    return std::clamp<std::size_t>(fit, 1, SOCKET_BURST_DATAGRAMS);
}

std::int32_t socket_write_burst(socket_handle* handle, const void* data, std::size_t size,
                                std::size_t count, std::size_t last_size) {
    if (handle == nullptr || data == nullptr || handle->fd == 0 || count == 0 ||
        count > socket_burst_capacity(size) || last_size > size) {
        logger_log(LOG_ERROR, "%s: no such burst to send", "socket_write_burst");
        return -EINVAL;
    }
    if (count == 1) {
        return socket_write(handle, data, last_size) < 0 ? 0 : 1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (handle->segmenting) {
        if (send_segmented(handle, bytes, (count - 1) * size + last_size, size)) {
            note_send(handle, true);
            return static_cast<std::int32_t>(count);
        }
        // The same burst a datagram at a time tells which fail, and why. When they go out, the
        // refusal was the segmentation's own (a device that cannot compute checksums, a path
        // whose MTU is smaller than a datagram), and it is not tried again.
        const std::size_t sent = send_each(handle, bytes, size, count, last_size);
        handle->segmenting = sent == 0;
        return static_cast<std::int32_t>(sent);
    }
    return static_cast<std::int32_t>(send_each(handle, bytes, size, count, last_size));
}

int socket_descriptor(const socket_handle* handle) {
    return handle != nullptr && handle->fd != 0 ? handle->fd : -1;
}

int socket_last_error(const socket_handle* handle) {
    return handle != nullptr ? handle->last_error : 0;
}

bool socket_send_error_is_transient(int error) {
    switch (error) {
        case ENETUNREACH:   // no route, for now: a link that is down, a network restarting
        case EHOSTUNREACH:  // the peer's address does not answer ARP
        case ENOBUFS:       // the interface's queue is full
        case ECONNREFUSED:  // an ICMP port-unreachable of an earlier datagram
        case EPERM:         // a firewall rule that drops the packet
        case EINTR:
            return true;
        default:
            return false;
    }
}
