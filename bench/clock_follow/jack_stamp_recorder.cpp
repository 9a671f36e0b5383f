// SPDX-License-Identifier: MIT
// jack_stamp_recorder OUTDIR SOURCE_PORT...
//
// A JACK client for the receiver's server of the clock-following benchmark: one input port
// per SOURCE_PORT (in_1, in_2, ...), connected to it as soon as it exists (dorvane makes its
// ports only when the first packet comes), and every cycle recorded with its true time.
// OUTDIR/audio.f32 gets the samples, interleaved float32 in the order of the SOURCE_PORTs;
// OUTDIR/cycles.txt one line a cycle, "first_sample jack_frame frames start_ns next_ns
// woke_ns": the index of the cycle's first frame in audio.f32, the JACK frame time, the frame
// count, the true times (CLOCK_BOOTTIME, ns) of this cycle's start and the next one's from the
// JACK cycle times (the server's smoothed clock), and the true time this callback woke (which
// a stall of the server cannot mislead, as it does the smoothed clock for seconds). Ends on SIGINT
// or SIGTERM, and says on standard error whether anything was lost between the process thread and
// the writer.

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/clock_follow/true_time.hpp"

namespace {

constexpr std::size_t max_ports = 8;
constexpr std::size_t max_frames = 8192;  // per cycle

struct cycle_record {
    std::uint64_t first_sample;
    std::uint64_t jack_frame;
    std::uint32_t frames;
    long double start_ns;
    long double next_ns;
    long double woke_ns;
};

struct recorder {
    jack_client_t* client = nullptr;
    std::vector<jack_port_t*> ports;
    jack_ringbuffer_t* audio = nullptr;
    jack_ringbuffer_t* cycles = nullptr;
    clock_follow::true_clock clock;
    std::vector<float> interleaved;  // one cycle, sized before activation
    std::uint64_t written = 0;       // frames put into `audio`
    std::atomic<std::uint64_t> lost_cycles{0};
};

std::atomic<bool> stop{false};

void on_signal(int) {
    stop.store(true);
}

int on_cycle(jack_nframes_t frames, void* arg) {
    auto* r = static_cast<recorder*>(arg);
    const long double woke = clock_follow::true_clock::boottime_now();
    const std::size_t n = r->ports.size();
    const std::size_t bytes = std::size_t{frames} * n * sizeof(float);
    if (frames > max_frames || jack_ringbuffer_write_space(r->audio) < bytes ||
        jack_ringbuffer_write_space(r->cycles) < sizeof(cycle_record)) {
        r->lost_cycles.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    jack_nframes_t cycle_frame = 0;
    jack_time_t cycle_usecs = 0;
    jack_time_t next_usecs = 0;
    float period_usecs = 0;
    jack_get_cycle_times(r->client, &cycle_frame, &cycle_usecs, &next_usecs, &period_usecs);
    for (std::size_t k = 0; k < n; ++k) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(r->ports[k], frames));
        for (jack_nframes_t i = 0; i < frames; ++i) {
            r->interleaved[i * n + k] = in[i];
        }
    }
    jack_ringbuffer_write(r->audio, reinterpret_cast<const char*>(r->interleaved.data()), bytes);
    const cycle_record record{r->written,
                              cycle_frame,
                              frames,
                              r->clock.boottime_ns(static_cast<long double>(cycle_usecs)),
                              r->clock.boottime_ns(static_cast<long double>(next_usecs)),
                              woke};
    jack_ringbuffer_write(r->cycles, reinterpret_cast<const char*>(&record), sizeof record);
    r->written += frames;
    return 0;
}

void drain(recorder& r, std::FILE* audio, std::FILE* cycles) {
    std::array<char, 65536> chunk{};
    const std::size_t frame_bytes = r.ports.size() * sizeof(float);
    // Only whole cycles' worth is ever in the ring, so a bounded read keeps frames whole.
    for (std::size_t space = jack_ringbuffer_read_space(r.audio); space > 0;) {
        const std::size_t take = std::min(space, chunk.size() / frame_bytes * frame_bytes);
        jack_ringbuffer_read(r.audio, chunk.data(), take);
        std::fwrite(chunk.data(), 1, take, audio);
        space -= take;
    }
    cycle_record record{};
    while (jack_ringbuffer_read_space(r.cycles) >= sizeof record) {
        jack_ringbuffer_read(r.cycles, reinterpret_cast<char*>(&record), sizeof record);
        std::fprintf(cycles, "%" PRIu64 " %" PRIu64 " %u %.0Lf %.0Lf %.0Lf\n", record.first_sample,
                     record.jack_frame, record.frames, record.start_ns, record.next_ns,
                     record.woke_ns);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || static_cast<std::size_t>(argc - 2) > max_ports) {
        std::fprintf(stderr, "usage: %s OUTDIR [SOURCE_PORT]... (at most %zu)\n", argv[0],
                     max_ports);
        return 2;
    }
    static recorder r;
    const std::string dir = argv[1];
    std::FILE* audio = std::fopen((dir + "/audio.f32").c_str(), "wb");
    std::FILE* cycles = std::fopen((dir + "/cycles.txt").c_str(), "w");
    const std::size_t n = static_cast<std::size_t>(argc - 2);
    // Eight seconds of every channel and of cycle records: room for a writer held up by the disk.
    r.audio = jack_ringbuffer_create(8 * 48000 * std::max<std::size_t>(n, 1) * sizeof(float));
    r.cycles = jack_ringbuffer_create(8 * 48000 / 16 * sizeof(cycle_record));
    if (audio == nullptr || cycles == nullptr || r.audio == nullptr || r.cycles == nullptr) {
        std::perror("jack_stamp_recorder: set-up");
        return 1;
    }
    jack_ringbuffer_mlock(r.audio);
    jack_ringbuffer_mlock(r.cycles);
    r.interleaved.assign(max_frames * std::max<std::size_t>(n, 1), 0.0f);
    r.client = jack_client_open("stamp_recorder", JackNoStartServer, nullptr);
    if (r.client == nullptr) {
        std::fprintf(stderr, "jack_stamp_recorder: no JACK server\n");
        return 1;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const std::string name = "in_" + std::to_string(k + 1);
        r.ports.push_back(jack_port_register(r.client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                             JackPortIsInput, 0));
        if (r.ports.back() == nullptr) {
            std::fprintf(stderr, "jack_stamp_recorder: cannot register %s\n", name.c_str());
            return 1;
        }
    }
    jack_set_process_callback(r.client, on_cycle, &r);
    if (jack_activate(r.client) != 0) {
        std::fprintf(stderr, "jack_stamp_recorder: cannot activate\n");
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::vector<bool> connected(n, false);
    while (!stop.load()) {
        for (std::size_t k = 0; k < n; ++k) {
            if (!connected[k] && jack_port_by_name(r.client, argv[2 + k]) != nullptr) {
                connected[k] = jack_connect(r.client, argv[2 + k], jack_port_name(r.ports[k])) == 0;
                if (connected[k]) {
                    std::fprintf(stderr, "jack_stamp_recorder: %s connected\n", argv[2 + k]);
                }
            }
        }
        drain(r, audio, cycles);
        usleep(50000);
    }
    jack_deactivate(r.client);
    drain(r, audio, cycles);
    std::fclose(audio);
    std::fclose(cycles);
    std::fprintf(stderr, "jack_stamp_recorder: %" PRIu64 " frames, %" PRIu64 " cycles lost\n",
                 r.written, r.lost_cycles.load());
    jack_client_close(r.client);
    return r.lost_cycles.load() == 0 ? 0 : 3;
}
