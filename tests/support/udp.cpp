// SPDX-License-Identifier: MIT
#include "tests/support/udp.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace test_support {

std::uint16_t free_udp_port() {
    udp_socket probe("0.0.0.0", 0);
    return probe.port();
}

bool wait_until_udp_port_bound(std::uint16_t port, std::chrono::milliseconds timeout) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::ifstream table("/proc/net/udp");
        std::string line;
        std::getline(table, line);  // column titles
        while (std::getline(table, line)) {
            // "   0: 00000000:1B58 00000000:0000 07 ...": slot, then the local address:port.
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

udp_socket::udp_socket(const std::string& address, std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd_);
        throw std::runtime_error("bind to " + address + " failed");
    }
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
}

udp_socket::~udp_socket() {
    close(fd_);
}

std::optional<std::string> udp_socket::receive(std::chrono::milliseconds timeout,
                                               std::string* sender, std::uint16_t* sender_port) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    std::vector<char> buffer(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n =
        recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
        return std::nullopt;
    }
    if (sender != nullptr) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        *sender = text;
    }
    if (sender_port != nullptr) {
        *sender_port = ntohs(from.sin_port);
    }
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

void udp_socket::set_receive_buffer(int bytes) {
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

long udp_socket::send_to(const std::string& address, std::uint16_t port, const std::string& data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace test_support
