// SPDX-License-Identifier: MIT
#include "common/udp_socket.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/logger.hpp"
#include "tests/support/udp.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::udp_socket;

socket_config make_config(std::int32_t direction, const char* address, std::uint16_t port) {
    socket_config config{};
    config.direction = direction;
    std::strncpy(config.ip_address, address, sizeof config.ip_address - 1);
    config.port = port;
    return config;
}

class UdpSocket : public testing::Test {
protected:
    // socket_read blocks by design; a fault in it must not hang the suite.
    void SetUp() override { alarm(20); }
    void TearDown() override {
        alarm(0);
        logger_set_level(LOG_ERROR);
    }
};

TEST_F(UdpSocket, SendsOneDatagramToTheConfiguredPeer) {
    udp_socket listener;
    socket_config config = make_config(SOCKET_DIRECTION_OUT, "127.0.0.1", listener.port());
    socket_handle* handle = nullptr;
    ASSERT_EQ(socket_init(&handle, &config), 0);
    ASSERT_NE(handle, nullptr);

    std::string payload("VBAN\x40 payload", 13);
    EXPECT_EQ(socket_write(handle, payload.data(), payload.size()), 13);
    auto received = listener.receive(2s);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, payload);

    EXPECT_EQ(socket_release(&handle), 0);
    EXPECT_EQ(handle, nullptr);
}

// A burst leaves as one send and arrives as one message, which the batch hands out datagram
// by datagram, in order, the last one shorter; stamped only when asked. Datagrams sent one by
// one come in the same batch when they are queued together.
TEST_F(UdpSocket, BurstsArriveInBatchesDatagramByDatagram) {
    const std::uint16_t port = test_support::free_udp_port();
    socket_config in_config = make_config(SOCKET_DIRECTION_IN, "127.0.0.1", port);
    socket_config out_config = make_config(SOCKET_DIRECTION_OUT, "127.0.0.1", port);
    socket_handle* in = nullptr;
    socket_handle* out = nullptr;
    ASSERT_EQ(socket_init(&in, &in_config), 0);
    ASSERT_EQ(socket_init(&out, &out_config), 0);
    ASSERT_EQ(socket_enable_batches(in), 0);
    ASSERT_EQ(socket_set_arrival_stamps(in, true), 0);
    EXPECT_EQ(socket_burst_capacity(1052), 62u);
    EXPECT_EQ(socket_burst_capacity(100'000), 1u);
    std::string burst;
    for (int i = 0; i < 62; ++i) {
        burst += std::string(1052, static_cast<char>('a' + i % 26));
    }
    burst.resize(61 * 1052 + 500);
    const auto now_ns = [] {
        return std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    const std::int64_t sent_ns = now_ns();
    EXPECT_EQ(socket_write_burst(out, burst.data(), 1052, 62, 500), 62);
    EXPECT_EQ(socket_write_burst(out, burst.data(), 1052, 63, 500), -EINVAL);
    std::string received;
    std::vector<std::size_t> sizes;
    socket_datagram datagram{};
    while (sizes.size() < 62 && socket_receive_batch(in) > 0) {
        const std::int64_t received_ns = now_ns();
        while (socket_batch_next(in, &datagram)) {
            received.append(reinterpret_cast<const char*>(datagram.data), datagram.size);
            sizes.push_back(datagram.size);
            // Stamped on its way in (a busy system may deliver it after the send returned).
            EXPECT_GE(datagram.arrived_ns, sent_ns - 100'000);
            EXPECT_LE(datagram.arrived_ns, received_ns + 100'000);
        }
    }
    EXPECT_EQ(received, burst);
    std::vector<std::size_t> expected(61, 1052);
    expected.push_back(500);
    EXPECT_EQ(sizes, expected);

    ASSERT_EQ(socket_set_arrival_stamps(in, false), 0);
    for (char c : std::string("xyz")) {
        ASSERT_EQ(socket_write(out, &c, 1), 1);
    }
    std::string singles;
    while (singles.size() < 3 && socket_receive_batch(in) > 0) {
        while (socket_batch_next(in, &datagram)) {
            singles.append(reinterpret_cast<const char*>(datagram.data), datagram.size);
            EXPECT_EQ(datagram.arrived_ns, 0);
        }
    }
    EXPECT_EQ(singles, "xyz");
    EXPECT_EQ(socket_release(&in), 0);
    EXPECT_EQ(socket_release(&out), 0);
}

TEST_F(UdpSocket, AddressEndingIn255BroadcastsAndSaysSo) {
    // 127.255.255.255 is the loopback broadcast address: the system refuses a send there
    // unless the socket may broadcast, and a socket bound to all addresses receives it.
    udp_socket listener("0.0.0.0", 0);
    udp_socket plain("127.0.0.1", 0);
    errno = 0;
    EXPECT_LT(plain.send_to("127.255.255.255", listener.port(), "x"), 0);
    EXPECT_EQ(errno, EACCES);

    logger_set_level(LOG_DEBUG);
    testing::internal::CaptureStdout();
    socket_config config = make_config(SOCKET_DIRECTION_OUT, "127.255.255.255", listener.port());
    socket_handle* handle = nullptr;
    ASSERT_EQ(socket_init(&handle, &config), 0);
    EXPECT_EQ(socket_write(handle, "broadcast", 9), 9);
    socket_release(&handle);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Debug: socket_open: broadcast address detected\n"), std::string::npos);

    auto received = listener.receive(2s);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, "broadcast");

    // Any other address sets no option and says nothing about it.
    testing::internal::CaptureStdout();
    socket_config unicast = make_config(SOCKET_DIRECTION_OUT, "10.0.0.1", listener.port());
    ASSERT_EQ(socket_init(&handle, &unicast), 0);
    socket_release(&handle);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("broadcast"), std::string::npos);
}

TEST_F(UdpSocket, BusyPortGivesPositiveErrnoAndNoHandle) {
    udp_socket holder("0.0.0.0", 0);
    logger_set_level(LOG_INFO);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    socket_config config = make_config(SOCKET_DIRECTION_IN, "127.0.0.1", holder.port());
    socket_handle* handle = reinterpret_cast<socket_handle*>(&config);  // must be overwritten
    EXPECT_EQ(socket_init(&handle, &config), EADDRINUSE);
    EXPECT_EQ(handle, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    // Ports from the system's ephemeral range lie in the upper half of 16 bits and must
    // print as positive numbers.
    std::string port = std::to_string(holder.port());
    EXPECT_EQ(out, "Info: socket_open: opening socket with port " + port +
                       "\n"
                       "Info: socket_close: closing socket with port " +
                       port +
                       "\n"
                       "Info: socket_close: closing socket with port " +
                       port + "\n");
    EXPECT_EQ(err, "Error: socket_open: unable to bind socket to 0.0.0.0 port " + port + ": port " +
                       port + " is in use\n");
}

TEST_F(UdpSocket, ReadKeepsOnlyTheConfiguredSenderAndCutsLongDatagrams) {
    std::uint16_t port = test_support::free_udp_port();
    socket_config config = make_config(SOCKET_DIRECTION_IN, "127.0.0.1", port);
    socket_handle* handle = nullptr;
    ASSERT_EQ(socket_init(&handle, &config), 0);

    udp_socket stranger("127.0.0.2", 0);
    udp_socket peer("127.0.0.1", 0);
    ASSERT_EQ(stranger.send_to("127.0.0.1", port, "foreign"), 7);
    ASSERT_EQ(peer.send_to("127.0.0.1", port, "mine"), 4);
    ASSERT_EQ(peer.send_to("127.0.0.1", port, std::string(100, 'z')), 100);

    logger_set_level(LOG_DEBUG);
    testing::internal::CaptureStdout();
    char buffer[64] = {};
    EXPECT_EQ(socket_read(handle, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "mine");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Debug: socket_read invoked\n"
              "Debug: socket_read ip 127.0.0.1\n"
              "Debug: socket_read: packet received from wrong ip\n");
    logger_set_level(LOG_ERROR);

    char small[10] = {};
    EXPECT_EQ(socket_read(handle, small, sizeof small), 10);
    EXPECT_EQ(std::string(small, 10), std::string(10, 'z'));

    EXPECT_EQ(socket_release(&handle), 0);
    EXPECT_EQ(socket_release(&handle), 0);  // a second release finds null and does nothing
}

TEST_F(UdpSocket, ReceiveBufferHoldsALongBurst) {
    std::ifstream limit("/proc/sys/net/core/rmem_max");
    long rmem_max = 0;
    limit >> rmem_max;
    if (rmem_max < SOCKET_RECEIVE_BUFFER_SIZE) {
        GTEST_SKIP() << "the system caps receive buffers at " << rmem_max << " bytes";
    }
    std::uint16_t port = test_support::free_udp_port();
    socket_config config = make_config(SOCKET_DIRECTION_IN, "127.0.0.1", port);
    socket_handle* handle = nullptr;
    ASSERT_EQ(socket_init(&handle, &config), 0);
    // 2000 datagrams of 1052 bytes, sent before any is read: twenty times what the system's
    // default buffer holds.
    udp_socket peer("127.0.0.1", 0);
    std::string datagram(1052, 'v');
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(peer.send_to("127.0.0.1", port, datagram), 1052);
    }
    peer.send_to("127.0.0.1", port, "end");
    int received = 0;
    char buffer[1464];
    while (socket_read(handle, buffer, sizeof buffer) == 1052) {
        ++received;
    }
    EXPECT_EQ(received, 2000);
    socket_release(&handle);
}

TEST_F(UdpSocket, AddressTextWithLeadingZerosNeverMatches) {
    std::uint16_t port = test_support::free_udp_port();
    socket_config config = make_config(SOCKET_DIRECTION_IN, "127.000.000.001", port);
    socket_handle* handle = nullptr;
    ASSERT_EQ(socket_init(&handle, &config), 0);
    udp_socket peer("127.0.0.1", 0);
    ASSERT_EQ(peer.send_to("127.0.0.1", port, "data"), 4);

    // The read must still be waiting when the alarm ends the child.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(1);
        char buffer[16];
        [[maybe_unused]] std::int32_t never = socket_read(handle, buffer, sizeof buffer);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGALRM);
    socket_release(&handle);
}

TEST_F(UdpSocket, NullArgumentsAreRefused) {
    socket_config config = make_config(SOCKET_DIRECTION_OUT, "127.0.0.1", 9);
    socket_handle* handle = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(socket_init(nullptr, &config), -EINVAL);
    EXPECT_EQ(socket_init(&handle, nullptr), -EINVAL);
    EXPECT_EQ(socket_release(nullptr), -EINVAL);
    EXPECT_EQ(socket_read(nullptr, &config, 1), -EINVAL);
    EXPECT_EQ(socket_write(nullptr, &config, 1), -EINVAL);
    ASSERT_EQ(socket_init(&handle, &config), 0);
    EXPECT_EQ(socket_write(handle, nullptr, 1), -EINVAL);
    socket_release(&handle);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fatal: socket_init: null handle or config pointer\n"
              "Fatal: socket_init: null handle or config pointer\n"
              "Fatal: socket_release: null handle pointer\n"
              "Error: socket_read: one parameter is a null pointer\n"
              "Error: socket_write: one parameter is a null pointer\n"
              "Error: socket_write: one parameter is a null pointer\n");
}

TEST_F(UdpSocket, SocketLandsAboveDescriptorZeroWhenStandardInputIsClosed) {
    // Descriptor 0 means "no socket" here; with standard input closed the system hands out 0.
    udp_socket listener;
    int saved_stdin = dup(0);
    close(0);
    socket_config config = make_config(SOCKET_DIRECTION_OUT, "127.0.0.1", listener.port());
    socket_handle* handle = nullptr;
    std::int32_t result = socket_init(&handle, &config);
    std::int32_t sent = result == 0 ? socket_write(handle, "ok", 2) : -1;
    socket_release(&handle);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sent, 2);
    auto received = listener.receive(2s);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, "ok");
}

}  // namespace
