// Stand-in until the JACK backend is built.

#include "audio/backends/jack_backend.hpp"

#include <cerrno>

#include "common/logger.hpp"

std::int32_t jack_backend_init(audio_backend**) {
    logger_log(LOG_ERROR, "%s: backend not available", "jack_backend_init");
    return -ENODEV;
}
