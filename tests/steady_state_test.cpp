// SPDX-License-Identifier: MIT
// Once streaming, neither program allocates: the heap allocations counted by a preloaded
// library do not grow with the number of packets.

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/program_test_support.hpp"
#include "tests/support/vban_packets.hpp"

namespace {

using namespace program_test;
using test_support::pattern;
using test_support::temp_dir;

const std::string preload = std::string("LD_PRELOAD=") + ALLOC_COUNTER_PATH;

std::vector<unsigned long> counts(const std::string& path) {
    std::istringstream lines(test_support::read_file(path));
    std::vector<unsigned long> values;
    unsigned long value = 0;
    while (lines >> value) {
        values.push_back(value);
    }
    return values;
}

TEST(SteadyState, QuellorAllocatesTheSameForFewAndManyPackets) {
    temp_dir dir;
    test_support::udp_socket sink;
    unsigned long totals[2] = {};
    const std::size_t packets[2] = {3, 60};
    for (int i = 0; i < 2; ++i) {
        std::string input = dir.file("in" + std::to_string(i));
        test_support::write_file(input, pattern(packets[i] * 1024, 1));
        std::string count_file = dir.file("count" + std::to_string(i));
        test_support::run_result r =
            test_support::run({quellor, "-i", "127.0.0.1", "-p", std::to_string(sink.port()), "-s",
                               "S", "-b", "file", "-d", input},
                              10s, {preload, "ALLOC_COUNT_FILE=" + count_file});
        EXPECT_EQ(r.exit_status, 0);
        std::vector<unsigned long> values = counts(count_file);
        ASSERT_EQ(values.size(), 1u);
        totals[i] = values[0];
        EXPECT_EQ(drain(sink, 100ms).size(), packets[i]);
    }
    EXPECT_GT(totals[0], 0u);  // the counter really counts
    EXPECT_EQ(totals[0], totals[1]);
}

TEST(SteadyState, DorvaneAllocatesNothingPerPacket) {
    temp_dir dir;
    std::string count_file = dir.file("count");
    std::uint16_t port = test_support::free_udp_port();
    test_support::background_process receiver(
        {dorvane, "-i", "127.0.0.1", "-p", std::to_string(port), "-s", "S", "-b", "file", "-d",
         dir.file("out.raw")},
        "", dir.file("err"), {preload, "ALLOC_COUNT_FILE=" + count_file});
    ASSERT_TRUE(test_support::wait_until_udp_port_bound(port, 5s));
    test_support::udp_socket peer;
    auto send = [&](int packets, std::size_t total) {
        for (int i = 0; i < packets; ++i) {
            peer.send_to("127.0.0.1", port,
                         test_support::audio_packet("S", {2, 44100, 1}, pattern(1024, i)));
        }
        ASSERT_TRUE(test_support::wait_for_file_size(dir.file("out.raw"), total, 5s));
    };
    send(5, 5 * 1024);
    kill(receiver.pid(), SIGUSR2);
    send(60, 65 * 1024);
    kill(receiver.pid(), SIGUSR2);
    ASSERT_TRUE(test_support::wait_for_file_size(count_file, 4, 5s));
    std::this_thread::sleep_for(50ms);
    std::vector<unsigned long> values = counts(count_file);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_GT(values[0], 0u);
    EXPECT_EQ(values[0], values[1]);
    EXPECT_TRUE(receiver.running());
}

}  // namespace
