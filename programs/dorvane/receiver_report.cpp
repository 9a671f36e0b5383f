// SPDX-License-Identifier: MIT
#include "programs/dorvane/receiver_report.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

constexpr auto ignored_interval = std::chrono::seconds(1);

}  // namespace

bool receiver_report::stats_due(clock::time_point now) {
    if (now - stats_at_ < stats_interval_) {
        return false;
    }
    // From the time it was due, not the time it was seen: a receiver that wakes late (a
    // datagram, a second of silence) keeps its rhythm of lines.
    stats_at_ += stats_interval_;
    if (now - stats_at_ >= stats_interval_) {
        stats_at_ = now;
    }
    return true;
}

void receiver_report::ignored(const void* datagram, std::size_t size, const sockaddr_in& sender,
                              const char* expected_name, const char* expected_sender,
                              clock::time_point now) {
    if (!logger_enabled(LOG_WARNING) || (ignored_before_ && now - ignored_at_ < ignored_interval)) {
        return;
    }
    ignored_before_ = true;
    ignored_at_ = now;
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sender.sin_addr, from, sizeof from);
    vban_header header{};
    if (size < sizeof header ||
        (std::memcpy(&header, datagram, sizeof header), header.vban != VBAN_HEADER_FOURC)) {
        logger_log(LOG_WARNING,
                   "ignoring a datagram that is not VBAN from %s: waiting for '%s' from %s", from,
                   expected_name, expected_sender);
        return;
    }
    char name[VBAN_STREAM_NAME_SIZE + 1] = {};
    std::memcpy(name, header.streamname, VBAN_STREAM_NAME_SIZE);
    logger_log(LOG_WARNING, "ignoring '%s' from %s: waiting for '%s' from %s", name, from,
               expected_name, expected_sender);
}
