// SPDX-License-Identifier: MIT
// The two resampling libraries a clock follower could use, on its work: a stream at 48 kHz
// played at 48 kHz times a ratio a few hundred ppm off 1, in blocks of one packet (256 frames).
// Each row gives the cost (ns per frame per channel), the quality of a 1 kHz sine pushed through
// it (SNR against the ideal sine of the corrected frequency, and the worst 5 ms window while
// the ratio sweeps ten times faster than the clock follower ever moves it, where a click
// would show), and the heap allocations made while converting and changing the ratio (C
// allocations included: both libraries use malloc). BM_first_change counts the allocations
// of the first ratio change after creation, which libspeexdsp makes.

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <vector>

#include "audio/playout/resampler.hpp"
#include "bench/counting_allocator.hpp"
#include "tests/support/sine_fit.hpp"

namespace {

constexpr std::uint32_t rate = 48000;
constexpr std::size_t block = 256;

// One library behind a common face: make for `channels`, set a ratio in ppm (positive: the
// stream's clock is fast, so input is consumed faster), convert one block.
struct converter {
    virtual ~converter() = default;
    virtual void set_ppm(double ppm) = 0;
    // Converts `in_frames` and returns the frames written to `out` (room for `room`).
    virtual std::size_t process(const float* in, std::size_t in_frames, float* out,
                                std::size_t room) = 0;
};

struct speex_converter final : converter {
    SpeexResamplerState* state;
    explicit speex_converter(std::uint32_t channels, int quality) {
        int error = 0;
        state = speex_resampler_init(channels, rate, rate, quality, &error);
        if (state == nullptr) {
            std::abort();
        }
        speex_resampler_skip_zeros(state);
    }
    ~speex_converter() override { speex_resampler_destroy(state); }
    void set_ppm(double ppm) override {
        // num/den is input frames per output frame, at a resolution of 0.1 ppm. The
        // denominator is a prime, so the library never reduces the fraction: a ratio whose
        // reduced denominator changes makes libspeexdsp 1.2.1 rescale its position within
        // the filter, and that reads outside its table (seen with valgrind at every quality).
        // It is also small enough that the longest filter (256) times it fits in 32 bits:
        // past that the library gives up on the ratio and outputs silence.
        constexpr std::uint32_t den = 9999991;
        const auto num = static_cast<std::uint32_t>(std::lround(den * (1.0 + ppm * 1e-6)));
        speex_resampler_set_rate_frac(state, num, den, rate, rate);
    }
    std::size_t process(const float* in, std::size_t in_frames, float* out,
                        std::size_t room) override {
        auto in_len = static_cast<spx_uint32_t>(in_frames);
        auto out_len = static_cast<spx_uint32_t>(room);
        speex_resampler_process_interleaved_float(state, in, &in_len, out, &out_len);
        return out_len;
    }
};

struct src_converter final : converter {
    SRC_STATE* state;
    double ratio = 1.0;
    explicit src_converter(std::uint32_t channels, int type) {
        int error = 0;
        state = src_new(type, static_cast<int>(channels), &error);
        if (state == nullptr) {
            std::abort();
        }
    }
    ~src_converter() override { src_delete(state); }
    void set_ppm(double ppm) override { ratio = 1.0 / (1.0 + ppm * 1e-6); }
    std::size_t process(const float* in, std::size_t in_frames, float* out,
                        std::size_t room) override {
        SRC_DATA data{};
        data.data_in = in;
        data.input_frames = static_cast<long>(in_frames);
        data.data_out = out;
        data.output_frames = static_cast<long>(room);
        data.src_ratio = ratio;
        src_process(state, &data);
        return static_cast<std::size_t>(data.output_frames_gen);
    }
};

// The project's own wrapper, to show what it adds to the library it wraps.
struct playout_converter final : converter {
    resampler* handle = nullptr;
    explicit playout_converter(std::uint32_t channels) {
        if (resampler_init(&handle, channels, rate, rate) != 0) {
            std::abort();
        }
    }
    ~playout_converter() override { resampler_release(&handle); }
    void set_ppm(double ppm) override { resampler_set_ppm(handle, ppm); }
    std::size_t process(const float* in, std::size_t in_frames, float* out,
                        std::size_t room) override {
        std::size_t used = 0;
        return resampler_process(handle, in, in_frames, &used, out, room);
    }
};

// The worst SNR in dB over consecutive windows of `window` samples, each fitted on its own
// with a sine whose phase may drift linearly across the window: a click or a step in the
// signal shows as one bad window even when the frequency moves.
double worst_window_snr_db(const float* x, std::size_t n, std::size_t stride,
                           double cycles_per_sample, std::size_t window) {
    const double w = 2.0 * std::numbers::pi * cycles_per_sample;
    double worst = 1e9;
    for (std::size_t start = 0; start + window <= n; start += window) {
        const double middle = static_cast<double>(start) + static_cast<double>(window) / 2.0;
        const double snr = test_support::fit_snr_db<5>(
            x + start * stride, window, stride, [&](std::size_t i, std::size_t k) {
                const double t = static_cast<double>(start + i) - middle;
                const double phase = w * static_cast<double>(start + i);
                switch (k) {
                    case 0:
                        return std::sin(phase);
                    case 1:
                        return std::cos(phase);
                    case 2:
                        return t * std::sin(phase);
                    case 3:
                        return t * std::cos(phase);
                    default:
                        return 1.0;
                }
            });
        worst = std::min(worst, snr);
    }
    return worst;
}

using factory = std::function<converter*(std::uint32_t channels)>;

// The first channel of everything that `convert` makes of a 1 kHz sine, packet by packet,
// with the ratio for each packet given by `ppm_at(packet)`.
std::vector<float> run_sine(const factory& make, std::size_t packets,
                            const std::function<double(std::size_t)>& ppm_at) {
    converter* c = make(1);
    std::vector<float> in(block);
    std::vector<float> out(2 * block);
    std::vector<float> result;
    double phase = 0.0;
    for (std::size_t p = 0; p < packets; ++p) {
        for (auto& v : in) {
            v = static_cast<float>(0.5 * std::sin(phase));
            phase += 2.0 * std::numbers::pi * 1000.0 / rate;
        }
        c->set_ppm(ppm_at(p));
        const std::size_t made = c->process(in.data(), block, out.data(), out.size());
        result.insert(result.end(), out.begin(), out.begin() + static_cast<long>(made));
    }
    delete c;
    return result;
}

// Quality figures of one converter, measured once and shown beside its timings.
struct quality {
    double steady_snr_db;  // +1000 ppm held, against a sine of 1001 Hz
    double sweep_snr_db;   // worst 5 ms window while the ratio sweeps -1000 .. +1000 ppm in 1 s
};

quality measure(const factory& make) {
    constexpr std::size_t skip = 4800;  // the filter's start
    quality q{};
    auto steady = run_sine(make, 750, [](std::size_t) { return 1000.0; });
    q.steady_snr_db =
        test_support::sine_snr_db(steady.data() + skip, steady.size() - skip, 1, 1001.0 / rate);
    // The sweep's mean ratio is 1: a sine of 1 kHz with a phase drift of at most 1000 ppm over
    // a 5 ms window, which the window's fit absorbs.
    auto sweep = run_sine(
        make, 375, [](std::size_t p) { return -1000.0 + 2000.0 * static_cast<double>(p) / 187.0; });
    q.sweep_snr_db =
        worst_window_snr_db(sweep.data() + skip, 187 * 256 - skip, 1, 1000.0 / rate, 240);
    return q;
}

// Converts one packet after another at a ratio of `ppm`; with `moving`, the ratio changes by
// 0.1 ppm at every packet, as a clock follower's does.
void run(benchmark::State& state, const factory& make) {
    const auto channels = static_cast<std::uint32_t>(state.range(0));
    const double ppm = static_cast<double>(state.range(1));
    const bool moving = state.range(2) != 0;
    converter* c = make(channels);
    std::vector<float> in(block * channels);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<float>(0.5 * std::sin(static_cast<double>(i) * 0.05));
    }
    std::vector<float> out(2 * block * channels);
    c->set_ppm(ppm);
    c->process(in.data(), block, out.data(), 2 * block);
    double step = 0.1;
    double now = ppm;
    const std::size_t before = allocations_so_far();
    for (auto _ : state) {
        if (moving) {
            now += step;
            step = now > ppm + 50.0 || now < ppm - 50.0 ? -step : step;
            c->set_ppm(now);
        }
        benchmark::DoNotOptimize(c->process(in.data(), block, out.data(), 2 * block));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
    state.counters["ns_per_frame_channel"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * block * channels,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    delete c;
    if (channels == 1 && !moving && ppm > 0) {
        const quality q = measure(make);
        state.counters["snr_db"] = q.steady_snr_db;
        state.counters["sweep_db"] = q.sweep_snr_db;
    }
}

void rows(benchmark::internal::Benchmark* b) {
    b->ArgNames({"channels", "ppm", "moving"});
    b->ArgsProduct({{1, 2, 8}, {-1000, 1000}, {0, 1}});
    b->Unit(benchmark::kMicrosecond);
}

void BM_speex(benchmark::State& state, int quality) {
    run(state, [quality](std::uint32_t ch) { return new speex_converter(ch, quality); });
}
void BM_samplerate(benchmark::State& state, int type) {
    run(state, [type](std::uint32_t ch) { return new src_converter(ch, type); });
}
void BM_resampler(benchmark::State& state) {
    run(state, [](std::uint32_t ch) { return new playout_converter(ch); });
}

// Allocations of the first change of ratio (to +1000 ppm) after a first block at 1:1.
void BM_first_change(benchmark::State& state, bool speex) {
    std::size_t total = 0;
    for (auto _ : state) {
        converter* c = speex ? static_cast<converter*>(new speex_converter(2, 3))
                             : static_cast<converter*>(new src_converter(2, SRC_SINC_FASTEST));
        std::vector<float> in(2 * block, 0.25f);
        std::vector<float> out(4 * block);
        c->process(in.data(), block, out.data(), 2 * block);
        const std::size_t before = allocations_so_far();
        c->set_ppm(1000.0);
        c->process(in.data(), block, out.data(), 2 * block);
        total += allocations_so_far() - before;
        delete c;
    }
    state.counters["allocations"] =
        static_cast<double>(total) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(BM_first_change, speex_q3, true)->Iterations(10);
BENCHMARK_CAPTURE(BM_first_change, samplerate_sinc_fastest, false)->Iterations(10);

BENCHMARK_CAPTURE(BM_speex, q1, 1)->Apply(rows);
BENCHMARK_CAPTURE(BM_speex, q3, 3)->Apply(rows);
BENCHMARK_CAPTURE(BM_speex, q5, 5)->Apply(rows);
BENCHMARK_CAPTURE(BM_speex, q7, 7)->Apply(rows);
BENCHMARK_CAPTURE(BM_samplerate, linear, SRC_LINEAR)->Apply(rows);
BENCHMARK_CAPTURE(BM_samplerate, sinc_fastest, SRC_SINC_FASTEST)->Apply(rows);
BENCHMARK_CAPTURE(BM_samplerate, sinc_medium, SRC_SINC_MEDIUM_QUALITY)->Apply(rows);
BENCHMARK(BM_resampler)->Apply(rows);
// Wider than one converter of the library: converted in groups of 128 channels.
BENCHMARK(BM_resampler)
    ->ArgNames({"channels", "ppm", "moving"})
    ->Args({128, 1000, 1})
    ->Args({256, 1000, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
