// SPDX-License-Identifier: MIT
#include "programs/dorvane/receiver_report.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "common/logger.hpp"
#include "vban/vban.hpp"

namespace {

// What a datagram says it is: its stream name when it has a VBAN header, else nothing.
bool stream_name_of(const void* datagram, std::size_t size,
                    char (&name)[VBAN_STREAM_NAME_SIZE + 1]) {
    vban_header header{};
    if (size < sizeof header) {
        return false;
    }
    std::memcpy(&header, datagram, sizeof header);
    if (header.vban != VBAN_HEADER_FOURC) {
        return false;
    }
    std::memcpy(name, header.streamname, VBAN_STREAM_NAME_SIZE);
    name[VBAN_STREAM_NAME_SIZE] = '\0';
    return true;
}

std::size_t kind_of(packet_fault fault) {
    return static_cast<std::size_t>(fault);
}

}  // namespace

receiver_report::receiver_report(clock::time_point start,
                                 std::chrono::duration<double> stats_interval,
                                 const char* expected_name, const char* expected_sender)
    : stats_interval_(std::chrono::duration_cast<clock::duration>(stats_interval)),
      stats_at_(start),
      expected_name_(expected_name),
      expected_sender_(expected_sender) {}

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

void receiver_report::from_stranger(const void* datagram, std::size_t size,
                                    const sockaddr_in& sender, clock::time_point now) {
    char name[VBAN_STREAM_NAME_SIZE + 1];
    const bool vban = stream_name_of(datagram, size, name);
    ignoring(vban ? other_sender : kind_of(packet_fault::not_vban), vban ? name : nullptr, sender,
             now);
}

void receiver_report::refused(packet_fault fault, const void* datagram, std::size_t size,
                              const sockaddr_in& sender, clock::time_point now) {
    char name[VBAN_STREAM_NAME_SIZE + 1];
    switch (fault) {
        case packet_fault::not_vban:
            ignoring(kind_of(fault), nullptr, sender, now);
            return;
        case packet_fault::other_stream:
            ignoring(kind_of(fault), stream_name_of(datagram, size, name) ? name : "?", sender,
                     now);
            return;
        // Peers send these on the same port on purpose (pings are answered before).
        case packet_fault::none:
        case packet_fault::service:
        case packet_fault::other_protocol:
        case packet_fault::other_codec:
            return;
        default:
            break;
    }
    std::uint64_t held = 0;
    if (admit(kind_of(fault), now, &held)) {
        logger_log_held(LOG_WARNING, held, "ignoring a datagram of %zu bytes from %s: %s", size,
                        expected_sender_, packet_fault_text(fault));
    }
}

void receiver_report::ignoring(std::size_t kind, const char* name, const sockaddr_in& sender,
                               clock::time_point now) {
    std::uint64_t held = 0;
    if (!admit(kind, now, &held)) {
        return;
    }
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &sender.sin_addr, from, sizeof from);
    if (name != nullptr) {
        logger_log_held(LOG_WARNING, held, "ignoring '%s' from %s: waiting for '%s' from %s", name,
                        from, expected_name_, expected_sender_);
    } else {
        logger_log_held(LOG_WARNING, held,
                        "ignoring a datagram that is not VBAN from %s: waiting for '%s' from %s",
                        from, expected_name_, expected_sender_);
    }
}

bool receiver_report::admit(std::size_t kind, clock::time_point now, std::uint64_t* held) {
    if (!logger_enabled(LOG_WARNING)) {
        return false;
    }
    const bool admitted = datagrams_[kind].admit(now, held);
    datagrams_held_ = datagrams_held_ || !admitted;
    return admitted;
}

bool receiver_report::change_may_tell(clock::time_point now) const {
    return changes_.ready(now);
}

void receiver_report::changed(const stream_config& stream, stream_change what,
                              clock::time_point now) {
    change_ = stream;
    change_what_ = what;
    std::uint64_t held = 0;
    change_kept_ = logger_enabled(what == stream_change::refused ? LOG_ERROR : LOG_WARNING) &&
                   !changes_.admit(now, &held);
    if (!change_kept_) {
        tell_change(held);
    }
}

void receiver_report::tell_kept(clock::time_point now, bool at_end) {
    // Nearly every turn of the receive loop has nothing to tell.
    if (!change_kept_ && !datagrams_held_) {
        return;
    }
    std::uint64_t held = 0;
    if (change_kept_ && (at_end || changes_.ready(now)) && changes_.take_held(now, true, &held)) {
        change_kept_ = false;
        tell_change(held - 1);  // the change told now was counted among those held back
    }
    datagrams_held_ = false;
    for (std::size_t kind = 0; kind < datagrams_.size(); ++kind) {
        if (datagrams_[kind].take_held(now, at_end, &held)) {
            logger_log(LOG_WARNING, "%llu more datagrams ignored: %s",
                       static_cast<unsigned long long>(held),
                       kind == other_sender ? "from another sender"
                                            : packet_fault_text(static_cast<packet_fault>(kind)));
        }
        datagrams_held_ = datagrams_held_ || datagrams_[kind].holding();
    }
}

void receiver_report::tell_change(std::uint64_t held) const {
    const char* format = bit_fmt_name(change_.bit_fmt);
    if (change_what_ == stream_change::taken) {
        logger_log_held(LOG_WARNING, held, "receiving '%s' from %s: %u ch, %u Hz, %s",
                        expected_name_, expected_sender_, change_.nb_channels, change_.sample_rate,
                        format);
    } else if (change_what_ == stream_change::held_back) {
        logger_log_held(LOG_WARNING, held,
                        "%s: the output takes one change a second at most (a recording's new "
                        "take): dropping the packets of %u channels at %u Hz in %s for now",
                        "main", change_.nb_channels, change_.sample_rate, format);
    } else {
        logger_log_held(LOG_ERROR, held,
                        "%s: the output cannot play %u channels at %u Hz in %s: dropping these "
                        "packets, asking again once a second",
                        "main", change_.nb_channels, change_.sample_rate, format);
    }
}
