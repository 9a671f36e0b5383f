#include "audio/backend_registry.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/backends/alsa_backend.hpp"
#include "audio/backends/file_backend.hpp"
#include "audio/backends/jack_backend.hpp"
#include "audio/backends/pipe_backend.hpp"
#include "common/logger.hpp"

const std::array<audio_backend_entry, 4> audio_backends = {{
    {"alsa", alsa_backend_init},
    {"jack", jack_backend_init},
    {"pipe", pipe_backend_init},
    {"file", file_backend_init},
}};

std::int32_t audio_backend_get_by_name(const char* name, audio_backend** out) {
    const char* self = "audio_backend_get_by_name";
    if (name == nullptr || name[0] == '\0') {
        logger_log(LOG_INFO, "%s: taking default backend %s", self, audio_backends[0].name);
        return audio_backends[0].init(out);
    }
    for (const audio_backend_entry& entry : audio_backends) {
        if (std::strcmp(name, entry.name) == 0) {
            logger_log(LOG_INFO, "%s: found backend %s", self, name);
            return entry.init(out);
        }
    }
    logger_log(LOG_ERROR, "%s: no backend found with name %s", self, name);
    return -EINVAL;
}

const char* audio_backend_help() {
    static char text[2048];
    std::size_t used = 0;
    auto append = [&](const char* format, const char* value) {
        if (used < sizeof text) {
            int n = std::snprintf(text + used, sizeof text - used, format, value);
            if (n > 0) {
                used += static_cast<std::size_t>(n);
            }
        }
    };
    append("%s", "Available audio backends are: ");
    for (const audio_backend_entry& entry : audio_backends) {
        append("%s ", entry.name);
    }
    append(". default is %s.", audio_backends[0].name);
    return text;
}
