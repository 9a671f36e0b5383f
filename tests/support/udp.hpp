// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// Plain loopback UDP sockets for the tests, independent of the code under test.
namespace test_support {

// A UDP port that no socket holds right now (the system's choice for a port-0 bind).
std::uint16_t free_udp_port();

// Waits until some socket of this machine is bound to the UDP `port` (a program under test
// has finished its start-up); false after `timeout`.
bool wait_until_udp_port_bound(std::uint16_t port, std::chrono::milliseconds timeout);

class udp_socket {
public:
    // Binds to `address`:`port`; port 0 lets the system choose.
    explicit udp_socket(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
    ~udp_socket();
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;

    std::uint16_t port() const { return port_; }
    int fd() const { return fd_; }

    // One datagram, or nothing when none arrives within `timeout`. `sender` receives the
    // sender's dotted address, `sender_port` its port.
    std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                       std::string* sender = nullptr,
                                       std::uint16_t* sender_port = nullptr);
    // Asks for a receive buffer of `bytes` (forced past the system's limit when allowed).
    void set_receive_buffer(int bytes);
    // Sends `data` as one datagram; returns what sendto returned (-1 with errno on failure).
    long send_to(const std::string& address, std::uint16_t port, const std::string& data);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace test_support
