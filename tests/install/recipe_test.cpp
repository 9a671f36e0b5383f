// SPDX-License-Identifier: MIT
// The README's recipes that can run over loopback with the file backend, as the shell runs
// them: a capture program feeding quellor's standard input, a broadcast to every receiver,
// dorvane's standard output feeding another program, and text messages marked as UTF-8.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/install/install_support.hpp"
#include "tests/support/udp.hpp"
#include "tests/support/vban_packets.hpp"

namespace {

using namespace install_test;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::temp_dir;

// `sh -c script`.
std::vector<std::string> shell(const std::string& script) {
    return {"/bin/sh", "-c", script};
}

// A sender broadcasts to 127.255.255.255; a receiver bound to all addresses takes the stream
// from the sender's own address, 127.0.0.1, and hands it on standard output to `head`, which
// stands for any program that reads raw samples. The bytes must arrive as sent, without the
// version line or any log line among them.
TEST(Recipes, BroadcastFromStandardInputIntoAnotherProgram) {
    temp_dir dir;
    const std::string sent = dir.file("sent.raw");
    const std::string got = dir.file("got.raw");
    // Half a second of a stereo 16-bit sine at 44100 Hz, fed at the audio rate.
    const std::size_t size = 88200;
    ASSERT_EQ(run(shell(std::string(SINE_PATH) + " 0.5 44100 2 >" + sent), 10s).exit_status, 0);
    ASSERT_EQ(read_file(sent).size(), size);

    const std::uint16_t port = test_support::free_udp_port();
    const std::string pid_file = dir.file("dorvane.pid");
    // The inner shell leaves dorvane's process number behind, so that it can be stopped
    // whatever happens.
    test_support::background_process receiver(
        shell("sh -c 'echo $$ >" + pid_file + "; exec " + DORVANE_PATH + " -i 127.0.0.1 -p " +
              std::to_string(port) + " -s Stream1 -b file' | head -c " + std::to_string(size) +
              " >" + got),
        "", dir.file("receiver.err"));
    ASSERT_TRUE(test_support::wait_until_udp_port_bound(port, 5s));

    run_result sender =
        run(shell(std::string(PACE_PATH) + " 176400 <" + sent + " | " + QUELLOR_PATH +
                  " -i 127.255.255.255 -p " + std::to_string(port) + " -s Stream1 -b file"),
            30s);
    EXPECT_EQ(sender.exit_status, 0) << sender.err;  // the end of the input
    EXPECT_TRUE(test_support::wait_for_file_size(got, size, 5s));
    EXPECT_EQ(read_file(got), read_file(sent));

    // The reader is gone: the next packet ends dorvane by the broken-pipe signal, and with it
    // the pipeline, whose status is the reader's.
    test_support::udp_socket peer("127.0.0.1", 0);
    peer.send_to("127.0.0.1", port,
                 test_support::audio_packet("Stream1", {2, 44100, 1}, std::string(1024, '\0')));
    int status = receiver.wait_for_exit(5s);
    std::string dorvane_pid = read_file(pid_file);
    if (status == -1 && !dorvane_pid.empty()) {
        kill(std::stoi(dorvane_pid), SIGKILL);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(dir.file("receiver.err")), "");
}

// A text message with the protocol's own UTF-8 code: one datagram, the text header with format
// byte 16, and the message's UTF-8 bytes unchanged. A Voicemeeter command also carries the
// bit-rate indicator index 18 that text peers use.
TEST(Recipes, TextMessageMarkedAsUtf8) {
    test_support::udp_socket listener("127.0.0.1", 0);
    const std::string message = "Studio B: Aufnahme 3 in 2 Minuten \xE2\x9C\x93 \xC3\xBC";
    run_result r = run({LIMMICK_PATH, "-i", "127.0.0.1", "-p", std::to_string(listener.port()),
                        "-s", "Talk", "-f", "16", message},
                       10s);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    auto datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    std::string header("VBAN\x40\x00\x00\x10Talk", 12);
    header += std::string(12 + 4, '\0');  // the rest of the name, then the frame counter
    EXPECT_EQ(*datagram, header + message);
    EXPECT_FALSE(listener.receive(100ms).has_value());

    const std::string command = "Strip[0].Mute = 1;";
    r = run({LIMMICK_PATH, "-i", "127.0.0.1", "-p", std::to_string(listener.port()), "-s",
             "Command1", "-b", "18", "-f", "16", command},
            10s);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    // Byte 4: the text sub-protocol (0x40) with index 18.
    EXPECT_EQ(*datagram, std::string("VBAN\x52\x00\x00\x10", 8) + "Command1" +
                             std::string(8 + 4, '\0') + command);
}

}  // namespace
