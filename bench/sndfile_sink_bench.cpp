// SPDX-License-Identifier: MIT
// Per-packet cost of a recording with a header (one packet: 256 stereo frames), against the raw
// file output's one write(2): libsndfile with the header written only at the end, libsndfile
// rewriting the header after every packet (SFC_SET_UPDATE_HEADER_AUTO), and the sink, which
// rewrites it once per 100 ms of audio. Allocations made while writing are counted.
// Files go to $TMPDIR (default /tmp); each case writes 50 to 80 MB.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "audio/backends/sndfile_sink.hpp"
#include "bench/counting_allocator.hpp"
#include "vban/vban.hpp"

namespace {

constexpr int frames = 256;
constexpr int iterations = 50'000;

std::string bench_path(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name;
}

// A packet's worth of a 16-bit pattern, the same for every case.
std::array<std::int16_t, frames * 2> packet() {
    std::array<std::int16_t, frames * 2> samples{};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(i * 97);
    }
    return samples;
}

void BM_raw_write(benchmark::State& state) {
    std::string path = bench_path("sndfile_sink_bench.raw");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0660);
    auto samples = packet();
    std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(::write(fd, samples.data(), sizeof samples));
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
    ::close(fd);
    ::unlink(path.c_str());
}
BENCHMARK(BM_raw_write)->Iterations(iterations);

// Arg 0: header written at the end only; arg 1: header rewritten after every packet.
void BM_libsndfile_writef(benchmark::State& state) {
    std::string path = bench_path("sndfile_sink_bench_lib.wav");
    SF_INFO info{0, 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        state.SkipWithError(sf_strerror(nullptr));
        return;
    }
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, state.range(0) != 0 ? SF_TRUE : 0);
    auto samples = packet();
    std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sf_writef_short(file, samples.data(), frames));
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
    sf_close(file);
    ::unlink(path.c_str());
}
BENCHMARK(BM_libsndfile_writef)->Arg(0)->Arg(1)->Iterations(iterations);

// Arg: the stream's format (1: 16I, copied; 2: 24I, unpacked), in a WAV file.
void BM_sndfile_sink_write(benchmark::State& state) {
    std::string path = bench_path("sndfile_sink_bench_sink.wav");
    auto bit_fmt = static_cast<std::uint32_t>(state.range(0));
    stream_config config{2, 48000, bit_fmt};
    sndfile_sink sink;
    if (sink.open(path.c_str(), 1, &config) != 0) {
        state.SkipWithError("sndfile_sink::open failed");
        return;
    }
    std::array<std::uint8_t, frames * 2 * 3> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 31);
    }
    std::size_t size = frames * 2 * bit_fmt_size[bit_fmt];
    std::size_t before = allocations_so_far();
    for (auto _ : state) {
        benchmark::DoNotOptimize(sink.write(bytes.data(), size));
    }
    state.counters["allocations"] = static_cast<double>(allocations_so_far() - before);
    (void)sink.close();
    ::unlink(path.c_str());
}
BENCHMARK(BM_sndfile_sink_write)->Arg(BIT_FMT_16I)->Arg(BIT_FMT_24I)->Iterations(iterations);

}  // namespace

BENCHMARK_MAIN();
