// dorvane run as a program: its command line, and what it does with every kind of datagram.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/program_test_support.hpp"
#include "tests/support/vban_packets.hpp"
#include "vban/vban.hpp"

namespace {

using namespace program_test;
using test_support::audio_packet;
using test_support::pattern;
using test_support::run;
using test_support::run_result;
using test_support::temp_dir;
using test_support::udp_socket;

const std::string version_line = "dorvane version 2.1.0\n\n";
const std::string usage =
    "\nUsage: dorvane [OPTIONS]...\n\n"
    "-i, --ipaddress=IP      : MANDATORY. ipaddress to get stream from\n"
    "-p, --port=PORT         : MANDATORY. port to listen to\n"
    "-s, --streamname=NAME   : MANDATORY. streamname to play\n"
    "-b, --backend=TYPE      : audio backend to use. " +
    backends_help(false) +
    "\n"
    "-q, --quality=ID        : network quality indicator from 0 (low latency) to 4. This also "
    "have interaction with jack buffer size. default is 1\n"
    "-c, --channels=LIST     : channels from the stream to use. LIST is of form x,y,z,... "
    "default is to forward the stream as it is\n"
    "-o, --output=NAME       : DEPRECATED. please use -d\n"
    "-d, --device=NAME       : Audio device name. This is file name for file backend, server "
    "name for jack backend, device for alsa, stream_name for pulseaudio.\n"
    "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)\n"
    "-h, --help              : display this message\n\n";

const stream_config stereo16{2, 44100, BIT_FMT_16I};

run_result dorvane_once(std::vector<std::string> args) {
    args.insert(args.begin(), dorvane);
    return run(args, 10s);
}

TEST(Dorvane, CommandLineProblems) {
    run_result r = dorvane_once({"-h"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, version_line + usage);
    EXPECT_EQ(r.err, "");

    for (std::vector<std::string> args :
         {std::vector<std::string>{"-p", "6980", "-s", "S"},
          {"-i", "127.0.0.1", "-s", "S"},
          {"-i", "127.0.0.1", "-p", "6980"},
          {"-i", "127.0.0.1", "-p", "65536", "-s", "S"},
          {"-i", "127.0.0.1", "-p", "0", "-s", "S", "-b", "file"}}) {
        r = dorvane_once(args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, version_line + usage);
        EXPECT_EQ(r.err, "Fatal: Missing ip address, port or stream name\n");
    }

    r = dorvane_once({"-x"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, version_line + usage);
    EXPECT_EQ(r.err, dorvane + ": invalid option -- 'x'\n");

    // A backend that is not in the table ends the start-up with -19.
    r = dorvane_once({"-i", "127.0.0.1", "-p", std::to_string(test_support::free_udp_port()), "-s",
                      "S", "-b", "jackd"});
    EXPECT_EQ(r.exit_status, 256 - 19);
    EXPECT_EQ(r.err,
              "Error: audio_backend_get_by_name: no backend found with name jackd\n"
              "Fatal: audio_init: jackd backend not available\n");

    // A port in use: the bind's errno, positive.
    udp_socket holder("0.0.0.0", 0);
    r = dorvane_once({"-i", "127.0.0.1", "-p", std::to_string(holder.port()), "-s", "S"});
    EXPECT_EQ(r.exit_status, EADDRINUSE);
    EXPECT_EQ(r.err, "Error: socket_open: unable to bind socket\n");
}

TEST(Dorvane, QualitySetsTheBufferSize) {
    const std::pair<const char*, int> rows[] = {
        {"0", 1536}, {"1", 3072},   {"2", 6144},   {"3", 12288},  {"4", 24576},
        {"5", 1464}, {"255", 1464}, {"256", 1536}, {"abc", 1536}, {nullptr, 3072},
    };
    for (auto [quality, size] : rows) {
        // -b with an unknown name stops the program right after the audio object's first line.
        std::vector<std::string> args = {
            "-l", "3",     "-i", "127.0.0.1", "-p", std::to_string(test_support::free_udp_port()),
            "-s", "S",     "-b", "none",      "-d", "first",
            "-o", "second"};
        if (quality != nullptr) {
            args.push_back("-q");
            args.push_back(quality);
        }
        run_result r = dorvane_once(args);
        std::string line =
            "Info: audio_init: config is direction out, backend none, device "
            "second, buffer size " +
            std::to_string(size) + "\n";
        EXPECT_NE(r.out.find(line), std::string::npos) << (quality ? quality : "default") << r.out;
    }
}

TEST(Dorvane, DropsWhatIsNotItsStreamAndKeepsListening) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file"});  // no device: standard output
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    udp_socket stranger("127.0.0.2", 0);
    auto send = [&](udp_socket& from, const std::string& datagram) {
        ASSERT_EQ(from.send_to("127.0.0.1", receiver.port, datagram),
                  static_cast<long>(datagram.size()));
    };

    std::string good = pattern(1024, 7);
    std::string valid = audio_packet("Stream1", stereo16, good);
    std::string wrong_payload = valid + "xxxx";  // the header announces 1024 bytes
    std::string bad_rate = valid;
    bad_rate[4] = 21;
    std::string oversized = audio_packet("Stream1", stereo16, pattern(1436, 8)) + pattern(600, 9);
    oversized[5] = static_cast<char>((1436 + 600) / 4 - 1);

    send(stranger, valid);
    send(peer, audio_packet("Stream2", stereo16, good));
    send(peer, test_support::text_packet("Stream1", "hello"));
    send(peer, valid.substr(0, 28));
    send(peer, oversized);
    send(peer, wrong_payload);
    send(peer, bad_rate);
    std::this_thread::sleep_for(300ms);
    // Nothing reaches the output before the first accepted packet. (The version line waits in
    // the buffer of standard output, which is not a terminal here, so the samples that follow
    // on the same descriptor stay whole.)
    EXPECT_EQ(receiver.out(), "");
    EXPECT_TRUE(receiver.process->running());

    send(peer, valid);
    send(stranger, audio_packet("Stream1", stereo16, pattern(1024, 10)));
    send(peer, audio_packet("Stream1", stereo16, pattern(512, 11)));
    ASSERT_TRUE(test_support::wait_for_file_size(receiver.out_path, 1024 + 512, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receiver.out(), good + pattern(512, 11));
    EXPECT_EQ(receiver.err(), "");  // at the default level every drop is quiet
    EXPECT_TRUE(receiver.process->running());
}

TEST(Dorvane, FollowsEveryChangeOfTheStream) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("out.raw")});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    std::string first = pattern(1024, 1);
    std::string second = pattern(1024, 2);
    peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, first));
    peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, second));
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 2048, 5s));
    EXPECT_EQ(test_support::read_file(dir.file("out.raw")), first + second);

    // Mono at the same rate: the file is opened again, and holds only the new samples.
    std::string mono = pattern(512, 3);
    peer.send_to("127.0.0.1", receiver.port,
                 audio_packet("Stream1", stream_config{1, 44100, BIT_FMT_16I}, mono));
    std::string rate = pattern(512, 4);
    peer.send_to("127.0.0.1", receiver.port,
                 audio_packet("Stream1", stream_config{1, 48000, BIT_FMT_16I}, rate));
    std::string same = pattern(256, 5);
    peer.send_to("127.0.0.1", receiver.port,
                 audio_packet("Stream1", stream_config{1, 48000, BIT_FMT_16I}, same));
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 768, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(test_support::read_file(dir.file("out.raw")), rate + same);
    // Packets that keep the configuration leave the file open: "same" follows "rate".
}

TEST(Dorvane, FailuresInTheLoopEndItWithTheirResult) {
    temp_dir dir;
    udp_socket peer("127.0.0.1", 0);
    {
        // The output cannot be opened at the first packet: -ENOENT.
        running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("no/such/file")});
        ASSERT_TRUE(receiver.ready);
        peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, pattern(8, 1)));
        EXPECT_EQ(receiver.process->wait_for_exit(5s), 256 - ENOENT);
        EXPECT_EQ(receiver.err(),
                  "Fatal: file_open: open error\nopen: No such file or directory\n"
                  "Error: audio_set_stream_config: could not open backend with new config\n");
    }
    {
        // The output refuses the samples: the write's -1.
        running_dorvane receiver(dir, {"-b", "file", "-d", "/dev/full"});
        ASSERT_TRUE(receiver.ready);
        peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, pattern(8, 1)));
        EXPECT_EQ(receiver.process->wait_for_exit(5s), 255);
        EXPECT_EQ(receiver.err(), "Error: file_write:\nwrite: No space left on device\n");
    }
}

TEST(Dorvane, ChannelMapOnPlayback) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("out.raw"), "-c", "2,1,3"});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    std::string frames = pattern(1024, 6);
    peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, frames));
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 1536, 5s));
    std::string expected;
    for (std::size_t f = 0; f < 256; ++f) {
        expected += frames.substr(f * 4 + 2, 2) + frames.substr(f * 4, 2) + std::string(2, '\0');
    }
    EXPECT_EQ(test_support::read_file(dir.file("out.raw")), expected);
}

}  // namespace
