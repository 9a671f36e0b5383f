// SPDX-License-Identifier: MIT
#include "common/udp_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "common/descriptor.hpp"
#include "common/logger.hpp"

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

// The time a datagram waited in the queue, from the stamp the system put on its arrival (on
// the real-time clock, which its stamps use); 0 without one.
std::int64_t waited_since(const msghdr& message) {
    for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec arrived{};
            std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const std::int64_t waited =
                (now.tv_sec - arrived.tv_sec) * 1'000'000'000LL + (now.tv_nsec - arrived.tv_nsec);
            return waited > 0 ? waited : 0;
        }
    }
    return 0;
}

// One receive. A failure is logged unless it is an interruption or the receive timeout, which
// are how a receiver learns of a signal or of a quiet second.
std::int32_t receive_from(socket_handle* handle, void* buffer, std::size_t size,
                          sockaddr_in* sender, const char* name, std::int64_t* waited_ns = nullptr,
                          int flags = 0) {
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = sender;
    message.msg_namelen = sizeof *sender;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    // Only a socket that stamps arrivals has a control message to parse.
    const bool stamped = handle->arrival_stamps && waited_ns != nullptr;
    message.msg_control = stamped ? control : nullptr;
    message.msg_controllen = stamped ? sizeof control : 0;
    ssize_t received = recvmsg(handle->fd, &message, flags);
    if (received >= 0 && waited_ns != nullptr) {
        *waited_ns = stamped ? waited_since(message) : 0;
    }

    if (received < 0) {
        handle->last_error = errno;
        const int error = handle->last_error;
        if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
            logger_log(LOG_ERROR, "%s: recvfrom error %d %s", name, error, strerror(error));
        }
        return -1;
    }
    return static_cast<std::int32_t>(received);
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

std::int32_t socket_receive(socket_handle* handle, void* buffer, std::size_t size,
                            sockaddr_in* sender, std::int64_t* waited_ns) {
    const char* name = "socket_receive";
    if (handle == nullptr || buffer == nullptr || sender == nullptr) {
        logger_log(LOG_ERROR, "%s: one parameter is a null pointer", name);
        return -EINVAL;
    }
    if (handle->fd == 0) {
        logger_log(LOG_ERROR, "%s: socket is not open", name);
        return -ENODEV;
    }
    return receive_from(handle, buffer, size, sender, name, waited_ns);
}

std::int32_t socket_receive_pending(socket_handle* handle, void* buffer, std::size_t size,
                                    sockaddr_in* sender) {
    if (handle == nullptr || buffer == nullptr || sender == nullptr || handle->fd == 0) {
        return -EINVAL;
    }
    return receive_from(handle, buffer, size, sender, "socket_receive_pending", nullptr,
                        MSG_DONTWAIT);
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
    if (sent < 0) {
        const int error = errno;
        handle->last_error = error;
        // One line per kind of error while it lasts: a sender that goes on through an
        // unreachable network would otherwise write one for every packet.
        if (error != EINTR && error != handle->reported_error) {
            logger_log(LOG_ERROR, "%s: sendto error %d %s", name, error, strerror(error));
            handle->reported_error = error;
        }
        return -1;
    }
    handle->reported_error = 0;
    return static_cast<std::int32_t>(sent);
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
