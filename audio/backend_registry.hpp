#pragma once

#include <array>
#include <cstdint>

#include "audio/audio_backend.hpp"

// One row of the backend table: a name and the function that creates such a backend.
struct audio_backend_entry {
    char name[32];
    std::int32_t (*init)(audio_backend** out);
};

// Every backend, in lookup and help order; row 0 is the default.
extern const std::array<audio_backend_entry, 4> audio_backends;

// Creates a closed backend of the kind called `name` (empty: the default) and stores it
// through `out`; the caller owns it. 0, or -22 for a name that is not in the table, or the
// init function's own failure.
[[nodiscard]] std::int32_t audio_backend_get_by_name(const char* name, audio_backend** out);

// The sentence that lists the backends, for usage texts. The same text on every call.
[[nodiscard]] const char* audio_backend_help();
