// SPDX-License-Identifier: MIT
// The least a VBAN sender or receiver can do, as a yardstick for quellor and dorvane, and a
// paced sender for them both:
//   bare_loop send FILE ADDRESS PORT [BLOCK]
//                                      read BLOCK-byte blocks (1024), prepend a 28-byte header,
//                                      sendto
//   bare_loop recv ADDRESS PORT FILE   recvfrom, check the sender address, write the payload
//   bare_loop pace FILE ADDRESS PORT RATE BURST COUNT [OUTPUT]
//                                      COUNT packets of a stereo 16I stream, their 1024-byte
//                                      payloads FILE's blocks over and over, RATE datagrams a
//                                      second on absolute deadlines,
//                                      BURST at a time (as a sender whose capture delivers a
//                                      period at a time sends them: as quellor does); with
//                                      OUTPUT, a FIFO that a receiver writes the payloads into,
//                                      prints the latency from each burst's send to its last
//                                      byte read there: "latency_us=<median> max_us=<max>"
// The receiver runs until it is stopped by a signal.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/udp_socket.hpp"

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

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// Reads `bytes` from the FIFO at `path`, noting when each `burst_bytes` have all come.
void read_bursts(const char* path, std::size_t bytes, std::size_t burst_bytes,
                 std::vector<std::int64_t>* read_ns) {
    int in = open(path, O_RDONLY);
    std::vector<char> buffer(1 << 16);
    std::size_t done = 0;
    while (in >= 0 && done < bytes) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        const std::int64_t now = monotonic_ns();
        for (std::size_t k = done / burst_bytes; k < (done + got) / burst_bytes; ++k) {
            (*read_ns)[k] = now;
        }
        done += static_cast<std::size_t>(got);
    }
    close(in);
}

int pace(const char* path, const char* address, int port, double rate, std::size_t burst,
         std::size_t count, const char* output) {
    constexpr std::size_t block = 1024;
    constexpr std::size_t size = 28 + block;
    std::vector<unsigned char> payloads;
    int in = open(path, O_RDONLY);
    for (char chunk[1 << 16];;) {
        ssize_t got = in >= 0 ? read(in, chunk, sizeof chunk) : -1;
        if (got <= 0) {
            break;
        }
        payloads.insert(payloads.end(), chunk, chunk + got);
    }
    const std::size_t blocks = payloads.size() / block;
    const std::size_t bursts = count / burst;
    if (blocks == 0 || bursts == 0 || burst * size > 65507) {
        return 2;
    }
    // Bursts leave as quellor sends them.
    socket_config config{SOCKET_DIRECTION_OUT, {}, static_cast<std::uint16_t>(port)};
    std::strncpy(config.ip_address, address, sizeof config.ip_address - 1);
    socket_handle* socket = nullptr;
    if (socket_init(&socket, &config) != 0) {
        return 1;
    }
    // 44100 Hz, stereo 16I, 256 frames, stream "S": what every receiver here takes.
    std::vector<unsigned char> packets(burst * size);
    const unsigned char header[9] = {'V', 'B', 'A', 'N', 16, 255, 1, 1, 'S'};
    std::vector<std::int64_t> sent_ns(bursts), read_ns(bursts);
    std::thread reader;
    if (output != nullptr) {
        reader = std::thread(read_bursts, output, bursts * burst * block, burst * block, &read_ns);
    }
    const auto step_ns = static_cast<std::int64_t>(1e9 * static_cast<double>(burst) / rate);
    // Time for the receiver to take its output, the FIFO the reader has just opened.
    std::int64_t deadline = monotonic_ns() + 500'000'000;
    std::uint32_t counter = 0;
    for (std::size_t b = 0; b < bursts; ++b) {
        for (std::size_t i = 0; i < burst; ++i) {
            unsigned char* packet = packets.data() + i * size;
            std::memcpy(packet, header, sizeof header);
            ++counter;
            std::memcpy(packet + 24, &counter, 4);
            std::memcpy(packet + 28, payloads.data() + ((b * burst + i) % blocks) * block, block);
        }
        const timespec wake{static_cast<time_t>(deadline / 1'000'000'000),
                            static_cast<long>(deadline % 1'000'000'000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        deadline += step_ns;
        sent_ns[b] = monotonic_ns();
        if (socket_write_burst(socket, packets.data(), size, burst, size) !=
            static_cast<std::int32_t>(burst)) {
            return 1;
        }
    }
    if (output == nullptr) {
        return 0;
    }
    reader.join();
    std::vector<std::int64_t> latency;
    for (std::size_t b = 0; b < bursts; ++b) {
        if (read_ns[b] != 0) {
            latency.push_back(read_ns[b] - sent_ns[b]);
        }
    }
    if (latency.size() != bursts) {
        std::fprintf(stderr, "pace: %zu of %zu bursts came back\n", latency.size(), bursts);
        return 1;
    }
    std::sort(latency.begin(), latency.end());
    std::printf("latency_us=%.1f max_us=%.1f\n", latency[latency.size() / 2] / 1e3,
                latency.back() / 1e3);
    return 0;
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
    if ((argc == 8 || argc == 9) && std::strcmp(argv[1], "pace") == 0) {
        return pace(argv[2], argv[3], std::atoi(argv[4]), std::atof(argv[5]),
                    static_cast<std::size_t>(std::max(1, std::atoi(argv[6]))),
                    static_cast<std::size_t>(std::max(0L, std::atol(argv[7]))),
                    argc == 9 ? argv[8] : nullptr);
    }
    std::fprintf(stderr,
                 "usage: %s send FILE ADDRESS PORT [BLOCK] | recv ADDRESS PORT FILE | pace FILE "
                 "ADDRESS PORT RATE BURST COUNT [OUTPUT]\n",
                 argv[0]);
    return 2;
}
