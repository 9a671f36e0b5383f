// SPDX-License-Identifier: MIT
// Per-packet cost of the playout: 2 channels of 16I at 48 kHz, 256 frames a packet, into an
// output whose fill (with the packet) sits at the target, resampled (clock following) and
// bit-exact, in order and with every 16th packet arriving after the next one (held, then released
// in order). Allocations made while pushing are counted (there must be none).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "audio/playout/playout.hpp"
#include "bench/counting_allocator.hpp"
#include "vban/vban.hpp"

namespace {

std::int32_t discard(void*, std::span<const std::uint8_t> block, std::uint32_t) {
    benchmark::DoNotOptimize(block.data());
    return 0;
}

void BM_playout_push(benchmark::State& state) {
    const bool bit_exact = state.range(0) != 0;
    const bool swapped = state.range(1) != 0;
    constexpr std::uint32_t frames = 256;
    const playout_config config{2, 48000, BIT_FMT_16I, 48000, 768, 256, bit_exact};
    playout* p = nullptr;
    if (playout_init(&p, &config) != 0) {
        std::abort();
    }
    std::vector<std::uint8_t> payload(frames * 4);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    const playout_sink sink{discard, nullptr};
    std::uint32_t counter = 0;
    std::int64_t now = 0;
    const std::size_t before = allocations_so_far();
    for (auto _ : state) {
        // Packets 16k+1 and 16k+2 trade places.
        std::uint32_t sent = counter;
        if (swapped && counter % 16 == 1) {
            sent = counter + 1;
        } else if (swapped && counter % 16 == 2) {
            sent = counter - 1;
        }
        benchmark::DoNotOptimize(playout_push(p, sent, payload, frames, 512, now, sink));
        ++counter;
        now += 5'333'333;
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
    state.counters["ratio_ppm"] = playout_get_stats(p)->ratio_ppm;
    playout_release(&p);
}
BENCHMARK(BM_playout_push)->ArgNames({"bit_exact", "swapped"})->ArgsProduct({{0, 1}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();
