// Per-packet cost of the packet operations, with a count of heap allocations made while
// they run (there must be none).

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// The replacement pair below counts allocations; gcc cannot see that new and delete match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// A valid 1052-byte packet: 256 frames of stereo 16-bit at 44100 Hz.
std::array<std::uint8_t, VBAN_PROTOCOL_MAX_SIZE> make_packet() {
    std::array<std::uint8_t, VBAN_PROTOCOL_MAX_SIZE> packet{};
    stream_config config{2, 44100, BIT_FMT_16I};
    if (packet_init_header(packet.data(), &config, "Stream1") != 0 ||
        packet_set_new_content(packet.data(), 1024) != 0) {
        std::abort();
    }
    return packet;
}

void BM_packet_check(benchmark::State& state) {
    auto packet = make_packet();
    std::size_t before = allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet_check("Stream1", packet.data(), 1052));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations.load() - before);
}
BENCHMARK(BM_packet_check);

void BM_packet_set_new_content(benchmark::State& state) {
    auto packet = make_packet();
    std::size_t before = allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet_set_new_content(packet.data(), 1024));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations.load() - before);
}
BENCHMARK(BM_packet_set_new_content);

void BM_packet_get_stream_config(benchmark::State& state) {
    auto packet = make_packet();
    stream_config config{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet_get_stream_config(packet.data(), &config));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_packet_get_stream_config);

}  // namespace

BENCHMARK_MAIN();
