// SPDX-License-Identifier: MIT
// Channel-list texts as a user types them after -c.

#include <cerrno>
#include <cstdint>
#include <string>

#include "audio/map_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);  // cut at the first NUL
    map_config map{};
    const std::int32_t result = audio_parse_map_config(&map, text.c_str());
    if ((result != 0 && result != -EINVAL) || map.nb_channels > 256 ||
        (result != 0 && map.nb_channels != 0)) {
        __builtin_trap();
    }
    return 0;
}
