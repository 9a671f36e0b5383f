// SPDX-License-Identifier: MIT
// A datagram as the receptor's loop meets it: cut to the receive buffer, checked, turned into a
// stream configuration, and played through the file backend into /dev/null with a channel
// map taken from the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/audio.hpp"
#include "fuzz/fuzz_support.hpp"
#include "vban/packet.hpp"
#include "vban/vban.hpp"

namespace {

audio_handle* open_output() {
    audio_config config{};
    config.direction = AUDIO_DIRECTION_OUT;
    std::strcpy(config.backend, "file");
    std::strcpy(config.device, "/dev/null");
    config.buffer_size = 3072;
    audio_handle* audio = nullptr;
    if (audio_init(&audio, &config) != 0) {
        __builtin_trap();
    }
    return audio;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static audio_handle* audio = open_output();  // one output for the run, as in the program
    FuzzedDataProvider input(data, size);
    map_config map = fuzz_map(input);
    if (audio_set_map_config(audio, &map) != 0) {
        __builtin_trap();
    }
    std::vector<std::uint8_t> datagram = input.ConsumeRemainingBytes<std::uint8_t>();
    std::uint8_t buffer[VBAN_PROTOCOL_MAX_SIZE];
    std::size_t length = datagram.size() < sizeof buffer ? datagram.size() : sizeof buffer;
    if (length > 0) {
        std::memcpy(buffer, datagram.data(), length);
    }
    if (packet_check("Fuzz", buffer, length) != 0) {
        return 0;
    }
    stream_config stream{};
    if (packet_get_stream_config(buffer, &stream) != 0 ||
        audio_set_stream_config(audio, &stream) < 0) {
        return 0;
    }
    std::uint64_t payload = length - VBAN_HEADER_SIZE;
    std::int32_t written = audio_write(audio, buffer + VBAN_HEADER_SIZE, payload);
    // /dev/null takes everything: the caller's whole payload must be reported taken.
    if (written != static_cast<std::int32_t>(payload) && written != -22) {
        __builtin_trap();
    }
    return 0;
}
