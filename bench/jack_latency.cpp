// SPDX-License-Identifier: MIT
// jack_latency PORT CLIENT SECONDS
// Plays a stereo 16I stream at 48 kHz (256 frames a datagram, on absolute deadlines) to a
// dorvane listening on 127.0.0.1:PORT with the JACK backend, records dorvane's port
// CLIENT:playback_1 with a JACK client of its own, and measures, for clicks sent now and then,
// the time from a datagram's send (its arrival, on loopback) to the cycle in which its first
// sample leaves dorvane's ring buffer. Prints "latency_ms=<median of the first five>
// clicks=<n>".

#include <arpa/inet.h>
#include <jack/jack.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

jack_client_t* client = nullptr;
jack_port_t* input = nullptr;
std::atomic<jack_time_t> click_sent{0};  // 0: no click under way
std::atomic<jack_time_t> click_heard{0};

int on_cycle(jack_nframes_t frames, void*) {
    const auto* samples = static_cast<const float*>(jack_port_get_buffer(input, frames));
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

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT CLIENT SECONDS\n", argv[0]);
        return 2;
    }
    int port = std::atoi(argv[1]);
    std::string source = std::string(argv[2]) + ":playback_1";
    double seconds = std::atof(argv[3]);

    client = jack_client_open("latency_probe", JackNoStartServer, nullptr);
    if (client == nullptr) {
        std::fprintf(stderr, "no JACK server\n");
        return 1;
    }
    input = jack_port_register(client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, on_cycle, nullptr);
    if (input == nullptr || jack_activate(client) != 0) {
        return 1;
    }

    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

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
            connected = jack_connect(client, source.c_str(), jack_port_name(input)) == 0 ||
                        jack_port_connected_to(input, source.c_str());
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
