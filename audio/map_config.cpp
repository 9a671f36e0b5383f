// SPDX-License-Identifier: MIT
#include "audio/map_config.hpp"

#include <cerrno>
#include <string_view>

#include "common/number_text.hpp"

namespace {

constexpr std::uint64_t max_entries = sizeof(map_config{}.channels);
static_assert(MAP_CHANNEL_LAST == max_entries, "every channel number fits an entry");

}  // namespace

std::int32_t audio_parse_map_config(map_config* map, const char* text) {
    if (map == nullptr || text == nullptr) {
        return -EINVAL;
    }
    map_config parsed{};
    std::string_view rest(text);
    for (;;) {
        const std::size_t comma = rest.find(',');
        long long channel = 0;
        if (parsed.nb_channels == max_entries ||
            !number_read_integer(rest.substr(0, comma), MAP_CHANNEL_FIRST, MAP_CHANNEL_LAST,
                                 &channel)) {
            return -EINVAL;
        }
        parsed.channels[parsed.nb_channels++] = static_cast<std::uint8_t>(channel - 1);
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    *map = parsed;
    return 0;
}
