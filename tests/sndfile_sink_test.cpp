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
#include <vector>

#include "common/logger.hpp"
#include "tests/support/process.hpp"
#include "tests/support/vban_packets.hpp"
#include "vban/vban.hpp"

namespace {

using test_support::temp_dir;

// The recording at `path` as stream bytes of `bit_fmt`: read with the sf_readf_* call that
// holds the format, then packed back the way the stream carries it.
std::string read_back(const std::string& path, std::uint32_t bit_fmt, SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return {};
    }
    std::size_t frames = 1 << 16;
    std::vector<std::uint8_t> raw(frames * info->channels * 8);
    sf_count_t got = 0;
    switch (bit_fmt) {
        case BIT_FMT_8I:
        case BIT_FMT_16I:
            got = sf_readf_short(file, reinterpret_cast<short*>(raw.data()), frames);
            break;
        case BIT_FMT_24I:
        case BIT_FMT_32I:
            got = sf_readf_int(file, reinterpret_cast<int*>(raw.data()), frames);
            break;
        case BIT_FMT_32F:
            got = sf_readf_float(file, reinterpret_cast<float*>(raw.data()), frames);
            break;
        default:
            got = sf_readf_double(file, reinterpret_cast<double*>(raw.data()), frames);
    }
    sf_close(file);
    std::size_t samples = static_cast<std::size_t>(got) * info->channels;
    std::string stream;
    for (std::size_t i = 0; i < samples; ++i) {
        // 8I comes back at the top of a short, 24I at the top of an int: the bytes below are 0.
        if (bit_fmt == BIT_FMT_8I) {
            EXPECT_EQ(raw[2 * i], 0) << i;
            stream += static_cast<char>(raw[2 * i + 1]);
        } else if (bit_fmt == BIT_FMT_24I) {
            EXPECT_EQ(raw[4 * i], 0) << i;
            stream.append(reinterpret_cast<const char*>(&raw[4 * i + 1]), 3);
        }
    }
    if (bit_fmt != BIT_FMT_8I && bit_fmt != BIT_FMT_24I) {
        stream.assign(reinterpret_cast<const char*>(raw.data()), samples * bit_fmt_size[bit_fmt]);
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
    struct take_case {
        const char* path;
        std::uint32_t take;
        const char* name;
    };
    for (const take_case& c : {take_case{"take.wav", 1, "take.wav"},
                               {"take.wav", 2, "take-2.wav"},
                               {"take.wav", 3, "take-3.wav"},
                               {"/srv/rec.d/a.b.flac", 12, "/srv/rec.d/a.b-12.flac"},
                               {"rec.d/take", 2, "rec.d/take-2"}}) {
        char name[64];
        EXPECT_EQ(sndfile_take_name(c.path, c.take, name, sizeof name),
                  static_cast<std::int32_t>(std::strlen(c.name)));
        EXPECT_STREQ(name, c.name);
    }
    char small[10];
    EXPECT_EQ(sndfile_take_name("take.wav", 0, small, sizeof small), -EINVAL);
    EXPECT_EQ(sndfile_take_name("take.wav", 2, small, sizeof small), -ENAMETOOLONG);

    // Take 1 is created with the raw output's mode; take 2 is its own file, and replaces one.
    temp_dir dir;
    test_support::write_file(dir.file("take-2.wav"), std::string(100000, 'x'));
    sndfile_sink sink;
    stream_config config{2, 48000, BIT_FMT_16I};
    for (std::uint32_t take : {1u, 2u}) {
        mode_t old_mask = umask(0);
        ASSERT_EQ(sink.open(dir.file("take.wav").c_str(), take, &config), 0);
        umask(old_mask);
        ASSERT_EQ(sink.write(test_support::pattern(400, 1).data(), 400), 400);
    }
    EXPECT_EQ(sink.close(), 0);
    struct stat info;
    ASSERT_EQ(stat(dir.file("take.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_size, 44 + 400);
    ASSERT_EQ(stat(dir.file("take-2.wav").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 44 + 400);
}

TEST(SndfileSink, EveryFormatReadsBackExactly) {
    struct format_case {
        const char* extension;
        int major;
        std::uint32_t bit_fmt;
        int subtype;
    };
    const format_case cases[] = {
        {"wav", SF_FORMAT_WAV, BIT_FMT_8I, SF_FORMAT_PCM_U8},
        {"wav", SF_FORMAT_WAV, BIT_FMT_16I, SF_FORMAT_PCM_16},
        {"wav", SF_FORMAT_WAV, BIT_FMT_24I, SF_FORMAT_PCM_24},
        {"wav", SF_FORMAT_WAV, BIT_FMT_32I, SF_FORMAT_PCM_32},
        {"wav", SF_FORMAT_WAV, BIT_FMT_32F, SF_FORMAT_FLOAT},
        {"wav", SF_FORMAT_WAV, BIT_FMT_64F, SF_FORMAT_DOUBLE},
        {"W64", SF_FORMAT_W64, BIT_FMT_8I, SF_FORMAT_PCM_U8},
        {"W64", SF_FORMAT_W64, BIT_FMT_16I, SF_FORMAT_PCM_16},
        {"W64", SF_FORMAT_W64, BIT_FMT_24I, SF_FORMAT_PCM_24},
        {"W64", SF_FORMAT_W64, BIT_FMT_32I, SF_FORMAT_PCM_32},
        {"W64", SF_FORMAT_W64, BIT_FMT_32F, SF_FORMAT_FLOAT},
        {"W64", SF_FORMAT_W64, BIT_FMT_64F, SF_FORMAT_DOUBLE},
        {"flac", SF_FORMAT_FLAC, BIT_FMT_8I, SF_FORMAT_PCM_S8},
        {"flac", SF_FORMAT_FLAC, BIT_FMT_16I, SF_FORMAT_PCM_16},
        {"flac", SF_FORMAT_FLAC, BIT_FMT_24I, SF_FORMAT_PCM_24},
    };
    const std::uint32_t rates[] = {8000, 44100, 96000, 22050, 48000, 192000};
    temp_dir dir;
    sndfile_sink sink;
    for (std::uint32_t i = 0; i < std::size(cases); ++i) {
        const format_case& c = cases[i];
        std::string path = dir.file("take." + std::string(c.extension));
        stream_config config{1 + i % 3, rates[i % std::size(rates)], c.bit_fmt};
        SCOPED_TRACE(path + " " + bit_fmt_name(c.bit_fmt) + " x" +
                     std::to_string(config.nb_channels));
        std::size_t frame = config.nb_channels * bit_fmt_size[c.bit_fmt];
        std::string samples = test_support::pattern(1256 * frame, i);
        ASSERT_EQ(sink.open(path.c_str(), 1, &config), 0);
        // One packet, then more frames than the conversion buffer holds and a partial frame.
        ASSERT_EQ(sink.write(samples.data(), 256 * frame), static_cast<std::int32_t>(256 * frame));
        std::string rest = samples.substr(256 * frame) + std::string(frame - 1, '!');
        ASSERT_EQ(sink.write(rest.data(), rest.size()), static_cast<std::int32_t>(1000 * frame));
        ASSERT_EQ(sink.close(), 0);

        SF_INFO info;
        EXPECT_EQ(read_back(path, c.bit_fmt, &info), samples);
        EXPECT_EQ(info.format, c.major | c.subtype);
        EXPECT_EQ(info.samplerate, static_cast<int>(config.sample_rate));
        EXPECT_EQ(info.channels, static_cast<int>(config.nb_channels));
        EXPECT_EQ(info.frames, 1256);
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
    testing::internal::CaptureStderr();
    EXPECT_EQ(sink.write("abcd", 4), -ENODEV);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: sndfile_write: device not open\n");
}

// A writer killed after 20 packets of 256 stereo frames at 48000 Hz: WAV and W64 rewrite the
// header every 4800 frames (the 19th packet), FLAC keeps its whole blocks of 4096 frames.
TEST(SndfileSink, KilledRecordingKeepsFramesUpToTheLastHeaderUpdate) {
    struct kill_case {
        const char* name;
        sf_count_t at_least;
    };
    temp_dir dir;
    const std::string samples = test_support::pattern(20 * 1024, 7);
    for (const kill_case& c :
         {kill_case{"killed.wav", 19 * 256}, {"killed.w64", 19 * 256}, {"killed.flac", 4096}}) {
        std::string path = dir.file(c.name);
        int written[2];
        ASSERT_EQ(pipe(written), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            sndfile_sink sink;
            stream_config config{2, 48000, BIT_FMT_16I};
            bool ok = sink.open(path.c_str(), 1, &config) == 0;
            for (std::size_t packet = 0; ok && packet < 20; ++packet) {
                ok = sink.write(samples.data() + packet * 1024, 1024) == 1024;
            }
            char done = ok ? 'y' : 'n';
            (void)!::write(written[1], &done, 1);
            pause();
            _exit(1);
        }
        ::close(written[1]);
        char done = 0;
        EXPECT_EQ(::read(written[0], &done, 1), 1);
        ::close(written[0]);
        EXPECT_EQ(done, 'y');
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status));

        SF_INFO info;
        std::string kept = read_back(path, BIT_FMT_16I, &info);
        EXPECT_GE(kept.size(), static_cast<std::size_t>(c.at_least) * 4) << c.name;
        EXPECT_EQ(kept, samples.substr(0, kept.size())) << c.name;
    }
    // Another reader than libsndfile takes the WAV header's count.
    auto soxi = test_support::run({"soxi", "-s", dir.file("killed.wav")}, std::chrono::seconds(10));
    EXPECT_EQ(soxi.out, std::to_string(19 * 256) + "\n") << soxi.err;
}

}  // namespace
