// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/log_limit.hpp"
#include "vban/packet.hpp"
#include "vban/stream_config.hpp"

// When a receiver tells what it sees: its statistics at their interval (--stats); what the
// output does as the stream changes; the datagrams it ignores, naming what came and what it
// waits for. Everything a datagram can cause is told at most once a second per kind, with the
// count of what was not told: a sender, or a forger, that floods the port gets a few lines a
// second whatever it sends. Time is passed in, so the rhythm is the same under any clock.
// What the output did with a change of the stream.
enum class stream_change { taken, refused, held_back };

class receiver_report {
public:
    using clock = std::chrono::steady_clock;

    // `expected_name` and `expected_sender` (dotted) say what the receiver waits for; both
    // must outlive the report.
    receiver_report(clock::time_point start, std::chrono::duration<double> stats_interval,
                    const char* expected_name, const char* expected_sender);

    // True once every interval: the statistics are due.
    [[nodiscard]] bool stats_due(clock::time_point now);

    // A datagram from another sender than the peer.
    void from_stranger(const void* datagram, std::size_t size, const sockaddr_in& sender,
                       clock::time_point now);

    // A datagram from the peer that is no valid packet of the stream, for `fault`.
    void refused(packet_fault fault, const void* datagram, std::size_t size,
                 const sockaddr_in& sender, clock::time_point now);

    // True when what a change of the stream does may be told at `now`; the output's own lines
    // of the reopen are muted otherwise.
    [[nodiscard]] bool change_may_tell(clock::time_point now) const;

    // The output took `stream` ("receiving ..."), refused it ("the output cannot play ...") or
    // held it back ("the output takes one change a second at most ..."), at `now`. Told at once
    // or, when a change was told less than a second before, kept and told once the second is
    // over (tell_kept).
    void changed(const stream_config& stream, stream_change what, clock::time_point now);

    // Tells what was kept back, once it may be told: the last change of the stream, and how
    // many datagrams of each kind were ignored without a line since the last one. For every
    // turn of the receive loop; `at_end` tells everything at once.
    void tell_kept(clock::time_point now, bool at_end = false);

private:
    enum kind : std::size_t { other_sender = PACKET_FAULT_COUNT, kinds };

    clock::duration stats_interval_;
    clock::time_point stats_at_;
    const char* expected_name_;
    const char* expected_sender_;
    std::array<log_limit, kinds> datagrams_{};  // by packet_fault, then other_sender
    log_limit changes_;
    stream_config change_{};  // the last change, and whether the output took it
    stream_change change_what_ = stream_change::taken;
    bool change_kept_ = false;     // not told yet
    bool datagrams_held_ = false;  // some kind of datagram has lines held back

    // True when a line about a datagram of `kind` may go out at `now` (log_limit::admit).
    bool admit(std::size_t kind, clock::time_point now, std::uint64_t* held);
    // "ignoring ... from ...: waiting for ...", of the datagram's stream `name` (null: not VBAN).
    void ignoring(std::size_t kind, const char* name, const sockaddr_in& sender,
                  clock::time_point now);
    void tell_change(std::uint64_t held) const;
};
