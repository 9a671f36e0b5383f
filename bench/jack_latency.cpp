// SPDX-License-Identifier: MIT
// jack_latency PORT CLIENT SECONDS
// Plays a stereo 16I stream at 48 kHz (256 frames a datagram, on absolute deadlines) to a
// dorvane listening on 127.0.0.1:PORT with the JACK backend, records dorvane's port
// CLIENT:playback_1 with a JACK client of its own, and measures, for clicks sent now and then,
// the time from a datagram's send (its arrival, on loopback) to the cycle in which its first
// sample leaves dorvane's ring buffer. Prints "latency_ms=<median of the first five>
// clicks=<n>".
//
// jack_latency --capture PORT CLIENT SECONDS
// Plays clicks into CLIENT:capture_1 (a quellor capturing from JACK, sending stereo 16I to
// 127.0.0.1:PORT) and measures, for each click, the time from its capture to the arrival of
// the datagram that carries it. A click is one sample at a random place of a cycle; its
// capture is the moment a sound card would have taken that sample, one period before the
// cycle that hands it over. Prints "median_ms=<..> max_ms=<..> bound_ms=<..> clicks=<n>
// late=<n>", where the bound is one period plus one packet (256 frames) and late counts the
// clicks over it.

#include <arpa/inet.h>
#include <jack/jack.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
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
jack_port_t* port = nullptr;
std::atomic<jack_time_t> click_sent{0};  // 0: no click under way
std::atomic<jack_time_t> click_heard{0};
std::atomic<bool> click_wanted{false};
std::atomic<jack_time_t> click_captured{0};  // 0: no click under way
std::atomic<std::uint32_t> click_offset{0};  // where in the next cycle

int on_playback_cycle(jack_nframes_t frames, void*) {
    const auto* samples = static_cast<const float*>(jack_port_get_buffer(port, frames));
    if (click_sent.load(std::memory_order_acquire) == 0 ||
        click_heard.load(std::memory_order_relaxed) != 0) {
        return 0;
    }
    for (jack_nframes_t i = 0; i < frames; ++i) {
        if (samples[i] > 0.25f) {
            // The cycle's start: the time at which the cycle took the sample from the ring.
            click_heard.store(jack_frames_to_time(client, jack_last_frame_time(client)),
                              std::memory_order_release);
            break;
        }
    }
    return 0;
}

int on_capture_cycle(jack_nframes_t frames, void*) {
    auto* samples = static_cast<float*>(jack_port_get_buffer(port, frames));
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

// The probe's own client, with one port, running `cycle`.
bool start_client(unsigned long flags, JackProcessCallback cycle) {
    client = jack_client_open("latency_probe", JackNoStartServer, nullptr);
    if (client == nullptr) {
        std::fprintf(stderr, "no JACK server\n");
        return false;
    }
    port = jack_port_register(client, flags == JackPortIsInput ? "in" : "out",
                              JACK_DEFAULT_AUDIO_TYPE, flags, 0);
    jack_set_process_callback(client, cycle, nullptr);
    return port != nullptr && jack_activate(client) == 0;
}

// A UDP socket on 127.0.0.1:`port_number` (bound to it when `bound`), and that address.
int loopback_socket(int port_number, bool bound, sockaddr_in* address) {
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<std::uint16_t>(port_number));
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && bound && bind(fd, reinterpret_cast<sockaddr*>(address), sizeof *address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string packet(bool click, std::uint32_t counter) {
    std::string datagram = "VBAN";
    datagram += static_cast<char>(3);    // 48000 Hz
    datagram += static_cast<char>(255);  // 256 frames
    datagram += static_cast<char>(1);    // 2 channels
    datagram += static_cast<char>(1);    // 16I
    std::string name = "Bench";
    name.resize(16, '\0');
    datagram += name;
    datagram.append(reinterpret_cast<const char*>(&counter), 4);
    std::string samples(1024, '\0');
    if (click) {
        samples[0] = 0x00;
        samples[1] = 0x60;  // 24576 / 32768 = 0.75 on channel 1
    }
    return datagram + samples;
}

// Times dorvane's playback (see the top).
int measure_playback(int port_number, const std::string& client_name, double seconds) {
    const std::string source = client_name + ":playback_1";
    if (!start_client(JackPortIsInput, on_playback_cycle)) {
        return 1;
    }
    sockaddr_in to{};
    const int fd = loopback_socket(port_number, false, &to);

    const long period_ns = 256L * 1000000000L / 48000;
    const long total = static_cast<long>(seconds * 48000 / 256);
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    bool connected = false;
    std::vector<double> latencies;
    long click_n = 0;
    for (long n = 0; n < total; ++n) {
        // A click that was not heard within 96 datagrams was dropped (a receiver trims the
        // backlog of its start): another one goes.
        if (click_sent.load() != 0 && click_heard.load() == 0 && n - click_n > 96) {
            click_sent.store(0);
        }
        // A click every 96 datagrams (about half a second), once the ports are connected and
        // the previous click was heard.
        bool click = connected && n % 96 == 0 && click_sent.load() == 0;
        std::string datagram = packet(click, static_cast<std::uint32_t>(n + 1));
        if (click) {
            click_n = n;
            click_heard.store(0);
            click_sent.store(jack_get_time(), std::memory_order_release);
        }
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
        if (!connected && n % 16 == 0) {
            connected = jack_connect(client, source.c_str(), jack_port_name(port)) == 0 ||
                        jack_port_connected_to(port, source.c_str());
        }
        jack_time_t heard = click_heard.load(std::memory_order_acquire);
        if (heard != 0) {
            latencies.push_back(static_cast<double>(heard - click_sent.load()) / 1000.0);

            click_heard.store(0);
            click_sent.store(0);
        }
        next.tv_nsec += period_ns;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            next.tv_sec += 1;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    jack_client_close(client);
    // The first clicks only: over a long run the difference between this program's clock and
    // the JACK driver's moves the level of the ring buffer, which no part of the stream
    // corrects, and that drift is not the latency dorvane adds.
    if (latencies.size() > 5) {
        latencies.resize(5);
    }
    std::sort(latencies.begin(), latencies.end());
    double median = latencies.empty() ? -1 : latencies[latencies.size() / 2];
    std::printf("latency_ms=%.2f clicks=%zu\n", median, latencies.size());
    return latencies.empty() ? 1 : 0;
}

// Times quellor's capture (see the top).
int measure_capture(int port_number, const std::string& client_name, double seconds) {
    sockaddr_in address{};
    const int fd = loopback_socket(port_number, true, &address);
    if (fd < 0) {
        std::fprintf(stderr, "cannot bind port %d\n", port_number);
        return 1;
    }
    const std::string target = client_name + ":capture_1";
    if (!start_client(JackPortIsOutput, on_capture_cycle)) {
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
            connected = jack_connect(client, jack_port_name(port), target.c_str()) == 0 ||
                        jack_port_connected_to(port, target.c_str());
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
    const double bound = period_ms + packet_ms;
    const auto late = std::count_if(latencies.begin(), latencies.end(),
                                    [bound](double latency) { return latency > bound; });
    std::printf("median_ms=%.2f max_ms=%.2f bound_ms=%.2f clicks=%zu late=%td\n",
                latencies[latencies.size() / 2], latencies.back(), bound, latencies.size(), late);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool capture = argc == 5 && std::strcmp(argv[1], "--capture") == 0;
    if (argc != 4 && !capture) {
        std::fprintf(stderr, "usage: %s [--capture] PORT CLIENT SECONDS\n", argv[0]);
        return 2;
    }
    char** args = argv + (capture ? 2 : 1);
    const int port_number = std::atoi(args[0]);
    const double seconds = std::atof(args[2]);
    return capture ? measure_capture(port_number, args[1], seconds)
                   : measure_playback(port_number, args[1], seconds);
}
