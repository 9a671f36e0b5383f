// SPDX-License-Identifier: MIT
// jack_capture_latency PORT CLIENT SECONDS
// Plays clicks into CLIENT:capture_1 (a quellor capturing from JACK, sending stereo 16I to
// 127.0.0.1:PORT) and measures, for each click, the time from its capture to the arrival of
// the datagram that carries it. A click is one sample at a random place of a cycle; its
// capture is the moment a sound card would have taken that sample, one period before the
// cycle that hands it over. Prints "median_ms=<..> max_ms=<..> bound_ms=<..> clicks=<n>",
// where the bound is one period plus one packet (256 frames).

#include <arpa/inet.h>
#include <jack/jack.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

jack_client_t* client = nullptr;
jack_port_t* output = nullptr;
std::atomic<bool> click_wanted{false};
std::atomic<jack_time_t> click_captured{0};  // 0: no click under way
std::atomic<std::uint32_t> click_offset{0};  // where in the next cycle

int on_cycle(jack_nframes_t frames, void*) {
    auto* samples = static_cast<float*>(jack_port_get_buffer(output, frames));
    std::fill_n(samples, frames, 0.0f);
    if (click_wanted.exchange(false, std::memory_order_acq_rel)) {
        const std::uint32_t at = click_offset.load(std::memory_order_relaxed) % frames;
        samples[at] = 1.0f;
        const jack_nframes_t cycle = jack_last_frame_time(client);
        click_captured.store(jack_frames_to_time(client, cycle + at) -
                                 jack_frames_to_time(client, cycle + frames) +
                                 jack_frames_to_time(client, cycle),
                             std::memory_order_release);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT CLIENT SECONDS\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string target = std::string(argv[2]) + ":capture_1";
    const double seconds = std::atof(argv[3]);

    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "cannot bind port %d\n", port);
        return 1;
    }
    client = jack_client_open("capture_probe", JackNoStartServer, nullptr);
    if (client == nullptr) {
        std::fprintf(stderr, "no JACK server\n");
        return 1;
    }
    output = jack_port_register(client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client, on_cycle, nullptr);
    if (output == nullptr || jack_activate(client) != 0) {
        return 1;
    }
    const double period_ms = 1000.0 * jack_get_buffer_size(client) / jack_get_sample_rate(client);
    const double packet_ms = 1000.0 * 256 / jack_get_sample_rate(client);

    std::mt19937 random(1);
    std::vector<double> latencies;
    bool connected = false;
    const jack_time_t end = jack_get_time() + static_cast<jack_time_t>(seconds * 1e6);
    jack_time_t next_click = 0;
    std::uint8_t datagram[1500];
    while (jack_get_time() < end) {
        if (!connected) {
            connected = jack_connect(client, jack_port_name(output), target.c_str()) == 0 ||
                        jack_port_connected_to(output, target.c_str());
            next_click = jack_get_time() + 500000;
        }
        // A click every half second, once the previous one has come back (or was lost).
        if (connected && jack_get_time() >= next_click) {
            click_captured.store(0, std::memory_order_relaxed);
            click_offset.store(static_cast<std::uint32_t>(random()), std::memory_order_relaxed);
            click_wanted.store(true, std::memory_order_release);
            next_click = jack_get_time() + 500000;
        }
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 10) <= 0) {
            continue;
        }
        const ssize_t size = recv(fd, datagram, sizeof datagram, 0);
        const jack_time_t arrived = jack_get_time();
        const jack_time_t captured = click_captured.load(std::memory_order_acquire);
        // A datagram older than the click under way (or one that carries an earlier click) is
        // not timed against it.
        if (size <= 28 || captured == 0 || arrived < captured) {
            continue;
        }
        for (ssize_t at = 28; at + 2 <= size; at += 4) {  // channel 1 of stereo 16I
            std::int16_t v;
            std::memcpy(&v, datagram + at, 2);
            if (v > 16384) {
                latencies.push_back(static_cast<double>(arrived - captured) / 1000.0);
                click_captured.store(0, std::memory_order_relaxed);
                break;
            }
        }
    }
    jack_client_close(client);
    close(fd);
    if (latencies.empty()) {
        std::printf("clicks=0\n");
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("median_ms=%.2f max_ms=%.2f bound_ms=%.2f clicks=%zu\n",
                latencies[latencies.size() / 2], latencies.back(), period_ms + packet_ms,
                latencies.size());
    return 0;
}
