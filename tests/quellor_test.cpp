// SPDX-License-Identifier: MIT
// quellor run as a program: its command line, and the datagrams it sends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "tests/program_test_support.hpp"
#include "tests/support/network_namespace.hpp"
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

const std::string version_line = quellor + " version 2.1.0\n\n";
const std::string usage =
    "\nUsage: quellor [OPTIONS]...\n\n"
    "-i, --ipaddress=IP      : MANDATORY. ipaddress or host name to send stream to\n"
    "-p, --port=PORT         : MANDATORY. port to use\n"
    "-s, --streamname=NAME   : MANDATORY. streamname to use\n"
    "-b, --backend=TYPE      : audio backend to use. " +
    backends_help() +
    "\n"
    "-d, --device=NAME       : Audio device name. This is file name for file backend, client "
    "name for jack backend, device for alsa, source for pulse.\n"
    "-r, --rate=VALUE        : Audio device sample rate. default 44100, or the server's for jack\n"
    "-n, --nbchannels=VALUE  : Audio device number of channels. default 2\n"
    "-f, --format=VALUE      : Audio device sample format (see below). default is 16I (16bits "
    "integer)\n"
    "-c, --channels=LIST     : channels from the audio device to use. LIST is of form x,y,z,... "
    "default is to forward the stream as it is\n"
    "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)\n"
    "    --version           : display the version and exit\n"
    "-h, --help              : display this message\n\n"
    "Recognized bit format are 8I, 16I, 24I, 32I, 32F, 64F, 12I, 10I\n\n";

class Quellor : public testing::Test {
protected:
    temp_dir dir;
    udp_socket listener;
    std::string port = std::to_string(listener.port());

    void SetUp() override { listener.set_receive_buffer(4 << 20); }

    // Runs quellor to the peer `listener` with the stream name Stream1 and more options.
    run_result send(std::vector<std::string> options, const std::string& input = {}) {
        std::vector<std::string> args = {quellor, "-i", "127.0.0.1", "-p", port, "-s", "Stream1"};
        args.insert(args.end(), options.begin(), options.end());
        return run(args, 20s, {}, input);
    }

    std::string input_file(const std::string& content) {
        std::string path = dir.file("in.raw");
        test_support::write_file(path, content);
        return path;
    }
};

TEST_F(Quellor, CommandLineProblems) {
    run_result r = run({quellor, "-h"}, 10s);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, version_line + usage);
    EXPECT_EQ(r.err, "");

    for (std::vector<std::string> args : {std::vector<std::string>{"-p", port, "-s", "S"},
                                          {"-i", "127.0.0.1", "-s", "S", "-b", "jack"},
                                          {"-i", "127.0.0.1", "-p", port}}) {
        args.insert(args.begin(), quellor);
        r = run(args, 10s);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, version_line + usage);
        EXPECT_EQ(r.err, "Fatal: Missing ip address, port or stream name\n");
    }

    // Nothing is cut: a value longer than its field is refused, naming the option and its limit.
    r = send({"-d", std::string(PATH_MAX, 'x')});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Fatal: Value of -d, --device is too long: at most 4095 bytes are allowed\n");
    r = run({quellor, "-i", "127.0.0.1", "-p", port, "-s", "ABCDEFGHIJKLMNOPQ"}, 10s);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err,
              "Fatal: Value of -s, --streamname is too long: at most 16 bytes are allowed\n");

    r = run({quellor, "--version"}, 10s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, version_line);

    r = send({"-b", "jackd"});
    EXPECT_EQ(r.exit_status, 256 - 19);
    EXPECT_EQ(r.err,
              "Error: audio_backend_get_by_name: no backend found with name jackd\n"
              "Fatal: audio_init: jackd backend not available\n");

    r = send({"-q", "1"});  // the receptor's option is not this program's
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, quellor + ": invalid option -- 'q'\n");
    EXPECT_EQ(r.out, version_line + usage);
}

// Every number is read whole and within its range, and a stream that cannot be sent is refused,
// all before anything opens (no socket line at -l 3); the ranges' edges are taken.
TEST_F(Quellor, OptionsAreRefusedBeforeAnythingOpens) {
    const std::string formats = "one of 8I, 16I, 24I, 32I, 32F, 64F is needed";
    std::string wide(2 * 180 - 1, '1');  // 180 entries: "1,1,...,1"
    for (std::size_t comma = 1; comma < wide.size(); comma += 2) {
        wide[comma] = ',';
    }
    const refused_value rows[] = {
        {"-p, --port", "69800", whole_number(1, 65535)},
        {"-p, --port", "80x", whole_number(1, 65535)},
        {"-p, --port", "-1", whole_number(1, 65535)},
        {"-p, --port", "1e3", whole_number(1, 65535)},
        {"-l, --loglevel", "9", whole_number(0, 4)},
        {"-r, --rate", "4294967297", whole_number(1, 705600)},
        {"-r, --rate", "0", whole_number(1, 705600)},
        {"-n, --nbchannels", "0", whole_number(1, 256)},
        {"-n, --nbchannels", "257", whole_number(1, 256)},
        {"-n, --nbchannels", "two", whole_number(1, 256)},
        {"-f, --format", "12I", formats},
        {"-f, --format", "16i", formats},
        {"-c, --channels", "4294967297", channel_list},
        {"-c, --channels", "-4294967295", channel_list},
        {"-c, --channels", "4294967552", channel_list},
        {"-c, --channels", "1-3", channel_list},
    };
    auto refused = [&](std::vector<std::string> options, const std::string& line) {
        options.insert(options.begin(), {"-l", "3", "-b", "file", "-d", dir.file("missing")});
        run_result r = send(options);
        EXPECT_EQ(r.exit_status, 1) << line;
        EXPECT_EQ(r.err, line);
        EXPECT_EQ(r.out, version_line);  // no socket line: nothing was opened
    };
    for (const refused_value& row : rows) {
        refused(row.args(), row.line());
    }
    refused(
        {"-n", "180", "-f", "64F"},
        "Fatal: A frame of 180 channels in 64F is 1440 bytes: at most 1436 fit in one packet\n");
    refused(
        {"-n", "2", "-c", wide, "-f", "64F"},
        "Fatal: A frame of 180 channels in 64F is 1440 bytes: at most 1436 fit in one packet\n");
    refused({"extra"}, "Fatal: Unexpected argument 'extra': only options are taken (see --help)\n");
    refused({"-i", "0127.0.0.1"},
            refused_value{"-i, --ipaddress", "0127.0.0.1", address_or_name}.line());

    for (const std::vector<std::string>& edges :
         {std::vector<std::string>{"-p", "65535", "-l", "4", "-r", "705600", "-n", "256", "-f",
                                   "8I", "-c", "256"},
          {"-p", "1", "-l", "0", "-r", "1", "-n", "1", "-c", "1"}}) {
        std::vector<std::string> args = {quellor, "-i",   "127.0.0.1", "-s",       "S",
                                         "-b",    "file", "-d",        "/dev/null"};
        args.insert(args.end(), edges.begin(), edges.end());
        run_result r = run(args, 20s);
        EXPECT_EQ(r.exit_status, 0) << edges[1] << r.err;
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Quellor, SendsAFileInPacketsOfTheLargestSize) {
    // Defaults: stereo 16I at 44100 Hz, 256 frames (1024 bytes) a packet. A file is ahead of
    // real time: it goes in bursts of as many packets as one send takes (62 of 1052 bytes),
    // every datagram on the wire as it would be alone.
    std::string samples = pattern(1024 * 70, 1);
    run_result r = send({"-b", "file", "-d", input_file(samples), "-l", "3"});
    EXPECT_EQ(r.exit_status, 0);  // the end of the file is the normal end
    EXPECT_NE(r.out.find("Info: main: end of input after 70 packets\n"), std::string::npos);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> datagrams = drain(listener);
    ASSERT_EQ(datagrams.size(), 70u);
    for (std::uint32_t i = 0; i < 70; ++i) {
        EXPECT_EQ(datagrams[i], audio_packet("Stream1", {2, 44100, BIT_FMT_16I},
                                             samples.substr(i * 1024, 1024), i + 1));
    }
    EXPECT_EQ(static_cast<std::uint8_t>(datagrams[0][4]), 16);
    EXPECT_EQ(static_cast<std::uint8_t>(datagrams[0][5]), 255);

    // The last read may give fewer whole frames: a shorter packet.
    samples = pattern(1024 + 400, 2);
    r = send({"-b", "file", "-d", input_file(samples), "-l", "2"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    datagrams = drain(listener);
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[1],
              audio_packet("Stream1", {2, 44100, BIT_FMT_16I}, samples.substr(1024, 400), 2));

    // An input that ends inside a frame: its whole frames still go out.
    samples = pattern(1024 + 403, 3);
    r = send({"-b", "file", "-d", input_file(samples), "-l", "2"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err,
              "Warning: main: the input ends inside a frame: its last 3 bytes are dropped\n");
    datagrams = drain(listener);
    ASSERT_EQ(datagrams.size(), 2u);
    EXPECT_EQ(datagrams[1],
              audio_packet("Stream1", {2, 44100, BIT_FMT_16I}, samples.substr(1024, 400), 2));
}

TEST_F(Quellor, FormatsAndChannelCountsSizeThePackets) {
    struct row {
        stream_config config;
        std::vector<std::string> options;
        std::size_t payload;
    };
    const row rows[] = {
        {{6, 48000, BIT_FMT_24I}, {"-n", "6", "-r", "48000", "-f", "24I"}, 79 * 18},
        {{8, 48000, BIT_FMT_24I}, {"-n", "8", "-r", "48000", "-f", "24I"}, 59 * 24},
        {{1, 8000, BIT_FMT_8I}, {"-n", "1", "-r", "8000", "-f", "8I"}, 256},
        {{2, 96000, BIT_FMT_32F}, {"-r", "96000", "-f", "32F"}, 179 * 8},
        {{2, 44100, BIT_FMT_64F}, {"-f", "64F"}, 89 * 16},
        {{3, 22050, BIT_FMT_32I}, {"-n", "3", "-r", "22050", "-f", "32I"}, 119 * 12},
    };
    for (const row& r : rows) {
        std::string samples = pattern(r.payload * 3, r.config.bit_fmt);
        std::vector<std::string> options = r.options;
        options.insert(options.end(), {"-b", "file", "-d", input_file(samples)});
        EXPECT_EQ(send(options).exit_status, 0);
        std::vector<std::string> datagrams = drain(listener);
        ASSERT_EQ(datagrams.size(), 3u) << bit_fmt_name(r.config.bit_fmt);
        for (std::uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(datagrams[i], audio_packet("Stream1", r.config,
                                                 samples.substr(i * r.payload, r.payload), i + 1));
        }
    }
}

TEST_F(Quellor, ChannelMapPicksDeviceChannels) {
    // -c 2 on a stereo device: mono packets of 512 bytes carrying the right channel.
    std::string samples = pattern(2048, 3);
    EXPECT_EQ(send({"-c", "2", "-b", "file", "-d", input_file(samples)}).exit_status, 0);
    std::vector<std::string> datagrams = drain(listener);
    ASSERT_EQ(datagrams.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        std::string right;
        for (std::size_t f = 0; f < 256; ++f) {
            right += samples.substr(i * 1024 + f * 4 + 2, 2);
        }
        ASSERT_EQ(right.size(), 512u);
        EXPECT_EQ(datagrams[i], audio_packet("Stream1", {1, 44100, BIT_FMT_16I}, right,
                                             static_cast<std::uint32_t>(i + 1)));
        EXPECT_EQ(datagrams[i][6], 0);
    }

    // 3,1 of a 4-channel device: 2-channel packets, device channel 2 then device channel 0.
    samples = pattern(256 * 8 * 2, 4);
    EXPECT_EQ(send({"-n", "4", "-c", "3,1", "-b", "file", "-d", input_file(samples)}).exit_status,
              0);
    datagrams = drain(listener);
    ASSERT_EQ(datagrams.size(), 2u);
    std::string picked;
    for (std::size_t f = 0; f < 256; ++f) {
        picked += samples.substr(f * 8 + 4, 2) + samples.substr(f * 8, 2);
    }
    EXPECT_EQ(datagrams[0], audio_packet("Stream1", {2, 44100, BIT_FMT_16I}, picked, 1));
}

TEST_F(Quellor, RateOutsideTheTableEndsAtTheFirstPacket) {
    run_result r =
        send({"-r", "44000", "-b", "file", "-d", input_file(pattern(4096, 5)), "-l", "2"});
    EXPECT_EQ(r.exit_status, 256 - 22);
    EXPECT_EQ(r.err,
              "Warning: packet_pcm_check: invalid sample rate\n"
              "Error: main: packet prepared is invalid\n");
    EXPECT_TRUE(drain(listener, 100ms).empty());
}

// Standard input is a pipe, and its writer may stop inside a frame (1001 bytes of 6-byte
// frames here): the part waits for the rest of its frame, and the stream goes on whole.
TEST_F(Quellor, ReadsStandardInputWithoutADeviceName) {
    const std::string samples = pattern(6 * 868, 6);
    const std::string in = input_file(samples);
    const std::string command = "{ head -c 1001 " + in + "; sleep 0.3; tail -c +1002 " + in +
                                "; } | " + quellor + " -i 127.0.0.1 -p " + port +
                                " -s Stream1 -b file -f 24I";
    run_result r = run({"/bin/sh", "-c", command}, 20s);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    std::string received;
    for (const std::string& d : drain(listener)) {
        received += d.substr(28);
    }
    EXPECT_EQ(received, samples);
}

TEST_F(Quellor, FailuresEndTheLoopWithTheirResult) {
    // A read that fails (a folder cannot be read): the read's -1.
    run_result r = send({"-b", "file", "-d", dir.path()});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err,
              "Error: file_read: read: Is a directory\nError: audio_read: backend read failed\n");

    // A device that cannot be opened: the open's result, and a line that names the file.
    r = send({"-b", "file", "-d", dir.file("missing")});
    EXPECT_EQ(r.exit_status, 256 - ENOENT);
    EXPECT_EQ(r.err,
              "Error: file_open: " + dir.file("missing") +
                  ": No such file or directory\n"
                  "Error: audio_set_stream_config: could not open backend with new config\n");
}

// The network goes away (the only link is down) and comes back: the packets sent meanwhile are
// lost, the failure is reported once, and the stream goes on; the status says that packets were
// lost (255, with how many of how many), and 0 only when every one went out.
TEST_F(Quellor, LivesThroughANetworkThatGoesAwayAndComesBack) {
    const std::string before = pattern(1024 * 8, 11);
    const std::string after = pattern(1024 * 8, 12);
    const std::string out = dir.file("received.raw");
    const std::string err = dir.file("quellor.err");
    const std::string five = input_file(pattern(1024 * 5, 13));
    auto failure = test_support::in_network_namespace([&]() -> std::string {
        const std::vector<std::string> args = {quellor, "-i", "127.0.0.1", "-p", "6980", "-s",
                                               "S",     "-b", "file",      "-d", five};
        run_result down = run(args, 20s);
        if (down.exit_status != 255 ||
            down.err !=
                "Error: socket_write: sendto error 101 Network is unreachable\n"
                "Error: main: 5 of 5 packets could not be sent\n") {
            return "with the link down: " + std::to_string(down.exit_status) + " " + down.err;
        }
        test_support::background_process receiver(
            {dorvane, "-i", "127.0.0.1", "-p", "6980", "-s", "Stream1", "-b", "file", "-d", out},
            "", "");
        if (!test_support::wait_until_udp_port_bound(6980, 5s)) {
            return "dorvane did not bind";
        }
        test_support::background_process sender(
            {quellor, "-i", "127.0.0.1", "-p", "6980", "-s", "Stream1", "-b", "file"}, "", err, {},
            true);
        const std::string unreachable =
            "Error: socket_write: sendto error 101 Network is unreachable\n";
        if (write(sender.input(), before.data(), before.size()) < 0 ||
            !test_support::poll_until(
                [&] { return test_support::read_file(err).find(unreachable) == 0; }, 5s)) {
            return "no send failed: " + test_support::read_file(err);
        }
        test_support::set_loopback_up(true);
        if (write(sender.input(), after.data(), after.size()) < 0) {
            return "quellor stopped reading";
        }
        sender.close_input();
        const int status = sender.wait_for_exit(10s);
        const std::string lost = test_support::read_file(err);
        if (status != 255 || lost.rfind(unreachable, 0) != 0 ||
            lost.find(" of 16 packets could not be sent\n") == std::string::npos) {
            return "quellor ended otherwise: " + test_support::read_file(err);
        }
        if (run(args, 20s).exit_status != 0) {
            return "with the link up, a packet was not sent";
        }
        // Lost is what was sent while the link was down: the received bytes are the end of
        // the input, the whole of what came after the link was back at least.
        const std::string all = before + after;
        if (!test_support::poll_until(
                [&] { return test_support::read_file(out).size() >= after.size(); }, 5s)) {
            return "the stream did not go on";
        }
        const std::string received = test_support::read_file(out);
        if (received.size() > all.size() ||
            all.compare(all.size() - received.size(), received.size(), received) != 0) {
            return "received bytes are not the end of the input";
        }
        return receiver.running() ? "" : "dorvane ended";
    });
    if (!failure) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    EXPECT_EQ(*failure, "");
}

// A path whose MTU is smaller than a datagram refuses a burst sent as one: the same burst goes
// out a datagram at a time (fragmented, as a single send would be), and the stream is whole.
TEST_F(Quellor, SendsItsBurstsWhereTheyCannotGoAsOne) {
    const std::string samples = pattern(1024 * 5, 14);
    const std::string five = input_file(samples);
    auto failure = test_support::in_network_namespace([&]() -> std::string {
        if (!test_support::set_loopback_up(true, 1000)) {
            return "no loopback with an MTU of 1000";
        }
        udp_socket receiver("127.0.0.1", 0);
        run_result r = run({quellor, "-i", "127.0.0.1", "-p", std::to_string(receiver.port()), "-s",
                            "Stream1", "-b", "file", "-d", five},
                           20s);
        if (r.exit_status != 0 || !r.err.empty()) {
            return "quellor: " + std::to_string(r.exit_status) + " " + r.err;
        }
        const std::vector<std::string> datagrams = drain(receiver);
        for (std::uint32_t i = 0; i < 5; ++i) {
            if (datagrams.size() != 5 ||
                datagrams[i] != audio_packet("Stream1", {2, 44100, BIT_FMT_16I},
                                             samples.substr(i * 1024, 1024), i + 1)) {
                return "not the five packets: " + std::to_string(datagrams.size());
            }
        }
        return "";
    });
    if (!failure) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    EXPECT_EQ(*failure, "");
}

// A peer may ping the port a stream leaves from: quellor answers as a transmitter, at once,
// also while its input (a FIFO) is quiet.
TEST_F(Quellor, AnswersAPingOnItsSocket) {
    const std::string fifo = dir.file("pcm");
    test_support::background_process sender(
        {quellor, "-i", "127.0.0.1", "-p", port, "-s", "Stream1", "-b", "pipe", "-d", fifo}, "",
        dir.file("err"));
    ASSERT_TRUE(test_support::poll_until([&] { return access(fifo.c_str(), F_OK) == 0; }, 5s));
    const int input = open(fifo.c_str(), O_WRONLY);
    const std::string block = pattern(1024, 30);
    ASSERT_EQ(write(input, block.data(), block.size()), 1024);
    std::uint16_t source = 0;
    ASSERT_TRUE(listener.receive(5s, nullptr, &source).has_value());
    udp_socket discoverer;
    const auto asked = std::chrono::steady_clock::now();
    discoverer.send_to("127.0.0.1", source, test_support::ping0_request(7));
    const std::optional<std::string> reply = discoverer.receive(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 100ms);
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 704u);
    EXPECT_EQ(reply->substr(4, 4), std::string("\x60\x80\x00\x00", 4));
    EXPECT_EQ(reply->substr(24, 4), std::string("\x07\x00\x00\x00", 4));
    EXPECT_EQ(test_support::ping0_number(*reply, 0), 2u);  // transmitter
    EXPECT_EQ(test_support::ping0_number(*reply, 12), 44100u);
    EXPECT_EQ(test_support::ping0_text(*reply, 128, 32), "127.0.0.1");
    EXPECT_EQ(test_support::ping0_number(*reply, 160) & 0xFFFF, listener.port());
    EXPECT_EQ(test_support::ping0_text(*reply, 164, 64), "pipe");  // never the path
    EXPECT_EQ(test_support::ping0_text(*reply, 292, 64), "quellor");
    close(input);
    EXPECT_EQ(sender.wait_for_exit(5s), 0);
}

}  // namespace
