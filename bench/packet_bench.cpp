// SPDX-License-Identifier: MIT
// Per-packet cost of the packet operations, with a count of heap allocations made while
// they run (there must be none).

#include <benchmark/benchmark.h>

#include <array>

#include "bench/counting_allocator.hpp"
#include "vban/packet.hpp"
#include "vban/service.hpp"
#include "vban/vban.hpp"

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
    std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet_check("Stream1", packet.data(), 1052));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
}
BENCHMARK(BM_packet_check);

void BM_packet_set_new_content(benchmark::State& state) {
    auto packet = make_packet();
    std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet_set_new_content(packet.data(), 1024));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
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

// A PING0 answer: the request's test and the reply's two copies.
void BM_service_build_reply(benchmark::State& state) {
    service_identity identity{};
    std::array<std::uint8_t, VBAN_SERVICE_PING0_SIZE> request{'V', 'B', 'A', 'N', 0x60};
    std::array<std::uint8_t, VBAN_SERVICE_PING0_SIZE> reply{};
    std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            service_build_reply(&identity, request.data(), 28, reply.data(), reply.size()));
        benchmark::ClobberMemory();
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
}
BENCHMARK(BM_service_build_reply);

// The rate limit's worst case: more senders than it remembers, so every one is new and the
// whole table is searched, then its least recently heard row replaced.
void BM_service_rate_allow(benchmark::State& state) {
    service_rate_limit limit{};
    std::uint64_t now_ns = 0;
    std::uint32_t address = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(service_rate_allow(&limit, address++ % 64, now_ns += 1000));
    }
}
BENCHMARK(BM_service_rate_allow);

}  // namespace

BENCHMARK_MAIN();
