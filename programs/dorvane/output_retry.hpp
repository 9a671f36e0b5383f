// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

#include "vban/stream_config.hpp"

// What to do with a packet's configuration while the output may be refusing it.
enum class output_attempt {
    ask,        // ask the output (a new configuration, or nothing refused)
    ask_again,  // ask again for the configuration refused a second or more ago: quietly
    skip,       // refused less than a second ago: drop the packet without asking
};

// When to ask the output again for a stream configuration it refused. One packet of a
// configuration the output cannot take (more channels than a JACK server has ports, a format
// an ALSA hw: device refuses) must not stop the receiver: its packets are dropped, and the
// output is asked again at once for any other configuration, or at most once a second while
// the refused one keeps arriving, so that a device that comes back is found. Time is passed
// in, so the policy runs alike under any clock.
class output_retry {
public:
    using clock = std::chrono::steady_clock;

    // What to do with a packet of `config` arriving at `now`.
    [[nodiscard]] output_attempt next(const stream_config& config, clock::time_point now) const;

    // The output refused `config` at `now`.
    void refused(const stream_config& config, clock::time_point now);

    // The output took the configuration asked for.
    void accepted() { failing_ = false; }

private:
    bool failing_ = false;
    stream_config refused_config_{};
    clock::time_point refused_at_{};
};
