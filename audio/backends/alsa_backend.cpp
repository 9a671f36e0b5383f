// Stand-in until the ALSA backend is built.

#include "audio/backends/alsa_backend.hpp"

#include <cerrno>

#include "common/logger.hpp"

std::int32_t alsa_backend_init(audio_backend**) {
    logger_log(LOG_ERROR, "%s: backend not available", "alsa_backend_init");
    return -ENODEV;
}
