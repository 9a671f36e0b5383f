// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>

// When a receiver tells what it sees: its statistics at their interval (--stats), and the datagrams
// it ignores (another sender, another stream) at most once a second, naming what came and what it
// waits for. Time is passed in, so the rhythm is the same under any clock.
class receiver_report {
public:
    using clock = std::chrono::steady_clock;

    receiver_report(clock::time_point start, std::chrono::duration<double> stats_interval)
        : stats_interval_(std::chrono::duration_cast<clock::duration>(stats_interval)),
          stats_at_(start),
          ignored_at_(start) {}

    // True once every interval: the statistics are due.
    [[nodiscard]] bool stats_due(clock::time_point now);

    // Reports, at the warning level and at most once a second, a datagram that is ignored
    // because it comes from another sender or carries another stream name. `expected_name`
    // and `expected_sender` say what the receiver waits for. Formats nothing when the level
    // hides warnings or a line went out less than a second ago.
    void ignored(const void* datagram, std::size_t size, const sockaddr_in& sender,
                 const char* expected_name, const char* expected_sender, clock::time_point now);

private:
    clock::duration stats_interval_;
    clock::time_point stats_at_;
    clock::time_point ignored_at_;
    bool ignored_before_ = false;
};
