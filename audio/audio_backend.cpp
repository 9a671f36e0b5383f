// SPDX-License-Identifier: MIT
#include "audio/audio_backend.hpp"

#include <cerrno>

#include "common/logger.hpp"

std::int32_t audio_backend::read(void*, std::uint64_t) {
    logger_log(LOG_ERROR, "%s: this backend cannot capture", "audio_backend_read");
    return -ENODEV;
}
