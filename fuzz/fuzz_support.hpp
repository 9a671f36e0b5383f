// SPDX-License-Identifier: MIT
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include "audio/map_config.hpp"

// A channel map from fuzz input: a count of 0 to 256, then that many channel indexes.
inline map_config fuzz_map(FuzzedDataProvider& input) {
    map_config map{};
    map.nb_channels = input.ConsumeIntegralInRange<std::uint64_t>(0, 256);
    for (std::uint64_t i = 0; i < map.nb_channels; ++i) {
        map.channels[i] = input.ConsumeIntegral<std::uint8_t>();
    }
    return map;
}
