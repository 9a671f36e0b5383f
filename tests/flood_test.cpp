// SPDX-License-Identifier: MIT
// dorvane under a flood of hostile datagrams while a real stream plays: the output must hold
// exactly the stream, the program must keep running, and its memory must not grow.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "tests/program_test_support.hpp"
#include "tests/support/poll.hpp"
#include "tests/support/vban_packets.hpp"
#include "vban/vban.hpp"

namespace {

using namespace program_test;
using test_support::audio_packet;
using test_support::pattern;
using test_support::temp_dir;
using test_support::udp_socket;

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            break;
        }
        status.ignore(4096, '\n');
    }
    return value;
}

// Hostile datagrams of every kind. From the stream's own address they must all fail the
// packet check; the stranger's may also be perfectly valid packets of the stream, which only
// the address filter keeps out.
class hostile_source {
public:
    explicit hostile_source(std::uint32_t seed) : random_(seed), noise_(2 * 65536, '\0') {
        for (char& c : noise_) {
            c = static_cast<char>(random_());
        }
    }

    std::string next(bool from_stranger) {
        std::size_t kind = pick(from_stranger ? 8 : 7);
        // Each datagram beyond the receive buffer fills 64 KiB of the socket's buffer: about
        // one in a hundred.
        if ((kind == 1 || kind == 6) && pick(25) != 0) {
            kind = 0;
        }
        switch (kind) {
            case 0:
                return random_bytes(pick(1500));
            case 1: {
                // Sizes up to the largest UDP datagram; the receive cuts them to 1464 bytes.
                std::string big = random_bytes(1465 + pick(65507 - 1465));
                big[0] = 'X';
                return big;
            }
            case 2:
                return corrupted_header();
            case 3: {
                // Another stream: names that differ inside the compared 16 bytes.
                const char* names[] = {"Stream10", "stream1", "Stream", "Stream1Stream1XY", ""};
                return audio_packet(names[pick(5)], {2, 44100, BIT_FMT_16I}, random_bytes(1024));
            }
            case 4:
                return test_support::text_packet("Stream1", random_bytes(pick(200)));
            case 5: {
                std::string packet = valid_other_stream();
                packet[4] = static_cast<char>((1 + pick(7)) << 5 | 16);  // serial, text, service...
                return packet;
            }
            case 6: {
                // A header that announces a huge payload, cut by the receive.
                std::string packet = valid_other_stream() + random_bytes(2000 + pick(60000));
                packet[5] = static_cast<char>(255);
                packet[6] = static_cast<char>(255);
                return packet;
            }
            default:
                return valid_other_stream();  // only ever sent from the stranger's address
        }
    }

private:
    std::mt19937 random_;
    std::string noise_;

    std::size_t pick(std::size_t count) { return random_() % count; }

    std::string random_bytes(std::size_t size) { return noise_.substr(pick(65536), size); }

    // Mono at 48000 Hz: were it played, the output would be reopened and start again.
    std::string valid_other_stream() {
        return audio_packet("Stream1", {1, 48000, BIT_FMT_16I}, random_bytes(2 * (1 + pick(256))));
    }

    // A packet of the stream with exactly one field made invalid.
    std::string corrupted_header() {
        std::string packet = valid_other_stream();
        switch (pick(6)) {
            case 0:
                packet[pick(4)] ^= static_cast<char>(1 + pick(255));  // magic
                break;
            case 1:
                packet[7] |= 0x08;  // reserved bit
                break;
            case 2:
                packet[7] |= static_cast<char>((1 + pick(15)) << 4);  // codec
                break;
            case 3:
                packet[4] = static_cast<char>(21 + pick(11));  // rate index
                break;
            case 4:
                packet += random_bytes(1 + pick(100));  // payload longer than announced
                break;
            default:
                packet.resize(packet.size() - 1 - pick(packet.size() - 28 - 1));  // shorter
                break;
        }
        return packet;
    }
};

TEST(Flood, TheStreamSurvivesTwoHundredThousandHostileDatagrams) {
    signal(SIGPIPE, SIG_IGN);
    temp_dir dir;
    std::string out = dir.file("received.raw");
    running_dorvane receiver(dir, {"-b", "file", "-d", out});
    ASSERT_TRUE(receiver.ready);
    pid_t pid = receiver.process->pid();

    // Five seconds of stereo 16I at 44100 Hz, fed to quellor at its real rate.
    std::string signal_bytes = test_support::sine_16(5 * 44100, 2, 44100);
    test_support::background_process sender(
        {quellor, "-i", "127.0.0.1", "-p", std::to_string(receiver.port), "-s", "Stream1", "-b",
         "file"},
        "", dir.file("quellor.err"), {}, true);
    std::thread pacer([&] {
        auto next = std::chrono::steady_clock::now();
        for (std::size_t done = 0; done < signal_bytes.size(); done += 1024) {
            std::size_t piece = std::min<std::size_t>(1024, signal_bytes.size() - done);
            if (write(sender.input(), signal_bytes.data() + done, piece) !=
                static_cast<ssize_t>(piece)) {
                break;
            }
            next += std::chrono::microseconds(1024 * 1000000 / (44100 * 4));
            std::this_thread::sleep_until(next);
        }
        sender.close_input();
    });

    // The flood: 200,000 datagrams over four and a half seconds, from two addresses.
    std::this_thread::sleep_for(200ms);
    long resident_before = resident_kib(pid);
    std::atomic<long> refused{0};
    std::thread flood([&] {
        udp_socket peer("127.0.0.1", 0);
        udp_socket stranger("127.0.0.2", 0);
        hostile_source source(12345);
        auto next = std::chrono::steady_clock::now();
        for (int sent = 0; sent < 200000; ++sent) {
            bool from_stranger = sent % 3 == 0;
            std::string datagram = source.next(from_stranger);
            if ((from_stranger ? stranger : peer).send_to("127.0.0.1", receiver.port, datagram) <
                0) {
                ++refused;
            }
            if (sent % 40 == 39) {
                next += 900us;
                std::this_thread::sleep_until(next);
            }
        }
    });
    flood.join();
    pacer.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(sender.wait_for_exit(10s), 0);

    ASSERT_TRUE(test_support::wait_for_file_size(out, signal_bytes.size(), 10s));
    std::this_thread::sleep_for(100ms);
    long resident_after = resident_kib(pid);
    EXPECT_TRUE(receiver.process->running());
    EXPECT_TRUE(test_support::read_file(out) == signal_bytes)
        << "received " << test_support::read_file(out).size() << " of " << signal_bytes.size();
    // Nothing is allocated per datagram: the resident size stays where it was.
    EXPECT_LT(resident_after - resident_before, 512)
        << resident_before << " KiB before, " << resident_after << " KiB after";
    std::printf("dorvane resident: %ld KiB before the flood, %ld KiB after\n", resident_before,
                resident_after);
    // At the default level the flood is dropped quietly, except the service sub-protocol.
    std::string err = receiver.err();
    std::size_t position = 0;
    while ((position = err.find("Error: packet_check: packet with unknown protocol\n", position)) !=
           std::string::npos) {
        err.erase(position, 50);
    }
    EXPECT_EQ(err, "");
}

// Every datagram size the network carries, 0 to 65507 bytes, from the stream's own address:
// too small, not VBAN, another stream, a payload its header does not announce, and valid
// packets whose rate changes every few packets. At -l 2 each kind is told at most once a
// second, with the count of the ones not told: a few dozen lines, not 65,508.
TEST(Flood, EveryDatagramSizeFromThePeerGivesAFewLinesASecond) {
    temp_dir dir;
    running_dorvane receiver(dir, {"-b", "file", "-d", dir.file("out.raw"), "-l", "2"});
    ASSERT_TRUE(receiver.ready);
    udp_socket peer("127.0.0.1", 0);
    const std::string noise = pattern(65507, 41);
    for (std::size_t size = 0; size <= 65507; ++size) {
        const std::size_t frames = (size - 28) / 4;
        std::string datagram;
        if (size % 5 == 1) {
            datagram = noise.substr(0, size);  // no magic
        } else if (size > 28 && (size - 28) % 4 == 0 && frames <= 256) {
            const std::uint32_t rate = size / 8 % 2 == 0 ? 44100 : 48000;
            datagram = audio_packet("Stream1", {2, rate, BIT_FMT_16I}, noise.substr(0, 4 * frames));
        } else {
            datagram = audio_packet(size % 5 == 0 ? "Other" : "Stream1", {2, 44100, BIT_FMT_16I},
                                    noise.substr(0, 1024));
            datagram.resize(size, 'x');
        }
        ASSERT_EQ(peer.send_to("127.0.0.1", receiver.port, datagram), static_cast<long>(size));
    }
    EXPECT_TRUE(test_support::poll_until(
        [&] { return receiver.err().find("receiving") != std::string::npos; }, 5s));
    EXPECT_EQ(receiver.process->stop(SIGTERM, 10s), 0);
    const std::string err = receiver.err();
    const auto lines = std::count(err.begin(), err.end(), '\n');
    EXPECT_LT(lines, 100) << err;
    for (const char* told :
         {"ignoring a datagram of 0 bytes from 127.0.0.1: packet too small\n",
          "ignoring a datagram that is not VBAN from 127.0.0.1", "ignoring 'Other' from 127.0.0.1",
          "ignoring a datagram of 29 bytes from 127.0.0.1: invalid payload size\n",
          "more like it not shown)\n", " more datagrams ignored: invalid payload size\n"}) {
        EXPECT_NE(err.find(told), std::string::npos) << told << "\n" << err;
    }
    std::printf("%ld lines for 65508 datagrams\n", static_cast<long>(lines));
}

}  // namespace
