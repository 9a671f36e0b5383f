// SPDX-License-Identifier: MIT
// dorvane run as a program: its command line, and what it does with every kind of datagram.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>

#include "tests/program_test_support.hpp"
#include "tests/support/poll.hpp"
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
    "-i, --ipaddress=IP      : MANDATORY. ipaddress or host name to get stream from\n"
    "-p, --port=PORT         : MANDATORY. port to listen to\n"
    "-s, --streamname=NAME   : MANDATORY. streamname to play\n"
    "-b, --backend=TYPE      : audio backend to use. " +
    backends_help() +
    "\n"
    "-q, --quality=ID        : network quality indicator from 0 (low latency) to 4: the latency "
    "held on alsa, jack and pulse is 8, 16, 32, 64 or 128 ms. default is 1 (16 ms)\n"
    "-c, --channels=LIST     : channels from the stream to use. LIST is of form x,y,z,... "
    "default is to forward the stream as it is\n"
    "-o, --output=NAME       : DEPRECATED. please use -d\n"
    "-d, --device=NAME       : Audio device name. This is file name for file backend, client "
    "name for jack backend, device for alsa, sink for pulse.\n"
    "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)\n"
    "    --latency=MS        : latency to hold on alsa, jack and pulse, in milliseconds, instead "
    "of the quality's\n"
    "    --bit-exact         : play the samples untouched on alsa, jack and pulse: the sender's "
    "clock is not followed\n"
    "    --stats=SECONDS     : seconds between two statistics lines at log level 3, from 0.1 to "
    "3600. default 10\n"
    "    --version           : display the version and exit\n"
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

    for (std::vector<std::string> args : {std::vector<std::string>{"-p", "6980", "-s", "S"},
                                          {"-i", "127.0.0.1", "-s", "S"},
                                          {"-i", "127.0.0.1", "-p", "6980"}}) {
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

    // A port in use: the bind's errno, positive, and a line that says which port.
    udp_socket holder("0.0.0.0", 0);
    const std::string busy = std::to_string(holder.port());
    r = dorvane_once({"-i", "127.0.0.1", "-p", busy, "-s", "S"});
    EXPECT_EQ(r.exit_status, EADDRINUSE);
    EXPECT_EQ(r.err, "Error: socket_open: unable to bind socket to 0.0.0.0 port " + busy +
                         ": port " + busy + " is in use\n");

    // Values that cannot be used as given are refused at once, without the usage text.
    const std::string port = std::to_string(test_support::free_udp_port());
    r = dorvane_once({"-i", "127.0.0.1", "-p", port, "-s", "S", "-o", std::string(4096, 'x')});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Fatal: Value of -o, --output is too long: at most 4095 bytes are allowed\n");
    EXPECT_EQ(r.out, "");

    r = dorvane_once({"--version", "-b", "file"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, version_line);
}

// A path is used whole, however long (the system allows 4095 bytes), and a name may fill the
// header's 16 bytes.
TEST(Dorvane, LongPathsAndFullLengthNamesAreUsedWhole) {
    temp_dir dir;
    std::string path = dir.path();
    for (int level = 0; level < 3; ++level) {
        path += "/" + std::string(100, static_cast<char>('a' + level));
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    path += "/out.raw";
    test_support::write_file(path.substr(0, 63), "unrelated");
    running_dorvane receiver(dir, {"-b", "file", "-d", path, "-s", "ABCDEFGHIJKLMNOP"});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    const std::string samples = pattern(1024, 21);
    peer.send_to("127.0.0.1", receiver.port, audio_packet("ABCDEFGHIJKLMNOP", stereo16, samples));
    ASSERT_TRUE(test_support::wait_for_file_size(path, 1024, 5s));
    EXPECT_EQ(test_support::read_file(path), samples);
    EXPECT_EQ(test_support::read_file(path.substr(0, 63)), "unrelated");
}

// The quality sets the latency held (and, as before, a buffer size in bytes); --latency sets
// the latency in milliseconds, whatever the quality.
TEST(Dorvane, QualitySetsTheLatency) {
    struct row {
        std::vector<std::string> options;
        int size;
        int latency;
    };
    const row rows[] = {
        {{"-q", "0"}, 1536, 8},
        {{"-q", "1"}, 3072, 16},
        {{"-q", "2"}, 6144, 32},
        {{"-q", "3"}, 12288, 64},
        {{"-q", "4"}, 24576, 128},
        {{}, 3072, 16},
        {{"--latency=250", "-q", "4"}, 24576, 250},
        {{"--latency=1"}, 3072, 1},
        {{"--latency=10000"}, 3072, 10000},
    };
    for (const row& r : rows) {
        // -b with an unknown name stops the program right after the audio object's first line.
        std::vector<std::string> args = {
            "-l", "3",     "-i", "127.0.0.1", "-p", std::to_string(test_support::free_udp_port()),
            "-s", "S",     "-b", "none",      "-d", "first",
            "-o", "second"};
        args.insert(args.end(), r.options.begin(), r.options.end());
        run_result result = dorvane_once(args);
        std::string line =
            "Info: audio_init: config is direction out, backend none, device "
            "second, buffer size " +
            std::to_string(r.size) + ", latency " + std::to_string(r.latency) + " ms\n";
        EXPECT_NE(result.out.find(line), std::string::npos) << r.latency << result.out;
    }
}

// Every number is read whole and within its range, before anything binds: the fatal line names
// the option and the value, and nothing else is written; the ranges' edges are taken.
TEST(Dorvane, OptionsAreRefusedBeforeAnythingBinds) {
    const std::string stats = "a number of seconds from 0.1 to 3600 is needed";
    const refused_value rows[] = {
        {"-p, --port", "0", whole_number(1, 65535)},
        {"-l, --loglevel", "-1", whole_number(0, 4)},
        {"-q, --quality", "5", whole_number(0, 4)},
        {"-q, --quality", "256", whole_number(0, 4)},
        {"-q, --quality", "abc", whole_number(0, 4)},
        {"--latency", "0", whole_number(1, 10000)},
        {"--latency", "10001", whole_number(1, 10000)},
        {"--latency", "12ms", whole_number(1, 10000)},
        {"--latency", "", whole_number(1, 10000)},
        {"--stats", "0.05", stats},
        {"--stats", "3601", stats},
        {"--stats", "1e1", stats},
        {"--stats", "-1", stats},
        {"-c, --channels", "0", channel_list},
        {"-c, --channels", "4294967297", channel_list},
        {"-c, --channels", "2,", channel_list},
    };
    const std::string port = std::to_string(test_support::free_udp_port());
    for (const refused_value& row : rows) {
        std::vector<std::string> args = {"-l", "3", "-i", "127.0.0.1", "-p", port, "-s", "S"};
        const std::vector<std::string> given = row.args();
        args.insert(args.end(), given.begin(), given.end());
        run_result r = dorvane_once(args);
        EXPECT_EQ(r.exit_status, 1) << row.option << " " << row.value;
        EXPECT_EQ(r.err, row.line());
        EXPECT_EQ(r.out, "");  // not even the version line: nothing had started
    }
    run_result r = dorvane_once({"-i", "127.0.0.1", "-p", port, "-s", "S", "stray"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Fatal: Unexpected argument 'stray': only options are taken (see --help)\n");
    r = dorvane_once({"-i", "127.000.000.001", "-p", port, "-s", "S"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, refused_value({"-i, --ipaddress", "127.000.000.001", address_or_name}).line());
    // A name that does not resolve; the resolver is told not to wait long.
    r = run({dorvane, "-i", "no.such.host.invalid", "-p", port, "-s", "S"}, 30s,
            {"RES_OPTIONS=timeout:1 attempts:1"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err.rfind("Fatal: Invalid value 'no.such.host.invalid' for -i, --ipaddress: the "
                          "name does not resolve to an IPv4 address: ",
                          0),
              0u)
        << r.err;

    // The edges: an unknown backend ends the start-up right after the socket is bound.
    r = dorvane_once({"-i", "127.0.0.1", "-p", "65535", "-s", "S", "-l", "0", "-q", "0",
                      "--stats=0.1", "-c", "256", "-b", "none"});
    EXPECT_EQ(r.exit_status, 256 - 19) << r.err;
    r = dorvane_once({"-i", "127.0.0.1", "-p", port, "-s", "S", "-l", "4", "-q", "4",
                      "--stats=3600", "-c", "1", "-b", "none"});
    EXPECT_EQ(r.exit_status, 256 - 19) << r.err;
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
    // SIGTERM is the normal end; standard output carries only the samples, not the banner.
    EXPECT_EQ(receiver.process->stop(SIGTERM, 5s), 0);
    EXPECT_EQ(receiver.out(), good + pattern(512, 11));
}

// Log lines never go into the audio: with the samples on standard output every line goes to
// standard error. Nor do they wait in a buffer: through a pipe (not a terminal) the banner,
// the info lines and the statistics (every quarter of a second here) come as they happen.
TEST(Dorvane, LogLinesNeverGoIntoTheAudioNorWaitInABuffer) {
    temp_dir dir;
    udp_socket peer("127.0.0.1", 0);
    const std::string samples = pattern(1024, 31);
    {
        running_dorvane receiver(dir, {"-b", "file", "-l", "4"});
        ASSERT_TRUE(receiver.ready);
        peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, samples));
        ASSERT_TRUE(test_support::wait_for_file_size(receiver.out_path, samples.size(), 5s));
        EXPECT_EQ(receiver.process->stop(SIGTERM, 5s), 0);
        EXPECT_TRUE(receiver.out() == samples);
        EXPECT_NE(receiver.err().find("Debug: packet_pcm_check: packet 1 of"), std::string::npos);
    }
    const std::string fifo = dir.file("log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const std::uint16_t port = test_support::free_udp_port();
    test_support::background_process receiver(
        {dorvane, "-i", "127.0.0.1", "-p", std::to_string(port), "-s", "S", "-l", "3",
         "--stats=0.25", "-b", "file", "-d", "/dev/null"},
        fifo, fifo);
    ASSERT_TRUE(test_support::wait_until_udp_port_bound(port, 10s));
    std::string log;
    auto two_statistics = [&] {
        test_support::read_available(reader, log);
        const std::size_t first = log.find("stats:");
        return first != std::string::npos && log.find("stats:", first + 1) != std::string::npos;
    };
    EXPECT_TRUE(test_support::poll_until(two_statistics, 1s)) << log;
    EXPECT_EQ(log.rfind(version_line + "Info: socket_open: opening socket", 0), 0u) << log;
    EXPECT_EQ(receiver.stop(SIGTERM, 5s), 0);
    close(reader);
}

// A FIFO the user made beforehand, with its reader already there, is used as it is: the reader
// gets the stream, and the FIFO outlives the receiver. The first SIGTERM ends the receiver the
// normal way while it waits in a write into the full pipe, or for the reader of a FIFO it
// made (status 0, the last statistics, the FIFO removed).
TEST(Dorvane, UsesTheUsersFifoAsItIsAndStopsWhileWaitingForAReader) {
    temp_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    udp_socket peer("127.0.0.1", 0);
    auto send = [&](std::uint16_t port, std::uint32_t first, std::uint32_t end) {
        for (std::uint32_t k = first; k < end; ++k) {
            peer.send_to("127.0.0.1", port, audio_packet("Stream1", stereo16, pattern(1024, k), k));
        }
    };
    {
        running_dorvane receiver(dir, {"-b", "pipe", "-d", fifo});
        ASSERT_TRUE(receiver.ready);
        send(receiver.port, 1, 3);
        std::string played;
        EXPECT_TRUE(test_support::poll_until(
            [&] { return test_support::read_available(reader, played), played.size() >= 2048; },
            5s));
        EXPECT_TRUE(played == pattern(1024, 1) + pattern(1024, 2));
        send(receiver.port, 3, 100);  // more than the pipe holds, which nobody reads now
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(receiver.process->stop(SIGTERM, 5s), 0);
        EXPECT_EQ(receiver.err(), "");
    }
    close(reader);
    struct stat info;
    EXPECT_TRUE(lstat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode));

    const std::string made = dir.file("made");
    running_dorvane receiver(dir, {"-b", "pipe", "-d", made, "-l", "3"});
    ASSERT_TRUE(receiver.ready);
    send(receiver.port, 1, 2);
    ASSERT_TRUE(test_support::poll_until(
        [&] { return receiver.out().find("waiting for a reader of " + made) != std::string::npos; },
        5s));
    EXPECT_EQ(receiver.process->stop(SIGTERM, 5s), 0);
    EXPECT_NE(receiver.out().find("Info: main: stats: received 0,"), std::string::npos);
    EXPECT_EQ(receiver.err(), "");
    EXPECT_NE(lstat(made.c_str(), &info), 0);
}

// At -l 2 the receiver says what it plays at its first packet, and what it ignores at most once
// a second of each kind; SIGUSR1 asks for its counts whatever the level.
TEST(Dorvane, ReportsWhatItPlaysWhatItIgnoresAndWhatItCounted) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("out.raw"), "-l", "2"});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    udp_socket stranger("127.0.0.2", 0);
    for (int k = 0; k < 3; ++k) {
        stranger.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, "abcd"));
        peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream2", stereo16, "abcd"));
    }
    for (std::uint32_t counter : {1u, 2u, 4u, 3u, 3u, 6u, 100u}) {
        peer.send_to("127.0.0.1", receiver.port,
                     audio_packet("Stream1", stereo16, pattern(16, counter), counter));
    }
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 7 * 16, 5s));
    kill(receiver.process->pid(), SIGUSR1);
    const std::string counts =
        "Info: main: stats: received 6, lost 31, duplicated 1, reordered 1, late 0, strays 0, "
        "restarts 0, dropped 0\n";
    ASSERT_TRUE(test_support::poll_until(
        [&] { return receiver.err().find(counts) != std::string::npos; }, 5s))
        << receiver.err();
    EXPECT_EQ(receiver.err(),
              "Warning: ignoring 'Stream1' from 127.0.0.2: waiting for 'Stream1' from 127.0.0.1\n"
              "Warning: ignoring 'Stream2' from 127.0.0.1: waiting for 'Stream1' from 127.0.0.1\n"
              "Warning: receiving 'Stream1' from 127.0.0.1: 2 ch, 44100 Hz, 16I\n" +
                  counts);
}

TEST(Dorvane, FollowsEveryChangeOfTheStream) {
    temp_dir dir;
    test_support::write_file(dir.file("out.raw"), "an earlier run's recording");
    // The sender named, as a user may, by a host name: resolved once, to 127.0.0.1.
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("out.raw")}, "localhost");
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    std::string first = pattern(1024, 1);
    std::string second = pattern(1024, 2);
    peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, first));
    peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, second));
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 2048, 5s));
    EXPECT_EQ(test_support::read_file(dir.file("out.raw")), first + second);

    // Mono at the same rate: the file is opened again, and keeps what it holds.
    std::string mono = pattern(512, 3);
    peer.send_to("127.0.0.1", receiver.port,
                 audio_packet("Stream1", stream_config{1, 44100, BIT_FMT_16I}, mono));
    std::string rate = pattern(512, 4);
    peer.send_to("127.0.0.1", receiver.port,
                 audio_packet("Stream1", stream_config{1, 48000, BIT_FMT_16I}, rate));
    std::string same = pattern(256, 5);
    peer.send_to("127.0.0.1", receiver.port,
                 audio_packet("Stream1", stream_config{1, 48000, BIT_FMT_16I}, same));
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 2048 + 1280, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(test_support::read_file(dir.file("out.raw")), first + second + mono + rate + same);
}

TEST(Dorvane, FailuresInTheLoopEndItWithTheirResult) {
    temp_dir dir;
    udp_socket peer("127.0.0.1", 0);
    {
        // An output that cannot be opened does not end the receiver: the refusal is reported
        // once, in lines that name the file, packets are dropped, and the output is asked
        // again once a second, quietly, until it can be opened.
        const std::string later = dir.file("later");
        running_dorvane receiver(dir, {"-b", "file", "-d", later + "/out.raw"});
        ASSERT_TRUE(receiver.ready);
        for (int k = 0; k < 30; ++k) {  // a second and a half of refused packets
            peer.send_to("127.0.0.1", receiver.port,
                         audio_packet("Stream1", stereo16, pattern(8, 1)));
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_TRUE(receiver.process->running());
        ASSERT_EQ(mkdir(later.c_str(), 0700), 0);
        const std::string samples = pattern(1024, 2);
        for (int k = 0; k < 100 && !std::filesystem::exists(later + "/out.raw"); ++k) {
            peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, samples));
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(test_support::wait_for_file_size(later + "/out.raw", 1024, 5s));
        EXPECT_EQ(test_support::read_file(later + "/out.raw").substr(0, 1024), samples);
        EXPECT_EQ(receiver.err(),
                  "Error: file_open: " + later +
                      "/out.raw: No such file or directory\n"
                      "Error: audio_set_stream_config: could not open backend with new config\n"
                      "Error: main: the output cannot play 2 channels at 44100 Hz in 16I: dropping "
                      "these packets, asking again once a second\n");
        EXPECT_TRUE(receiver.process->running());
    }
    {
        // A stream the output refused makes it forget the one it played: when that one comes
        // again, the output is opened for it again before anything is written.
        const std::string folder = dir.file("moved");
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        running_dorvane receiver(dir, {"-b", "file", "-d", folder + "/out.raw"});
        ASSERT_TRUE(receiver.ready);
        peer.send_to("127.0.0.1", receiver.port,
                     audio_packet("Stream1", stereo16, pattern(1024, 1)));
        ASSERT_TRUE(test_support::wait_for_file_size(folder + "/out.raw", 1024, 5s));
        ASSERT_EQ(rename(folder.c_str(), (folder + ".away").c_str()), 0);
        peer.send_to("127.0.0.1", receiver.port,
                     audio_packet("Stream1", stream_config{1, 44100, BIT_FMT_16I}, pattern(8, 1)));
        ASSERT_TRUE(test_support::poll_until(
            [&] { return receiver.err().find("dropping") != std::string::npos; }, 5s));
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        const std::string samples = pattern(1024, 3);
        peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, samples));
        ASSERT_TRUE(test_support::wait_for_file_size(folder + "/out.raw", 1024, 5s));
        EXPECT_EQ(test_support::read_file(folder + "/out.raw"), samples);
        EXPECT_TRUE(receiver.process->running());
    }
    {
        // The output refuses the samples: the write's -1, and one line naming the file.
        running_dorvane receiver(dir, {"-b", "file", "-d", "/dev/full"});
        ASSERT_TRUE(receiver.ready);
        peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, pattern(8, 1)));
        EXPECT_EQ(receiver.process->wait_for_exit(5s), 255);
        EXPECT_EQ(receiver.err(), "Error: file_write: /dev/full: No space left on device\n");
    }
    // A disk that fills up ends a recording the same way, whatever its container.
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    const std::string disk = dir.file("disk");
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=300k"), 0);
    for (const std::string name : {"full.raw", "full.wav", "full.flac"}) {
        const std::string path = disk + "/" + name;
        running_dorvane receiver(dir, {"-b", "file", "-d", path});
        ASSERT_TRUE(receiver.ready);
        // Noise, which FLAC cannot make smaller: 400 KiB in all, a little at a time.
        for (std::uint32_t k = 1; k <= 400 && receiver.process->running(); ++k) {
            peer.send_to("127.0.0.1", receiver.port,
                         audio_packet("Stream1", stereo16, pattern(1024, k), k));
            std::this_thread::sleep_for(k % 20 == 0 ? 10ms : 0ms);
        }
        EXPECT_EQ(receiver.process->wait_for_exit(5s), 255) << name;
        EXPECT_EQ(receiver.err(), std::string(name == "full.raw" ? "Error: file_write: "
                                                                 : "Error: sndfile_write: ") +
                                      path + ": No space left on device\n");
        unlink(path.c_str());
    }
    umount(disk.c_str());
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

// A recording named .wav gets a header; a stream change starts the next numbered take, and a
// receiver killed in the middle of a take leaves a file that reads up to its last update.
TEST(Dorvane, RecordsTakesWithHeadersThatOutliveAKill) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("take.wav")});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    std::string first, second;
    for (std::uint32_t k = 1; k <= 10; ++k) {
        first += pattern(1024, k);
        peer.send_to("127.0.0.1", receiver.port,
                     audio_packet("Stream1", stereo16, pattern(1024, k), k));
    }
    for (std::uint32_t k = 11; k <= 50; ++k) {  // 213 ms of mono 24I at 48000 Hz
        second += pattern(768, k);
        peer.send_to("127.0.0.1", receiver.port,
                     audio_packet("Stream1", {1, 48000, BIT_FMT_24I}, pattern(768, k), k));
    }
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("take-2.wav"), 44 + second.size(), 5s));
    receiver.process->stop(SIGKILL, 5s);

    auto soxi = [](const std::string& option, const std::string& path) {
        return run({"soxi", option, path}, 10s).out;
    };
    auto samples = [](const std::string& path, const std::string& bits) {
        return run({"sox", path, "-t", "raw", "-e", "signed", "-b", bits, "-"}, 10s).out;
    };
    EXPECT_EQ(soxi("-r", dir.file("take.wav")), "44100\n");
    EXPECT_EQ(soxi("-c", dir.file("take.wav")), "2\n");
    EXPECT_EQ(soxi("-b", dir.file("take.wav")), "16\n");
    EXPECT_TRUE(samples(dir.file("take.wav"), "16") == first);
    EXPECT_EQ(soxi("-r", dir.file("take-2.wav")), "48000\n");
    EXPECT_EQ(soxi("-c", dir.file("take-2.wav")), "1\n");
    EXPECT_EQ(soxi("-b", dir.file("take-2.wav")), "24\n");
    // The header caught up at least every 100 ms of the take (the packets of a batch are
    // written together, and it follows their write).
    const std::string kept = samples(dir.file("take-2.wav"), "24");
    EXPECT_GE(kept.size(), second.size() - 4800u * 3);
    EXPECT_TRUE(second.compare(0, kept.size(), kept) == 0);
}

// A sender that changes its format with every packet gets a new take a second at most: the
// packets of the other format meanwhile are dropped and counted, the take in progress keeps
// its own. No take replaces a file, of an earlier run or any other; the first take of the next
// run starts afresh.
TEST(Dorvane, TakesNeverReplaceAFileAndComeOnceASecondAtMost) {
    temp_dir dir;
    const std::string kept(1000, 'k');
    test_support::write_file(dir.file("take-2.wav"), kept);
    test_support::write_file(dir.file("take-3.wav"), kept);
    std::map<std::string, std::string> takes;  // of the first run
    udp_socket peer("127.0.0.1", 0);
    {
        running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("take.wav")});
        ASSERT_TRUE(receiver.ready);
        const auto start = std::chrono::steady_clock::now();
        for (std::uint32_t k = 1; k <= 220; ++k) {  // 2.2 s, stereo 16I and mono 24I in turn
            peer.send_to(
                "127.0.0.1", receiver.port,
                k % 2 == 1 ? audio_packet("Stream1", stereo16, pattern(1024, k), k)
                           : audio_packet("Stream1", {1, 48000, BIT_FMT_24I}, pattern(768, k), k));
            std::this_thread::sleep_until(start + k * 10ms);
        }
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        kill(receiver.process->pid(), SIGUSR1);
        ASSERT_TRUE(test_support::poll_until(
            [&] { return receiver.err().find(", dropped ") != std::string::npos; }, 5s));
        EXPECT_EQ(receiver.process->stop(SIGTERM, 5s), 0);
        std::uint64_t frames = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().extension() == ".wav" &&
                test_support::read_file(entry.path()) != kept) {
                takes[entry.path()] = test_support::read_file(entry.path());
                frames += std::stoull(run({"soxi", "-s", entry.path()}, 10s).out);
            }
        }
        // take.wav and take-4.wav at once, then one more a second at most; every packet is in
        // a take or counted as dropped.
        EXPECT_GE(takes.size(), 3u);
        EXPECT_LE(takes.size(), 2u + static_cast<std::size_t>(seconds.count()));
        const std::string err = receiver.err();
        const std::uint64_t dropped = std::stoull(err.substr(err.find(", dropped ") + 10));
        EXPECT_GT(dropped, 0u);
        EXPECT_EQ(frames / 256 + dropped, 220u) << err;
    }
    // The next run starts take.wav afresh and numbers its takes after every file there.
    running_dorvane next_run(dir, {"-b", "file", "-d", dir.file("take.wav")});
    ASSERT_TRUE(next_run.ready);
    peer.send_to("127.0.0.1", next_run.port, audio_packet("Stream1", stereo16, pattern(1024, 1)));
    peer.send_to("127.0.0.1", next_run.port,
                 audio_packet("Stream1", {1, 48000, BIT_FMT_24I}, pattern(768, 2), 2));
    const std::string next_take = dir.file("take-" + std::to_string(takes.size() + 3) + ".wav");
    ASSERT_TRUE(test_support::wait_for_file_size(next_take, 44 + 768, 5s));
    EXPECT_EQ(next_run.process->stop(SIGTERM, 5s), 0);
    EXPECT_EQ(test_support::read_file(dir.file("take.wav")).size(), 44u + 1024);
    takes[dir.file("take-2.wav")] = takes[dir.file("take-3.wav")] = kept;
    takes.erase(dir.file("take.wav"));
    for (const auto& [path, bytes] : takes) {
        EXPECT_TRUE(test_support::read_file(path) == bytes) << path;
    }
}

// Peers find the receiver: a PING0 from any address gets the 704-byte answer of a receptor,
// with the request's counter and the stream's rate; a flood from one address gets a few.
TEST(Dorvane, AnswersPingsFromAnyAddressAFewASecond) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("out.raw")});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    peer.send_to("127.0.0.1", receiver.port, audio_packet("Stream1", stereo16, pattern(1024, 3)));
    ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), 1024, 5s));

    udp_socket discoverer("127.0.0.2", 0);
    discoverer.send_to("127.0.0.1", receiver.port, test_support::ping0_request(0x12345678));
    const auto reply = discoverer.receive(2s);
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 704u);
    EXPECT_EQ(reply->substr(0, 8), std::string("VBAN\x60\x80\x00\x00", 8));
    EXPECT_EQ(reply->substr(8, 20), std::string("VBAN Service\0\0\0\0\x78\x56\x34\x12", 20));
    using test_support::ping0_number;
    using test_support::ping0_text;
    EXPECT_EQ(ping0_number(*reply, 0), 1u);  // receptor
    EXPECT_EQ(ping0_number(*reply, 4), 1u);  // audio
    EXPECT_EQ(ping0_number(*reply, 12), 44100u);
    EXPECT_EQ(ping0_number(*reply, 16), 44100u);
    EXPECT_EQ(ping0_number(*reply, 20), 44100u);
    EXPECT_EQ(ping0_number(*reply, 28), 0x02010000u);  // 2.1.0
    EXPECT_EQ(ping0_text(*reply, 128, 32), "127.0.0.1");
    EXPECT_EQ(ping0_number(*reply, 160) & 0xFFFF, receiver.port);
    EXPECT_EQ(ping0_text(*reply, 164, 64), "file");  // the backend, never the path
    EXPECT_EQ(ping0_text(*reply, 292, 64), "dorvane");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(ping0_text(*reply, 356, 64), host);

    for (int k = 0; k < 10; ++k) {
        discoverer.send_to("127.0.0.1", receiver.port, test_support::ping0_request(k));
    }
    EXPECT_EQ(drain(discoverer, 300ms).size(), 3u);  // four at once, the first one included
    EXPECT_EQ(receiver.err(), "");  // the rest of the service sub-protocol is dropped quietly
}

}  // namespace
