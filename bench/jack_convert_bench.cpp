// SPDX-License-Identifier: MIT
// Cost of one JACK cycle's conversion, from the ring buffer's two segments to the port
// buffers: the per-format loops of the backend beside a walk that takes one sample at a time
// (segment test and format switch per sample), on the same data. The readable bytes wrap in
// the middle of the cycle, inside a sample, so both take the straddling-sample path once.
// Allocations made while converting are counted (there must be none).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "audio/backends/jack_convert.hpp"
#include "bench/counting_allocator.hpp"
#include "vban/vban.hpp"

namespace {

float decode_one(std::uint32_t bit_fmt, const std::uint8_t* p) {
    switch (bit_fmt) {
        case BIT_FMT_8I:
            return static_cast<float>(static_cast<std::int8_t>(p[0])) * 0x1p-7f;
        case BIT_FMT_16I: {
            std::int16_t v;
            std::memcpy(&v, p, sizeof v);
            return static_cast<float>(v) * 0x1p-15f;
        }
        case BIT_FMT_24I: {
            const std::uint32_t word =
                std::uint32_t{p[0]} << 8 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 24;
            return static_cast<float>(static_cast<std::int32_t>(word)) * 0x1p-31f;
        }
        case BIT_FMT_32I: {
            std::int32_t v;
            std::memcpy(&v, p, sizeof v);
            return static_cast<float>(v) * 0x1p-31f;
        }
        case BIT_FMT_32F: {
            float v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case BIT_FMT_64F: {
            double v;
            std::memcpy(&v, p, sizeof v);
            return static_cast<float>(v);
        }
        default:
            return 0.0f;
    }
}

// The straightforward walk: frame by frame, channel by channel, each sample located (first
// segment, straddling, second segment) and decoded through the format switch.
std::size_t per_sample_walk(std::uint32_t bit_fmt, std::span<const std::uint8_t> first,
                            std::span<const std::uint8_t> second, std::uint32_t frames,
                            std::uint32_t channels, float* const* ports) {
    const std::size_t size = bit_fmt_size[bit_fmt];
    const std::uint8_t* p = first.data();
    std::size_t taken = 0;
    bool in_second = false;
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            std::uint8_t scratch[8];
            const std::uint8_t* sample = p;
            if (!in_second && taken + size > first.size()) {
                const std::size_t head = first.size() - taken;
                std::memcpy(scratch, p, head);
                std::memcpy(scratch + head, second.data(), size - head);
                sample = scratch;
                p = second.data() + (size - head);
                in_second = true;
            } else {
                p += size;
            }
            taken += size;
            ports[c][f] = decode_one(bit_fmt, sample);
        }
    }
    return taken;
}

using converter = std::size_t (*)(std::uint32_t, std::span<const std::uint8_t>,
                                  std::span<const std::uint8_t>, std::uint32_t, std::uint32_t,
                                  float* const*);

void run(benchmark::State& state, converter convert) {
    const auto format = static_cast<std::uint32_t>(state.range(0));
    const auto channels = static_cast<std::uint32_t>(state.range(1));
    const auto frames = static_cast<std::uint32_t>(state.range(2));
    const std::size_t cycle = std::size_t{frames} * channels * bit_fmt_size[format];

    std::vector<std::uint8_t> data(cycle);
    std::uint32_t seed = 1;
    for (auto& b : data) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    const std::size_t split = cycle / 2 + 1;
    const std::span<const std::uint8_t> first(data.data(), split);
    const std::span<const std::uint8_t> second(data.data() + split, cycle - split);
    std::vector<std::vector<float>> buffers(channels, std::vector<float>(frames));
    std::vector<float*> ports;
    for (auto& buffer : buffers) {
        ports.push_back(buffer.data());
    }

    const std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(convert(format, first, second, frames, channels, ports.data()));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * frames * channels);
    state.SetLabel(bit_fmt_name(format));
}

void BM_convert_cycle(benchmark::State& state) {
    run(state, jack_convert_cycle);
}

void BM_per_sample_walk(benchmark::State& state) {
    run(state, per_sample_walk);
}

void cycles(benchmark::internal::Benchmark* b) {
    b->ArgNames({"fmt", "channels", "frames"});
    b->ArgsProduct({{BIT_FMT_8I, BIT_FMT_16I, BIT_FMT_24I, BIT_FMT_32I, BIT_FMT_32F, BIT_FMT_64F},
                    {2, 64},
                    {256, 1024}});
}

BENCHMARK(BM_convert_cycle)->Apply(cycles);
BENCHMARK(BM_per_sample_walk)->Apply(cycles);

}  // namespace

BENCHMARK_MAIN();
