// SPDX-License-Identifier: MIT
// Recordings with headers, read back with libsndfile (and once with sox) sample for sample.

#include "audio/backends/sndfile_sink.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/vban_packets.hpp"
#include "vban/vban.hpp"

namespace {

using namespace std::string_literals;
using test_support::temp_dir;

// The recording at `path` as stream bytes of `bit_fmt`: read with the sf_readf_* call that
// holds the format, 8I and 24I taken from the top of their short and int.
std::string read_back(const std::string& path, std::uint32_t bit_fmt, SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::vector<double> storage(1 << 16);  // 64-bit words, aligned for every sample type
    auto* words = storage.data();
    sf_count_t frames = storage.size() / info->channels;
    sf_count_t got =
        bit_fmt <= BIT_FMT_16I   ? sf_readf_short(file, reinterpret_cast<short*>(words), frames)
        : bit_fmt <= BIT_FMT_32I ? sf_readf_int(file, reinterpret_cast<int*>(words), frames)
        : bit_fmt == BIT_FMT_32F ? sf_readf_float(file, reinterpret_cast<float*>(words), frames)
                                 : sf_readf_double(file, words, frames);
    sf_close(file);
    std::size_t size = bit_fmt_size[bit_fmt];
    std::size_t wide = bit_fmt == BIT_FMT_8I ? 2 : bit_fmt == BIT_FMT_24I ? 4 : size;
    std::string stream;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got * info->channels); ++i) {
        stream.append(reinterpret_cast<const char*>(words) + i * wide + wide - size, size);
    }
    return stream;
}

TEST(SndfileSink, ContainersAndTakeNames) {
    EXPECT_EQ(sndfile_container_of("take.wav"), sndfile_container::wav);
    EXPECT_EQ(sndfile_container_of("/srv/a.b/Take.FLAC"), sndfile_container::flac);
    EXPECT_EQ(sndfile_container_of("x.W64"), sndfile_container::w64);
    for (const char* raw : {"take.raw", "wav", "take.wav/", "a.wav/take", "take.wav.gz", ""}) {
        EXPECT_EQ(sndfile_container_of(raw), sndfile_container::none) << raw;
    }
    for (auto [path, take, name] : {std::tuple{"take.wav", 1u, "take.wav"s},
                                    {"take.wav", 2u, "take-2.wav"s},
                                    {"take.wav", 3u, "take-3.wav"s},
                                    {"/srv/rec.d/a.b.flac", 12u, "/srv/rec.d/a.b-12.flac"s},
                                    {"rec.d/take", 2u, "rec.d/take-2"s}}) {
        char written[64];
        EXPECT_EQ(sndfile_take_name(path, take, written, sizeof written), std::ssize(name));
        EXPECT_EQ(written, name);
    }
    char small[10];
    EXPECT_EQ(sndfile_take_name("take.wav", 0, small, sizeof small), -EINVAL);
    EXPECT_EQ(sndfile_take_name("take.wav", 2, small, sizeof small), -ENAMETOOLONG);

    // Take 1 is created with the raw output's mode, and started afresh; the takes after it
    // are new files, numbered past the ones already there, which keep their bytes.
    temp_dir dir;
    const std::string kept = std::string(100000, 'x');
    test_support::write_file(dir.file("take-2.wav"), kept);
    test_support::write_file(dir.file("take-3.wav"), kept);
    sndfile_sink sink;
    stream_config config{2, 48000, BIT_FMT_16I};
    for (std::uint32_t take : {1u, 2u, 5u}) {
        mode_t old_mask = umask(0);
        ASSERT_EQ(sink.open(dir.file("take.wav").c_str(), take, &config), 0);
        umask(old_mask);
        EXPECT_EQ(sink.take(), take == 2 ? 4u : take);
        ASSERT_EQ(sink.write(test_support::pattern(400, 1).data(), 400), 400);
    }
    EXPECT_EQ(sink.close(), 0);
    struct stat info;
    ASSERT_EQ(stat(dir.file("take.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_size, 44 + 400);
    ASSERT_EQ(stat(dir.file("take-4.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 44 + 400);
    EXPECT_TRUE(test_support::read_file(dir.file("take-2.wav")) == kept);
    EXPECT_TRUE(test_support::read_file(dir.file("take-3.wav")) == kept);

    // The first change of a run starts a take at once; the next ones a second apart at most.
    sndfile_take_pace pace;
    constexpr std::int64_t ms = 1'000'000;
    EXPECT_TRUE(pace.allows(5 * ms));
    pace.started(5 * ms);
    EXPECT_FALSE(pace.allows(1004 * ms));
    EXPECT_TRUE(pace.allows(1005 * ms));
    pace.started(1500 * ms);
    EXPECT_FALSE(pace.allows(2499 * ms));
}

TEST(SndfileSink, EveryFormatReadsBackExactly) {
    // The subtype that holds each format exactly, by bit_fmt; FLAC stops at 24I.
    const std::vector<int> riff = {SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24,
                                   SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,  SF_FORMAT_DOUBLE};
    const std::vector<int> flac = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24};
    const std::uint32_t rates[] = {8000, 44100, 96000, 22050, 48000, 192000, 11025};
    temp_dir dir;
    sndfile_sink sink;
    std::uint32_t round = 0;
    for (auto [extension, major, subtypes] : {std::tuple{"wav", SF_FORMAT_WAV, riff},
                                              {"W64", SF_FORMAT_W64, riff},
                                              {"flac", SF_FORMAT_FLAC, flac}}) {
        for (std::uint32_t bit_fmt = 0; bit_fmt < subtypes.size(); ++bit_fmt, ++round) {
            std::string path = dir.file("take." + std::string(extension));
            stream_config config{1 + round % 3, rates[round % std::size(rates)], bit_fmt};
            SCOPED_TRACE(path + " " + bit_fmt_name(bit_fmt) + " x" +
                         std::to_string(config.nb_channels));
            std::size_t frame = config.nb_channels * bit_fmt_size[bit_fmt];
            std::string samples = test_support::pattern(1256 * frame, round);
            ASSERT_EQ(sink.open(path.c_str(), 1, &config), 0);
            // One packet, then more frames than the conversion buffer holds and a partial frame.
            ASSERT_EQ(sink.write(samples.data(), 256 * frame),
                      static_cast<std::int32_t>(256 * frame));
            std::string rest = samples.substr(256 * frame) + std::string(frame - 1, '!');
            ASSERT_EQ(sink.write(rest.data(), rest.size()),
                      static_cast<std::int32_t>(1000 * frame));
            ASSERT_EQ(sink.close(), 0);

            SF_INFO info;
            EXPECT_EQ(read_back(path, bit_fmt, &info), samples);
            EXPECT_EQ(info.format, major | subtypes[bit_fmt]);
            EXPECT_EQ(info.samplerate, static_cast<int>(config.sample_rate));
            EXPECT_EQ(info.channels, static_cast<int>(config.nb_channels));
            EXPECT_EQ(info.frames, 1256);
        }
    }

    // FLAC holds integers of up to 24 bits: wider samples are refused before a file exists.
    for (std::uint32_t bit_fmt : {BIT_FMT_32I, BIT_FMT_32F, BIT_FMT_64F}) {
        stream_config config{2, 48000, bit_fmt};
        testing::internal::CaptureStderr();
        EXPECT_EQ(sink.open(dir.file("wide.flac").c_str(), 1, &config), -EINVAL);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(bit_fmt_name(bit_fmt)), std::string::npos) << err;
        EXPECT_NE(err.find("FLAC"), std::string::npos) << err;
        EXPECT_FALSE(sink.is_open());
    }
    EXPECT_TRUE(test_support::read_file(dir.file("wide.flac")).empty());
}

// A writer killed after 20 packets of 256 stereo frames at 48000 Hz: WAV and W64 rewrite the
// header every 4800 frames (the 19th packet), FLAC keeps its whole blocks of 4096 frames.
TEST(SndfileSink, KilledRecordingKeepsFramesUpToTheLastHeaderUpdate) {
    temp_dir dir;
    const std::string samples = test_support::pattern(20 * 1024, 7);
    for (auto [name, at_least] :
         {std::pair{"killed.wav", 19 * 256}, {"killed.w64", 19 * 256}, {"killed.flac", 4096}}) {
        std::string path = dir.file(name);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            sndfile_sink sink;
            stream_config config{2, 48000, BIT_FMT_16I};
            bool ok = sink.open(path.c_str(), 1, &config) == 0;
            for (std::size_t packet = 0; ok && packet < 20; ++packet) {
                ok = sink.write(samples.data() + packet * 1024, 1024) == 1024;
            }
            if (ok) {
                raise(SIGKILL);
            }
            _exit(1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed before it was killed";
        SF_INFO info;
        std::string kept = read_back(path, BIT_FMT_16I, &info);
        EXPECT_GE(kept.size(), static_cast<std::size_t>(at_least) * 4) << name;
        EXPECT_EQ(kept, samples.substr(0, kept.size())) << name;
    }
    // Another reader than libsndfile takes the WAV header's count.
    auto soxi = test_support::run({"soxi", "-s", dir.file("killed.wav")}, std::chrono::seconds(10));
    EXPECT_EQ(soxi.out, std::to_string(19 * 256) + "\n") << soxi.err;
}

}  // namespace
