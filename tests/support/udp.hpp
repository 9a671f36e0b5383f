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
    // sender's dotted address.
    std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                       std::string* sender = nullptr);
    // Sends `data` as one datagram; returns what sendto returned (-1 with errno on failure).
    long send_to(const std::string& address, std::uint16_t port, const std::string& data);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace test_support
