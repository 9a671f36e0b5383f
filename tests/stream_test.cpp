// SPDX-License-Identifier: MIT
// quellor to dorvane over loopback: what arrives must be exactly what was sent.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <thread>

#include "audio/backends/pipe_backend.hpp"
#include "tests/program_test_support.hpp"
#include "tests/support/vban_packets.hpp"

namespace {

using namespace program_test;
using test_support::pattern;
using test_support::read_file;
using test_support::run;
using test_support::run_result;
using test_support::temp_dir;

// Streams `input` with quellor (file backend, `sender` options) to a dorvane (file backend,
// `receiver` options) and returns what dorvane wrote once `expected_size` bytes are there.
class Stream : public testing::Test {
protected:
    temp_dir dir;
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    std::string stream(const std::string& input, std::vector<std::string> sender,
                       std::vector<std::string> receiver, std::size_t expected_size) {
        std::string out = dir.file("received.raw");
        receiver.insert(receiver.end(), {"-b", "file", "-d", out});
        running_dorvane dorvane_process(dir, receiver);
        EXPECT_TRUE(dorvane_process.ready);
        test_support::write_file(dir.file("sent.raw"), input);
        run_result r = send(sender, dorvane_process.port, dir.file("sent.raw"));
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_TRUE(test_support::wait_for_file_size(out, expected_size, 5s));
        std::this_thread::sleep_for(50ms);  // anything more would be a fault
        EXPECT_TRUE(dorvane_process.process->running());
        EXPECT_EQ(dorvane_process.err(), "");
        return read_file(out);
    }

    run_result send(std::vector<std::string> options, std::uint16_t port,
                    const std::string& device) {
        std::vector<std::string> args = {
            quellor, "-i",   "127.0.0.1", "-p",  std::to_string(port), "-s", "Stream1",
            "-b",    "file", "-d",        device};
        args.insert(args.end(), options.begin(), options.end());
        return run(args, 20s);
    }
};

// Each stream stays well inside the receiver's socket buffer: the sender is not paced.
TEST_F(Stream, EveryFormatArrivesByteForByte) {
    const std::pair<std::vector<std::string>, std::size_t> rows[] = {
        {{}, 40 * 1024},                                               // 16I stereo 44100
        {{"-f", "24I", "-n", "6", "-r", "48000"}, 40 * 79 * 18 + 18},  // 79 frames a packet
        {{"-f", "8I", "-n", "1", "-r", "8000"}, 40 * 256 + 1},
        {{"-f", "32F", "-r", "48000"}, 40 * 1432},
        {{"-f", "64F", "-n", "1", "-r", "96000"}, 40 * 1432 + 8},
        {{"-f", "32I", "-n", "256"}, 4 * 1024},  // one frame is 1024 bytes
    };
    for (const auto& [options, size] : rows) {
        std::string input = pattern(size, static_cast<std::uint32_t>(size));
        EXPECT_EQ(stream(input, options, {}, size), input) << (options.empty() ? "" : options[1]);
    }
}

TEST_F(Stream, ChannelMapsOnBothSides) {
    // Capture 3,1 of a 4-channel device, play it as it comes.
    std::string quad = pattern(30 * 256 * 8, 1);
    std::string picked;
    for (std::size_t f = 0; f < quad.size() / 8; ++f) {
        picked += quad.substr(f * 8 + 4, 2) + quad.substr(f * 8, 2);
    }
    EXPECT_EQ(stream(quad, {"-n", "4", "-c", "3,1"}, {}, picked.size()), picked);

    // Play a stereo stream through 2,1,3: the third channel is silence.
    std::string stereo = pattern(30 * 1024, 2);
    std::string played;
    for (std::size_t f = 0; f < stereo.size() / 4; ++f) {
        played += stereo.substr(f * 4 + 2, 2) + stereo.substr(f * 4, 2) + std::string(2, '\0');
    }
    EXPECT_EQ(stream(stereo, {}, {"-c", "2,1,3"}, played.size()), played);

    // A mono stream through 1,1 plays twice the bytes.
    std::string mono = pattern(30 * 512, 3);
    std::string doubled;
    for (std::size_t f = 0; f < mono.size() / 2; ++f) {
        doubled += mono.substr(f * 2, 2) + mono.substr(f * 2, 2);
    }
    EXPECT_EQ(stream(mono, {"-n", "1"}, {"-c", "1,1"}, doubled.size()), doubled);
}

// A name of 16 characters fills the header's field and is matched whole.
TEST_F(Stream, AFullLengthStreamNameArrives) {
    const std::string input = pattern(4 * 1024, 12);
    EXPECT_EQ(stream(input, {"-s", "0123456789abcdef"}, {"-s", "0123456789abcdef"}, input.size()),
              input);
}

TEST_F(Stream, ANewConfigurationKeepsWhatWasRecorded) {
    std::string out = dir.file("received.raw");
    running_dorvane receiver(dir, {"-b", "file", "-d", out});
    ASSERT_TRUE(receiver.ready);
    std::string first = pattern(20 * 1024, 4);
    test_support::write_file(dir.file("first.raw"), first);
    EXPECT_EQ(send({}, receiver.port, dir.file("first.raw")).exit_status, 0);
    ASSERT_TRUE(test_support::wait_for_file_size(out, first.size(), 5s));
    EXPECT_EQ(read_file(out), first);

    std::string second = pattern(20 * 1024, 5);
    test_support::write_file(dir.file("second.raw"), second);
    EXPECT_EQ(send({"-r", "48000"}, receiver.port, dir.file("second.raw")).exit_status, 0);
    ASSERT_TRUE(test_support::wait_for_file_size(out, first.size() + second.size(), 5s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(read_file(out), first + second);
}

TEST_F(Stream, PacedInputInIrregularPiecesArrivesWhole) {
    // Standard input fed in pieces that end inside frames (6 channels of 24I: 18-byte frames),
    // at about the rate a capture device would deliver them.
    std::string out = dir.file("received.raw");
    running_dorvane receiver(dir, {"-b", "file", "-d", out});
    ASSERT_TRUE(receiver.ready);
    std::string input = pattern(300 * 1422, 6);
    test_support::background_process sender(
        {quellor, "-i", "127.0.0.1", "-p", std::to_string(receiver.port), "-s", "Stream1", "-b",
         "file", "-f", "24I", "-n", "6", "-r", "48000"},
        dir.file("quellor.out"), dir.file("quellor.err"), {}, true);
    auto next = std::chrono::steady_clock::now();
    for (std::size_t done = 0; done < input.size();) {
        std::size_t piece = std::min<std::size_t>(1000, input.size() - done);
        ASSERT_EQ(write(sender.input(), input.data() + done, piece), static_cast<ssize_t>(piece));
        done += piece;
        next += 1ms;
        std::this_thread::sleep_until(next);
    }
    sender.close_input();
    EXPECT_EQ(sender.wait_for_exit(10s), 0);
    ASSERT_TRUE(test_support::wait_for_file_size(out, input.size(), 5s));
    EXPECT_EQ(read_file(out), input);
    EXPECT_EQ(read_file(dir.file("quellor.err")), "");
}

// Identity of the FIFO at the backend's path, to tell a new one from one left behind (an
// inode number alone can be reused at once after the unlink).
struct fifo_identity {
    ino_t inode = 0;
    timespec changed{};
    bool operator==(const fifo_identity& other) const {
        return inode == other.inode && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

std::optional<fifo_identity> current_fifo() {
    struct stat info;
    if (stat(PIPE_BACKEND_FIFO_PATH, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        return std::nullopt;
    }
    return fifo_identity{info.st_ino, info.st_ctim};
}

// Waits for a FIFO at the backend's path other than `left_behind`.
bool wait_for_fifo(std::chrono::milliseconds timeout,
                   std::optional<fifo_identity> left_behind = std::nullopt) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::optional<fifo_identity> now = current_fifo();
        if (now && !(left_behind && *now == *left_behind)) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
}

// Reads `size` bytes from the FIFO as its reader, giving up after `timeout`.
std::string read_fifo(std::size_t size, std::chrono::milliseconds timeout) {
    std::string played;
    int reader = open(PIPE_BACKEND_FIFO_PATH, O_RDONLY | O_NONBLOCK);
    if (reader < 0) {
        return played;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    while (played.size() < size && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{reader, POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0) {
            continue;
        }
        ssize_t n = read(reader, buffer, std::min(sizeof buffer, size - played.size()));
        if (n > 0) {
            played.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EAGAIN) {
            break;  // the writer went away
        }
    }
    close(reader);
    return played;
}

TEST_F(Stream, CaptureFromTheNamedPipe) {
    unlink(PIPE_BACKEND_FIFO_PATH);
    std::string out = dir.file("received.raw");
    running_dorvane receiver(dir, {"-b", "file", "-d", out});
    ASSERT_TRUE(receiver.ready);
    // quellor makes the FIFO and waits for a writer, which comes after it.
    test_support::background_process sender(
        {quellor, "-i", "127.0.0.1", "-p", std::to_string(receiver.port), "-s", "Stream1", "-b",
         "pipe"},
        "", dir.file("quellor.err"));
    ASSERT_TRUE(wait_for_fifo(5s));
    int writer = open(PIPE_BACKEND_FIFO_PATH, O_WRONLY);
    ASSERT_GE(writer, 0);
    std::string input = pattern(40 * 1024, 7);
    ASSERT_EQ(write(writer, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(writer);
    EXPECT_EQ(sender.wait_for_exit(10s), 0);
    ASSERT_TRUE(test_support::wait_for_file_size(out, input.size(), 5s));
    EXPECT_EQ(read_file(out), input);
    // The program removed its FIFO on the way out.
    struct stat info;
    EXPECT_NE(lstat(PIPE_BACKEND_FIFO_PATH, &info), 0);
}

TEST_F(Stream, PlaybackIntoTheNamedPipe) {
    unlink(PIPE_BACKEND_FIFO_PATH);
    std::optional<fifo_identity> left_behind;
    for (int round = 0; round < 2; ++round) {
        running_dorvane receiver(dir, {"-b", "pipe"});
        ASSERT_TRUE(receiver.ready);
        std::string input = pattern(30 * 1024, 8 + round);
        test_support::write_file(dir.file("sent.raw"), input);
        // The FIFO appears with the first packet; dorvane then waits for its reader. A stream
        // change does not cut the reader off: the mono block follows on the same FIFO.
        EXPECT_EQ(send({}, receiver.port, dir.file("sent.raw")).exit_status, 0);
        const std::string mono = pattern(512, 20 + round);
        test_support::udp_socket peer("127.0.0.1", 0);
        peer.send_to("127.0.0.1", receiver.port,
                     test_support::audio_packet("Stream1", {1, 44100, 1}, mono));
        ASSERT_TRUE(wait_for_fifo(5s, left_behind));
        EXPECT_EQ(read_fifo(input.size() + mono.size(), 10s), input + mono);

        // The reader goes away: the next write ends dorvane by the broken-pipe signal, and the
        // FIFO it leaves behind does not stop the next run.
        peer.send_to("127.0.0.1", receiver.port,
                     test_support::audio_packet("Stream1", {2, 44100, 1}, pattern(1024, 1)));
        EXPECT_EQ(receiver.process->wait_for_exit(5s), -1);
        EXPECT_EQ(receiver.process->signal_received(), SIGPIPE);
        left_behind = current_fifo();
        ASSERT_TRUE(left_behind);
    }
    unlink(PIPE_BACKEND_FIFO_PATH);
}

}  // namespace
