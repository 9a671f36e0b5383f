// SPDX-License-Identifier: MIT
// udp_listen ADDRESS PORT SECONDS -- COMMAND [ARGS]...
// Binds a UDP socket, runs COMMAND once the socket is ready, and prints a hex dump of the first
// datagram that arrives within SECONDS. Exits 0 when one arrived, 1 otherwise.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc < 6 || std::strcmp(argv[4], "--") != 0) {
        std::fprintf(stderr, "usage: %s ADDRESS PORT SECONDS -- COMMAND [ARGS]...\n", argv[0]);
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (fd < 0 || inet_pton(AF_INET, argv[1], &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("udp_listen: bind");
        return 2;
    }
    std::printf("listening on %s:%s\n", argv[1], argv[2]);
    std::fflush(stdout);

    pid_t child = fork();
    if (child == 0) {
        close(fd);
        execvp(argv[5], argv + 5);
        std::perror("udp_listen: exec");
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::printf("%s exited with status %d\n", argv[5],
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);

    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, std::atoi(argv[3]) * 1000) <= 0) {
        std::printf("no datagram arrived\n");
        return 1;
    }
    unsigned char data[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = recvfrom(fd, data, sizeof data, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
        std::perror("udp_listen: recvfrom");
        return 1;
    }
    char sender[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
    std::printf("received %zd bytes from %s:\n", n, sender);
    for (ssize_t row = 0; row < n; row += 16) {
        std::printf("%04zx ", row);
        for (ssize_t i = row; i < row + 16; ++i) {
            if (i < n) {
                std::printf(" %02x", data[i]);
            } else {
                std::printf("   ");
            }
        }
        std::printf("  |");
        for (ssize_t i = row; i < row + 16 && i < n; ++i) {
            std::putchar(std::isprint(data[i]) ? data[i] : '.');
        }
        std::printf("|\n");
    }
    return 0;
}
