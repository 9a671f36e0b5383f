// SPDX-License-Identifier: MIT
#include "audio/map_config.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/logger.hpp"

namespace {

constexpr std::uint64_t max_entries = sizeof(map_config{}.channels);

// One number as the "%u" conversion reads it: leading blanks skipped, a sign accepted, the
// decimal digits taken, anything after them ignored. False when the piece holds no number.
bool read_unsigned(const char* piece, unsigned* value) {
    char* end = nullptr;
    unsigned long parsed = std::strtoul(piece, &end, 10);
    if (end == piece) {
        return false;
    }
    *value = static_cast<unsigned>(parsed);
    return true;
}

}  // namespace

std::int32_t audio_parse_map_config(map_config* map, char* text) {
    const char* name = "audio_parse_map_config";
    if (map == nullptr || text == nullptr) {
        logger_log(LOG_FATAL, "%s: null pointer argument", name);
        return -EINVAL;
    }
    std::uint64_t count = 0;
    char* position = nullptr;
    for (char* piece = strtok_r(text, ",", &position); piece != nullptr && count < max_entries;
         piece = strtok_r(nullptr, ",", &position)) {
        unsigned channel = 0;
        if (!read_unsigned(piece, &channel)) {
            break;
        }
        if (channel < 1 || channel > max_entries) {
            logger_log(LOG_ERROR, "%s: invalid channel id %u, stop parsing", name, channel);
            break;
        }
        map->channels[count++] = static_cast<std::uint8_t>(channel - 1);
    }
    map->nb_channels = count;
    return 0;
}
