// SPDX-License-Identifier: MIT
// The audio object over the real file backend: reconfiguration and the channel map.

#include "audio/audio.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/logger.hpp"
#include "tests/support/process.hpp"
#include "tests/support/vban_packets.hpp"
#include "vban/vban.hpp"

namespace {

using test_support::read_file;
using test_support::temp_dir;
using test_support::write_file;

audio_config file_config(std::int32_t direction, const std::string& device) {
    audio_config config{};
    config.direction = direction;
    std::strncpy(config.backend, "file", sizeof config.backend - 1);
    std::strncpy(config.device, device.c_str(), sizeof config.device - 1);
    config.buffer_size = 3072;
    return config;
}

map_config parse(std::string text) {
    map_config map{};
    EXPECT_EQ(audio_parse_map_config(&map, text.data()), 0);
    return map;
}

std::string samples16(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>((v >> 8) & 0xFF);
    }
    return out;
}

// An audio object over a file, released at the end.
struct file_audio {
    audio_handle* handle = nullptr;
    file_audio(std::int32_t direction, const std::string& device, const map_config& map) {
        audio_config config = file_config(direction, device);
        EXPECT_EQ(audio_init(&handle, &config), 0);
        EXPECT_EQ(audio_set_map_config(handle, &map), 0);
    }
    ~file_audio() { audio_release(&handle); }
};

// A list is taken whole or not at all: an entry that is not a channel number from 1 to 256
// (even one that wraps to one in 32 bits) refuses the list and leaves the map as it was.
TEST(ChannelList, TakesAWholeListOrNothing) {
    map_config map = parse("2,1,3");
    ASSERT_EQ(map.nb_channels, 3u);
    EXPECT_EQ(map.channels[0], 1);
    EXPECT_EQ(map.channels[1], 0);
    EXPECT_EQ(map.channels[2], 2);

    std::string many;
    for (int i = 0; i < 256; ++i) {
        many += std::to_string(i + 1) + ",";
    }
    many.pop_back();
    map = parse(many);
    EXPECT_EQ(map.nb_channels, 256u);
    EXPECT_EQ(map.channels[255], 255);

    for (const std::string& bad : std::vector<std::string>{
             "", "1,,2", "2,", ",5", "3,x,1", " 7", "+2", "1-3", "0", "257", "-1", "4294967297",
             "-4294967295", "4294967552", "18446744073709551617", many + ",1"}) {
        EXPECT_EQ(audio_parse_map_config(&map, bad.c_str()), -EINVAL) << bad;
        EXPECT_EQ(map.nb_channels, 256u) << bad;
    }
    EXPECT_EQ(audio_parse_map_config(nullptr, many.data()), -EINVAL);
    EXPECT_EQ(audio_parse_map_config(&map, nullptr), -EINVAL);
}

TEST(AudioObject, LifecycleAndArguments) {
    audio_config config = file_config(1, "");
    std::strncpy(config.backend, "nope", sizeof config.backend);
    audio_handle* handle = reinterpret_cast<audio_handle*>(&config);
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_init(&handle, &config), -ENODEV);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: audio_backend_get_by_name: no backend found with name nope\n"
              "Fatal: audio_init: nope backend not available\n");

    EXPECT_EQ(audio_release(&handle), 0);  // holds null
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_release(nullptr), -EINVAL);
    EXPECT_EQ(audio_init(nullptr, &config), -EINVAL);
    EXPECT_EQ(audio_write(nullptr, "x", 1), -EINVAL);
    EXPECT_EQ(audio_read(nullptr, &config, 1), -EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: audio_release: null handle pointer\n"
              "Fatal: audio_init: null pointer argument\n"
              "Fatal: audio_write: null pointer argument\n"
              "Fatal: audio_read: null pointer argument\n");
}

TEST(AudioObject, ReopensOnlyWhenTheStreamChanges) {
    temp_dir dir;
    std::string path = dir.file("out.raw");
    file_audio audio(1, path, map_config{});

    // An all-zero configuration equals the initial one: nothing is opened.
    stream_config zero{};
    EXPECT_EQ(audio_set_stream_config(audio.handle, &zero), 0);
    EXPECT_FALSE(std::filesystem::exists(path));

    stream_config stereo{2, 44100, BIT_FMT_16I};
    logger_set_level(LOG_INFO);
    testing::internal::CaptureStdout();
    ASSERT_EQ(audio_set_stream_config(audio.handle, &stereo), 0);
    EXPECT_EQ(audio_write(audio.handle, "abcd", 4), 4);
    ASSERT_EQ(audio_set_stream_config(audio.handle, &stereo), 0);  // same: silent, no reopen
    EXPECT_EQ(audio_write(audio.handle, "efgh", 4), 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Info: audio_set_stream_config: new stream config is nb channels 2, sample rate "
              "44100, bit_fmt 16I\n");
    logger_set_level(LOG_ERROR);
    EXPECT_EQ(read_file(path), "abcdefgh");

    // Any one field that changes reopens the file, which keeps what it holds.
    std::string recorded = "abcdefgh";
    for (stream_config next :
         {stream_config{1, 44100, BIT_FMT_16I}, stream_config{1, 48000, BIT_FMT_16I},
          stream_config{1, 48000, BIT_FMT_24I}}) {
        logger_set_level(LOG_INFO);
        testing::internal::CaptureStdout();
        ASSERT_EQ(audio_set_stream_config(audio.handle, &next), 0);
        logger_set_level(LOG_ERROR);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("new stream config"),
                  std::string::npos);
        EXPECT_EQ(audio_write(audio.handle, "ijkl", 4), 4);
        recorded += "ijkl";
        EXPECT_EQ(read_file(path), recorded);
    }

    stream_config reported{};
    ASSERT_EQ(audio_get_stream_config(audio.handle, &reported), 0);
    EXPECT_EQ(reported, (stream_config{1, 48000, BIT_FMT_24I}));
}

// An output that only counts takes a batch of packets in one write, at audio_flush or when
// its hold is full; one that keeps time, or a map, gets each at once. A failed write is the
// flush's.
TEST(AudioObject, HoldsTheCountedPacketsOfABatchUntilTheFlush) {
    temp_dir dir;
    const std::string path = dir.file("out.raw");
    file_audio audio(1, path, map_config{});
    EXPECT_FALSE(audio_keeps_time(audio.handle));
    const stream_config stereo{2, 44100, BIT_FMT_16I};
    ASSERT_EQ(audio_set_stream_config(audio.handle, &stereo), 0);
    std::string written;  // the packets stay where they are until the flush, as a batch's do
    for (std::uint32_t k = 1; k <= 200; ++k) {  // 200 KiB: more than one hold
        written += test_support::pattern(1024, k);
    }
    for (std::uint32_t k = 1; k <= 200; ++k) {
        ASSERT_EQ(audio_write_packet(audio.handle, &written[(k - 1) * 1024], 1024, k, 0), 1024);
    }
    EXPECT_EQ(read_file(path), written.substr(0, 128 * 1024));
    EXPECT_EQ(audio_flush(audio.handle), 0);
    EXPECT_EQ(read_file(path), written);
    EXPECT_EQ(audio_flush(audio.handle), 0);  // nothing held: nothing written

    file_audio full(1, "/dev/full", map_config{});
    ASSERT_EQ(audio_set_stream_config(full.handle, &stereo), 0);
    ASSERT_EQ(audio_write_packet(full.handle, written.data(), 1024, 1, 0), 1024);
    EXPECT_EQ(audio_flush(full.handle), -1);
}

TEST(AudioObject, FailedOpenForgetsTheConfigurationAndTriesAgain) {
    temp_dir dir;
    std::string path = dir.file("later/out.raw");  // the folder does not exist yet
    file_audio audio(1, path, map_config{});
    stream_config stereo{2, 44100, BIT_FMT_16I};
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_set_stream_config(audio.handle, &stereo), -ENOENT);
    EXPECT_EQ(audio_write(audio.handle, "abcd", 4), -ENODEV);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: file_open: " + path +
                  ": No such file or directory\n"
                  "Error: audio_set_stream_config: could not open backend with new config\n"
                  "Error: file_write: device not open\n");
    stream_config reported{9, 9, 9};
    ASSERT_EQ(audio_get_stream_config(audio.handle, &reported), 0);
    EXPECT_EQ(reported, stream_config{});

    std::filesystem::create_directory(dir.file("later"));
    ASSERT_EQ(audio_set_stream_config(audio.handle, &stereo), 0);
    EXPECT_EQ(audio_write(audio.handle, "abcd", 4), 4);
    EXPECT_EQ(read_file(path), "abcd");
}

TEST(AudioMap, PlaybackWorkedExample) {
    // A stereo stream through the list 2,1,3: the third device channel has no source.
    temp_dir dir;
    std::string path = dir.file("out.raw");
    file_audio audio(1, path, parse("2,1,3"));
    stream_config stereo{2, 44100, BIT_FMT_16I};
    ASSERT_EQ(audio_set_stream_config(audio.handle, &stereo), 0);
    std::string frames = samples16({100, 200, 101, 201});  // L0 R0 L1 R1
    EXPECT_EQ(audio_write(audio.handle, frames.data(), frames.size()), 8);
    EXPECT_EQ(read_file(path), samples16({200, 100, 0, 201, 101, 0}));

    // Less than one stream frame: nothing copied, size × M / K zero bytes still handed over.
    EXPECT_EQ(audio_write(audio.handle, frames.data(), 3), 3 * 3 / 2 * 2 / 3);
    EXPECT_EQ(read_file(path).size(), 12u + 4u);
    EXPECT_EQ(read_file(path).substr(12), std::string(4, '\0'));

    // The playback side reports the stream, not the device.
    stream_config reported{};
    ASSERT_EQ(audio_get_stream_config(audio.handle, &reported), 0);
    EXPECT_EQ(reported.nb_channels, 2u);
}

TEST(AudioMap, MonoRepeatedAndTheLargestPlaybackBlock) {
    temp_dir dir;
    std::string path = dir.file("out.raw");
    {
        file_audio audio(1, path, parse("1,1"));
        stream_config mono{1, 48000, BIT_FMT_16I};
        ASSERT_EQ(audio_set_stream_config(audio.handle, &mono), 0);
        EXPECT_EQ(audio_write(audio.handle, samples16({5, -6}).data(), 4), 4);
        EXPECT_EQ(read_file(path), samples16({5, 5, -6, -6}));
    }
    {
        // 256 frames of mono 16I through 1,1,1: 512 bytes become 1536 for the device.
        file_audio audio(1, path, parse("1,1,1"));
        stream_config mono{1, 48000, BIT_FMT_16I};
        ASSERT_EQ(audio_set_stream_config(audio.handle, &mono), 0);
        std::string block = test_support::pattern(512, 1);
        EXPECT_EQ(audio_write(audio.handle, block.data(), block.size()), 512);
        std::string expected;
        for (std::size_t f = 0; f < 256; ++f) {
            for (int copy = 0; copy < 3; ++copy) {
                expected += block.substr(f * 2, 2);
            }
        }
        EXPECT_EQ(read_file(path), expected);
    }
    {
        // The widest block any packet can make: 1436 bytes of mono 8I to 256 channels.
        std::string list = "1";
        for (int i = 1; i < 256; ++i) {
            list += ",1";
        }
        file_audio audio(1, path, parse(list));
        stream_config mono{1, 48000, BIT_FMT_8I};
        ASSERT_EQ(audio_set_stream_config(audio.handle, &mono), 0);
        std::string block = test_support::pattern(1437, 2);
        EXPECT_EQ(audio_write(audio.handle, block.data(), 1436), 1436);
        std::string written = read_file(path);
        ASSERT_EQ(written.size(), AUDIO_MAP_BUFFER_SIZE);
        EXPECT_EQ(written.substr(0, 256), std::string(256, block[0]));
        EXPECT_EQ(written.substr(written.size() - 256), std::string(256, block[1435]));

        // One byte more cannot come from a packet, and is refused rather than overrun.
        testing::internal::CaptureStderr();
        EXPECT_EQ(audio_write(audio.handle, block.data(), 1437), -EINVAL);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Error: audio_write: device block of 367872 bytes is larger than the mapping "
                  "buffer\n");
    }
}

TEST(AudioMap, CaptureWorkedExampleAndTheLargestCaptureBlock) {
    temp_dir dir;
    std::string path = dir.file("in.raw");
    // 4 frames of 4 channels; sample (frame f, channel c) = 10 f + c.
    std::string device;
    for (int f = 0; f < 4; ++f) {
        for (int c = 0; c < 4; ++c) {
            device += samples16({10 * f + c});
        }
    }
    write_file(path, device);
    {
        file_audio audio(0, path, parse("3,1"));
        stream_config quad{4, 44100, BIT_FMT_16I};
        ASSERT_EQ(audio_set_stream_config(audio.handle, &quad), 0);
        stream_config reported{};
        ASSERT_EQ(audio_get_stream_config(audio.handle, &reported), 0);
        EXPECT_EQ(reported.nb_channels, 2u);
        char out[16] = {};
        EXPECT_EQ(audio_read(audio.handle, out, sizeof out), 16);
        EXPECT_EQ(std::string(out, 16), samples16({2, 0, 12, 10, 22, 20, 32, 30}));
        EXPECT_EQ(audio_read(audio.handle, out, sizeof out), 0);  // end of the file
    }
    {
        // 256 frames of 2 of 8 channels of 16I: 1024 bytes asked, 4096 read from the device.
        std::string eight = test_support::pattern(4096, 3);
        write_file(path, eight);
        file_audio audio(0, path, parse("8,2"));
        stream_config octo{8, 48000, BIT_FMT_16I};
        ASSERT_EQ(audio_set_stream_config(audio.handle, &octo), 0);
        std::string out(1024, 'x');
        EXPECT_EQ(audio_read(audio.handle, out.data(), out.size()), 1024);
        std::string expected;
        for (std::size_t f = 0; f < 256; ++f) {
            expected += eight.substr(f * 16 + 14, 2) + eight.substr(f * 16 + 2, 2);
        }
        EXPECT_EQ(out, expected);
    }
}

TEST(AudioMap, FramesWithoutBytesAreRefused) {
    temp_dir dir;
    file_audio audio(1, dir.file("out.raw"), parse("1,2"));
    stream_config twelve{2, 44100, BIT_FMT_12I};
    ASSERT_EQ(audio_set_stream_config(audio.handle, &twelve), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(audio_write(audio.handle, "abcd", 4), -EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: audio_write: no whole-byte frame to map (2 channels of 12I)\n");
}

TEST(AudioRead, CompletesAFrameThatArrivesInPieces) {
    // Through a pipe a frame may arrive in two writes; the read waits for its rest instead of
    // handing out half a frame.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string device = "/proc/self/fd/" + std::to_string(fds[0]);
    file_audio audio(0, device, map_config{});
    stream_config six{2, 48000, BIT_FMT_24I};  // 6-byte frames
    ASSERT_EQ(audio_set_stream_config(audio.handle, &six), 0);
    close(fds[0]);
    std::thread writer([fd = fds[1]] {
        ASSERT_EQ(write(fd, "abcdefghi", 9), 9);  // one frame and a half
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(write(fd, "jkl", 3), 3);
        close(fd);
    });
    char out[60] = {};
    std::int32_t got = audio_read(audio.handle, out, sizeof out);
    writer.join();
    EXPECT_EQ(got, 12);
    EXPECT_EQ(std::string(out, 12), "abcdefghijkl");
    EXPECT_EQ(audio_read(audio.handle, out, sizeof out), 0);
}

}  // namespace
