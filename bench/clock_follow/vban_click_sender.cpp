// SPDX-License-Identifier: MIT
// vban_click_sender IP PORT STREAMNAME CLICK_LOG [DEST_PORT_1 DEST_PORT_2]
//
// A JACK client for the sender's server of the clock-following benchmark. Each process cycle
// it makes two channels: on channel 1 a click every 100 ms of this server's time (4800 frames
// at 48 kHz), on channel 2 a continuous 997 Hz sine at -6 dBFS. It writes them to its ports
// out_1 and out_2 (connected to DEST_PORT_1 and DEST_PORT_2, zita-j2n's inputs, when given)
// and, in the same callback, sends the very same samples as VBAN 16I packets of 256 frames to
// IP:PORT. The port samples are the 16-bit values divided by 32768, so a sender of 16-bit
// samples (zita-j2n --16bit) carries the same information as the VBAN packets.
//
// Clicks are short raised-cosine pulses (8 samples, well inside the audio band, so that a
// resampler keeps their height) whose sign and height tell the click's number modulo 4:
// +0.5, -0.5, +0.8, -0.8. For every click, CLICK_LOG gets a line
// "index sender_frame jack_frame boottime_ns woke_ns": the click's first frame and its true
// time (CLOCK_BOOTTIME), interpolated inside the cycle from the JACK cycle times (the server's
// smoothed clock), and again from the moment this callback woke (which a stall or an xrun of
// the server cannot mislead for long, as it does the smoothed clock). Ends on SIGINT or
// SIGTERM.

#include <arpa/inet.h>
#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "bench/clock_follow/true_time.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t channels = 2;
constexpr std::size_t packet_frames = 256;
constexpr std::uint64_t click_every = rate / 10;
constexpr std::size_t pulse_length = 8;
constexpr double sine_hz = 997.0;
constexpr double sine_amplitude = 0.5;  // -6 dBFS
constexpr std::array<double, 4> click_heights = {0.5, -0.5, 0.8, -0.8};

struct click_record {
    std::uint64_t index;
    std::uint64_t sender_frame;
    std::uint64_t jack_frame;
    long double boottime_ns;
    long double woke_ns;
};

struct sender {
    jack_client_t* client = nullptr;
    std::array<jack_port_t*, channels> ports{};
    jack_ringbuffer_t* clicks = nullptr;
    clock_follow::true_clock clock;
    int socket = -1;
    sockaddr_in to{};
    std::array<unsigned char, VBAN_HEADER_SIZE + packet_frames * channels * 2> packet{};
    std::size_t packet_fill = 0;  // frames in the packet being made
    std::uint64_t frame = 0;      // frames made since the start
    std::atomic<std::uint64_t> send_errors{0};
    std::atomic<std::uint64_t> lost_clicks{0};
};

std::atomic<bool> stop{false};

void on_signal(int) {
    stop.store(true);
}

std::int16_t to_16i(double x) {
    return static_cast<std::int16_t>(std::lround(std::clamp(x, -1.0, 32767.0 / 32768.0) * 32768.0));
}

double pulse(std::uint64_t offset, std::uint64_t index) {
    const double shape =
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(offset) + 0.5) /
                             static_cast<double>(pulse_length));
    return click_heights[index % click_heights.size()] * shape;
}

int on_cycle(jack_nframes_t frames, void* arg) {
    auto* s = static_cast<sender*>(arg);
    const long double woke = clock_follow::true_clock::boottime_now();
    jack_nframes_t cycle_frame = 0;
    jack_time_t cycle_usecs = 0;
    jack_time_t next_usecs = 0;
    float period_usecs = 0;
    jack_get_cycle_times(s->client, &cycle_frame, &cycle_usecs, &next_usecs, &period_usecs);
    auto* out_click = static_cast<float*>(jack_port_get_buffer(s->ports[0], frames));
    auto* out_sine = static_cast<float*>(jack_port_get_buffer(s->ports[1], frames));
    auto* samples = reinterpret_cast<std::int16_t*>(s->packet.data() + VBAN_HEADER_SIZE);
    for (jack_nframes_t i = 0; i < frames; ++i, ++s->frame) {
        const std::uint64_t index = s->frame / click_every;
        const std::uint64_t offset = s->frame % click_every;
        const double click = offset < pulse_length ? pulse(offset, index) : 0.0;
        // The phase from the frame number in long double: no drift from summing increments.
        const long double cycles = static_cast<long double>(s->frame) * sine_hz / rate;
        const double phase = static_cast<double>(cycles - std::floor(cycles));
        const double sine = sine_amplitude * std::sin(2.0 * std::numbers::pi * phase);
        const std::int16_t q_click = to_16i(click);
        const std::int16_t q_sine = to_16i(sine);
        out_click[i] = static_cast<float>(q_click) / 32768.0f;
        out_sine[i] = static_cast<float>(q_sine) / 32768.0f;
        samples[s->packet_fill * channels] = q_click;
        samples[s->packet_fill * channels + 1] = q_sine;
        if (offset == 0) {
            const long double usecs = static_cast<long double>(cycle_usecs) +
                                      static_cast<long double>(next_usecs - cycle_usecs) * i /
                                          static_cast<long double>(frames);
            const click_record record{index, s->frame, std::uint64_t{cycle_frame} + i,
                                      s->clock.boottime_ns(usecs),
                                      woke + i * s->clock.frame_ns(rate)};
            if (jack_ringbuffer_write_space(s->clicks) < sizeof record) {
                s->lost_clicks.fetch_add(1, std::memory_order_relaxed);
            } else {
                jack_ringbuffer_write(s->clicks, reinterpret_cast<const char*>(&record),
                                      sizeof record);
            }
        }
        if (++s->packet_fill == packet_frames) {
            s->packet_fill = 0;
            if (packet_set_new_content(s->packet.data(), packet_frames * channels * 2) < 0 ||
                sendto(s->socket, s->packet.data(), s->packet.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&s->to), sizeof s->to) < 0) {
                s->send_errors.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
    return 0;
}

void drain(sender& s, std::FILE* log) {
    click_record record{};
    while (jack_ringbuffer_read_space(s.clicks) >= sizeof record) {
        jack_ringbuffer_read(s.clicks, reinterpret_cast<char*>(&record), sizeof record);
        std::fprintf(log, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %.0Lf %.0Lf\n", record.index,
                     record.sender_frame, record.jack_frame, record.boottime_ns, record.woke_ns);
    }
    std::fflush(log);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: %s IP PORT STREAMNAME CLICK_LOG [DEST_PORT_1 DEST_PORT_2]\n",
                     argv[0]);
        return 2;
    }
    static sender s;  // static: JACK's thread may still hold it while main returns
    s.to.sin_family = AF_INET;
    s.to.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &s.to.sin_addr) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    const stream_config config{channels, rate, BIT_FMT_16I};
    if (packet_init_header(s.packet.data(), &config, argv[3]) < 0) {
        std::fprintf(stderr, "cannot make a header for stream '%s'\n", argv[3]);
        return 2;
    }
    std::FILE* log = std::fopen(argv[4], "w");
    s.socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    s.clicks = jack_ringbuffer_create(4096 * sizeof(click_record));
    if (log == nullptr || s.socket < 0 || s.clicks == nullptr) {
        std::perror("vban_click_sender: set-up");
        return 1;
    }
    jack_ringbuffer_mlock(s.clicks);
    s.client = jack_client_open("click_sender", JackNoStartServer, nullptr);
    if (s.client == nullptr) {
        std::fprintf(stderr, "vban_click_sender: no JACK server\n");
        return 1;
    }
    if (jack_get_sample_rate(s.client) != rate) {
        std::fprintf(stderr, "vban_click_sender: the server runs at %u Hz, not %u\n",
                     jack_get_sample_rate(s.client), rate);
        return 1;
    }
    s.ports[0] =
        jack_port_register(s.client, "out_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    s.ports[1] =
        jack_port_register(s.client, "out_2", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(s.client, on_cycle, &s);
    if (s.ports[0] == nullptr || s.ports[1] == nullptr || jack_activate(s.client) != 0) {
        std::fprintf(stderr, "vban_click_sender: cannot register or activate\n");
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    if (argc == 7) {
        for (std::size_t k = 0; k < channels; ++k) {
            if (jack_connect(s.client, jack_port_name(s.ports[k]), argv[5 + k]) != 0) {
                std::fprintf(stderr, "vban_click_sender: cannot connect to %s\n", argv[5 + k]);
            }
        }
    }
    while (!stop.load()) {
        drain(s, log);
        usleep(50000);
    }
    jack_deactivate(s.client);
    drain(s, log);
    std::fclose(log);
    std::fprintf(stderr,
                 "vban_click_sender: %" PRIu64 " frames, %" PRIu64 " send errors, %" PRIu64
                 " clicks not logged\n",
                 s.frame, s.send_errors.load(), s.lost_clicks.load());
    jack_client_close(s.client);
    return 0;
}
