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
#include "audio/backends/jack_capture.hpp"
#endif
#if VBAN_WITH_PULSE
#include "audio/backends/pulse_backend.hpp"
#endif

namespace {

using init_function = std::int32_t (*)(audio_backend** out);

// ALSA, JACK and PulseAudio are CMake switches (VBAN_WITH_ALSA, VBAN_WITH_JACK,
// VBAN_WITH_PULSE); a backend that is not built keeps its row, without init functions, so that
// its name is refused as missing from this build rather than as unknown.
#if VBAN_WITH_ALSA
constexpr init_function alsa_init = alsa_backend_init;
#else
constexpr init_function alsa_init = nullptr;
#endif
#if VBAN_WITH_JACK
constexpr init_function jack_init = jack_backend_init;
constexpr init_function jack_capture_init = jack_capture_backend_init;
#else
constexpr init_function jack_init = nullptr;
constexpr init_function jack_capture_init = nullptr;
#endif
#if VBAN_WITH_PULSE
constexpr init_function pulse_init = pulse_backend_init;
#else
constexpr init_function pulse_init = nullptr;
#endif

// name, init, init for capture, can capture, clocked, built, captures at its device's rate,
// its device is a path, its read returns what is ready
constexpr audio_backend_entry rows[] = {
    {"alsa", alsa_init, nullptr, true, true, VBAN_WITH_ALSA != 0, false, false},
    {"jack", jack_init, jack_capture_init, true, true, VBAN_WITH_JACK != 0, true, false},
    {"pulse", pulse_init, nullptr, true, true, VBAN_WITH_PULSE != 0, false, false},
    {"pipe", pipe_backend_init, nullptr, true, false, true, false, true, true},
    {"file", file_backend_init, nullptr, true, false, true, false, true, true},
};

// The first row built: pipe and file always are.
const audio_backend_entry& default_row() {
    for (const audio_backend_entry& entry : rows) {
        if (entry.built) {
            return entry;
        }
    }
    return rows[std::size(rows) - 1];  // not reached
}

// The help sentence over every row built, or over those that can capture, written into `text`.
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
        if (entry.built && (entry.can_capture || !capture_only)) {
            append("%s ", entry.name);
        }
    }
    const audio_backend_entry& fallback =
        capture_only ? audio_backend_capture_default() : default_row();
    append(". default is %s.", fallback.name);
    return text;
}

}  // namespace

const std::span<const audio_backend_entry> audio_backends{rows};

const audio_backend_entry* audio_backend_find(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return &default_row();
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
        if (entry.built && entry.can_capture) {
            return entry;
        }
    }
    return rows[std::size(rows) - 1];  // not reached: the file backend always captures
}

std::int32_t audio_backend_get_by_name(const char* name, audio_backend** out,
                                       std::int32_t direction) {
    const char* self = "audio_backend_get_by_name";
    const audio_backend_entry* entry = audio_backend_find(name);
    if (entry == nullptr) {
        logger_log(LOG_ERROR, "%s: no backend found with name %s", self, name);
        return -EINVAL;
    }
    if (!entry->built) {
        logger_log(LOG_ERROR, "%s: this build has no %s backend (it was built without its library)",
                   self, name);
        return -EINVAL;
    }
    if (name == nullptr || name[0] == '\0') {
        logger_log(LOG_INFO, "%s: taking default backend %s", self, entry->name);
    } else {
        logger_log(LOG_INFO, "%s: found backend %s", self, name);
    }
    const bool capture = direction == AUDIO_DIRECTION_IN && entry->init_capture != nullptr;
    return (capture ? entry->init_capture : entry->init)(out);
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
