// SPDX-License-Identifier: MIT
// quellor and dorvane on ALSA, run as programs with a test .asoundrc (alsa_test_home.hpp):
// the bytes on the wire and in the recordings are compared with what they must be.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/alsa/alsa_test_home.hpp"
#include "tests/support/poll.hpp"
#include "tests/support/process.hpp"
#include "tests/support/udp.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::background_process;
using test_support::free_udp_port;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::udp_socket;

const std::string quellor = QUELLOR_PATH;
const std::string dorvane = DORVANE_PATH;

constexpr std::uint8_t rate_44100 = 16;  // VBAN rate indexes
constexpr std::uint8_t rate_48000 = 3;

// One VBAN audio datagram as a sender must build it.
std::string vban_packet(const std::string& name, std::uint8_t rate_index, unsigned channels,
                        std::uint8_t bit_fmt, std::size_t frames, std::uint32_t counter,
                        const std::string& samples) {
    std::string packet = "VBAN";
    packet += static_cast<char>(rate_index);
    packet += static_cast<char>(frames - 1);
    packet += static_cast<char>(channels - 1);
    packet += static_cast<char>(bit_fmt);
    std::string padded = name;
    padded.resize(16, '\0');
    packet += padded;
    for (int shift = 0; shift < 32; shift += 8) {
        packet += static_cast<char>((counter >> shift) & 0xff);
    }
    return packet + samples;
}

// What a receiver that holds its latency may play of `sent`: all of it in order, but for what
// it trims as it starts, and starts again after an underrun, to begin at its latency (whole
// frames, from the oldest it holds). Empty when `recorded` is `sent` with at most `cuts` runs of
// frames taken out, none longer than `most` bytes; else where it is not.
std::string cut_from(const std::string& recorded, const std::string& sent, std::size_t frame,
                     int cuts, std::size_t most) {
    std::size_t from = 0;
    for (std::size_t at = 0; at < recorded.size(); at += frame, from += frame) {
        const std::size_t found = sent.find(recorded.substr(at, frame), from);
        if (found == std::string::npos || found % frame != 0 ||
            (found != from && (--cuts < 0 || found - from > most))) {
            return "recorded byte " + std::to_string(at) + " is not where it may be";
        }
        from = found;
    }
    return "";
}

std::string random_bytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

using test_support::poll_until;

bool contains(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// dorvane on loopback, started with `options` after -i, -p and -s, and ready to receive.
struct receptor {
    receptor(const alsa_test::home& home, const std::vector<std::string>& options)
        : port(free_udp_port()),
          out(home.path() + "/dorvane.out"),
          err(home.path() + "/dorvane.err"),
          process(arguments(options), out, err, home.env()) {
        EXPECT_TRUE(test_support::wait_until_udp_port_bound(port, 5s));
    }

    std::vector<std::string> arguments(const std::vector<std::string>& options) const {
        std::vector<std::string> argv = {dorvane, "-i", "127.0.0.1", "-p", std::to_string(port),
                                         "-s",    "Rec"};
        argv.insert(argv.end(), options.begin(), options.end());
        return argv;
    }

    std::uint16_t port;
    std::string out;
    std::string err;
    background_process process;
};

// Without -b and -d, dorvane plays through ALSA's default device, here the recorder, whose
// file names carry the ALSA format it was opened with. Each stream must be recorded
// byte for byte, 24I as packed 3-byte samples. A packet that waited longer than the latency
// while the device opened is stale, and trimmed: the latency is a second, which no open
// takes, however slow the build or busy the machine.
TEST(AlsaPrograms, DorvaneRecordsEveryFormatThroughTheDefaultDevice) {
    alsa_test::home home;
    udp_socket sender;
    receptor dorvane_process(home, {"--latency=1000"});

    struct format {
        std::uint8_t bit_fmt;
        std::size_t sample_size;
        std::string alsa_name;
    };
    const std::vector<format> formats = {{0, 1, "S8"},       {1, 2, "S16_LE"},
                                         {2, 3, "S24_3LE"},  {3, 4, "S32_LE"},
                                         {4, 4, "FLOAT_LE"}, {5, 8, "FLOAT64_LE"}};
    std::map<std::string, std::string> expected;  // recording → the samples sent
    std::uint32_t counter = 0;
    for (unsigned channels : {1u, 2u, 6u}) {
        for (const format& f : formats) {
            const std::size_t frame = channels * f.sample_size;
            const std::string recording = home.recording(channels, f.alsa_name, 48000);
            for (std::size_t frames : {std::min<std::size_t>(256, 1436 / frame), std::size_t{5}}) {
                std::string samples = random_bytes(frames * frame, ++counter);
                sender.send_to(
                    "127.0.0.1", dorvane_process.port,
                    vban_packet("Rec", rate_48000, channels, f.bit_fmt, frames, counter, samples));
                expected[recording] += samples;
                // The next packet goes out once dorvane has opened the device for this stream:
                // packets that queue up while an output opens are a stale backlog, dropped.
                ASSERT_TRUE(poll_until([&] { return std::filesystem::exists(recording); }, 5s))
                    << recording;
            }
        }
    }
    // The file plugin writes a recording out completely when its PCM closes: one more stream
    // makes dorvane close the last one.
    const std::string last = home.recording(1, "S16_LE", 44100);
    sender.send_to("127.0.0.1", dorvane_process.port,
                   vban_packet("Rec", rate_44100, 1, 1, 16, ++counter, random_bytes(32, 0)));
    ASSERT_TRUE(poll_until([&] { return std::filesystem::exists(last); }, 5s));

    EXPECT_EQ(expected.size(), 18u);
    for (const auto& [recording, samples] : expected) {
        std::string recorded = read_file(recording);
        EXPECT_EQ(recorded.size(), samples.size()) << recording;
        EXPECT_TRUE(recorded == samples) << recording;
    }
    EXPECT_TRUE(dorvane_process.process.running());
    // SIGTERM ends it the normal way, with status 0; nothing but the version line goes to
    // standard output.
    EXPECT_EQ(dorvane_process.process.stop(SIGTERM, 5s), 0);
    EXPECT_EQ(read_file(dorvane_process.out), "dorvane version 2.1.0\n\n");
    EXPECT_EQ(read_file(dorvane_process.err), "");
}

// Three clips of half a second, sent by three runs of quellor half a second apart (each counting
// its packets from 1), are all played: the statistics count two restarts and no duplicates. A
// packet 60000 counters ahead in the middle of the second is a stray: dropped, and nothing is
// lost or late because of it.
TEST(AlsaPrograms, DorvanePlaysEveryRunOfARestartedSender) {
    alsa_test::home home;
    // Packets that queue up while the device opens are not taken for a stale backlog.
    receptor receiver(home, {"-l", "3", "--latency=2000"});
    udp_socket forger;
    std::string clips;
    for (std::uint32_t k = 1; k <= 3; ++k) {
        const std::string clip = random_bytes(24000 * 4, k);
        background_process sender({quellor, "-i", "127.0.0.1", "-p", std::to_string(receiver.port),
                                   "-s", "Rec", "-b", "file", "-r", "48000"},
                                  "", "", home.env(), true);
        EXPECT_EQ(write(sender.input(), clip.data(), clip.size() / 2), 48000);
        if (k == 2) {
            std::this_thread::sleep_for(50ms);
            forger.send_to(
                "127.0.0.1", receiver.port,
                vban_packet("Rec", rate_48000, 2, 1, 256, 47 + 60000, clip.substr(0, 1024)));
        }
        EXPECT_EQ(write(sender.input(), clip.data() + 48000, 48000), 48000);
        sender.close_input();
        EXPECT_EQ(sender.wait_for_exit(10s), 0);
        clips += clip;
        std::this_thread::sleep_for(500ms);
    }
    // The file plugin writes the recording out when its PCM closes, at the end.
    EXPECT_EQ(receiver.process.stop(SIGTERM, 5s), 0);
    EXPECT_TRUE(read_file(home.recording(2, "S16_LE", 48000)) == clips);
    EXPECT_TRUE(
        contains(read_file(receiver.out),
                 "stats: received 282, lost 0, duplicated 0, reordered 0, late 0, strays 1, "
                 "restarts 2,"))
        << read_file(receiver.out);
}

// quellor sends the captured bytes in order, a full payload in every packet. The capture PCM
// is fed from a file and, past its end, goes on delivering frames unpaced, so the test reads
// exactly the packets of the file (fewer than the listener's socket holds) and then stops it.
TEST(AlsaPrograms, QuellorSendsExactlyTheCapturedInput) {
    alsa_test::home home;
    struct run_case {
        std::vector<std::string> options;
        std::uint8_t rate_index;
        unsigned channels;
        std::uint8_t bit_fmt;
        std::size_t frames;  // per packet
        std::size_t packets;
    };
    const std::vector<run_case> cases = {
        {{}, rate_44100, 2, 1, 256, 40},  // the defaults: ALSA's default device, 2 × 16I
        {{"-b", "alsa", "-d", "capture", "-n", "1", "-f", "24I", "-r", "48000"},
         rate_48000,
         1,
         2,
         256,
         30},
    };
    for (const run_case& c : cases) {
        const std::size_t payload = c.frames * c.channels * (c.bit_fmt == 2 ? 3 : 2);
        const std::string input = random_bytes(c.packets * payload, c.bit_fmt);
        alsa_test::write_file(home.capture_input(), input);
        udp_socket listener;
        std::vector<std::string> argv = {
            quellor, "-i", "127.0.0.1", "-p", std::to_string(listener.port()), "-s", "Cap"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        background_process emitter(argv, "", home.path() + "/quellor.err", home.env());
        for (std::size_t k = 0; k < c.packets; ++k) {
            auto datagram = listener.receive(5s);
            ASSERT_TRUE(datagram.has_value()) << "packet " << k + 1;
            EXPECT_TRUE(*datagram == vban_packet("Cap", c.rate_index, c.channels, c.bit_fmt,
                                                 c.frames, static_cast<std::uint32_t>(k + 1),
                                                 input.substr(k * payload, payload)))
                << "packet " << k + 1 << " of " << datagram->size() << " bytes";
        }
        emitter.stop(SIGKILL, 5s);
        EXPECT_EQ(read_file(home.path() + "/quellor.err"), "");
    }
}

// An unknown device: quellor fails at start-up with ALSA's code as its exit status; dorvane
// reports it at the first packet and goes on listening.
TEST(AlsaPrograms, AnUnknownDeviceEndsQuellorButNotDorvane) {
    alsa_test::home home;
    const std::string lines =
        "Fatal: alsa_open: open error: nosuchpcm: No such file or directory\n"
        "Error: audio_set_stream_config: could not open backend with new config\n";

    udp_socket listener;
    std::vector<std::string> env = home.env();
    // On a failed start-up step quellor leaves what the earlier steps built to the end of the
    // process, which LeakSanitizer would report.
    env.push_back("ASAN_OPTIONS=detect_leaks=0");
    run_result emitter = run({quellor, "-i", "127.0.0.1", "-p", std::to_string(listener.port()),
                              "-s", "Cap", "-b", "alsa", "-d", "nosuchpcm", "-l", "2"},
                             10s, env);
    EXPECT_EQ(emitter.exit_status, 256 - ENOENT);
    // libasound's own line too, through the logger.
    EXPECT_TRUE(
        contains(emitter.err, "Warning: alsa_lib: snd_pcm_open_noupdate: Unknown PCM nosuchpcm\n"))
        << emitter.err;
    EXPECT_TRUE(contains(emitter.err, lines)) << emitter.err;
    EXPECT_FALSE(listener.receive(50ms).has_value());

    udp_socket sender;
    receptor receiver(home, {"-d", "nosuchpcm"});
    sender.send_to("127.0.0.1", receiver.port,
                   vban_packet("Rec", rate_44100, 2, 1, 4, 1, random_bytes(16, 1)));
    ASSERT_TRUE(poll_until([&] { return contains(read_file(receiver.err), lines); }, 5s))
        << read_file(receiver.err);
    EXPECT_TRUE(receiver.process.running());
}

// A format the device refuses is reported once and its packets are dropped; the stream that
// follows in a format the device takes plays.
TEST(AlsaPrograms, DorvaneOutlivesAFormatTheDeviceRefuses) {
    alsa_test::home home;
    udp_socket sender;
    receptor receiver(home, {"-d", "intrecord"});
    for (std::uint32_t k = 1; k <= 5; ++k) {
        sender.send_to("127.0.0.1", receiver.port,
                       vban_packet("Rec", rate_48000, 2, 4, 64, k, random_bytes(512, k)));
    }
    // The rest of the stream goes out once the refusal is through, and then a packet at a time
    // once the device is open for it: packets that queue up while an output opens are a stale
    // backlog, which the receiver drops. The first open of a process also reads ALSA's
    // configuration, which takes longer where plugins hook into it (PulseAudio's asks for its
    // server).
    ASSERT_TRUE(
        poll_until([&] { return contains(read_file(receiver.err), "the output cannot play"); }, 5s))
        << read_file(receiver.err);
    const std::string recording = home.recording(2, "S16_LE", 48000);
    std::string samples;
    for (std::uint32_t k = 6; k <= 13; ++k) {
        const std::string block = random_bytes(1024, k);
        sender.send_to("127.0.0.1", receiver.port,
                       vban_packet("Rec", rate_48000, 2, 1, 256, k, block));
        samples += block;
        ASSERT_TRUE(poll_until([&] { return std::filesystem::exists(recording); }, 5s));
    }
    // The file plugin writes out what it holds when its PCM closes: one more stream closes it.
    // The output starts at its latency: of the oldest block, what is over it may be trimmed.
    sender.send_to("127.0.0.1", receiver.port,
                   vban_packet("Rec", rate_44100, 1, 1, 16, 14, random_bytes(32, 0)));
    ASSERT_TRUE(
        poll_until([&] { return read_file(recording).size() + 1024 >= samples.size(); }, 5s));
    EXPECT_EQ(cut_from(read_file(recording), samples, 4, 1, 1024), "");
    EXPECT_GE(read_file(recording).size() + 1024, samples.size());
    EXPECT_TRUE(receiver.process.running());
    const std::string err = read_file(receiver.err);
    EXPECT_EQ(occurrences(err, "Error: alsa_open: set_params error: Invalid argument\n"), 1u)
        << err;
    EXPECT_EQ(occurrences(err, "Error: main: the output cannot play 2 channels at 48000 Hz in 32F"),
              1u)
        << err;
}

// A capture overrun that ALSA repairs does not end the stream: quellor goes on with full
// packets and consecutive counters until the device breaks for good, and then ends with the
// failed recovery's code (-EIO).
TEST(AlsaPrograms, QuellorCarriesOnAfterAnOverrun) {
    alsa_test::home home;
    udp_socket listener;
    run_result emitter = run({quellor, "-i", "127.0.0.1", "-p", std::to_string(listener.port()),
                              "-s", "Cap", "-b", "alsa", "-d", "overrun"},
                             10s, home.env());
    EXPECT_EQ(emitter.exit_status, 256 - EIO);
    // The device overruns after 768 frames (3 packets) and breaks after 2048 (8 packets).
    for (std::uint32_t k = 1; k <= 8; ++k) {
        std::string samples(1024, '\0');
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<char>(((k - 1) * 1024 + i) % 251);
        }
        auto datagram = listener.receive(5s);
        ASSERT_TRUE(datagram.has_value()) << "packet " << k;
        EXPECT_TRUE(*datagram == vban_packet("Cap", rate_44100, 2, 1, 256, k, samples))
            << "packet " << k;
    }
    EXPECT_FALSE(listener.receive(50ms).has_value());
    EXPECT_EQ(occurrences(emitter.err, "Error: alsa_read: snd_pcm_readi failed: Broken pipe\n"), 2u)
        << emitter.err;
    EXPECT_TRUE(contains(emitter.err,
                         "Error: alsa_read: snd_pcm_recover failed: Input/output error\n"
                         "Error: audio_read: backend read failed\n"))
        << emitter.err;
}

// A playback underrun stops nothing: the device is prepared again, the block that met the
// underrun is written again, and the stream goes on from there. It starts again at its latency,
// as at the start: of what waited for it, the part that is over the latency is trimmed.
TEST(AlsaPrograms, DorvanePlaysOnAfterAnUnderrun) {
    alsa_test::home home;
    udp_socket sender;
    receptor receiver(home, {"-b", "alsa", "-d", "underrun", "-l", "2"});
    std::string played;
    for (std::uint32_t k = 1; k <= 7; ++k) {
        std::string samples = random_bytes(1024, k);
        sender.send_to("127.0.0.1", receiver.port,
                       vban_packet("Rec", rate_44100, 2, 1, 256, k, samples));
        played += samples;  // the device underruns once 768 frames (3 blocks) have been played
        // The next block goes out once the device is open: blocks that queue up while an
        // output opens are a stale backlog, which the receiver drops.
        ASSERT_TRUE(
            poll_until([&] { return std::filesystem::exists(home.underrun_output()); }, 5s));
    }
    // Of the seven blocks, what a start and a start again trim (each less than a block), and
    // what the device still holds when the stream ends, is not heard.
    ASSERT_TRUE(
        poll_until([&] { return read_file(home.underrun_output()).size() >= 4 * 1024; }, 5s));
    EXPECT_EQ(cut_from(read_file(home.underrun_output()), played, 4, 2, 1024), "");
    std::string err = read_file(receiver.err);
    EXPECT_EQ(occurrences(err, "Error: alsa_write: snd_pcm_writei failed: Broken pipe\n"), 1u)
        << err;
    EXPECT_EQ(occurrences(err, "Warning: main: wrote"), 0u) << err;
    EXPECT_TRUE(receiver.process.running());
}

}  // namespace
