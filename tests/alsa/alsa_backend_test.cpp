// SPDX-License-Identifier: MIT
// The ALSA backend in-process, on the real libasound: the latency it asks for, how an open
// fails and what state that leaves, the bytes a transfer hands to the device, and that a
// released audio object leaves no device open.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio.hpp"
#include "audio/backends/alsa_backend.hpp"
#include "tests/alsa/alsa_test_home.hpp"
#include "vban/vban.hpp"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// libasound reads HOME's .asoundrc once and caches it, so one configuration serves the
// whole process.
const alsa_test::home& test_home() {
    static const alsa_test::home home;
    static const bool exported = setenv("HOME", home.path().c_str(), 1) == 0;
    EXPECT_TRUE(exported);
    return home;
}

std::unique_ptr<audio_backend> new_backend() {
    audio_backend* backend = nullptr;
    EXPECT_EQ(alsa_backend_init(&backend), 0);
    return std::unique_ptr<audio_backend>(backend);
}

audio_config playback_on(const char* device) {
    audio_config config{};
    config.direction = AUDIO_DIRECTION_OUT;
    std::strncpy(config.backend, "alsa", sizeof config.backend - 1);
    std::strncpy(config.device, device, sizeof config.device - 1);
    config.buffer_size = 3072;
    return config;
}

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

TEST(AlsaLatency, IsTheDurationOfTheWholeFramesInTheBuffer) {
    EXPECT_EQ(alsa_latency_us(1024, 4, 44100), 5804u);     // 256 frames: the emitter's defaults
    EXPECT_EQ(alsa_latency_us(3072, 4, 48000), 16000u);    // 768 frames: the receptor, quality 1
    EXPECT_EQ(alsa_latency_us(24576, 4, 48000), 128000u);  // 6144 frames: quality 4
    EXPECT_EQ(alsa_latency_us(1027, 4, 44100), 5804u);     // a partial frame does not count
    EXPECT_EQ(alsa_latency_us(1024, 6, 44100), 3854u);     // 170 frames, truncated
    EXPECT_EQ(alsa_latency_us(3, 4, 44100), 0u);
    // At the top of ALSA's 32-bit range, and far beyond, where frames × 10^6 overflows.
    EXPECT_EQ(alsa_latency_us(4294967294, 1, 1000000), 4294967294u);
    EXPECT_EQ(alsa_latency_us(std::uint64_t{1} << 62, 1, 1), 4294967295u);
}

// Every failed open leaves the backend closed: the next transfer is refused with -19.
TEST(AlsaBackend, FailedOpensLeaveTheBackendClosed) {
    test_home();
    std::unique_ptr<audio_backend> backend = new_backend();
    std::uint8_t block[64] = {};
    auto expect_refused = [&](const char* device, std::int32_t direction, stream_config config,
                              std::int32_t result, const std::string& line) {
        CaptureStderr();
        EXPECT_EQ(backend->open(device, direction, 1024, &config), result);
        if (direction == AUDIO_DIRECTION_OUT) {
            EXPECT_EQ(backend->write(block, sizeof block), -ENODEV);
        } else {
            EXPECT_EQ(backend->read(block, sizeof block), -ENODEV);
        }
        std::string err = GetCapturedStderr();
        EXPECT_NE(err.find(line), std::string::npos) << err;
        EXPECT_NE(
            err.find(direction == AUDIO_DIRECTION_OUT ? "Error: alsa_write: device not open\n"
                                                      : "Error: alsa_read: device not open\n"),
            std::string::npos)
            << err;
    };

    // Refused before ALSA is asked: a frame of 0 bytes or a rate of 0 cannot give a latency.
    expect_refused("", AUDIO_DIRECTION_OUT, {0, 48000, BIT_FMT_16I}, -EINVAL,
                   "Error: alsa_open: invalid frame size 0 (0 channels of 16I)\n");
    expect_refused("", AUDIO_DIRECTION_IN, {2, 44100, BIT_FMT_12I}, -EINVAL,
                   "Error: alsa_open: invalid frame size 0 (2 channels of 12I)\n");
    expect_refused("", AUDIO_DIRECTION_IN, {2, 0, BIT_FMT_16I}, -EINVAL,
                   "Error: alsa_open: invalid sample rate 0\n");
    expect_refused("nosuchpcm", AUDIO_DIRECTION_IN, {2, 44100, BIT_FMT_16I}, -ENOENT,
                   "Fatal: alsa_open: open error: nosuchpcm: No such file or directory\n");

    // A format the device refuses, after a stream it took, through the audio object.
    audio_handle* audio = nullptr;
    audio_config config = playback_on("intonly");
    ASSERT_EQ(audio_init(&audio, &config), 0);
    map_config no_map{};
    ASSERT_EQ(audio_set_map_config(audio, &no_map), 0);
    stream_config integers{2, 48000, BIT_FMT_16I};
    ASSERT_EQ(audio_set_stream_config(audio, &integers), 0);
    EXPECT_EQ(audio_write(audio, block, sizeof block), 64);
    stream_config floats{2, 48000, BIT_FMT_32F};
    CaptureStderr();
    EXPECT_EQ(audio_set_stream_config(audio, &floats), -EINVAL);
    EXPECT_EQ(audio_write(audio, block, sizeof block), -ENODEV);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Error: alsa_open: set_params error: Invalid argument\n"
                       "Error: audio_set_stream_config: could not open backend with new config\n"
                       "Error: alsa_write: device not open\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(audio_release(&audio), 0);
}

// 24I reaches ALSA as packed 3-byte samples, and only whole frames are handed over: the
// recording holds exactly the bytes of the frames that were counted.
TEST(AlsaBackend, HandsOverWholeFramesOfPackedSamples) {
    const alsa_test::home& home = test_home();
    std::unique_ptr<audio_backend> backend = new_backend();
    stream_config config{2, 48000, BIT_FMT_24I};  // 6-byte frames
    ASSERT_EQ(backend->open("record", AUDIO_DIRECTION_OUT, 3072, &config), 0);
    // Exactly the bytes handed over, on the heap, so that AddressSanitizer sees a read past them.
    std::vector<std::uint8_t> block = pattern(1000);
    CaptureStderr();
    EXPECT_EQ(backend->write(block.data(), block.size()), 996);
    EXPECT_EQ(backend->write(block.data(), 5), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(backend->close(), 0);
    EXPECT_EQ(test_support::read_file(home.recording(2, "S24_3LE", 48000)),
              std::string(block.begin(), block.begin() + 996));
}

TEST(AlsaBackend, ReleaseLeavesNoDeviceOpen) {
    test_home();
    auto cycle = [] {
        audio_handle* audio = nullptr;
        audio_config config = playback_on("record");
        ASSERT_EQ(audio_init(&audio, &config), 0);
        map_config no_map{};
        ASSERT_EQ(audio_set_map_config(audio, &no_map), 0);
        std::vector<std::uint8_t> block = pattern(1152);
        for (stream_config stream :
             {stream_config{2, 44100, BIT_FMT_16I}, stream_config{6, 48000, BIT_FMT_64F}}) {
            ASSERT_EQ(audio_set_stream_config(audio, &stream), 0);
            EXPECT_EQ(audio_write(audio, block.data(), block.size()), 1152);
        }
        EXPECT_EQ(audio_release(&audio), 0);
    };
    cycle();  // libasound's configuration is loaded and cached by the first open
    const std::size_t before = open_descriptors();
    for (int i = 0; i < 20; ++i) {
        cycle();
    }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
