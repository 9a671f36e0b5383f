// SPDX-License-Identifier: MIT
#include "audio/backend_registry.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/backends/file_backend.hpp"
#include "audio/backends/pipe_backend.hpp"
#include "common/logger.hpp"
#if VBAN_WITH_ALSA
#include "audio/backends/alsa_backend.hpp"
#endif
#if VBAN_WITH_JACK
#include "audio/backends/jack_backend.hpp"
#endif

namespace {

// ALSA and JACK are CMake switches (VBAN_WITH_ALSA, VBAN_WITH_JACK); a backend that is not
// built has no row, so its name is unknown like any other.
constexpr audio_backend_entry rows[] = {
#if VBAN_WITH_ALSA
    {.name = "alsa", .init = alsa_backend_init, .can_capture = true, .clocked = true},
#endif
#if VBAN_WITH_JACK
    {.name = "jack", .init = jack_backend_init, .can_capture = false, .clocked = true},
#endif
    {.name = "pipe",
     .init = pipe_backend_init,
     .can_capture = true,
     .clocked = false,
     .device_is_path = true,
     .reads_what_is_ready = true},
    {.name = "file",
     .init = file_backend_init,
     .can_capture = true,
     .clocked = false,
     .device_is_path = true,
     .reads_what_is_ready = true},
};

// The help sentence over every row, or over the rows that can capture, written into `text`.
const char* help_text(char (&text)[2048], bool capture_only) {
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
    for (const audio_backend_entry& entry : rows) {
        if (entry.can_capture || !capture_only) {
            append("%s ", entry.name);
        }
    }
    const audio_backend_entry& fallback = capture_only ? audio_backend_capture_default() : rows[0];
    append(". default is %s.", fallback.name);
    return text;
}

}  // namespace

const std::span<const audio_backend_entry> audio_backends{rows};

const audio_backend_entry* audio_backend_find(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return &rows[0];
    }
    for (const audio_backend_entry& entry : rows) {
        if (std::strcmp(name, entry.name) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

const audio_backend_entry& audio_backend_capture_default() {
    for (const audio_backend_entry& entry : rows) {
        if (entry.can_capture) {
            return entry;
        }
    }
    return rows[std::size(rows) - 1];  // not reached: the file backend always captures
}

std::int32_t audio_backend_get_by_name(const char* name, audio_backend** out) {
    const char* self = "audio_backend_get_by_name";
    if (name == nullptr || name[0] == '\0') {
        logger_log(LOG_INFO, "%s: taking default backend %s", self, rows[0].name);
        return rows[0].init(out);
    }
    const audio_backend_entry* entry = audio_backend_find(name);
    if (entry == nullptr) {
        logger_log(LOG_ERROR, "%s: no backend found with name %s", self, name);
        return -EINVAL;
    }
    logger_log(LOG_INFO, "%s: found backend %s", self, name);
    return entry->init(out);
}

void audio_backend_describe(const char* backend, const char* device, char* out, std::size_t size) {
    const audio_backend_entry* entry = audio_backend_find(backend);
    const char* name = entry != nullptr ? entry->name : backend;
    const bool tell_device =
        entry != nullptr && !entry->device_is_path && device != nullptr && device[0] != '\0';
    std::snprintf(out, size, "%s%s%s", name != nullptr ? name : "", tell_device ? " " : "",
                  tell_device ? device : "");
}

const char* audio_backend_help() {
    static char text[2048];
    return help_text(text, false);
}

const char* audio_backend_help_capture() {
    static char text[2048];
    return help_text(text, true);
}
