// SPDX-License-Identifier: MIT
// The least a VBAN sender or receiver can do, as a yardstick for quellor and dorvane:
//   bare_loop send FILE ADDRESS PORT [BLOCK]
//                                      read BLOCK-byte blocks (1024), prepend a 28-byte header,
//                                      sendto
//   bare_loop recv ADDRESS PORT FILE   recvfrom, check the sender address, write the payload
// The receiver runs until it is stopped by a signal.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int send_file(const char* path, const char* address, int port, std::size_t block) {
    int in = open(path, O_RDONLY);
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = inet_addr(address);
    unsigned char packet[1464] = {'V', 'B', 'A', 'N', 16, 255, 1, 1, 'S'};
    std::uint32_t counter = 0;
    for (;;) {
        ssize_t got = read(in, packet + 28, block);
        if (got <= 0) {
            break;
        }
        ++counter;
        std::memcpy(packet + 24, &counter, 4);
        if (sendto(fd, packet, 28 + static_cast<std::size_t>(got), 0,
                   reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            std::perror("sendto");
            return 1;
        }
    }
    return 0;
}

int receive_to_file(const char* address, int port, const char* path) {
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    // The same receive buffer as dorvane asks for, so that both meet bursts alike.
    int buffer_size = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        return 1;
    }
    in_addr_t accepted = inet_addr(address);
    unsigned char packet[1464];
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t got =
            recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) {
            return 1;
        }
        if (from.sin_addr.s_addr != accepted || got <= 28) {
            continue;
        }
        if (write(out, packet + 28, static_cast<std::size_t>(got) - 28) < 0) {
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "send") == 0) {
        long block = argc == 6 ? std::atol(argv[5]) : 1024;
        if (block < 1 || block > 1436) {
            return 2;
        }
        return send_file(argv[2], argv[3], std::atoi(argv[4]), static_cast<std::size_t>(block));
    }
    if (argc == 5 && std::strcmp(argv[1], "recv") == 0) {
        return receive_to_file(argv[2], std::atoi(argv[3]), argv[4]);
    }
    std::fprintf(stderr, "usage: %s send FILE ADDRESS PORT [BLOCK] | recv ADDRESS PORT FILE\n",
                 argv[0]);
    return 2;
}
