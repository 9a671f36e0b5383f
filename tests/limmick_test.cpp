// SPDX-License-Identifier: MIT
// limmick run as a program against a UDP listener on loopback.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/program_test_support.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/process.hpp"
#include "tests/support/udp.hpp"

namespace {

using namespace std::chrono_literals;
using program_test::refused_value;
using program_test::whole_number;
using test_support::run;
using test_support::run_result;
using test_support::udp_socket;

const std::string program = LIMMICK_PATH;
const std::string version_line = program + " version 2.1.0\n\n";
const std::string usage =
    "\nUsage: limmick [OPTIONS] MESSAGE\n\n"
    "-i, --ipaddress=IP      : MANDATORY. ipaddress or host name to send stream to\n"
    "-p, --port=PORT         : MANDATORY. port to use\n"
    "-s, --streamname=NAME   : MANDATORY. streamname to use\n"
    "-b, --bps=VALUE         : Data bitrate indicator. default 0 (no special bitrate)\n"
    "-n, --ident=VALUE       : Subchannel identification. default 0\n"
    "-f, --format=VALUE      : Text format used. can be: 0 (ASCII), 1 (UTF8), 2 (WCHAR), 240 "
    "(USER). default 1\n"
    "-l, --loglevel=LEVEL    : Log level, from 0 (FATAL) to 4 (DEBUG). default is 1 (ERROR)\n"
    "    --version           : display the version and exit\n"
    "-h, --help              : display this message\n\n";

run_result limmick(std::vector<std::string> args) {
    args.insert(args.begin(), program);
    return run(args, 10s);
}

// The 28-byte text header the program must send.
std::string text_header(std::uint8_t sr, std::uint8_t nbc, std::uint8_t bit,
                        const std::string& name) {
    std::string header("VBAN", 4);
    header += static_cast<char>(sr);
    header += '\0';
    header += static_cast<char>(nbc);
    header += static_cast<char>(bit);
    std::string padded = name;
    padded.resize(16, '\0');
    header += padded;
    header += std::string(4, '\0');
    return header;
}

class Limmick : public testing::Test {
protected:
    udp_socket listener;
    std::string port = std::to_string(listener.port());

    // Expects a failed command line: version, the fatal line (if any), usage, status 1,
    // and no datagram.
    void expect_refused(const std::vector<std::string>& args, const std::string& fatal) {
        run_result r = limmick(args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, version_line + usage);
        if (!fatal.empty()) {
            EXPECT_EQ(r.err, "Fatal: " + fatal + "\n");
        }
        EXPECT_FALSE(listener.receive(50ms).has_value());
    }
};

TEST_F(Limmick, SendsHelloAsOne33ByteTextPacket) {
    run_result r = limmick({"-i", "127.0.0.1", "-p", port, "-s", "Talk", "hello"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, version_line);
    EXPECT_EQ(r.err, "");
    auto datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, text_header(0x40, 0, 0x01, "Talk") + "hello");
    EXPECT_EQ(datagram->size(), 33u);
}

// Each number is read whole and within its byte's range, whose edges are taken.
TEST_F(Limmick, HeaderBytesFollowTheOptions) {
    struct row {
        std::vector<std::string> options;
        std::uint8_t sr, nbc, bit;
    };
    const row rows[] = {
        {{"-b", "3", "-n", "7", "-f", "240"}, 0x43, 0x07, 0xF0},
        {{"--bps=3", "--ident=7", "--format=240"}, 0x43, 0x07, 0xF0},
        {{"-b", "31", "-n", "255", "-f", "255"}, 0x5F, 0xFF, 0xFF},
        {{"-b", "0", "-n", "0", "-f", "0"}, 0x40, 0x00, 0x00},
    };
    for (const row& r : rows) {
        std::vector<std::string> args = {"-i", "127.0.0.1", "-p", port, "-s", "Talk"};
        args.insert(args.end(), r.options.begin(), r.options.end());
        args.push_back("hi");
        run_result result = limmick(args);
        EXPECT_EQ(result.exit_status, 0);
        auto datagram = listener.receive(2s);
        ASSERT_TRUE(datagram.has_value());
        EXPECT_EQ(*datagram, text_header(r.sr, r.nbc, r.bit, "Talk") + "hi") << r.options[1];
    }
    const refused_value refused[] = {{"-b, --bps", "32", whole_number(0, 31)},
                                     {"-b, --bps", "99999", whole_number(0, 31)},
                                     {"-b, --bps", "x", whole_number(0, 31)},
                                     {"-n, --ident", "300", whole_number(0, 255)},
                                     {"-n, --ident", "-1", whole_number(0, 255)},
                                     {"-f, --format", "256", whole_number(0, 255)},
                                     {"-f, --format", "7x", whole_number(0, 255)},
                                     {"-p, --port", "65536", whole_number(1, 65535)},
                                     {"-l, --loglevel", "5", whole_number(0, 4)}};
    for (const refused_value& row : refused) {
        std::vector<std::string> args = {"-i", "127.0.0.1", "-p", port, "-s", "Talk"};
        const std::vector<std::string> given = row.args();
        args.insert(args.end(), given.begin(), given.end());
        args.push_back("hi");
        run_result r = limmick(args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, row.line());
    }
    EXPECT_FALSE(listener.receive(50ms).has_value());
}

TEST_F(Limmick, MessageLengthLimits) {
    std::string longest(1435, 'm');
    run_result r = limmick({"-i", "127.0.0.1", "-p", port, "-s", "Talk", longest});
    EXPECT_EQ(r.exit_status, 0);
    auto datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, text_header(0x40, 0, 1, "Talk") + longest);

    // One byte more is refused before any socket is opened (no "opening socket" line).
    r = limmick({"-l", "4", "-i", "127.0.0.1", "-p", port, "-s", "Talk", longest + "m"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, version_line + usage);
    EXPECT_EQ(r.err, "Fatal: Message too long. max lenght is 1435\n");
    EXPECT_FALSE(listener.receive(50ms).has_value());

    // An empty message sends the bare header.
    r = limmick({"-i", "127.0.0.1", "-p", port, "-s", "Talk", ""});
    EXPECT_EQ(r.exit_status, 0);
    datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, text_header(0x40, 0, 1, "Talk"));
}

// A name may fill the header's 16 bytes; a longer one is refused, never cut.
TEST_F(Limmick, StreamNameFillsAtMostTheWholeField) {
    run_result r = limmick({"-s", "ABCDEFGHIJKLMNOP", "-i", "127.0.0.1", "-p", port, "x"});
    EXPECT_EQ(r.exit_status, 0);
    auto datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, text_header(0x40, 0, 1, "ABCDEFGHIJKLMNOP") + "x");

    r = limmick({"-s", "ABCDEFGHIJKLMNOPQ", "-i", "127.0.0.1", "-p", port, "x"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err,
              "Fatal: Value of -s, --streamname is too long: at most 16 bytes are allowed\n");
    EXPECT_FALSE(listener.receive(50ms).has_value());
}

TEST_F(Limmick, CommandLineProblemsEndWithStatus1) {
    expect_refused({"-h"}, "");
    expect_refused({"-i", "127.0.0.1", "-p", port, "-s", "Talk", "-h", "msg"}, "");
    expect_refused({"-p", port, "-s", "Talk", "msg"}, "Missing ip address, port or stream name");
    expect_refused({"-i", "127.0.0.1", "-s", "Talk", "msg"},
                   "Missing ip address, port or stream name");
    expect_refused({"-i", "127.0.0.1", "-p", port, "msg"},
                   "Missing ip address, port or stream name");
    expect_refused({"-i", "127.0.0.1", "-p", port, "-s", "Talk"}, "Missing message argument");
    expect_refused({"-i", "127.0.0.1", "-p", port, "-s", "Talk", "one", "two"},
                   "Too many arguments");
    expect_refused({}, "Missing ip address, port or stream name");

    // The option parser reports unknown options and missing arguments itself.
    run_result r = limmick({"-q", "-i", "127.0.0.1", "-p", port, "-s", "Talk", "msg"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, version_line + usage);
    EXPECT_EQ(r.err, program + ": invalid option -- 'q'\n");
    r = limmick({"-i", "127.0.0.1", "-p", port, "-s"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, version_line + usage);
    EXPECT_EQ(r.err, program + ": option requires an argument -- 's'\n");
}

TEST_F(Limmick, OperandMayStandAmongTheOptions) {
    run_result r = limmick({"hello", "-i", "127.0.0.1", "-p", port, "--streamname=Talk"});
    EXPECT_EQ(r.exit_status, 0);
    auto datagram = listener.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, text_header(0x40, 0, 1, "Talk") + "hello");
}

TEST_F(Limmick, DebugLevelDescribesThePacket) {
    run_result r = limmick({"-l", "4", "-i", "127.0.0.1", "-p", port, "-s", "Talk", "hello"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("Debug: main: text packet of 'Talk': bit rate indicator 0, sub-channel "
                         "0, format 1, 5 bytes: hello\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.rfind(version_line, 0), 0u);
}

TEST_F(Limmick, FailedSendEndsWithMinusOne) {
    // An address the system would read leniently (127.1 is 127.0.0.1 to inet_aton) is
    // refused at start-up; a host name is resolved.
    run_result r = limmick({"-i", "127.1", "-p", port, "-s", "Talk", "hello"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err,
              refused_value({"-i, --ipaddress", "127.1", program_test::address_or_name}).line());
    r = limmick({"-i", "localhost", "-p", port, "-s", "Talk", "-l", "3", "hello"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("Info: main: localhost is 127.0.0.1, its first IPv4 address\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(listener.receive(2s).has_value());

    // Without a network (the only link is down) the send fails.
    auto failure = test_support::in_network_namespace([&]() -> std::string {
        run_result unreachable = limmick({"-i", "127.0.0.1", "-p", port, "-s", "Talk", "hello"});
        if (unreachable.exit_status != 255 || unreachable.out != version_line ||
            unreachable.err != "Error: socket_write: sendto error 101 Network is unreachable\n") {
            return "status " + std::to_string(unreachable.exit_status) + ": " + unreachable.err;
        }
        return "";
    });
    if (!failure) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    EXPECT_EQ(*failure, "");
}

TEST_F(Limmick, BroadcastAddressReachesAllAddressListeners) {
    udp_socket any("0.0.0.0", 0);
    run_result r = limmick(
        {"-i", "127.255.255.255", "-p", std::to_string(any.port()), "-s", "Talk", "to all"});
    EXPECT_EQ(r.exit_status, 0);
    auto datagram = any.receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, text_header(0x40, 0, 1, "Talk") + "to all");
}

}  // namespace
