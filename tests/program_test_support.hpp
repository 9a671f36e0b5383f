// SPDX-License-Identifier: MIT
#pragma once

// What the program tests of quellor and dorvane share.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.hpp"
#include "tests/support/udp.hpp"

namespace program_test {

using namespace std::chrono_literals;

inline const std::string quellor = QUELLOR_PATH;
inline const std::string dorvane = DORVANE_PATH;

// The usage texts' sentence on the backends of a build (every backend captures, so a sender's
// is a receiver's); the first listed is the default. By default the backends of this build
// (VBAN_WITH_ALSA, VBAN_WITH_JACK, VBAN_WITH_PULSE).
inline std::string backends_help(bool alsa = VBAN_WITH_ALSA, bool jack = VBAN_WITH_JACK,
                                 bool pulse = VBAN_WITH_PULSE) {
    std::string names = std::string(alsa ? "alsa " : "") + (jack ? "jack " : "") +
                        (pulse ? "pulse " : "") + "pipe file ";
    return "Available audio backends are: " + names + ". default is " +
           names.substr(0, names.find(' ')) + ".";
}

// A value that the programs refuse at start-up, with status 1 and one line on standard error.
struct refused_value {
    std::string option;  // as the refusal names it: "-p, --port", or "--latency"
    std::string value;
    std::string needed;  // what the refusal says is needed

    // The arguments that give it: "-p" "69800", or "--latency=0".
    std::vector<std::string> args() const {
        if (option[1] == '-') {
            return {option + "=" + value};
        }
        return {option.substr(0, 2), value};
    }
    std::string line() const {
        return "Fatal: Invalid value '" + value + "' for " + option + ": " + needed +
               " (see --help)\n";
    }
};

// What a refused number option says is needed.
inline std::string whole_number(long long first, long long last) {
    return "a whole number from " + std::to_string(first) + " to " + std::to_string(last) +
           " is needed";
}

// What a refused -i says is needed.
inline const std::string address_or_name =
    "an IPv4 address in dotted decimal, such as 192.168.1.10, or a host name is needed";

// What a refused channel list says is needed.
inline const std::string channel_list =
    "channel numbers from 1 to 256, separated by commas, are needed";

// Every datagram that reaches `socket` until none has come for `quiet`.
inline std::vector<std::string> drain(test_support::udp_socket& socket,
                                      std::chrono::milliseconds quiet = 200ms) {
    std::vector<std::string> datagrams;
    while (auto datagram = socket.receive(quiet)) {
        datagrams.push_back(*datagram);
    }
    return datagrams;
}

// A dorvane left listening on a fresh port, writing what it plays to a file (or, with an empty
// device, to standard output, captured in `out_path`), with `env` added to its environment.
class running_dorvane {
public:
    running_dorvane(const test_support::temp_dir& dir, std::vector<std::string> options,
                    const std::string& peer = "127.0.0.1", const std::vector<std::string>& env = {})
        : port(test_support::free_udp_port()),
          out_path(dir.file("dorvane.out")),
          err_path(dir.file("dorvane.err")) {
        std::vector<std::string> args = {dorvane, "-i",     peer, "-p", std::to_string(port),
                                         "-s",    "Stream1"};
        args.insert(args.end(), options.begin(), options.end());
        process = std::make_unique<test_support::background_process>(args, out_path, err_path, env);
        ready = test_support::wait_until_udp_port_bound(port, 5s);
    }

    std::uint16_t port;
    std::string out_path;
    std::string err_path;
    bool ready = false;
    std::unique_ptr<test_support::background_process> process;

    std::string out() const { return test_support::read_file(out_path); }
    std::string err() const { return test_support::read_file(err_path); }
};

}  // namespace program_test
