// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// A channel map: entry i names, zero-based, the channel that position i carries. Entries may
// repeat and come in any order; only the first nb_channels count, and 0 means no map.
struct map_config {
    std::uint8_t channels[256];
    std::uint64_t nb_channels;
};

// Reads a 1-based, comma-separated channel list ("2,1,3") into `map`, cutting `text` up in
// place. Parsing stops quietly at a piece that holds no number, with an error line at a number
// outside 1..256, and after 256 entries; the entries read until then are kept. 0, or -22 for a
// null argument.
[[nodiscard]] std::int32_t audio_parse_map_config(map_config* map, char* text);
