// SPDX-License-Identifier: MIT
// pulse_api_bench simple|async SECONDS [TARGET_MS [SINK]]
// Plays a stereo 16I tone at 48 kHz into a PulseAudio sink (the default, or SINK) through the
// playout, as dorvane does, in 240-frame packets on absolute deadlines, with the output on one
// of libpulse's two interfaces: "simple" (pa_simple: blocking writes, its latency query) or
// "async" (the pulse backend: a threaded main loop, writes into the server's memory blocks, the
// fill reckoned from timing updates, a start threshold and underflow reports). Prints what the
// choice between them rests on: the latency held (the playout's L, from 10 s on), the CPU time
// of the whole process (libpulse's thread included) per minute of audio, the time of one
// packet's output calls, underruns, and heap allocations per packet in all threads.

#include <pulse/simple.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_backend.hpp"
#include "audio/backends/pulse_backend.hpp"
#include "audio/playout/playout.hpp"
#include "bench/counting_allocator.hpp"
#include "vban/vban.hpp"

namespace {

using clock = std::chrono::steady_clock;
constexpr std::uint32_t rate = 48000;
constexpr std::uint32_t frames = 240;

// What the playout needs of an output.
struct output {
    virtual ~output() = default;
    virtual std::uint32_t fill() = 0;
    virtual std::int32_t write(std::span<const std::uint8_t> block) = 0;
    virtual void attach(playout*) {}
};

// pa_simple: its latency is the fill; it cannot say when it ran dry.
struct simple_output final : output {
    pa_simple* stream = nullptr;
    simple_output(std::uint32_t target_ms, const char* sink) {
        const pa_sample_spec sample_format{PA_SAMPLE_S16LE, rate, 2};
        const std::uint32_t bytes = rate * target_ms / 1000 * 4;
        const pa_buffer_attr attributes{2 * bytes + rate / 10 * 4, bytes, bytes,
                                        static_cast<std::uint32_t>(-1),
                                        static_cast<std::uint32_t>(-1)};
        stream = pa_simple_new(nullptr, "pulse_api_bench", PA_STREAM_PLAYBACK, sink, "simple",
                               &sample_format, nullptr, &attributes, nullptr);
    }
    ~simple_output() override {
        if (stream != nullptr) {
            pa_simple_free(stream);
        }
    }
    std::uint32_t fill() override {
        const pa_usec_t usec = pa_simple_get_latency(stream, nullptr);
        return static_cast<std::uint32_t>(usec * rate / 1'000'000);
    }
    std::int32_t write(std::span<const std::uint8_t> block) override {
        return pa_simple_write(stream, block.data(), block.size(), nullptr);
    }
};

// The product's backend.
struct async_output final : output {
    std::unique_ptr<audio_backend> backend;
    bool ready = false;
    async_output(std::uint32_t target_ms, const char* sink) {
        audio_backend* made = nullptr;
        if (pulse_backend_init(&made) != 0) {
            return;
        }
        backend.reset(made);
        backend->set_stream_name("async");
        backend->set_target_latency(target_ms);
        const stream_config config{2, rate, BIT_FMT_16I};
        ready = backend->open(sink != nullptr ? sink : "", AUDIO_DIRECTION_OUT, 0, &config) == 0;
    }
    std::uint32_t fill() override { return backend->device_fill(); }
    std::int32_t write(std::span<const std::uint8_t> block) override {
        const std::int32_t taken = backend->write(block.data(), block.size());
        return taken < 0 ? taken : 0;
    }
    void attach(playout* p) override { backend->attach_playout(p); }
};

std::int32_t to_output(void* context, std::span<const std::uint8_t> block, std::uint32_t) {
    return static_cast<output*>(context)->write(block);
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: %s simple|async SECONDS [TARGET_MS [SINK]]\n", argv[0]);
        return 2;
    }
    const bool simple = std::strcmp(argv[1], "simple") == 0;
    const double seconds = std::atof(argv[2]);
    const std::uint32_t target_ms = argc > 3 ? static_cast<std::uint32_t>(std::atoi(argv[3])) : 32;
    const char* sink = argc > 4 ? argv[4] : nullptr;

    std::unique_ptr<output> out;
    if (simple) {
        auto made = std::make_unique<simple_output>(target_ms, sink);
        if (made->stream == nullptr) {
            std::fprintf(stderr, "no PulseAudio server\n");
            return 1;
        }
        out = std::move(made);
    } else {
        auto made = std::make_unique<async_output>(target_ms, sink);
        if (!made->ready) {
            std::fprintf(stderr, "no PulseAudio server\n");
            return 1;
        }
        out = std::move(made);
    }
    const playout_config config{2, rate, BIT_FMT_16I, rate, rate * target_ms / 1000, 0, false};
    playout* p = nullptr;
    if (playout_init(&p, &config) != 0) {
        return 1;
    }
    out->attach(p);

    const auto packets = static_cast<std::uint32_t>(seconds * rate / frames);
    std::vector<std::uint8_t> payload(frames * 4);
    std::vector<double> latencies;
    std::vector<double> call_us;
    const auto start = clock::now();
    double cpu_from = 0.0;
    std::size_t allocations_from = 0;
    const std::uint32_t settled = 10 * rate / frames;
    for (std::uint32_t k = 0; k < packets; ++k) {
        for (std::uint32_t f = 0; f < frames; ++f) {
            const auto v = static_cast<std::int16_t>(
                std::lround(12000.0 * std::sin(2.0 * M_PI * 997.0 * (k * frames + f) / rate)));
            std::memcpy(payload.data() + f * 4, &v, 2);
            std::memcpy(payload.data() + f * 4 + 2, &v, 2);
        }
        std::this_thread::sleep_until(start + k * std::chrono::microseconds(5000));
        if (k == settled) {
            cpu_from = cpu_seconds();
            allocations_from = allocations_so_far();
        }
        const auto before = clock::now();
        const std::int32_t result = playout_push(
            p, k + 1, payload, frames, out->fill(),
            std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count(),
            {to_output, out.get()});
        const auto after = clock::now();
        if (result < 0) {
            std::fprintf(stderr, "the output failed: %d\n", result);
            return 1;
        }
        if (k >= settled) {
            latencies.push_back(playout_get_stats(p)->latency_ms);
            call_us.push_back(std::chrono::duration<double, std::micro>(after - before).count());
        }
    }
    const double audio_minutes = (packets - settled) * frames / static_cast<double>(rate) / 60.0;
    const playout_stats* stats = playout_get_stats(p);
    std::printf(
        "%s: target %.1f ms; from 10 s on: latency %.1f .. %.1f ms (median %.1f), "
        "%.3f CPU s per minute of audio, output calls %.1f us (median; 99th %.1f), "
        "%.2f allocations per packet; underruns %llu, dropped %llu, ratio %+.0f ppm\n",
        argv[1], stats->target_ms, percentile(latencies, 0.0), percentile(latencies, 1.0),
        percentile(latencies, 0.5), (cpu_seconds() - cpu_from) / audio_minutes,
        percentile(call_us, 0.5), percentile(call_us, 0.99),
        static_cast<double>(allocations_so_far() - allocations_from) /
            static_cast<double>(packets - settled),
        static_cast<unsigned long long>(stats->underruns.load()),
        static_cast<unsigned long long>(stats->dropped), stats->ratio_ppm);
    out.reset();
    playout_release(&p);
    return 0;
}
