// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// What a stream carries: how many channels, how fast, in which sample format.
struct stream_config {
    std::uint32_t nb_channels;
    std::uint32_t sample_rate;  // Hz
    std::uint32_t bit_fmt;      // index 0..7 (see vban.hpp)

    friend bool operator==(const stream_config&, const stream_config&) = default;
};
