// SPDX-License-Identifier: MIT
// Cost of one packet through the audio object, with and without a channel map, played into
// /dev/null by the file backend (so the system call is the cheapest there is).

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.hpp"
#include "vban/vban.hpp"

namespace {

struct playback {
    audio_handle* audio = nullptr;
    playback(const stream_config& stream, std::string list) {
        audio_config config{};
        config.direction = AUDIO_DIRECTION_OUT;
        std::strcpy(config.backend, "file");
        std::strcpy(config.device, "/dev/null");
        map_config map{};
        if (audio_init(&audio, &config) != 0 ||
            (!list.empty() && audio_parse_map_config(&map, list.data()) != 0) ||
            audio_set_map_config(audio, &map) != 0 ||
            audio_set_stream_config(audio, &stream) != 0) {
            std::abort();
        }
    }
    ~playback() { audio_release(&audio); }
};

void run(benchmark::State& state, stream_config stream, const char* list, std::size_t bytes) {
    playback out(stream, list);
    std::vector<std::uint8_t> payload(bytes, 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(audio_write(out.audio, payload.data(), payload.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void BM_stereo16_unmapped(benchmark::State& state) {
    run(state, {2, 44100, BIT_FMT_16I}, "", 1024);
}
void BM_stereo16_swapped(benchmark::State& state) {
    run(state, {2, 44100, BIT_FMT_16I}, "2,1", 1024);
}
void BM_stereo16_to_three(benchmark::State& state) {
    run(state, {2, 44100, BIT_FMT_16I}, "2,1,3", 1024);
}
void BM_eight24_pick_two(benchmark::State& state) {
    run(state, {8, 48000, BIT_FMT_24I}, "8,2", 59 * 24);
}
void BM_mono16_to_three(benchmark::State& state) {
    run(state, {1, 48000, BIT_FMT_16I}, "1,1,1", 512);
}
void BM_sixtyfour32f_reversed(benchmark::State& state) {
    std::string list;
    for (int c = 64; c >= 1; --c) {
        list += std::to_string(c) + ",";
    }
    run(state, {64, 192000, BIT_FMT_32F}, list.c_str(), 5 * 256);
}

BENCHMARK(BM_stereo16_unmapped);
BENCHMARK(BM_stereo16_swapped);
BENCHMARK(BM_stereo16_to_three);
BENCHMARK(BM_eight24_pick_two);
BENCHMARK(BM_mono16_to_three);
BENCHMARK(BM_sixtyfour32f_reversed);

}  // namespace

BENCHMARK_MAIN();
