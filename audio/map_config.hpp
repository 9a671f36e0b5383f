// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// A channel map: entry i names, zero-based, the channel that position i carries. Entries may
// repeat and come in any order; only the first nb_channels count, and 0 means no map.
struct map_config {
    std::uint8_t channels[256];
    std::uint64_t nb_channels;
};

// The channel numbers a list may hold, counted from 1, and the most entries it may have.
constexpr long long MAP_CHANNEL_FIRST = 1;
constexpr long long MAP_CHANNEL_LAST = 256;

// Reads a 1-based, comma-separated channel list ("2,1,3") into `map`. The list is taken whole
// or not at all: every entry a whole number from 1 to 256, no empty entry, at most 256 of
// them. 0; -22, with `map` left as it was and nothing logged, for any other text (the caller
// names the option it came from), and for a null argument.
[[nodiscard]] std::int32_t audio_parse_map_config(map_config* map, const char* text);
