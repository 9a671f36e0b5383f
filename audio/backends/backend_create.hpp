// SPDX-License-Identifier: MIT
#pragma once

#include <cerrno>
#include <cstdint>
#include <new>

#include "audio/audio_backend.hpp"
#include "common/logger.hpp"

// The body that every *_backend_init shares: a new closed Backend stored through `out`,
// reported under the init function's own name.
template <typename Backend>
[[nodiscard]] std::int32_t backend_create(audio_backend** out, const char* init_name) {
    if (out == nullptr) {
        logger_log(LOG_FATAL, "%s: null handle pointer", init_name);
        return -EINVAL;
    }
    audio_backend* backend = new (std::nothrow) Backend();
    if (backend == nullptr) {
        logger_log(LOG_FATAL, "%s: could not allocate memory", init_name);
        return -ENOMEM;
    }
    *out = backend;
    return 0;
}
