// SPDX-License-Identifier: MIT
// A capture block through the audio object, with a stream configuration, a channel map and a
// request size from the input, read by the file backend from a memory file that holds the
// rest of the input.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.hpp"
#include "fuzz/fuzz_support.hpp"
#include "vban/vban.hpp"

namespace {

struct capture {
    int device = -1;
    audio_handle* audio = nullptr;

    capture() {
        device = memfd_create("capture", 0);
        audio_config config{};
        config.direction = AUDIO_DIRECTION_IN;
        std::strcpy(config.backend, "file");
        std::string path = "/proc/self/fd/" + std::to_string(device);
        std::strncpy(config.device, path.c_str(), sizeof config.device - 1);
        config.buffer_size = 1024;
        if (device < 0 || audio_init(&audio, &config) != 0) {
            __builtin_trap();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static capture source;
    FuzzedDataProvider input(data, size);
    stream_config stream{};
    stream.nb_channels = input.ConsumeIntegralInRange<std::uint32_t>(0, 300);
    stream.sample_rate = input.ConsumeBool() ? 44100 : input.ConsumeIntegral<std::uint32_t>();
    stream.bit_fmt = input.ConsumeIntegralInRange<std::uint32_t>(0, 9);
    map_config map = fuzz_map(input);
    std::uint64_t wanted = input.ConsumeIntegralInRange<std::uint64_t>(0, 8192);
    std::vector<std::uint8_t> samples = input.ConsumeRemainingBytes<std::uint8_t>();

    if (ftruncate(source.device, 0) != 0 ||
        (!samples.empty() && pwrite(source.device, samples.data(), samples.size(), 0) !=
                                 static_cast<ssize_t>(samples.size()))) {
        __builtin_trap();
    }
    // Reopen so that every input is read from its start.
    stream_config closed{};
    if (audio_set_stream_config(source.audio, &closed) < 0 ||
        audio_set_stream_config(source.audio, &stream) < 0 ||
        audio_set_map_config(source.audio, &map) != 0) {
        return 0;
    }
    std::vector<std::uint8_t> block(wanted);
    std::int32_t got = audio_read(source.audio, block.data(), wanted);
    if (got > 0 && static_cast<std::uint64_t>(got) > wanted) {
        __builtin_trap();
    }
    return 0;
}
